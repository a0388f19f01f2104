// The heap engine's edges, statistics and failures, called directly: zero-byte and over-aligned
// requests (beyond the segment too), huge blocks shrunk in place, pointers the engine must not
// claim, the figures class by class with blocks pending on another thread's list, allocations of
// a thread whose heap has ended, and mappings refused through the platform's failure filter.
#include "heap/Heap.h"
#include "HeapTestSupport.h"
#include "core/PoolCheck.h"
#include "core/SizeClasses.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/mman.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern "C" void* __libc_malloc(std::size_t bytes);
extern "C" void __libc_free(void* memory);

using namespace qor;
using namespace qor::heap;
using qor::heap::test::Now;

namespace {

bool Aligned(const void* p, std::size_t alignment) {
    return reinterpret_cast<std::uintptr_t>(p) % alignment == 0;
}

TEST(HeapEdges, ZeroBytesGiveDistinctBlocksOfTheSmallestClass) {
    void* a = Allocate(0);
    void* b = Allocate(0);
    void* c = AllocateZeroed(0);
    ASSERT_TRUE(a && b && c);
    EXPECT_TRUE(a != b && b != c && a != c);
    EXPECT_EQ(UsableBytes(a), kGrain);
    EXPECT_EQ(Now().classes[0].blocksInUse, 3u);
    void* d = AllocateAligned(256, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(Aligned(d, 256) && UsableBytes(d) >= 1);
    for (void* p : {a, b, c, d})
        Release(p);
    EXPECT_EQ(Now().bytesInUse, 0u);
}

// Every alignment from the grain to beyond the segment, for small, class-sized and huge requests:
// the start honours it, the bytes are usable, and the block goes back whole.
TEST(HeapEdges, AlignmentsUpToBeyondTheSegment) {
    for (std::size_t alignment = 16; alignment <= (std::size_t{64} << 20); alignment *= 2)
        for (std::size_t bytes : {std::size_t{1}, std::size_t{100}, std::size_t{5000},
                                  std::size_t{200000}, std::size_t{300000}, std::size_t{5} << 20}) {
            SCOPED_TRACE(testing::Message() << "alignment " << alignment << ", bytes " << bytes);
            auto* p = static_cast<char*>(AllocateAligned(alignment, bytes));
            ASSERT_NE(p, nullptr);
            EXPECT_TRUE(Aligned(p, alignment));
            EXPECT_TRUE(Owns(p));
            EXPECT_GE(UsableBytes(p), bytes);
            std::memset(p, 0xA5, bytes);
            EXPECT_GE(Now().bytesInUse, bytes);
            EXPECT_TRUE(ReleaseIfOwned(p));
            EXPECT_EQ(Now().bytesInUse, 0u);
        }
    EXPECT_EQ(Now().hugeBlocks, 0u);
}

TEST(HeapEdges, HugeBlockShrinksInPlaceAndKeepsItsPrefix) {
    const std::size_t bytes = std::size_t{6} << 20;
    auto* p = static_cast<char*>(Allocate(bytes));
    ASSERT_NE(p, nullptr);
    for (std::size_t i = 0; i < bytes; i += 4096)
        p[i] = static_cast<char>(i >> 12);
    const std::uint64_t held = Now().bytesHeld;
    auto* q = static_cast<char*>(Reallocate(p, std::size_t{1} << 20));
    EXPECT_EQ(q, p); // a huge block's own mapping shrinks where it is
    EXPECT_GE(UsableBytes(q), std::size_t{1} << 20);
    EXPECT_LT(UsableBytes(q), (std::size_t{1} << 20) + 4096);
    EXPECT_EQ(Now().bytesHeld, held - (bytes - (std::size_t{1} << 20)));
    for (std::size_t i = 0; i < (std::size_t{1} << 20); i += 4096)
        ASSERT_EQ(q[i], static_cast<char>(i >> 12)) << i;
    // Down to a class: the block moves into a page and the mapping goes.
    auto* r = static_cast<char*>(Reallocate(q, 5000));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r[4096], 1);
    EXPECT_EQ(Now().hugeBlocks, 0u);
    EXPECT_EQ(UsableBytes(r), ClassBytes(ClassOf(5000)));
    // And up again, growing across the classes into a mapping of its own.
    for (std::size_t size = 6000; size < (std::size_t{3} << 20); size = size * 3 / 2) {
        r = static_cast<char*>(Reallocate(r, size));
        ASSERT_NE(r, nullptr);
        ASSERT_EQ(r[4096], 1) << size;
    }
    EXPECT_EQ(Now().hugeBlocks, 1u);
    Release(r);
    // Its mapping waits for the next huge block, held and resident, until the delay or a trim.
    EXPECT_GT(Now().bytesHeld - Now().segments * kSegmentBytes, 0u);
    Trim();
    EXPECT_EQ(Now().bytesHeld - Now().segments * kSegmentBytes, 0u);
}

// Foreign pointers, null among them (every free(NULL) behind the override: UBSan once caught the
// look for a huge header 4 MiB below it computing nullptr - 4 MiB).
TEST(HeapEdges, ForeignPointersAreNotOwned) {
    void* keep = Allocate(64); // the engine has memory of its own
    int onStack = 0;
    static int inData = 0;
    void* small = __libc_malloc(100);
    void* large = __libc_malloc(std::size_t{8} << 20); // a mapping of the C library's
    for (void* p : {static_cast<void*>(&onStack), static_cast<void*>(&inData), small, large,
                    static_cast<void*>(nullptr), reinterpret_cast<void*>(~std::uintptr_t{0} << 12),
                    reinterpret_cast<void*>(std::uintptr_t{1} << 47)}) {
        EXPECT_FALSE(Owns(p)) << p;
        EXPECT_FALSE(ReleaseIfOwned(p)) << p;
    }
    __libc_free(small);
    __libc_free(large);
    EXPECT_TRUE(Owns(keep));
    EXPECT_EQ(Now().bytesInUse, 64u);
    Release(keep);
    // A huge block given back is no longer the engine's.
    void* huge = Allocate(std::size_t{1} << 20);
    Release(huge);
    EXPECT_FALSE(Owns(huge));
}

// A huge mapping shorter than its segment leaves the segment's last addresses to the kernel,
// which maps other memory there (behind the malloc override, the C library's blocks or the
// pools'). Taking such memory for the engine's once released the huge block under its owner.
TEST(HeapEdges, MemoryMappedPastAHugeMappingInItsSegmentIsNotOwned) {
    constexpr std::size_t kBytes = kLargestClassBytes + 1;
    auto* huge = static_cast<char*>(Allocate(kBytes));
    ASSERT_NE(huge, nullptr);
    std::memset(huge, 0x5A, kBytes);
    const std::size_t usable = UsableBytes(huge);
    char* past = huge + usable;
    ASSERT_NE(reinterpret_cast<std::uintptr_t>(past) % kSegmentBytes, 0u)
        << "the mapping ends its segment";
    // The kernel places mappings top down, so what lies right past the mapping is often taken:
    // the first free page of the segment's rest.
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(past) | (kSegmentBytes - 1)) + 1;
    void* other = MAP_FAILED;
    for (std::uintptr_t at = reinterpret_cast<std::uintptr_t>(past);
         other == MAP_FAILED && at < end; at += platform::kSystemPageBytes)
        other =
            ::mmap(reinterpret_cast<void*>(at), platform::kSystemPageBytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (other == MAP_FAILED) {
        Release(huge);
        GTEST_SKIP() << "the segment's rest is all taken";
    }
    auto* foreign = static_cast<char*>(other) + 64;
    EXPECT_FALSE(Owns(foreign));
    EXPECT_FALSE(ReleaseIfOwned(foreign));
    EXPECT_TRUE(Owns(huge));
    EXPECT_EQ(UsableBytes(huge), usable);
    // Still held: a second huge block of the size is not given the same mapping.
    void* second = Allocate(kBytes);
    EXPECT_NE(second, huge);
    EXPECT_EQ(huge[kBytes - 1], 0x5A);
    Release(second);
    Release(huge);
    ::munmap(other, platform::kSystemPageBytes);
}

// Owns answers for every address of a segment and of the first 4 MiB of a huge mapping (a block's
// own address is what is released and asked about; marking a huge block's later segments would make
// their first bytes read as headers), and for no byte past a released block.
TEST(HeapEdges, AddressesInsideBlocksAreOwned) {
    auto* small = static_cast<char*>(Allocate(100));
    EXPECT_TRUE(Owns(small + 50));
    auto* big = static_cast<char*>(Allocate(std::size_t{10} << 20));
    auto* aligned = static_cast<char*>(AllocateAligned(std::size_t{8} << 20, std::size_t{1} << 20));
    ASSERT_TRUE(big && aligned);
    EXPECT_TRUE(Owns(big + 4096));
    EXPECT_TRUE(Owns(aligned));
    EXPECT_EQ(UsableBytes(aligned), std::size_t{1} << 20);
    for (void* p :
         {static_cast<void*>(small), static_cast<void*>(big), static_cast<void*>(aligned)})
        Release(p);
    EXPECT_FALSE(Owns(big + 4096));
    EXPECT_FALSE(Owns(aligned));
}

// The figures class by class, huge blocks apart, and a block released by another thread counted
// as free while it waits on its page's list for the owner.
TEST(HeapStatistics, FollowLiveBlocksClassByClass) {
    std::vector<void*> blocks;
    std::uint64_t expected = 0;
    for (unsigned c = 0; c < kClassCount; ++c)
        for (unsigned k = 0; k <= c % 3; ++k) {
            blocks.push_back(Allocate(ClassBytes(c) - (c % 2)));
            expected += ClassBytes(c);
        }
    void* huge[2] = {Allocate(kLargestClassBytes + 1), AllocateZeroed(std::size_t{3} << 20)};
    Figures figures = Now();
    for (unsigned c = 0; c < kClassCount; ++c) {
        EXPECT_EQ(figures.classes[c].blocksInUse, c % 3 + 1u) << c;
        EXPECT_EQ(figures.classes[c].pages, 1u) << c;
        EXPECT_GE(figures.classes[c].blocksCarved, c % 3 + 1u) << c;
    }
    EXPECT_EQ(figures.hugeBlocks, 2u);
    EXPECT_EQ(figures.hugeBytes, UsableBytes(huge[0]) + UsableBytes(huge[1]));
    EXPECT_EQ(figures.bytesInUse, expected + figures.hugeBytes);
    EXPECT_EQ(figures.heaps, 1u);

    // Every other block from another thread: pending on the pages' lists, already free.
    std::thread([&] {
        for (std::size_t i = 0; i < blocks.size(); i += 2)
            Release(blocks[i]);
        Release(huge[0]);
    }).join();
    std::uint64_t left = 0;
    for (std::size_t i = 1; i < blocks.size(); i += 2)
        left += UsableBytes(blocks[i]);
    figures = Now();
    EXPECT_EQ(figures.hugeBlocks, 1u);
    EXPECT_EQ(figures.bytesInUse, left + UsableBytes(huge[1]));
    EXPECT_EQ(figures.heaps, 1u); // the releasing thread never needed a heap

    for (std::size_t i = 1; i < blocks.size(); i += 2)
        Release(blocks[i]);
    Release(huge[1]);
    EXPECT_EQ(Now().bytesInUse, 0u);
    Trim();
    figures = Now();
    EXPECT_EQ(figures.bytesHeld, 0u);
    EXPECT_EQ(figures.bytesResident, 0u);
    for (unsigned c = 0; c < kClassCount; ++c)
        EXPECT_EQ(figures.classes[c].pages, 0u) << c;
}

// A thread that ends with live blocks leaves its heap to the next thread; its blocks stay valid
// and come back through whichever thread releases them.
TEST(HeapStatistics, AnEndedThreadsHeapIsAdopted) {
    std::vector<char*> blocks(3000);
    std::thread([&] {
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            blocks[i] = static_cast<char*>(Allocate(i % 700));
            std::memset(blocks[i], int(i), i % 700);
        }
    }).join();
    Figures figures = Now();
    EXPECT_EQ(figures.heaps, 1u);
    EXPECT_EQ(figures.abandonedHeaps, 1u);
    for (std::size_t i = 0; i < blocks.size(); i += 2) {
        ASSERT_TRUE(i % 700 == 0 || blocks[i][i % 700 - 1] == char(i)) << i;
        Release(blocks[i]);
    }
    // The next thread takes the ended heap whole, and with it the blocks released meanwhile.
    std::thread([&] {
        void* p = Allocate(32);
        EXPECT_EQ(Now().abandonedHeaps, 0u);
        for (std::size_t i = 1; i < blocks.size(); i += 2)
            Release(blocks[i]);
        Release(p);
    }).join();
    figures = Now();
    EXPECT_EQ(figures.heaps, 1u);
    EXPECT_EQ(figures.bytesInUse, 0u);
    Trim();
    EXPECT_EQ(Now().bytesHeld, 0u);
}

