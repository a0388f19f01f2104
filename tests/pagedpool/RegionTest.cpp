// Regions and region lists: 128 pages per region, the search from `current`, where a region goes
// when it regains a page, when an entirely free region is given back, a region that does not
// start on a 4 KB boundary, and the fatal stops of broken regions and lists.
#include "pagedpool/PagedPoolTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <vector>

namespace qor::test {
namespace {

std::vector<Region*> Chain(const RegionList& list) {
    std::vector<Region*> chain;
    for (Region* r = list.first; r != nullptr; r = r->next) {
        EXPECT_EQ(r->prev, chain.empty() ? nullptr : chain.back());
        chain.push_back(r);
    }
    EXPECT_EQ(list.last, chain.empty() ? nullptr : chain.back());
    return chain;
}

// Takes `count` pages of class 16 from the list for `pool`.
std::vector<PageObject*> TakePages(RegionList* list, int count, PagedPool* pool = nullptr) {
    std::vector<PageObject*> pages;
    for (int i = 0; i < count; ++i) {
        pages.push_back(list->GetPage(16, pool));
        EXPECT_NE(pages.back(), nullptr);
    }
    return pages;
}

// A list of its own for each test; its regions go back at the end.
class RegionListTest : public testing::Test {
protected:
    RegionList* list = new RegionList{};
    void TearDown() override {
        DestroyRegionList(list);
        delete list;
    }
};

TEST_F(RegionListTest, ARegionHands128PagesThenTheListGrows) {
    const std::vector<PageObject*> pages = TakePages(list, 128);
    Region* first = list->first;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(gRegionDelta, 0);
    for (unsigned i = 0; i < 128; ++i) {
        EXPECT_EQ(pages[i], first->PageAt(i));
        EXPECT_EQ(pages[i]->index, i);
        EXPECT_EQ(pages[i]->nextFreePage, kPageInUse);
        EXPECT_EQ(RegionOfPage(pages[i]), first);
    }
    EXPECT_EQ(first->PageAt(0)->PageStart(), reinterpret_cast<char*>(first));
    EXPECT_EQ(first->pagesIssued, 128);
    EXPECT_EQ(first->freePages, 0);
    EXPECT_EQ(first->GetPage(16, nullptr), nullptr);

    PageObject* next = list->GetPage(16, nullptr);
    ASSERT_NE(next, nullptr);
    Region* second = list->current;
    EXPECT_NE(second, first);
    EXPECT_EQ(RegionOfPage(next), second);
    EXPECT_EQ(next->index, 0);
    EXPECT_EQ(Chain(*list), (std::vector<Region*>{first, second}));
}

TEST_F(RegionListTest, AFullRegionThatRegainsAPageGoesRightBehindCurrent) {
    std::vector<PageObject*> firstPages = TakePages(list, 128);
    Region* first = list->first;
    TakePages(list, 1);
    Region* second = list->current;

    // Pages with blocks in use are not taken back.
    firstPages[5]->carved = 1;
    ReleasePageToRegion(firstPages[5]);
    EXPECT_EQ(first->freePages, 0);
    firstPages[5]->carved = 0;

    ReleasePageToRegion(firstPages[5]);
    EXPECT_EQ(first->freePages, 1);
    EXPECT_EQ(first->freePageHead, 5);
    EXPECT_EQ(firstPages[5]->blockSize, 0);
    EXPECT_EQ(list->current, second);
    EXPECT_EQ(Chain(*list), (std::vector<Region*>{second, first}));

    // The search goes from current onward: the rest of `second`, then the freed page of `first`.
    TakePages(list, 127);
    EXPECT_EQ(second->freePages, 0);
    PageObject* reused = list->GetPage(16, nullptr);
    EXPECT_EQ(reused, firstPages[5]);
    EXPECT_EQ(list->current, first);

    // With no current region (the last search found nothing), the region becomes current.
    list->current = nullptr;
    ReleasePageToRegion(second->PageAt(7));
    EXPECT_EQ(list->current, second);
    EXPECT_EQ(Chain(*list), (std::vector<Region*>{first, second}));
}

TEST_F(RegionListTest, FreePagesAreReusedMostRecentFirst) {
    std::vector<PageObject*> pages = TakePages(list, 6);
    Region* region = list->first;
    ReleasePageToRegion(pages[2]);
    ReleasePageToRegion(pages[0]);
    EXPECT_EQ(region->freePages, 124);
    PageObject* again = list->GetPage(40, nullptr);
    EXPECT_EQ(again, pages[0]);
    EXPECT_EQ(again->carved, 1) << "page 0 keeps its header positions";
    EXPECT_EQ(again->blockSize, 40);
    EXPECT_EQ(list->GetPage(16, nullptr), pages[2]);
    EXPECT_EQ(list->GetPage(16, nullptr)->index, 6) << "then fresh pages";
    EXPECT_EQ(region->GetPage(0x10000, nullptr), nullptr);
    EXPECT_EQ(region->freePages, 121);
}

// Which list a pool's flags choose, and what it does with a region that becomes entirely free.
struct ListCase {
    std::uint32_t flags;
    bool privateList;
    std::uint32_t mode;
};

class RegionListModeTest : public testing::TestWithParam<ListCase> {};

TEST_P(RegionListModeTest, EntirelyFreeRegionsGoBackOnlyWithModeBitOne) {
    const ListCase c = GetParam();
    PagedPoolHandle pool(c.flags);
    RegionList* list = pool->Regions();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->owner, c.privateList ? pool.get() : nullptr);
    EXPECT_EQ(list->mode, c.mode);
    if (!c.privateList) {
        EXPECT_EQ(list, (c.flags & Flag::VOLATILE) ? SharedRegionListA() : SharedRegionListB());
    }

