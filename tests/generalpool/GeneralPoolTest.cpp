// The general pool: placement, growth, arenas, flushes and reports on small cases, checked by the
// pool's invariant checker (the random traffic: the general pool's fuzz model).
#include "GeneralPoolSupport.h"
#include "TestSupport.h"
#include "core/DebugTier.h"
#include "core/PoolCheck.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <ranges>
#include <regex>
#include <thread>

using namespace qor;
using namespace qor::test;
namespace Flag = QORSysPoolFlag;

namespace {

using Sizes = std::vector<std::uint64_t>;

ChunkFields& F(void* chunk) { return *FieldsOf(chunk); }
void* OwnerOf(void* block) { return reinterpret_cast<void*>(HeaderOf(block)->ownerWord & ~3ul); }
auto Hdr(void* block) { return std::pair(HeaderOf(block)->ownerWord, HeaderOf(block)->sizeWord); }

Sizes Listed(const ChunkFields& c) {
    Sizes sizes;
    for (const FreeArea* a = c.freeList; a != nullptr; a = a->next)
        sizes.push_back(a->size);
    return sizes;
}

// Free bytes, listed areas, counters, largest area and list head offset of a chunk.
auto State(void* chunk) {
    const ChunkFields& c = F(chunk);
    return std::tuple(c.free, Listed(c), c.freeAreaCount, c.pieceCount, c.largestFreeArea,
                      Addr(c.freeList) - Addr(chunk));
}
auto OneArea(std::uint64_t bytes, std::uintptr_t offset) {
    return std::tuple(bytes, Sizes{bytes}, 1u, 1u, static_cast<std::uint32_t>(bytes), offset);
}

std::vector<SubPool*> ChainOf(GeneralPool* pool) {
    std::vector<SubPool*> chain;
    for (SubPool* k = pool; k != nullptr; k = static_cast<SubPool*>(k->chunk.next))
        chain.push_back(k);
    return chain;
}

// Blocks of the given piece sizes and one taking the rest of the area; frees those at `freed`.
std::vector<void*> Carve(GeneralPool* pool, const Sizes& pieces, std::vector<int> freed) {
    std::vector<void*> blocks;
    for (std::uint64_t piece : pieces)
        blocks.push_back(pool->Allocate(piece - 16, 0));
    blocks.push_back(pool->Allocate(F(OwnerOf(blocks[0])).freeList->size - 16, 0));
    for (int i : freed)
        pool->Free(blocks[i], nullptr);
    return blocks;
}

// Cases that hold for a plain and a tracked list alike, or differ only where said.
class GeneralPoolList : public testing::TestWithParam<std::uint32_t> {
protected:
    bool Tracked() const { return GetParam() != 0; }
};
INSTANTIATE_TEST_SUITE_P(, GeneralPoolList, testing::Values(0u, Flag::TRACKED_FREE_LIST),
                         [](const auto& info) { return PoolFlagNames(info.param); });

TEST_P(GeneralPoolList, PieceSizesSplitRuleAndPlainListLoss) {
    const std::uint64_t kPieces[][2] = {{0, 16}, {1, 24}, {24, 40}, {100, 120}};
    Pool pool = Make(GetParam());
    for (auto [request, piece] : kPieces)
        EXPECT_EQ(Hdr(pool->Allocate(request, 0)), std::pair(Addr(pool.get()) | 1, piece));
    const std::vector<void*> b =
        Carve(pool.get(), {56, 16, 64, 16, 16, 16, 48, 16, 4000, 16}, {8, 6, 4, 2, 0});
    const std::uint64_t freeBefore = pool->chunk.free;
    EXPECT_EQ(pool->Allocate(24, 0), b[0]); // need8 40 takes 56 whole: not above 40 + 16
    EXPECT_EQ(pool->Allocate(24, 0), b[2]); // and splits 64, leaving 24
    EXPECT_EQ(pool->Allocate(100, 0), b[8]);
    EXPECT_EQ(std::tuple(Listed(pool->chunk), pool->chunk.free, Broken(pool.get())),
              std::tuple(Tracked() ? Sizes{24, 16, 48, 3880} : Sizes{3880}, freeBefore - 216, ""))
        << "plain placement drops the areas it passes; `free` still counts them";
}

// The malloc seam's filter: records every request and refuses the first `gRefusals`.
std::vector<std::size_t> gRequests;
std::size_t gRefusals = 0;
bool RecordAndRefuse(std::size_t bytes) {
    gRequests.push_back(bytes);
    return gRefusals > 0 && gRefusals-- > 0;
}

// Chunks double unless constant and grow to fit a large need; a refused chunk is halved (rounded
// up to 4096, asking at least 32768 bytes of malloc) until granted, below the need or no smaller.
using Requests = std::vector<std::size_t>;
struct Growth {
    const char* name;
    std::uint32_t flags;
    std::size_t bytes, refusals;
    Requests requests, mallocs;
    std::uint64_t lastBytes;
    friend void PrintTo(const Growth& g, std::ostream* out) { *out << g.name; }
};
class GeneralPoolGrowth : public testing::TestWithParam<Growth> {};

TEST_P(GeneralPoolGrowth, UnderMallocFailure) {
    const Growth& g = GetParam();
    Pool pool = Make(g.flags, g.bytes);
    gRequests.clear();
    gRefusals = g.refusals;
    platform::SetMallocFailureFilter(RecordAndRefuse);
    EXPECT_EQ(pool->Allocate(0x7FFFFFF0, 0), nullptr) << "a need of 2^31 bytes or more";
    for (std::size_t request : g.requests)
        pool->Allocate(request, 0);
    EXPECT_EQ(std::tuple(gRequests, pool->lastChunk->chunk.size, Broken(pool.get())),
              std::tuple(g.mallocs, g.lastBytes, ""));
    platform::SetMallocFailureFilter(nullptr);
}

const Requests kFull{32640, 0}, kLarge{32640, 0, 32672, 99984}, kBig{0x40000 - 128, 9984};
const Requests kHalving{0x80000, 0x40000, 0x20000, 0x10000, 0x8000, 0x8000};
const Requests kSmallest{0x10000, 0x8000, 0x8000, 0x8000, 0x8000};
INSTANTIATE_TEST_SUITE_P(
    , GeneralPoolGrowth,
    testing::Values(
        Growth{"Doubles", 0, 0x8000, 0, {32640, 0, 65440, 0}, {0x10000, 0x20000}, 0x20000},
        Growth{"ConstantFitsALargeNeed", 0x100100, 0x8000, 0, kLarge, {0x8000, 0x19000}, 0x19000},
        Growth{"NoNewChunk", Flag::NO_NEW_SUBPOOL, 0x8000, 0, kFull, {}, 0x8000},
        Growth{"HalvedUntilGranted", 0x100000, 0x40000, 5, kBig, kHalving, 0x4000},
        Growth{"HalvedBelowTheNeed", 0x100000, 0x40000, SIZE_MAX, kBig, kHalving, 0x40000},
        Growth{"NeverBelowTheSmallest", 0, 0x8000, SIZE_MAX, kFull, kSmallest, 0x8000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(GeneralPoolList, ArenaLayoutAndReset) {
    Pool pool = Make(GetParam());
    EXPECT_EQ(pool->Allocate(100, 83), nullptr) << "no room for both headers";
    EXPECT_EQ(pool->Allocate(100, SIZE_MAX - 50), nullptr) << "no wrap-around";
    char* const b = reinterpret_cast<char*>(pool.get()) + 112; // the block carrying the arena
    void* object = pool->Allocate(100, 1000);                  // need 1116, need8 1120
    ASSERT_EQ(object, b + 80);
    EXPECT_EQ(std::tuple(Hdr(b + 16), Hdr(object), F(b).size, State(b)),
              std::tuple(std::pair(Addr(pool.get()) | 3, 1120ul), std::pair(Addr(b) | 1, 120ul),
                         1100ul, OneArea(916, 184)));
    void* inner = ReallocateThroughOwner(b, 0, object);
    EXPECT_EQ(std::tuple(Addr(inner), Hdr(inner)),
              std::tuple(Addr(b) + 200, std::pair(Addr(b) | 1, 16ul)));
    pool->Free(object, nullptr);
    EXPECT_EQ(Listed(F(b)), (Sizes{120, 900})) << "pushed at the head; 1100 bytes not all free";
    pool->Free(inner, nullptr);
    EXPECT_EQ(std::tuple(State(b), Broken(pool.get())), std::tuple(OneArea(1036, 64), ""));
}

// Four chunks, the second and the fourth emptied: Optimize releases those two, then each flush.
class GeneralPoolFlush : public testing::TestWithParam<int> {};
std::string FlushName(const testing::TestParamInfo<int>& info) {
    const char* const kNames[] = {"Reset", "Destroy", "", "DestroyWalkingChunks", "DestroyIfEmpty"};
    return kNames[info.param];
}
INSTANTIATE_TEST_SUITE_P(, GeneralPoolFlush, testing::Values(0, 1, 3, 4), FlushName);

TEST_P(GeneralPoolFlush, OptimizeReleasesEmptyChunksFlushResetsOrDestroys) {
    PoolBase* const head = qor::State().poolRegistry;
    const int mode = GetParam();
    GeneralPool* pool = CreateGeneralPool(0, Flag::TRACKED_FREE_LIST | Flag::LOCKED, "flush");
    void* blocks[] = {pool->Allocate(32640, 0), pool->Allocate(20000, 0), pool->Allocate(50000, 0),
                      pool->Allocate(200000, 0)};
    const std::vector<SubPool*> chain = ChainOf(pool);
    pool->Free(blocks[1], nullptr);
    pool->Free(blocks[3], nullptr);
    EXPECT_EQ(State(chain.at(1)), OneArea(65472, 64)) << "a wholly free chunk resets";
    EXPECT_EQ(pool->Optimize(Flag::OPTIMIZE_RELEASE_EMPTY), 0);
    EXPECT_EQ(std::tuple(ChainOf(pool), pool->currentChunk, Broken(pool)),
              std::tuple(std::vector{chain[0], chain[2]}, nullptr, ""));
    if (mode == Flag::FLUSH_DESTROY_IF_EMPTY) {
        pool->Free(blocks[0], nullptr); // a further chunk alone keeps the pool in use
        EXPECT_EQ(pool->Flush(mode), -1);
        std::thread([&] { pool->Free(blocks[2], nullptr); }).join(); // left unlocked
    }
    EXPECT_EQ(pool->Flush(mode), 0);
    EXPECT_EQ(qor::State().poolRegistry, mode ? head : pool);
    if (mode != 0) return;
    EXPECT_EQ(std::tuple(ChainOf(pool).size(), State(pool), Broken(pool)),
              std::tuple(1ul, OneArea(32656, 112), ""));
    pool->Flush(Flag::FLUSH_DESTROY);
}

// What Report prints, with the pool's address (0x and 16 upper-case digits) shown as <pool>.
std::string ReportText(GeneralPool* pool, int options) {
    const std::string text = Written([&](FILE* out) { pool->Report(out, nullptr, options); });
    char self[24];
    std::snprintf(self, sizeof self, "0x%016lX", Addr(pool));
    return std::regex_replace(text, std::regex(self), "<pool>");
}

// A fresh pool (at least 32768 bytes, rounded down to 1024) adds its own bits to the flags (and
// the hint bit 0x200000 to tracked or constant-size ones), is one free area after its 112-byte
// header, and says so in its report.
struct Fresh {
    std::size_t bytes;
    std::uint32_t flags, after;
    std::string sts, flagsLine;
    friend void PrintTo(const Fresh& f, std::ostream* out) { *out << f.bytes << " bytes"; }
};
class GeneralPoolFresh : public testing::TestWithParam<Fresh> {};
INSTANTIATE_TEST_SUITE_P(
    , GeneralPoolFresh,
    testing::Values(Fresh{1000, 0x100000, 0x300011, "0x11", "0x0"},
                    Fresh{0x83FF, 0xC0, 0xD1, "0xd1", "0xc0  ( VOLATILE SINGLE_SIZE )"},
                    Fresh{0x8000, 0x3E8, 0x2003F9, "0x3f9",
                          "0x3e0  ( VOLATILE FLUSHABLE SINGLE_SIZE CONSTANT_SUBPOOL_SIZE )"}),
    [](const auto& info) {
        return PoolFlagNames(info.param.flags) + "_" + std::to_string(info.param.bytes) + "Bytes";
    });

TEST_P(GeneralPoolFresh, IsOneFreeAreaAndSaysSoInItsReport) {
    const Fresh& f = GetParam();
    Pool pool = Make(f.flags, f.bytes);
    EXPECT_EQ(std::tuple(pool->chunk.size, pool->chunk.flags, State(pool.get())),
              std::tuple(32768ul, f.after, OneArea(32656, 112)));
    EXPECT_EQ(ReportText(pool.get(), Flag::REPORT_CHUNK_LIST),
              "\n[MEMORY POOL <pool> / SUBPOOL LIST]\n  subPool=<pool> ; sts=" + f.sts +
                  " ; size=32768  ; free=32656 ; occupation=0.3 % ; blocks=1 ; holes=1(32656)\n"
                  "\n[MEMORY POOL <pool>]\nFlags                 = " +
                  f.flagsLine +
                  "\n"
                  "Total size            = 32768 \nManage size           = 112 \n"
                  "Free  size            = 32656 \nOccupied size         = 0 \n"
                  "Percentage occupation = 0.3%\nNb of sub pools       = 1 \n"
                  "Max free size in a sp = 32656\nMin free size in a sp = 32656\n"
                  "Min sp percentage occ = 0.3%\nMax sp percentage occ = 0.3%\n");
}

// The one-line report of a large fresh pool, and of a pool in use: a tracked chunk whose largest
// area is unknown and an added one that knows its own; the same figures as a record.
TEST(GeneralPool, ReportTexts) {
    EXPECT_EQ(ReportText(Make(0, 0x200000).get(), Flag::REPORT_ONE_LINE),
              "POOL:<pool> fg=00000000 sz=2097152(  2.000) fre=2097040 occ=0 pct=0.0 mng=112  "
              "nbb=1 nbh=1 subpool_info=(nb=1 maxf=2097040 minf=2097040  maxo=0.0, mino=0.0 "
              "maxhole=2097040?)\n");
    Pool pool = Make(Flag::TRACKED_FREE_LIST | Flag::SINGLE_SIZE);
    Carve(pool.get(), {104, 16, 3000, 16, 2000, 16}, {4, 2, 0});
    pool->Allocate(1000 - 16, 0);
    pool->Allocate(40000, 0);
    EXPECT_EQ(ReportText(pool.get(), Flag::REPORT_ONE_LINE),
              "POOL:<pool> fg=00000080 sz=98304(  0.094) fre=29560 occ=68568 pct=69.9 mng=176  "
              "nbb=10 nbh=4 subpool_info=(nb=2 maxf=25456 minf=4104  maxo=87.5, mino=61.2 "
              "maxhole=25456 )\n");
    QORPoolInfo r;
    pool->Report(nullptr, &r, 3);
    EXPECT_EQ(r, (QORPoolInfo{.flagBits = 0x80,
                              .totalSize = 98304,
                              .freeSize = 29560,
                              .chunkCount = 2,
                              .maxChunkFree = 25456,
                              .minChunkFree = 4104,
                              .minChunkOccupation = 61,
                              .maxChunkOccupation = 87,
                              .occupation = 69,
                              .holeTotal = 4,
                              .blockTotal = 10,
                              .largestKnownHole = 25456,
                              .holeSizeUnknown = -1}));
}

// Adjacent free areas of 32, 48 and 64 bytes listed out of order, then one of 32 that plain
// placement could have dropped from the list, in a pool's own chunk of 21 - `fewer` pieces or in
// an added chunk. Returns how Optimize merged them: 'W' by address walk (the only method that
// lists the dropped area again), 'S' by sort-merge, '-' not at all.
char MergedBy(std::uint32_t flags, bool inAdded, int fewer) {
    Pool pool = Make(flags);
    if (inAdded) pool->Allocate(32640, 0);
    Sizes pieces{32, 48, 64, 16, 32};
    pieces.resize(20 - fewer, 16);
    const std::vector<void*> b = Carve(pool.get(), pieces, {1, 0, 2, 4});
    ChunkFields& k = F(OwnerOf(b[3]));
    k.freeList = k.freeList->next;
    const ChunkFields before = k;
    pool->Optimize(Flag::OPTIMIZE_MERGE);
    if (Listed(k) == Sizes{64, 32, 48}) return '-';
    EXPECT_EQ(std::tuple(Addr(k.freeList), k.largestFreeArea, k.freeAreaCount, k.pieceCount),
              std::tuple(Addr(b[0]) - 16, 144u, before.freeAreaCount - 2, before.pieceCount - 2));
    return Listed(k) == Sizes{144} ? 'S' : Listed(k) == Sizes{144, 32} ? 'W' : '?';
}

// The methods seen, as QOR_TEST_MERGES expects: method 1 sorts, 2 walks, and 0 sorts only a
// tracked pool's own chunk with more than n * (n + 1) pieces for its n areas.
TEST(GeneralPoolMergeMethod, FollowsTheEnvironment) {
    const std::string seen{MergedBy(0x100000, false, 0), MergedBy(0x100000, false, 1),
                           MergedBy(0x100000, true, 0), MergedBy(0x100080, false, 0)};
    EXPECT_STREQ(seen.c_str(), std::getenv("QOR_TEST_MERGES"));
}

TEST(GeneralPoolMergeMethodDeathTest, SortStopsOnADoubleRelease) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Pool pool = Make(Flag::TRACKED_FREE_LIST);
    void* block = Carve(pool.get(), {32, 16}, {0})[0]; // released again, it links to itself
    EXPECT_DEATH(pool->Free(block, pool.get());
                 pool->Optimize(Flag::OPTIMIZE_MERGE), "^Sort Problem\n$");
}

// A mixed churn over `window` live blocks of 8 to 512 bytes, each filled with a byte of its own and
// checked before its release. Returns the chain's bytes after each of `rounds` equal rounds.
std::vector<std::uint64_t> Churn(GeneralPool* pool, std::size_t window, int rounds, int pairs) {
    std::mt19937 rng(7);
    std::vector<std::pair<char*, std::size_t>> live(window);
    auto fill = [&](auto& slot) {
        const std::size_t bytes = 8 + rng() % 505;
        slot = {static_cast<char*>(pool->Allocate(bytes, 0)), bytes};
        std::memset(slot.first, static_cast<char>(Addr(slot.first) >> 4), bytes);
    };
    std::ranges::for_each(live, fill);
    std::vector<std::uint64_t> totals;
    for (int round = 0; round < rounds; ++round) {
        for (int pair = 0; pair < pairs; ++pair) {
            auto& slot = live[rng() % window];
            const auto [data, bytes] = slot;
            EXPECT_EQ(std::count(data, data + bytes, static_cast<char>(Addr(data) >> 4)),
                      static_cast<long>(bytes));
            pool->Free(data, nullptr);
            fill(slot);
        }
        totals.push_back(0);
        for (SubPool* k : ChainOf(pool))
            totals.back() += k->chunk.size;
    }
    EXPECT_EQ(Broken(pool), "");
    return totals;
}

// Under a long mixed churn a pool stops adding chunks once it holds the free bytes it needs; with
// reclaim off, plain placement's dropped areas and tracked placement's unjoined ones make it grow
// on and on (chunks of a constant size show it at once: doubled ones only now and then).
class GeneralPoolReclaim : public testing::TestWithParam<std::uint32_t> {};
INSTANTIATE_TEST_SUITE_P(, GeneralPoolReclaim, testing::Values(0u, Flag::TRACKED_FREE_LIST),
                         [](const auto& info) { return PoolFlagNames(info.param); });

TEST_P(GeneralPoolReclaim, ChainStopsGrowingUnderMixedChurn) {
    Pool pool = MakeConfigured(GetParam() | Flag::CONSTANT_SUBPOOL_SIZE, 0x10000);
    const std::vector<std::uint64_t> totals = Churn(pool.get(), 2000, 4, 50000);
    if (ReclaimOff())
        EXPECT_LT(totals[1], totals[3]);
    else
        EXPECT_EQ(totals[1], totals[3]);
}

// Two of every three 1000-byte blocks released: the free bytes lie in adjacent pairs that no list
// joins. A request that only a joined pair can serve merges the chunk when it holds 64 KiB free
// (even with NO_NEW_SUBPOOL, which would otherwise fail), and adds a chunk when it holds less.
class GeneralPoolReclaimJoin
    : public testing::TestWithParam<std::tuple<std::uint32_t, std::size_t>> {};
INSTANTIATE_TEST_SUITE_P(
    , GeneralPoolReclaimJoin,
    testing::Combine(testing::Values(0u, Flag::TRACKED_FREE_LIST, Flag::NO_NEW_SUBPOOL,
                                     Flag::TRACKED_FREE_LIST | Flag::NO_NEW_SUBPOOL),
                     testing::Values(0x8000, 0x20000)),
    [](const auto& info) {
        return PoolFlagNames(std::get<0>(info.param)) + "_" +
               std::to_string(std::get<1>(info.param) / 1024) + "KiB";
    });

TEST_P(GeneralPoolReclaimJoin, MergesBeforeGrowingOrFailing) {
    const auto [flags, bytes] = GetParam();
    const bool noNew = flags & Flag::NO_NEW_SUBPOOL;
    Pool pool = MakeConfigured(flags, bytes);
    std::vector<void*> blocks;
    while (pool->chunk.free >= 1016) // leaves a tail too small for 1500 bytes
        blocks.push_back(pool->Allocate(1000, 0));
    for (std::size_t i = 0; i < blocks.size(); ++i)
        if (i % 3 != 2) pool->Free(blocks[i], nullptr);
    const bool merges = !ReclaimOff() && pool->chunk.free >= kReclaimFloorBytes;
    void* joined = pool->Allocate(1500, 0);
    EXPECT_EQ(std::tuple(joined != nullptr, ChainOf(pool.get()).size(), Broken(pool.get())),
              std::tuple(merges || !noNew, merges || noNew ? 1ul : 2ul, ""));
    if (merges) {
        EXPECT_EQ(OwnerOf(joined), pool.get());
    }
}

// A tracked pool of one chunk of `chunkBytes`: X (`xBytes`, released), eight blocks of 1000 (those
// at `freed` released), then a block taken from the tail that leaves `xBytes` behind it, so that no
// area is half the free bytes and the largest becomes unknown. Returns the eight blocks.
std::vector<void*> LargestMadeUnknown(GeneralPool* pool, std::uint64_t xBytes,
                                      const std::vector<int>& freed) {
    void* x = pool->Allocate(xBytes - 16, 0);
    std::vector<void*> thousands;
    for (int i = 0; i < 8; ++i)
        thousands.push_back(pool->Allocate(1000, 0));
    pool->Free(x, nullptr);
    for (int i : freed)
        pool->Free(thousands[i], nullptr);
    const std::uint64_t freedBytes = 1016 * freed.size();
    EXPECT_NE(pool->Allocate(pool->chunk.free - 2 * xBytes - freedBytes - 16, 0), nullptr);
    EXPECT_EQ(pool->chunk.free, 2 * xBytes + freedBytes);
    return thousands;
}

// Reclaim merges a tracked chunk whose largest area is unknown: the marker must not come out as the
// size of the pair the merge joined, or every larger request skips the chunk while its 70000-byte
// areas sit unused, and the pool grows. The block taken from the tail of the 256 KiB chunk reaches
// into untouched memory, and the second and third blocks of 1000, side by side, are joined.
TEST(GeneralPoolReclaimLargest, TrackedMergeKeepsTheLargestAreaInSight) {
    Pool pool = MakeConfigured(Flag::TRACKED_FREE_LIST, 0x40000);
    LargestMadeUnknown(pool.get(), 70000, {1, 2});
    EXPECT_EQ(pool->chunk.largestFreeArea, ReclaimOff() ? kLargestUnknown : 70000u);
    void* next = pool->Allocate(4000 - 16, 0);
    EXPECT_EQ(std::tuple(OwnerOf(next), ChainOf(pool.get()).size(), Broken(pool.get())),
              std::tuple(static_cast<void*>(pool.get()), 1ul, ""));
}

// A release into a tracked chunk whose largest area is unknown makes the released size its largest:
// the chunk is then skipped by larger requests, though 8000-byte areas sit in it. Before it grows,
// a reclaiming pool searches such chunks again (a 32 KiB chunk: no merge is worth it).
TEST(GeneralPoolReclaimLargest, TrackedPoolSearchesSkippedChunksBeforeGrowing) {
    Pool pool = MakeConfigured(Flag::TRACKED_FREE_LIST, 0x8000);
    std::vector<void*> thousands = LargestMadeUnknown(pool.get(), 8000, {1});
    ASSERT_EQ(pool->chunk.largestFreeArea, kLargestUnknown);
    pool->Free(thousands[3], nullptr);
    ASSERT_EQ(pool->chunk.largestFreeArea, 1016u);
    void* next = pool->Allocate(4000 - 16, 0);
    const std::size_t chunks = ReclaimOff() ? 2 : 1;
    EXPECT_EQ(
        std::tuple(OwnerOf(next) == pool.get(), ChainOf(pool.get()).size(), Broken(pool.get())),
        std::tuple(chunks == 1, chunks, ""));
}

// The memory a long mixed churn touches: every chunk in front of the last, and the last one as far
// as placements have reached into it. A window of 1500 blocks (about 425 KB in use) in chunks that
// double from 64 KiB touches about 2.3 (plain) and 2.2 (tracked) times its bytes in use. A tracked
// pool that went on searching from the chunk that served last after a merge drained the chunks in
// front and reached ever further into the last one (4 times), and one that grew whenever a stale
// largest area hid room added a chunk more (2.6 times).
TEST_P(GeneralPoolReclaim, TouchedMemoryFollowsTheBytesInUse) {
    if (ReclaimOff()) GTEST_SKIP() << "reclaim off: the chain grows as it always did";
    Pool pool = MakeConfigured(GetParam(), 0x10000);
    // The debug tier walks the whole pool after each operation: a quarter of the churn there.
    Churn(pool.get(), 1500, 1, debug::kFull ? 100000 : 400000);
    std::uint64_t touched = std::uint64_t{pool->lastChunkReachKiB} << 10;
    std::uint64_t inUse = 0;
    for (SubPool* k : ChainOf(pool.get())) {
        inUse += (k->chunk.size & kChunkSizeMask) - k->chunk.free;
        if (k != pool->lastChunk) touched += k->chunk.size & kChunkSizeMask;
    }
    EXPECT_LE(touched, 5 * inUse / 2);
}

} // namespace
