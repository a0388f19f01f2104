// Checked mode: each mistake below stops the process with a message that names it, in a process
// with QORSysAllocatorChecks=ON (suite Checked); the suite Unchecked runs the same mistakes
// without the variable and shows that the default path behaves as it always did.
#include "PoolFlagNames.h"
#include "QORSysAllocator.h"
#include "core/Configuration.h"
#include "core/LiveObjects.h"
#include "pagedpool/PagedPool.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <csignal>
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
    void* pool = QORSysCreatePool(kPaged, 0);
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

// ---------------------------------------------------------------------------------------------
// The four mistakes, in checked mode.

TEST(Checked, PagedBlockReleasedWithoutTheFlag) {
    EXPECT_DEATH(ReleasedWithoutPagedFlag(),
                 "^Invalid release of block 0x[0-9a-f]+ in QORSpecializedDelete: its header names "
                 "no live chunk, but the block is on page 0x[0-9a-f]+ of paged pool 0x[0-9a-f]+ "
                 "\\(class 24\\): released "
                 "without the paged flag\\?\n");
    EXPECT_DEATH(ReleasedWithoutPagedFlag(1),
                 "in QORSpecializedDelete: its header reads as a heap block's, but the block is on "
                 "page 0x[0-9a-f]+ of paged pool 0x[0-9a-f]+ \\(class 24\\): released without the "
                 "paged flag\\?");
}

TEST(Checked, DestroyedPoolNamedToThePoolCalls) {
    void* pool = QORSysCreatePool(kPaged, 0);
    void* general = QORSysCreatePool(0, 0);
    QORSpecializedDelete(New(16, pool), nullptr, kPaged); // a page taken and given back
    ASSERT_EQ(QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY), 0);
    ASSERT_EQ(QORSysFlushPool(general, QORSysPoolFlag::FLUSH_DESTROY_IF_EMPTY), 0);
    EXPECT_DEATH(New(16, pool),
                 "^Invalid pool 0x[0-9a-f]+ in QORSpecializedNew: no live pool has this address: "
                 "pool used after it was destroyed\\?\n");
    EXPECT_DEATH(QORSysFlushPool(pool, 0), "^Invalid pool 0x[0-9a-f]+ in QORSysFlushPool: .*"
                                           "pool used after it was destroyed\\?");
    EXPECT_DEATH(QORSysOptimizePool(general, QORSysPoolFlag::OPTIMIZE_MERGE),
                 "in QORSysOptimizePool: .*pool used after it was destroyed\\?");
    EXPECT_DEATH(QORSysGetPoolInfo(general, stdout, nullptr, 0),
                 "in QORSysGetPoolInfo: .*pool used after it was destroyed\\?");
    EXPECT_DEATH(QORSpecializedNew(8, reinterpret_cast<void*>(2), general, 0),
                 "in QORSpecializedNew: .*pool used after it was destroyed\\?");
    EXPECT_DEATH(QORSpecializedDelete(New(8, nullptr), general),
                 "in QORSpecializedDelete: .*pool used after it was destroyed\\?");
}

// The pool's flags; -1: the fast pool (4).
class CheckedReleasedTwice : public testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(, CheckedReleasedTwice,
                         testing::Values(-1, 0, int(QORSysPoolFlag::TRACKED_FREE_LIST)),
                         [](const auto& info) {
                             return info.param < 0 ? "FastPool" : test::PoolFlagNames(info.param);
                         });

TEST_P(CheckedReleasedTwice, GeneralBlock) {
    void* pool = GetParam() < 0 ? reinterpret_cast<void*>(4) : QORSysCreatePool(GetParam(), 0);
    EXPECT_DEATH(GeneralBlockReleasedTwice(pool),
                 "^Invalid release of block 0x[0-9a-f]+ in QORSpecializedDelete: its header reads "
                 "as a free area \\(first word 0x[0-9a-f]+\\): released twice\\?\n");
}

