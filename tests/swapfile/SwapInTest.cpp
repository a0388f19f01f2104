// Swap-in: a page comes back whole, from its buffer when it still has one; a large object comes
// back with the small records of its tail page; and the guarantees of a page read that runs short
// of zone room: nothing lost or read twice, the asked-for object never swapped out again during
// its own read, handles of objects that went out again holding their new locators.
#include "SwapFileTestSupport.h"

using namespace qor;
using namespace qor::test;

namespace {

class SwapInTest : public SwapFileTest {
protected:
    void SetUp() override {
        SwapFileTest::SetUp();
        file = &Open(4096, 4096, 1 << 20); // one 32 KB chunk: 32656 bytes of zone
    }
    void Reopen(std::size_t zone) {
        Close(*file);
        file = &Open(zone, 4096, 1 << 20);
    }
    void SwapOut(std::initializer_list<BlobRef*> refs) {
        for (BlobRef* ref : refs)
            ASSERT_EQ(file->SwapOutObject(ref->Permanent()), 0);
    }
    // Takes the whole (empty) zone but one free area of `room` bytes (a multiple of 8, > 16).
    void PinZoneLeaving(std::size_t room) {
        GeneralPool* pool = SF::Pool(*file);
        ASSERT_NE(pool->IsEmpty(), 0);
        pin_ = pool->Allocate(pool->chunk.free - 16 - room, 0);
        ASSERT_NE(pin_, nullptr);
        ASSERT_EQ(pool->chunk.free, room);
    }
    void Unpin() { SF::Pool(*file)->Free(pin_, nullptr); }
    std::vector<QORSysSwappable*> InMemory(std::initializer_list<BlobRef*> refs) {
        std::vector<QORSysSwappable*> objects;
        for (BlobRef* ref : refs)
            objects.push_back(reinterpret_cast<QORSysSwappable*>(ref->Object()));
        return objects;
    }
    const unsigned char* Index() { return SF::PageIndex(*file); }

    QORSysSwapFile* file = nullptr;
    void* pin_ = nullptr;
};

class SwapInPageKindTest : public SwapInTest, public testing::WithParamInterface<bool> {
protected:
    bool Written() const { return GetParam(); }
};

} // namespace

TEST_F(SwapInTest, RecallBringsBackTheWholePageInPageOrder) {
    BlobRef w(MakeBlob(*file, 400, 0));
    BlobRef x(MakeBlob(*file, 2000, 1)), y(MakeBlob(*file, 2000, 2)), z(MakeBlob(*file, 4176, 3));
    SwapOut({&x, &y, &z}); // 8176 bytes: page 0 is written
    ASSERT_TRUE(Buffers(*file).empty());
    const std::uint64_t used = SF::ZoneUsed(*file);

    EXPECT_EQ(file->RecallObject(y.Permanent()), 0);
    EXPECT_FALSE(x.OnDisk() || y.OnDisk() || z.OnDisk());
    EXPECT_EQ(AgeList(*file), InMemory({&w, &x, &y, &z}));
    EXPECT_TRUE(x.Get()->Intact(1) && y.Get()->Intact(2) && z.Get()->Intact(3));
    EXPECT_EQ(SF::ZoneUsed(*file), used + 8176);
    EXPECT_EQ(Index()[0], SF::PageCount(*file));
    EXPECT_TRUE(PageBookkeepingHolds(*file));

    const std::uint64_t address = y.Object();
    EXPECT_EQ(file->RecallObject(y.Permanent()), 0); // in memory: nothing to do
    EXPECT_EQ(y.Object(), address);
    EXPECT_EQ(file->RecallObject(nullptr), kFail);
    QORSysSwappableHdl empty;
    EXPECT_EQ(file->RecallObject(&empty), kFail);
}

TEST_F(SwapInTest, BufferedPageIsReadWithoutTheFile) {
    BlobRef a(MakeBlob(*file, 8192, 1));
    SwapOut({&a});
    ASSERT_TRUE(a.Get()->Intact(1)); // page 0 is free again, its old bytes stay in the file
    BlobRef b(MakeBlob(*file, 1000, 2)), c(MakeBlob(*file, 2000, 3));
    SwapOut({&b, &c});
    ASSERT_EQ(b.Object(), Locator(0, 0));
    WriteLog::Start(0);

    EXPECT_TRUE(b.Get()->Intact(2));
    EXPECT_EQ(WriteLog::count, 0u);
    EXPECT_FALSE(c.OnDisk());
    EXPECT_TRUE(c.Get()->Intact(3));
    EXPECT_EQ(AgeList(*file), InMemory({&a, &b, &c})); // no second copy of the file's record
    EXPECT_TRUE(Buffers(*file).empty());
    EXPECT_EQ(Index()[0], SF::PageCount(*file));
    EXPECT_EQ(WordAt(ReadFilePage(PathOf(SF::Stream(*file)), 0).data(), 8), kPage);
}

