// Pages of the paged pool on their own: size classes, page capacity and reserved positions, and
// the chain of released blocks with its markers, built on hand-made pages.
#include "pagedpool/PagedPoolTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace qor::test {
namespace {

TEST(SizeClassTest, RoundsToTwoFourOrAMultipleOfEight) {
    EXPECT_EQ(SizeClassOf(0), 2u);
    EXPECT_EQ(SizeClassOf(1), 2u);
    EXPECT_EQ(SizeClassOf(2), 2u);
    EXPECT_EQ(SizeClassOf(3), 4u);
    EXPECT_EQ(SizeClassOf(5), 8u);
    EXPECT_EQ(SizeClassOf(8), 8u);
    EXPECT_EQ(SizeClassOf(9), 16u);
    EXPECT_EQ(SizeClassOf(17), 24u);
    EXPECT_EQ(SizeClassOf(10 + 6), 16u);
    EXPECT_EQ(SizeClassOf(4041), 4048u);
}

struct CapacityCase {
    std::uint16_t blockSize;
    int capacity;      // pages 1 to 127
    int page0Capacity; // page 0 also holds the region header and the delta word
};

class PageCapacityTest : public testing::TestWithParam<CapacityCase> {};

TEST_P(PageCapacityTest, MatchesTheTable) {
    const CapacityCase c = GetParam();
    AlignedBuffer buffer(2 * kPageBytes);
    EXPECT_EQ(PageCapacity(*MakePage(buffer, 1, c.blockSize)), c.capacity);
    EXPECT_EQ(PageCapacity(*MakePage(buffer, 0, c.blockSize)), c.page0Capacity);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PageCapacityTest,
                         testing::Values(CapacityCase{2, 2024, 2022}, CapacityCase{4, 1012, 1011},
                                         CapacityCase{8, 506, 505}, CapacityCase{16, 253, 252},
                                         CapacityCase{40, 101, 100}, CapacityCase{64, 63, 63},
                                         CapacityCase{1024, 3, 3}, CapacityCase{2024, 1, 1},
                                         CapacityCase{4040, 1, 0}, CapacityCase{4048, 0, 0},
                                         CapacityCase{65528, 0, 0}));

// Whatever the class, carved blocks never reach the page object, nor page 0's delta word.
TEST(PageCapacityTest, BlocksNeverOverlapThePageTail) {
    AlignedBuffer buffer(2 * kPageBytes);
    for (unsigned s = 2; s <= 4096; s = s < 8 ? 2 * s : s + 8) {
        const auto size = static_cast<std::uint16_t>(s);
        EXPECT_LE(PageCapacity(*MakePage(buffer, 1, size)) * s, kPageObjectOffset) << s;
        EXPECT_LE(PageCapacity(*MakePage(buffer, 0, size)) * s, kRegionDeltaOffset) << s;
    }
    *buffer.Page(1) = PageObject{};
    EXPECT_EQ(PageCapacity(*buffer.Page(1)), 0) << "a free page has no positions";
}

TEST(ReservedCountTest, CoversTheRegionHeaderOnPageZeroOnly) {
    AlignedBuffer buffer(2 * kPageBytes);
    struct {
        std::uint16_t blockSize, delta;
        int reserved;
    } const cases[] = {{2, 0, 16},   {4, 0, 8},   {8, 0, 4},   {16, 0, 2},  {40, 0, 1},
                       {2024, 0, 1}, {2, 16, 24}, {16, 16, 3}, {40, 16, 2}, {48, 16, 1}};
    for (const auto& c : cases) {
        EXPECT_EQ(ReservedCount(*MakePage(buffer, 0, c.blockSize, c.delta)), c.reserved)
            << "class " << c.blockSize << " delta " << c.delta;
        EXPECT_EQ(ReservedCount(*MakePage(buffer, 1, c.blockSize)), 0);
    }
}

// A class-16 page 0 (reserved positions 0 and 1) whose positions 2 to 9 have been handed out.
class ReleasedChainTest : public testing::Test {
protected:
    AlignedBuffer buffer{2 * kPageBytes};
    PageObject* page = MakePage(buffer, 0, 16);
    char* start = buffer.data();

