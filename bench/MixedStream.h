// The request stream of the mixed churn benchmarks: block sizes of 8 to 512 bytes (60 % in 8..64,
// 25 % in 65..128, 10 % in 129..256, 5 % in 257..512) and the live block that each pair replaces,
// drawn inside the timed loop from one 64-bit generator. The stream does not repeat within any
// run (period 2^64), and one seed gives every route the same draws, at the same cost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qor::bench {

class MixedStream {
public:
    explicit MixedStream(std::uint64_t seed) : state_(seed) {}

    struct Request {
        std::size_t slot;    // 0 <= slot < window
        std::uint32_t bytes; // 8 <= bytes <= 512
    };

    // One draw: its high half picks the slot by a multiply and a shift (no division), its low
    // half the size. Costs about 20 instructions, two of them multiplies, and one branch on the
    // size class.
    Request Next(std::size_t window) {
        const std::uint64_t draw = Draw();
        return {static_cast<std::size_t>(((draw >> 32) * window) >> 32),
                SizeOf(static_cast<std::uint32_t>(draw))};
    }

    // A size alone, for filling the window.
    std::uint32_t NextSize() { return SizeOf(static_cast<std::uint32_t>(Draw())); }

private:
    // splitmix64: every 64-bit state once per period, and well mixed even in its low bits.
    std::uint64_t Draw() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // The low 16 bits pick the class (0 <= percent < 100), the high 16 the size in the class.
    static std::uint32_t SizeOf(std::uint32_t bits) {
        const std::uint32_t percent = ((bits & 0xFFFFu) * 100u) >> 16;
        const std::uint32_t fraction = bits >> 16;
        const auto within = [fraction](std::uint32_t low, std::uint32_t high) {
            return low + ((fraction * (high - low + 1)) >> 16);
        };
        return percent < 60   ? within(8, 64)
               : percent < 85 ? within(65, 128)
               : percent < 95 ? within(129, 256)
                              : within(257, 512);
    }

    std::uint64_t state_;
};

// The process's resident set now ("VmRSS:") or at its peak ("VmHWM:"), in bytes, from /proc; 0
// when it cannot be read. A few microseconds: call it outside timed loops.
inline std::size_t ResidentBytes(const char* field) {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return 0;
    char line[256];
    std::size_t kilobytes = 0;
    const std::size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::strncmp(line, field, length) == 0)
            kilobytes = std::strtoull(line + length, nullptr, 10);
    std::fclose(status);
    return kilobytes * 1024;
}

} // namespace qor::bench
