// Segments, slices and purge (Segments.h).
#include "Segments.h"

#include "../platform/Platform.h"
#include "../platform/Sanitizers.h"

namespace qor::heap {

std::atomic<std::uint64_t> gSegmentMap[kMapWords] = {};
QORMutex gRegistryLock{0, 0, 0};
Segment* gRegistry = nullptr;
std::uint32_t gPurgeDelayMs = 10;

namespace {

// Empty segments kept mapped, their slices purged: a heap that grows again soon gets one without a
// system call, and at most this much address space waits.
constexpr int kCachedSegments = 8;
Segment* gCache[kCachedSegments] = {};
int gCached = 0;

// Beyond this a heap purges its oldest free slices without waiting for the delay, so that a
// program that frees much and then goes quiet keeps little resident.
constexpr std::uint64_t kDirtyLimitBytes = std::uint64_t{8} << 20;

std::uint64_t SliceMask(unsigned first, unsigned slices) {
    return (slices == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << slices) - 1)) << first;
}

std::uint32_t NowMs() { return static_cast<std::uint32_t>(platform::MonotonicMilliseconds()); }

void LinkToHeap(Heap* heap, Segment* segment) {
    segment->prev = nullptr;
    segment->next = heap->segments;
    if (heap->segments != nullptr) heap->segments->prev = segment;
    heap->segments = segment;
}

void UnlinkFromHeap(Heap* heap, Segment* segment) {
    if (segment->prev != nullptr)
        segment->prev->next = segment->next;
    else
        heap->segments = segment->next;
    if (segment->next != nullptr) segment->next->prev = segment->prev;
    segment->next = segment->prev = nullptr;
}

Segment* NewSegment(Heap* heap) {
    Segment* segment = nullptr;
    {
        ScopedLock lock(gRegistryLock);
        if (gCached > 0) segment = gCache[--gCached];
    }
    if (segment == nullptr) {
        void* memory = platform::MapMemory(kSegmentBytes, kSegmentBytes);
        if (memory == nullptr) return nullptr;
        segment = static_cast<Segment*>(memory);
    }
    segment->kind = SegmentKind::Pages;
    segment->heap = heap;
    segment->mapping = reinterpret_cast<char*>(segment);
    segment->mappedBytes = kSegmentBytes;
    segment->freeSlices.store(kAllPageSlices, std::memory_order_relaxed);
    segment->dirtySlices.store(0, std::memory_order_relaxed);
    Register(segment);
    return segment;
}

// Requires: every slice of `segment` free; it is in none of the heap's lists.
void ReleaseSegment(Heap* heap, Segment* segment) {
    heap->dirtyBytes -=
        __builtin_popcountll(segment->dirtySlices.load(std::memory_order_relaxed)) * kSliceBytes;
    Unregister(segment);
    {
        ScopedLock lock(gRegistryLock);
        if (gCached < kCachedSegments) {
            platform::PurgeMemory(segment->SliceStart(1), kSegmentBytes - kSliceBytes);
            gCache[gCached++] = segment;
            return;
        }
    }
    platform::UnmapMemory(segment, kSegmentBytes);
}

// Purges the segment's dirty slices freed at least the delay before `now` (all with `all`).
void PurgeSegment(Heap* heap, Segment* segment, std::uint32_t now, bool all) {
    std::uint64_t dirty = segment->dirtySlices.load(std::memory_order_relaxed);
    std::uint64_t due = 0;
    for (std::uint64_t rest = dirty; rest != 0; rest &= rest - 1) {
        const unsigned slice = __builtin_ctzll(rest);
        if (all || now - segment->freedAtMs[slice] >= gPurgeDelayMs)
            due |= std::uint64_t{1} << slice;
    }
    if (due == 0) return;
    // One system call per run of neighbouring slices.
    for (std::uint64_t rest = due; rest != 0;) {
        const unsigned first = __builtin_ctzll(rest);
        unsigned slices = __builtin_ctzll(~(rest >> first));
        if (first + slices > 64) slices = 64 - first;
        platform::PurgeMemory(segment->SliceStart(first), slices * kSliceBytes);
        rest &= ~SliceMask(first, slices);
    }
    segment->dirtySlices.store(dirty & ~due, std::memory_order_relaxed);
    heap->dirtyBytes -= __builtin_popcountll(due) * kSliceBytes;
}

} // namespace

void MarkSegment(const void* segment, bool on) {
    const std::uintptr_t index = reinterpret_cast<std::uintptr_t>(segment) >> kSegmentShift;
    const std::uint64_t bit = std::uint64_t{1} << (index & 63);
    if (on)
        gSegmentMap[index >> 6].fetch_or(bit, std::memory_order_release);
    else
        gSegmentMap[index >> 6].fetch_and(~bit, std::memory_order_release);
}

