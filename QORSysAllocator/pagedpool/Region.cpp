#include "Region.h"

#include "../core/PoolInterface.h"
#include "../platform/Platform.h"

#include <cstring>
#include <new>

namespace qor {

namespace {

constexpr std::uintptr_t kDeltaMask = 0xFFF;
// With a delta this close to the page end, the region's first grid page would have no room for
// the header and the delta word: the grid then starts at the next page boundary.
inline bool GridStartsOnNextPage(unsigned delta) { return delta + 82 > kPageBytes; }

void WriteRegionDelta(PageObject* page0, std::uint16_t delta) {
    std::memcpy(page0->PageStart() + kRegionDeltaOffset, &delta, sizeof(delta));
}

void GiveBack(Region* region) {
    region->Clear();
    platform::AlignedFree(region);
}

RegionList* SharedList(RegionList*& list, std::uint32_t mode) {
    ScopedLock regions(State().regionLock);
    if (list == nullptr) list = NewRegionList(nullptr, mode);
    return list;
}

// Requires: the region lock is held, or the list is private.
void GiveBackAll(RegionList* list) {
    while (list->first != nullptr)
        GiveBack(list->first);
    list->mode = 0;
    list->owner = nullptr;
    list->first = list->last = list->current = nullptr;
}

} // namespace

Region::Region(RegionList* parentList)
    : parent(parentList), next(nullptr), prev(nullptr), delta(0), freePageHead(kNoFreePage),
      pagesIssued(0), freePages(kPagesPerRegion) {
    if (parent == nullptr) AbortWithMessage("Parentless Region");
    parent->Append(this);
    delta = static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(this) & kDeltaMask);
    int& processDelta = State().regionDelta;
    if (processDelta == delta) return;
    if (processDelta != 0) AbortWithMessage("Invalid internal assumption on delta repetability");
    processDelta = delta;
}

char* Region::GridBase() const {
    char* base = reinterpret_cast<char*>(const_cast<Region*>(this)) - delta;
    return GridStartsOnNextPage(delta) ? base + kPageBytes : base;
}

void Region::Clear() {
    if (parent != nullptr) parent->Unlink(this);
    parent = nullptr;
    next = prev = nullptr;
    delta = freePageHead = pagesIssued = freePages = 0;
}

PageObject* Region::GetPage(std::uint64_t blockSize, PagedPool* pool) {
    if (parent->owner != nullptr && parent->owner != pool) return nullptr;
    if (blockSize >= 0x10000) return nullptr;
    const auto size = static_cast<std::uint16_t>(blockSize);
    PageObject* page;
    if (freePageHead < kPagesPerRegion) {
        page = PageAt(freePageHead);
        freePageHead = page->nextFreePage;
        page->owner = pool;
        page->blockSize = size;
        page->carved = 0;
        page->nextFreePage = kPageInUse;
        page->freeCount = 0;
        if (page->index == 0) {
            WriteRegionDelta(page, delta);
            page->carved = static_cast<std::uint16_t>(ReservedCount(*page));
        }
    } else if (pagesIssued < kPagesPerRegion) {
        page = PageAt(pagesIssued);
        page->nextFreePage = kPageInUse;
        page->owner = pool;
        page->next = page->prev = nullptr;
        page->freeBlocks = nullptr;
        page->blockSize = size;
        page->index = pagesIssued;
        page->freeCount = 0;
        page->carved = 0;
        page->capacity = 0;
        if (pagesIssued == 0) {
            WriteRegionDelta(page, delta);
            page->carved = static_cast<std::uint16_t>(ReservedCount(*page));
            if (GridBase() > reinterpret_cast<char*>(this))
                AbortWithMessage("Overlapping Page Detected");
        }
        ++pagesIssued;
        freePageHead = kNoFreePage;
    } else {
        return nullptr;
    }
    --freePages;
    return page;
}

void Region::ReleasePage(PageObject* page) {
    if (page == nullptr || page->index == kNoFreePage || page->index > pagesIssued) return;
    if (!IsPageEmpty(*page)) return;
    page->prev = nullptr;
    page->freeBlocks = nullptr;
    page->freeCount = 0;
    page->blockSize = 0;
    page->nextFreePage = freePageHead;
    freePageHead = page->index;
    ++freePages;
    if (freePages == 1) parent->MoveAfterCurrent(this);
    if (freePages == kPagesPerRegion && parent->MoveAfterCurrentAndCheckRelease(this))
        GiveBack(this); // Clear unlinks it from the list first
}

