// Checked mode: each mistake below stops the process with a message that names it, in a process
// with QORSysAllocatorChecks=ON (suite Checked); the suite Unchecked runs the same mistakes
// without the variable and shows that the default path behaves as it always did.
#include "QORSysAllocator.h"
#include "QORSysStdAdapters.h"
#include "TestSupport.h"
#include "core/Configuration.h"
#include "core/LiveObjects.h"
#include "pagedpool/PagedPool.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace qor {
namespace {

constexpr int kPaged = int(QORSysPoolFlag::PAGED);

void* New(std::size_t size, void* pool) { return QORSpecializedNew(size, pool, nullptr, 0); }

// Two neighbouring 24-byte blocks of a new paged pool: the first one's last 16 bytes are where a
// header would be in front of the second.
struct PagedPair {
    void* pool = QORSysCreatePool(kPaged, 0, "nodes");
    char* first = static_cast<char*>(New(24, pool));
    char* second = static_cast<char*>(New(24, pool));

    PagedPair() {
        EXPECT_EQ(second, first + 24);
        EXPECT_TRUE(!State().config.checks || checks::KindAt(pool) == checks::LiveKind::PagedPool);
    }
    void FillFirst(std::uintptr_t word) {
        for (int i = 0; i < 3; ++i)
            std::memcpy(first + 8 * i, &word, 8);
    }
};

// What a mistake's stop looks like: the mistake's own words, then abort. The word in front of
// the second block: garbage (0x4141...) or 1, which reads as a heap block's owner word.
void ReleasedWithoutPagedFlag(std::uintptr_t wordInFront = 0x4141414141414141) {
    PagedPair pair;
    pair.FillFirst(wordInFront);
    QORSpecializedDelete(pair.second, nullptr);
}

void GeneralBlockReleasedTwice(void* pool) {
    void* keep = New(40, pool); // keeps the chunk from resetting at the first release
    void* block = New(40, pool);
    QORSpecializedDelete(block, nullptr);
    QORSpecializedDelete(block, nullptr);
    QORSpecializedDelete(keep, nullptr);
}

// An address as the messages print it (%p), for a regular expression.
std::string At(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

const std::string kAddress = "0x[0-9a-f]+";

// ---------------------------------------------------------------------------------------------
// The issue's four mistakes, in checked mode.

TEST(Checked, PagedBlockReleasedWithoutTheFlag) {
    EXPECT_DEATH(ReleasedWithoutPagedFlag(),
                 "^Invalid release of block 0x[0-9a-f]+ in QORSpecializedDelete: its header names "
                 "no live chunk, but the block is on page 0x[0-9a-f]+ of paged pool \"nodes\" at "
                 "0x[0-9a-f]+ \\(class 24\\): released without the paged flag\\?\n");
    EXPECT_DEATH(ReleasedWithoutPagedFlag(1),
                 "in QORSpecializedDelete: its header reads as a heap block's, but the block is on "
                 "page 0x[0-9a-f]+ of paged pool \"nodes\" at 0x[0-9a-f]+ \\(class 24\\): released "
                 "without the paged flag\\?");
}

// A destroyed pool is named by what lived at its address.
TEST(Checked, DestroyedPoolNamedToThePoolCalls) {
    void* pool = QORSysCreatePool(kPaged, 0, "nodes");
    void* general = QORSysCreatePool(0, 0, "scratch");
    QORSpecializedDelete(New(16, pool), nullptr, kPaged); // a page taken and given back
    ASSERT_EQ(QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY), 0);
    ASSERT_EQ(QORSysFlushPool(general, QORSysPoolFlag::FLUSH_DESTROY_IF_EMPTY), 0);
    EXPECT_DEATH(New(16, pool), "^Invalid pool " + At(pool) +
                                    " in QORSpecializedNew: no live pool has this address \\(it "
                                    "held paged pool \"nodes\"\\): pool used after it was "
                                    "destroyed\\?\n");
    EXPECT_DEATH(QORSysFlushPool(pool, 0), "^Invalid pool 0x[0-9a-f]+ in QORSysFlushPool: .*"
                                           "pool used after it was destroyed\\?");
    EXPECT_DEATH(QORSysOptimizePool(general, QORSysPoolFlag::OPTIMIZE_MERGE),
                 "in QORSysOptimizePool: no live pool has this address \\(it held general pool "
                 "\"scratch\"\\): pool used after it was destroyed\\?");
    EXPECT_DEATH(QORSysGetPoolInfo(general, stdout, nullptr, 0),
                 "in QORSysGetPoolInfo: .*pool used after it was destroyed\\?");
    EXPECT_DEATH(QORSpecializedNew(8, reinterpret_cast<void*>(2), general, 0),
                 "in QORSpecializedNew: .*pool used after it was destroyed\\?");
    EXPECT_DEATH(QORSpecializedDelete(New(8, nullptr), general),
                 "in QORSpecializedDelete: .*pool used after it was destroyed\\?");
}

// Each pool kind is named with its creator's name. The pool's flags; -1: the fast pool (4), whose
// 40-byte blocks come from its single-size pool.
class CheckedReleasedTwice : public testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(, CheckedReleasedTwice,
                         testing::Values(-1, 0, int(QORSysPoolFlag::TRACKED_FREE_LIST)),
                         [](const auto& info) {
                             return info.param < 0 ? "FastPool" : test::PoolFlagNames(info.param);
                         });

TEST_P(CheckedReleasedTwice, GeneralBlock) {
    const bool fast = GetParam() < 0;
    void* pool = fast ? reinterpret_cast<void*>(4) : QORSysCreatePool(GetParam(), 0, "scratch");
    const char* kind = fast              ? "fixed pool 4 \"FastSglAllocs\""
                       : GetParam() == 0 ? "general pool \"scratch\""
                                         : "tracked pool \"scratch\"";
    EXPECT_DEATH(GeneralBlockReleasedTwice(pool),
                 "^Invalid release of block 0x[0-9a-f]+ in QORSpecializedDelete: its header reads "
                 "as a free area of " +
                     std::string(kind) +
                     " at 0x[0-9a-f]+ \\(first word 0x[0-9a-f]+\\): released twice\\?\n");
}

// The release that empties a chunk resets it to one area: the block's header is then inside that
// area, and checked mode clears its in-use bit so that a second release still shows.
TEST(Checked, BlockReleasedTwiceAfterItsChunkOrPageEmptied) {
    void* general = QORSysCreatePool(0, 0);
    void* first = New(100, general);
    QORSpecializedDelete(first, nullptr);
    EXPECT_EQ(FieldsOf(general)->free, 32768u - 112u) << "the chunk is one free area again";
    EXPECT_DEATH(QORSpecializedDelete(first, nullptr), "released twice\\?");
    void* pool = QORSysCreatePool(kPaged, 0, "nodes");
    void* keep = New(16, pool);
    void* block = New(16, pool);
    QORSpecializedDelete(block, nullptr, kPaged);
    EXPECT_DEATH(QORSpecializedDelete(block, nullptr, kPaged),
                 "^Invalid release of block 0x[0-9a-f]+ in QORSpecializedDelete: page "
                 "0x[0-9a-f]+ of paged pool \"nodes\" at 0x[0-9a-f]+ \\(class 16\\) has it among "
                 "its released blocks: released twice\n");
    QORSpecializedDelete(keep, nullptr, kPaged);
    // The page went back to its region with its last block: a release now finds it free.
    EXPECT_DEATH(QORSpecializedDelete(keep, nullptr, kPaged),
                 "(holds no block in use: released twice\\?|no live paged pool)");
}

// Regression: a write 24 bytes past a block, then the release of the block and of its neighbour,
// was reported on the neighbour as "released twice?". Whatever the bytes written and whether the
// overrun block is still in use, the damaged header names the block in front of it.
TEST(Checked, OverrunOfThePreviousBlockIsNamed) {
    for (const int fill : {0, int{'A'}}) {
        void* pool = QORSysCreatePool(0, 0, "scratch");
        auto* overrun = static_cast<char*>(New(24, pool));
        auto* damaged = static_cast<char*>(New(24, pool));
        New(24, pool); // keeps the chunk from resetting
        std::memset(overrun, fill, 24 + 24);
        if (fill == 0) QORSpecializedDelete(overrun, nullptr);
        const std::string word = fill == 0 ? "0" : "0x4141414141414141";
        EXPECT_DEATH(QORSpecializedDelete(damaged, nullptr),
                     "^Invalid release of block " + At(damaged) +
                         " in QORSpecializedDelete: its header is damaged \\(words " + word + " " +
                         word + "\\) and follows block " + At(overrun) + " \\(24 bytes, " +
                         (fill == 0 ? "free now" : "in use") +
                         "\\) of general pool \"scratch\" at " + At(pool) +
                         ": probable overrun of block " + At(overrun) + "\n");
    }
}

// Regression: a pointer into a zero-filled block read as a block released twice.
TEST(Checked, PointerInsideABlockIsNamed) {
    void* pool = QORSysCreatePool(0, 0, "scratch");
    auto* block = static_cast<char*>(New(100, pool));
    std::memset(block, 0, 100);
    EXPECT_DEATH(QORSpecializedDelete(block + 40, nullptr),
                 "^Invalid release of block " + At(block + 40) +
                     " in QORSpecializedDelete: not the start of a block: it lies 40 bytes into "
                     "block " +
                     At(block) + " \\(104 bytes, in use\\) of general pool \"scratch\" at " +
                     At(pool) + "\n");
    void* paged = QORSysCreatePool(kPaged, 0, "nodes");
    auto* slot = static_cast<char*>(New(24, paged));
    New(24, paged);
    EXPECT_DEATH(QORSpecializedDelete(slot + 8, nullptr, kPaged),
                 "^Invalid release of block " + At(slot + 8) +
                     " in QORSpecializedDelete: not the start of a block: it lies 8 bytes into "
                     "block " +
                     At(slot) + " \\(class 24, in use\\) on page " + kAddress +
                     " of paged pool \"nodes\" at " + At(paged) + "\n");
    EXPECT_DEATH(QORSpecializedDelete(slot + 48, nullptr, kPaged), // not carved yet
                 "not the start of a block: it lies on page 0x[0-9a-f]+ of paged pool \"nodes\" at "
                 "0x[0-9a-f]+ \\(class 24\\), outside the blocks the page handed out\n");
}

// Regression: a routed global delete was reported with the library's block. The routed new hands
// out a pointer past the block's start (16-byte alignment and more); a second delete of it reads
// its offset word from released memory, and may be led to another block or to none.
TEST(Checked, RoutedPointerIsNamedAsTheProgramHoldsIt) {
    using QORSys::detail::RoutedDelete;
    using QORSys::detail::RoutedNew;
    void* pointers[] = {RoutedNew(24, 16), RoutedNew(24, 16), RoutedNew(40, 256)};
    RoutedNew(24, 16); // keeps the chunk from resetting
    for (void* p : pointers)
        RoutedDelete(p);
    for (void* p : pointers)
        EXPECT_DEATH(RoutedDelete(p), "^Invalid release of pointer " + At(p) + " \\(block " +
                                          kAddress +
                                          "\\) in QORSpecializedDelete: (.*; )?the pointer lies "
                                          "(8|16|[0-9]+) bytes into block " +
                                          kAddress +
                                          " \\([0-9]+ bytes, free now\\) of fixed pool 32 "
                                          "\"Default\" at " +
                                          kAddress + ": released twice\\?\n");
    void* p = RoutedNew(24, 16);
    void* other = RoutedNew(24, 16);
    EXPECT_DEATH(QORSysCachedDelete(QORSys::RoutedBlock(other), 0, p),
                 "^Invalid release of pointer " + At(p) + " \\(block " +
                     At(QORSys::RoutedBlock(other)) +
                     "\\) in QORSpecializedDelete: the pointer lies outside that block of 40 "
                     "bytes; the pointer lies (8|16) bytes into block " +
                     At(QORSys::RoutedBlock(p)) + " \\(40 bytes, in use\\) of fixed pool 32 ");
}

// ---------------------------------------------------------------------------------------------
// Other mistakes checked mode names.

TEST(Checked, PagedPointerThatIsNoBlockOfAPagedPool) {
    EXPECT_DEATH(QORSpecializedDelete(New(24, reinterpret_cast<void*>(4)), nullptr, kPaged),
                 "in QORSpecializedDelete with the paged flag: its page 0x[0-9a-f]+ names [^,]+, "
                 "which is no live paged pool");
}

TEST(Checked, BlockReleasedToAnotherPool) {
    void* a = QORSysCreatePool(0, 0, "a");
    void* b = QORSysCreatePool(0, 0, "b");
    void* paged = QORSysCreatePool(kPaged, 0, "nodes");
    void* block = New(24, a);
    EXPECT_DEATH(QORSpecializedDelete(block, b),
                 "to general pool \"b\" at 0x[0-9a-f]+ in QORSpecializedDelete: the block belongs "
                 "to general pool \"a\" at 0x[0-9a-f]+\n");
    EXPECT_DEATH(QORSpecializedDelete(New(24, paged), QORSysCreatePool(kPaged, 0, "other"), kPaged),
                 "to paged pool \"other\" at 0x[0-9a-f]+ in QORSpecializedDelete: its page "
                 "0x[0-9a-f]+ belongs to paged pool \"nodes\" at 0x[0-9a-f]+\n");
}

// The first block of a chunk has no block in front of it to blame.
TEST(Checked, OverwrittenHeaders) {
    void* pool = QORSysCreatePool(0, 0);
    auto* block = static_cast<std::uint64_t*>(New(24, pool));
    block[-1] = 1 << 20; // the size word
    EXPECT_DEATH(QORSpecializedDelete(block, nullptr),
                 "its header is damaged \\(words 0x[0-9a-f]+ 0x100000\\), at the start of chunk "
                 "0x[0-9a-f]+ of general pool \"unknown\" at 0x[0-9a-f]+: header overwritten\\?");
    block[-2] = 0x7000 | 1;
    EXPECT_DEATH(QORSpecializedDelete(block, nullptr),
                 "its header is damaged \\(words 0x7001 0x100000\\), at the start of chunk");
    static std::uint64_t notABlock[4] = {0, 0, 0, 0};
    EXPECT_DEATH(QORSpecializedDelete(&notABlock[2], nullptr),
                 "its header reads as a free area \\(first word 0\\) and no live pool holds it: "
                 "no block of this library, or released twice\\?\n");
}

// The registry's first table holds 768 live objects; the next one needs a table of 2048 words.
TEST(Checked, RegistryThatCannotGrowStops) {
    EXPECT_DEATH(
        {
            platform::SetMallocFailureFilter(
                [](std::size_t bytes) { return bytes == 2048 * sizeof(std::uintptr_t); });
            for (int i = 0; i < 1000; ++i)
                QORSysCreatePool(kPaged, 0);
        },
        "^Checked mode: no memory left for its live-pool registry\n");
}

// ---------------------------------------------------------------------------------------------
// Sound use passes every check, with the answers of the default path.

TEST(Checked, SoundUseOfEveryRouteRunsThrough) {
    ASSERT_FALSE(State().config.checks) << "the configuration has not run yet";
    void* general = QORSysCreatePool(0, 0);
    ASSERT_TRUE(State().config.checks);
    void* tracked = QORSysCreatePool(QORSysPoolFlag::TRACKED_FREE_LIST, 0);
    void* paged = QORSysCreatePool(kPaged | QORSysPoolFlag::LOCKED, 0);
    std::vector<std::pair<void*, int>> blocks;
    for (int round = 0; round < 3; ++round) {
        for (std::size_t size : {0, 8, 24, 100, 5000, 70000}) {
            for (void* pool :
                 {static_cast<void*>(nullptr), reinterpret_cast<void*>(1),
                  reinterpret_cast<void*>(4), reinterpret_cast<void*>(32), general, tracked})
                blocks.emplace_back(New(size, pool), 0);
            if (size < 4048) blocks.emplace_back(New(size, paged), kPaged);
        }
        // An arena and a block beside the object it carries.
        void* object = QORSpecializedNew(40, general, reinterpret_cast<void*>(16), 400);
        blocks.emplace_back(QORSpecializedNew(24, reinterpret_cast<void*>(8), object, 0), 0);
        blocks.emplace_back(QORSpecializedNew(24, reinterpret_cast<void*>(8), object, 0), 0);
        for (std::size_t i = round % 2; i < blocks.size(); i += 2)
            QORSpecializedDelete(blocks[i].first, nullptr, blocks[i].second);
        std::erase_if(blocks, [&, i = std::size_t{0}](auto&) mutable {
            return (i++ % 2) == std::size_t(round % 2);
        });
        EXPECT_EQ(QORSysOptimizePool(general, 0x101), 0);
    }
    for (auto [block, flags] : blocks)
        QORSpecializedDelete(block, nullptr, flags);
    QORPoolInfo info{};
    QORSysGetPoolInfo(paged, nullptr, &info, 0);
    EXPECT_EQ(info.blockTotal, 0u);
    EXPECT_EQ(QORSysFlushPool(general, 0), 0);
    EXPECT_EQ(QORSysFlushPool(paged, QORSysPoolFlag::FLUSH_DESTROY), 0);
    EXPECT_EQ(checks::KindAt(paged), checks::LiveKind::None);
    EXPECT_EQ(QORSysFlushPool(general, QORSysPoolFlag::FLUSH_DESTROY), 0);
    EXPECT_EQ(checks::KindAt(general), checks::LiveKind::None);
}

// ---------------------------------------------------------------------------------------------
// Controls: without the variable the same mistakes take the default path, as before.

TEST(Unchecked, PagedBlockReleasedWithoutTheFlagStillFaults) {
    EXPECT_EXIT(ReleasedWithoutPagedFlag(), testing::KilledBySignal(SIGSEGV), "");
    EXPECT_FALSE(State().config.checks);
}

// Whatever the second release does (nothing, a cycle in the list, or a fault on the link read as
// an owner), it says nothing.
TEST(Unchecked, GeneralBlockReleasedTwiceGoesUnnoticed) {
    const auto anyEnd = [](int) { return true; };
    for (void* pool : {QORSysCreatePool(0, 0), reinterpret_cast<void*>(4)})
        EXPECT_EXIT(
            {
                GeneralBlockReleasedTwice(pool);
                std::_Exit(0);
            },
            anyEnd, "^$");
}

TEST(Unchecked, PoolRegistryIsNotKept) {
    void* pool = QORSysCreatePool(kPaged, 0);
    QORSpecializedDelete(New(16, pool), nullptr, kPaged);
    EXPECT_FALSE(State().config.checks);
    EXPECT_EQ(checks::KindAt(pool), checks::LiveKind::None);
}

// ---------------------------------------------------------------------------------------------
// QORSysCheckPool: sound pools pass, each kind of damage is named.

std::string CheckText(void* pool) {
    int answer = 0;
    const std::string text = test::Written([&](FILE* out) { answer = QORSysCheckPool(pool, out); });
    return std::to_string(answer) + " " + text;
}

TEST(PoolCheck, SoundPoolsPassAndDamageIsNamed) {
    void* plain = QORSysCreatePool(0, 0);
    void* tracked = QORSysCreatePool(QORSysPoolFlag::TRACKED_FREE_LIST, 0);
    void* paged = QORSysCreatePool(kPaged, 0);
    std::vector<void*> blocks;
    for (int i = 0; i < 300; ++i)
        for (void* pool : {plain, tracked, paged})
            blocks.push_back(New(std::size_t(i % 50) * 8, pool));
    QORSpecializedNew(40, plain, reinterpret_cast<void*>(16), 400); // an arena
    for (std::size_t i = 0; i < blocks.size(); i += 3)
        QORSpecializedDelete(blocks[i], nullptr, i % 3 == 2 ? kPaged : 0);
    for (std::size_t i = 2; i < blocks.size(); i += 6) // every other paged block
        QORSpecializedDelete(blocks[i], nullptr, kPaged);
    for (void* pool : {plain, tracked, paged, static_cast<void*>(nullptr)})
        EXPECT_EQ(CheckText(pool), "-1 ");

    auto* block = static_cast<std::uint64_t*>(blocks[4]); // the tracked pool's, in use
    const std::uint64_t sizeWord = block[-1];
    block[-1] = sizeWord + 8;
    EXPECT_NE(CheckText(tracked).find("0 QORSysCheckPool: chunk 0x"), std::string::npos);
    block[-1] = sizeWord;
    FieldsOf(plain)->free += 8;
    EXPECT_EQ(CheckText(plain).find("0 QORSysCheckPool: chunk 0x"), 0u) << CheckText(plain);
    EXPECT_EQ(CheckText(nullptr).substr(0, 2), "0 ");
    FieldsOf(plain)->free -= 8;
    static_cast<PagedPool*>(paged)->BlocksInUse() += 1;
    EXPECT_NE(CheckText(paged).find("counts"), std::string::npos);
    static_cast<PagedPool*>(paged)->BlocksInUse() -= 1;
    PageObject* page = PageObjectOf(blocks[5]); // a page of the paged pool with blocks in use
    const std::uint16_t carved = page->carved;
    page->carved = page->capacity + 1;
    EXPECT_NE(CheckText(paged).find("carved"), std::string::npos) << CheckText(paged);
    page->carved = carved;
    EXPECT_EQ(CheckText(paged), "-1 ");
    ASSERT_EQ(QORSysFlushPool(tracked, QORSysPoolFlag::FLUSH_DESTROY), 0);
    EXPECT_NE(CheckText(tracked).find("is no registered pool"), std::string::npos);
}

} // namespace
} // namespace qor
