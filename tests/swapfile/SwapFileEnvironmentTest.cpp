// Cases that need a process of their own with a chosen environment (tests/swapfile/CMakeLists.txt
// registers each one): the directory and name of the swap file, the sequence number of later swap
// files, and the zone's block headers under the configurations and the instrumentation delta.
#include "SwapFileTestSupport.h"

#include "frontend/Configuration.h"
#include "frontend/Hooks.h"

using namespace qor;
using namespace qor::test;

namespace {

std::string Expected(const std::string& directory, int sequence) {
    return directory + "/SwapFile" + std::to_string(::getpid()) + "_" + std::to_string(sequence) +
           ".txt";
}

const char* Required(const char* variable) {
    const char* value = std::getenv(variable);
    EXPECT_NE(value, nullptr) << variable << " must be set for this case";
    return value != nullptr ? value : "";
}

} // namespace

// QOR_TEST_SWAP_DIR: the directory that the swap-file variables must select (may be empty).
TEST(SwapFileNaming, FirstFileGoesToTheSelectedDirectory) {
    const std::string directory = Required("QOR_TEST_SWAP_DIR");
    const std::string path = Expected(directory, 0);
    if (::access(directory.empty() ? "/" : directory.c_str(), W_OK) != 0) {
        EXPECT_EXIT(QORSysSwapFile().Initialize(0, 4096, 4096, 8192), testing::ExitedWithCode(1),
                    "^Unable to open swap file");
        return;
    }
    {
        QORSysSwapFile file;
        ASSERT_EQ(file.Initialize(0, 4096, 4096, 8192), 0);
        EXPECT_EQ(PathOf(SF::Stream(file)), path);
    }
    EXPECT_TRUE(std::filesystem::exists(path)); // kept after the swap file is gone
    std::filesystem::remove(path);
}

TEST(SwapFileNaming, LaterSwapFilesTakeTheNextNumbers) {
    const std::string directory = Required("QPL_UVT_TMP");
    std::vector<std::unique_ptr<QORSysSwapFile>> files;
    for (int i = 0; i < 3; ++i) {
        files.push_back(std::make_unique<QORSysSwapFile>());
        ASSERT_EQ(files.back()->Initialize(0, 65536, 4096, 1 << 20), 0);
        EXPECT_EQ(PathOf(SF::Stream(*files.back())), Expected(directory, i));
    }
    // Each file is its own: a page written through the second leaves the others empty.
    BlobRef ref(MakeBlob(*files[1], 8192, 1));
    ASSERT_EQ(files[1]->SwapOutObject(ref.Permanent()), 0);
    EXPECT_EQ(std::filesystem::file_size(Expected(directory, 1)), kPage);
    EXPECT_EQ(std::filesystem::file_size(Expected(directory, 0)), 0u);
    EXPECT_EQ(std::filesystem::file_size(Expected(directory, 2)), 0u);
    EXPECT_TRUE(ref.Get()->Intact(1));
    ref = BlobRef();
    files.clear();
    for (int i = 0; i < 3; ++i)
        std::filesystem::remove(Expected(directory, i));
}

// QOR_TEST_POOLS_INACTIVE=1: the configuration must have turned the pools off (OFF, CANCELED or
// ReplayPurify); QOR_TEST_DELTA=n: the instrumentation must hand out heap blocks n bytes in.
// Whatever those say, objects sit in blocks of the zone pool with its 16-byte header, go to the
// file with the pool as owner and come back, and their release returns the blocks to the pool.
TEST_F(SwapFileTest, ZoneBlocksCarryThePoolHeaderUnderEveryConfiguration) {
    QORSysSwapFile& file = Open(65536, 4096, 1 << 20);
    GeneralPool* pool = SF::Pool(file);
    ASSERT_NE(pool, nullptr);
    if (std::getenv("QOR_TEST_POOLS_INACTIVE") != nullptr) {
        EXPECT_EQ(config::gInactive, -1);
    }
    if (const char* delta = std::getenv("QOR_TEST_DELTA")) {
        ASSERT_EQ(hooks::gInstrumentationState, 1);
        void* heapBlock = QORSpecializedNew(64, nullptr, nullptr, 0);
        const std::size_t bytes = std::strtoul(delta, nullptr, 10);
        EXPECT_EQ(reinterpret_cast<std::uint64_t*>(static_cast<char*>(heapBlock) - bytes)[-1],
                  bytes + 64 + 16)
            << "the hook library's delta is not in effect";
        QORSpecializedDelete(heapBlock, nullptr);
    }

    const std::size_t blocks[] = {2000, 2000, 4176, 20000, 120};
    std::vector<BlobRef> refs;
    for (std::uint32_t i = 0; i < 5; ++i) {
        Blob* blob = MakeBlob(file, blocks[i], i);
        ASSERT_NE(blob, nullptr);
        EXPECT_EQ(HeaderOf(blob)->ownerWord, Addr(pool) | 1);
        EXPECT_EQ(HeaderOf(blob)->sizeWord, blocks[i]);
        refs.emplace_back(blob);
    }
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(file.SwapOutObject(refs[i].Permanent()), 0);
    const std::vector<unsigned char> page = ReadFilePage(PathOf(SF::Stream(file)), 0);
    for (std::size_t offset : {0, 2000, 4000})
        EXPECT_EQ(WordAt(page.data(), offset), Addr(pool) | 1) << offset;
    EXPECT_EQ(WordAt(ReadFilePage(PathOf(SF::Stream(file)), 1).data(), 8), 20000u);

    char* text = nullptr;
    std::size_t length = 0;
    FILE* stream = open_memstream(&text, &length);
    EXPECT_EQ(SF::Dump(file, stream, "Z", 0), 1u);
    std::fclose(stream);
    EXPECT_STREQ(text, "<Z>\n<count=1>\n<size=120>\n</Z>\n");
    std::free(text);

    for (std::uint32_t i = 0; i < 5; ++i)
        EXPECT_TRUE(refs[i].Get()->Intact(i)) << i;
    refs.clear();
    EXPECT_EQ(Blob::destroyed, 5);
    EXPECT_EQ(SF::Oldest(file), nullptr);
    EXPECT_NE(pool->IsEmpty(), 0); // every block went back to the pool, none to free()
    EXPECT_TRUE(PageBookkeepingHolds(file));
}
