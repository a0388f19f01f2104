// Set-up and tear-down of a swap file: the zone and its shrinking fallback, the page table, the
// refusal of a second Initialize, the small public operations, the destructor, and the process
// end when the file cannot be opened.
#include "SwapFileTestSupport.h"

#include <fstream>

using namespace qor;
using namespace qor::test;

namespace {

// Chunk requests (32 KB and up) reaching the malloc seam, and the size above which they fail.
struct ChunkRequests {
    static inline std::size_t sizes[64];
    static inline std::size_t count = 0;
    static inline std::size_t failFrom = SIZE_MAX;
    static bool Filter(std::size_t bytes) {
        if (bytes < 32768) return false;
        if (count < 64) sizes[count++] = bytes;
        return bytes >= failFrom;
    }
    static void Start(std::size_t failFromBytes) {
        count = 0;
        failFrom = failFromBytes;
        platform::SetMallocFailureFilter(&Filter);
    }
    static std::vector<std::size_t> Sizes() { return {sizes, sizes + count}; }
};

bool IsRegistered(const void* pool) {
    for (PoolBase* p = gPoolRegistry; p != nullptr; p = p->nextPool)
        if (p == pool) return true;
    return false;
}

bool IsOpenInThisProcess(const std::string& path) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error).string() == path) return true;
    }
    return false;
}

} // namespace

TEST_F(SwapFileTest, InitializeMakesANeverGrowingZoneAndTheWholePageTable) {
    QORSysSwapFile& file = Open(10000, 5000, 100000);
    GeneralPool* pool = SF::Pool(file);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->chunk.flags, 0x220u | 0x11u);
    EXPECT_EQ(pool->chunk.size, 32768u); // 12288 asked, the smallest chunk is 32 KB
    EXPECT_EQ(pool->swapFile, &file);
    std::size_t freeBytes = 0;
    QORSysPoolGetFreeSpace(pool, &freeBytes, nullptr);
    EXPECT_EQ(SF::ZoneCapacity(file), freeBytes);
    EXPECT_EQ(freeBytes, 32768u - 112);
    EXPECT_EQ(SF::FileCapacity(file), 106496u);
    ASSERT_EQ(SF::PageCount(file), 13);
    for (int page = 0; page < 13; ++page) {
        EXPECT_EQ(SF::PageIndex(file)[page], 13 - page);
        EXPECT_EQ(SwapFileInternals::TailOf(file, page), 0);
    }
    EXPECT_EQ(SF::FirstFreePage(file), 0);
    EXPECT_EQ(SF::PageHighWater(file), 0);
    EXPECT_EQ(SF::ZoneUsed(file), 0u);
    EXPECT_EQ(SF::AllocatedTotal(file), 0u);
    EXPECT_EQ(SF::MinSwapOutBytes(file), 1u);
    EXPECT_EQ(SF::PreSwapPages(file), nullptr);
    EXPECT_EQ(SF::Oldest(file), nullptr);
    EXPECT_EQ(PathOf(SF::Stream(file)).rfind(directory_ + "/SwapFile", 0), 0u);
    EXPECT_TRUE(PageBookkeepingHolds(file));
}

TEST_F(SwapFileTest, ZoneIsRoundedUpTo4096AndSizedByItsFreeBytes) {
    QORSysSwapFile& file = Open(100000, 4096, 8192);
    EXPECT_EQ(SF::Pool(file)->chunk.size, 102400u);
    EXPECT_EQ(SF::ZoneCapacity(file), 102400u - 112);
    EXPECT_EQ(SF::PageCount(file), 1);
    EXPECT_EQ(SF::PageIndex(file)[0], 1);
}

TEST_F(SwapFileTest, PageTableOfAThousandPages) {
    QORSysSwapFile& file = Open(4096, 4096, 1000 * kPage);
    ASSERT_EQ(SF::PageCount(file), 1000);
    for (int page = 0; page <= 745; ++page)
        ASSERT_EQ(SF::PageIndex(file)[page], 255) << page;
    for (int page = 746; page < 1000; ++page)
        ASSERT_EQ(SF::PageIndex(file)[page], 1000 - page) << page;
}

