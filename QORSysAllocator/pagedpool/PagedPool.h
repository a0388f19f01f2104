// A pool that serves each size class from 4 KB pages holding blocks of that class only. Blocks
// carry no header: a block's page descriptor names its pool and its size.
// Counters: PageBytes() == 4096 * pages held; FreeBytes() + BytesInUse() == the bytes of their
// usable positions; BlocksInUse() == blocks handed out and not released.
#pragma once

#include "AccessorsTable.h"
#include "PageObject.h"
#include "PagedBlocks.h"
#include "Region.h"

#include "../core/DebugTier.h"
#include "../core/PoolInterface.h"
#include "../core/SizeClasses.h"
#include "../platform/Sanitizers.h"

#include <cstddef>
#include <cstdint>

namespace qor {

class PagedPool final : public PoolBase {
public:
    static constexpr std::size_t kStructBytes = 88;

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
    // Try calls (defined below) answer null or false when only a new page, a new class or the
    // page's emptying is involved: Allocate and Free do those. A declined TryTakeFromOwnPages
    // may have moved used-up pages back to the main list, as Allocate does before a new page.
    void* TryTakeFromOwnPages(std::size_t size);
    bool TryPut(void* block);
    void* AllocateHeld(std::size_t size, std::size_t extra);

    // The chunk fields a paged pool keeps its own data in, read and written only here (and in
    // paged::HoldsNoBlock, PagedBlocks.h):
    //   next            Regions(): the region list its pages come from; null when none could be
    //                   made
    //   size            PageBytes(): 4096 for each page the pool holds
    //   free            FreeBytes(): bytes of those pages in no caller's hands: untouched
    //                   positions (reserved ones excluded) and released blocks
    //   freeList        Table(): the accessors table; null until the first request
    //   pieceCount      BlocksInUse(): blocks handed out and not released
    //   largestFreeArea BytesInUse(): the sum of the sizes of those blocks
    // `owner` and `flags` mean what they mean in every chunk; `freeAreaCount` stays 0 (a paged
    // pool has no free areas).
    RegionList* Regions() const { return static_cast<RegionList*>(chunk.next); }
    void SetRegions(RegionList* list) { chunk.next = list; }
    std::uint64_t& PageBytes() { return chunk.size; }
    std::uint64_t PageBytes() const { return chunk.size; }
    std::uint64_t& FreeBytes() { return chunk.free; }
    std::uint64_t FreeBytes() const { return chunk.free; }
    AccessorEntry* Table() const { return reinterpret_cast<AccessorEntry*>(chunk.freeList); }
    void SetTable(AccessorEntry* table) { chunk.freeList = reinterpret_cast<FreeArea*>(table); }
    std::uint32_t& BlocksInUse() { return chunk.pieceCount; }
    std::uint32_t BlocksInUse() const { return chunk.pieceCount; }
    std::uint32_t& BytesInUse() { return chunk.largestFreeArea; }
    std::uint32_t BytesInUse() const { return chunk.largestFreeArea; }

    // True when no block is in use by the counters: what IsEmpty answers (as -1).
    bool HoldsNoBlock() const;

    // Takes page P off whichever list of its size it is on.
    void UnlinkPage(PageObject* page);
    // The entry holding `size`, or null; AccessorIndex without the index (defined below).
    AccessorEntry* EntryOf(unsigned size) const;

    std::uint16_t minSize = 0;
    std::uint16_t maxSize = 0;
    std::uint16_t step = 0;

private:
    ~PagedPool();

