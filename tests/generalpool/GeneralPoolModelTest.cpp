// Randomised model check: a fixed-seed run of allocations, reallocations next to live blocks,
// releases in random order and occasional maintenance, over several pool configurations. After
// every step the chunks must tile exactly with `free` equal to their free pieces, and the live
// blocks must lie in the pool's chunks, never overlap and keep their bytes.
#include "GeneralPoolTestSupport.h"

#include <random>

using namespace qor;
using namespace qor::test;

namespace {

struct LiveBlock {
    unsigned char* data;
    std::size_t bytes;
    unsigned char seed;
};

void Fill(const LiveBlock& b) {
    for (std::size_t i = 0; i < b.bytes; ++i)
        b.data[i] = static_cast<unsigned char>(b.seed + i * 31);
}

bool Intact(const LiveBlock& b) {
    for (std::size_t i = 0; i < b.bytes; ++i)
        if (b.data[i] != static_cast<unsigned char>(b.seed + i * 31)) return false;
    return true;
}

// Every live block is an in-use piece of a chunk of the chain, large enough for its bytes, and
// the chain holds no in-use piece that the model does not know.
testing::AssertionResult LiveBlocksAreSound(GeneralPool* pool, const std::vector<LiveBlock>& live) {
    const std::vector<SubPool*> chain = ChainOf(pool);
    std::size_t inUsePieces = 0;
    for (SubPool* k : chain)
        for (const Piece& p : PiecesOf(pool, k))
            inUsePieces += p.inUse;
    if (inUsePieces != live.size())
        return testing::AssertionFailure() << inUsePieces << " blocks for " << live.size();
    std::vector<std::pair<std::uintptr_t, std::uintptr_t>> spans;
    for (const LiveBlock& b : live) {
        void* k = OwnerChunkOf(b.data);
        const BlockHeader* h = HeaderOf(b.data);
        if (std::find(chain.begin(), chain.end(), k) == chain.end())
            return testing::AssertionFailure() << "block " << b.data << " outside the chain";
        if (h->sizeWord < b.bytes + kBlockHeaderBytes ||
            Addr(h) < Addr(k) + pool->HeaderBytesOf(k) ||
            Addr(h) + h->sizeWord > Addr(k) + (F(k).size & kChunkSizeMask))
            return testing::AssertionFailure() << "block " << b.data << " does not fit its piece";
        spans.emplace_back(Addr(h), Addr(h) + h->sizeWord);
    }
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i)
        if (spans[i - 1].second > spans[i].first)
            return testing::AssertionFailure() << "blocks overlap at " << spans[i].first;
    return testing::AssertionSuccess();
}

// Tracked placement may leave the largest area understated (a release over the marker) but
// never names an area larger than the chunk holds.
testing::AssertionResult LargestIsNeverOverstated(GeneralPool* pool) {
    for (SubPool* k : ChainOf(pool)) {
        std::uint64_t largest = 0;
        for (const FreeArea* a = k->chunk.freeList; a != nullptr; a = a->next)
            largest = std::max(largest, a->size);
        const std::uint32_t recorded = k->chunk.largestFreeArea;
        if (recorded != kLargestUnknown && recorded > largest)
            return testing::AssertionFailure() << recorded << " recorded, " << largest << " held";
    }
    return testing::AssertionSuccess();
}

class GeneralPoolModel : public testing::TestWithParam<std::uint32_t> {};

TEST_P(GeneralPoolModel, RandomOperationsKeepBlocksAndChunksConsistent) {
    const std::uint32_t flags = GetParam();
    const bool mayRunOut = flags & Flag::NO_NEW_SUBPOOL;
    const bool tracked = flags & Flag::TRACKED_FREE_LIST;
    PoolHandle pool(32768, flags);
    std::mt19937 rng(20240601u ^ flags);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    auto randomSize = [&]() -> std::size_t {
        const std::size_t roll = pick(100);
        return roll < 70 ? pick(65) : roll < 95 ? 65 + pick(1000) : 1100 + pick(20000);
    };
    std::vector<LiveBlock> live;
    auto adopt = [&](void* block, std::size_t bytes) {
        if (block == nullptr) return mayRunOut;
        live.push_back(
            {static_cast<unsigned char*>(block), bytes, static_cast<unsigned char>(rng())});
        Fill(live.back());
        return true;
    };

    for (int step = 0; step < 3000; ++step) {
        const std::size_t roll = pick(100);
        if (roll < 45 || live.empty()) {
            const std::size_t bytes = randomSize();
            ASSERT_TRUE(adopt(pool->Allocate(bytes, 0), bytes)) << "step " << step;
        } else if (roll < 55) {
            void* near = live[pick(live.size())].data;
            const std::size_t bytes = randomSize();
            ASSERT_TRUE(adopt(ReallocateThroughOwner(OwnerChunkOf(near), bytes, near), bytes));
        } else if (roll < 96) {
            const std::size_t i = pick(live.size());
            ASSERT_TRUE(Intact(live[i])) << "step " << step;
            void* block = live[i].data;
            live[i] = live.back();
            live.pop_back();
            if (roll % 2)
                pool->Free(block, nullptr);
            else
                ReleaseThroughOwner(OwnerChunkOf(block), block);
        } else if (roll < 99) {
            static constexpr int kBits[] = {Flag::OPTIMIZE_RELEASE_EMPTY, Flag::OPTIMIZE_MERGE,
                                            Flag::OPTIMIZE_RELEASE_EMPTY | Flag::OPTIMIZE_MERGE};
            EXPECT_EQ(pool->Optimize(kBits[pick(3)]), 0);
        } else if (step % 5 == 0) {
            ASSERT_EQ(pool->Flush(0), 0);
            live.clear();
        }
        ASSERT_TRUE(ChunksAreConsistent(pool.get())) << "step " << step;
        ASSERT_TRUE(LiveBlocksAreSound(pool.get(), live)) << "step " << step;
        if (tracked) {
            ASSERT_TRUE(LargestIsNeverOverstated(pool.get())) << "step " << step;
        }
    }
    for (const LiveBlock& b : live) {
        ASSERT_TRUE(Intact(b));
        pool->Free(b.data, nullptr);
    }
    EXPECT_EQ(pool->IsEmpty(), -1);
    EXPECT_EQ(pool->Optimize(Flag::OPTIMIZE_RELEASE_EMPTY), 0);
    EXPECT_EQ(ChainOf(pool.get()).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Flags, GeneralPoolModel,
                         testing::Values(0u, Flag::TRACKED_FREE_LIST, Flag::SINGLE_SIZE,
                                         Flag::CONSTANT_SUBPOOL_SIZE, Flag::NO_NEW_SUBPOOL,
                                         Flag::TRACKED_FREE_LIST | Flag::NO_NEW_SUBPOOL,
                                         Flag::TRACKED_FREE_LIST | Flag::SINGLE_SIZE,
                                         Flag::TRACKED_FREE_LIST | Flag::CONSTANT_SUBPOOL_SIZE |
                                             Flag::LOCKED,
                                         Flag::LOCKED | Flag::SINGLE_SIZE));

} // namespace
