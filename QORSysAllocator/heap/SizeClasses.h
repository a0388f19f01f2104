// The heap engine's size classes: 16-byte steps up to 128 bytes, then eight classes per doubling
// up to kLargestClassBytes, so that a request above 128 bytes is rounded up by less than 1/8.
// Every class is a multiple of 16, the alignment that x86-64's max_align_t and the compilers'
// assumptions about malloc ask of every block. Larger requests are huge blocks, mapped alone.
// Invariants: ClassBytes(ClassOf(n)) >= n; ClassBytes(ClassOf(n)) < n * 9 / 8 for n > 128;
// classes strictly increase; a request of n <= kDirectBytes has class kDirectClass[(n + 15) / 16].
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qor::heap {

constexpr std::size_t kGrain = 16;
constexpr std::size_t kLargestClassBytes = std::size_t{256} * 1024;
constexpr unsigned kClassCount = 96;
// Requests up to this find their page through one table look-up (the allocation fast path).
constexpr std::size_t kDirectBytes = 1024;
constexpr unsigned kDirectSlots = kDirectBytes / kGrain + 1;

// Requires: bytes <= kLargestClassBytes.
constexpr unsigned ClassOf(std::size_t bytes) {
    if (bytes <= 128) return bytes <= kGrain ? 0 : static_cast<unsigned>((bytes - 1) >> 4);
    const unsigned log = 63 - static_cast<unsigned>(__builtin_clzll(bytes - 1));
    return 8 + (log - 7) * 8 + static_cast<unsigned>(((bytes - 1) >> (log - 3)) & 7);
}

constexpr std::size_t ClassBytes(unsigned sizeClass) {
    if (sizeClass < 8) return (sizeClass + 1) * kGrain;
    const unsigned doubling = (sizeClass - 8) / 8;
    const unsigned step = (sizeClass - 8) % 8;
    return (std::size_t{128} << doubling) + (step + 1) * (std::size_t{16} << doubling);
}

static_assert(ClassOf(kLargestClassBytes) == kClassCount - 1);
static_assert(ClassBytes(kClassCount - 1) == kLargestClassBytes);
static_assert(ClassOf(129) == 8 && ClassBytes(8) == 144 && ClassOf(257) == 16);

// The class of each direct slot: slot i serves the requests of (16 (i - 1), 16 i] bytes, which all
// round to the class of 16 i because every class is a multiple of 16.
constexpr std::array<std::uint8_t, kDirectSlots> kDirectClass = [] {
    std::array<std::uint8_t, kDirectSlots> table{};
    for (unsigned slot = 0; slot < kDirectSlots; ++slot)
        table[slot] = static_cast<std::uint8_t>(ClassOf(slot * kGrain));
    return table;
}();

// The largest class a direct slot serves.
constexpr unsigned kLastDirectClass = ClassOf(kDirectBytes);

// Pages of a class span whole 64 KiB slices: one up to 8 KiB blocks, enough for 8 blocks above.
constexpr unsigned kSliceShift = 16;
constexpr std::size_t kSliceBytes = std::size_t{1} << kSliceShift;
constexpr unsigned PageSlices(unsigned sizeClass) {
    const std::size_t bytes = ClassBytes(sizeClass) * 8;
    return bytes <= kSliceBytes ? 1
                                : static_cast<unsigned>((bytes + kSliceBytes - 1) >> kSliceShift);
}

} // namespace qor::heap