TEST_F(SwapFileTest, ThreeGigabytesAreCappedAt262144Pages) {
    const std::size_t threeGb = std::size_t{3} << 30;
    QORSysSwapFile& file = Open(4096, 4096, threeGb);
    EXPECT_EQ(SF::FileCapacity(file), threeGb);
    ASSERT_EQ(SF::PageCount(file), 262144);
    EXPECT_EQ(SF::PageIndex(file)[262144 - 255], 255);
    EXPECT_EQ(SF::PageIndex(file)[262144 - 254], 254);
    EXPECT_EQ(SF::PageIndex(file)[262143], 1);
    EXPECT_TRUE(PageBookkeepingHolds(file));
}

TEST_F(SwapFileTest, ShrinkingFallbackHalvesTheDistanceToTheMinimum) {
    ChunkRequests::Start(300000);
    QORSysSwapFile& file = Open(1 << 20, 256 << 10, 1 << 20);
    platform::SetMallocFailureFilter(nullptr);
    EXPECT_EQ(ChunkRequests::Sizes(),
              (std::vector<std::size_t>{1048576, 655360, 458752, 360448, 311296, 286720}));
    ASSERT_NE(SF::Pool(file), nullptr);
    // The fallback zone may grow: it lacks NO_NEW_SUBPOOL.
    EXPECT_EQ(SF::Pool(file)->chunk.flags, 0x20u | 0x11u);
    EXPECT_EQ(SF::ZoneCapacity(file), 286720u - 112);
    EXPECT_EQ(SF::Pool(file)->swapFile, &file);
    EXPECT_EQ(SF::PageCount(file), 128);
}

TEST_F(SwapFileTest, NoZoneEvenAtTheMinimumFailsBeforeAnythingElse) {
    ChunkRequests::Start(0);
    QORSysSwapFile file;
    EXPECT_EQ(file.Initialize(0, 65536, 32768, 1 << 20), kFail);
    EXPECT_EQ(ChunkRequests::Sizes(),
              (std::vector<std::size_t>{65536, 49152, 40960, 36864, 32768}));
    platform::SetMallocFailureFilter(nullptr);
    EXPECT_EQ(SF::Pool(file), nullptr);
    EXPECT_EQ(SF::PageIndex(file), nullptr);
    EXPECT_EQ(SF::Stream(file), nullptr);
    EXPECT_EQ(SF::FileCapacity(file), 0u);
    EXPECT_EQ(SF::PageCount(file), 0);
    EXPECT_TRUE(std::filesystem::is_empty(directory_));
    QORSysSwappable* out = reinterpret_cast<QORSysSwappable*>(16);
    EXPECT_EQ(file.AllocateObject(100, &out), kFail);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(MakeBlob(file, 128, 1), nullptr);
    EXPECT_EQ(SF::AllocatedTotal(file), 0u);
}

TEST_F(SwapFileTest, ZoneNotAboveTheMinimumGoesOnWithoutAZone) {
    ChunkRequests::Start(0);
    QORSysSwapFile& file = Open(8192, 8192, 1 << 20);
    platform::SetMallocFailureFilter(nullptr);
    EXPECT_EQ(ChunkRequests::Sizes(), std::vector<std::size_t>{32768});
    EXPECT_EQ(SF::Pool(file), nullptr);
    EXPECT_EQ(SF::ZoneCapacity(file), 8192u);
    EXPECT_NE(SF::Stream(file), nullptr);
    EXPECT_EQ(SF::PageCount(file), 128);
    EXPECT_EQ(MakeBlob(file, 128, 1), nullptr);
    EXPECT_EQ(SF::AllocatedTotal(file), 0u);
}

TEST_F(SwapFileTest, SecondInitializeIsRefusedAndChangesNothing) {
    QORSysSwapFile& file = Open(10000, 5000, 100000);
    Blob* blob = MakeBlob(file, 200, 7);
    ASSERT_NE(blob, nullptr);
    unsigned char before[sizeof(QORSysSwapFile)];
    std::memcpy(before, static_cast<void*>(&file), sizeof before);
    EXPECT_EQ(file.Initialize(0, 50000, 5000, 200000), kFail);
    EXPECT_EQ(std::memcmp(before, static_cast<void*>(&file), sizeof before), 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory_), {}), 1);
    delete blob;
}

TEST_F(SwapFileTest, ZoneSizeRoundsUpToEightAndAddsEight) {
    QORSysSwapFile file;
    EXPECT_EQ(file.ZoneSize(0), 8u);
    EXPECT_EQ(file.ZoneSize(1), 16u);
    EXPECT_EQ(file.ZoneSize(8), 16u);
    EXPECT_EQ(file.ZoneSize(9), 24u);
    EXPECT_EQ(file.ZoneSize(17), 32u);
}