TEST_F(SwapInTest, LargeObjectComesBackWithTheRecordsOfItsTailPage) {
    Reopen(65536);
    BlobRef fillers[3] = {BlobRef(MakeBlob(*file, 8192, 1)), BlobRef(MakeBlob(*file, 8192, 2)),
                          BlobRef(MakeBlob(*file, 8192, 3))};
    BlobRef large(MakeBlob(*file, 20000, 4));
    BlobRef s1(MakeBlob(*file, 2288, 5)), s2(MakeBlob(*file, 2272, 6));
    SwapOut({&fillers[0], &fillers[1], &fillers[2], &large, &s1, &s2});
    ASSERT_EQ(large.Object(), Locator(3, 0));
    ASSERT_EQ(s1.Object(), Locator(5, 3616));
    ASSERT_EQ(s2.Object(), Locator(5, 5904));
    ASSERT_TRUE(Buffers(*file).empty()); // the tail page filled up and was written

    EXPECT_TRUE(large.Get()->Intact(4));
    EXPECT_EQ(AgeList(*file), InMemory({&s1, &s2, &large}));
    EXPECT_TRUE(s1.Get()->Intact(5) && s2.Get()->Intact(6));
    EXPECT_EQ(SF::FirstFreePage(*file), 3);
    EXPECT_NE(Index()[3] & Index()[4] & Index()[5], 0);
    EXPECT_EQ(SwapFileInternals::TailOf(*file, 5), 0);
    EXPECT_TRUE(Buffers(*file).empty());
    EXPECT_TRUE(PageBookkeepingHolds(*file));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(fillers[i].OnDisk());
}

TEST_F(SwapInTest, LargeObjectWithoutZoneRoomStaysOnItsPages) {
    BlobRef large(MakeBlob(*file, 20000, 1));
    SwapOut({&large});
    PinZoneLeaving(8000);
    EXPECT_EQ(large.Get(), nullptr);
    EXPECT_EQ(file->RecallObject(large.Permanent()), 0); // done, though nothing came back
    EXPECT_EQ(large.Object(), 1u);
    EXPECT_EQ(Index()[0] | Index()[1] | Index()[2], 0);
    ASSERT_NE(BufferOf(*file, 2), nullptr);
    Unpin();
    EXPECT_TRUE(large.Get()->Intact(1));
    EXPECT_TRUE(PageBookkeepingHolds(*file));
}

TEST_P(SwapInPageKindTest, TailPageReadFromASmallRecordKeepsTheTail) {
    Reopen(65536);
    BlobRef large(MakeBlob(*file, 20000, 1));
    BlobRef s1(MakeBlob(*file, Written() ? 2288 : 200, 2));
    BlobRef s2(MakeBlob(*file, Written() ? 2272 : 320, 3));
    SwapOut({&large, &s1, &s2}); // pages 0 to 2; the small records follow the tail on page 2
    ASSERT_EQ(large.Object(), 1u);
    ASSERT_EQ(Buffers(*file).empty(), Written());

    EXPECT_TRUE(s1.Get()->Intact(2));
    EXPECT_FALSE(s2.OnDisk());
    EXPECT_EQ(AgeList(*file), InMemory({&s1, &s2}));
    EXPECT_EQ(Index()[0] | Index()[1] | Index()[2], 0); // the tail keeps its page booked
    ASSERT_EQ(Buffers(*file).size(), 1u);
    EXPECT_EQ(Buffers(*file)[0]->pageNumber, 2u);
    EXPECT_EQ(Buffers(*file)[0]->used, 3616);
    EXPECT_EQ(large.Object(), 1u);

    EXPECT_TRUE(large.Get()->Intact(1));
    EXPECT_EQ(AgeList(*file), InMemory({&s1, &s2, &large}));
    EXPECT_TRUE(s2.Get()->Intact(3));
    EXPECT_TRUE(Buffers(*file).empty());
    EXPECT_EQ(Index()[0], SF::PageCount(*file));
    EXPECT_TRUE(PageBookkeepingHolds(*file));
}