    AccessorEntry* KnownEntry(std::size_t size, unsigned& sizeClass) const;
    void* TakeFromOwnPages(unsigned sizeClass, AccessorEntry& entry);
    void* TakeNewPage(unsigned sizeClass, int index);
    void MoveToPartialList(PageObject& page, AccessorEntry& entry);
    void MoveToMainList(PageObject& page, AccessorEntry& entry);
    void CountTaken(unsigned sizeClass);
    void CountReleased(unsigned blockSize);
    void OnReleased(PageObject& page);
    void ReleaseMainListPages();
};

inline bool PagedPool::HoldsNoBlock() const { return paged::HoldsNoBlock(chunk); }

// Whole steps in `offset`. Steps are multiples of 8; when the classes in use are 8 apart (or any
// power of two apart) this is a shift, otherwise a division.
inline unsigned StepsIn(unsigned offset, unsigned step) {
    return (step & (step - 1)) == 0 ? offset >> __builtin_ctz(step) : offset / step;
}

inline int AccessorIndex(const PagedPool& pool, unsigned size) {
    const AccessorEntry* entry = size != 0 ? pool.EntryOf(size) : nullptr;
    return entry != nullptr ? static_cast<int>(entry - pool.Table()) : -1;
}

// A block of a class whose entry exists, from the pages the class already has: the next
// untouched position of the current page, else a released block of the current page, else one
// of the pages with released blocks. Null when only a new page would do. Counts the block when it
// finds one. No call: the entry points' fast path needs no stack frame. Cost when the first page
// asked serves: a compare and a multiply-add (carving), or TakeFreeBlock; a used-up current page
// costs a test of its entry, not a read of its descriptor.
inline void* PagedPool::TakeFromOwnPages(unsigned sizeClass, AccessorEntry& entry) {
    void* block = nullptr;
    // Branches, not a mask, choose between the current page's chain and the pages with released
    // blocks: a choice by data would make the second page's descriptor wait for the first's, two
    // cache misses in a row when the live blocks outgrow the caches.
    // A carved-out current page left without released blocks is marked used up here, while its
    // descriptor is at hand, whether or not it gave this block (a dropped chain keeps its count).
    if (PageObject* current = entry.currentPage; current != nullptr && !entry.currentUsedUp)
        if ((block = CarveBlock(*current)) == nullptr) {
            block = TakeFreeBlock(*current);
            entry.currentUsedUp = current->freeCount == 0;
        }
    while (block == nullptr) {
        PageObject* const head = entry.partialPages;
        if (head == nullptr) return nullptr;
        if ((block = TakeFreeBlock(*head)) == nullptr) MoveToMainList(*head, entry);
    }
    CountTaken(sizeClass);
    return block;
}

// Requires: `page` heads the entry's pages with released blocks.
inline void PagedPool::MoveToMainList(PageObject& page, AccessorEntry& entry) {
    PageObject* const next = page.next;
    entry.partialPages = next;
    if (next != nullptr) next->prev = nullptr;
    page.next = entry.firstPage;
    if (entry.firstPage != nullptr) entry.firstPage->prev = &page;
    entry.firstPage = &page;
}

// The entry holding a size, or null. Requires: size != 0 (a pool without classes of 8 or more has
// minSize == maxSize == 0, an empty range only for sizes above 0). Cost: a subtraction, a compare,
// StepsIn and the entry's size test.
inline AccessorEntry* PagedPool::EntryOf(unsigned size) const {
    AccessorEntry* const table = Table();
    AccessorEntry* entry;
    const unsigned offset = size - minSize; // wraps for a size below minSize
    if (offset <= static_cast<unsigned>(maxSize - minSize))
        entry = table + StepsIn(offset, step) + 2;
    else if (size <= 4 && table != nullptr)
        entry = table + size / 4; // entries 0 and 1 always hold sizes 2 and 4
    else
        return nullptr;
    return entry->size == size ? entry : nullptr;
}

// The entry of the class of a request of `size` bytes (no reserved room) when the table has
// one, else null; `sizeClass` receives the class.
inline AccessorEntry* PagedPool::KnownEntry(std::size_t size, unsigned& sizeClass) const {
    if (size - 5 < kFirstUnservedPagedClass - 5) // SizeClassOf's 8 to 4040 in one compare
        sizeClass = static_cast<unsigned>(size + 7) & ~7u;
    else if (size <= 4)
        sizeClass = SizeClassOf(size);
    else
        return nullptr;
    return EntryOf(sizeClass);
}

// No reserved room, a class whose entry exists, a block from its own pages: what Allocate would
// give, found the same way; a miss changes nothing that Allocate would not change first.
inline void* PagedPool::TryTakeFromOwnPages(std::size_t size) {
    platform::MemcheckQuiet quiet;
    unsigned sizeClass;
    AccessorEntry* const entry = KnownEntry(size, sizeClass);
    return entry == nullptr ? nullptr
                            : debug::AfterOperation(*this, "an allocation",
                                                    platform::ExposePagedBlock(
                                                        TakeFromOwnPages(sizeClass, *entry), size));
}

// Requires: the block's page names this pool. Every release but the one that empties its page
// (which gives the page back) is served here, as Free would serve it.
inline bool PagedPool::TryPut(void* block) {
    platform::MemcheckQuiet quiet;
    PageObject& page = *PageObjectOf(block);
    unsigned inUse = page.carved - page.freeCount; // blocks in use, and page 0's reserved ones
    if (page.index == 0) inUse -= ReservedPositions(page);
    if (inUse == 1) return false;
    const unsigned blockSize = page.blockSize;
    const auto offset = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(block));
    platform::UnpoisonPoolBytes(block, blockSize); // the link may not go through a poisoned byte
    if (!PushReleased(page, block, offset & (kPageBytes - 1))) return false;
    platform::PoisonPoolBytes(block, blockSize);
    CountReleased(blockSize);
    OnReleased(page);
    return debug::AfterOperation(*this, "a release", true);
}

// The empty asm keeps the compiler from pairing the two adjacent 32-bit counters in a vector
// register, which costs three times the instructions of two adds to memory.
inline void PagedPool::CountTaken(unsigned sizeClass) {
    FreeBytes() -= sizeClass;
    BytesInUse() += sizeClass;
    asm("" : "+m"(BlocksInUse()));
    ++BlocksInUse();
}

inline void PagedPool::CountReleased(unsigned blockSize) {
    FreeBytes() += blockSize;
    BytesInUse() -= blockSize;
    --BlocksInUse();
}

// A page that keeps blocks in use and has just had its first one released goes to the pages
// with released blocks, unless it is the one being carved, which can serve again instead.
inline void PagedPool::OnReleased(PageObject& page) {
    if (page.freeCount != 1) return;
    AccessorEntry* const entry = EntryOf(page.blockSize);
    if (entry == nullptr) return;
    if (&page == entry->currentPage)
        entry->currentUsedUp = false;
    else
        MoveToPartialList(page, *entry);
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
    if (entry.currentPage == &page) {
        entry.currentPage = nullptr;
        entry.currentUsedUp = false;
    }
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
