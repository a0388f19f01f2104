// Shared helpers of the swap-file tests: the one definition of the test access class (the swap
// file and the swappable classes name it as a friend), a swappable test object whose whole block
// is checksummed, a smart handle that reaches its object, a fixture that opens swap files in a
// private directory, and the checks of the page bookkeeping and the age list.
#pragma once

#include "generalpool/GeneralPool.h"
#include "platform/Platform.h"
#include "swapfile/SwapFileInternals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

// Private fields and operations of the swap file and of the swappable classes.
class QORSysSwapFileTestAccess {
public:
    using File = QORSysSwapFile;
    using Buffer = QORSysSwapFile::PreSwapPage;

    static qor::GeneralPool* Pool(File& f) { return static_cast<qor::GeneralPool*>(f.pool); }
    static unsigned char* PageIndex(File& f) { return f.pageIndex; }
    static FILE* Stream(File& f) { return f.stream; }
    static std::uint64_t& ZoneCapacity(File& f) { return f.zoneCapacity; }
    static std::uint64_t& ZoneUsed(File& f) { return f.zoneUsed; }
    static std::uint64_t FileCapacity(File& f) { return f.fileCapacity; }
    static std::uint64_t AllocatedTotal(File& f) { return f.allocatedTotal; }
    static std::int32_t PageCount(File& f) { return f.pageCount; }
    static std::int32_t& FirstFreePage(File& f) { return f.firstFreePage; }
    static std::int32_t& PageHighWater(File& f) { return f.pageHighWater; }
    static Buffer* PreSwapPages(File& f) { return f.preSwapPages; }
    static QORSysSwappable* Oldest(File& f) { return f.oldest; }
    static QORSysSwappable* Newest(File& f) { return f.newest; }
    static std::uint32_t MinSwapOutBytes(File& f) { return f.minSwapOutBytes; }

    static QORSysSwappable* Newer(QORSysSwappable* o) { return o->newer; }
    static QORSysSwappable* Older(QORSysSwappable* o) { return o->older; }
    static QORSysSwapFile* FileOf(QORSysSwappable* o) { return o->swapFile; }
    static QORSysSwappableHdl* HandleOf(QORSysSwappable* o) { return o->handle; }
    static std::size_t SizeOf(QORSysSwappable* o) { return o->GetSize(); }
    static std::uint64_t Object(QORSysSwappableHdl* h) { return h->object; }
    static std::uint32_t RefCount(QORSysSwappableHdl* h) { return h->refCount; }
    static QORSysSwapFile* FileOf(QORSysSwappableHdl* h) { return h->swapFile; }
    static long RemoveObject(QORSysSwappableHdl* h) { return h->RemoveObject(); }

    static long EffectiveSwapOut(File& f, QORSysSwappable* o, QORSysSwappableHdl* h,
                                 unsigned* bytes) {
        return f.EffectiveSwapOut(o, h, bytes);
    }
    static long DirectCopyToFile(File& f, int page, void* bytes, std::size_t length) {
        return f.DirectCopyToFile(page, 0, bytes, length);
    }
    static long FreeIndex(File& f, int page) { return f.FreeIndex(page); }
    static void* FindAvailableZoneInPool(File& f, std::size_t size) {
        return f.FindAvailableZoneInPool(size);
    }
    static long SwapInPage(File& f, int page, std::size_t offset, QORSysSwappable** out) {
        return f.SwapInPage(page, offset, out, nullptr, 0);
    }
    static void* PageInPreSwapSpace(File& f, int page) { return f.PageInPreSwapSpace(page); }
    static void* RealAddress(File& f, QORSysSwappable* o) { return f.RealAddress(o); }
    static std::size_t Dump(File& f, FILE* stream, const char* tag, int detailed) {
        return f.DumpObjectsToSwap(stream, tag, detailed);
    }
};

