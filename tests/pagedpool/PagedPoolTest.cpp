// The paged pool, from its pages to the front end. Each case runs in a fresh process.
#include "pagedpool/PagedPool.h"
#include "PagedPlacementModel.h"
#include "TestSupport.h"
#include "core/ExitCleanup.h"
#include "core/PoolCheck.h"
#include "core/SizeClasses.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <random>
#include <tuple>
#include <vector>

namespace qor::test {

using namespace std::string_literals;

namespace Flag = QORSysPoolFlag;

alignas(4096) char gMem[kRegionBytes + kPageBytes]; // hand-made pages and regions

PagedPool* NewPool(std::uint32_t flags = 0) { // the front end's route to a paged pool
    return static_cast<PagedPool*>(QORSysCreatePool(int(flags | Flag::PAGED), 0));
}

// A pool's counters, named: a failure shows which differs.
struct Counters {
    std::uint64_t pageBytes, freeBytes, blocksInUse, bytesInUse;
    bool operator==(const Counters&) const = default;
    friend void PrintTo(const Counters& c, std::ostream* out) {
        *out << "{pageBytes " << c.pageBytes << ", freeBytes " << c.freeBytes << ", blocksInUse "
             << c.blocksInUse << ", bytesInUse " << c.bytesInUse << "}";
    }
};
Counters CountersOf(const PagedPool* p) {
    return {p->PageBytes(), p->FreeBytes(), p->BlocksInUse(), p->BytesInUse()};
}
QORPoolInfo InfoOf(PagedPool* pool) {
    QORPoolInfo info{};
    QORSysGetPoolInfo(pool, nullptr, &info, 0);
    return info;
}
bool IsRegistered(const PoolBase* pool, const PoolBase* p = State().poolRegistry) {
    return p != nullptr && (p == pool || IsRegistered(pool, p->nextPool));
}
// The accessors table: the sizes it maps, by step, and the size of each entry.
struct Mapping {
    unsigned minSize, maxSize, step;
    std::vector<unsigned> sizes;
    bool operator==(const Mapping&) const = default;
    friend void PrintTo(const Mapping& m, std::ostream* out) {
        *out << "{minSize " << m.minSize << ", maxSize " << m.maxSize << ", step " << m.step
             << ", sizes " << testing::PrintToString(m.sizes) << "}";
    }
};
Mapping MappingOf(const PagedPool* pool) {
    Mapping m{pool->minSize, pool->maxSize, pool->step, {}};
    for (int i = 0; i < AccessorEntryCount(*pool); ++i)
        m.sizes.push_back(pool->Table()[i].size);
    return m;
}
// A list in its order, which is what the cases below are about (its links: Broken, whose checker
// proves page lists and their links both ways, counters and the regions of the pool's list).
template <class T> std::vector<T*> Order(T* node) {
    std::vector<T*> nodes;
    for (; node != nullptr; node = node->next)
        nodes.push_back(node);
    return nodes;
}
PageObject* MakePage(std::uint16_t index, std::uint16_t blockSize) {
    return new (gMem + index * kPageBytes + kPageObjectOffset)
        PageObject{nullptr, nullptr, nullptr, nullptr, index, blockSize, kPageInUse, 0, 0, 0, 0};
}

// The release check multiplies by the page's reciprocal instead of dividing by its block size.
TEST(PageTest, ReleasedPositionsAreCheckedWithoutDivision) {
    for (unsigned s = 2; s < kFirstUnservedPagedClass; s += s < 8 ? 2 : 8)
        for (std::uint64_t offset = 0; offset < kPageBytes; ++offset) {
            const std::uint64_t product = offset * ReciprocalOf(s);
            const bool boundary = std::uint32_t(product) < ReciprocalOf(s);
            if (product >> 32 != offset / s || boundary != (offset % s == 0))
                FAIL() << s << ' ' << offset;
        }
    // Page 0 of a region at delta 16, class 16: the header and the delta cover offsets 0 to 47.
    PageObject* page = MakePage(0, 16);
    const std::uint16_t delta = 16;
    std::memcpy(gMem + kRegionDeltaOffset, &delta, sizeof(delta));
    SetPageGeometry(*page);
    page->carved = 5;
    std::vector<int> accepted;
    for (int offset : {0, 16, 32, 40, 48, 64, 72, 80})
        if (PutBlock(*page, gMem + offset)) accepted.push_back(offset);
    EXPECT_EQ(accepted, (std::vector{48, 64})) << "position 5 is not carved yet";
    EXPECT_EQ(page->capacity, 252);
    EXPECT_EQ(page->freeCount, 2);
    EXPECT_EQ(TakeFreeBlock(*page), gMem + 64);
}

// A link that does not lead to a handed-out position of its page ends the chain: off a block
// boundary, past the carved positions, into page 0's region header. Page, link, next head.
TEST(PageTest, ADamagedLinkEndsTheChain) {
    const std::tuple<std::uint16_t, std::int16_t, int> cases[] = {
        {1, -16, 48}, {1, -24, 0}, {1, 160, 0}, {0, -16, 48}, {0, -64, 0}};
    for (const auto& [index, distance, next] : cases) {
        std::memset(gMem, 0, 2 * kPageBytes);
        PageObject* page = MakePage(index, 16);
        char* start = page->PageStart();
        SetPageGeometry(*page);
        page->carved = 10;
        for (int offset : {32, 48, 64})
            ASSERT_TRUE(PutBlock(*page, start + offset));
        std::memcpy(start + 64, &distance, sizeof(distance));
        EXPECT_EQ(TakeFreeBlock(*page), start + 64);
        EXPECT_EQ(page->freeBlocks, next ? start + next : nullptr) << index << ' ' << distance;
        EXPECT_EQ(page->freeCount, 2) << index << ' ' << distance;
    }
}

TEST(AccessorsTableTest, TheTableGrowsWithOneEntryPerSizeAndSurvivesAFailedRebuild) {
    PagedPool* pool = NewPool();
    // The rebuild for 1000, which falls on 968, would take 128 entries at step 32: that malloc
    // fails.
    platform::SetMallocFailureFilter([](std::size_t bytes) { return bytes == 128 * 32; });
    const struct {
        unsigned size;
        bool served, rebuilt;
        Mapping after;
    } steps[] = {
        {4, true, true, {0, 0, 0, {2, 4, 0}}},
        {1872, true, true, {1872, 1872, 1872, {2, 4, 1872}}},
        {512, true, true, {512, 1872, 1360, {2, 4, 512, 1872}}},
        {968, true, true, {512, 1872, 456, {2, 4, 512, 968, 1872}}},
        {4008, true, true, {512, 4008, 456, {2, 4, 512, 968, 1872, 0, 0, 0, 0, 4008}}},
        // the same count of entries
        {1424, true, true, {512, 4008, 448, {2, 4, 512, 968, 1424, 1872, 0, 0, 0, 4008}}},
        // a vacant entry, though close: no rebuild
        {2304, true, false, {512, 4008, 448, {2, 4, 512, 968, 1424, 1872, 2304, 0, 0, 4008}}},
        // the step becomes 2304 - 1872
        {8, true, true, {8, 4008, 432, {2, 4, 8, 512, 968, 1424, 1872, 2304, 0, 0, 0, 4008}}},
        {1000, false, false, {8, 4008, 432, {2, 4, 8, 512, 968, 1424, 1872, 2304, 0, 0, 0, 4008}}}};
    for (const auto& step : steps) {
        const AccessorEntry* before = pool->Table();
        EXPECT_EQ(pool->Allocate(step.size, 0) != nullptr, step.served) << step.size;
        EXPECT_EQ(pool->Table() != before, step.rebuilt) << step.size;
        EXPECT_EQ(MappingOf(pool), step.after) << step.size;
    }
    const auto before = std::pair(CountersOf(pool), MappingOf(pool));
    const std::size_t unservable[][2] = {{4041, 0},  {4048, 0},     {4000, 48},       {65536, 0},
                                         {0, 70000}, {SIZE_MAX, 0}, {8, SIZE_MAX - 3}};
    for (const auto& [size, extra] : unservable)
        EXPECT_EQ(pool->Allocate(size, extra), nullptr);
    EXPECT_EQ(std::pair(CountersOf(pool), MappingOf(pool)), before) << "no entry, no page for them";
}

TEST(HandMadeDeathTest, DamagedTablesAndRegions) {
    PagedPool* pool = NewPool();
    int index = -1;
    FindAccessor(*pool, 16, index);
    pool->Table()[2].size = 0;
    EXPECT_DEATH(FindAccessor(*pool, 16, index), "AccessorsTable inconsistency c3");
    pool->Table()[2].size = 24;
    EXPECT_DEATH(FindAccessor(*pool, 16, index), "AccessorsTable inconsistency c4");
    RegionList list{};
    EXPECT_DEATH(new (gMem) Region(nullptr), "Parentless Region");
    EXPECT_DEATH((new (gMem + 4016) Region(&list))->GetPage(16, nullptr),
                 "Overlapping Page Detected");
    EXPECT_DEATH(PutBlock(*MakePage(1, 16), gMem), "Invalid Page Object in Page");
    // Delta 16: the grid starts 16 bytes below the region and ends 16 bytes before its 0x80000.
    auto* region = new (gMem + 16) Region(&list);
    EXPECT_EQ(region->delta, 16);
    EXPECT_EQ(RegionDelta(), 16);
    EXPECT_EQ(region->GridBase(), gMem);
    EXPECT_EQ(region->PageAt(127)->PageStart() + kPageBytes, gMem + kRegionBytes);
    std::vector<PageObject*> pages(6);
    std::generate(pages.begin(), pages.end(), [&] { return region->GetPage(16, nullptr); });
    EXPECT_EQ(pages[5], reinterpret_cast<PageObject*>(gMem + 5 * kPageBytes + 4048));
    EXPECT_EQ(ReservedCount(*pages[0]), 3) << "ceil((16 + 32) / 16)";
    EXPECT_EQ(pages[0]->carved, 3);
    list.ReleasePage(pages[5]);
    EXPECT_EQ(region->freePageHead, 5);
    EXPECT_EQ(region->freePages, 123);
    EXPECT_DEATH(new (gMem + 64) Region(&list),
                 "Invalid internal assumption on delta repetability");
    list.last = nullptr;
    EXPECT_DEATH(list.Unlink(region), "Invalid Last Region");
}

// The pool's flags and the mode its region list must have.
class RegionListTest : public testing::TestWithParam<std::pair<std::uint32_t, unsigned>> {};
INSTANTIATE_TEST_SUITE_P(, RegionListTest,
                         testing::Values(std::pair(0x68u, 3u), std::pair(0x20u, 2u),
                                         std::pair(0x40u, 1u), std::pair(0u, 0u)),
                         [](const auto& info) { return PoolFlagNames(info.param.first); });

TEST_P(RegionListTest, RegionsMoveBehindCurrentAndGoBackOnlyInModesWithBitOne) {
    const auto [flags, mode] = GetParam();
    PagedPool* pool = NewPool(flags);
    RegionList* list = pool->Regions();
    EXPECT_EQ(list->owner, flags & 0x28 ? pool : nullptr);
    EXPECT_EQ(list->mode, mode);
    std::vector<PageObject*> pages(129);
    std::generate(pages.begin(), pages.end(), [&] { return list->GetPage(16, pool); });
    Region *first = list->first, *second = list->current;
    EXPECT_EQ(Order(first), (std::vector{first, second})) << "a full region: a new current";
    list->ReleasePage(pages[5]);
    EXPECT_EQ(Order(list->first), (std::vector{second, first})) << "right behind current";
    EXPECT_EQ(Broken(pool), "");
    for (int i = 0; i < 128; ++i)
        if (i != 5) list->ReleasePage(pages[i]);
    EXPECT_EQ(Order(list->first), (mode & 1 ? std::vector{second} : std::vector{second, first}));
    list->ReleasePage(pages[128]);
    EXPECT_EQ(list->current, second) << "current stays";
    EXPECT_EQ(second->freePages, 128);
    EXPECT_EQ(pool->Flush(Flag::FLUSH_DESTROY), 0);
}

TEST(PagedPoolTest, FirstBlocksReportReleasedChainAndDamagedMarker) {
    PagedPool* pool = NewPool(Flag::LOCKED | Flag::VOLATILE);
    auto allocate = [&] { return static_cast<char*>(QORSpecializedNew(16, pool, nullptr, 0)); };
    auto release = [](void* block) { QORSpecializedDelete(block, nullptr, Flag::PAGED); };
    QORPoolInfo expected{};
    expected.flagBits = 64, expected.chunkCount = 4294967295;
    ASSERT_EQ(InfoOf(pool), expected);
    std::vector<char*> b{allocate()};
    char* start = reinterpret_cast<char*>(pool->Regions()->first); // page 0
    EXPECT_EQ(b[0], start + 32);
    expected.totalSize = 4096, expected.freeSize = 3984, expected.chunkCount = 0;
    expected.maxChunkFree = 16, expected.occupation = 2, expected.blockTotal = 1;
    EXPECT_EQ(InfoOf(pool), expected);
    b.insert(b.end(), {allocate(), allocate()});
    release(b[0]);
    release(b[2]);
    // Links to the next released block (0 ends) and the markers 0xbeef, 0xabaddead.
    EXPECT_EQ(std::memcmp(start + 32, "\x00\x00\xef\xbe\xad\xde\xad\xab", 8), 0);
    EXPECT_EQ(std::memcmp(start + 64, "\xe0\xff\xef\xbe\xad\xde\xad\xab", 8), 0);
    for (char* bad : {b[1] + 1, b[1] + 4, b[1] + 8, start, start + 16, start + 160})
        release(bad);
    EXPECT_EQ(CountersOf(pool), (Counters{4096, 3984, 1, 16}))
        << "misaligned, mid-block, header, untouched";
    b.resize(252);
    std::generate(b.begin() + 3, b.end(), allocate);
    EXPECT_EQ((std::vector{b[249], b[250], b[251]}), (std::vector{start + 4016, b[2], b[0]}))
        << "untouched positions first, then the released blocks, newest first";
    release(b[251]);
    start[34] = 0; // the 0xbeef marker of the released block at 32
    EXPECT_EQ(PageObjectOf(allocate())->index, 1) << "a new page, not the block at 32";
    b[0] = b[2] = b[251] = nullptr; // b[250] is the old b[2]
    std::for_each(b.begin(), b.end(), release);
    EXPECT_EQ(CountersOf(pool), (Counters{4096, 4032, 1, 16})) << "page 0 emptied all the same";
}

// Regression: a new page taken after the current page had emptied was left off the main list;
// firstPage later stayed on a page given back. Class 2024: one block per page, none on page 0.
TEST(PagedPoolRegressionTest, ANewPageAfterTheCurrentPageEmptiedJoinsTheMainList) {
    PagedPool* pool = NewPool();
    auto take = [&] { return PageObjectOf(pool->Allocate(2020, 0)); };
    auto release = [&](PageObject* page) { pool->Free(page->PageStart(), nullptr); };
    PageObject* a = take();
    EXPECT_EQ(a->index, 1);
    EXPECT_EQ(pool->Regions()->first->freePageHead, 0) << "page 0 given back";
    release(take());
    const AccessorEntry& entry = pool->Table()[2];
    EXPECT_EQ(entry.currentPage, nullptr) << "the current page emptied";
    PageObject *c = take(), *d = take();
    EXPECT_EQ(Order(entry.firstPage), (std::vector{a, c, d}));
    release(a);
    PageObject* e = take();
    EXPECT_EQ(std::pair(Order(entry.firstPage), Broken(pool)),
              std::pair(std::vector{c, d, e}, ""s));
    for (PageObject* page : {c, d, e})
        release(page);
    EXPECT_EQ(CountersOf(pool), (Counters{0, 0, 0, 0}));
    EXPECT_EQ(pool->Flush(Flag::FLUSH_DESTROY), 0);
}

// Every block lands where the plain search of the pages puts it, by the front end's fast path and
// by the pool's own calls alike, and the page lists stay the plain search's: a churn of 1e5 steps
// keeps pages of every capacity carved out, partly released and used up (current pages among
// them) in every state. Two pools share region list B, so pages also change hands.
TEST(PagedPoolTest, BlocksLandWhereThePlainSearchPutsThem) {
    PagedPool* pools[2] = {NewPool(), NewPool()};
    PagedPlacementModel model;
    std::mt19937 random(7);
    std::vector<std::pair<char*, int>> live;
    for (int step = 0; step < 100000; ++step) {
        const bool fast = random() % 2;
        // Live blocks hover around 600, in classes whose pages hold 1 to 2024 blocks.
        if (live.empty() || random() % 10 < (live.size() < 600 ? 6u : 4u)) {
            constexpr std::size_t kBytes[] = {2, 3, 16, 20, 200, 500, 1000, 2020};
            const int k = int(random() % 2);
            const std::size_t bytes = kBytes[random() % std::size(kBytes)];
            auto* block = static_cast<char*>(fast ? QORSpecializedNew(bytes, pools[k], nullptr, 0)
                                                  : pools[k]->Allocate(bytes, 0));
            ASSERT_TRUE(model.Allocated(pools[k], SizeClassOf(bytes), block)) << step;
            live.emplace_back(block, k);
        } else {
            std::swap(live[random() % live.size()], live.back());
            const auto [block, k] = live.back();
            live.pop_back();
            if (fast)
                QORSpecializedDelete(block, nullptr, Flag::PAGED);
            else
                pools[k]->Free(block, nullptr);
            model.Released(pools[k], block);
        }
        if (step % 64 == 0) {
            ASSERT_TRUE(model.ListsMatch(*pools[0]) && model.ListsMatch(*pools[1])) << step;
        }
    }
    EXPECT_EQ(Broken(pools[0]) + Broken(pools[1]), "");
}

// Sizes 2 and 4 only (no step). Counters faked empty while pages are listed: fatal without 0x20.
class PagedPoolDeathTest : public testing::TestWithParam<std::uint32_t> {};
INSTANTIATE_TEST_SUITE_P(, PagedPoolDeathTest, testing::Values(0u, Flag::FLUSHABLE, Flag::LOCKED),
                         [](const auto& info) { return PoolFlagNames(info.param); });

TEST_P(PagedPoolDeathTest, FlushRefusesAPoolInUseAndDestructionGivesPagesAndRegionsBack) {
    const std::uint32_t flags = GetParam();
    PagedPool* pool = NewPool(flags);
    std::vector<void*> blocks(3000);
    std::generate(blocks.begin(), blocks.end(),
                  [&, i = 0]() mutable { return pool->Allocate(1 + i++ % 4, 0); });
    for (int mode : {0, 1, 4, 5})
        EXPECT_EQ(pool->Flush(mode), -1);
    EXPECT_EQ(MappingOf(pool), (Mapping{0, 0, 0, {2, 4, 0}}));
    if (flags == Flag::LOCKED) // a private list: its regions go too (leak-checked)
        std::for_each(blocks.begin(), blocks.end(), [&](void* b) { pool->Free(b, nullptr); });
    pool->BytesInUse() = 0;
    if (flags == 0)
        EXPECT_DEATH(pool->Flush(Flag::FLUSH_DESTROY), "Delete pool with existing allocation");
    else
        EXPECT_TRUE(pool->Flush(Flag::FLUSH_DESTROY) == 0 && !IsRegistered(pool));
}

// Empty pools go; a shared list with only free regions gives them back and goes too.
TEST(PagedPoolTest, ExitCleanUp) {
    PagedPool *shared = NewPool(), *own = NewPool(Flag::FLUSHABLE), *kept = NewPool(Flag::VOLATILE);
    for (PagedPool* pool : {shared, own})
        pool->Free(pool->Allocate(100, 0), nullptr);
    void* block = kept->Allocate(100, 0);
    RunExitCleanup();
    EXPECT_FALSE(IsRegistered(shared));
    EXPECT_FALSE(IsRegistered(own));
    EXPECT_TRUE(IsRegistered(kept));
    EXPECT_EQ(SharedRegionListA()->first->freePages, 127);
    EXPECT_EQ(kept->GetBlockSize(block), 104);
    EXPECT_EQ(SharedRegionListB()->first, nullptr);
}

} // namespace qor::test
