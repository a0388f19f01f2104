// The formatter behind the tracer's reports. Every step is plain arithmetic on the caller's
// buffer, which is what makes it usable inside a signal handler.
#include "SafeFormat.h"

#include <cstdint>

namespace qor::tracer {
namespace {

class Output {
public:
    Output(char* out, std::size_t bytes) : out_(out), bytes_(bytes) {}
    void Put(char c) {
        if (length_ + 1 < bytes_) out_[length_] = c;
        ++length_;
    }
    void Finish() {
        if (bytes_ != 0) out_[length_ < bytes_ ? length_ : bytes_ - 1] = '\0';
    }
    int Length() const { return static_cast<int>(length_); }

private:
    char* out_;
    std::size_t bytes_;
    std::size_t length_ = 0;
};

void PutNumber(Output& out, std::uint64_t value, unsigned base, unsigned width, char pad) {
    char digits[24];
    unsigned count = 0;
    do {
        const unsigned digit = static_cast<unsigned>(value % base);
        digits[count++] = static_cast<char>(digit < 10 ? '0' + digit : 'a' + digit - 10);
        value /= base;
    } while (value != 0);
    for (unsigned i = count; i < width; ++i)
        out.Put(pad);
    while (count != 0)
        out.Put(digits[--count]);
}

} // namespace

int SafeFormat(char* buffer, std::size_t bytes, const char* format, va_list args) {
    Output out(buffer, bytes);
    for (const char* f = format; *f != '\0'; ++f) {
        if (*f != '%') {
            out.Put(*f);
            continue;
        }
        ++f;
        const char pad = *f == '0' ? '0' : ' ';
        unsigned width = 0;
        while (*f >= '0' && *f <= '9')
            width = width * 10 + static_cast<unsigned>(*f++ - '0');
        int longs = 0;
        bool size = false;
        for (;; ++f) {
            if (*f == 'l')
                ++longs;
            else if (*f == 'z')
                size = true;
            else
                break;
        }
        switch (*f) {
        case 'd': {
            const long long value = longs != 0 ? va_arg(args, long long) : va_arg(args, int);
            if (value < 0) out.Put('-');
            PutNumber(out, value < 0 ? 0 - static_cast<std::uint64_t>(value) : value, 10, width,
                      pad);
            break;
        }
        case 'u':
        case 'x': {
            const std::uint64_t value =
                longs != 0 || size ? va_arg(args, std::uint64_t) : va_arg(args, unsigned);
            PutNumber(out, value, *f == 'u' ? 10 : 16, width, pad);
            break;
        }
        case 's':
            for (const char* s = va_arg(args, const char*); s != nullptr && *s != '\0'; ++s)
                out.Put(*s);
            break;
        case 'c':
            out.Put(static_cast<char>(va_arg(args, int)));
            break;
        case '%':
            out.Put('%');
            break;
        default: // not a conversion of ours: shown as written
            out.Put('%');
            if (*f == '\0')
                --f;
            else
                out.Put(*f);
        }
    }
    out.Finish();
    return out.Length();
}

int SafePrint(char* out, std::size_t bytes, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int length = SafeFormat(out, bytes, format, args);
    va_end(args);
    return length;
}

} // namespace qor::tracer
