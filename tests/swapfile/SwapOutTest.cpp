// Swap-out and the file format: small records gathered first fit in page buffers, large records
// on runs of pages with their tails buffered, the release of pages (FreeIndex), the eviction of
// the fullest buffers, the make-room round, and failed writes that must book nothing.
#include "SwapFileTestSupport.h"

using namespace qor;
using namespace qor::test;

namespace {

class SwapOutTest : public SwapFileTest {
protected:
    void SetUp() override {
        SwapFileTest::SetUp();
        file = &Open(65536, 4096, 1 << 20);
    }
    // The record that swap-out must write: owner word pool | 1, size word, the object's bytes.
    std::vector<unsigned char> RecordOf(Blob* blob) {
        const auto* start = reinterpret_cast<const unsigned char*>(HeaderOf(blob));
        std::vector<unsigned char> record(start, start + HeaderOf(blob)->sizeWord);
        const std::uint64_t owner = Addr(SF::Pool(*file)) | 1;
        std::memcpy(record.data(), &owner, sizeof owner);
        return record;
    }
    static bool Holds(const void* bytes, const std::vector<unsigned char>& record) {
        return std::memcmp(bytes, record.data(), record.size()) == 0;
    }
    std::string Path() { return PathOf(SF::Stream(*file)); }
    const unsigned char* Index() { return SF::PageIndex(*file); }

    QORSysSwapFile* file = nullptr;
};

} // namespace

TEST_F(SwapOutTest, SmallRecordsShareBuffersFirstFitAndAFullPageIsWritten) {
    BlobRef refs[4] = {BlobRef(MakeBlob(*file, 4096, 1)), BlobRef(MakeBlob(*file, 4000, 2)),
                       BlobRef(MakeBlob(*file, 200, 3)), BlobRef(MakeBlob(*file, 80, 4))};
    // A record keeps the age links as they were when it left: snapshots right before each move.
    std::vector<unsigned char> records[4];
    const auto swapOut = [&](int i) {
        records[i] = RecordOf(refs[i].Get());
        return file->SwapOutObject(refs[i].Permanent());
    };
    WriteLog::Start();

    ASSERT_EQ(swapOut(0), 0);
    EXPECT_EQ(refs[0].Object(), 1u);
    ASSERT_EQ(Buffers(*file).size(), 1u);
    EXPECT_EQ(Buffers(*file)[0]->pageNumber, 0u);
    EXPECT_EQ(Buffers(*file)[0]->used, 4096);
    EXPECT_EQ(SF::FirstFreePage(*file), 1);
    EXPECT_EQ(SF::PageHighWater(*file), 1);

    ASSERT_EQ(swapOut(1), 0);
    EXPECT_EQ(refs[1].Object(), 4097u);
    EXPECT_EQ(Buffers(*file)[0]->used, 8096);

    ASSERT_EQ(swapOut(2), 0); // 96 bytes left: a new page
    EXPECT_EQ(refs[2].Object(), 16385u);
    ASSERT_EQ(Buffers(*file).size(), 2u);
    EXPECT_EQ(Buffers(*file)[1]->pageNumber, 1u);
    EXPECT_EQ(Buffers(*file)[1]->used, 200);
    EXPECT_EQ(WriteLog::count, 0u);

    ASSERT_EQ(swapOut(3), 0); // 8176: page 0 goes to the file
    EXPECT_EQ(refs[3].Object(), 8097u);
    EXPECT_EQ(WriteLog::Lengths(), std::vector<std::size_t>{kPage});
    ASSERT_EQ(Buffers(*file).size(), 1u);
    EXPECT_EQ(Buffers(*file)[0]->pageNumber, 1u);
    EXPECT_EQ(SF::PreSwapPages(*file), Buffers(*file)[0]);
    EXPECT_EQ(SF::Oldest(*file), nullptr);
    EXPECT_EQ(SF::ZoneUsed(*file), 0u);
    EXPECT_TRUE(PageBookkeepingHolds(*file));
    EXPECT_TRUE(Holds(Buffers(*file)[0]->data, records[2]));

    const std::vector<unsigned char> page = ReadFilePage(Path(), 0);
    const std::size_t offsets[] = {0, 4096, 0, 8096};
    for (int i : {0, 1, 3}) {
        EXPECT_EQ(WordAt(page.data(), offsets[i]), Addr(SF::Pool(*file)) | 1) << i;
        EXPECT_TRUE(Holds(page.data() + offsets[i], records[i])) << i;
    }
    EXPECT_TRUE(std::all_of(page.begin() + 8176, page.end(), [](unsigned char c) { return !c; }));
}

