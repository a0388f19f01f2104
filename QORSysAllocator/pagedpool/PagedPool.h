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
    void* TakeNewPage(unsigned sizeClass, int index);
    void MoveToPartialList(PageObject* page, AccessorEntry& entry);
    void ReleaseMainListPages();
};

// Size class of t = size + extra bytes: 2, 4, or t rounded up to 8.
constexpr unsigned SizeClassOf(std::size_t totalBytes) {
    if (totalBytes <= 2) return 2;
    if (totalBytes <= 4) return 4;
    return static_cast<unsigned>((totalBytes + 7) & ~std::size_t{7});
}

// A new paged pool in 88 bytes of its own; null when they cannot be had.
PagedPool* CreatePagedPool(std::uint32_t flags, const char* name);

} // namespace qor
