// QORSpecializedNew routing by pool argument, the fixed pools it creates on first use, and the
// owner lookup that QORSpecializedDelete and QORSysGetAllocatorFromAddress share. Every case runs
// in a fresh process, so the fixed pools and the registry start empty.
#include "frontend/EntryPointsTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ostream>

namespace qor::test {
namespace {

constexpr std::uint64_t kPoolHeader = GeneralPool::kPoolHeaderBytes;
constexpr std::uint64_t kChunkHeader = SubPool::kHeaderBytes;
constexpr std::uintptr_t kExtraMarker = 16;
constexpr std::uintptr_t kForeign = 0xFF00;

class EntryPoints : public ::testing::Test {
protected:
    void SetUp() override { ConfigureThroughHeapBlock(); }

    // A general pool of one 32 KB chunk plus an added chunk that holds `big`.
    GeneralPool* PoolWithAddedChunk(void*& big) {
        auto* pool = static_cast<GeneralPool*>(QORSysCreatePool(0, 32768));
        big = NewFrom(40000, pool);
        return pool;
    }
};

bool AllBytesAre(const void* block, unsigned char value, std::size_t bytes) {
    const auto* p = static_cast<const unsigned char*>(block);
    for (std::size_t i = 0; i < bytes; ++i)
        if (p[i] != value) return false;
    return true;
}

TEST_F(EntryPoints, HeapBlockCarriesOwnerOneAndTotalSize) {
    MallocLog log;
    void* block = NewFrom(100, std::uintptr_t{0});
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(log.count, 1);
    EXPECT_EQ(log.sizes[0], 116u);
    EXPECT_EQ(HeaderOf(block)->ownerWord, 1u);
    EXPECT_EQ(HeaderOf(block)->sizeWord, 116u);
    EXPECT_EQ(QORSysGetAllocatorFromAddress(block), nullptr);
    std::memset(block, 0x5A, 100);
    QORSpecializedDelete(block, nullptr); // a block left behind shows up in LeakSanitizer
    EXPECT_EQ(CountFixedPools(), 0);
    EXPECT_EQ(gPoolRegistry, nullptr);
}

TEST_F(EntryPoints, HeapMallocFailureYieldsNull) {
    MallocLog log(/*failAll=*/true);
    EXPECT_EQ(NewFrom(100, std::uintptr_t{0}), nullptr);
    EXPECT_EQ(log.count, 1);
}

// Regression: size + 16 wrapped around, so a request for nearly 2^64 bytes got a few bytes of
// malloc with the header written past them.
TEST_F(EntryPoints, HeapRequestThatWrapsAroundFails) {
    for (std::size_t size : {SIZE_MAX, SIZE_MAX - 7, SIZE_MAX - 15})
        EXPECT_EQ(NewFrom(size, std::uintptr_t{0}), nullptr) << size;
}

TEST_F(EntryPoints, ArgumentsThatNameNoPoolFail) {
    MallocLog log;
    for (std::uintptr_t argument = 3; argument <= 31; ++argument) {
        if (argument == 4 || argument == 8) continue;
        EXPECT_EQ(NewFrom(24, argument), nullptr) << "pool argument " << argument;
    }
    EXPECT_EQ(log.count, 0);
    EXPECT_EQ(CountFixedPools(), 0);
    EXPECT_EQ(gThreadedPool, nullptr);
}

// One request that creates a fixed pool: which entry, with which chunk size and flags. The flags
// are those of creation plus what every general pool sets on itself (0x11, and 0x200000 when
// tracked).
struct FixedRoute {
    const char* name;
    std::size_t size;
    std::uintptr_t poolArgument;
    std::uintptr_t param;
    int n;
    int entry; // kThreaded for the threaded pool
    std::uint64_t chunkBytes;
    std::uint32_t flags;
};

void PrintTo(const FixedRoute& route, std::ostream* out) { *out << route.name; }

constexpr int kThreaded = -1;
constexpr std::uint32_t kPermanentFlags = 0x100000 | 0x200000 | 0x11;
constexpr std::uint32_t kSingleSizeFlags = 0xC0 | 0x11;
constexpr std::uint32_t kFastFlags = 0x40 | 0x11;
constexpr std::uint32_t kThreadedFlags = 0x8 | 0x11;

class EntryPointsFixedRoute : public EntryPoints,
                              public ::testing::WithParamInterface<FixedRoute> {};

TEST_P(EntryPointsFixedRoute, CreatesItsPoolOnceWithItsSizeAndFlags) {
    const FixedRoute& route = GetParam();
    MallocLog log;
    void* first = NewFrom(route.size, route.poolArgument, Ptr(route.param), route.n);
    ASSERT_NE(first, nullptr);
    GeneralPool* pool = route.entry == kThreaded ? gThreadedPool : gFixedPools[route.entry];
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(CountFixedPools() + (gThreadedPool != nullptr), 1);
    ASSERT_EQ(log.count, 1);
    EXPECT_EQ(log.sizes[0], route.chunkBytes);
    EXPECT_EQ(pool->chunk.size, route.chunkBytes);
    EXPECT_EQ(pool->chunk.flags, route.flags);
    EXPECT_EQ(gPoolRegistry, pool);

    const bool arena = route.param == kExtraMarker;
    void* owner = QORSysGetAllocatorFromAddress(first);
    if (arena) {
        EXPECT_EQ(owner, static_cast<char*>(first) - GeneralPool::kArenaOverheadBytes);
        EXPECT_EQ(FieldsOf(owner)->owner, pool);
    } else {
        EXPECT_EQ(owner, pool);
    }

    // The same request again is served by the same pool, which is not created a second time.
    void* second = NewFrom(route.size, route.poolArgument, Ptr(route.param), route.n);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(log.count, 1);
    EXPECT_EQ(FieldsOf(QORSysGetAllocatorFromAddress(second))->owner, pool);

    std::memset(first, 0x11, route.size);
    std::memset(second, 0x22, route.size);
    EXPECT_TRUE(AllBytesAre(first, 0x11, route.size));
    QORSpecializedDelete(first, nullptr);
    QORSpecializedDelete(second, nullptr);
    // An arena's carrying block is never given back to its chunk.
    if (!arena) {
        EXPECT_EQ(pool->chunk.free, FreeWhenEmpty(pool, kPoolHeader));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Routes, EntryPointsFixedRoute,
    ::testing::Values(
        FixedRoute{"Permanent", 100, 1, 0, 0, 0, 0x200000, kPermanentFlags},
        FixedRoute{"Size0ToFastPool", 0, 4, 0, 0, 16, 0x40000, kFastFlags},
        FixedRoute{"Size1ToKey8", 1, 4, 0, 0, 1, 0x40000, kSingleSizeFlags},
        FixedRoute{"Size20ToKey24", 20, 4, 0, 0, 3, 0x40000, kSingleSizeFlags},
        FixedRoute{"Size73ToKey80", 73, 4, 0, 0, 10, 0x40000, kSingleSizeFlags},
        FixedRoute{"Size81ToFastPool", 81, 4, 0, 0, 16, 0x40000, kFastFlags},
        FixedRoute{"Size120ToFastPool", 120, 4, 0, 0, 16, 0x40000, kFastFlags},
        FixedRoute{"Size121ToKey128", 121, 4, 0, 0, 11, 0x40000, kSingleSizeFlags},
        FixedRoute{"Size129ToFastPool", 129, 4, 0, 0, 16, 0x40000, kFastFlags},
        // n counts only when param is the marker 16: 104 + 24 makes key 128, an arena.
        FixedRoute{"ReservedRoomCountsInKey", 24, 4, kExtraMarker, 104, 11, 0x40000,
                   kSingleSizeFlags},
        FixedRoute{"ParamOtherThanMarkerAddsNoRoom", 20, 4, 17, 104, 3, 0x40000, kSingleSizeFlags},
        FixedRoute{"Threaded", 50, 32, 0, 0, kThreaded, 0x80000, kThreadedFlags}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EntryPoints, ReservedRoomOfEightMakesKey32) {
    // Eight bytes cannot hold an arena's headers, so the pool may refuse; the request must still
    // have gone to the pool for 32, not to the one for 24.
    void* block = NewFrom(20, 4, Ptr(kExtraMarker), 8);
    ASSERT_NE(gFixedPools[4], nullptr);
    EXPECT_EQ(gFixedPools[3], nullptr);
    EXPECT_EQ(CountFixedPools(), 1);
    QORSpecializedDelete(block, nullptr);
}

TEST_F(EntryPoints, PoolObjectAsArgumentOrInParam) {
    void* pool = QORSysCreatePool(0, 32768);
    void* direct = NewFrom(40, pool);
    void* inParam = NewFrom(40, 2, pool);
    ASSERT_NE(direct, nullptr);
    ASSERT_NE(inParam, nullptr);
    EXPECT_NE(direct, inParam);
    EXPECT_EQ(QORSysGetAllocatorFromAddress(direct), pool);
    EXPECT_EQ(QORSysGetAllocatorFromAddress(inParam), pool);
    EXPECT_EQ(CountFixedPools(), 0);
    QORSpecializedDelete(direct, nullptr);
    QORSpecializedDelete(inParam, nullptr);
    EXPECT_EQ(FieldsOf(pool)->free, FreeWhenEmpty(pool, kPoolHeader));
}

TEST_F(EntryPoints, BesideBlockPlacesInTheChunkThatHoldsIt) {
    void* big = nullptr;
    GeneralPool* pool = PoolWithAddedChunk(big);
    void* inFirstChunk = NewFrom(48, pool);
    void* added = QORSysGetAllocatorFromAddress(big);
    ASSERT_NE(added, nullptr);
    ASSERT_NE(added, pool);
    std::memset(inFirstChunk, 0xA5, 48);

    void* nearFirst = NewFrom(32, 8, inFirstChunk);
    void* nearBig = NewFrom(32, 8, big);
    EXPECT_EQ(QORSysGetAllocatorFromAddress(nearFirst), pool);
    EXPECT_EQ(QORSysGetAllocatorFromAddress(nearBig), added);
    // The neighbour stays allocated and untouched.
    EXPECT_TRUE(AllBytesAre(inFirstChunk, 0xA5, 48));
    EXPECT_EQ(QORSysGetAllocatorFromAddress(inFirstChunk), pool);
    EXPECT_EQ(CountFixedPools(), 0);
}

TEST_F(EntryPoints, BesideBlockPlacesInsideItsArena) {
    void* pool = QORSysCreatePool(0, 32768);
    void* object = NewFrom(40, pool, Ptr(kExtraMarker), 200);
    ASSERT_NE(object, nullptr);
    void* arena = QORSysGetAllocatorFromAddress(object);
    ASSERT_EQ(arena, static_cast<char*>(object) - GeneralPool::kArenaOverheadBytes);
    // The arena begins at its carrying block's header: owner word = holding chunk | 3.
    EXPECT_EQ(*static_cast<std::uintptr_t*>(arena), reinterpret_cast<std::uintptr_t>(pool) | 3);
    EXPECT_EQ(FieldsOf(arena)->owner, pool);

    auto* inArena = static_cast<char*>(NewFrom(32, 8, object));
    ASSERT_NE(inArena, nullptr);
    EXPECT_EQ(QORSysGetAllocatorFromAddress(inArena), arena);
    EXPECT_GE(inArena, static_cast<char*>(object) + 40);
    EXPECT_LE(inArena + 32, static_cast<char*>(arena) + 40 + 200);
}

TEST_F(EntryPoints, BesideBlockFailsForHeapNullAndForeignBlocks) {
    void* heap = NewFrom(64, std::uintptr_t{0});
    EXPECT_EQ(NewFrom(32, 8, heap), nullptr);
    EXPECT_EQ(NewFrom(32, 8, nullptr), nullptr);
    alignas(16) std::uintptr_t foreign[6] = {};
    EXPECT_EQ(NewFrom(32, 8, &foreign[2]), nullptr);
    EXPECT_EQ(CountFixedPools(), 0);
    QORSpecializedDelete(heap, nullptr);
}

TEST_F(EntryPoints, LookupResultWorksAsReleaseArgument) {
    EXPECT_EQ(QORSysGetAllocatorFromAddress(nullptr), nullptr);
    void* big = nullptr;
    GeneralPool* pool = PoolWithAddedChunk(big);
    void* added = QORSysGetAllocatorFromAddress(big);
    void* small = NewFrom(48, pool);
    void* object = NewFrom(40, pool, Ptr(kExtraMarker), 200);
    void* arena = QORSysGetAllocatorFromAddress(object);
    void* inArena = NewFrom(32, 8, object);
    const std::uint64_t poolFreeWithArena = pool->chunk.free;
    const std::uint64_t smallPiece = HeaderOf(small)->sizeWord;

    for (void* block : {big, small, inArena, object})
        QORSpecializedDelete(block, QORSysGetAllocatorFromAddress(block));
    EXPECT_EQ(FieldsOf(added)->free, FreeWhenEmpty(added, kChunkHeader));
    // The arena is one free area again once both of its blocks are back.
    EXPECT_EQ(FieldsOf(arena)->free, 240 - kChunkHeader);
    EXPECT_EQ(FieldsOf(arena)->freeAreaCount, 1u);
    EXPECT_EQ(pool->chunk.free, poolFreeWithArena + smallPiece);
}

TEST_F(EntryPoints, ExplicitChunkWinsOverHeader) {
    void* big = nullptr;
    PoolWithAddedChunk(big);
    void* added = QORSysGetAllocatorFromAddress(big);
    // With a header that claims a foreign block, only the caller's chunk can release it.
    HeaderOf(big)->ownerWord = 0;
    QORSpecializedDelete(big, added);
    EXPECT_EQ(FieldsOf(added)->free, FreeWhenEmpty(added, kChunkHeader));
}

TEST_F(EntryPoints, OwnerWordZeroReleasesAndCorruptsNothing) {
    void* pool = QORSysCreatePool(0, 32768);
    const std::uint64_t poolFree = FieldsOf(pool)->free;
    alignas(16) unsigned char foreign[64];
    std::memset(foreign, 0, 16);
    std::memset(foreign + 16, 0x3C, 48);
    unsigned char copy[64];
    std::memcpy(copy, foreign, sizeof(copy));
    // A stack buffer: a release that reached free() or a pool would be caught here or by ASan.
    EXPECT_EQ(QORSysGetAllocatorFromAddress(foreign + 16), Ptr(kForeign));
    QORSpecializedDelete(foreign + 16, nullptr);
    EXPECT_EQ(std::memcmp(foreign, copy, sizeof(copy)), 0);
    EXPECT_EQ(FieldsOf(pool)->free, poolFree);
}

TEST_F(EntryPoints, PoolNumbersAreNotAcceptedOnRelease) {
    void* block = NewFrom(24, 4);
    GeneralPool* pool = gFixedPools[3];
    const std::uint64_t freeWithBlock = pool->chunk.free;
    const BlockHeader header = *HeaderOf(block);
    for (std::uintptr_t number : {1, 4, 32})
        QORSpecializedDelete(block, Ptr(number));
    EXPECT_EQ(pool->chunk.free, freeWithBlock);
    EXPECT_EQ(HeaderOf(block)->ownerWord, header.ownerWord);
    EXPECT_EQ(HeaderOf(block)->sizeWord, header.sizeWord);
    EXPECT_EQ(gFixedPools[0], nullptr);
    EXPECT_EQ(gThreadedPool, nullptr);
    QORSpecializedDelete(block, nullptr);
    EXPECT_EQ(pool->chunk.free, FreeWhenEmpty(pool, kPoolHeader));
}

TEST_F(EntryPoints, ResizeNeverResizes) {
    void* block = NewFrom(24, 4);
    std::memset(block, 0x77, 24);
    EXPECT_EQ(QORSpecializedResize(block, 200, nullptr), nullptr);
    EXPECT_EQ(QORSpecializedResize(block, 8, gFixedPools[3]), nullptr);
    EXPECT_TRUE(AllBytesAre(block, 0x77, 24));
    EXPECT_EQ(QORSysGetAllocatorFromAddress(block), gFixedPools[3]);
    QORSpecializedDelete(block, nullptr);
}

TEST_F(EntryPoints, PagedReleaseReadsPoolFromPageDescriptor) {
    auto* pool = static_cast<GeneralPool*>(QORSysCreatePool(0, 32768));
    NewFrom(1000, pool); // keeps the pool from resetting when the piece comes back
    const std::uint64_t poolFree = pool->chunk.free;
    constexpr std::size_t kPage = 4096;
    auto* page = static_cast<std::uintptr_t*>(std::aligned_alloc(kPage, kPage));
    std::memset(page, 0, kPage);
    page[0xFD0 / 8] = reinterpret_cast<std::uintptr_t>(pool);
    // A 48-byte piece in the middle of the page, with the header the pool's Free reads.
    std::uintptr_t* piece = page + 2032 / 8;
    piece[0] = reinterpret_cast<std::uintptr_t>(pool) | 1;
    piece[1] = 48;
    QORSpecializedDelete(piece + 2, nullptr, QORSysPoolFlag::PAGED);
    EXPECT_EQ(pool->chunk.free, poolFree + 48);
    EXPECT_EQ(pool->chunk.freeList, reinterpret_cast<FreeArea*>(piece));
    // The pool's list now reaches into the page: drop the pool before the page.
    QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY);
    std::free(page);
}

TEST_F(EntryPoints, PagedReleaseReachesRealPagedPool) {
    auto* pool = static_cast<PoolBase*>(QORSysCreatePool(QORSysPoolFlag::PAGED, 0));
    ASSERT_NE(pool, nullptr);
    void* block = NewFrom(24, pool);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(pool->IsEmpty(), 0);
    QORSpecializedDelete(block, nullptr, QORSysPoolFlag::PAGED);
    EXPECT_EQ(pool->IsEmpty(), -1);
}

} // namespace
} // namespace qor::test