TEST_F(SwapOutTest, FullPageRecordIsWrittenAtOnce) {
    BlobRef ref(MakeBlob(*file, 8192, 1));
    const std::vector<unsigned char> record = RecordOf(ref.Get());
    WriteLog::Start();
    ASSERT_EQ(file->SwapOutObject(ref.Permanent()), 0);
    EXPECT_EQ(ref.Object(), 1u);
    EXPECT_EQ(WriteLog::Lengths(), std::vector<std::size_t>{kPage});
    EXPECT_TRUE(Buffers(*file).empty());
    EXPECT_EQ(Index()[0], 0);
    EXPECT_TRUE(Holds(ReadFilePage(Path(), 0).data(), record));
}

TEST_F(SwapOutTest, LargeRecordTakesARunAndBuffersItsTail) {
    BlobRef fillers[3] = {BlobRef(MakeBlob(*file, 8192, 1)), BlobRef(MakeBlob(*file, 8192, 2)),
                          BlobRef(MakeBlob(*file, 8192, 3))};
    BlobRef large(MakeBlob(*file, 20000, 4));
    for (BlobRef& filler : fillers)
        ASSERT_EQ(file->SwapOutObject(filler.Permanent()), 0);
    const std::vector<unsigned char> record = RecordOf(large.Get());
    EXPECT_EQ(fillers[2].Object(), Locator(2, 0));
    ASSERT_EQ(SF::FirstFreePage(*file), 3);

    WriteLog::Start();
    ASSERT_EQ(file->SwapOutObject(large.Permanent()), 0);
    EXPECT_EQ(large.Object(), 49153u);
    EXPECT_EQ(WriteLog::Lengths(), std::vector<std::size_t>{20000});
    for (int page = 3; page <= 5; ++page)
        EXPECT_EQ(Index()[page], 0) << page;
    EXPECT_EQ(SF::FirstFreePage(*file), 6);
    EXPECT_EQ(SF::PageHighWater(*file), 6);
    ASSERT_EQ(Buffers(*file).size(), 1u);
    SF::Buffer* tail = Buffers(*file)[0];
    EXPECT_EQ(tail->pageNumber, 5u);
    EXPECT_EQ(tail->used, 3616);
    EXPECT_EQ(std::memcmp(tail->data, record.data() + 16384, 3616), 0);
    EXPECT_EQ(SwapFileInternals::TailOf(*file, 5), 3616);
    EXPECT_TRUE(PageBookkeepingHolds(*file));

    std::vector<unsigned char> onDisk;
    for (int page = 3; page <= 5; ++page) {
        const std::vector<unsigned char> bytes = ReadFilePage(Path(), page);
        onDisk.insert(onDisk.end(), bytes.begin(), bytes.end());
    }
    EXPECT_TRUE(Holds(onDisk.data(), record));
}

TEST_F(SwapOutTest, LargeRecordMayStartAtPageZero) {
    BlobRef large(MakeBlob(*file, 20000, 1));
    ASSERT_EQ(file->SwapOutObject(large.Permanent()), 0);
    EXPECT_EQ(large.Object(), 1u);
    EXPECT_EQ(SF::FirstFreePage(*file), 3);
    EXPECT_EQ(Buffers(*file)[0]->pageNumber, 2u);
    EXPECT_TRUE(large.Get()->Intact(1));
}

TEST_F(SwapOutTest, LargeRecordSkipsFreeRunsThatAreTooShort) {
    BlobRef fillers[3] = {BlobRef(MakeBlob(*file, 8192, 1)), BlobRef(MakeBlob(*file, 8192, 2)),
                          BlobRef(MakeBlob(*file, 8192, 3))};
    for (BlobRef& filler : fillers)
        ASSERT_EQ(file->SwapOutObject(filler.Permanent()), 0);
    ASSERT_TRUE(fillers[1].Get()->Intact(2)); // page 1 alone is free again
    BlobRef large(MakeBlob(*file, 16392, 4)); // three pages
    ASSERT_EQ(file->SwapOutObject(large.Permanent()), 0);
    EXPECT_EQ(large.Object(), Locator(3, 0));
    EXPECT_EQ(SF::FirstFreePage(*file), 1);
    EXPECT_TRUE(PageBookkeepingHolds(*file));
    EXPECT_TRUE(large.Get()->Intact(4));
}

