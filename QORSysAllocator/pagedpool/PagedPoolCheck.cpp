// The paged pool's invariant checker. Per page P of an accessor entry's main or partial list:
//   P names the pool and the entry's size; its links run both ways; reserved <= carved <= capacity;
//   its chain of released blocks holds at most freeCount distinct handed-out positions.
// Per entry: currentPage is on the main list; a page is on one list only; currentUsedUp => the
//   current page is carved out and has no released block.
// Per pool: size == 4096 * pages, pieceCount == blocks in use, largestFreeArea == bytes in use,
//   free == sum over pages of (capacity - carved + freeCount) * blockSize.
// Per region of the pool's list: its links, its parent, and its chain of free pages.
#include "PagedPool.h"

#include "../core/PoolCheck.h"

namespace qor {
namespace {

struct PageTally {
    std::uint64_t pages = 0, blocksInUse = 0, bytesInUse = 0, bytesFree = 0;
};

// The released chain: distinct handed-out positions, no more than freeCount of them. A chain that
// TakeFreeBlock dropped (null head with a count) is allowed.
bool CheckReleasedChain(const PageObject& page, CheckResult& result) {
    std::uint64_t seen[kPageBytes / 2 / 64] = {}; // one bit per 2-byte position
    const char* start = page.PageStart();
    const char* at = static_cast<const char*>(page.freeBlocks);
    for (unsigned i = 0; at != nullptr; ++i) {
        const auto offset = static_cast<std::uint32_t>(at - start);
        if (i == page.freeCount)
            return result.Fail("page %p: its released chain is longer than freeCount %u",
                               static_cast<const void*>(start), unsigned{page.freeCount});
        if (offset >= kPageObjectOffset || !IsCarvedOffset(page, offset)) return true; // cut off
        std::uint64_t& word = seen[offset / 2 / 64];
        const std::uint64_t bit = std::uint64_t{1} << (offset / 2 % 64);
        if (word & bit)
            return result.Fail("page %p: block %p is twice on its released chain",
                               static_cast<const void*>(start), static_cast<const void*>(at));
        word |= bit;
        std::int16_t distance;
        __builtin_memcpy(&distance, at, sizeof distance);
        if (distance == 0) break;
        at += distance;
    }
    return true;
}

bool CheckPage(const PagedPool& pool, const PageObject& page, unsigned size, PageTally& tally,
               CheckResult& result) {
    const void* start = page.PageStart();
    if (page.owner != &pool)
        return result.Fail("page %p of pool %p names pool %p", start,
                           static_cast<const void*>(&pool), static_cast<void*>(page.owner));
    if (page.blockSize != size || page.nextFreePage != kPageInUse)
        return result.Fail("page %p on the list of class %u has class %u (free-page link %u)",
                           start, size, unsigned{page.blockSize}, unsigned{page.nextFreePage});
    const int capacity = PageCapacity(page), reserved = ReservedCount(page);
    if (page.capacity != capacity || page.carved < reserved || page.carved > capacity ||
        page.freeCount > page.carved - reserved)
        return result.Fail("page %p (class %u): carved %u, released %u, reserved %d, capacity %d",
                           start, size, unsigned{page.carved}, unsigned{page.freeCount}, reserved,
                           capacity);
    if (!CheckReleasedChain(page, result)) return false;
    const unsigned inUse = page.carved - reserved - page.freeCount;
    if (inUse == 0)
        return result.Fail("page %p (class %u) holds no block but is still the pool's", start,
                           size);
    ++tally.pages;
    tally.blocksInUse += inUse;
    tally.bytesInUse += std::uint64_t{inUse} * size;
    tally.bytesFree += std::uint64_t(capacity - page.carved + page.freeCount) * size;
    return true;
}

// One list of an entry, from `head` by next links; `current` is found on it when `wanted`.
bool CheckList(const PagedPool& pool, PageObject* head, unsigned size, PageObject* current,
               bool wanted, PageTally& tally, CheckResult& result) {
    bool currentSeen = !wanted || current == nullptr;
    const PageObject* prev = nullptr;
    for (PageObject* page = head; page != nullptr; prev = page, page = page->next) {
        if (tally.pages > (std::uint64_t{1} << 32))
            return result.Fail("pool %p: a page list of class %u does not end",
                               static_cast<const void*>(&pool), size);
        if (page->prev != prev)
            return result.Fail("page %p: its previous-page link is %p, not %p",
                               static_cast<void*>(page->PageStart()),
                               static_cast<void*>(page->prev), static_cast<const void*>(prev));
        if (!CheckPage(pool, *page, size, tally, result)) return false;
        currentSeen = currentSeen || page == current;
    }
    if (!currentSeen)
        return result.Fail("pool %p: the current page %p of class %u is not on its main list",
                           static_cast<const void*>(&pool),
                           static_cast<void*>(current->PageStart()), size);
    return true;
}

bool CheckRegions(const RegionList& list, CheckResult& result) {
    if ((list.first == nullptr) != (list.last == nullptr))
        return result.Fail("region list %p: first %p, last %p", static_cast<const void*>(&list),
                           static_cast<void*>(list.first), static_cast<void*>(list.last));
    const Region* prev = nullptr;
    bool currentSeen = list.current == nullptr;
    for (const Region* region = list.first; region != nullptr;
         prev = region, region = region->next) {
        if (region->parent != &list || region->prev != prev)
            return result.Fail("region %p of list %p: parent %p, previous %p (expected %p)",
                               static_cast<const void*>(region), static_cast<const void*>(&list),
                               static_cast<void*>(region->parent), static_cast<void*>(region->prev),
                               static_cast<const void*>(prev));
        if (region->pagesIssued > kPagesPerRegion || region->freePages > kPagesPerRegion)
            return result.Fail("region %p: %u pages issued, %u free",
                               static_cast<const void*>(region), unsigned{region->pagesIssued},
                               unsigned{region->freePages});
        unsigned chained = 0;
        for (unsigned index = region->freePageHead; index != kNoFreePage;
             index = region->PageAt(index)->nextFreePage) {
            if (index >= region->pagesIssued || ++chained > kPagesPerRegion ||
                region->PageAt(index)->blockSize != 0)
                return result.Fail("region %p: its free-page chain holds page %u, which is not "
                                   "a free issued page",
                                   static_cast<const void*>(region), index);
        }
        if (chained + (kPagesPerRegion - region->pagesIssued) != region->freePages)
            return result.Fail("region %p: %u free pages counted, %u chained and %u never issued",
                               static_cast<const void*>(region), unsigned{region->freePages},
                               chained, unsigned(kPagesPerRegion - region->pagesIssued));
        currentSeen = currentSeen || region == list.current;
    }
    if (prev != list.last)
        return result.Fail("region list %p: last is %p, its chain ends at %p",
                           static_cast<const void*>(&list), static_cast<void*>(list.last),
                           static_cast<const void*>(prev));
    if (!currentSeen)
        return result.Fail("region list %p: current region %p is not on it",
                           static_cast<const void*>(&list), static_cast<void*>(list.current));
    return true;
}

} // namespace

bool CheckInvariants(PagedPool& pool, CheckResult& result) {
    if (pool.chunk.owner != &pool || !(pool.chunk.flags & kFlagPaged))
        return result.Fail("pool %p is no paged pool (owner %p, flags %#x)",
                           static_cast<void*>(&pool), static_cast<void*>(pool.chunk.owner),
                           pool.chunk.flags);
    PageTally tally;
    if (AccessorEntry* table = pool.Table()) {
        for (int i = 0, count = AccessorEntryCount(pool); i < count; ++i) {
            const AccessorEntry& entry = table[i];
            if (entry.size == 0) {
                if (entry.firstPage != nullptr || entry.partialPages != nullptr)
                    return result.Fail("pool %p: vacant entry %d holds pages",
                                       static_cast<void*>(&pool), i);
                continue;
            }
            if (const PageObject* current = entry.currentPage;
                entry.currentUsedUp &&
                (current == nullptr || current->carved != current->capacity ||
                 current->freeCount != 0))
                return result.Fail("pool %p: class %u's current page is marked used up but is not",
                                   static_cast<void*>(&pool), unsigned{entry.size});
            if (!CheckList(pool, entry.firstPage, entry.size, entry.currentPage, true, tally,
                           result) ||
                !CheckList(pool, entry.partialPages, entry.size, nullptr, false, tally, result))
                return false;
        }
    }
    const PagedPool& k = pool;
    if (k.PageBytes() != tally.pages * kPageBytes || k.BlocksInUse() != tally.blocksInUse ||
        k.BytesInUse() != tally.bytesInUse || k.FreeBytes() != tally.bytesFree)
        return result.Fail("pool %p counts %lu page bytes, %u blocks, %u bytes in use and %lu "
                           "free; its pages hold %lu, %lu, %lu and %lu",
                           static_cast<void*>(&pool), static_cast<unsigned long>(k.PageBytes()),
                           k.BlocksInUse(), k.BytesInUse(),
                           static_cast<unsigned long>(k.FreeBytes()),
                           static_cast<unsigned long>(tally.pages * kPageBytes),
                           static_cast<unsigned long>(tally.blocksInUse),
                           static_cast<unsigned long>(tally.bytesInUse),
                           static_cast<unsigned long>(tally.bytesFree));
    const RegionList* list = pool.Regions();
    if (list == nullptr) return true;
    ScopedLock regions(State().regionLock, list->owner == nullptr); // other pools change it
    return CheckRegions(*list, result);
}

} // namespace qor
