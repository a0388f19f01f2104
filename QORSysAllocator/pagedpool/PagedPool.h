// A pool that serves each size class from 4 KB pages holding blocks of that class only. Blocks
// carry no header: a block's page descriptor names its pool and its size.
// Counters: size == 4096 * pages in use; free == bytes of those pages not in a caller's hands;
// pieceCount == blocks in use; largestFreeArea == bytes in use.
#pragma once

#include "AccessorsTable.h"
#include "PageObject.h"
#include "Region.h"

#include "../frontend/PoolInterface.h"

#include <cstddef>
#include <cstdint>

namespace qor {

class PagedPool final : public PoolBase {
public:
    static constexpr std::size_t kStructBytes = 88;
    // Classes from here on fit no page: they are refused before any table or page work.
    static constexpr unsigned kFirstUnservedClass = 4048;

    // Requires: `this` is the start of memory from AllocateChunkMemory(88, 2).
    PagedPool(std::uint32_t flags, const char* name);

    int IsEmpty() override;
    std::size_t GetBlockSize(void* block) override;
    void* Allocate(std::size_t size, std::size_t extra) override;
    void* Reallocate(std::size_t size, void* block, void* chunk) override;
    void Free(void* block, void* chunk) override;
    int Flush(int mode) override;
    int Optimize(int bits) override;
    std::size_t GetStructSize() override;
    void Report(FILE* stream, QORPoolInfo* record, int options) override;
    int CanAttachSwapFile(QORSysSwapFile* swapFile) override;

    // What the entry points call directly, with the lock held when the pool locks. The two
    // Try calls (defined below) answer null or false, having changed nothing, when only a new
    // page, a new class or the page's emptying is involved: Allocate and Free do those.
    void* TryTakeFromOwnPages(std::size_t size);
    bool TryPut(void* block);
    void* AllocateHeld(std::size_t size, std::size_t extra);

    RegionList* Regions() const { return static_cast<RegionList*>(chunk.next); }
    AccessorEntry* Table() const { return reinterpret_cast<AccessorEntry*>(chunk.freeList); }
    void SetTable(AccessorEntry* table) { chunk.freeList = reinterpret_cast<FreeArea*>(table); }

    // Takes page P off whichever list of its size it is on.
    void UnlinkPage(PageObject* page);

    std::uint16_t minSize = 0;
    std::uint16_t maxSize = 0;
    std::uint16_t step = 0;

private:
    ~PagedPool();

    void* TakeFromReleased(unsigned sizeClass, int index);
    void* TakeFromOwnPages(unsigned sizeClass, int index);
    void* TakeNewPage(unsigned sizeClass, int index);
    void MoveToPartialList(PageObject& page, AccessorEntry& entry);
    void CountReleased(unsigned blockSize);
    void OnReleased(PageObject& page);
    void ReleaseMainListPages();
};

// Size class of t = size + extra bytes: 2, 4, or t rounded up to 8.
constexpr unsigned SizeClassOf(std::size_t totalBytes) {
    if (totalBytes <= 2) return 2;
    if (totalBytes <= 4) return 4;
    return static_cast<unsigned>((totalBytes + 7) & ~std::size_t{7});
}

// Whole steps in `offset`. Steps are multiples of 8; when the classes in use are 8 apart (or any
// power of two apart) this is a shift, otherwise a division.
inline unsigned StepsIn(unsigned offset, unsigned step) {
    return (step & (step - 1)) == 0 ? offset >> __builtin_ctz(step) : offset / step;
}

// Cost: a subtraction, a compare, StepsIn and the entry's size test.
inline int AccessorIndex(const PagedPool& pool, unsigned size) {
    const AccessorEntry* table = pool.Table();
    if (table == nullptr) return -1;
    int index;
    const unsigned offset = size - pool.minSize; // wraps for a size below minSize
    if (offset <= static_cast<unsigned>(pool.maxSize - pool.minSize) && pool.step != 0)
        index = static_cast<int>(StepsIn(offset, pool.step)) + 2;
    else if (size == 2)
        index = 0;
    else if (size == 4)
        index = 1;
    else
        return -1;
    return table[index].size == size ? index : -1;
}

// A block of a class whose entry exists, from the pages the class already has: the next
// untouched position of the current page, else a released block (TakeFromReleased). Null when
// only a new page would do. Counts the block when it finds one.
inline void* PagedPool::TakeFromOwnPages(unsigned sizeClass, int index) {
    PageObject* current = Table()[index].currentPage;
    void* block = current != nullptr ? CarveBlock(*current) : nullptr;
    if (block == nullptr && (block = TakeFromReleased(sizeClass, index)) == nullptr) return nullptr;
    chunk.free -= sizeClass;
    chunk.largestFreeArea += sizeClass;
    ++chunk.pieceCount;
    return block;
}

// No reserved room, a class whose entry exists, a block from its own pages: what Allocate would
// give, found the same way; a miss changes nothing it would see.
inline void* PagedPool::TryTakeFromOwnPages(std::size_t size) {
    if (size >= kFirstUnservedClass) return nullptr;
    const unsigned sizeClass = SizeClassOf(size);
    const int index = AccessorIndex(*this, sizeClass);
    return index < 0 ? nullptr : TakeFromOwnPages(sizeClass, index);
}

// Requires: the block's page names this pool. Every release but the one that empties its page
// (which gives the page back) is served here, as Free would serve it.
inline bool PagedPool::TryPut(void* block) {
    PageObject& page = *PageObjectOf(block);
    const int reserved = page.index == 0 ? ReservedCount(page) : 0; // page 0's region header
    if (page.carved == page.freeCount + 1 + reserved) return false;
    const unsigned blockSize = page.blockSize;
    if (!PushReleased(page, block, reinterpret_cast<std::uintptr_t>(block) & (kPageBytes - 1)))
        return false;
    CountReleased(blockSize);
    OnReleased(page);
    return true;
}

inline void PagedPool::CountReleased(unsigned blockSize) {
    chunk.free += blockSize;
    chunk.largestFreeArea -= blockSize;
    --chunk.pieceCount;
}

// A page that keeps blocks in use and has just had its first one released goes to the pages
// with released blocks, unless it is the one being carved.
inline void PagedPool::OnReleased(PageObject& page) {
    if (page.freeCount != 1) return;
    const int index = AccessorIndex(*this, page.blockSize);
    if (index < 0) return;
    AccessorEntry& entry = Table()[index];
    if (&page != entry.currentPage) MoveToPartialList(page, entry);
}

// UnlinkPage with the page's entry already found. Touches the page's two neighbours.
inline void UnlinkFrom(PageObject& page, AccessorEntry& entry) {
    PageObject* const next = page.next;
    PageObject* const prev = page.prev;
    if (next != nullptr) next->prev = prev;
    if (prev != nullptr) {
        prev->next = next;
    } else {
        if (entry.firstPage == &page) entry.firstPage = next;
        if (entry.partialPages == &page) entry.partialPages = next;
    }
    if (entry.currentPage == &page) entry.currentPage = nullptr;
}

// Requires: `page` is not the entry's current page.
inline void PagedPool::MoveToPartialList(PageObject& page, AccessorEntry& entry) {
    UnlinkFrom(page, entry);
    PageObject* const head = entry.partialPages;
    page.prev = nullptr;
    page.next = head;
    if (head != nullptr) head->prev = &page;
    entry.partialPages = &page;
}

// A new paged pool in 88 bytes of its own; null when they cannot be had.
PagedPool* CreatePagedPool(std::uint32_t flags, const char* name);

} // namespace qor
