// Formatted output for the reports: a fixed buffer written to up to two descriptors with
// write(2), and JSON string escaping. Nothing here allocates, locks or uses stdio, so a fatal
// signal's handler may use it.
#pragma once

#include "SafeFormat.h"
#include "TracerState.h"

#include <cstdarg>
#include <cstddef>

namespace qor::tracer {

// Formatted output to up to two descriptors (-1: none). A line longer than the buffer is cut.
class Sink {
public:
    Sink(int first, int second) : fds_{first, second} {}
    ~Sink() { Flush(); }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    void Print(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            va_list args;
            va_start(args, format);
            const int length = SafeFormat(buffer_ + used_, sizeof buffer_ - used_, format, args);
            va_end(args);
            if (length < 0) return;
            if (used_ + static_cast<std::size_t>(length) < sizeof buffer_) {
                used_ += static_cast<std::size_t>(length);
                return;
            }
            if (attempt == 0) Flush();
        }
        used_ = sizeof buffer_ - 1;
    }

private:
    void Flush() {
        for (int fd : fds_)
            WriteAll(fd, buffer_, used_);
        used_ = 0;
    }

    int fds_[2];
    char buffer_[16384];
    std::size_t used_ = 0;
};

// `text` as the inside of a JSON string; bytes above 0x7F are taken as Latin-1.
inline const char* Json(const char* text, char* out, std::size_t bytes) {
    std::size_t used = 0;
    for (; *text != '\0' && used + 7 < bytes; ++text) {
        const auto c = static_cast<unsigned char>(*text);
        if (c == '"' || c == '\\') {
            out[used++] = '\\';
            out[used++] = static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            used += static_cast<std::size_t>(SafePrint(out + used, bytes - used, "\\u%04x", c));
        } else {
            out[used++] = static_cast<char>(c);
        }
    }
    out[used] = '\0';
    return out;
}

// The keys the JSON report gains from sampling, maps, sizes and call sites (ReportOverTime.cpp).
// `live` holds the blocks live at exit, `liveCount` of them, in any order (it is reordered). At a
// fatal signal (`signal` != 0) only what plain counters hold is written: samples and sizes.
void WriteJsonOverTime(Sink& out, LiveBlock* live, std::size_t liveCount, int signal);

} // namespace qor::tracer
