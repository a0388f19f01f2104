// The swap file; the last case also runs under the environments of CMakeLists.txt's entries.
#include "SwapFileAccess.h"
#include "core/Configuration.h"
#include "core/Hooks.h"
#include "generalpool/GeneralPool.h"
#include "platform/Platform.h"
#include "swapfile/SwapFileInternals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

using namespace qor;
namespace {

using SF = QORSysSwapFileTestAccess;
using Objects = SF::Objects;

std::uintptr_t Addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
// Its bytes past the fields are a pattern of its seed: a copy that lost or mixed bytes shows.
struct Blob : QORSysSwappable {
    Blob(QORSysSwapFile* file, std::size_t bytes, std::uint32_t s)
        : QORSysSwappable(file, 0), seed(s), size(static_cast<std::uint32_t>(bytes)) {
        for (std::size_t i = sizeof(Blob); i < size; ++i)
            reinterpret_cast<unsigned char*>(this)[i] = Pattern(i);
    }
    ~Blob() override { ++destroyed; }
    unsigned char Pattern(std::size_t i) const { return (seed * 2654435761u + i * 131) >> 7; }
    bool Intact(std::uint32_t s) {
        for (std::size_t i = sizeof(Blob); i < size; ++i)
            if (reinterpret_cast<unsigned char*>(this)[i] != Pattern(i)) return false;
        return seed == s;
    }
    static inline int destroyed = 0;
    std::uint32_t seed, size;
};
// A blob of `blockBytes` with its 16-byte header; null when the swap file refuses.
Blob* MakeBlob(QORSysSwapFile& file, std::size_t blockBytes, std::uint32_t seed) {
    void* memory = QORSysSwappable::operator new(blockBytes - 16, &file, nullptr, 0);
    return memory == nullptr ? nullptr : ::new (memory) Blob(&file, blockBytes - 16, seed);
}

// Where a record lies in the file: a page and an offset in it.
struct Place {
    int page;
    std::uint64_t offset;
    std::uint64_t InFile() const { return page * kSwapPageBytes + offset; }
    bool operator==(const Place&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Place& p) {
        return out << "page " << p.page << " at offset " << p.offset;
    }
};
Place StartOf(int page) { return {page, 0}; }

struct Ref : QORSysSwappable_hdl {
    using QORSysSwappable_hdl::QORSysSwappable_hdl;
    Ref(Blob* blob) : QORSysSwappable_hdl(blob), bytes(blob ? blob->size + 16 : 0) {}
    Blob* Get() { return static_cast<Blob*>(GetObject()); }
    QORSysSwappableHdl* H() const { return handle; }
    std::uint64_t Obj() const { return SF::Object(handle); }
    bool OnDisk() const { return (Obj() & 1) != 0; }
    QORSysSwappable* Mem() const { return reinterpret_cast<QORSysSwappable*>(Obj()); }
    // Where its record lies (the page {-1, 0} while it is in memory), and where the next record
    // behind it would start: on its page, or for a run on the page of its tail.
    Place Where() const {
        return OnDisk() ? Place{LocatorPage(Obj()), LocatorOffset(Obj())} : Place{-1, 0};
    }
    Place End() const {
        const std::uint64_t end = Where().InFile() + bytes;
        return {int(end / kSwapPageBytes), end % kSwapPageBytes};
    }
    std::size_t bytes = 0; // the record: the block and its header
};
template <class... R> std::vector<Place> Places(const R&... refs) { return {refs.Where()...}; }

std::string PathOf(FILE* stream) {
    return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fileno(stream)));
}
bool Init(QORSysSwapFile& f, std::size_t zone, std::size_t capacity = 1 << 20) {
    return f.Initialize(0, zone, 4096, capacity) == 0;
}
std::string gChunks; // the chunk-sized requests that FailChunks failed
bool FailChunks(std::size_t bytes) {
    return bytes >= 32768 && (gChunks += std::to_string(bytes) + " ", true);
}

class SwapFileTest : public testing::Test {
protected:
    SwapFileTest() {
        EXPECT_TRUE(!::setenv("QPL_UVT_TMP", mkdtemp(dir), 1) && Init(file, 65536, 9000 * 8192));
    }
    ~SwapFileTest() override { std::filesystem::remove_all(dir); }
    char dir[24] = "/tmp/qorswaptest.XXXXXX";
    QORSysSwapFile file;
};

struct Geometry {
    const char* name;
    std::size_t zone, capacity;
    int pages;
    friend void PrintTo(const Geometry& g, std::ostream* out) { *out << g.name; }
};
class SwapFileGeometry : public SwapFileTest, public testing::WithParamInterface<Geometry> {};