TEST_F(SwapOutTest, RecordOfMoreThan255PagesIsMeasuredAcrossMarkers) {
    Close(*file);
    file = &Open(3 << 20, 4096, 600 * kPage);
    BlobRef small(MakeBlob(*file, 200, 1));
    BlobRef huge(MakeBlob(*file, 256 * kPage + 8, 2)); // 257 pages
    ASSERT_NE(huge.Permanent(), nullptr);
    ASSERT_EQ(file->SwapOutObject(small.Permanent()), 0); // page 0
    ASSERT_EQ(file->SwapOutObject(huge.Permanent()), 0);
    EXPECT_EQ(huge.Object(), Locator(1, 0));
    EXPECT_EQ(SF::FirstFreePage(*file), 258);
    EXPECT_EQ(SwapFileInternals::TailOf(*file, 257), 8);
    EXPECT_TRUE(PageBookkeepingHolds(*file));
    EXPECT_TRUE(huge.Get()->Intact(2));
    EXPECT_EQ(SF::FirstFreePage(*file), 1);
    EXPECT_TRUE(PageBookkeepingHolds(*file));
}

TEST_F(SwapOutTest, LargeRecordWithoutARunFailsAndStaysInPlace) {
    Close(*file);
    file = &Open(65536, 4096, 3 * kPage);
    BlobRef small(MakeBlob(*file, 200, 1));
    BlobRef large(MakeBlob(*file, 20000, 2));
    BlobRef newer(MakeBlob(*file, 80, 3));
    ASSERT_EQ(file->SwapOutObject(small.Permanent()), 0); // books page 0: two pages are left
    const std::vector<unsigned char> index(Index(), Index() + 3);
    const std::uint64_t used = SF::ZoneUsed(*file);
    Blob* before = large.Get();
    WriteLog::Start();

    EXPECT_EQ(file->SwapOutObject(large.Permanent()), kFail);
    EXPECT_EQ(file->SwapOutOldestObjects(1), kFail);
    EXPECT_EQ(WriteLog::count, 0u);
    EXPECT_EQ(large.Object(), Addr(before));
    EXPECT_EQ(AgeList(*file), (std::vector<QORSysSwappable*>{before, newer.Get()}));
    EXPECT_EQ(SF::ZoneUsed(*file), used);
    EXPECT_EQ(std::vector<unsigned char>(Index(), Index() + 3), index);
    EXPECT_EQ(Buffers(*file).size(), 1u);
    EXPECT_TRUE(before->Intact(2));
    EXPECT_EQ(HeaderOf(before)->ownerWord, Addr(SF::Pool(*file)) | 1);
}

TEST_F(SwapOutTest, FailedWriteOfALargeRunBooksNothing) {
    BlobRef large(MakeBlob(*file, 20000, 1));
    BlobRef newer(MakeBlob(*file, 80, 2));
    Blob* before = large.Get();
    const std::uint64_t owner = HeaderOf(before)->ownerWord;
    const std::uint64_t used = SF::ZoneUsed(*file);
    WriteLog::Start(kPage);

    EXPECT_EQ(file->SwapOutObject(large.Permanent()), kFail);
    EXPECT_EQ(WriteLog::Lengths(), std::vector<std::size_t>{20000});
    EXPECT_EQ(large.Object(), Addr(before));
    EXPECT_EQ(HeaderOf(before)->ownerWord, owner);
    EXPECT_EQ(AgeList(*file), (std::vector<QORSysSwappable*>{before, newer.Get()}));
    EXPECT_EQ(SF::ZoneUsed(*file), used);
    EXPECT_EQ(SF::FirstFreePage(*file), 0);
    EXPECT_EQ(SF::PageHighWater(*file), 0);
    EXPECT_EQ(Index()[0], SF::PageCount(*file));
    EXPECT_EQ(SwapFileInternals::TailOf(*file, 2), 0);
    EXPECT_TRUE(Buffers(*file).empty());
    EXPECT_TRUE(before->Intact(1));

    WriteLog::Stop();
    ASSERT_EQ(file->SwapOutObject(large.Permanent()), 0);
    EXPECT_TRUE(large.Get()->Intact(1));
}

