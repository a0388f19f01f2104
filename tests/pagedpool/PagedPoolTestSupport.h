// Shared helpers of the paged pool tests: a pool handle that ends with a destroying flush,
// page-aligned scratch memory for hand-made pages and regions, and the way from a block to its
// page, region and accessor entry. Every test case runs in its own process, so the region delta,
// the shared region lists and the pool registry start fresh.
#pragma once

#include "pagedpool/PagedPool.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace qor::test {

namespace Flag = QORSysPoolFlag;

inline std::uintptr_t Addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
inline std::size_t PageOffset(const void* p) { return Addr(p) & (kPageBytes - 1); }
inline PageObject* PageOf(const void* block) { return PageObjectOf(block); }
inline char* PageStartOf(const void* block) { return PageObjectOf(block)->PageStart(); }

// The link word at the start of a released block.
inline std::int16_t LinkAt(const void* block) {
    std::int16_t link;
    std::memcpy(&link, block, sizeof(link));
    return link;
}

// The region of a page in use, for regions on a 4 KB boundary (delta 0).
inline Region* RegionOfPage(PageObject* page) {
    return reinterpret_cast<Region*>(page->PageStart() - std::size_t{page->index} * kPageBytes);
}
inline Region* RegionOf(const void* block) { return RegionOfPage(PageObjectOf(block)); }

inline bool IsRegistered(const PoolBase* pool) {
    for (PoolBase* p = gPoolRegistry; p != nullptr; p = p->nextPool)
        if (p == pool) return true;
    return false;
}

// Owns a paged pool for one test; its destructor is private, so the handle ends with a
// destroying flush (refused, and the pool left registered, while blocks are in use).
class PagedPoolHandle {
public:
    explicit PagedPoolHandle(std::uint32_t flags = 0)
        : pool_(CreatePagedPool(flags | Flag::PAGED, "test")) {}
    ~PagedPoolHandle() {
        if (pool_ != nullptr) pool_->Flush(Flag::FLUSH_DESTROY);
    }
    PagedPoolHandle(const PagedPoolHandle&) = delete;
    PagedPoolHandle& operator=(const PagedPoolHandle&) = delete;

    PagedPool* get() const { return pool_; }
    PagedPool* operator->() const { return pool_; }
    PagedPool& operator*() const { return *pool_; }
    PagedPool* Release() { return std::exchange(pool_, nullptr); }

private:
    PagedPool* pool_;
};

// The accessor entry that serves a size class (the test fails when there is none).
inline AccessorEntry& EntryOf(PagedPool* pool, unsigned sizeClass) {
    const int index = AccessorIndex(*pool, sizeClass);
    EXPECT_GE(index, 0) << "no entry for class " << sizeClass;
    return pool->Table()[index < 0 ? 0 : index];
}

// Zeroed memory on a 4 KB boundary, for pages and regions built by hand.
class AlignedBuffer {
public:
    explicit AlignedBuffer(std::size_t bytes)
        : data_(static_cast<char*>(std::aligned_alloc(kPageBytes, bytes))) {
        std::memset(data_, 0, bytes);
    }
    ~AlignedBuffer() { std::free(data_); }
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;

    char* data() const { return data_; }
    PageObject* Page(unsigned pageIndex) const {
        return reinterpret_cast<PageObject*>(data_ + pageIndex * kPageBytes + kPageObjectOffset);
    }

private:
    char* data_;
};

// Turns page `pageIndex` of `buffer` into a page in use for blocks of `blockSize`, the way the
// pool sets it up; page 0 also gets the region delta word.
inline PageObject* MakePage(const AlignedBuffer& buffer, unsigned pageIndex,
                            std::uint16_t blockSize, std::uint16_t delta = 0) {
    PageObject* page = buffer.Page(pageIndex);
    *page = PageObject{};
    page->index = static_cast<std::uint16_t>(pageIndex);
    page->blockSize = blockSize;
    page->nextFreePage = kPageInUse;
    if (pageIndex == 0) {
        std::memcpy(page->PageStart() + kRegionDeltaOffset, &delta, sizeof(delta));
        page->carved = static_cast<std::uint16_t>(ReservedCount(*page));
    }
    page->capacity = static_cast<std::uint16_t>(PageCapacity(*page));
    return page;
}

// Sets a filter on the malloc seam for one scope.
class MallocFilterScope {
public:
    explicit MallocFilterScope(platform::MallocFailureFilter filter) {
        platform::SetMallocFailureFilter(filter);
    }
    ~MallocFilterScope() { platform::SetMallocFailureFilter(nullptr); }
    MallocFilterScope(const MallocFilterScope&) = delete;
    MallocFilterScope& operator=(const MallocFilterScope&) = delete;
};

} // namespace qor::test