// A thread-exit call that runs after the engine's (a key made later) still allocates: from the
// shared heap that serves ended threads, whose blocks any thread may release.
pthread_key_t gLateKey;
void* gLateBlock = nullptr;
void AllocateAtExit(void*) {
    gLateBlock = Allocate(200);
    if (gLateBlock) std::memset(gLateBlock, 7, 200);
    void* transient = Allocate(40);
    Release(transient);
}

TEST(HeapEdges, AllocationsAfterAThreadsHeapEndedAreServed) {
    Release(Allocate(16)); // the engine's thread-exit call first
    ASSERT_EQ(pthread_key_create(&gLateKey, AllocateAtExit), 0);
    std::thread([] {
        Release(Allocate(100));
        pthread_setspecific(gLateKey, &gLateKey);
    }).join();
    ASSERT_NE(gLateBlock, nullptr);
    EXPECT_TRUE(Owns(gLateBlock));
    EXPECT_EQ(static_cast<char*>(gLateBlock)[199], 7);
    EXPECT_EQ(Now().bytesInUse, ClassBytes(ClassOf(200)));
    Release(gLateBlock);
    EXPECT_EQ(Now().bytesInUse, 0u);
    Trim();
    EXPECT_EQ(Now().bytesHeld, 0u);
    pthread_key_delete(gLateKey);
}

