// The heap engine's checker: a thread heap's queues, full list, pages and segments against the
// rules of Layout.h and Heap.h, at a quiet point (no release in flight), for tests and the fuzzer.
// For a page: free + localFree + the thread-free list + used - threadFreed == capacity (used keeps
// a block another thread released until its count lands), every listed block a distinct carved
// block; for a segment: its pages and free slices partition slices 1..63, dirty slices are free.
#include "Heap.h"

#include "Segments.h"

#include "../core/PoolCheck.h"

#include <cstring>

namespace qor {

namespace {

using heap::Block;
using heap::Page;
using heap::Segment;

// Marks each block of a list in `seen` (one bit per carved block); false at the first block out
// of place or seen twice. Counts into `count`.
bool WalkList(const Page& page, const Block* block, std::uint64_t* seen, std::uint32_t* count,
              const char* list, CheckResult& result) {
    const std::uint32_t capacity = page.capacity.load(std::memory_order_relaxed);
    for (; block != nullptr; block = block->next) {
        const auto offset =
            static_cast<std::size_t>(reinterpret_cast<const char*>(block) - page.start);
        const std::size_t index = offset / page.blockBytes;
        if (reinterpret_cast<const char*>(block) < page.start || offset % page.blockBytes != 0 ||
            index >= capacity)
            return result.Fail("class %u page at %p: its %s list holds %p, no carved block",
                               page.sizeClass, static_cast<const void*>(page.start), list,
                               static_cast<const void*>(block));
        if (seen[index / 64] & (std::uint64_t{1} << (index % 64)))
            return result.Fail("class %u page at %p: block %zu is listed twice", page.sizeClass,
                               static_cast<const void*>(page.start), index);
        seen[index / 64] |= std::uint64_t{1} << (index % 64);
        ++*count;
    }
    return true;
}

bool CheckPage(const heap::Heap& owner, const Page& page, unsigned sizeClass, bool full,
               CheckResult& result) {
    const std::uintptr_t word = page.owner.load(std::memory_order_relaxed);
    if ((word & ~heap::kOwnerFlags) != reinterpret_cast<std::uintptr_t>(&owner))
        return result.Fail("class %u page at %p: owned by %p", sizeClass,
                           static_cast<const void*>(page.start),
                           reinterpret_cast<const void*>(word & ~heap::kOwnerFlags));
    if (page.sizeClass != sizeClass || page.blockBytes != heap::ClassBytes(sizeClass) ||
        page.firstSlice == 0)
        return result.Fail(
            "page at %p in the queue of class %u is of class %u (%u bytes, slice %u)",
            static_cast<const void*>(page.start), sizeClass, page.sizeClass, page.blockBytes,
            page.firstSlice);
    if (((word & heap::kOwnerFull) != 0) != full)
        return result.Fail("class %u page at %p: full flag %d in the %s list", sizeClass,
                           static_cast<const void*>(page.start), (word & heap::kOwnerFull) != 0,
                           full ? "full" : "class's");
    const std::uint32_t capacity = page.capacity.load(std::memory_order_relaxed);
    if (capacity > page.reserved)
        return result.Fail("class %u page at %p: %u blocks carved of %u", sizeClass,
                           static_cast<const void*>(page.start), capacity, page.reserved);
    // The most blocks of a page: a one-slice page of the smallest class (larger classes take more
    // slices only to hold at least eight blocks).
    constexpr std::size_t kMostBlocks = heap::kSliceBytes / heap::kGrain;
    if (page.reserved > kMostBlocks)
        return result.Fail("class %u page at %p holds %u blocks", sizeClass,
                           static_cast<const void*>(page.start), page.reserved);
    std::uint64_t seen[kMostBlocks / 64] = {};
    std::uint32_t listed = 0, threadListed = 0;
    const auto* threadList = reinterpret_cast<const Block*>(
        page.threadFree.load(std::memory_order_acquire) & ~heap::kThreadFlags);
    if (!WalkList(page, page.free, seen, &listed, "free", result) ||
        !WalkList(page, page.localFree, seen, &listed, "local", result) ||
        !WalkList(page, threadList, seen, &threadListed, "thread-free", result))
        return false;
    const std::uint32_t used = page.used.load(std::memory_order_relaxed);
    const std::uint32_t counted = page.threadFreed.load(std::memory_order_relaxed);
    if (listed + threadListed + used - counted != capacity)
        return result.Fail("class %u page at %p: %u free + %u released by others + %u used - %u "
                           "counted != %u carved",
                           sizeClass, static_cast<const void*>(page.start), listed, threadListed,
                           used, counted, capacity);
    return true;
}

bool CheckQueue(const heap::Heap& heap, const heap::PageQueue& queue, unsigned sizeClass, bool full,
                CheckResult& result) {
    const Page* previous = nullptr;
    for (const Page* page = queue.first; page != nullptr; previous = page, page = page->next) {
        if (page->prev != previous)
            return result.Fail("a page queue's links are broken at %p",
                               static_cast<const void*>(page->start));
        if (!CheckPage(heap, *page, full ? page->sizeClass : sizeClass, full, result)) return false;
    }
    if (queue.last != previous)
        return result.Fail("a page queue ends at %p, its last is %p",
                           static_cast<const void*>(previous),
                           static_cast<const void*>(queue.last));
    return true;
}

bool CheckSegment(const heap::Heap& heap, const Segment& segment, std::uint64_t* dirtyBytes,
                  CheckResult& result) {
    if (segment.heap != &heap || segment.kind != heap::SegmentKind::Pages ||
        !heap::InSegment(&segment))
        return result.Fail("segment %p: heap %p, kind %u, mapped %d",
                           static_cast<const void*>(&segment),
                           static_cast<const void*>(segment.heap),
                           static_cast<unsigned>(segment.kind), heap::InSegment(&segment));
    const std::uint64_t free = segment.freeSlices.load(std::memory_order_relaxed);
    const std::uint64_t dirty = segment.dirtySlices.load(std::memory_order_relaxed);
    if ((free & ~heap::kAllPageSlices) != 0 || (dirty & ~free) != 0)
        return result.Fail(
            "segment %p: free slices %016llx, dirty %016llx", static_cast<const void*>(&segment),
            static_cast<unsigned long long>(free), static_cast<unsigned long long>(dirty));
    std::uint64_t covered = free;
    for (unsigned slice = 1; slice < heap::kSlices; ++slice) {
        const Page& page = segment.pages[slice];
        if (page.firstSlice != slice) continue;
        for (unsigned k = slice; k < slice + page.slices; ++k) {
            if (k >= heap::kSlices || (covered & (std::uint64_t{1} << k)) ||
                segment.pageOf[k] != slice)
                return result.Fail("segment %p: slice %u of the page at slice %u is also elsewhere",
                                   static_cast<const void*>(&segment), k, slice);
            covered |= std::uint64_t{1} << k;
        }
    }
    if (covered != heap::kAllPageSlices)
        return result.Fail("segment %p: slices %016llx are neither free nor in a page",
                           static_cast<const void*>(&segment),
                           static_cast<unsigned long long>(~covered & heap::kAllPageSlices));
    *dirtyBytes += __builtin_popcountll(dirty) * heap::kSliceBytes;
    return true;
}

} // namespace

bool CheckInvariants(heap::Heap& heap, CheckResult& result) {
    for (unsigned sizeClass = 0; sizeClass < heap::kClassCount; ++sizeClass) {
        const heap::PageQueue& queue = heap.queues[sizeClass];
        if (!CheckQueue(heap, queue, sizeClass, false, result)) return false;
        if (sizeClass > heap::kLastDirectClass) continue;
        const Page* current = queue.first != nullptr ? queue.first : &heap::gEmptyPage;
        const unsigned slot = static_cast<unsigned>(heap::ClassBytes(sizeClass) / heap::kGrain);
        if (heap.direct[slot] != current)
            return result.Fail("class %u: its direct slot names %p, its queue begins at %p",
                               sizeClass, static_cast<const void*>(heap.direct[slot]),
                               static_cast<const void*>(current));
    }
    if (!CheckQueue(heap, heap.full, 0, true, result)) return false;
    std::uint64_t dirtyBytes = 0;
    for (const Segment* segment = heap.segments; segment != nullptr; segment = segment->next)
        if (!CheckSegment(heap, *segment, &dirtyBytes, result)) return false;
    if (heap.spare != nullptr) {
        if (!CheckSegment(heap, *heap.spare, &dirtyBytes, result)) return false;
        if (heap.spare->freeSlices.load(std::memory_order_relaxed) != heap::kAllPageSlices)
            return result.Fail("the spare segment %p holds pages",
                               static_cast<const void*>(heap.spare));
    }
    if (dirtyBytes != heap.dirtyBytes)
        return result.Fail("the heap counts %llu dirty bytes, its segments hold %llu",
                           static_cast<unsigned long long>(heap.dirtyBytes),
                           static_cast<unsigned long long>(dirtyBytes));
    return true;
}

} // namespace qor