TEST_F(SwapOutTest, FailedWriteOfAFullBufferKeepsItReadable) {
    BlobRef ref(MakeBlob(*file, 8192, 1));
    WriteLog::Start(0);
    ASSERT_EQ(file->SwapOutObject(ref.Permanent()), 0);
    EXPECT_EQ(WriteLog::count, 1u);
    ASSERT_EQ(Buffers(*file).size(), 1u);
    EXPECT_EQ(Buffers(*file)[0]->pageNumber, 0u);
    EXPECT_EQ(Index()[0], 0);
    EXPECT_TRUE(ref.Get()->Intact(1)); // from the buffer: the file never got it
    EXPECT_TRUE(Buffers(*file).empty());
    EXPECT_EQ(Index()[0], SF::PageCount(*file));
}

TEST_F(SwapOutTest, MoreThanTenBuffersEvictTheFullest) {
    // 4200-byte records leave 3992 free bytes, 4400-byte ones 3792: no two share a page.
    std::vector<BlobRef> refs;
    for (int i = 0; i < 12; ++i)
        refs.emplace_back(MakeBlob(*file, i == 2 || i == 6 ? 4400 : 4200, i));
    WriteLog::Start();
    for (int i = 0; i < 11; ++i)
        ASSERT_EQ(file->SwapOutObject(refs[i].Permanent()), 0);
    EXPECT_EQ(Buffers(*file).size(), 11u);
    EXPECT_EQ(WriteLog::count, 0u);

    ASSERT_EQ(file->SwapOutObject(refs[11].Permanent()), 0); // 11 visited: evict
    EXPECT_EQ(WriteLog::Lengths(), (std::vector<std::size_t>{kPage, kPage}));
    const std::vector<SF::Buffer*> left = Buffers(*file);
    ASSERT_EQ(left.size(), 10u);
    EXPECT_EQ(left.back()->pageNumber, 11u);
    for (SF::Buffer* b : left)
        EXPECT_TRUE(b->pageNumber != 2 && b->pageNumber != 6) << b->pageNumber;
    EXPECT_TRUE(PageBookkeepingHolds(*file));
    EXPECT_EQ(WordAt(ReadFilePage(Path(), 6).data(), 8), 4400u);
    for (int i = 0; i < 12; ++i)
        EXPECT_TRUE(refs[i].Get()->Intact(i)) << i;
}

TEST_F(SwapOutTest, FreeIndexJoinsTheRunsOnBothSides) {
    Close(*file);
    file = &Open(65536, 4096, 13 * kPage);
    // Pages 0, 1, 5 and 9 in use; 2-4, 6-8 and 10-12 free.
    const unsigned char layout[13] = {0, 0, 3, 2, 1, 0, 3, 2, 1, 0, 3, 2, 1};
    std::memcpy(SF::PageIndex(*file), layout, 13);
    SF::FirstFreePage(*file) = 2;
    SF::PageHighWater(*file) = 10;
    ASSERT_TRUE(PageBookkeepingHolds(*file));

    EXPECT_EQ(SF::FreeIndex(*file, 5), 0);
    const unsigned char joined[13] = {0, 0, 7, 6, 5, 4, 3, 2, 1, 0, 3, 2, 1};
    EXPECT_EQ(std::memcmp(Index(), joined, 13), 0);
    EXPECT_EQ(SF::FirstFreePage(*file), 2);
    EXPECT_EQ(SF::PageHighWater(*file), 10);

    EXPECT_EQ(SF::FreeIndex(*file, 9), 0);
    EXPECT_EQ(SF::PageHighWater(*file), 9);
    EXPECT_EQ(SF::FreeIndex(*file, 0), 0);
    EXPECT_EQ(SF::FirstFreePage(*file), 0);
    EXPECT_EQ(Index()[0], 1);
    EXPECT_EQ(Index()[2], 11);
    EXPECT_TRUE(PageBookkeepingHolds(*file));
}