    void SetUp() override { page->carved = 10; }
};

TEST_F(ReleasedChainTest, RefusesPointersThatWereNeverHandedOut) {
    // With an empty chain, then with one released block in it.
    for (int released = 0; released < 2; ++released) {
        const std::uint16_t count = page->freeCount;
        void* const head = page->freeBlocks;
        EXPECT_FALSE(PutBlock(*page, nullptr));
        EXPECT_FALSE(PutBlock(*page, start + 81)) << "odd";
        EXPECT_FALSE(PutBlock(*page, start + 84)) << "not a multiple of 8";
        EXPECT_FALSE(PutBlock(*page, start + 40)) << "middle of a block";
        EXPECT_FALSE(PutBlock(*page, start + 0)) << "region header";
        EXPECT_FALSE(PutBlock(*page, start + 16)) << "region header";
        EXPECT_FALSE(PutBlock(*page, start + 160)) << "untouched position";
        EXPECT_FALSE(PutBlock(*page, start + kPageObjectOffset)) << "the page object";
        EXPECT_FALSE(PutBlock(*page, start + kPageBytes)) << "the page end";
        page->blockSize = 0;
        EXPECT_FALSE(PutBlock(*page, start + 32)) << "a free page";
        page->blockSize = 16;
        EXPECT_EQ(page->freeCount, count);
        EXPECT_EQ(page->freeBlocks, head);
        ASSERT_TRUE(PutBlock(*page, start + 48 + 16 * released));
    }
}

TEST_F(ReleasedChainTest, ALinkLeadingOffTheHandedOutPositionsEndsTheChain) {
    ASSERT_TRUE(PutBlock(*page, start + 32));
    ASSERT_TRUE(PutBlock(*page, start + 64));
    const std::int16_t toUntouched = 320 - 64; // position 20 was never handed out
    std::memcpy(start + 64, &toUntouched, sizeof(toUntouched));
    EXPECT_EQ(TakeFreeBlock(*page), start + 64);
    EXPECT_EQ(page->freeBlocks, nullptr);
    EXPECT_EQ(TakeFreeBlock(*page), nullptr) << "the block behind the damaged link is lost";
    EXPECT_EQ(page->freeCount, 1) << "but still counted, so that the page can become empty";
}

TEST(ReleasedChainSmallTest, ClassTwoBlocksCarryNoMarkers) {
    AlignedBuffer small(2 * kPageBytes);
    PageObject* p = MakePage(small, 1, 2);
    p->carved = 8;
    char* b = small.data() + kPageBytes;
    std::memset(b, 0x5A, 16);
    ASSERT_TRUE(PutBlock(*p, b + 2));
    ASSERT_TRUE(PutBlock(*p, b + 6));
    EXPECT_EQ(LinkAt(b + 6), -4);
    EXPECT_EQ(static_cast<unsigned char>(b[8]), 0x5A) << "nothing written behind the link";
    EXPECT_FALSE(PutBlock(*p, b + 5)) << "odd";
    EXPECT_EQ(TakeFreeBlock(*p), b + 6);
    EXPECT_EQ(TakeFreeBlock(*p), b + 2);
}

// A released block whose marker was overwritten is never handed out; the page still counts it.
struct DamageCase {
    std::uint16_t blockSize;
    int damagedOffset;
};

class DamagedMarkerTest : public testing::TestWithParam<DamageCase> {};

TEST_P(DamagedMarkerTest, DropsTheChainAndKeepsTheCount) {
    const DamageCase c = GetParam();
    AlignedBuffer buffer(2 * kPageBytes);
    PageObject* page = MakePage(buffer, 1, c.blockSize);
    page->carved = 4;
    char* start = buffer.data() + kPageBytes;
    char* first = start + c.blockSize;
    char* second = start + 2 * c.blockSize;
    ASSERT_TRUE(PutBlock(*page, first));
    ASSERT_TRUE(PutBlock(*page, second));
    second[c.damagedOffset] ^= 0x11;

    EXPECT_EQ(TakeFreeBlock(*page), nullptr);
    EXPECT_EQ(page->freeBlocks, nullptr);
    EXPECT_EQ(TakeFreeBlock(*page), nullptr) << "neither block comes back";
    EXPECT_EQ(page->freeCount, 2);
    EXPECT_FALSE(IsPageEmpty(*page));
    ASSERT_TRUE(PutBlock(*page, start));
    ASSERT_TRUE(PutBlock(*page, start + 3 * c.blockSize));
    EXPECT_TRUE(IsPageEmpty(*page)) << "every handed-out block is back";
}

INSTANTIATE_TEST_SUITE_P(Markers, DamagedMarkerTest,
                         testing::Values(DamageCase{4, 2}, DamageCase{4, 3}, DamageCase{8, 2},
                                         DamageCase{8, 4}, DamageCase{16, 7}, DamageCase{1024, 5}));

TEST(PutBlockDeathTest, ABlockOutsideItsPageStopsTheProcess) {
    AlignedBuffer wide(4 * kPageBytes);
    PageObject* middle = MakePage(wide, 1, 16);
    middle->carved = 4;
    EXPECT_DEATH(PutBlock(*middle, wide.data() + 3 * kPageBytes), "Invalid Page Object in Page");
    EXPECT_DEATH(PutBlock(*middle, wide.data() + 16), "Invalid Page Object in Page");
}

} // namespace
} // namespace qor::test