void RegionList::CheckLast() const {
    if (first != nullptr && last == nullptr) AbortWithMessage("Invalid Last Region");
}

void RegionList::Append(Region* region) {
    if (first == nullptr) first = region;
    if (last != nullptr) last->next = region;
    region->prev = last;
    last = region;
    current = region;
}

void RegionList::Unlink(Region* region) {
    CheckLast();
    if (first == region) first = region->next;
    if (last == region) last = region->prev;
    if (region->prev != nullptr) region->prev->next = region->next;
    if (region->next != nullptr) region->next->prev = region->prev;
    if (current == region) current = region->next;
    region->next = region->prev = nullptr;
    CheckLast();
}

// False when the region is current and stays where it is.
bool RegionList::MoveBehindCurrent(Region* region) {
    if (region == current) return false;
    Unlink(region);
    if (current == nullptr) {
        Append(region);
        return true;
    }
    region->next = current->next;
    region->prev = current;
    if (current->next != nullptr)
        current->next->prev = region;
    else
        last = region;
    current->next = region;
    return true;
}

void RegionList::MoveAfterCurrent(Region* region) {
    if (MoveBehindCurrent(region)) CheckLast();
}

bool RegionList::MoveAfterCurrentAndCheckRelease(Region* region) {
    return MoveBehindCurrent(region) && (mode & kReleaseEmptyRegions);
}

PageObject* RegionList::GetPage(std::uint64_t blockSize, PagedPool* pool) {
    // A shared list changes only under the region lock; a private one belongs to its pool and
    // takes the lock only to make a region.
    ScopedLock regions(State().regionLock, owner == nullptr);
    Region* region = current;
    PageObject* page = nullptr;
    for (; region != nullptr; region = region->next)
        if ((page = region->GetPage(blockSize, pool)) != nullptr) break;
    current = region;
    if (page != nullptr) return page;
    regions.Take();
    void* memory = AllocRegionMemory();
    if (memory == nullptr) return nullptr;
    return (new (memory) Region(this))->GetPage(blockSize, pool);
}

void* AllocRegionMemory() { return platform::AllocateRegionMemory(kRegionBytes - RegionDelta()); }

void RegionList::ReleasePage(PageObject* page) {
    ScopedLock regions(State().regionLock, owner == nullptr);
    auto* page0 = reinterpret_cast<PageObject*>(reinterpret_cast<char*>(page) -
                                                std::size_t{page->index} * kPageBytes);
    if (page0 == nullptr || page0->index != 0) return;
    std::uint16_t delta;
    std::memcpy(&delta, page0->PageStart() + kRegionDeltaOffset, sizeof(delta));
    char* start = page0->PageStart() + delta;
    if (GridStartsOnNextPage(delta)) start -= kPageBytes;
    reinterpret_cast<Region*>(start)->ReleasePage(page);
}

void DestroyRegionList(RegionList* list) {
    ScopedLock regions(State().regionLock);
    GiveBackAll(list);
    Runtime& state = State();
    if (state.sharedListA == list) state.sharedListA = nullptr;
    if (state.sharedListB == list) state.sharedListB = nullptr;
}

RegionList* NewRegionList(PagedPool* owner, std::uint32_t mode) {
    void* memory = platform::AllocateObjectMemory(sizeof(RegionList));
    return memory == nullptr ? nullptr
                             : new (memory) RegionList{owner, nullptr, nullptr, nullptr, mode};
}

void DeleteRegionList(RegionList* list) { platform::ReleaseObjectMemory(list); }

RegionList* SharedRegionListA() {
    return SharedList(State().sharedListA, RegionList::kReleaseEmptyRegions);
}
RegionList* SharedRegionListB() { return SharedList(State().sharedListB, 0); }

void ReleaseSharedRegionLists() {
    ScopedLock regions(State().regionLock);
    for (RegionList** shared : {&State().sharedListB, &State().sharedListA}) {
        RegionList* list = *shared;
        if (list == nullptr) continue;
        for (Region* region = list->first; region != nullptr;) {
            Region* next = region->next;
            if (region->freePages == kPagesPerRegion) GiveBack(region);
            region = next;
        }
        if (list->first != nullptr) continue;
        GiveBackAll(list);
        *shared = nullptr;
        DeleteRegionList(list);
    }
}

} // namespace qor