namespace qor::test {

using SF = QORSysSwapFileTestAccess;
constexpr long kFail = QORSysSwapFailure;
constexpr std::size_t kPage = 8192;

inline std::uintptr_t Addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
inline std::uint64_t Locator(std::uint64_t page, std::uint64_t offset) {
    return page * 16384 + offset + 1;
}
inline std::uint64_t Fnv(const unsigned char* bytes, std::size_t count, std::uint64_t h) {
    for (std::size_t i = 0; i < count; ++i)
        h = (h ^ bytes[i]) * 0x100000001B3ULL;
    return h;
}

// A swappable object whose block is exactly `objectBytes` + 16 bytes (objectBytes a multiple of 8,
// at least 64): the bytes behind the fixed fields are a pattern of its seed, and `checksum` covers
// seed, size and pattern, so a copy that lost or mixed bytes on its way through the file shows.
class Blob : public QORSysSwappable {
public:
    Blob(QORSysSwapFile* file, std::size_t objectBytes, std::uint32_t seedValue)
        : QORSysSwappable(file, 0), seed(seedValue),
          bytes(static_cast<std::uint32_t>(objectBytes)) {
        for (std::size_t i = 0; i < PayloadBytes(); ++i)
            Payload()[i] = static_cast<unsigned char>((seed * 2654435761u + i * 131) >> 7);
        checksum = Sum();
    }
    ~Blob() override { ++destroyed; }

    unsigned char* Payload() { return reinterpret_cast<unsigned char*>(this + 1); }
    std::size_t PayloadBytes() const { return bytes - sizeof(Blob); }
    std::uint64_t Sum() {
        std::uint64_t h = Fnv(reinterpret_cast<const unsigned char*>(&seed), 8, 0xCBF29CE484222325);
        return Fnv(Payload(), PayloadBytes(), h);
    }
    bool Intact(std::uint32_t expectedSeed) { return seed == expectedSeed && checksum == Sum(); }

    static inline int destroyed = 0;
    std::uint32_t seed;
    std::uint32_t bytes;
    std::uint64_t checksum;
};
static_assert(sizeof(Blob) == 64, "a blob of 64 object bytes has a block of 80");

// A blob with a block of `blockBytes`, made through the class's operator new; null when the swap
// file refuses.
inline Blob* MakeBlob(QORSysSwapFile& file, std::size_t blockBytes, std::uint32_t seed) {
    const std::size_t objectBytes = blockBytes - qor::kBlockHeaderBytes;
    void* memory = QORSysSwappable::operator new(objectBytes, &file, nullptr, 0);
    return memory == nullptr ? nullptr : ::new (memory) Blob(&file, objectBytes, seed);
}

// A smart handle that reaches its object (bringing it back from disk).
class BlobRef : public QORSysSwappable_hdl {
public:
    BlobRef() = default;
    explicit BlobRef(QORSysSwappable* object) : QORSysSwappable_hdl(object) {}
    explicit BlobRef(QORSysSwappableHdl* permanent) : QORSysSwappable_hdl(permanent) {}
    Blob* Get() { return static_cast<Blob*>(GetObject()); }
    using QORSysSwappable_hdl::SetObject;
    QORSysSwappableHdl* Permanent() const { return handle; }
    std::uint64_t Object() const { return SF::Object(handle); }
    bool OnDisk() const { return (Object() & 1) != 0; }
};

// The age list from oldest to newest; the test fails on a broken back link.
inline std::vector<QORSysSwappable*> AgeList(QORSysSwapFile& file) {
    std::vector<QORSysSwappable*> list;
    QORSysSwappable* previous = nullptr;
    for (QORSysSwappable* o = SF::Oldest(file); o != nullptr; o = SF::Newer(o)) {
        EXPECT_EQ(SF::Older(o), previous);
        list.push_back(o);
        previous = o;
        if (list.size() > 1000000) break;
    }
    EXPECT_EQ(SF::Newest(file), previous);
    return list;
}

inline std::vector<SF::Buffer*> Buffers(QORSysSwapFile& file) {
    std::vector<SF::Buffer*> list;
    for (SF::Buffer* b = SF::PreSwapPages(file); b != nullptr; b = b->next)
        list.push_back(b);
    return list;
}
inline SF::Buffer* BufferOf(QORSysSwapFile& file, std::uint32_t page) {
    for (SF::Buffer* b : Buffers(file))
        if (b->pageNumber == page) return b;
    return nullptr;
}

// The run-length rule of every entry, firstFreePage the lowest free page, every page from
// pageHighWater on free, and every page buffer on a booked page of its own.
inline testing::AssertionResult PageBookkeepingHolds(QORSysSwapFile& file) {
    const unsigned char* index = SF::PageIndex(file);
    const int count = SF::PageCount(file);
    int run = 0, lowestFree = count;
    for (int page = count - 1; page >= 0; --page) {
        run = index[page] == 0 ? 0 : run + 1;
        if (index[page] != 0 && index[page] != std::min(run, 255))
            return testing::AssertionFailure()
                   << "entry " << page << " is " << int(index[page]) << " in a run of " << run;
        if (index[page] != 0) lowestFree = page;
    }
    if (SF::FirstFreePage(file) != lowestFree)
        return testing::AssertionFailure()
               << "firstFreePage " << SF::FirstFreePage(file) << ", lowest free " << lowestFree;
    for (int page = std::max(SF::PageHighWater(file), 0); page < count; ++page)
        if (index[page] == 0)
            return testing::AssertionFailure()
                   << "page " << page << " used above high water " << SF::PageHighWater(file);
    std::vector<std::uint32_t> seen;
    for (SF::Buffer* b : Buffers(file)) {
        if (b->pageNumber >= std::uint32_t(count) || index[b->pageNumber] != 0 ||
            std::count(seen.begin(), seen.end(), b->pageNumber) != 0)
            return testing::AssertionFailure() << "buffer of page " << b->pageNumber;
        seen.push_back(b->pageNumber);
    }
    return testing::AssertionSuccess();
}

// The path of an open stream, as the kernel knows it.
inline std::string PathOf(FILE* stream) {
    if (stream == nullptr) return {};
    const std::string link = "/proc/self/fd/" + std::to_string(fileno(stream));
    std::error_code error;
    return std::filesystem::read_symlink(link, error).string();
}

// Page `page` of a file as plain stdio reads it; zeros beyond the end.
inline std::vector<unsigned char> ReadFilePage(const std::string& path, int page) {
    std::vector<unsigned char> bytes(kPage, 0);
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        if (std::fseek(f, long(page) * long(kPage), SEEK_SET) == 0)
            (void)!std::fread(bytes.data(), 1, kPage, f);
        std::fclose(f);
    }
    return bytes;
}
inline std::uint64_t WordAt(const unsigned char* bytes, std::size_t offset) {
    std::uint64_t word;
    std::memcpy(&word, bytes + offset, sizeof word);
    return word;
}

