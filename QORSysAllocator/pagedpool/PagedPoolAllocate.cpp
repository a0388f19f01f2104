// Allocation and release in a paged pool. A block comes from, in this order: the untouched part
// of its class's current page, a released block (current page, then pages with released blocks),
// a new page from the region list. Cost of the common paths: allocation is one division (the
// entry) and a bump of `carved`; release is a mask, a push on the page's chain and a comparison.
#include "PagedPool.h"

#include "../core/SizeClasses.h"

#include "../platform/Sanitizers.h"

namespace qor {

namespace {

// Bytes of a page's positions that are not in a caller's hands.
inline std::uint64_t UnusedBytes(const PageObject& page) {
    return std::uint64_t(page.capacity - page.carved + page.freeCount) * page.blockSize;
}

// The last page of a list, or null.
PageObject* LastPage(PageObject* page) {
    while (page != nullptr && page->next != nullptr)
        page = page->next;
    return page;
}

} // namespace

void PagedPool::UnlinkPage(PageObject* page) {
    if (page == nullptr || Table() == nullptr) return;
    const int index = AccessorIndex(*this, page->blockSize);
    if (index >= 0) UnlinkFrom(*page, Table()[index]);
}

// Requires: the class has its entry at `index`.
void* PagedPool::TakeNewPage(unsigned sizeClass, int index) {
    RegionList* list = Regions();
    if (list == nullptr) return nullptr;
    // Pages whose reserved positions fill them (page 0 for large classes) are set aside and given
    // back once a fit page is found, so that the region does not hand them out again meanwhile.
    PageObject* rejected = nullptr;
    PageObject** rejectedTail = &rejected;
    PageObject* page = list->GetPage(sizeClass, this);
    while (page != nullptr && (SetPageGeometry(*page), ReservedCount(*page) >= page->capacity)) {
        page->next = nullptr;
        *rejectedTail = page;
        rejectedTail = &page->next;
        page = list->GetPage(sizeClass, this);
    }
    for (PageObject* back = rejected; back != nullptr;) {
        PageObject* next = back->next;
        list->ReleasePage(back);
        back = next;
    }
    if (page == nullptr) return nullptr;

    if (Table() == nullptr || index < 0 || Table()[index].size != sizeClass)
        AbortWithMessage("AddPageProblem");
    AccessorEntry& entry = Table()[index];
    page->next = nullptr;
    // The new page goes at the tail of the main list, which is the current page unless that page
    // emptied and left the list (currentPage null). The tail is then found by a walk (rare path):
    // a page left outside the list would later give the list a head whose `prev` is set, and
    // taking that head off would leave `firstPage` on a page already given back.
    PageObject* tail = entry.currentPage != nullptr ? entry.currentPage : LastPage(entry.firstPage);
    if (tail != nullptr) {
        tail->next = page;
        page->prev = tail;
    }
    entry.currentPage = page;
    entry.currentUsedUp = false;
    if (entry.firstPage == nullptr) entry.firstPage = page;
    platform::PoisonPoolBytes(page->PageStart() + std::size_t{page->carved} * sizeClass,
                              std::size_t(page->capacity - page->carved) * sizeClass);
    void* block = CarveBlock(*page);
    PageBytes() += kPageBytes;
    FreeBytes() += UnusedBytes(*page);
    return block;
}

void* PagedPool::Allocate(std::size_t size, std::size_t extra) {
    PoolLockGuard guard(*this);
    return debug::AfterOperation(*this, "an allocation", AllocateHeld(size, extra));
}

void* PagedPool::AllocateHeld(std::size_t size, std::size_t extra) {
    platform::MemcheckQuiet quiet;
    // Refused up front: no page could hold the block, and the class must not enter the table.
    if (size >= kFirstUnservedPagedClass || extra >= kFirstUnservedPagedClass) return nullptr;
    const unsigned sizeClass = SizeClassOf(size + extra);
    if (sizeClass >= kFirstUnservedPagedClass) return nullptr;
    // A class the table holds is found as FindAccessor would find it, without its division.
    int index = -1;
    if (const AccessorEntry* known = EntryOf(sizeClass))
        index = static_cast<int>(known - Table());
    else
        FindAccessor(*this, sizeClass, index);
    if (index < 0) return nullptr; // the table could not grow
    if (void* block = TakeFromOwnPages(sizeClass, Table()[index]))
        return platform::ExposePagedBlock(block, size + extra);
    void* block = TakeNewPage(sizeClass, index);
    if (block == nullptr) return nullptr;
    BytesInUse() += sizeClass;
    ++BlocksInUse();
    return platform::ExposePagedBlock(block, size + extra);
}

void PagedPool::Free(void* block, void*) {
    platform::MemcheckQuiet quiet;
    PoolLockGuard guard(*this);
    if (block == nullptr) return;
    PageObject* page = PageObjectOf(block);
    const unsigned blockSize = page->blockSize;
    // The link may not go through a poisoned byte (the block's requested size may be below it).
    if (blockSize != 0 &&
        IsCarvedOffset(*page, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(block) &
                                                         (kPageBytes - 1))))
        platform::UnpoisonPoolBytes(block, blockSize);
    if (!PutBlock(*page, block)) return; // refused: nothing counted, nothing chained
    platform::PoisonPoolBytes(block, blockSize);
    CountReleased(blockSize);
    if (!IsPageEmpty(*page)) {
        OnReleased(*page);
    } else {
        UnlinkPage(page);
        PageBytes() -= kPageBytes;
        FreeBytes() -= UnusedBytes(*page);
        Regions()->ReleasePage(page);
    }
    debug::AfterOperation(*this, "a release");
}

std::size_t PagedPool::GetBlockSize(void* block) {
    PoolLockGuard guard(*this);
    return block == nullptr ? 0 : PageObjectOf(block)->blockSize;
}

} // namespace qor
