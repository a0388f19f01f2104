// Construction, placement, arenas and release of the general pool.
#include "GeneralPoolTestSupport.h"

using namespace qor;
using namespace qor::test;

namespace {

using Sizes = std::vector<std::uint64_t>;

// ------------------------------------------------------------------- construction and layout

class GeneralPoolCreation : public testing::TestWithParam<std::pair<std::size_t, std::uint64_t>> {};

TEST_P(GeneralPoolCreation, FirstChunkIsOneFreeAreaAfterThePoolHeader) {
    const auto [requested, chunkBytes] = GetParam();
    MallocSeam seam;
    PoolHandle pool(requested, 0);
    ASSERT_NE(pool.get(), nullptr);
    EXPECT_EQ(seam.requests, std::vector<std::size_t>{chunkBytes}) << "the chunk fills its memory";
    EXPECT_EQ(pool->chunk.size, chunkBytes);
    EXPECT_TRUE(IsOneFreeArea(pool.get(), 112));
    EXPECT_EQ(std::tuple(pool->chunk.owner, pool->chunk.next, pool->lastChunk, pool->currentChunk),
              std::tuple(pool.get(), nullptr, pool.get(), nullptr));
}
INSTANTIATE_TEST_SUITE_P(Sizes, GeneralPoolCreation,
                         testing::Values(std::pair{1000ul, 32768ul}, std::pair{40000ul, 39936ul},
                                         std::pair{0x8000ul, 0x8000ul},
                                         std::pair{0x8000ul + 0x3FF, 0x8000ul}));

class GeneralPoolFlags : public testing::TestWithParam<std::pair<std::uint32_t, std::uint32_t>> {};

TEST_P(GeneralPoolFlags, ConstructorAddsItsOwnBitsAndTheHint) {
    PoolHandle pool(0, GetParam().first);
    EXPECT_EQ(pool->chunk.flags, GetParam().second);
}
INSTANTIATE_TEST_SUITE_P(Flags, GeneralPoolFlags,
                         testing::Values(std::pair{0x100000u, 0x300011u},
                                         std::pair{0x100u, 0x200111u}, std::pair{0xC0u, 0xD1u},
                                         std::pair{0u, 0x11u}, std::pair{0x208u, 0x219u}));

TEST(GeneralPoolLayout, RegistryHoldsNewestFirstAndDestructionUnlinks) {
    PoolBase* const before = gPoolRegistry;
    GeneralPool* a = CreateGeneralPool(0, 0, "a");
    GeneralPool* b = CreateGeneralPool(0, 0, "b");
    GeneralPool* c = CreateGeneralPool(0, 0, "c");
    EXPECT_EQ(std::tuple(gPoolRegistry, c->nextPool, b->nextPool, a->nextPool),
              std::tuple(c, b, a, before));
    b->Flush(Flag::FLUSH_DESTROY); // from the middle
    EXPECT_EQ(c->nextPool, a);
    c->Flush(Flag::FLUSH_DESTROY); // the head
    EXPECT_EQ(gPoolRegistry, a);
    a->Flush(Flag::FLUSH_DESTROY);
    EXPECT_EQ(gPoolRegistry, before);
}

TEST(GeneralPoolLayout, IsEmptyAsksEveryChunkOfTheChain) {
    PoolHandle pool;
    EXPECT_EQ(pool->IsEmpty(), -1);
    void* filler = pool->Allocate(32640, 0); // the first area, whole
    EXPECT_EQ(pool->IsEmpty(), 0);
    void* inAdded = pool->Allocate(0, 0);
    SubPool* added = pool->lastChunk;
    ASSERT_EQ(OwnerChunkOf(inAdded), added);
    EXPECT_EQ(added->IsPool(), 0);
    EXPECT_EQ(added->IsEmpty(), 0);
    pool->Free(filler, nullptr);
    EXPECT_EQ(pool->chunk.free, 32656u);
    EXPECT_EQ(pool->IsEmpty(), 0) << "a block in a further chunk keeps the pool in use";
    pool->Free(inAdded, nullptr);
    EXPECT_EQ(added->IsEmpty(), -1);
    EXPECT_EQ(pool->IsEmpty(), -1);
}

// ------------------------------------------------------------------------------- placement

class GeneralPoolPieceSize : public testing::TestWithParam<std::pair<std::size_t, std::uint64_t>> {
};

TEST_P(GeneralPoolPieceSize, RequestIsRoundedToEightBytesPlusTheHeader) {
    const auto [request, piece] = GetParam();
    for (std::uint32_t flags : {0u, Flag::TRACKED_FREE_LIST}) {
        PoolHandle pool(32768, flags);
        void* block = pool->Allocate(request, 0);
        ASSERT_EQ(Addr(block), Addr(pool.get()) + 128);
        EXPECT_EQ(*HeaderOf(block), (BlockHeader{Addr(pool.get()) | 1, piece}));
        EXPECT_EQ(pool->chunk.free, 32656 - piece);
        EXPECT_EQ(Addr(pool->chunk.freeList), Addr(pool.get()) + 112 + piece);
    }
}
INSTANTIATE_TEST_SUITE_P(Sizes, GeneralPoolPieceSize,
                         testing::Values(std::pair{0ul, 16ul}, std::pair{1ul, 24ul},
                                         std::pair{8ul, 24ul}, std::pair{24ul, 40ul},
                                         std::pair{100ul, 120ul}));

// Behaviour shared by plain (0) and tracked placement.
class GeneralPoolPlacement : public testing::TestWithParam<std::uint32_t> {
protected:
    bool Tracked() const { return GetParam() & Flag::TRACKED_FREE_LIST; }
};
INSTANTIATE_TEST_SUITE_P(Methods, GeneralPoolPlacement,
                         testing::Values(0u, Flag::TRACKED_FREE_LIST,
                                         Flag::TRACKED_FREE_LIST | Flag::LOCKED));

TEST_P(GeneralPoolPlacement, AreaWithinSixteenBytesOfTheNeedIsTakenWhole) {
    PoolHandle pool(32768, GetParam());
    auto areas = WithFreeAreas(pool.get(), {56, 64});
    const ChunkFields before = pool->chunk;
    void* whole = pool->Allocate(24, 0); // need8 40; 56 is not above 40 + 16
    EXPECT_EQ(whole, areas[0]);
    EXPECT_EQ(HeaderOf(whole)->sizeWord, 56u);
    void* split = pool->Allocate(24, 0); // 64 becomes a 40-byte block and a 24-byte area
    EXPECT_EQ(split, areas[1]);
    EXPECT_EQ(HeaderOf(split)->sizeWord, 40u);
    EXPECT_EQ(Addr(pool->chunk.freeList), Addr(HeaderOf(split)) + 40);
    EXPECT_EQ(ListedSizes(pool->chunk), Sizes{24});
    EXPECT_EQ(std::tuple(pool->chunk.free, pool->chunk.freeAreaCount, pool->chunk.pieceCount),
              std::tuple(before.free - 96, before.freeAreaCount - Tracked(),
                         before.pieceCount + Tracked()));
    EXPECT_TRUE(ChunksAreConsistent(pool.get()));
}

TEST_P(GeneralPoolPlacement, FitBehindSmallerAreasDropsThemOnlyInPlainPlacement) {
    PoolHandle pool(32768, GetParam());
    auto areas = WithFreeAreas(pool.get(), {16, 48, 4000});
    const ChunkFields before = pool->chunk;
    EXPECT_EQ(pool->Allocate(100, 0), areas[2]);
    EXPECT_EQ(pool->chunk.free, 4064u - 120) << "dropped areas stay counted";
    EXPECT_EQ(ListedSizes(pool->chunk), (Tracked() ? Sizes{16, 48, 3880} : Sizes{3880}));
    EXPECT_EQ(std::tuple(pool->chunk.freeAreaCount, pool->chunk.pieceCount),
              std::tuple(before.freeAreaCount, before.pieceCount + Tracked()));
    EXPECT_TRUE(ChunksAreConsistent(pool.get()));
}

TEST_P(GeneralPoolPlacement, NoNewSubpoolFailsWithoutAskingForMemory) {
    PoolHandle pool(32768, GetParam() | Flag::NO_NEW_SUBPOOL);
    ASSERT_NE(pool->Allocate(100, 0), nullptr);
    MallocSeam seam;
    EXPECT_EQ(pool->Allocate(40000, 0), nullptr);
    EXPECT_TRUE(seam.requests.empty());
    EXPECT_EQ(ChainOf(pool.get()).size(), 1u);
    EXPECT_EQ(pool->currentChunk, nullptr) << "an onward search that fails clears the hint";
}

TEST_P(GeneralPoolPlacement, NeedOfTwoGigabytesOrMoreIsRefused) {
    PoolHandle pool(32768, GetParam());
    MallocSeam seam;
    EXPECT_EQ(pool->Allocate(0x80000000u - 16, 0), nullptr);
    EXPECT_EQ(pool->Allocate(100, SIZE_MAX - 50), nullptr); // must not wrap around
    EXPECT_EQ(pool->Allocate(0x40000000, 0x40000000), nullptr);
    EXPECT_EQ(pool->Reallocate(0x80000000u, nullptr, nullptr), nullptr);
    EXPECT_TRUE(seam.requests.empty());
    EXPECT_TRUE(IsOneFreeArea(pool.get(), 112));
}

// Tracked placement from the second listed area, of 3000 bytes: the list, the request's need8,
// and the chunk's free bytes and largest area afterwards.
struct LargestCase {
    Sizes areas;
    std::uint64_t need8, free, largest;
};
void PrintTo(const LargestCase& c, std::ostream* os) { *os << testing::PrintToString(c.areas); }
class GeneralPoolLargestArea : public testing::TestWithParam<LargestCase> {};

TEST_P(GeneralPoolLargestArea, KnownOnlyWhenAPassedAreaHoldsHalfTheFreeBytes) {
    const LargestCase& c = GetParam();
    PoolHandle pool(32768, Flag::TRACKED_FREE_LIST);
    auto areas = WithFreeAreas(pool.get(), c.areas);
    ASSERT_EQ(pool->chunk.largestFreeArea, 3000u);
    EXPECT_EQ(pool->Allocate(c.need8 - 16, 0), areas[1]);
    EXPECT_EQ(std::tuple(pool->chunk.free, pool->chunk.largestFreeArea),
              std::tuple(c.free, c.largest));
}
INSTANTIATE_TEST_SUITE_P(
    Lists, GeneralPoolLargestArea,
    testing::Values(LargestCase{{1000, 3000}, 3000, 1000, 1000},       // whole, 1000 passed
                    LargestCase{{1000, 3000, 1000}, 3000, 2000, 1000}, // exactly half
                    LargestCase{{104, 3000, 2000}, 1000, 4104, kLargestUnknown})); // 2000 < 2052

TEST(GeneralPoolTracked, UnknownLargestAreaBecomesExactAfterAFullWalk) {
    PoolHandle pool(32768, Flag::TRACKED_FREE_LIST | Flag::NO_NEW_SUBPOOL);
    WithFreeAreas(pool.get(), {104, 3000, 2000});
    ChunkFields& c = pool->chunk;
    ASSERT_NE(pool->Allocate(1000 - 16, 0), nullptr);
    ASSERT_EQ(c.largestFreeArea, kLargestUnknown);
    EXPECT_EQ(pool->currentChunk, pool.get());
    EXPECT_EQ(pool->Allocate(2500 - 16, 0), nullptr); // walks the whole list
    EXPECT_EQ(c.largestFreeArea, 2000u);
    EXPECT_EQ(pool->currentChunk, nullptr);
    c.largestFreeArea = 100; // a known value rules the chunk out without a walk
    EXPECT_EQ(pool->Allocate(1000 - 16, 0), nullptr);
    c.largestFreeArea = 2000;
    EXPECT_NE(pool->Allocate(1000 - 16, 0), nullptr);
    EXPECT_TRUE(ChunksAreConsistent(pool.get()));
}

TEST(GeneralPoolTracked, HintTriesTheChunkThatServedLastFirst) {
    PoolHandle pool(32768, Flag::TRACKED_FREE_LIST);
    void* filler = pool->Allocate(32640, 0);
    EXPECT_EQ(pool->currentChunk, pool.get());
    void* inAdded = pool->Allocate(100, 0);
    SubPool* added = pool->lastChunk;
    EXPECT_EQ(OwnerChunkOf(inAdded), added);
    EXPECT_EQ(pool->currentChunk, added);
    pool->Free(filler, nullptr); // the first chunk has room again
    EXPECT_EQ(OwnerChunkOf(pool->Allocate(100, 0)), added);
    pool->chunk.flags &= ~Flag::CURRENT_SUBPOOL_HINT; // plain first fit from the pool
    EXPECT_EQ(OwnerChunkOf(pool->Allocate(100, 0)), pool.get());
    EXPECT_EQ(pool->currentChunk, pool.get());
    EXPECT_EQ(OwnerChunkOf(pool->Reallocate(100, inAdded, added)), added);
    EXPECT_EQ(pool->currentChunk, added);
    EXPECT_TRUE(ChunksAreConsistent(pool.get()));
}

// ----------------------------------------------------------------------------- chunk growth

class GeneralPoolGrowth : public testing::TestWithParam<std::uint32_t> {};
INSTANTIATE_TEST_SUITE_P(Flags, GeneralPoolGrowth,
                         testing::Values(0u, Flag::CONSTANT_SUBPOOL_SIZE, Flag::TRACKED_FREE_LIST,
                                         Flag::TRACKED_FREE_LIST | Flag::CONSTANT_SUBPOOL_SIZE));

TEST_P(GeneralPoolGrowth, AddedChunksDoubleUnlessConstant) {
    const bool constant = GetParam() & Flag::CONSTANT_SUBPOOL_SIZE;
    PoolHandle pool(32768, GetParam());
    pool->Allocate(32640, 0);
    void* block = pool->Allocate(0, 0);
    SubPool* added = pool->lastChunk;
    ASSERT_EQ(ChainOf(pool.get()), (std::vector<SubPool*>{pool.get(), added}));
    const ChunkFields& c = added->chunk;
    EXPECT_EQ(std::tuple(c.size, c.flags, c.owner),
              std::tuple(constant ? 32768ul : 65536ul, 0x1u, pool.get()));
    EXPECT_EQ(c.free, c.size - 64 - 16);
    EXPECT_EQ(Addr(block), Addr(added) + 64 + 16);
    pool->Allocate(added->chunk.free - 16, 0);
    pool->Allocate(0, 0);
    ASSERT_EQ(ChainOf(pool.get()).size(), 3u);
    EXPECT_EQ(pool->lastChunk->chunk.size, constant ? 32768u : 131072u);
    EXPECT_TRUE(ChunksAreConsistent(pool.get()));
}

TEST(GeneralPoolAddChunk, LargeNeedSizesTheChunkToFit) {
    PoolHandle pool(32768, Flag::CONSTANT_SUBPOOL_SIZE);
    MallocSeam seam;
    void* big = pool->Allocate(100000 - 16, 0);
    EXPECT_EQ(seam.requests, std::vector<std::size_t>{0x19000});
    EXPECT_EQ(pool->lastChunk->chunk.size, 0x19000u);
    EXPECT_EQ(OwnerChunkOf(big), pool->lastChunk);
}

TEST(GeneralPoolAddChunk, HalvesTheRequestUntilBelowTheNeedThenFails) {
    PoolHandle pool(0x40000, 0);
    pool->Allocate(0x40000 - 112 - 16, 0);
    const ChunkFields before = pool->chunk;
    MallocSeam seam;
    MallocSeam::failFrom = 0;
    EXPECT_EQ(pool->Allocate(10000 - 16, 0), nullptr);
    // 16384 reaches malloc as 32768, the smallest chunk memory; 8192 would be below the need.
    EXPECT_EQ(seam.requests,
              (std::vector<std::size_t>{0x80000, 0x40000, 0x20000, 0x10000, 0x8000, 0x8000}));
    EXPECT_EQ(ChainOf(pool.get()).size(), 1u);
    EXPECT_EQ(pool->lastChunk, pool.get());
    EXPECT_TRUE(SameFields(before, pool->chunk));
}

TEST(GeneralPoolAddChunk, KeepsTheFirstHalvedSizeThatMallocGrants) {
    PoolHandle pool(0x40000, Flag::TRACKED_FREE_LIST);
    pool->Allocate(0x40000 - 112 - 16, 0);
    MallocSeam seam;
    MallocSeam::failFirst = 5;
    void* block = pool->Allocate(10000 - 16, 0);
    EXPECT_EQ(seam.requests.size(), 6u);
    EXPECT_EQ(pool->lastChunk->chunk.size, 0x4000u) << "the chunk records the halved size";
    EXPECT_EQ(OwnerChunkOf(block), pool->lastChunk);
    EXPECT_TRUE(ChunksAreConsistent(pool.get()));
}

TEST(GeneralPoolAddChunk, HalvingEndsForATinyNeed) {
    PoolHandle pool;
    pool->Allocate(32640, 0);
    MallocSeam seam;
    MallocSeam::failFrom = 0;
    EXPECT_EQ(pool->Allocate(0, 0), nullptr);
    ASSERT_GE(seam.requests.size(), 2u);
    EXPECT_EQ(seam.requests[0], 0x10000u);
    EXPECT_EQ(seam.requests[1], 0x8000u);
    EXPECT_EQ(ChainOf(pool.get()).size(), 1u);
}

// ----------------------------------------------------------------------------------- arenas

TEST_P(GeneralPoolPlacement, ArenaHoldsItsObjectAndLaterBlocksUntilAllReturn) {
    PoolHandle pool(32768, GetParam());
    char* const b = reinterpret_cast<char*>(pool.get()) + 112; // the block carrying the arena
    void* object = pool->Allocate(100, 1000);                  // need 1116, need8 1120
    ASSERT_EQ(object, b + 80);
    EXPECT_EQ(*reinterpret_cast<BlockHeader*>(b), (BlockHeader{Addr(pool.get()) | 3, 1120}));
    ChunkFields& arena = F(b);
    EXPECT_EQ(std::tuple(arena.size, arena.free, arena.owner, arena.largestFreeArea, arena.flags),
              std::tuple(1100ul, 916ul, pool.get(), 916u, 0u));
    ASSERT_EQ(Addr(arena.freeList), Addr(b) + 184);
    EXPECT_EQ(ListedSizes(arena), Sizes{916});
    EXPECT_EQ(*HeaderOf(object), (BlockHeader{Addr(b) | 1, 120}));
    EXPECT_EQ(pool->chunk.free, 32656u - 1120);

    SubPool* const current = pool->currentChunk;
    void* inner = ReallocateThroughOwner(b, 0, object); // placed in the arena's 916 bytes
    ASSERT_EQ(inner, b + 184 + 16);
    EXPECT_EQ(*HeaderOf(inner), (BlockHeader{Addr(b) | 1, 16}));
    EXPECT_EQ(arena.free, 916u - 16);
    EXPECT_EQ(pool->currentChunk, current) << "an arena is never the current chunk";

    // Releases go to the arena, compared with its exact span (1100, not a multiple of 1024).
    pool->Free(object, nullptr);
    EXPECT_EQ(arena.free, 1020u);
    EXPECT_EQ(arena.freeList, AreaOf(object));
    pool->Free(inner, nullptr); // the whole span is free again: reset
    EXPECT_TRUE(IsOneFreeArea(b, 64));
    EXPECT_EQ(pool->chunk.free, 32656u - 1120) << "the carrying block never returns";
    EXPECT_EQ(pool->IsEmpty(), 0);
    EXPECT_TRUE(ChunksAreConsistent(pool.get()));
}

TEST(GeneralPoolArena, ExtraWithoutRoomForBothHeadersIsRefused) {
    PoolHandle pool;
    EXPECT_EQ(pool->Allocate(100, 83), nullptr);
    EXPECT_EQ(pool->chunk.free, 32656u);
    EXPECT_NE(pool->Allocate(100, 84), nullptr) << "exactly room for both headers";
}

// ---------------------------------------------------------------------------------- release

TEST_P(GeneralPoolPlacement, ReleasePushesAtTheHeadAndCounts) {
    PoolHandle pool(32768, GetParam());
    void* a = pool->Allocate(100, 0);
    void* b = pool->Allocate(200, 0);
    pool->Allocate(8, 0);
    const ChunkFields before = pool->chunk;
    pool->Free(b, nullptr);
    EXPECT_EQ(pool->chunk.freeList, AreaOf(b));
    EXPECT_EQ(std::tuple(AreaOf(b)->next, AreaOf(b)->size), std::tuple(before.freeList, 216ul));
    EXPECT_EQ(std::tuple(pool->chunk.free, pool->chunk.freeAreaCount, pool->chunk.pieceCount),
              std::tuple(before.free + 216, before.freeAreaCount + 1, before.pieceCount));
    ReleaseThroughOwner(pool.get(), a);
    EXPECT_EQ(pool->chunk.freeList, AreaOf(a));
    EXPECT_EQ(AreaOf(a)->next, AreaOf(b));
    EXPECT_TRUE(ChunksAreConsistent(pool.get()));
}

TEST_P(GeneralPoolPlacement, FurtherChunkResetsWhenItsLastBlockReturns) {
    PoolHandle pool(32768, GetParam());
    pool->Allocate(32640, 0);
    void* x = pool->Allocate(100, 0);
    void* y = pool->Allocate(300, 0);
    SubPool* added = pool->lastChunk;
    pool->Free(x, added);
    EXPECT_EQ(added->chunk.freeAreaCount, 2u);
    ReleaseThroughOwner(added, y);
    EXPECT_TRUE(IsOneFreeArea(added, 64));
    EXPECT_EQ(added->chunk.free, 65472u);
}

TEST(GeneralPoolRelease, ReleaseRaisesTheLargestAreaAlsoOverTheMarker) {
    PoolHandle pool(32768, Flag::TRACKED_FREE_LIST);
    auto blocks = FillWith(pool.get(), {64, 16, 128, 16});
    ChunkFields& c = pool->chunk;
    pool->Free(blocks[0], nullptr);
    EXPECT_EQ(c.largestFreeArea, 64u);
    c.largestFreeArea = kLargestUnknown;
    pool->Free(blocks[1], nullptr); // 16 bytes
    EXPECT_EQ(c.largestFreeArea, 16u);
    pool->Free(blocks[2], nullptr);
    EXPECT_EQ(c.largestFreeArea, 128u);
}

TEST(GeneralPoolRelease, InvalidOwnerNullAndHeapBlocksChangeNothing) {
    PoolHandle pool;
    pool->Allocate(100, 0);
    const ChunkFields before = pool->chunk;
    alignas(16) std::uint64_t fake[4] = {0xFF00, 48, 7, 9}; // header, then the "block"
    pool->Free(&fake[2], nullptr);
    fake[0] = 0xFF03; // the low bits are masked off before the test
    pool->Free(&fake[2], nullptr);
    fake[0] = 1; // a heap block: not the pool's to release
    pool->Free(&fake[2], nullptr);
    pool->Free(nullptr, nullptr);
    pool->Free(nullptr, pool.get());
    EXPECT_TRUE(SameFields(before, pool->chunk));
    EXPECT_EQ(std::tuple(fake[1], fake[2]), std::tuple(48ul, 7ul));
}

} // namespace