TEST_P(SwapFileGeometry, InitializeMakesTheZoneAndPageTable) {
    const Geometry& g = GetParam();
    QORSysSwapFile f; // the smallest chunk (32 KB) for every zone here
    ASSERT_EQ(f.Initialize(0, g.zone, g.zone / 2, g.capacity), 0);
    EXPECT_EQ(SF::Pool(f)->chunk.flags, 0x231);
    EXPECT_EQ(SF::Pool(f)->chunk.size, 32768);
    EXPECT_EQ(SF::Pool(f)->swapFile, &f);
    EXPECT_EQ(SF::ZoneCapacity(f), 32768 - 112);
    EXPECT_EQ(SF::PageCount(f), g.pages);
    EXPECT_EQ(SF::Broken(f), ""); // all free: 13, 12 .. 1; 255 up to page 745 of 1000
}
INSTANTIATE_TEST_SUITE_P(Files, SwapFileGeometry,
                         testing::Values(Geometry{"FileOf13Pages", 10000, 100000, 13},
                                         Geometry{"FileOf1000Pages", 4096, 1000 * 8192, 1000},
                                         Geometry{"FileCappedAt2GB", 4096, 3ul << 30, 262144}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SwapFileTest, InitializeShrinksTheZoneTowardTheMinimumOrFails) {
    platform::SetMallocFailureFilter([](std::size_t n) { return n >= 300000 && FailChunks(n); });
    QORSysSwapFile shrunk, none;
    EXPECT_EQ(shrunk.Initialize(0, 1 << 20, 256 << 10, 1 << 20), 0); // halving toward the minimum
    EXPECT_EQ(gChunks, "1048576 655360 458752 360448 311296 ");
    EXPECT_EQ(SF::Pool(shrunk)->chunk.flags, 49);
    EXPECT_EQ(SF::ZoneCapacity(shrunk), 286608);
    gChunks.clear();
    platform::SetMallocFailureFilter(&FailChunks);
    EXPECT_EQ(none.Initialize(0, 65536, 32768, 1 << 20), QORSysSwapFailure);
    platform::SetMallocFailureFilter(nullptr);
    EXPECT_EQ(gChunks, "65536 49152 40960 36864 32768 ");
    EXPECT_EQ(SF::Pool(none), nullptr); // nothing else set
    EXPECT_EQ(SF::PageCount(none), 0);
    EXPECT_EQ(SF::Stream(none), nullptr);
    EXPECT_EQ(MakeBlob(none, 128, 1), nullptr);
}

TEST_F(SwapFileTest, FileThatCannotBeOpenedEndsTheProcess) {
    const auto openIn = [](std::string directory) {
        ::setenv("QPL_UVT_TMP", directory.c_str(), 1);
        Init(*new QORSysSwapFile, 4096);
    };
    EXPECT_EXIT(openIn(dir + std::string("/missing")), testing::ExitedWithCode(1),
                "^Unable to open swap file: No such file or directory");
    std::string nested = dir; // its first 2047 bytes name a file that could be made
    while (nested.size() < 1800)
        std::filesystem::create_directory((nested += '/').append(200, 'd'));
    (nested += '/').append(2047 - nested.size(), 'f');
    EXPECT_EXIT(openIn(nested), testing::ExitedWithCode(1), "^Unable to open swap file");
    EXPECT_FALSE(std::filesystem::exists(nested));
}

TEST_F(SwapFileTest, ObjectsAreChargedListedByAgeDumpedAndReleasedByTheirLastHandle) {
    Blob *a = MakeBlob(file, 120, 1), *b = MakeBlob(file, 120, 2), *c = MakeBlob(file, 120, 3);
    EXPECT_EQ(SF::ZoneUsed(file), 336); // ZoneSize(104)
    EXPECT_EQ(SF::AllocatedTotal(file), 336);
    a->IsUsed(); // the oldest
    EXPECT_EQ(SF::AgeList(file), (Objects{b, c, a}));
    c->IsUsed();
    EXPECT_EQ(SF::AgeList(file), (Objects{b, a, c}));
    delete a;
    EXPECT_EQ(SF::Dump(file, 0), "2 <Zone>\n<count=2>\n<size=240>\n</Zone>\n");
    {
        Ref first(b), second(first);
        EXPECT_EQ(first.H(), b->GetPermanentHandle());
        EXPECT_EQ(b->GetRefCount(), 2);
        ASSERT_EQ(file.SwapOutObject(first.H()), 0);
        char line[32]; // objects on disk are not listed
        std::snprintf(line, sizeof line, "<0x%016lX-120/>\n", Addr(c));
        EXPECT_EQ(SF::Dump(file, 1),
                  "1 <Zone>\n" + (line + std::string("<count=1>\n<size=120>\n</Zone>\n")));
    } // the last of the two references brings b back, destroys it and deletes its handle
    QORSysSwappableHdl* h = c->GetPermanentHandle();
    Ref last(c);
    delete c; // credited 120 each: zoneUsed must not wrap below 0
    EXPECT_EQ(last.Get(), nullptr);
    last = Ref(); // nothing to destroy: the handle is kept, the caller's to free
    EXPECT_TRUE(h->IsNull());
    EXPECT_EQ(Blob::destroyed, 3);
    EXPECT_EQ(SF::ZoneUsed(file), 0);
    EXPECT_EQ(SF::Dump(file, 1), "0 <Zone>\n<count=0>\n<size=0>\n</Zone>\n");
    ::operator delete(h);
}

TEST_F(SwapFileTest, SmallRecordsFillPageBuffersFirstFitAndPagesComeBackWhole) {
    std::vector<Ref> refs;
    std::vector<std::vector<unsigned char>> records; // as each leaves, owned by the zone pool
    const std::uint64_t owner = Addr(SF::Pool(file)) | 1;
    for (std::size_t bytes : {4096, 4000, 200, 80, 8192}) {
        const auto* block = reinterpret_cast<unsigned char*>(
            HeaderOf(refs.emplace_back(MakeBlob(file, bytes, bytes)).Get()));
        std::memcpy(records.emplace_back(block, block + bytes).data(), &owner, 8);
        ASSERT_EQ(file.SwapOutObject(refs.back().H()), 0);
    }
    // 200 bytes do not fit in the 96 left on page 0, 80 do and bring it to 8176: it is written.
    EXPECT_EQ(Places(refs[0], refs[1], refs[2], refs[3], refs[4]),
              (std::vector{StartOf(0), refs[0].End(), StartOf(1), refs[1].End(), StartOf(2)}));
    EXPECT_EQ(SF::Buffers(file), "1:200 ");
    std::vector<unsigned char> disk(4 * 8192); // the file as plain stdio reads it
    FILE* stream = std::fopen(PathOf(SF::Stream(file)).c_str(), "rb");
    disk.resize(std::fread(disk.data(), 1, disk.size(), stream));
    std::fclose(stream);
    ASSERT_EQ(disk.size(), 24576);
    ASSERT_EQ(std::count(&disk[8176], &disk[8192], 0), 16);
    for (std::size_t i : {0, 1, 3, 4}) {
        const std::uint64_t at = refs[i].Where().InFile();
        EXPECT_EQ(std::memcmp(&disk[at], records[i].data(), records[i].size()), 0) << i;
    }
    EXPECT_EQ(file.RecallObject(refs[1].H()), 0); // page order: 4096, 4000, 80
    EXPECT_EQ(SF::AgeList(file), (Objects{refs[0].Mem(), refs[1].Mem(), refs[3].Mem()}));
    // 4096 bytes join page 1, 4000 open a buffer for page 0, whose old bytes are in the file.
    ASSERT_EQ(file.SwapOutObject(refs[0].H()) | file.SwapOutObject(refs[1].H()), 0);
    EXPECT_TRUE(refs[1].Get()->Intact(4000) && refs[3].Get()->Intact(80));
    EXPECT_TRUE(SF::Broken(file).empty() && SF::Buffers(file) == "1:4296 ");
}

TEST_F(SwapFileTest, LargeRecordsTakeRunsAndShareTheirTailPages) {
    Ref a(MakeBlob(file, 24384, 1)), b(MakeBlob(file, 20000, 2)); // tails of 8000 and 3616
    Ref s1(MakeBlob(file, 2288, 3)), s2(MakeBlob(file, 2272, 4)), s3(MakeBlob(file, 176, 5));
    ASSERT_EQ(file.SwapOutObject(a.H()) | file.SwapOutObject(b.H()), 0); // page 0 starts a run
    EXPECT_EQ(SF::Buffers(file), "2:8000 5:3616 ");
    EXPECT_EQ(SF::HighWater(file), 6);
    for (Ref* r : {&s1, &s2, &s3}) // first fit: page 5, page 5 (full now), page 2 (full now)
        ASSERT_EQ(file.SwapOutObject(r->H()), 0);
    // a's run is pages 0 to 2, b's starts behind it; s3 lies behind a's tail.
    EXPECT_EQ(Places(a, b, s1, s2, s3),
              (std::vector{StartOf(0), StartOf(a.End().page + 1), b.End(), s1.End(), a.End()}));

    EXPECT_TRUE(b.Get()->Intact(2)); // from the first page of its run: its tail's records too
    EXPECT_EQ(SF::AgeList(file), (Objects{s1.Mem(), s2.Mem(), b.Mem()}));
    // s3 is read from a small record's side: the tail keeps its page.
    EXPECT_TRUE(s1.Get()->Intact(3) && s2.Get()->Intact(4) && s3.Get()->Intact(5));
    EXPECT_EQ(SF::Buffers(file), "2:8000 ");
    EXPECT_EQ(SF::FirstFree(file), 3);
    EXPECT_EQ(SF::Index(file)[3], 255);
    EXPECT_TRUE(a.Get()->Intact(1));
    EXPECT_EQ(SF::Buffers(file), "");
    EXPECT_EQ(SF::Index(file)[0], 255);
}

TEST_F(SwapFileTest, FreeIndexJoinsTheFollowingRunAndCapsAt255) {
    const unsigned char layout[10] = {0, 0, 3, 2, 1, 0, 3, 2, 1, 0}; // then 8990 free pages
    std::memcpy(SF::Index(file), layout, 10);
    SF::FirstFree(file) = 2;
    SF::HighWater(file) = 10;
    SF::FreeIndex(file, 5);
    EXPECT_EQ(std::vector(SF::Index(file), SF::Index(file) + 10),
              (std::vector<unsigned char>{0, 0, 7, 6, 5, 4, 3, 2, 1, 0}));
    SF::FreeIndex(file, 9); // before a run of 8990: 255, not the run's length cut to a byte
    SF::FreeIndex(file, 0);
    EXPECT_TRUE(SF::HighWater(file) == 9 && SF::FirstFree(file) == 0 && SF::Broken(file).empty());
}

TEST_F(SwapFileTest, MoreThanTenBuffersSendTheFullestToTheFileUnlessTheWriteFails) {
    std::vector<Ref> refs; // 4200-byte records leave 3992 free bytes, 4400-byte ones 3792
    for (int i = 0; i < 12; ++i) {
        refs.emplace_back(MakeBlob(file, i == 2 || i == 10 ? 4400 : 4200, i));
        EXPECT_TRUE(i != 11 || std::filesystem::file_size(PathOf(SF::Stream(file))) == 0);
        ASSERT_EQ(file.SwapOutObject(refs.back().H()), 0);
    }
    EXPECT_EQ(SF::Buffers(file), // the twelfth found 11 buffers without room, none written
              "0:4200 1:4200 3:4200 4:4200 5:4200 6:4200 7:4200 8:4200 9:4200 11:4200 ");
    Ref full(MakeBlob(file, 8192, 12)), large(MakeBlob(file, 20000, 13));
    platform::SetWriteFailureFilter([](std::size_t) { return true; }); // every write fails
    ASSERT_EQ(file.SwapOutObject(full.H()), 0); // page 12 stays a buffer: its only copy
    EXPECT_EQ(file.SwapOutObject(large.H()), QORSysSwapFailure); // nothing booked, nothing moved
    EXPECT_FALSE(large.OnDisk());
    EXPECT_EQ(SF::FirstFree(file), 13);
    EXPECT_EQ(SF::AgeList(file).size(), 1);
    platform::SetWriteFailureFilter(nullptr);
    EXPECT_TRUE(full.Get() != nullptr && full.Get()->Intact(12) && large.Get()->Intact(13));
    for (int i = 0; i < 12; ++i)
        EXPECT_TRUE(refs[i].Get()->Intact(i)) << i;
}

// The file I/O as the platform seam sees it: each call's direction and bytes, "w8192r16384".
std::string gIo;
bool gHalve = false;                  // calls of more than 4096 bytes move half of them
long gFailReads = 0, gFailWrites = 0; // the next this many reads (writes) fail
long RecordIo(bool write, std::size_t bytes) {
    gIo += write ? 'w' : 'r';
    gIo += std::to_string(bytes);
    long& failures = write ? gFailWrites : gFailReads;
    if (failures > 0) return --failures, -1;
    return long(gHalve && bytes > 4096 ? bytes / 2 : bytes);
}
std::string TakeIo() { return std::exchange(gIo, std::string()); }

TEST_F(SwapFileTest, SteadySwappingTakesNoMemoryAndKeepsFewSpareBuffers) {
    static int bufferRequests;
    std::vector<Ref> refs;
    for (int i = 0; i < 400; ++i)
        refs.emplace_back(MakeBlob(file, 200 + 8 * (i % 50), i));
    for (int round = 0; round < 3; ++round) {
        if (round == 1) // from the second round on, every buffer is a spare one
            platform::SetMallocFailureFilter([](std::size_t n) {
                return n == sizeof(SwapFileInternals::PreSwapPage) && ++bufferRequests < 0;
            });
        for (int i = 0; i < 400; ++i) {
            ASSERT_EQ(file.SwapOutObject(refs[i].H()), 0);
            if (i % 7 == 3) {
                ASSERT_TRUE(refs[i - 3].Get()->Intact(i - 3)) << i;
            }
        }
        for (int i = 0; i < 400; ++i)
            ASSERT_TRUE(refs[i].Get()->Intact(i)) << i;
        EXPECT_LE(SF::Spares(file), kMaxSpareBuffers);
    }
    platform::SetMallocFailureFilter(nullptr);
    EXPECT_EQ(bufferRequests, 0);
    EXPECT_EQ(SF::Broken(file), "");
}

TEST_F(SwapFileTest, RunsGoOutAndComeBackWithOneCallAndTailPagesAreWrittenOnce) {
    Ref a(MakeBlob(file, 20000, 1)), b(MakeBlob(file, 20000, 2)), c(MakeBlob(file, 4000, 3));
    platform::SetIoFaultFilter(&RecordIo);
    ASSERT_EQ(file.SwapOutObject(a.H()), 0); // pages 0-2; the file ends in the tail: not padded
    ASSERT_EQ(file.SwapOutObject(b.H()), 0); // pages 3-5
    EXPECT_EQ(TakeIo(), "w20000w20000");
    EXPECT_EQ(SF::Buffers(file), "2:3616 5:3616 ");
    EXPECT_TRUE(b.Get()->Intact(2)); // its full pages in one read, its tail from the buffer
    EXPECT_EQ(TakeIo(), "r16384");
    ASSERT_EQ(file.SwapOutObject(b.H()) | file.SwapOutObject(c.H()), 0); // c joins a's tail
    EXPECT_EQ(TakeIo(), "w20000");
    EXPECT_EQ(SF::Buffers(file), "2:7616 5:3616 ");
    // Eleven more runs: the tenth sends page 2 (the fullest) out, the eleventh the ten tails,
    // which are in the file already: no write. (Tails that were never evicted piled up once.)
    std::vector<Ref> more;
    for (int i = 0; i < 11; ++i)
        ASSERT_EQ(file.SwapOutObject(more.emplace_back(MakeBlob(file, 20000, 10 + i)).H()), 0);
    std::string runs;
    for (int i = 0; i < 10; ++i)
        runs += "w20000";
    EXPECT_EQ(TakeIo(), runs + "w8192w20000");
    EXPECT_EQ(SF::Buffers(file), "38:3616 ");
    EXPECT_TRUE(a.Get()->Intact(1)); // its run and its tail page (c too) in one read
    EXPECT_EQ(TakeIo(), "r24576");
    EXPECT_FALSE(c.OnDisk());
    EXPECT_TRUE(b.Get()->Intact(2) && c.Get()->Intact(3));
    EXPECT_EQ(TakeIo(), "r24576");
    platform::SetIoFaultFilter(nullptr);
    for (int i = 0; i < 11; ++i)
        EXPECT_TRUE(more[i].Get()->Intact(10 + i)) << i;
    EXPECT_EQ(SF::Broken(file), "");
}

TEST_F(SwapFileTest, BuffersEvictedTogetherOnConsecutivePagesGoOutWithOneCall) {
    std::vector<Ref> refs; // 4200-byte records: each opens a buffer, all with the same room
    platform::SetIoFaultFilter(&RecordIo);
    for (int i = 0; i < 12; ++i)
        ASSERT_EQ(file.SwapOutObject(refs.emplace_back(MakeBlob(file, 4200, i)).H()), 0);
    EXPECT_EQ(TakeIo(), "w90112"); // pages 0 to 10 at once
    EXPECT_EQ(SF::Buffers(file), "11:4200 ");
    platform::SetIoFaultFilter(nullptr);
    for (int i = 0; i < 12; ++i)
        EXPECT_TRUE(refs[i].Get()->Intact(i)) << i;
}

TEST_F(SwapFileTest, ShortTransfersAreCarriedOnAndFailedReadsLeaveTheObjectOnDisk) {
    Ref small(MakeBlob(file, 8192, 1)), large(MakeBlob(file, 30000, 2));
    Ref last(MakeBlob(file, 96, 3));
    platform::SetIoFaultFilter(&RecordIo);
    gHalve = true; // more calls, the same bytes
    ASSERT_EQ(file.SwapOutObject(small.H()) | file.SwapOutObject(large.H()), 0);
    EXPECT_EQ(TakeIo(), "w8192w4096w30000w15000w7500w3750");
    ASSERT_EQ(file.SwapOutObject(last.H()), 0); // into the buffer of the large object's tail
    for (Ref* r : {&small, &large}) {
        const std::uint64_t used = SF::ZoneUsed(file);
        const std::size_t inMemory = SF::AgeList(file).size();
        gFailReads = 2; // the recall and the access fail: nothing changes
        EXPECT_EQ(file.RecallObject(r->H()), 0);
        EXPECT_TRUE(r->OnDisk());
        EXPECT_EQ(r->Get(), nullptr);
        EXPECT_EQ(SF::ZoneUsed(file), used);
        EXPECT_EQ(SF::AgeList(file).size(), inMemory);
        EXPECT_EQ(SF::Broken(file), "");
        EXPECT_TRUE(r->Get()->Intact(r == &small ? 1 : 2)); // the next read brings it back
    }
    EXPECT_FALSE(last.OnDisk()); // with the large one's tail
    EXPECT_TRUE(last.Get()->Intact(3));
    EXPECT_EQ(TakeIo(), "r8192r8192r8192r4096r24576r24576r24576r12288r6144r3072");
    gHalve = false;
    platform::SetIoFaultFilter(nullptr);
}

TEST_F(SwapFileTest, PageReadShortOfRoomKeepsTheAskedForObjectAndTheRestReadable) {
    Ref x(MakeBlob(file, 2720, 1)), y(MakeBlob(file, 2496, 2)), z(MakeBlob(file, 2720, 3));
    Ref w(MakeBlob(file, 240, 4));
    for (Ref* r : {&x, &y, &z, &w}) // 8176 bytes: page 0 is written
        ASSERT_EQ(file.SwapOutObject(r->H()), 0);
    GeneralPool* pool = SF::Pool(file); // the zone is pinned but for 2800 bytes
    void* pin = pool->Allocate(pool->chunk.free - 16 - 2800, 0);
    // For y: x comes back and goes to page 1 to make room; for z y, asked for, is not taken.
    Blob* back = y.Get();
    EXPECT_TRUE(back && back->Intact(2));
    EXPECT_EQ(Places(x, z, w), (std::vector{StartOf(1), Place{0, x.bytes + y.bytes},
                                            Place{0, x.bytes + y.bytes + z.bytes}}))
        << "z and w stay where they were on page 0";
    EXPECT_EQ(SF::AgeList(file), Objects{back});
    EXPECT_EQ(SF::Buffers(file), "1:2720 0:8192 "); // page 0 still booked
    pool->Free(pin, nullptr);
    EXPECT_TRUE(z.Get()->Intact(3)); // the rest of page 0, x and y not a second time
    EXPECT_EQ(SF::AgeList(file), (Objects{y.Mem(), z.Mem(), w.Mem()}));
    EXPECT_TRUE(w.Get()->Intact(4) && x.Get()->Intact(1) && y.Get()->Intact(2));
    EXPECT_TRUE(SF::Buffers(file).empty() && SF::Broken(file).empty());
}

// Reloaded alone, an object is read by itself (its locator carries its size; a small one comes
// with its page, kept in a buffer) and the rest of its page stays on disk. Its record stays booked
// while the object is unchanged: sent out again, it goes back there unwritten; changed, it is
// written anew and the old record no longer counts. A page is free once none of its records counts
// (a large object's tail is one of them).
TEST_F(SwapFileTest, ObjectsReloadedAloneComeBackByThemselvesAndGoBackUnwrittenWhenUnchanged) {
    ASSERT_EQ(file.ReloadObjectsAlone(true), 0);
    Ref x(MakeBlob(file, 2720, 1)), y(MakeBlob(file, 2496, 2)), z(MakeBlob(file, 2720, 3));
    Ref w(MakeBlob(file, 240, 4)), big(MakeBlob(file, 20000, 5)), s(MakeBlob(file, 96, 6));
    for (Ref* r : {&x, &y, &z, &w, &big, &s}) // page 0 written; big on 1-3, s behind its tail
        ASSERT_EQ(file.SwapOutObject(r->H()), 0);
    ASSERT_EQ(Places(x, big, s), (std::vector{StartOf(0), StartOf(1), big.End()}));
    EXPECT_EQ(file.ReloadObjectsAlone(false), QORSysSwapFailure) << "objects are on disk";
    const Place yOnDisk = y.Where(), xOnDisk = x.Where();
    platform::SetIoFaultFilter(&RecordIo);
    EXPECT_TRUE(y.Get()->Intact(2) && x.Get()->Intact(1) && big.Get()->Intact(5));
    EXPECT_EQ(TakeIo(), "r2496r2720r16384"); // big's run read whole, its tail from the buffer
    EXPECT_TRUE(z.OnDisk() && w.OnDisk() && s.OnDisk());
    EXPECT_EQ(SF::Buffers(file), "3:3712 ");
    ASSERT_EQ(file.SwapOutObject(y.H()), 0); // unchanged: back to its record
    reinterpret_cast<unsigned char*>(x.Get())[100] ^= 0xFF;
    ASSERT_EQ(file.SwapOutObject(x.H()), 0); // changed: written anew, into page 3's buffer
    EXPECT_EQ(TakeIo(), "");
    EXPECT_EQ(y.Where(), yOnDisk);
    EXPECT_EQ(x.Where(), s.End());
    reinterpret_cast<unsigned char*>(x.Get())[100] ^= 0xFF; // the change came back with it
    EXPECT_TRUE(x.Get()->Intact(1));
    w = Ref(); // small: read with its page, kept in a buffer; page 0 still holds y's and z's
    EXPECT_EQ(TakeIo(), "r8192");
    EXPECT_EQ(SF::Index(file)[0], 0);
    EXPECT_NE(x.Where(), xOnDisk);
    z = Ref(), y = Ref(); // the last records of page 0, from its buffer
    EXPECT_EQ(TakeIo(), "");
    EXPECT_NE(SF::Index(file)[0], 0);
    platform::SetIoFaultFilter(nullptr);
    EXPECT_TRUE(s.Get()->Intact(6) && SF::Broken(file).empty());
    x = big = s = Ref();
    EXPECT_EQ(SF::Buffers(file), "");
    EXPECT_TRUE(SF::AllFree(file));
    EXPECT_EQ(file.ReloadObjectsAlone(false), 0);
}

// What a program keeps behind handles: parts whose bytes it checks at each visit, rewrites in
// part now and then and replaces. The checksum the program holds is compared, not the one the
// part carries, so a rewrite that was lost shows.
struct Part : QORSysSwappable {
    Part(QORSysSwapFile* file, std::size_t n, std::uint32_t seed)
        : QORSysSwappable(file, 0), bytes(static_cast<std::uint32_t>(n)) {
        std::memset(data(), int(seed), bytes);
    }
    unsigned char* data() { return reinterpret_cast<unsigned char*>(this + 1); }
    std::uint64_t Sum() {
        std::uint64_t sum = bytes;
        for (std::uint32_t i = 0; i < bytes; ++i)
            sum = sum * 1099511628211u + data()[i];
        return sum;
    }
    std::uint32_t bytes;
};
struct PartRef : QORSysSwappable_hdl {
    using QORSysSwappable_hdl::QORSysSwappable_hdl;
    Part* Get() { return static_cast<Part*>(GetObject()); }
};

// The faults injected into the I/O calls of a run of visits: the call `failAt` fails (0: none),
// and every `failEvery`-th (0: none); with `shortTransfers` every call moves half of what it is
// asked (at least one byte), so that each transfer is carried on.
struct Faults {
    long failAt = 0, failEvery = 0;
    bool shortTransfers = false;
};

// `visits` visits under `faults`; the checker runs every `checkEvery` visits (0: never). A visit
// whose read failed finds its part still on disk and is made again once the faults are over; a
// replacement the zone refused keeps the old part. Every part must come through intact.
void VisitParts(QORSysSwapFile& file, const Faults& faults, std::size_t visits = 600,
                std::size_t checkEvery = 0) {
    static long calls;
    static Faults injected;
    calls = 0, injected = faults;
    platform::SetIoFaultFilter([](bool, std::size_t bytes) {
        ++calls;
        if (calls == injected.failAt ||
            (injected.failEvery != 0 && calls % injected.failEvery == 0))
            return -1L;
        return long(injected.shortTransfers && bytes > 1 ? bytes / 2 : bytes);
    });
    std::mt19937 rng(20261207);
    const auto make = [&](std::size_t i) {
        const std::size_t bytes = 100 + rng() % (rng() % 8 ? 3000 : 14000);
        void* memory = QORSysSwappable::operator new(sizeof(Part) + bytes, &file, nullptr, 0);
        return memory ? PartRef(::new (memory) Part(&file, bytes, std::uint32_t(i))) : PartRef();
    };
    std::vector<std::pair<PartRef, std::uint64_t>> parts;
    while (parts.size() < 40) // a creation whose make-room write failed is made again
        if (PartRef ref = make(parts.size()); ref.Get() != nullptr)
            parts.emplace_back(ref, ref.Get()->Sum());
    for (std::size_t visit = 0; visit < visits; ++visit) {
        if (checkEvery != 0 && visit % checkEvery == 0) {
            ASSERT_EQ(SF::Broken(file), "") << visit;
        }
        auto& [ref, sum] = parts[visit % 3 ? (visit / 7) % 40 : rng() % 40];
        Part* part = ref.Get();
        if (part == nullptr) continue; // the read failed: the part stays on disk
        ASSERT_EQ(part->Sum(), sum) << visit;
        part->IsUsed();
        if (visit % 10 == 3) {
            std::memset(part->data() + rng() % part->bytes, int(visit), 1);
            sum = part->Sum();
        } else if (visit % 50 == 7) {
            if (PartRef fresh = make(visit); fresh.Get() != nullptr)
                sum = fresh.Get()->Sum(), ref = fresh;
        }
    }
    platform::SetIoFaultFilter(nullptr);
    for (auto& [ref, sum] : parts)
        ASSERT_TRUE(ref.Get() != nullptr && ref.Get()->Sum() == sum);
}

// How many of the zone's pages are resident, of how many.
std::pair<std::size_t, std::size_t> ZoneResidency(QORSysSwapFile& file) {
    const GeneralPool* pool = SF::Pool(file);
    const std::size_t page = platform::kSystemPageBytes;
    const std::uintptr_t first = (Addr(pool) + page - 1) & ~(page - 1);
    const std::uintptr_t end = (Addr(pool) + (pool->chunk.size & kChunkSizeMask)) & ~(page - 1);
    std::vector<unsigned char> pages((end - first) / page);
    if (mincore(reinterpret_cast<void*>(first), end - first, pages.data()) != 0) return {0, 1};
    return {std::size_t(std::count_if(pages.begin(), pages.end(), [](auto p) { return p & 1; })),
            pages.size()};
}

// The zone is refilled as soon as it has room: neither the swap file's join nor the pool's
// reclaim before a growth gives its pages back, while both join the pieces that make the room.
// The zone's blocks are taken directly, so that it fills without an object being sent out.
TEST_F(SwapFileTest, TheZoneKeepsItsPagesThroughItsJoins) {
    for (const bool byReclaim : {false, true}) {
        QORSysSwapFile f;
        ASSERT_TRUE(Init(f, 4 << 20, 64 << 20));
        std::vector<unsigned char*> blocks;
        while (auto* block = static_cast<unsigned char*>(zone::Allocate(SF::Pool(f), 3984))) {
            std::memset(block, int(blocks.size()), 3984);
            blocks.push_back(block);
        }
        ASSERT_GT(blocks.size(), 1000u);
        const auto [touched, pages] = ZoneResidency(f);
        ASSERT_GE(touched + 2, pages);                  // all but the ends
        for (std::size_t i = 0; i < blocks.size(); ++i) // pairs of neighbours, every other pair
            if (i % 4 < 2) zone::Release(std::exchange(blocks[i], nullptr));
        if (!byReclaim) {
            ASSERT_TRUE(zone::MergeFreeAreas(SF::Pool(f), 7000));
        }
        void* joined = zone::Allocate(SF::Pool(f), 7000); // by reclaim: the zone cannot grow
        ASSERT_NE(joined, nullptr) << "by reclaim " << byReclaim;
        EXPECT_EQ(ZoneResidency(f).first, touched) << "by reclaim " << byReclaim;
        for (std::size_t i = 0; i < blocks.size(); ++i)
            EXPECT_TRUE(blocks[i] == nullptr || std::count(blocks[i], blocks[i] + 3984,
                                                           static_cast<unsigned char>(i)) == 3984)
                << i;
        EXPECT_EQ(SF::Broken(f), "");
        zone::Release(joined);
        for (unsigned char* block : blocks)
            zone::Release(block);
    }
}

// A block released to open the room is joined with the free pieces behind it alone: the join is
// what the next request takes, the listed pieces it swallowed are no longer handed out, a piece
// listed elsewhere still is, and a block in use ends the join or refuses it.
TEST_F(SwapFileTest, AReleasedBlockJoinsThePiecesBehindItAlone) {
    constexpr std::size_t kBytes = 3984, kPiece = kBytes + zone::kZoneHeaderBytes;
    QORSysSwapFile f;
    ASSERT_TRUE(Init(f, 1 << 20, 64 << 20));
    std::vector<unsigned char*> blocks;
    while (auto* block = static_cast<unsigned char*>(zone::Allocate(SF::Pool(f), kBytes))) {
        std::memset(block, int(blocks.size()), kBytes);
        blocks.push_back(block);
    }
    ASSERT_GT(blocks.size(), 200u);
    const auto release = [&](std::size_t i) { zone::Release(std::exchange(blocks[i], nullptr)); };
    unsigned char* const first = blocks[10];
    unsigned char* const elsewhere = blocks[100];
    EXPECT_FALSE(zone::JoinBehind(SF::Pool(f), first)); // in use
    release(11), release(12), release(100), release(10);
    EXPECT_FALSE(zone::JoinBehind(SF::Pool(f), elsewhere)); // a block in use right behind it
    ASSERT_TRUE(zone::JoinBehind(SF::Pool(f), first));
    EXPECT_EQ(SF::Broken(f), "");
    EXPECT_EQ(zone::Allocate(SF::Pool(f), 3 * kPiece - zone::kZoneHeaderBytes), first);
    EXPECT_EQ(zone::Allocate(SF::Pool(f), kBytes), elsewhere);
    EXPECT_EQ(zone::Allocate(SF::Pool(f), kBytes), nullptr); // the swallowed pieces are gone
    for (std::size_t i = 0; i < blocks.size(); ++i)
        EXPECT_TRUE(blocks[i] == nullptr ||
                    std::count(blocks[i], blocks[i] + kBytes, static_cast<unsigned char>(i)) ==
                        long(kBytes))
            << i;
    EXPECT_EQ(SF::Broken(f), "");
    zone::Release(first);
    zone::Release(elsewhere);
    // The last blocks join up to the chunk's end, the zone's tail included.
    const std::size_t last = blocks.size() - 1;
    unsigned char* const tail = blocks[last - 1];
    release(last), release(last - 1);
    ASSERT_TRUE(zone::JoinBehind(SF::Pool(f), tail));
    EXPECT_EQ(zone::Allocate(SF::Pool(f), 2 * kPiece - zone::kZoneHeaderBytes), tail);
    EXPECT_EQ(SF::Broken(f), "");
    zone::Release(tail);
    for (unsigned char* block : blocks)
        zone::Release(block);
}

// Both reload rules, with whole and with short transfers: each I/O call of the run fails in
// turn.
TEST_F(SwapFileTest, VisitsRewritesAndReplacementsSurviveAFailureAtEveryIOCallUnderBothRules) {
    for (const bool alone : {false, true})
        for (const bool shortTransfers : {false, true}) {
            long calls = 0;
            // Short transfers multiply the calls: every fourth of them fails in turn.
            for (long failAt = 0; failAt == 0 || failAt <= calls;
                 failAt += shortTransfers ? 4 : 1) {
                QORSysSwapFile f;
                ASSERT_TRUE(Init(f, 24576) && f.ReloadObjectsAlone(alone) == 0);
                // Fewer visits than the other runs: the sweep runs them once per I/O call.
                VisitParts(f, {failAt, 0, shortTransfers}, 250);
                if (failAt == 0) {
                    QORSysSwapStatistics figures{};
                    f.GetStatistics(&figures);
                    calls = long(figures.swapIns + figures.swapOuts); // more than the I/O calls
                    ASSERT_GT(figures.swapIns, 100u);
                }
                ASSERT_EQ(SF::Broken(f), "") << "failing I/O call " << failAt << " alone " << alone
                                             << " short " << shortTransfers;
            }
        }
}

// A long run of visits with a failing call every ten thousand, under both rules, the checker
// every thousand visits. QOR_SWAP_SOAK_VISITS sets the visits (ctest runs a short form).
TEST_F(SwapFileTest, SoakOfVisitsWithAFailingIOCallEveryTenThousandUnderBothRules) {
    const char* asked = std::getenv("QOR_SWAP_SOAK_VISITS");
    const std::size_t visits = asked != nullptr ? std::strtoul(asked, nullptr, 10) : 20000;
    for (const bool alone : {false, true}) {
        QORSysSwapFile f;
        ASSERT_TRUE(Init(f, 24576, 64 << 20) && f.ReloadObjectsAlone(alone) == 0);
        f.GiveBackCharges(true); // replacements for as long as the soak lasts
        VisitParts(f, {0, 10000, false}, visits, 1000);
        ASSERT_EQ(SF::Broken(f), "") << "alone " << alone;
    }
}

// A file cut short under a live swap file: what it lost is refused (the handle stays on disk and
// keeps failing), everything else comes back intact, and the swap file goes on serving new
// objects. The zone holds every object, so no write passes over the cut while the lost records
// are read: a later write past it makes the cut pages read as zeros, where a large object's tail
// can no longer be told from a lost one. Objects reloaded alone put page buffers out while they
// are read, so there the cut pages do read as zeros: the fingerprint each record carries refuses
// them.
TEST_F(SwapFileTest, AFileCutShortRefusesWhatItLostAndDamagesNothingElse) {
    for (const bool alone : {false, true}) {
        QORSysSwapFile f;
        ASSERT_TRUE(Init(f, 512 << 10, 4 << 20) && f.ReloadObjectsAlone(alone) == 0);
        std::vector<Ref> refs;
        for (std::uint32_t i = 0; i < 60; ++i) // records of 224 bytes to 20 KB
            refs.emplace_back(MakeBlob(f, i % 9 == 4 ? 20000 : 224 + (i * 977) % 5000, i));
        for (Ref& ref : refs)
            ASSERT_EQ(f.SwapOutObject(ref.H()), 0);
        char path[4096];
        ASSERT_EQ(f.GetFilePath(path, sizeof path), 0);
        ASSERT_EQ(::truncate(path, 3 * kSwapPageBytes + 100), 0);
        std::vector<bool> lost(refs.size());
        for (int pass = 0; pass < 2; ++pass) // the second pass reads again what the first lost
            for (std::uint32_t i = 0; i < refs.size(); ++i) {
                Blob* blob = refs[i].Get();
                if (pass == 0) lost[i] = blob == nullptr;
                ASSERT_EQ(blob == nullptr, bool(lost[i])) << i << " alone " << alone;
                ASSERT_TRUE(blob != nullptr ? blob->Intact(i) : refs[i].OnDisk())
                    << i << " alone " << alone;
            }
        const auto lostCount = std::count(lost.begin(), lost.end(), true);
        EXPECT_GT(lostCount, 0);
        EXPECT_LT(lostCount, long(refs.size()) - 3); // those in the file's first pages and buffers
        ASSERT_EQ(SF::Broken(f), "");
        for (std::uint32_t i = 0; i < 60; ++i) { // new objects go out and come back
            refs.emplace_back(MakeBlob(f, 224 + (i * 577) % 9000, 100 + i));
            ASSERT_EQ(f.SwapOutObject(refs.back().H()), 0);
        }
        for (std::uint32_t i = 0; i < refs.size(); ++i)
            ASSERT_TRUE((i < lost.size() && lost[i]) || refs[i].Get()->Intact(i < 60 ? i : 40 + i));
        ASSERT_EQ(SF::Broken(f), "");
        // A handle goes only with its object in memory: a lost record's handle outlives its last
        // reference.
        // Kept here (never destroyed, as the leak checker runs after static destructors), it is
        // not a leak to the checker.
        static auto* lostHandles = new std::vector<QORSysSwappableHdl*>;
        for (std::uint32_t i = 0; i < lost.size(); ++i)
            if (lost[i]) lostHandles->push_back(refs[i].H());
    }
}

// Each node holds the only handle of the next one: releasing the head destroys the chain from
// destructors, each bringing the next node back while the nodes before it are still being
// destroyed. Those stay in memory until their destructors end, so a chain longer than the zone
// stops where the zone is full of them: that node's release fails and the rest stays on disk,
// whole, its first node's handle left with no reference. Making room once sent a dying node out
// and crashed.
struct Node : QORSysSwappable {
    Node(QORSysSwapFile* file, const QORSysSwappable_hdl& after, int i)
        : QORSysSwappable(file, 0), next(after), id(i) {}
    ~Node() override { gone[id] = true; }
    QORSysSwappable_hdl next;
    int id;
    char payload[1000];
    static inline bool gone[400] = {};
};

TEST_F(SwapFileTest, ReleasingAChainLongerThanTheZoneNeverSendsADyingNodeOut) {
    QORSysSwappable_hdl head;
    QORSysSwappableHdl* handles[400];
    for (int i = 0; i < 400; ++i) {
        void* memory = QORSysSwappable::operator new(sizeof(Node), &file, nullptr, 0);
        ASSERT_NE(memory, nullptr);
        auto* node = ::new (memory) Node(&file, head, i);
        head = QORSysSwappable_hdl(node);
        handles[i] = node->GetPermanentHandle();
    }
    head = QORSysSwappable_hdl();
    const auto destroyed = [] { return std::count(Node::gone, Node::gone + 400, true); };
    const long fit = 65536 / (sizeof(Node) + 16), first = destroyed();
    EXPECT_TRUE(first >= fit - 2 && first <= fit) << first;
    EXPECT_EQ(SF::ZoneUsed(file), 0);
    for (int i = 399; i >= 0; --i) // each release of a stranded first node goes on from there
        if (!Node::gone[i]) handles[i]->AddRefToObj(nullptr), handles[i]->ReleaseObj(nullptr);
    EXPECT_EQ(destroyed(), 400);
    EXPECT_EQ(SF::ZoneUsed(file), 0);
}

// QOR_TEST_SWAP_DIR: the directory the variables must select (unset: /tmp);
// QOR_TEST_POOLS_INACTIVE, QOR_TEST_DELTA: what the configuration must have done.
// Objects that come and go through a small capacity: by default every creation is charged for
// good and the file refuses once their sum reaches the capacity; with the charges given back only
// the objects alive count, through a million creations, each brought back from disk intact.
TEST_F(SwapFileTest, ChargesGivenBackLetObjectsComeAndGoForAsLongAsTheProgramRuns) {
    QORSysSwapFile kept;
    ASSERT_TRUE(Init(kept, 4096, 16 * 8192));
    int created = 0;
    while (Blob* blob = MakeBlob(kept, 1024, created))
        delete blob, ++created;
    EXPECT_EQ(created, 16 * 8192 / int(kept.ZoneSize(1008))) << "the default lifetime budget";
    for (const bool alone : {false, true}) { // pages come back whole, or objects alone
        QORSysSwapFile given;
        ASSERT_TRUE(Init(given, 4096, 16 * 8192) && given.ReloadObjectsAlone(alone) == 0);
        given.GiveBackCharges(true);
        std::vector<Ref> alive(8);
        for (std::uint32_t i = 0; i < 250000; ++i) {
            Ref& slot = alive[i % alive.size()];
            ASSERT_TRUE(slot.Get() == nullptr || slot.Get()->Intact(i - alive.size())) << i;
            slot =
                Ref(MakeBlob(given, 1024, i)); // the old object goes, the new one may push it out
            ASSERT_NE(slot.Get(), nullptr) << "creation " << i;
        }
        EXPECT_EQ(SF::AllocatedTotal(given), alive.size() * given.ZoneSize(1008));
        QORSysSwapStatistics figures{};
        ASSERT_EQ(given.GetStatistics(&figures), 0);
        EXPECT_LE(figures.fileBytes, 16u * 8192);
        alive.clear();
        EXPECT_TRUE(SF::AllocatedTotal(given) == 0 && SF::AllFree(given)) << alone;
    }
}

// QORSysSwapFileGiveBack, read by each Initialize: QOR_TEST_GIVE_BACK says whether it asks for it.
TEST(SwapFileEnvironment, TheGiveBackSwitchIsReadAtInitialize) {
    if (std::getenv("QPL_UVT_TMP") == nullptr) ::setenv("QPL_UVT_TMP", "/tmp", 1);
    QORSysSwapFile file;
    ASSERT_TRUE(Init(file, 4096));
    delete MakeBlob(file, 1024, 1);
    EXPECT_EQ(SF::AllocatedTotal(file) == 0, std::getenv("QOR_TEST_GIVE_BACK") != nullptr);
}

// QORSysSwapFileMappedReads, read by each Initialize (QOR_TEST_MAPPED: it asks for the view):
// through the view, a read within the file is one question to the fault filter, however the
// calls would have split it; past what the file is known to hold, the calls read.
TEST(SwapFileEnvironment, TheMappedReadsSwitchIsReadAtInitialize) {
    if (std::getenv("QPL_UVT_TMP") == nullptr) ::setenv("QPL_UVT_TMP", "/tmp", 1);
    QORSysSwapFile file;
    ASSERT_TRUE(Init(file, 65536));
    Ref first(MakeBlob(file, 8192, 1)), second(MakeBlob(file, 8192, 2));
    ASSERT_EQ(file.SwapOutObject(first.H()) | file.SwapOutObject(second.H()), 0);
    platform::SetIoFaultFilter(&RecordIo);
    gHalve = true;
    EXPECT_TRUE(first.Get()->Intact(1) && second.Get()->Intact(2));
    gHalve = false;
    platform::SetIoFaultFilter(nullptr);
    EXPECT_EQ(TakeIo(), std::getenv("QOR_TEST_MAPPED") != nullptr ? "r8192r8192r4096"
                                                                  : "r8192r4096r8192r4096");
}

TEST(SwapFileEnvironment, FilesAreNumberedZoneBlocksStayInThePoolAndFilesAreKept) {
    const char* selected = std::getenv("QOR_TEST_SWAP_DIR");
    if (selected == nullptr) ::setenv("QPL_UVT_TMP", selected = "/tmp", 1);
    const std::string path = selected + ("/SwapFile" + std::to_string(getpid())) + "_";
    QORSysSwapFile second, *file = new QORSysSwapFile;
    ASSERT_TRUE(Init(*file, 65536) && Init(second, 4096));
    EXPECT_EQ(file->Initialize(0, 65536, 4096, 8192), QORSysSwapFailure); // refused
    EXPECT_EQ(PathOf(SF::Stream(*file)), path + "0.txt");
    EXPECT_EQ(PathOf(SF::Stream(second)), path + "1.txt");
    const auto permissions = std::filesystem::status(path + "0.txt").permissions();
    EXPECT_EQ(permissions & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_TRUE(std::getenv("QOR_TEST_POOLS_INACTIVE") == nullptr || State().config.inactive);
    EXPECT_TRUE(std::getenv("QOR_TEST_DELTA") == nullptr || State().instrumented);
    GeneralPool* pool = SF::Pool(*file); // whatever the configuration, the zone's blocks
    Ref small(MakeBlob(*file, 8192, 1)), large(MakeBlob(*file, 20000, 2));
    EXPECT_EQ(HeaderOf(small.Get())->ownerWord, Addr(pool) | 1);
    ASSERT_EQ(file->SwapOutObject(small.H()) | file->SwapOutObject(large.H()), 0);
    EXPECT_TRUE(small.Get()->Intact(1) && large.Get()->Intact(2));
    small = large = Ref();
    ASSERT_TRUE(MakeBlob(*file, 40000, 3) && MakeBlob(*file, 96, 4));
    ASSERT_EQ(file->SwapOutOldestObjects(0), 0); // its tail's buffer is dropped unwritten
    const int fd = fileno(SF::Stream(*file));
    delete file; // the zone is flushed and detached, not destroyed; the file is closed, not deleted
    EXPECT_EQ(State().poolRegistry->nextPool, pool);
    EXPECT_NE(pool->IsEmpty(), 0);
    EXPECT_EQ(pool->swapFile, nullptr);
    EXPECT_EQ(Blob::destroyed, 2);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(std::filesystem::file_size(path + "0.txt"), 40000);
    for (const char* name : {"0.txt", "1.txt"})
        std::filesystem::remove(path + name);
}

} // namespace