void Register(Segment* segment) {
    ScopedLock lock(gRegistryLock);
    RegisterLocked(segment);
}

void Unregister(Segment* segment) {
    ScopedLock lock(gRegistryLock);
    UnregisterLocked(segment);
}

void RegisterLocked(Segment* segment) {
    platform::WatchForPointers(segment->mapping, segment->mappedBytes);
    segment->registryPrev = nullptr;
    segment->registryNext = gRegistry;
    if (gRegistry != nullptr) gRegistry->registryPrev = segment;
    gRegistry = segment;
    MarkSegment(segment, true);
}

void UnregisterLocked(Segment* segment) {
    platform::StopWatching(segment->mapping, segment->mappedBytes);
    MarkSegment(segment, false);
    if (segment->registryPrev != nullptr)
        segment->registryPrev->registryNext = segment->registryNext;
    else
        gRegistry = segment->registryNext;
    if (segment->registryNext != nullptr)
        segment->registryNext->registryPrev = segment->registryPrev;
}

Page* TakePageSlices(Heap* heap, unsigned slices) {
    Segment* segment = heap->segments;
    int first = -1;
    for (; segment != nullptr; segment = segment->next) {
        first = FindFreeRun(segment->freeSlices.load(std::memory_order_relaxed), slices);
        if (first >= 0) break;
    }
    if (segment == nullptr) {
        segment = heap->spare != nullptr ? heap->spare : NewSegment(heap);
        if (segment == nullptr) return nullptr;
        heap->spare = nullptr;
        LinkToHeap(heap, segment);
        first = FindFreeRun(segment->freeSlices.load(std::memory_order_relaxed), slices);
    }
    const std::uint64_t mask = SliceMask(static_cast<unsigned>(first), slices);
    const std::uint64_t dirty = segment->dirtySlices.load(std::memory_order_relaxed);
    heap->dirtyBytes -= __builtin_popcountll(dirty & mask) * kSliceBytes;
    segment->dirtySlices.store(dirty & ~mask, std::memory_order_relaxed);
    segment->freeSlices.fetch_and(~mask, std::memory_order_relaxed);
    for (unsigned slice = first; slice < first + slices; ++slice)
        segment->pageOf[slice] = static_cast<std::uint8_t>(first);
    Page* page = &segment->pages[first];
    page->start = segment->SliceStart(first);
    page->slices = static_cast<std::uint8_t>(slices);
    return page;
}

void FreePageSlices(Heap* heap, Page* page) {
    Segment* segment = Segment::Of(page->start);
    const unsigned first = page->firstSlice;
    const std::uint64_t mask = SliceMask(first, page->slices);
    const std::uint32_t now = NowMs();
    for (unsigned slice = first; slice < first + page->slices; ++slice)
        segment->freedAtMs[slice] = now;
    Poke(page->firstSlice, std::uint8_t{0});
    page->owner.store(0, std::memory_order_relaxed);
    segment->dirtySlices.fetch_or(mask, std::memory_order_relaxed);
    heap->dirtyBytes += page->slices * kSliceBytes;
    const std::uint64_t free = segment->freeSlices.fetch_or(mask, std::memory_order_relaxed) | mask;
    if (free == kAllPageSlices) {
        UnlinkFromHeap(heap, segment);
        if (heap->spare == nullptr)
            heap->spare = segment;
        else
            ReleaseSegment(heap, segment);
    }
    if (heap->dirtyBytes > kDirtyLimitBytes ||
        static_cast<std::int32_t>(now - heap->nextPurgeMs) >= 0)
        PurgeHeap(heap, false);
}

void PurgeHeap(Heap* heap, bool all) {
    const std::uint32_t now = NowMs();
    // Over the limit, everything goes: the oldest slices are not worth finding one by one.
    all = all || heap->dirtyBytes > kDirtyLimitBytes;
    for (Segment* segment = heap->segments; segment != nullptr; segment = segment->next)
        PurgeSegment(heap, segment, now, all);
    if (heap->spare != nullptr) PurgeSegment(heap, heap->spare, now, all);
    heap->nextPurgeMs = now + gPurgeDelayMs;
}

void ReleaseEmptySegments(Heap* heap) {
    if (heap->spare != nullptr) {
        Segment* spare = heap->spare;
        heap->spare = nullptr;
        ReleaseSegment(heap, spare);
    }
}

} // namespace qor::heap
