// The heap engine's memory: 4 MiB segments aligned at 4 MiB, each cut into 64 slices of 64 KiB;
// slice 0 holds the segment's header, the others make pages of one size class each (one slice, or
// a run of them for the larger classes). A huge block is a mapping of its own whose header has the
// same first fields. The header of the memory behind any block is found by masking its address:
// Segment::Of; the segment map says in O(1) whether an address lies in one of ours.
// Invariants: a segment's bit in the map is set exactly while its header is valid; pageOf[s] is the
// first slice of the page that holds slice s (for slices in a page); freeSlices and the slices in
// pages partition slices 1..63; dirtySlices is a subset of freeSlices; a page's blocks start at its
// first slice and `used` counts the blocks handed out and not back on `free` or `localFree`
// (blocks on the thread-free list still count).
#pragma once

#include "../core/SizeClasses.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace qor::heap {

constexpr unsigned kSegmentShift = 22;
constexpr std::size_t kSegmentBytes = std::size_t{1} << kSegmentShift;
constexpr unsigned kSlices = kSegmentBytes / kSliceBytes;
constexpr std::uint64_t kAllPageSlices = ~std::uint64_t{1}; // slice 0 is the header's

struct Block {
    Block* next;
};

struct Heap;

// The low bits of Page::owner: the page's blocks may be handed out inside (aligned requests), so
// a release must find the block first; the page sits in its heap's full list.
constexpr std::uintptr_t kOwnerAligned = 1;
constexpr std::uintptr_t kOwnerFull = 2;
constexpr std::uintptr_t kOwnerFlags = 3;
// The low bits of Page::threadFree: kThreadFull is set while the page is in its heap's full list
// and not yet queued for its owner; kThreadListed while it is on the heap's remote list.
constexpr std::uintptr_t kThreadFull = 1;
constexpr std::uintptr_t kThreadListed = 2;
constexpr std::uintptr_t kThreadFlags = 3;

// 128 bytes: a page's descriptor is found by a shift of its slice's index. Two cache lines: the
// owner's, written at every allocation, and the other threads', which their releases read and
// write, so that a release from another core does not miss on a line the owner keeps writing.
struct alignas(128) Page {
    // The owner thread's fields: read and written by it alone, but for the statistics' relaxed
    // reads of `used` and `capacity`.
    Block* free;      // blocks to hand out
    Block* localFree; // blocks the owner released since `free` was last refilled
    std::atomic<std::uint32_t> used;
    std::atomic<std::uint32_t> capacity; // blocks carved out of the page so far
    std::uint32_t blockBytes;
    std::uint32_t reserved; // blocks the page can hold
    std::uint8_t sizeClass;
    std::uint8_t slices;
    std::uint8_t firstSlice; // 0: the descriptor is no page
    Page* next;              // the owner's queue of its class, or its full list
    Page* prev;
    char* start;
    // The heap's address | kOwner* bits; the release fast path compares it with the thread's heap,
    // so that any flag sends it to the slow path. Written by the owner, read by every thread.
    alignas(64) std::atomic<std::uintptr_t> owner;
    // Other threads' releases: a list pushed with one compare-exchange, taken whole by the owner.
    std::atomic<std::uintptr_t> threadFree; // head | kThread* bits
    // Blocks released by other threads and not yet taken off `used`: each release adds its one
    // after its push, so that the count lags the list and `used` never falls short of the truth.
    std::atomic<std::uint32_t> threadFreed;
    Page* remoteNext; // the heap's remote list
};

enum class SegmentKind : std::uint32_t { Pages = 1, Huge = 2 };

struct Segment {
    SegmentKind kind;
    Heap* heap;    // the owner of its pages; null for a huge block
    Segment* next; // the heap's list of segments
    Segment* prev;
    Segment* registryNext; // every segment, for statistics and fork (under the registry lock)
    Segment* registryPrev;
    char* mapping;           // where the mapping starts (a huge block aligned above 4 MiB starts
    std::size_t mappedBytes; // before its header)
    std::atomic<std::uint64_t> freeSlices;
    std::atomic<std::uint64_t> dirtySlices; // free, and not yet given back to the kernel
    std::uint32_t freedAtMs[kSlices];       // when each dirty slice was freed
    std::uint8_t pageOf[kSlices];
    Page pages[kSlices];

    static Segment* Of(const void* address) {
        return reinterpret_cast<Segment*>(reinterpret_cast<std::uintptr_t>(address) &
                                          ~(kSegmentBytes - 1));
    }
    Page* PageOf(const void* address) {
        const std::size_t slice =
            (reinterpret_cast<std::uintptr_t>(address) >> kSliceShift) & (kSlices - 1);
        return &pages[pageOf[slice]];
    }
    char* SliceStart(unsigned slice) { return reinterpret_cast<char*>(this) + slice * kSliceBytes; }
};

static_assert(sizeof(Page) == 128);
static_assert(sizeof(Segment) <= kSliceBytes, "a segment's header fits its first slice");

// A huge block starts this far into its mapping (or its alignment, if larger): past the header's
// fields and its one page descriptor.
constexpr std::size_t kHugeHeaderBytes = (offsetof(Segment, pages) + sizeof(Page) + 63) & ~63u;

// --- The segment map: one bit per 4 MiB of the 47-bit address space (4 MiB of zero pages,
// touched only where segments lie). Lock-free: a segment's bit is set before its first block is
// handed out and cleared before its memory is unmapped.
constexpr unsigned kAddressBits = 47;
constexpr std::size_t kMapWords = (std::size_t{1} << (kAddressBits - kSegmentShift)) / 64;
extern std::atomic<std::uint64_t> gSegmentMap[kMapWords];

// Cost: a shift, one load and a bit test.
inline bool InSegment(const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    if ((at >> kAddressBits) != 0) return false;
    const std::uintptr_t segment = at >> kSegmentShift;
    return (gSegmentMap[segment >> 6].load(std::memory_order_relaxed) >> (segment & 63)) & 1;
}

void MarkSegment(const void* segment, bool on);

} // namespace qor::heap
