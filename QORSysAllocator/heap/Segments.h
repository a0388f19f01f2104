// Segments and their slices: where a heap's pages come from and go back to, the purge that gives
// free slices back to the kernel after the delay, the registry of every segment and huge mapping,
// and the cache of empty segments kept mapped (purged) for the next heap that needs one.
// Invariants: a heap's `segments` list holds exactly the segments it owns but `spare`;
// heap->dirtyBytes == sum over them (spare included) of popcount(dirtySlices) * kSliceBytes; the
// registry holds every segment and huge block whose map bit is set; a cached segment is in no list
// but the cache, its map bit clear, all its slices purged.
#pragma once

#include "Heap.h"

#include "../core/ScopedLock.h"

namespace qor::heap {

// The registry's lock: taken to add or remove a segment or huge mapping and by the statistics.
extern QORMutex gRegistryLock;
extern Segment* gRegistry;
extern std::uint32_t gPurgeDelayMs;

// The first slice of a run of `slices` free ones, or -1.
inline int FindFreeRun(std::uint64_t free, unsigned slices) {
    std::uint64_t starts = free;
    for (unsigned k = 1; k < slices && starts != 0; ++k)
        starts &= free >> k;
    return starts == 0 ? -1 : __builtin_ctzll(starts);
}

// A page of `slices` slices for `heap`, from its segments, its spare or a new segment; its
// descriptor is set to the page's place and `pageOf` to it, every other field is the caller's.
// Null when no memory can be had.
Page* TakePageSlices(Heap* heap, unsigned slices);
// Gives a page's slices back to its segment (dirty, purged after the delay); an empty segment
// becomes the heap's spare or goes.
void FreePageSlices(Heap* heap, Page* page);
// Purges the heap's dirty slices freed at least the delay ago, or all of them with `all` or when
// the heap holds too many.
void PurgeHeap(Heap* heap, bool all);
// The spare segment and every segment of an ending heap that holds no page go.
void ReleaseEmptySegments(Heap* heap);

// Huge blocks (Huge.cpp): a mapping each, its header at the 4 MiB boundary below the block.
// Zeroed: the block must read as zero (a kept mapping is not used); Growing: realloc grows it.
enum class HugeUse { Plain, Zeroed, Growing };
void* AllocateHuge(std::size_t bytes, std::size_t alignment, HugeUse use);
void ReleaseHuge(Segment* header);
// Released huge mappings kept for the next huge block: all unmapped now; their bytes.
void ReleaseKeptMappings();
std::size_t KeptMappingBytes();
// The number of heaps made, and of those whose thread ended (Heap.cpp).
std::uint64_t CountHeaps(std::uint64_t* abandoned);

// Adds a segment or huge header to the registry and sets its map bit, or the reverse; the Locked
// forms require gRegistryLock held.
void Register(Segment* segment);
void Unregister(Segment* segment);
void RegisterLocked(Segment* segment);
void UnregisterLocked(Segment* segment);

// Relaxed atomic access to a plain field that the statistics read from another thread.
template <class T> inline T Peek(const T& field) {
    return __atomic_load_n(&field, __ATOMIC_RELAXED);
}
template <class T> inline void Poke(T& field, T value) {
    __atomic_store_n(&field, value, __ATOMIC_RELAXED);
}

} // namespace qor::heap
