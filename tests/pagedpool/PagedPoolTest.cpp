// The paged pool through its operations: where the first blocks land, the counters and the
// report, released blocks and the partial list, damaged chains, refused pointers and classes,
// flush and destruction, the exit clean-up, and the front end's paged route.
#include "pagedpool/PagedPoolTestSupport.h"

#include "frontend/ExitCleanup.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace qor::test {
namespace {

struct Counters {
    std::uint64_t size, free;
    std::uint32_t pieceCount, bytesInUse;
    bool operator==(const Counters&) const = default;
};
Counters CountersOf(const PagedPool* pool) {
    return {pool->chunk.size, pool->chunk.free, pool->chunk.pieceCount,
            pool->chunk.largestFreeArea};
}
void PrintTo(const Counters& c, std::ostream* os) {
    *os << "{size " << c.size << ", free " << c.free << ", blocks " << c.pieceCount << ", in use "
        << c.bytesInUse << "}";
}

std::vector<void*> AllocateMany(PagedPool* pool, std::size_t size, int count) {
    std::vector<void*> blocks;
    for (int i = 0; i < count; ++i) {
        blocks.push_back(pool->Allocate(size, 0));
        EXPECT_NE(blocks.back(), nullptr);
    }
    return blocks;
}

TEST(PagedPoolTest, FirstBlockOfAFreshPool) {
    PagedPoolHandle pool;
    void* block = pool->Allocate(16, 0);
    ASSERT_NE(block, nullptr);
    PageObject* page = PageOf(block);
    EXPECT_EQ(gRegionDelta, 0);
    EXPECT_EQ(page->index, 0);
    EXPECT_EQ(page->owner, pool.get());
    EXPECT_EQ(ReservedCount(*page), 2);
    EXPECT_EQ(page->capacity, 252);
    EXPECT_EQ(PageOffset(block), 32u);
    EXPECT_EQ(reinterpret_cast<Region*>(PageStartOf(block)), pool->Regions()->first);
    EXPECT_EQ(EntryOf(pool.get(), 16).currentPage, page);
    EXPECT_EQ(CountersOf(pool.get()), (Counters{4096, 3984, 1, 16}));
    EXPECT_EQ(pool->IsEmpty(), 0);

    QORPoolInfo info;
    std::memset(&info, 0xA5, sizeof(info));
    pool->Report(stderr, &info, 3);
    EXPECT_EQ(info.flagBits, 0u);
    EXPECT_EQ(info.totalSize, 4096u);
    EXPECT_EQ(info.freeSize, 3984u);
    EXPECT_EQ(info.blockTotal, 1u);
    EXPECT_EQ(info.maxChunkFree, 16u);
    EXPECT_EQ(info.chunkCount, 0u);
    EXPECT_EQ(info.occupation, 2);
    EXPECT_EQ(info.minChunkFree, 0u);
    EXPECT_EQ(info.holeTotal, 0u);
    EXPECT_EQ(info.largestKnownHole, 0u);
    EXPECT_EQ(info.holeSizeUnknown, 0);

    std::size_t freeBytes = 0, largest = 0;
    EXPECT_EQ(QORSysPoolGetFreeSpace(pool.get(), &freeBytes, &largest), -1);
    EXPECT_EQ(freeBytes, 3984u);
    EXPECT_EQ(largest, 16u) << "bytes in use";
    pool->Free(block, nullptr);
}

TEST(PagedPoolTest, ANewPoolReportsNothingInUse) {
    PagedPoolHandle pool(Flag::LOCKED | Flag::FLUSHABLE | Flag::VOLATILE);
    QORPoolInfo info;
    std::memset(&info, 0xA5, sizeof(info));
    QORSysGetPoolInfo(pool.get(), nullptr, &info, 0);
    EXPECT_EQ(info.flagBits, 0x60u);
    EXPECT_EQ(info.totalSize, 0u);
    EXPECT_EQ(info.freeSize, 0u);
    EXPECT_EQ(info.occupation, 0);
    EXPECT_EQ(info.chunkCount, 0xFFFFFFFFu);
    EXPECT_EQ(info.blockTotal, 0u);
    EXPECT_EQ(pool->Reallocate(16, nullptr, nullptr), nullptr);
    EXPECT_EQ(pool->GetBlockSize(nullptr), 0u);
}

// No block fits page 0 beside the region header from class 2024 on: the page goes back to the
// region once a fit page has been found.
TEST(PagedPoolTest, LargeClassesSkipPageZero) {
    PagedPoolHandle pool;
    void* block = pool->Allocate(2020, 0);
    ASSERT_NE(block, nullptr);
    Region* region = pool->Regions()->first;
    EXPECT_EQ(block, region->PageAt(1)->PageStart());
    EXPECT_EQ(region->pagesIssued, 2);
    EXPECT_EQ(region->freePageHead, 0);
    EXPECT_EQ(region->freePages, 127);
    EXPECT_EQ(CountersOf(pool.get()), (Counters{4096, 0, 1, 2024}));

    void* largest = pool->Allocate(4033, 0); // class 4040: page 0 has no position at all
    ASSERT_NE(largest, nullptr);
    EXPECT_EQ(largest, region->PageAt(2)->PageStart());
    EXPECT_EQ(region->freePageHead, 0);
    pool->Free(largest, nullptr);
    pool->Free(block, nullptr);
    EXPECT_EQ(region->freePages, 128);
}

TEST(PagedPoolTest, ClassesNoPageCanHoldAreRefusedUpFront) {
    PagedPoolHandle pool;
    const std::size_t unserved[][2] = {{4041, 0},  {4048, 0},     {4000, 48},       {65536, 0},
                                       {0, 70000}, {SIZE_MAX, 0}, {8, SIZE_MAX - 3}};
    for (const auto& request : unserved)
        EXPECT_EQ(pool->Allocate(request[0], request[1]), nullptr);
    EXPECT_EQ(pool->Table(), nullptr);
    EXPECT_EQ(pool->Regions()->first, nullptr);

    void* block = pool->Allocate(24, 0);
    const AccessorEntry* table = pool->Table();
    const Region* region = RegionOf(block);
    for (const auto& request : unserved)
        EXPECT_EQ(pool->Allocate(request[0], request[1]), nullptr);
    EXPECT_EQ(pool->Table(), table);
    EXPECT_EQ(pool->maxSize, 24);
    EXPECT_EQ(region->pagesIssued, 1);
    EXPECT_EQ(pool->Regions()->last, region);
    EXPECT_EQ(CountersOf(pool.get()), (Counters{4096, (168 - 2 - 1) * 24, 1, 24}));
    pool->Free(block, nullptr);
}

// Blocks at page offsets 32, 48 and 64 of a class-16 page 0.
class ReleasedBlocksTest : public testing::Test {
protected:
    PagedPoolHandle pool;
    std::vector<void*> blocks = AllocateMany(pool.get(), 16, 3);
    char* start = PageStartOf(blocks[0]);
    PageObject* page = PageOf(blocks[0]);
};

TEST_F(ReleasedBlocksTest, ReleasedBlocksComeBackLastInFirstOut) {
    ASSERT_EQ(blocks[2], start + 64);
    pool->Free(blocks[0], nullptr);
    pool->Free(blocks[2], nullptr);
    EXPECT_EQ(LinkAt(start + 32), 0);
    EXPECT_EQ(LinkAt(start + 64), -32);
    std::uint16_t linkMarker;
    std::uint32_t blockMarker;
    std::memcpy(&linkMarker, start + 66, sizeof(linkMarker));
    std::memcpy(&blockMarker, start + 68, sizeof(blockMarker));
    EXPECT_EQ(linkMarker, 0xbeef);
    EXPECT_EQ(blockMarker, 0xabaddeadu);
    EXPECT_EQ(page->freeBlocks, start + 64);
    EXPECT_EQ(EntryOf(pool.get(), 16).partialPages, nullptr) << "the current page stays put";
    EXPECT_EQ(CountersOf(pool.get()), (Counters{4096, 3984, 1, 16}));

    // Untouched positions come first; then the released blocks, newest first.
    std::vector<void*> rest = AllocateMany(pool.get(), 16, 247);
    for (void* b : rest)
        EXPECT_GE(PageOffset(b), 80u);
    EXPECT_EQ(page->carved, page->capacity);
    EXPECT_EQ(pool->Allocate(16, 0), start + 64);
    EXPECT_EQ(pool->Allocate(16, 0), start + 32);
    void* next = pool->Allocate(16, 0);
    EXPECT_EQ(PageOf(next)->index, 1);
    EXPECT_EQ(pool->chunk.size, 2 * kPageBytes);
    EXPECT_EQ(pool->chunk.pieceCount, 251u);

    for (void* b : rest)
        pool->Free(b, nullptr);
    for (void* b : {next, blocks[0], blocks[1], blocks[2]})
        pool->Free(b, nullptr);
    EXPECT_EQ(CountersOf(pool.get()), (Counters{0, 0, 0, 0}));
}

TEST_F(ReleasedBlocksTest, PointersNeverHandedOutAreRefused) {
    for (int released = 0; released < 2; ++released) {
        const Counters before = CountersOf(pool.get());
        const std::uint16_t freeCount = page->freeCount;
        char* b = static_cast<char*>(blocks[1]);
        for (char* bad : {b + 1, b + 4, b + 8, start, start + 16, start + 160, start + 4000})
            pool->Free(bad, nullptr);
        pool->Free(nullptr, nullptr);
        EXPECT_EQ(CountersOf(pool.get()), before);
        EXPECT_EQ(page->freeCount, freeCount);
        pool->Free(blocks[2 * released], nullptr);
    }
    void* next = pool->Allocate(16, 0);
    EXPECT_EQ(next, start + 80) << "the untouched part is intact";
    pool->Free(next, nullptr);
    pool->Free(blocks[1], nullptr);
    EXPECT_EQ(CountersOf(pool.get()), (Counters{0, 0, 0, 0}));
}

TEST_F(ReleasedBlocksTest, TheLastBlockOfAPageTakesThePageBack) {
    const Region* region = RegionOf(blocks[0]);
    pool->Free(blocks[1], nullptr);
    pool->Free(blocks[0], nullptr);
    EXPECT_EQ(pool->chunk.size, kPageBytes);
    pool->Free(blocks[2], nullptr);
    EXPECT_EQ(CountersOf(pool.get()), (Counters{0, 0, 0, 0}));
    EXPECT_EQ(page->blockSize, 0);
    EXPECT_EQ(region->freePages, 128);
    EXPECT_EQ(pool->Regions()->first, region) << "a list without mode bit 1 keeps the region";
    EXPECT_EQ(EntryOf(pool.get(), 16).currentPage, nullptr);
    EXPECT_EQ(EntryOf(pool.get(), 16).firstPage, nullptr);

    // The page serves another class next, with the capacity of that class.
    void* large = pool->Allocate(1000, 24);
    EXPECT_EQ(large, start + 1024);
    EXPECT_EQ(page->capacity, 3);
    EXPECT_EQ(page->carved, 2);
    EXPECT_EQ(CountersOf(pool.get()), (Counters{4096, 1024, 1, 1024}));
    pool->Free(large, nullptr);
}

// Class 1024: page 0 has two usable positions, later pages three.
TEST(PagedPoolTest, PagesWithReleasedBlocksGoOnThePartialList) {
    PagedPoolHandle pool;
    std::vector<void*> b = AllocateMany(pool.get(), 1024, 3);
    PageObject* page0 = PageOf(b[0]);
    PageObject* page1 = PageOf(b[2]);
    ASSERT_EQ(PageOf(b[1]), page0);
    AccessorEntry* entry = &EntryOf(pool.get(), 1024);
    EXPECT_EQ(entry->firstPage, page0);
    EXPECT_EQ(page0->next, page1);
    EXPECT_EQ(entry->currentPage, page1);

    pool->Free(b[0], nullptr);
    EXPECT_EQ(entry->partialPages, page0);
    EXPECT_EQ(entry->firstPage, page1);
    EXPECT_EQ(page1->prev, nullptr);

    std::vector<void*> more = AllocateMany(pool.get(), 1024, 2);
    EXPECT_EQ(PageOf(more[1]), page1);
    EXPECT_EQ(pool->Allocate(1024, 0), b[0]) << "from the partial list";
    EXPECT_EQ(entry->partialPages, page0) << "stays at the head until its chain runs dry";

    void* fresh = pool->Allocate(1024, 0);
    PageObject* page2 = PageOf(fresh);
    EXPECT_EQ(page2->index, 2);
    EXPECT_EQ(entry->partialPages, nullptr);
    EXPECT_EQ(entry->firstPage, page0) << "back at the head of the main list";
    EXPECT_EQ(page0->next, page1);
    EXPECT_EQ(page1->prev, page0);
    EXPECT_EQ(page1->next, page2);
    EXPECT_EQ(entry->currentPage, page2);

    // A page on the partial list that becomes empty goes back to its region from there.
    pool->Free(more[0], nullptr);
    EXPECT_EQ(entry->partialPages, page1);
    EXPECT_EQ(page0->next, page2);
    pool->Free(more[1], nullptr);
    pool->Free(b[2], nullptr);
    EXPECT_EQ(entry->partialPages, nullptr);
    EXPECT_EQ(page1->blockSize, 0);
    for (void* block : {b[0], b[1], fresh})
        pool->Free(block, nullptr);
    EXPECT_EQ(CountersOf(pool.get()), (Counters{0, 0, 0, 0}));
}

TEST(PagedPoolTest, AReleasedBlockWithADamagedMarkerIsNeverHandedOutAgain) {
    PagedPoolHandle pool;
    std::vector<void*> b = AllocateMany(pool.get(), 1024, 3); // page 0 full, page 1 current
    pool->Free(b[0], nullptr);
    static_cast<char*>(b[0])[2] = 0; // the 0xbeef marker
    std::vector<void*> more = AllocateMany(pool.get(), 1024, 3);
    EXPECT_EQ(PageOf(more[2])->index, 2);
    for (void* block : more)
        EXPECT_NE(block, b[0]);
    const std::uint64_t size = pool->chunk.size;
    pool->Free(b[1], nullptr);
    EXPECT_EQ(pool->chunk.size, size - kPageBytes) << "page 0 is empty all the same";
    EXPECT_EQ(PageOf(b[0])->blockSize, 0);
    for (void* block : {b[2], more[0], more[1], more[2]})
        pool->Free(block, nullptr);
    EXPECT_EQ(CountersOf(pool.get()), (Counters{0, 0, 0, 0}));
}

TEST(PagedPoolTest, ALinkOverwrittenToABlockInUseNeverHandsThatBlockOut) {
    PagedPoolHandle pool;
    std::vector<void*> b = AllocateMany(pool.get(), 1024, 5); // page 1 (current) holds b[2..4]
    char* inUse = static_cast<char*>(b[2]);
    std::memset(inUse, 0x5A, 1024);
    pool->Free(b[4], nullptr);
    pool->Free(b[3], nullptr);
    const std::int16_t toInUse = -1024;
    std::memcpy(b[3], &toInUse, sizeof(toInUse));

    EXPECT_EQ(pool->Allocate(1024, 0), b[3]);
    void* next = pool->Allocate(1024, 0);
    EXPECT_NE(next, inUse);
    EXPECT_NE(next, b[4]);
    EXPECT_EQ(PageOf(next)->index, 2);
    EXPECT_EQ(static_cast<unsigned char>(inUse[2]), 0x5A);
    for (void* block : {b[0], b[1], b[2], b[3], next})
        pool->Free(block, nullptr);
    EXPECT_EQ(CountersOf(pool.get()), (Counters{0, 0, 0, 0}));
}

// The main list of a class from firstPage: every page linked back to the one before it.
std::vector<PageObject*> MainList(const AccessorEntry& entry) {
    std::vector<PageObject*> pages;
    for (PageObject* page = entry.firstPage; page != nullptr && pages.size() < 1000;
         page = page->next) {
        EXPECT_EQ(page->prev, pages.empty() ? nullptr : pages.back());
        pages.push_back(page);
    }
    return pages;
}

// Regression: once the current page had emptied and left, the next new page was not linked to
// the main list; after more pages came and went the list's head kept a `prev`, and taking that
// head off left firstPage on a page given back to its region (a truly empty pool then died in
// destruction with "Delete pool with existing allocation").
TEST(PagedPoolRegressionTest, ANewPageAfterTheCurrentPageEmptiedJoinsTheMainList) {
    PagedPoolHandle pool;
    auto entry = [&]() -> AccessorEntry& { return EntryOf(pool.get(), 4000); };
    void* a = pool->Allocate(4000, 0); // one block per page
    void* b = pool->Allocate(4000, 0);
    pool->Free(b, nullptr);
    EXPECT_EQ(entry().currentPage, nullptr) << "the current page emptied";
    void* c = pool->Allocate(4000, 0);
    void* d = pool->Allocate(4000, 0);
    EXPECT_EQ(MainList(entry()), (std::vector<PageObject*>{PageOf(a), PageOf(c), PageOf(d)}));
    pool->Free(a, nullptr);
    void* e = pool->Allocate(4000, 0);
    EXPECT_EQ(MainList(entry()), (std::vector<PageObject*>{PageOf(c), PageOf(d), PageOf(e)}));
    EXPECT_EQ(entry().currentPage, PageOf(e));
    pool->Free(e, nullptr);
    pool->Free(c, nullptr);
    pool->Free(d, nullptr);
    EXPECT_EQ(entry().firstPage, nullptr);
    EXPECT_EQ(CountersOf(pool.get()), (Counters{0, 0, 0, 0}));
    EXPECT_EQ(pool.Release()->Flush(Flag::FLUSH_DESTROY), 0);
}

// Flush.

TEST(PagedPoolLifecycleTest, FlushOfANewPoolChangesNothing) {
    PagedPoolHandle pool;
    EXPECT_EQ(QORSysFlushPool(pool.get(), 0), 0);
    EXPECT_TRUE(IsRegistered(pool.get()));
    EXPECT_EQ(pool->Table(), nullptr);
    EXPECT_EQ(CountersOf(pool.get()), (Counters{0, 0, 0, 0}));
}

TEST(PagedPoolLifecycleTest, FlushRefusesAPoolWithABlockInUse) {
    PagedPoolHandle pool(Flag::LOCKED);
    void* block = pool->Allocate(40, 0);
    const Counters before = CountersOf(pool.get());
    for (int mode : {0, 1, 4, 5}) {
        EXPECT_EQ(pool->Flush(mode), -1) << mode;
        EXPECT_TRUE(IsRegistered(pool.get()));
        EXPECT_EQ(CountersOf(pool.get()), before);
    }
    pool->Free(block, nullptr);
    EXPECT_EQ(pool->Flush(0), 0);
    PagedPool* p = pool.Release();
    EXPECT_EQ(p->Flush(Flag::FLUSH_DESTROY), 0);
    EXPECT_FALSE(IsRegistered(p));
}

// The counters say empty while pages are still listed: the flag 0x20 lets them go.
TEST(PagedPoolLifecycleTest, AFlushablePoolIsDestroyedWithItsPagesAndRegions) {
    PagedPoolHandle pool(Flag::FLUSHABLE);
    std::vector<void*> blocks;
    for (std::size_t size : {2, 4, 24, 1024, 4040})
        for (int i = 0; i < 140; ++i)
            blocks.push_back(pool->Allocate(size, 0));
    for (std::size_t i = 0; i < blocks.size(); i += 3)
        pool->Free(blocks[i], nullptr); // some pages go on the partial lists
    ASSERT_NE(pool->Regions()->first->next, nullptr) << "more than one region";
    pool->chunk.largestFreeArea = 0;
    PagedPool* p = pool.Release();
    EXPECT_EQ(p->Flush(Flag::FLUSH_DESTROY), 0);
    EXPECT_FALSE(IsRegistered(p));
}

TEST(PagedPoolLifecycleDeathTest, DestroyingAPoolWithListedPagesIsFatalUnlessFlushable) {
    PagedPoolHandle pool;
    void* block = pool->Allocate(64, 0);
    pool->chunk.largestFreeArea = 0;
    EXPECT_DEATH(pool->Flush(Flag::FLUSH_DESTROY), "Delete pool with existing allocation");
    pool->chunk.largestFreeArea = 64;
    pool->Free(block, nullptr);
}

// With the lock flag alone the list is private; it goes with the pool (checked for leaks).
TEST(PagedPoolLifecycleTest, ALockedPoolGivesItsPrivateRegionsBack) {
    PagedPoolHandle pool(Flag::LOCKED);
    std::vector<void*> blocks = AllocateMany(pool.get(), 4040, 200);
    ASSERT_NE(pool->Regions()->first->next, nullptr);
    for (void* block : blocks)
        pool->Free(block, nullptr);
    EXPECT_EQ(pool->Regions()->first->freePages, 128) << "mode 2 kept the empty regions";
    PagedPool* p = pool.Release();
    EXPECT_EQ(QORSysFlushPool(p, Flag::FLUSH_DESTROY), 0);
    EXPECT_FALSE(IsRegistered(p));
}

TEST(PagedPoolLifecycleTest, ExitCleanUpDestroysEmptyPoolsAndReleasesFreeSharedRegions) {
    auto* emptyShared = static_cast<PagedPool*>(QORSysCreatePool(Flag::PAGED, 0));
    auto* emptyPrivate =
        static_cast<PagedPool*>(QORSysCreatePool(Flag::PAGED | Flag::FLUSHABLE, 0));
    auto* inUse = static_cast<PagedPool*>(QORSysCreatePool(Flag::PAGED | Flag::VOLATILE, 0));
    for (PagedPool* pool : {emptyShared, emptyPrivate})
        pool->Free(pool->Allocate(100, 0), nullptr);
    void* block = inUse->Allocate(100, 0);
    RegionList* listB = SharedRegionListB();
    RegionList* listA = SharedRegionListA();
    ASSERT_EQ(emptyShared->Regions(), listB);
    Region* regionA = RegionOf(block);
    ASSERT_EQ(listB->first->freePages, 128);

    RunExitCleanup();
    EXPECT_FALSE(IsRegistered(emptyShared));
    EXPECT_FALSE(IsRegistered(emptyPrivate));
    ASSERT_TRUE(IsRegistered(inUse));
    EXPECT_EQ(SharedRegionListA(), listA) << "a region in use keeps its list";
    EXPECT_EQ(listA->first, regionA);
    EXPECT_EQ(regionA->freePages, 127);

    RegionList* newB = SharedRegionListB();
    EXPECT_EQ(newB->first, nullptr);
    EXPECT_EQ(newB->mode, 0u);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_NE(newB, listB) << "the old list was deleted";
#endif
    EXPECT_EQ(inUse->GetBlockSize(block), 104u);
    inUse->Free(block, nullptr);
    EXPECT_EQ(inUse->Flush(Flag::FLUSH_DESTROY), 0);
}

// The front end: a paged pool made by the management call, its blocks released through the page.
TEST(PagedPoolFrontEndTest, BlocksComeAndGoThroughTheEntryPoints) {
    void* pool = QORSysCreatePool(Flag::PAGED, 1000);
    ASSERT_NE(pool, nullptr);
    auto* paged = dynamic_cast<PagedPool*>(static_cast<PoolBase*>(pool));
    ASSERT_NE(paged, nullptr);
    EXPECT_EQ(paged->chunk.flags, Flag::PAGED);
    EXPECT_EQ(paged->chunk.size, 0u) << "the size argument is not used";

    std::vector<void*> blocks;
    for (std::size_t size : {20, 24, 17, 3, 500})
        blocks.push_back(QORSpecializedNew(size, pool, nullptr, 0));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(PageOf(blocks[i])->owner, paged);
        EXPECT_EQ(paged->GetBlockSize(blocks[i]), 24u);
    }
    EXPECT_EQ(paged->GetBlockSize(blocks[3]), 4u);
    EXPECT_EQ(paged->chunk.pieceCount, 5u);
    std::size_t freeBytes = 0;
    EXPECT_EQ(QORSysPoolGetFreeSpace(pool, &freeBytes, nullptr), -1);
    EXPECT_EQ(freeBytes, paged->chunk.free);

    for (void* block : blocks)
        QORSpecializedDelete(block, nullptr, Flag::PAGED);
    EXPECT_EQ(CountersOf(paged), (Counters{0, 0, 0, 0}));
    EXPECT_EQ(QORSysFlushPool(pool, Flag::FLUSH_DESTROY), 0);
    EXPECT_FALSE(IsRegistered(paged));
}

} // namespace
} // namespace qor::test
