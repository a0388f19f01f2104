// printf-style formatting that is async-signal-safe: no locale, no allocation, no stdio, so the
// report can be written from a fatal signal's handler as well as at exit.
// Conversions: %d %u %ld %lu %lld %llu %zu (decimal), %x %lx %llx (hex), %s, %c, %%; a width and
// '0' flag for the hex forms used by the JSON escapes (%04x).
#pragma once

#include <cstdarg>
#include <cstddef>

namespace qor::tracer {

// Like vsnprintf: writes at most `bytes` - 1 characters and a zero, returns the length the whole
// text has.
int SafeFormat(char* out, std::size_t bytes, const char* format, va_list args);
int SafePrint(char* out, std::size_t bytes, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

} // namespace qor::tracer
