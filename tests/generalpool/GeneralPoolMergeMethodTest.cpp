// Merging of free areas by Optimize. The merge method is read from QORSysAllocatorForceOptMeth
// once per process, so every case here runs in a process of its own with the environment that
// its ctest entry gives it (see CMakeLists.txt).
#include "GeneralPoolTestSupport.h"

#include "generalpool/MergeFreeAreas.h"

using namespace qor;
using namespace qor::test;

namespace {

TEST(GeneralPoolMerge, AdjacentAreasBecomeOneInEveryChunk) {
    PoolHandle pool(32768, Flag::TRACKED_FREE_LIST);
    auto blocks = FillWith(pool.get(), {32, 48, 64, 16}); // the first chunk is full
    void* a = pool->Allocate(100, 0);                     // these go to an added chunk
    void* b = pool->Allocate(200, 0);
    pool->Allocate(8, 0);
    SubPool* added = pool->lastChunk;
    for (int i : {1, 0, 2})
        pool->Free(blocks[i], nullptr); // listed out of address order: 64, 32, 48
    pool->Free(a, nullptr);
    pool->Free(b, nullptr);
    const ChunkFields first = pool->chunk;
    const ChunkFields second = added->chunk;

    EXPECT_EQ(pool->Optimize(Flag::OPTIMIZE_MERGE), 0);
    const ChunkFields& c = pool->chunk;
    EXPECT_EQ(ListedSizes(c), std::vector<std::uint64_t>{144});
    EXPECT_EQ(c.freeList, AreaOf(blocks[0]));
    EXPECT_EQ(c.freeAreaCount, first.freeAreaCount - 2);
    EXPECT_EQ(c.pieceCount, first.pieceCount - 2);
    EXPECT_EQ(c.largestFreeArea, 144u);
    EXPECT_EQ(c.free, first.free);
    EXPECT_EQ(ListedSizes(added->chunk), (std::vector<std::uint64_t>{336, 65472 - 336 - 24}));
    EXPECT_EQ(added->chunk.freeAreaCount, second.freeAreaCount - 1);
    EXPECT_TRUE(ChunksAreConsistent(pool.get()));
    EXPECT_EQ(pool->Reallocate(144 - 16, nullptr, pool.get()), blocks[0])
        << "none of the three could";
}

// Lays out two 32-byte free areas and takes the first one off the list by hand, as plain
// placement drops areas. Returns true when the merge listed it again: only the address walk
// sees areas that are not listed. `extraBlocks` more pieces make the sort the cheaper choice of
// the automatic method.
bool MergeRelistsHiddenArea(std::uint32_t flags, bool inAddedChunk, int extraBlocks) {
    PoolHandle pool(32768, flags);
    if (inAddedChunk) pool->Allocate(32640, 0);
    void* hidden = pool->Allocate(16, 0);
    pool->Allocate(0, 0);
    void* listed = pool->Allocate(16, 0);
    for (int i = 0; i < extraBlocks; ++i)
        pool->Allocate(0, 0);
    void* chunk = OwnerChunkOf(listed);
    pool->Free(hidden, nullptr);
    pool->Free(listed, nullptr); // list: listed, hidden, the rest of the chunk
    AreaOf(listed)->next = AreaOf(hidden)->next;
    pool->Optimize(Flag::OPTIMIZE_MERGE);
    for (const FreeArea* a = F(chunk).freeList; a != nullptr; a = a->next)
        if (a == AreaOf(hidden)) return true;
    return false;
}

// With 3 areas the sort wins from 13 pieces on: 4 laid out + 9 extra; 12 pieces do not suffice.
constexpr int kManyPieces = 9;

TEST(GeneralPoolMergeMethod, ForcedSortMerge) {
    EXPECT_FALSE(MergeRelistsHiddenArea(Flag::TRACKED_FREE_LIST, false, 0));
    EXPECT_FALSE(MergeRelistsHiddenArea(Flag::TRACKED_FREE_LIST, true, kManyPieces));
    EXPECT_FALSE(MergeRelistsHiddenArea(0, false, kManyPieces));
    EXPECT_EQ(CurrentMergeMethod(), MergeMethod::SortMerge);
}

TEST(GeneralPoolMergeMethod, ForcedAddressWalk) {
    EXPECT_TRUE(MergeRelistsHiddenArea(Flag::TRACKED_FREE_LIST, false, kManyPieces));
    EXPECT_TRUE(MergeRelistsHiddenArea(0, false, 0));
    EXPECT_EQ(CurrentMergeMethod(), MergeMethod::AddressWalk);
    setenv("QORSysAllocatorForceOptMeth", "1", 1); // read once: no effect any more
    EXPECT_TRUE(MergeRelistsHiddenArea(Flag::TRACKED_FREE_LIST, false, kManyPieces));
}

TEST(GeneralPoolMergeMethod, Automatic) {
    // Sorting only pays in a tracked pool's own chunk with few listed areas among many pieces.
    EXPECT_FALSE(MergeRelistsHiddenArea(Flag::TRACKED_FREE_LIST, false, kManyPieces));
    EXPECT_TRUE(MergeRelistsHiddenArea(Flag::TRACKED_FREE_LIST, false, kManyPieces - 1));
    EXPECT_TRUE(MergeRelistsHiddenArea(Flag::TRACKED_FREE_LIST, true, kManyPieces));
    EXPECT_TRUE(MergeRelistsHiddenArea(0, false, kManyPieces));
    EXPECT_EQ(CurrentMergeMethod(), MergeMethod::Automatic);
    setenv("QORSysAllocatorForceOptMeth", "2", 1);
    EXPECT_FALSE(MergeRelistsHiddenArea(Flag::TRACKED_FREE_LIST, false, kManyPieces));
}

TEST(GeneralPoolMergeDeathTest, SortStopsOnADoubleRelease) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            GeneralPool* pool = CreateGeneralPool(32768, Flag::TRACKED_FREE_LIST, "corrupt");
            pool->Allocate(32640, 0);
            void* a = pool->Allocate(100, 0); // in an added chunk
            pool->Allocate(1000, 0);          // keeps the chunk from looking empty
            SubPool* added = pool->lastChunk;
            ReleaseThroughOwner(added, a);
            ReleaseThroughOwner(added, a); // the area now links to itself
            pool->Optimize(Flag::OPTIMIZE_MERGE);
        },
        "^Sort Problem\n$");
}

} // namespace
