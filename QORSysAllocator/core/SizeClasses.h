// The size classes of every route, each rule once. The routes round differently because they
// serve different callers:
// - the fixed pools of pool argument 4 (qor): a request's key picks a single-size pool or the fast
//   pool, so that the most common small sizes never share a pool with any other size;
// - the paged pool (qor): 2, 4, then multiples of 8 below 4048, the classes its callers were
//   promised; a page holds blocks of one class only, so finer classes waste no header;
// - the per-thread caches (qor::threadcache): the exact piece or class of the pool behind them,
//   since a cached block goes back through its pool's own release;
// - the override's pool route (qor::override): 16-byte steps to 128 bytes, then four per
//   doubling, coarse enough that realloc grows in place within a class;
// - the heap engine (qor::heap): 16-byte steps to 128 bytes, then eight per doubling, so that
//   no request above 128 bytes is rounded up by 1/8 or more.
#pragma once

#include "PoolInterface.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace qor {

// Entries of the fixed pools' table (Runtime::fixedPools) that a key reaches; 12..15 stay null,
// and the permanent pool's entry is PoolArgument.h's.
constexpr int kFirstSingleSizeEntry = 1;
constexpr int kLastSmallKeyEntry = 10;
constexpr int kEntry128 = 11;
constexpr int kFastEntry = 16;

// A request's key: the reserved room after it plus its size rounded up to 8.
constexpr std::uint64_t FastPoolKey(std::uint64_t size, std::uint64_t extra) {
    return extra + ((size + 7) & ~std::uint64_t{7});
}

// Keys 8, 16, ... 80 and 128 have a single-size pool of their own; every other key goes to the
// fast pool.
constexpr int FastPoolEntry(std::uint64_t key) {
    constexpr std::uint64_t kLargestSmallKey = 80;
    if ((key & 7) == 0 && key - 8 <= kLargestSmallKey - 8) return static_cast<int>(key >> 3);
    return key == 128 ? kEntry128 : kFastEntry;
}

// Paged classes from here on fit no page: they are refused before any table or page work.
constexpr unsigned kFirstUnservedPagedClass = 4048;

// Paged size class of t = size + extra bytes: 2, 4, or t rounded up to 8.
constexpr unsigned SizeClassOf(std::size_t totalBytes) {
    if (totalBytes <= 2) return 2;
    if (totalBytes <= 4) return 4;
    return static_cast<unsigned>((totalBytes + 7) & ~std::size_t{7});
}

} // namespace qor

namespace qor::threadcache {

// A class is a general block's piece size (the request rounded to 8, plus its 16-byte header) or a
// paged block's size class. The link of a cached block lives in its first 8 bytes, so a general
// piece needs 24 bytes and a paged class 8.
constexpr std::size_t kLargestClassBytes = 1040; // a general block of 1024 requested bytes
constexpr std::size_t kSmallestGeneralClass = 24;
constexpr std::size_t kSmallestPagedClass = 8;
constexpr int kBins = kLargestClassBytes / 8 + 1; // bin = class bytes / 8

// The class of a request of `size` bytes from a pool of this kind, or 0 when no cache serves it:
// a general block of 0 bytes and paged classes 2 and 4 have no room for the link.
constexpr std::size_t ClassOf(std::size_t size, bool paged) {
    constexpr std::size_t kLargestRequest = kLargestClassBytes - kBlockHeaderBytes;
    const std::size_t smallest = paged ? 5 : 1;
    if (size - smallest > kLargestRequest - smallest) return 0;
    return ((paged ? size : size + kBlockHeaderBytes) + 7) & ~std::size_t{7};
}

} // namespace qor::threadcache

namespace qor::override {

// The size a request is served at on the pool route: a multiple of 16 up to 128 bytes, then four
// sizes per doubling (at most a quarter more than asked). Few sizes let a freed block serve the
// next request of its class, in the thread's cache or in the pool, and let realloc grow in place
// within the class and by whole steps beyond it, instead of leaving a hole at every append.
constexpr std::size_t ClassBytes(std::size_t bytes) {
    constexpr std::size_t kGrain = 16;
    if (bytes <= 128) return bytes == 0 ? kGrain : (bytes + kGrain - 1) & ~(kGrain - 1);
    const std::size_t step = (std::size_t{1} << (63 - __builtin_clzll(bytes - 1))) >> 2;
    return (bytes + step - 1) & ~(step - 1);
}

} // namespace qor::override

// The heap engine's size classes: 16-byte steps up to 128 bytes, then eight classes per doubling
// up to kLargestClassBytes, so that a request above 128 bytes is rounded up by less than 1/8.
// Every class is a multiple of 16, the alignment that x86-64's max_align_t and the compilers'
// assumptions about malloc ask of every block. Larger requests are huge blocks, mapped alone.
// Invariants: ClassBytes(ClassOf(n)) >= n; ClassBytes(ClassOf(n)) < n * 9 / 8 for n > 128;
// classes strictly increase; a request of n <= kDirectBytes has class kDirectClass[(n + 15) / 16].
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