    std::vector<PageObject*> pages = TakePages(list, 128, pool.get());
    Region* first = list->first;
    PageObject* other = list->GetPage(16, pool.get());
    Region* second = list->current;
    for (PageObject* page : pages)
        ReleasePageToRegion(page);
    if (c.mode & RegionList::kReleaseEmptyRegions) {
        EXPECT_EQ(Chain(*list), std::vector<Region*>{second});
    } else {
        EXPECT_EQ(Chain(*list), (std::vector<Region*>{second, first}));
        EXPECT_EQ(first->freePages, 128);
    }

    // The current region stays, entirely free, in every mode.
    ReleasePageToRegion(other);
    EXPECT_EQ(list->current, second);
    EXPECT_EQ(second->freePages, 128);
    EXPECT_EQ(second->parent, list);
}

INSTANTIATE_TEST_SUITE_P(Flags, RegionListModeTest,
                         testing::Values(ListCase{0x28 | 0x40, true, 3},
                                         ListCase{0x8 | 0x40, true, 3},
                                         ListCase{0x20 | 0x40, true, 3}, ListCase{0x20, true, 2},
                                         ListCase{0x8, true, 2}, ListCase{0x40, false, 1},
                                         ListCase{0, false, 0}));

TEST(RegionListModeTest, APrivateListServesOnlyItsPool) {
    PagedPoolHandle owner(Flag::FLUSHABLE);
    PagedPoolHandle stranger;
    void* block = owner->Allocate(16, 0);
    ASSERT_NE(block, nullptr);
    Region* region = owner->Regions()->first;
    EXPECT_EQ(region->GetPage(16, stranger.get()), nullptr);
    EXPECT_EQ(region->freePages, 127);
    owner->Free(block, nullptr);
}

// A region 16 bytes past a 4 KB boundary: the grid starts at that boundary.
class UnalignedRegionTest : public testing::Test {
protected:
    AlignedBuffer buffer{kRegionBytes + 2 * kPageBytes};
    RegionList list{};
};

TEST_F(UnalignedRegionTest, GridReservedPositionsAndTheWayBackFromAPage) {
    auto* region = new (buffer.data() + 16) Region(&list);
    EXPECT_EQ(region->delta, 16);
    EXPECT_EQ(gRegionDelta, 16);
    EXPECT_EQ(region->GridBase(), buffer.data());
    EXPECT_EQ(Chain(list), std::vector<Region*>{region});
    EXPECT_EQ(list.current, region);
    // The grid's last page ends 16 bytes before the end of a 0x80000-byte block at the region.
    EXPECT_EQ(region->PageAt(127)->PageStart() + kPageBytes,
              reinterpret_cast<char*>(region) + kRegionBytes - 16);

    std::vector<PageObject*> pages;
    for (int i = 0; i < 6; ++i)
        pages.push_back(region->GetPage(16, nullptr));
    EXPECT_EQ(pages[0], buffer.Page(0));
    EXPECT_EQ(ReservedCount(*pages[0]), 3) << "ceil((16 + 32) / 16)";
    EXPECT_EQ(pages[0]->carved, 3);
    std::uint16_t storedDelta;
    std::memcpy(&storedDelta, buffer.data() + kRegionDeltaOffset, sizeof(storedDelta));
    EXPECT_EQ(storedDelta, 16);
    EXPECT_EQ(pages[5], reinterpret_cast<PageObject*>(buffer.data() + 5 * kPageBytes + 4048));

    ReleasePageToRegion(pages[5]);
    EXPECT_EQ(region->freePageHead, 5);
    EXPECT_EQ(region->freePages, 123);
    ReleasePageToRegion(pages[0]);
    EXPECT_EQ(region->freePageHead, 0);

    PageObject* again = region->GetPage(48, nullptr);
    EXPECT_EQ(again, pages[0]);
    EXPECT_EQ(again->carved, 1) << "ceil(48 / 48)";

    // Another region with the same delta is fine; one with another delta is fatal.
    AlignedBuffer more(kRegionBytes + kPageBytes);
    RegionList other{};
    EXPECT_EQ((new (more.data() + 16) Region(&other))->delta, 16);
    EXPECT_DEATH((void)new (more.data() + 32) Region(&other),
                 "Invalid internal assumption on delta repetability");
}

TEST_F(UnalignedRegionTest, ADeltaThatLeavesNoRoomForTheGridIsFatal) {
    EXPECT_DEATH(
        {
            auto* region = new (buffer.data() + 4016) Region(&list);
            region->GetPage(16, nullptr);
        },
        "Overlapping Page Detected");
}

TEST_F(UnalignedRegionTest, ARegionNeedsAList) {
    EXPECT_DEATH((void)new (buffer.data()) Region(nullptr), "Parentless Region");
}

TEST_F(UnalignedRegionTest, AListWithAFirstButNoLastRegionIsFatal) {
    auto* region = new (buffer.data()) Region(&list);
    list.last = nullptr;
    EXPECT_DEATH(list.Unlink(region), "Invalid Last Region");
}

} // namespace
} // namespace qor::test