TEST_P(SwapInPageKindTest, ZoneTooSmallMidPageLeavesTheRestReadable) {
    BlobRef x(MakeBlob(*file, 240, 1)), y(MakeBlob(*file, 2720, 2)), z(MakeBlob(*file, 2720, 3));
    BlobRef w(MakeBlob(*file, Written() ? 2496 : 80, 4)); // 8176 in all when written
    SwapOut({&x, &y, &z, &w});
    ASSERT_EQ(Buffers(*file).empty(), Written());
    PinZoneLeaving(264); // room for x only

    QORSysSwappable* out = nullptr;
    EXPECT_EQ(SF::SwapInPage(*file, 0, 0, &out), kFail);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(x.Object(), Addr(out));
    EXPECT_EQ(AgeList(*file), std::vector<QORSysSwappable*>{out});
    EXPECT_EQ(y.Object(), Locator(0, 240));
    EXPECT_EQ(z.Object(), Locator(0, 2960));
    EXPECT_EQ(Index()[0], 0); // still booked, and readable from its buffer
    ASSERT_NE(BufferOf(*file, 0), nullptr);
    EXPECT_EQ(WordAt(reinterpret_cast<unsigned char*>(BufferOf(*file, 0)->data), 0),
              Addr(SF::Pool(*file)) | 3); // x is marked as back
    EXPECT_EQ(SF::ZoneUsed(*file), 240u);

    // A read asked for y: x, no longer the object asked for, makes room by going to page 1, and
    // its record on page 0 is not brought back a second time. Still no room: y stays on disk.
    EXPECT_EQ(file->RecallObject(y.Permanent()), 0);
    EXPECT_TRUE(y.OnDisk());
    EXPECT_EQ(x.Object(), Locator(1, 0));
    EXPECT_TRUE(AgeList(*file).empty());

    Unpin();
    EXPECT_TRUE(y.Get()->Intact(2));
    EXPECT_EQ(AgeList(*file), InMemory({&y, &z, &w}));
    EXPECT_TRUE(x.Get()->Intact(1) && z.Get()->Intact(3) && w.Get()->Intact(4));
    EXPECT_EQ(AgeList(*file), InMemory({&y, &z, &w, &x}));
    EXPECT_TRUE(Buffers(*file).empty());
    EXPECT_EQ(Index()[0], SF::PageCount(*file));
    EXPECT_TRUE(PageBookkeepingHolds(*file));
}

INSTANTIATE_TEST_SUITE_P(BufferedOrWritten, SwapInPageKindTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "Written" : "Buffered"; });

TEST_F(SwapInTest, AskedForObjectIsNeverSwappedOutDuringItsOwnRead) {
    BlobRef x(MakeBlob(*file, 240, 1)), y(MakeBlob(*file, 2720, 2));
    SwapOut({&x, &y});
    PinZoneLeaving(264); // y cannot come back; x is the only object that could make room

    Blob* back = x.Get();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(x.Object(), Addr(back));
    EXPECT_EQ(AgeList(*file), std::vector<QORSysSwappable*>{back});
    EXPECT_TRUE(back->Intact(1));
    EXPECT_TRUE(y.OnDisk());
    Unpin();
    EXPECT_TRUE(y.Get()->Intact(2));
    EXPECT_EQ(AgeList(*file), InMemory({&x, &y}));
}

TEST_F(SwapInTest, ObjectSwappedOutAgainDuringTheSameReadHoldsItsNewLocator) {
    BlobRef x(MakeBlob(*file, 4000, 1)), y(MakeBlob(*file, 3000, 2));
    SwapOut({&x, &y});
    PinZoneLeaving(4104); // x comes back first; y only fits once x has gone out again

    Blob* back = y.Get();
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->Intact(2));
    EXPECT_EQ(x.Object(), Locator(1, 0)); // page 0 was being read: x went to page 1
    EXPECT_EQ(AgeList(*file), std::vector<QORSysSwappable*>{back});
    EXPECT_NE(Index()[0], 0);
    EXPECT_EQ(Index()[1], 0);
    Unpin();
    EXPECT_TRUE(x.Get()->Intact(1));
    EXPECT_EQ(AgeList(*file), InMemory({&y, &x}));
    EXPECT_TRUE(PageBookkeepingHolds(*file));
}

TEST_F(SwapInTest, AllocationMakesRoomFromTheOldestEnd) {
    std::vector<BlobRef> refs;
    for (int i = 0; i < 8; ++i) // 7 fit in 32656 bytes counted as 4088 each
        refs.emplace_back(MakeBlob(*file, 4096, i));
    EXPECT_TRUE(refs[0].OnDisk());
    for (int i = 1; i < 8; ++i)
        EXPECT_FALSE(refs[i].OnDisk()) << i;
    EXPECT_EQ(SF::FindAvailableZoneInPool(*file, SF::ZoneCapacity(*file) + 1), nullptr);

    // A buffer taken out of the list is the caller's: written here to its page, it is read back
    // from the file.
    EXPECT_EQ(SF::PageInPreSwapSpace(*file, 5), nullptr);
    auto* buffer = static_cast<SF::Buffer*>(SF::PageInPreSwapSpace(*file, 0));
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->pageNumber, 0u);
    EXPECT_TRUE(Buffers(*file).empty());
    EXPECT_EQ(SF::DirectCopyToFile(*file, 0, buffer->data, kPage), 0);
    ::operator delete(buffer);
    EXPECT_TRUE(refs[0].Get()->Intact(0));
    EXPECT_TRUE(refs[1].OnDisk()); // made room for it
}