// --- Refused mappings: null, and nothing of what was handed out before is lost.
bool gRefuse = false;
bool RefuseAll(std::size_t) { return gRefuse; }

TEST(HeapFailures, RefusedMappingsGiveNullAndKeepTheBlocks) {
    platform::SetMallocFailureFilter(RefuseAll);
    // A thread with no heap yet, when not even a heap can be had.
    gRefuse = true;
    std::thread([] {
        EXPECT_EQ(Allocate(64), nullptr);
        EXPECT_EQ(AllocateZeroed(64), nullptr);
    }).join();
    gRefuse = false;

    // This heap's first segment filled with one class, the next one refused.
    const std::size_t bytes = 8192;
    std::vector<char*> blocks{static_cast<char*>(Allocate(bytes))};
    ASSERT_NE(blocks[0], nullptr);
    ASSERT_EQ(Now().segments, 1u);
    gRefuse = true;
    while (char* p = static_cast<char*>(Allocate(bytes))) {
        blocks.push_back(p);
        ASSERT_LT(blocks.size(), 1000u);
    }
    EXPECT_EQ(blocks.size(), (kSlices - 1) * kSliceBytes / bytes);
    for (std::size_t i = 0; i < blocks.size(); ++i)
        std::memset(blocks[i], int(i), bytes);
    gRefuse = true;
    // Nothing more than a class can hold, huge and over-aligned requests, or realloc's growth.
    EXPECT_EQ(Allocate(std::size_t{1} << 20), nullptr);
    EXPECT_EQ(AllocateZeroed(std::size_t{1} << 20), nullptr);
    EXPECT_EQ(AllocateAligned(std::size_t{8} << 20, 64), nullptr);
    EXPECT_EQ(AllocateAligned(4096, kLargestClassBytes), nullptr);
    char* last = blocks.back();
    EXPECT_EQ(Reallocate(last, std::size_t{2} << 20), nullptr);
    const Figures refused = Now();
    EXPECT_EQ(refused.bytesInUse, blocks.size() * ClassBytes(ClassOf(bytes)));
    EXPECT_EQ(refused.hugeBlocks, 0u);

    gRefuse = false;
    // A huge block whose growth cannot move: refused, the block as it was.
    auto* huge = static_cast<char*>(Allocate(std::size_t{1} << 20));
    ASSERT_NE(huge, nullptr);
    std::memset(huge, 0x3C, std::size_t{1} << 20);
    void* neighbour = Allocate(std::size_t{1} << 20); // may block growth in place
    gRefuse = true;
    void* grown = Reallocate(huge, std::size_t{64} << 20);
    if (grown == nullptr) {
        EXPECT_EQ(huge[(std::size_t{1} << 20) - 1], 0x3C);
        EXPECT_GE(UsableBytes(huge), std::size_t{1} << 20);
    } else {
        huge = static_cast<char*>(grown); // grown in place: no mapping was asked for
        EXPECT_EQ(huge[(std::size_t{1} << 20) - 1], 0x3C);
    }
    gRefuse = false;
    for (std::size_t i = 0; i < blocks.size(); ++i)
        ASSERT_EQ(blocks[i][bytes - 1], char(i)) << i;
    for (char* p : blocks)
        Release(p);
    Release(huge);
    Release(neighbour);
    EXPECT_EQ(Now().bytesInUse, 0u);
    // And the engine works again once mappings can be had.
    void* again = Allocate(std::size_t{2} << 20);
    EXPECT_NE(again, nullptr);
    Release(again);
    platform::SetMallocFailureFilter(nullptr);
}

} // namespace

