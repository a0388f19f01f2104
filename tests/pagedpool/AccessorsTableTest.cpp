// The accessors table of a paged pool: the mapping from a size class to its entry, the rebuilds
// that keep one entry per size, a failed rebuild, and the fatal stops of a table damaged by hand.
#include "pagedpool/PagedPoolTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace qor::test {
namespace {

// The sizes stored at index 2 onward, by index.
std::map<int, unsigned> SizedEntries(PagedPool* pool) {
    std::map<int, unsigned> sizes;
    for (int i = 2; i < AccessorEntryCount(*pool); ++i)
        if (pool->Table()[i].size != 0) sizes[i] = pool->Table()[i].size;
    return sizes;
}

int Find(PagedPool* pool, unsigned size) {
    int index = -1;
    FindAccessor(*pool, size, index);
    return index;
}

TEST(AccessorsTableTest, FirstSizedRequestMakesAThreeEntryTable) {
    PagedPoolHandle pool;
    EXPECT_EQ(AccessorIndex(*pool, 2), -1) << "no table yet";
    EXPECT_EQ(Find(pool.get(), 16), 2);
    EXPECT_EQ(AccessorEntryCount(*pool), 3);
    EXPECT_EQ(pool->minSize, 16);
    EXPECT_EQ(pool->maxSize, 16);
    EXPECT_EQ(pool->step, 16);
    EXPECT_EQ(pool->Table()[0].size, 2);
    EXPECT_EQ(pool->Table()[1].size, 4);
}

TEST(AccessorsTableTest, SizesTwoAndFourAloneKeepThreeEntriesAndNoStep) {
    PagedPoolHandle pool;
    EXPECT_EQ(Find(pool.get(), 4), 1);
    EXPECT_EQ(Find(pool.get(), 2), 0);
    EXPECT_EQ(AccessorEntryCount(*pool), 3);
    EXPECT_EQ(pool->step, 0);
    EXPECT_EQ(pool->minSize, 0);
    EXPECT_TRUE(SizedEntries(pool.get()).empty());
    EXPECT_EQ(AccessorIndex(*pool, 8), -1);
    EXPECT_EQ(AccessorIndex(*pool, 0), -1);
    // Blocks of both sizes come and go; destruction walks the three entries.
    void* two = pool->Allocate(1, 0);
    void* four = pool->Allocate(3, 0);
    EXPECT_EQ(EntryOf(pool.get(), 2).currentPage, PageOf(two));
    EXPECT_EQ(EntryOf(pool.get(), 4).currentPage, PageOf(four));
    pool->Free(two, nullptr);
    pool->Free(four, nullptr);
    EXPECT_EQ(pool.Release()->Flush(Flag::FLUSH_DESTROY), 0);
}

// Each new size that does not fit the mapping rebuilds it with the closest neighbour distance.
TEST(AccessorsTableTest, RebuildsKeepOneEntryPerSize) {
    PagedPoolHandle pool;
    struct Step {
        unsigned size;
        unsigned minSize, maxSize, step;
        int count;
        std::map<int, unsigned> entries;
    } const steps[] = {
        {1872, 1872, 1872, 1872, 3, {{2, 1872}}},
        {512, 512, 1872, 1360, 4, {{2, 512}, {3, 1872}}},
        {968, 512, 1872, 456, 5, {{2, 512}, {3, 968}, {4, 1872}}},
        {4008, 512, 4008, 456, 10, {{2, 512}, {3, 968}, {4, 1872}, {9, 4008}}},
        {1424, 512, 4008, 448, 10, {{2, 512}, {3, 968}, {4, 1424}, {5, 1872}, {9, 4008}}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.size);
        const AccessorEntry* before = pool->Table();
        const int index = Find(pool.get(), s.size);
        EXPECT_NE(pool->Table(), before) << "rebuilt";
        EXPECT_EQ(pool->minSize, s.minSize);
        EXPECT_EQ(pool->maxSize, s.maxSize);
        EXPECT_EQ(pool->step, s.step);
        EXPECT_EQ(AccessorEntryCount(*pool), s.count);
        EXPECT_EQ(SizedEntries(pool.get()), s.entries);
        EXPECT_EQ(index, AccessorIndex(*pool, s.size));
        for (const auto& [i, size] : s.entries)
            EXPECT_EQ(AccessorIndex(*pool, size), i);
    }

    // A size landing on a vacant entry takes it in place, even closer than `step` to 1872.
    const AccessorEntry* table = pool->Table();
    EXPECT_EQ(Find(pool.get(), 2304), 6);
    EXPECT_EQ(Find(pool.get(), 2960), 7);
    EXPECT_EQ(pool->Table(), table);
    EXPECT_EQ(pool->step, 448);
    EXPECT_EQ(AccessorEntryCount(*pool), 10);
    EXPECT_EQ(Find(pool.get(), 1872), 5) << "a stored size is found where it is";

    // Absent sizes: below, above, on a vacant entry, on an entry of another size.
    for (unsigned absent : {0u, 8u, 504u, 1000u, 1880u, 4016u, 5000u})
        EXPECT_EQ(AccessorIndex(*pool, absent), -1) << absent;
    EXPECT_EQ(AccessorIndex(*pool, 2), 0);
    EXPECT_EQ(AccessorIndex(*pool, 4), 1);
    EXPECT_EQ(pool->Table(), table) << "lookups change nothing";
    EXPECT_EQ(AccessorEntryCount(*pool), 10);
}

// Page lists move with their sizes when the table is rebuilt under them.
TEST(AccessorsTableTest, RebuildsCarryThePageLists) {
    PagedPoolHandle pool;
    std::vector<std::pair<unsigned, void*>> blocks;
    for (unsigned size : {1872u, 512u, 968u, 4008u, 1424u, 24u}) {
        blocks.emplace_back(size, pool->Allocate(size, 0));
        ASSERT_NE(blocks.back().second, nullptr);
        for (const auto& [s, block] : blocks) {
            const AccessorEntry& entry = EntryOf(pool.get(), s);
            EXPECT_EQ(entry.currentPage, PageOf(block)) << s;
            EXPECT_EQ(entry.firstPage, PageOf(block)) << s;
            EXPECT_EQ(PageOf(block)->blockSize, s);
        }
    }
    for (const auto& [s, block] : blocks)
        pool->Free(block, nullptr);
    EXPECT_EQ(pool->chunk.size, 0u);
    EXPECT_EQ(pool->chunk.pieceCount, 0u);
}

// Fails the seam's requests of one size; counts how many it refused.
struct FailSize {
    static inline std::size_t bytes = 0;
    static inline int refused = 0;
    static bool Filter(std::size_t requested) {
        if (requested != bytes) return false;
        ++refused;
        return true;
    }
};

TEST(AccessorsTableTest, AFailedRebuildKeepsTheOldTable) {
    PagedPoolHandle pool;
    void* small = pool->Allocate(16, 0);
    ASSERT_NE(small, nullptr);
    const AccessorEntry* table = pool->Table();
    const Region* region = RegionOf(small);
    const std::uint16_t pagesIssued = region->pagesIssued;
    {
        FailSize::bytes = 4 * sizeof(AccessorEntry); // 16 and 24 at step 8: four entries
        MallocFilterScope failing(&FailSize::Filter);
        EXPECT_EQ(pool->Allocate(24, 0), nullptr);
        EXPECT_EQ(FailSize::refused, 1);
        EXPECT_EQ(pool->Table(), table);
        EXPECT_EQ(pool->minSize, 16);
        EXPECT_EQ(pool->maxSize, 16);
        EXPECT_EQ(pool->step, 16);
        EXPECT_EQ(AccessorIndex(*pool, 24), -1);
        EXPECT_EQ(AccessorIndex(*pool, 16), 2);
        EXPECT_EQ(pool->chunk.size, kPageBytes) << "no page taken";
        EXPECT_EQ(region->pagesIssued, pagesIssued);
        EXPECT_EQ(pool->chunk.pieceCount, 1u);
        EXPECT_EQ(pool->chunk.largestFreeArea, 16u);

        void* again = pool->Allocate(10, 6);
        EXPECT_EQ(again, static_cast<char*>(small) + 16) << "the stored size still works";
        pool->Free(again, nullptr);
        void* two = pool->Allocate(2, 0);
        EXPECT_NE(two, nullptr) << "and so do the two small sizes";
        pool->Free(two, nullptr);
    }
    void* large = pool->Allocate(24, 0);
    ASSERT_NE(large, nullptr) << "once memory is back the size is added";
    EXPECT_EQ(pool->step, 8);
    EXPECT_EQ(AccessorIndex(*pool, 16), 2);
    EXPECT_EQ(AccessorIndex(*pool, 24), 3);
    pool->Free(large, nullptr);
    pool->Free(small, nullptr);
}

TEST(AccessorsTableTest, AFailedFirstTableFailsTheRequestAndTakesNoPage) {
    PagedPoolHandle pool;
    {
        FailSize::bytes = 3 * sizeof(AccessorEntry);
        MallocFilterScope failing(&FailSize::Filter);
        EXPECT_EQ(pool->Allocate(16, 0), nullptr);
        EXPECT_EQ(pool->Allocate(2, 0), nullptr);
    }
    EXPECT_EQ(pool->Table(), nullptr);
    EXPECT_EQ(pool->chunk.size, 0u);
    EXPECT_EQ(pool->Regions()->first, nullptr);
}

// A table damaged by hand: the mapping in the pool and the sizes of some entries.
struct DamagedTable {
    const char* name;
    unsigned minSize, maxSize, step;
    int count;
    std::vector<std::pair<int, unsigned>> sizes; // index, size (0 makes the entry vacant)
    unsigned request;
    const char* message;
};

void Install(PagedPool* pool, const DamagedTable& t) {
    auto* table = static_cast<AccessorEntry*>(std::calloc(t.count, sizeof(AccessorEntry)));
    table[0].size = 2;
    table[1].size = 4;
    for (const auto& [index, size] : t.sizes)
        table[index].size = static_cast<std::uint16_t>(size);
    pool->SetTable(table);
    pool->minSize = static_cast<std::uint16_t>(t.minSize);
    pool->maxSize = static_cast<std::uint16_t>(t.maxSize);
    pool->step = static_cast<std::uint16_t>(t.step);
}

class AccessorsTableDeathTest : public testing::TestWithParam<DamagedTable> {};

TEST_P(AccessorsTableDeathTest, StopsWithItsMessage) {
    const DamagedTable& t = GetParam();
    PagedPoolHandle pool;
    EXPECT_DEATH(
        {
            Install(pool.get(), t);
            Find(pool.get(), t.request);
        },
        t.message);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, AccessorsTableDeathTest,
    testing::Values(
        DamagedTable{"VacantEntry", 16, 16, 16, 3, {{2, 0}}, 16, "AccessorsTable inconsistency c3"},
        DamagedTable{"VacantSmallEntry",
                     16,
                     16,
                     16,
                     3,
                     {{0, 0}, {2, 16}},
                     2,
                     "AccessorsTable inconsistency c3"},
        DamagedTable{"OtherSize", 16, 16, 16, 3, {{2, 24}}, 16, "AccessorsTable inconsistency c4"},
        DamagedTable{"OtherSmallSize",
                     16,
                     16,
                     16,
                     3,
                     {{1, 8}, {2, 16}},
                     4,
                     "AccessorsTable inconsistency c4"},
        DamagedTable{"SizeBeyondMaximum",
                     16,
                     32,
                     16,
                     4,
                     {{2, 16}, {3, 40}},
                     8,
                     "AccessorsTable inconsistency c1"},
        DamagedTable{"SizeStoredTwice",
                     16,
                     32,
                     16,
                     4,
                     {{2, 16}, {3, 16}},
                     8,
                     "AccessorsTable inconsistency c2"},
        DamagedTable{
            "MaximumLost", 16, 48, 16, 5, {{2, 16}, {3, 32}}, 40, "Invalid Slot for SizesTable==0"},
        DamagedTable{"SizeOutOfPlace",
                     16,
                     64,
                     16,
                     6,
                     {{2, 16}, {3, 48}, {5, 64}},
                     32,
                     "SizesTable needs no resize"}),
    [](const testing::TestParamInfo<DamagedTable>& info) { return std::string(info.param.name); });

} // namespace
} // namespace qor::test