TEST_F(SwapFileTest, TuneSwapOutStoresAnyValueEvenBeforeInitialize) {
    QORSysSwapFile file;
    EXPECT_EQ(SF::MinSwapOutBytes(file), 1u);
    EXPECT_EQ(file.TuneSwapOut(0), 0);
    EXPECT_EQ(SF::MinSwapOutBytes(file), 0u);
    EXPECT_EQ(file.TuneSwapOut(0xFFFFFFFF), 0);
    EXPECT_EQ(SF::MinSwapOutBytes(file), 0xFFFFFFFFu);
    EXPECT_EQ(file.FreeAll(), 0);
    EXPECT_EQ(file.SwapIn(), 0);
    EXPECT_EQ(file.SwapOut(), 0);
}

TEST_F(SwapFileTest, AssignmentSharesTheZoneTheFileAndTheObjects) {
    QORSysSwapFile& file = Open(10000, 5000, 100000);
    Blob* blob = MakeBlob(file, 200, 1);
    QORSysSwapFile other;
    other = file;
    EXPECT_EQ(std::memcmp(static_cast<void*>(&other), static_cast<void*>(&file), sizeof other), 0);
    other = QORSysSwapFile(); // back to the constructed state: only `file` is destroyed
    EXPECT_EQ(SF::Pool(other), nullptr);
    EXPECT_EQ(SF::MinSwapOutBytes(other), 1u);
    delete blob;
}

TEST_F(SwapFileTest, DestructorEmptiesAndDetachesTheZoneAndKeepsTheFile) {
    auto* file = new QORSysSwapFile;
    ASSERT_EQ(file->Initialize(0, 10000, 5000, 100000), 0);
    GeneralPool* pool = SF::Pool(*file);
    const std::string path = PathOf(SF::Stream(*file));
    ASSERT_NE(MakeBlob(*file, 8192, 1), nullptr);
    ASSERT_NE(MakeBlob(*file, 400, 2), nullptr); // left in the zone
    ASSERT_EQ(file->SwapOutOldestObjects(0), 0); // the 8192-byte one fills page 0
    ASSERT_NE(MakeBlob(*file, 96, 3), nullptr);
    ASSERT_EQ(file->SwapOutOldestObjects(0), 0); // the 400-byte one: a buffer, dropped unwritten
    ASSERT_TRUE(IsOpenInThisProcess(path));

    delete file;
    EXPECT_TRUE(IsRegistered(pool)); // flushed with mode 0, not destroyed
    EXPECT_EQ(pool->swapFile, nullptr);
    EXPECT_NE(pool->IsEmpty(), 0);
    EXPECT_EQ(pool->chunk.free, 32768u - 112);
    EXPECT_EQ(Blob::destroyed, 0); // objects in the zone are gone without their destructors
    EXPECT_FALSE(IsOpenInThisProcess(path));
    EXPECT_EQ(std::filesystem::file_size(path), kPage);
}

TEST_F(SwapFileTest, FileThatCannotBeOpenedEndsTheProcess) {
    const auto openIn = [](const std::string& directory) {
        ::setenv("QPL_UVT_TMP", directory.c_str(), 1);
        QORSysSwapFile file;
        file.Initialize(0, 4096, 4096, 8192);
        std::fprintf(stderr, "still running\n");
        std::_Exit(0);
    };
    EXPECT_EXIT(openIn(directory_ + "/missing"), testing::ExitedWithCode(1),
                "^Unable to open swap file: No such file or directory");
    std::ofstream(directory_ + "/plain") << "x";
    EXPECT_EXIT(openIn(directory_ + "/plain"), testing::ExitedWithCode(1),
                "^Unable to open swap file: Not a directory");

    // Nested directories whose first 2047 path bytes name a file that could be created: a path
    // cut to the buffer instead of refused would open it.
    std::string nested = directory_;
    while (nested.size() < 1800) {
        nested += "/" + std::string(200, 'd');
        std::filesystem::create_directory(nested);
    }
    const std::string tooLong = nested + "/" + std::string(2047 - nested.size() - 1, 'f');
    EXPECT_EXIT(openIn(tooLong), testing::ExitedWithCode(1), "^Unable to open swap file");
    EXPECT_FALSE(std::filesystem::exists(tooLong.substr(0, 2047)));
}