TEST_F(SwapOutTest, FreeIndexBesideALongRunWritesTheMarker) {
    Close(*file);
    file = &Open(65536, 4096, 1000 * kPage);
    unsigned char* index = SF::PageIndex(*file);
    std::fill(index, index + 301, 0); // pages 0-300 in use, then a run of 699 free pages
    index[298] = 2;
    index[299] = 1;
    SF::FirstFreePage(*file) = 298;
    SF::PageHighWater(*file) = 301;
    ASSERT_TRUE(PageBookkeepingHolds(*file));
    SF::FreeIndex(*file, 300);
    EXPECT_EQ(index[297], 0);
    EXPECT_EQ(index[298], 255);
    EXPECT_EQ(index[299], 255);
    EXPECT_EQ(index[300], 255);
    EXPECT_EQ(SF::PageHighWater(*file), 300);
    EXPECT_TRUE(PageBookkeepingHolds(*file));

    // Pages 0-297 free before the used page 298: walking back stops after 254 pages, and the
    // entries further back already hold 255.
    for (int page = 0; page < 298; ++page)
        index[page] = static_cast<unsigned char>(std::min(255, 298 - page));
    index[298] = 0;
    SF::FirstFreePage(*file) = 0;
    ASSERT_TRUE(PageBookkeepingHolds(*file));
    SF::FreeIndex(*file, 298);
    EXPECT_TRUE(std::all_of(index, index + 1000 - 254, [](unsigned char e) { return e == 255; }));
    EXPECT_TRUE(PageBookkeepingHolds(*file));
}

TEST_F(SwapOutTest, MakeRoomRoundTakesTheOldestFirst) {
    std::vector<BlobRef> refs;
    for (int i = 0; i < 4; ++i)
        refs.emplace_back(MakeBlob(*file, 4096, i));
    const std::uint64_t capacity = SF::ZoneCapacity(*file);
    EXPECT_EQ(file->SwapOutOldestObjects(capacity + 1), kFail);
    EXPECT_EQ(AgeList(*file).size(), 4u);

    EXPECT_EQ(file->SwapOutOldestObjects(0), 0); // at least minSwapOutBytes (1): one object
    EXPECT_TRUE(refs[0].OnDisk());
    EXPECT_EQ(AgeList(*file).size(), 3u);
    refs[1].Get()->IsUsed();
    file->TuneSwapOut(0);
    EXPECT_EQ(file->SwapOutOldestObjects(0), 0); // the room is there: nothing goes
    EXPECT_EQ(AgeList(*file).size(), 3u);

    // Room for 4097 more bytes than are free: two objects of 4096 must go, the oldest first.
    const std::uint64_t want = capacity - SF::ZoneUsed(*file) + 4097;
    EXPECT_EQ(file->SwapOutOldestObjects(want), 0);
    EXPECT_TRUE(refs[2].OnDisk());
    EXPECT_TRUE(refs[3].OnDisk());
    EXPECT_FALSE(refs[1].OnDisk());
    refs[1] = BlobRef(); // destroys the last object in memory
    EXPECT_EQ(SF::ZoneUsed(*file), 0u);
    EXPECT_EQ(file->SwapOutOldestObjects(0), kFail); // nothing counted in the zone
}

TEST_F(SwapOutTest, SwapOutObjectChecksItsHandle) {
    BlobRef ref(MakeBlob(*file, 200, 1));
    EXPECT_EQ(file->SwapOutObject(nullptr), kFail);
    ASSERT_EQ(file->SwapOutObject(ref.Permanent()), 0);
    const std::uint64_t locator = ref.Object();
    EXPECT_EQ(file->SwapOutObject(ref.Permanent()), 0); // already on disk
    EXPECT_EQ(ref.Object(), locator);
    EXPECT_EQ(Buffers(*file)[0]->used, 200);
    EXPECT_EQ(SF::EffectiveSwapOut(*file, nullptr, nullptr, nullptr), kFail);

    QORSysSwappableHdl nothing;
    EXPECT_EQ(file->SwapOutObject(&nothing), kFail);

    // A handle given beside the object's own receives the locator too.
    unsigned swapped = 0;
    BlobRef other(MakeBlob(*file, 96, 2));
    EXPECT_EQ(SF::EffectiveSwapOut(*file, other.Get(), &nothing, &swapped), 0);
    EXPECT_EQ(swapped, 96u);
    EXPECT_EQ(other.Object(), Locator(0, 200));
    EXPECT_EQ(SF::Object(&nothing), Locator(0, 200));
}