// The checker finds a thread heap sound after traffic, and names a damaged page list and a lost
// block.
TEST(HeapCheck, FindsASoundHeapAndNamesWhatIsBroken) {
    std::vector<void*> blocks;
    for (int i = 0; i < 3000; ++i)
        blocks.push_back(Allocate(static_cast<std::size_t>(i % 700)));
    for (std::size_t i = 0; i < blocks.size(); i += 3)
        Release(blocks[i]);
    std::thread([&] {
        for (std::size_t i = 1; i < blocks.size(); i += 3)
            Release(blocks[i]);
    }).join();
    qor::CheckResult sound;
    EXPECT_TRUE(qor::CheckInvariants(*tHeap, sound)) << sound.Text();

    void* kept = blocks[2];
    Page* page = Segment::Of(kept)->PageOf(kept);
    Block* const localFree = page->localFree;
    page->localFree = reinterpret_cast<Block*>(page->start + 8); // inside a block
    qor::CheckResult misplaced;
    EXPECT_FALSE(qor::CheckInvariants(*tHeap, misplaced));
    EXPECT_NE(std::string(misplaced.Text()).find("no carved block"), std::string::npos)
        << misplaced.Text();
    page->localFree = localFree;
    page->used.fetch_add(1); // a block counted in use that no one holds
    qor::CheckResult lost;
    EXPECT_FALSE(qor::CheckInvariants(*tHeap, lost));
    EXPECT_NE(std::string(lost.Text()).find("carved"), std::string::npos) << lost.Text();
    page->used.fetch_sub(1);
    for (std::size_t i = 2; i < blocks.size(); i += 3)
        Release(blocks[i]);
}
