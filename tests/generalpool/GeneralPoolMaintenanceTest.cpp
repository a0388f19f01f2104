// Flush and Optimize of the general pool, method-independent parts (the merge methods themselves
// are covered per environment in GeneralPoolMergeMethodTest).
#include "GeneralPoolTestSupport.h"

#include "generalpool/MergeFreeAreas.h"

#include <thread>

using namespace qor;
using namespace qor::test;

namespace {

bool Registered(const PoolBase* pool) {
    for (const PoolBase* p = gPoolRegistry; p != nullptr; p = p->nextPool)
        if (p == pool) return true;
    return false;
}

// Fills the first chunk and puts one block in each of two added chunks (65536 and 131072 bytes
// unless the pool keeps a constant size); the last one served last.
std::vector<void*> SpreadOverThreeChunks(GeneralPool* pool) {
    std::vector<void*> blocks{pool->Allocate(32640, 0), pool->Allocate(20000, 0),
                              pool->Allocate(50000, 0)};
    EXPECT_EQ(ChainOf(pool).size(), 3u);
    return blocks;
}

class GeneralPoolFlush : public testing::TestWithParam<std::uint32_t> {};
INSTANTIATE_TEST_SUITE_P(Flags, GeneralPoolFlush,
                         testing::Values(0u, Flag::TRACKED_FREE_LIST,
                                         Flag::TRACKED_FREE_LIST | Flag::LOCKED,
                                         Flag::CONSTANT_SUBPOOL_SIZE));

TEST_P(GeneralPoolFlush, ResetReleasesFurtherChunksAndLeavesThePoolAsCreated) {
    PoolHandle pool(32768, GetParam());
    SpreadOverThreeChunks(pool.get());
    EXPECT_EQ(pool->Flush(0), 0);
    EXPECT_EQ(ChainOf(pool.get()), std::vector<SubPool*>{pool.get()});
    EXPECT_EQ(pool->lastChunk, pool.get());
    EXPECT_TRUE(pool->currentChunk == nullptr || pool->currentChunk == pool.get());
    EXPECT_TRUE(IsOneFreeArea(pool.get(), 112));
    EXPECT_EQ(pool->chunk.free, 32656u);
    EXPECT_TRUE(Registered(pool.get()));
    EXPECT_EQ(pool->IsEmpty(), -1);

    // Usable at once, and it grows again from its own chunk.
    EXPECT_EQ(Addr(pool->Allocate(100, 0)), Addr(pool.get()) + 128);
    void* grown = pool->Allocate(33000, 0);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(ChainOf(pool.get()), (std::vector<SubPool*>{pool.get(), pool->lastChunk}));
    EXPECT_EQ(OwnerChunkOf(grown), pool->lastChunk);
    EXPECT_TRUE(ChunksAreConsistent(pool.get()));
}

TEST(GeneralPoolFlushModes, DestroyIfEmptyRefusesAPoolInUseAndLeavesItUnlocked) {
    PoolHandle pool(32768, Flag::LOCKED);
    void* filler = pool->Allocate(32640, 0);
    void* inAdded = pool->Allocate(100, 0);
    pool->Free(filler, nullptr); // only the added chunk is in use now
    const ChunkFields before = pool->chunk;
    const std::vector<SubPool*> chain = ChainOf(pool.get());

    EXPECT_EQ(pool->Flush(Flag::FLUSH_DESTROY_IF_EMPTY), -1);
    EXPECT_TRUE(SameFields(before, pool->chunk));
    EXPECT_EQ(ChainOf(pool.get()), chain);
    EXPECT_TRUE(Registered(pool.get()));
    void* fromOtherThread = nullptr;
    std::thread([&] { fromOtherThread = pool->Allocate(100, 0); }).join();
    ASSERT_NE(fromOtherThread, nullptr);

    pool->Free(fromOtherThread, nullptr);
    pool->Free(inAdded, nullptr);
    GeneralPool* raw = pool.Release();
    EXPECT_EQ(raw->Flush(Flag::FLUSH_DESTROY_IF_EMPTY | Flag::FLUSH_WALK), 0);
    EXPECT_FALSE(Registered(raw));
}

TEST(GeneralPoolFlushModes, DestroyingFlushesReleaseEverythingAndLeaveTheRegistry) {
    for (int mode : {Flag::FLUSH_DESTROY, Flag::FLUSH_DESTROY | Flag::FLUSH_WALK}) {
        GeneralPool* keep = CreateGeneralPool(0, 0, "keep");
        GeneralPool* pool = CreateGeneralPool(0, Flag::TRACKED_FREE_LIST, "gone");
        SpreadOverThreeChunks(pool); // in use: the flush does not care
        EXPECT_EQ(pool->Flush(mode), 0);
        EXPECT_EQ(gPoolRegistry, keep);
        EXPECT_FALSE(Registered(pool));
        keep->Flush(Flag::FLUSH_DESTROY);
    }
}

TEST(GeneralPoolOptimize, ReleasesEmptyFurtherChunksAndRelinksTheChain) {
    PoolHandle pool(32768, Flag::TRACKED_FREE_LIST);
    auto blocks = SpreadOverThreeChunks(pool.get());
    void* inFourth = pool->Allocate(200000, 0);
    const std::vector<SubPool*> chain = ChainOf(pool.get());
    ASSERT_EQ(chain.size(), 4u);
    pool->Free(blocks[0], nullptr);
    pool->Free(blocks[1], nullptr);
    pool->Free(inFourth, nullptr);
    ASSERT_EQ(pool->currentChunk, chain[3]);

    EXPECT_EQ(pool->Optimize(Flag::OPTIMIZE_RELEASE_EMPTY), 0);
    EXPECT_EQ(ChainOf(pool.get()), (std::vector<SubPool*>{chain[0], chain[2]}))
        << "the pool's own chunk stays even when empty";
    EXPECT_EQ(pool->lastChunk, chain[2]);
    EXPECT_EQ(pool->currentChunk, nullptr);

    void* next = pool->Allocate(200000, 0); // links after the new tail, doubling it
    ASSERT_EQ(ChainOf(pool.get()).size(), 3u);
    EXPECT_EQ(OwnerChunkOf(next), pool->lastChunk);
    EXPECT_EQ(pool->lastChunk->chunk.size, 2 * chain[2]->chunk.size);
    EXPECT_TRUE(ChunksAreConsistent(pool.get()));
}

TEST(GeneralPoolOptimize, SingleSizePoolIsNeverMerged) {
    for (std::uint32_t flags : {Flag::SINGLE_SIZE, Flag::SINGLE_SIZE | Flag::TRACKED_FREE_LIST}) {
        PoolHandle pool(32768, flags);
        auto blocks = FillWith(pool.get(), {32, 48, 64, 16});
        for (int i : {1, 0, 2})
            pool->Free(blocks[i], nullptr); // three adjacent areas
        const ChunkFields before = pool->chunk;
        EXPECT_EQ(pool->Optimize(Flag::OPTIMIZE_MERGE | Flag::OPTIMIZE_RELEASE_EMPTY), 0);
        EXPECT_TRUE(SameFields(before, pool->chunk));
        EXPECT_EQ(ListedSizes(pool->chunk), (std::vector<std::uint64_t>{64, 32, 48}));
        EXPECT_EQ(MergeFreeAreas(*pool.get(), pool.get()), -1);
    }
}

TEST(GeneralPoolOptimize, MergeRefusesMissingAndEmptyChunks) {
    PoolHandle pool;
    EXPECT_EQ(MergeFreeAreas(*pool.get(), nullptr), -1);
    EXPECT_EQ(MergeFreeAreas(*pool.get(), pool.get()), -1);
    void* filler = pool->Allocate(32640, 0);
    void* inAdded = pool->Allocate(100, 0);
    SubPool* added = pool->lastChunk;
    pool->Free(filler, nullptr);
    EXPECT_EQ(MergeFreeAreas(*pool.get(), pool.get()), 0) << "the first chunk asks the whole pool";
    pool->Free(inAdded, nullptr);
    EXPECT_EQ(MergeFreeAreas(*pool.get(), added), -1);
}

} // namespace
