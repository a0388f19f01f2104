// Reclaim's memory: the whole pages of the areas that its merge joins are given back to the system
// (and serve later blocks with the bytes written into them), and a pool whose lists ran dry merges
// before it doubles its chain once enough placements have passed since the last merge. With
// QORSysAllocatorReclaim=OFF (a ctest entry of its own) neither happens.
#include "GeneralPoolSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

using namespace qor;
using namespace qor::test;

namespace {

constexpr std::size_t kPage = 4096;

std::size_t ChunkCount(GeneralPool* pool) {
    std::size_t count = 0;
    for (void* k = pool; k != nullptr; k = FieldsOf(k)->next)
        ++count;
    return count;
}

// How many of the whole pages inside [begin, begin + bytes) are resident.
std::size_t ResidentPages(const void* begin, std::size_t bytes) {
    const std::uintptr_t first = (Addr(begin) + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t end = (Addr(begin) + bytes) & ~(kPage - 1);
    if (end <= first) return 0;
    std::vector<unsigned char> pages((end - first) / kPage);
    if (mincore(reinterpret_cast<void*>(first), end - first, pages.data()) != 0) return 0;
    std::size_t resident = 0;
    for (unsigned char page : pages)
        resident += page & 1;
    return resident;
}

// The pool's chunk filled with blocks of 4000 bytes, each holding its number, then all but every
// tenth released.
struct ReleasedRun {
    std::vector<void*> blocks;
    std::vector<bool> kept;
};

ReleasedRun FillAndRelease(GeneralPool* pool) {
    ReleasedRun run;
    for (std::size_t i = 0; pool->chunk.free >= 4016; ++i) {
        run.blocks.push_back(pool->Allocate(4000, 0));
        std::memset(run.blocks.back(), static_cast<int>(i & 0xFF), 4000);
        run.kept.push_back(i % 10 == 0);
    }
    for (std::size_t i = 0; i < run.blocks.size(); ++i)
        if (!run.kept[i]) pool->Free(run.blocks[i], nullptr);
    return run;
}

bool Holds(const void* block, int byte, std::size_t bytes) {
    const auto* p = static_cast<const unsigned char*>(block);
    for (std::size_t i = 0; i < bytes; ++i)
        if (p[i] != static_cast<unsigned char>(byte)) return false;
    return true;
}

// Nine of every ten 4000-byte blocks of a full 1 MiB chunk released: the runs between the kept
// blocks are 36 KB, and a 30000-byte request, which no listed area holds, merges them. Their inner
// pages go back to the system; the kept blocks keep their bytes, and a block placed in a merged run
// holds what is written into it.
TEST(GeneralPoolReclaimMemory, MergedRunsGoBackAndServeBlocks) {
    Pool pool = MakeConfigured(QORSysPoolFlag::CONSTANT_SUBPOOL_SIZE, 0x100000);
    const ReleasedRun run = FillAndRelease(pool.get());
    // The pages of the run after the one the request will take, past the merged area's words.
    const void* nextRun = static_cast<const char*>(run.blocks[11]) + 256;
    constexpr std::size_t kRunBytes = 9 * 4016 - 256;
    ASSERT_GE(ResidentPages(nextRun, kRunBytes), 7u);

    void* joined = pool->Allocate(30000, 0);
    ASSERT_NE(joined, nullptr);
    EXPECT_EQ(ChunkCount(pool.get()), ReclaimOff() ? 2u : 1u);
    const std::size_t resident = ResidentPages(nextRun, kRunBytes);
    EXPECT_TRUE(ReclaimOff() ? resident >= 7 : resident == 0) << resident;
    for (std::size_t i = 0; i < run.blocks.size(); ++i)
        EXPECT_TRUE(!run.kept[i] || Holds(run.blocks[i], static_cast<int>(i & 0xFF), 4000)) << i;

    std::memset(joined, 0x5A, 30000);
    std::vector<void*> refill;
    for (int i = 0; i < 8; ++i) {
        refill.push_back(pool->Allocate(4000, 0));
        std::memset(refill.back(), 0x40 + i, 4000);
    }
    EXPECT_TRUE(Holds(joined, 0x5A, 30000));
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(Holds(refill[static_cast<std::size_t>(i)], 0x40 + i, 4000)) << i;
    EXPECT_EQ(Broken(pool.get()), "");
}

// The figures of a pool are those of its pieces whether or not their pages went back: the record
// after the merge adds up to the pool's map and its checker finds nothing.
TEST(GeneralPoolReclaimMemory, RecordMatchesTheMapAfterPagesWentBack) {
    Pool pool = MakeConfigured(QORSysPoolFlag::CONSTANT_SUBPOOL_SIZE, 0x100000);
    FillAndRelease(pool.get());
    ASSERT_NE(pool->Allocate(30000, 0), nullptr);
    QORPoolInfo record{};
    QORSysGetPoolInfo(pool.get(), nullptr, &record, 0);
    const long count = QORSysGetPoolMap(pool.get(), nullptr, 0);
    std::vector<QORPoolMapEntry> map(static_cast<std::size_t>(count));
    QORSysGetPoolMap(pool.get(), map.data(), map.size());
    std::uint64_t freeBytes = 0;
    for (const QORPoolMapEntry& entry : map)
        if (entry.kind == QORSysMapKind::FREE) freeBytes += entry.bytes;
    EXPECT_EQ(std::tuple(record.freeSize, record.chunkCount, Broken(pool.get())),
              std::tuple(freeBytes, static_cast<std::uint32_t>(ChunkCount(pool.get())), ""));
}

// Two of every three 1000-byte blocks of a 256 KiB chunk released, and a 1500-byte request merges
// them (its count of placements until the next merge starts). Then a kept block is released
// between two merged pairs: only a merge makes room for 3000 bytes. Before bytesInUse / 4096
// placements have passed the pool grows; after them it merges instead.
class GeneralPoolReclaimGrowth : public testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(, GeneralPoolReclaimGrowth, testing::Values(0, 40));

TEST_P(GeneralPoolReclaimGrowth, MergesBeforeDoublingOncePlacementsPassed) {
    Pool pool = MakeConfigured(0, 0x40000);
    std::vector<void*> blocks;
    while (pool->chunk.free >= 1016)
        blocks.push_back(pool->Allocate(1000, 0));
    for (std::size_t i = 0; i < blocks.size(); ++i)
        if (i % 3 != 2) pool->Free(blocks[i], nullptr);
    ASSERT_NE(pool->Allocate(1500, 0), nullptr);
    if (!ReclaimOff()) {
        ASSERT_GT(pool->reclaimPlacementsDue, 40);
    }
    for (int i = 0; i < GetParam(); ++i)
        pool->Free(pool->Allocate(16, 0), nullptr);
    pool->Free(blocks[blocks.size() / 2 / 3 * 3 + 2], nullptr);
    void* wide = pool->Allocate(3000, 0);
    ASSERT_NE(wide, nullptr);
    const bool merges = !ReclaimOff() && GetParam() > 0;
    EXPECT_EQ(std::tuple(ChunkCount(pool.get()), Broken(pool.get())),
              std::tuple(merges ? 1u : 2u, ""));
}

} // namespace
