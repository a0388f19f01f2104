// What the fuzzers share: the input read as small numbers (0 once it is used up), a check that
// names the broken property, and the byte pattern of a seed that blocks and objects carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>

inline const char* gFuzzInputName = nullptr; // set by a replay, which has no crash file to keep

[[noreturn]] inline void FuzzFailure(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s%s%s\n", file, line, what,
                 gFuzzInputName ? " on " : "", gFuzzInputName ? gFuzzInputName : "");
    std::abort();
}
#define FUZZ_CHECK(condition) ((condition) ? void() : FuzzFailure(#condition, __FILE__, __LINE__))

struct FuzzInput {
    const std::uint8_t* data;
    std::size_t left;

    bool More() const { return left != 0; }
    unsigned Byte() { return left == 0 ? 0 : (--left, *data++); }
    unsigned Word() { return left < 2 ? Byte() : (left -= 2, data += 2, data[-2] | data[-1] << 8); }
    unsigned Pick(std::size_t count) { return static_cast<unsigned>(Byte() % count); }
    template <class C> auto Any(C& c) {
        return c.empty() ? c.end() : std::next(c.begin(), Word() % c.size());
    }
};

// The models hold for pooling on and no instrumentation, whatever the calling shell exported.
inline void UseDefaultConfiguration() {
    for (const char* variable : {"QORSysPoolAllocator", "QORSysAllocatorInstrum", "ReplayPurify"})
        unsetenv(variable);
}

inline unsigned char PatternByte(std::uint32_t seed, std::size_t i) {
    return static_cast<unsigned char>((seed * 0x9E3779B1u ^ std::uint32_t(i) * 0x85EBCA6Bu) >> 23);
}
inline void Fill(void* bytes, std::size_t count, std::uint32_t seed) {
    for (std::size_t i = 0; i < count; ++i)
        static_cast<unsigned char*>(bytes)[i] = PatternByte(seed, i);
}
// All `count` bytes, or (cheap enough for every step) the first and the last 16.
inline bool Intact(const void* bytes, std::size_t count, std::uint32_t seed, bool whole) {
    for (std::size_t i = 0; i < count; i = !whole && i == 15 && count > 32 ? count - 16 : i + 1)
        if (static_cast<const unsigned char*>(bytes)[i] != PatternByte(seed, i)) return false;
    return true;
}