// The write seam: counts the writes that reach it and fails those that the chosen rule names.
struct WriteLog {
    static inline std::size_t lengths[256];
    static inline std::size_t count = 0;
    static inline std::size_t failAbove = SIZE_MAX; // writes longer than this fail
    static bool Filter(std::size_t length) {
        if (count < 256) lengths[count] = length;
        ++count;
        return length > failAbove;
    }
    static void Start(std::size_t failLongerThan = SIZE_MAX) {
        count = 0;
        failAbove = failLongerThan;
        qor::platform::SetWriteFailureFilter(&Filter);
    }
    static void Stop() { qor::platform::SetWriteFailureFilter(nullptr); }
    static std::vector<std::size_t> Lengths() {
        return {lengths, lengths + std::min<std::size_t>(count, 256)};
    }
};

// Opens swap files whose files go to a private directory (QPL_UVT_TMP), removed at the end.
class SwapFileTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qorswaptest.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        ::setenv("QPL_UVT_TMP", pattern, 1);
        Blob::destroyed = 0;
    }
    void TearDown() override {
        WriteLog::Stop();
        qor::platform::SetMallocFailureFilter(nullptr);
        files_.clear();
        std::error_code error;
        std::filesystem::remove_all(directory_, error);
    }

    QORSysSwapFile& Open(std::size_t zone, std::size_t minimumZone, std::size_t capacity) {
        files_.push_back(std::make_unique<QORSysSwapFile>());
        EXPECT_EQ(files_.back()->Initialize(0, zone, minimumZone, capacity), 0);
        return *files_.back();
    }
    void Close(QORSysSwapFile& file) {
        std::erase_if(files_, [&](const auto& f) { return f.get() == &file; });
    }

    std::string directory_;
    std::vector<std::unique_ptr<QORSysSwapFile>> files_;
};

} // namespace qor::test