// The release that empties a chunk resets it to one area: the block's header is then inside that
// area, and checked mode clears its in-use bit so that a second release still shows.
TEST(Checked, BlockReleasedTwiceAfterItsChunkOrPageEmptied) {
    void* general = QORSysCreatePool(0, 0);
    void* first = New(100, general);
    QORSpecializedDelete(first, nullptr);
    EXPECT_EQ(FieldsOf(general)->free, 32768u - 112u) << "the chunk is one free area again";
    EXPECT_DEATH(QORSpecializedDelete(first, nullptr), "released twice\\?");
    void* pool = QORSysCreatePool(kPaged, 0);
    void* keep = New(16, pool);
    void* block = New(16, pool);
    QORSpecializedDelete(block, nullptr, kPaged);
    EXPECT_DEATH(QORSpecializedDelete(block, nullptr, kPaged),
                 "^Invalid release of block 0x[0-9a-f]+ in QORSpecializedDelete: page "
                 "0x[0-9a-f]+ of paged pool 0x[0-9a-f]+ \\(class 16\\) has it among its released "
                 "blocks: released twice\n");
    QORSpecializedDelete(keep, nullptr, kPaged);
    // The page went back to its region with its last block: a release now finds it free.
    EXPECT_DEATH(QORSpecializedDelete(keep, nullptr, kPaged),
                 "(holds no block in use: released twice\\?|no live paged pool)");
}

// ---------------------------------------------------------------------------------------------
// Other mistakes checked mode names.

TEST(Checked, PagedPointerThatIsNoBlockOfAPagedPool) {
    void* pool = QORSysCreatePool(kPaged, 0);
    char* block = static_cast<char*>(New(24, pool));
    New(24, pool);
    EXPECT_DEATH(QORSpecializedDelete(block + 8, nullptr, kPaged),
                 "is not a block that the page handed out");
    EXPECT_DEATH(QORSpecializedDelete(block + 48, nullptr, kPaged),
                 "is not a block that the page handed out"); // not carved yet
    EXPECT_DEATH(QORSpecializedDelete(New(24, reinterpret_cast<void*>(4)), nullptr, kPaged),
                 "in QORSpecializedDelete with the paged flag: its page 0x[0-9a-f]+ names [^,]+, "
                 "which is no live paged pool");
}

TEST(Checked, BlockReleasedToAnotherPool) {
    void* a = QORSysCreatePool(0, 0);
    void* b = QORSysCreatePool(0, 0);
    void* paged = QORSysCreatePool(kPaged, 0);
    void* block = New(24, a);
    EXPECT_DEATH(QORSpecializedDelete(block, b), "to pool 0x[0-9a-f]+ in QORSpecializedDelete: "
                                                 "the block belongs to pool 0x[0-9a-f]+");
    EXPECT_DEATH(QORSpecializedDelete(New(24, paged), QORSysCreatePool(kPaged, 0), kPaged),
                 "to paged pool 0x[0-9a-f]+ in QORSpecializedDelete: its page 0x[0-9a-f]+ "
                 "belongs to 0x[0-9a-f]+");
}

TEST(Checked, OverwrittenHeaders) {
    void* pool = QORSysCreatePool(0, 0);
    auto* block = static_cast<std::uint64_t*>(New(24, pool));
    block[-1] = 1 << 20; // the size word
    EXPECT_DEATH(QORSpecializedDelete(block, nullptr),
                 "its header \\(size word 0x100000\\) does not fit chunk 0x[0-9a-f]+ of pool "
                 "0x[0-9a-f]+ \\(32768 bytes, block at offset 112\\): header overwritten\\?");
    block[-2] = 0x7000 | 1;
    EXPECT_DEATH(QORSpecializedDelete(block, nullptr),
                 "its header names 0x7000, which is no live chunk of a pool");
    static std::uint64_t notABlock[4] = {0, 0, 0, 0};
    EXPECT_DEATH(QORSpecializedDelete(&notABlock[2], nullptr), "released twice\\?");
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
    char text[512] = "";
    FILE* stream = fmemopen(text, sizeof text, "w");
    const int answer = QORSysCheckPool(pool, stream);
    std::fclose(stream);
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
