// Report formats print an address as "0x%p" and expect 16 upper-case, zero-padded hexadecimal
// digits after the "0x", as the platform the formats were written for prints %p. glibc's %p
// prints its own "0x" and lower-case digits, so the formats are rewritten at compile time:
// every "%p" becomes "%016lX" and its argument is passed through AddressArg.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor::platform {

template <std::size_t N> struct AddressFormat {
    // Each "%p" (2 characters) grows to "%016lX" (6): three times the source is always enough.
    char text[N * 3]{};

    consteval AddressFormat(const char (&format)[N]) {
        std::size_t out = 0;
        for (std::size_t in = 0; in < N; ++in) {
            if (format[in] == '%' && in + 1 < N && format[in + 1] == 'p') {
                for (char c : {'%', '0', '1', '6', 'l', 'X'})
                    text[out++] = c;
                ++in;
            } else if (format[in] == '%' && in + 1 < N && format[in + 1] == '%') {
                text[out++] = '%';
                text[out++] = format[++in];
            } else {
                text[out++] = format[in];
            }
        }
    }
};

inline unsigned long AddressArg(const void* address) {
    static_assert(sizeof(unsigned long) == sizeof(std::uintptr_t));
    return reinterpret_cast<std::uintptr_t>(address);
}

} // namespace qor::platform
