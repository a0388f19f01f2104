// The C++ layer over the exported interface: named routes reach the fixed pools, which can then
// be optimised and reported; owned pools are move-only and destroyed once; a paged resource sends
// what no page holds upstream and gets every block back; typed swap handles survive swap-out and
// swap-in; swap statistics agree with counts kept here.
#include <QORSys.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

using namespace QORSys;

// Whether a general pool is still in the registry: the report of every pool names it.
bool Registered(void* pool) {
    char* text = nullptr;
    std::size_t bytes = 0;
    FILE* stream = open_memstream(&text, &bytes);
    QORSysGetPoolInfo(nullptr, stream, nullptr, 0);
    std::fclose(stream);
    char address[32];
    std::snprintf(address, sizeof address, "0x%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pool)));
    const bool found = std::string(text).find(address) != std::string::npos;
    std::free(text);
    return found;
}

TEST(CxxRoutes, NameTheFixedPoolsWhichThenOptimiseAndGiveMemoryBack) {
    EXPECT_FALSE(FixedPoolObject(Route::ThreadSafe)); // nothing created before a first use
    void* small = QORSpecializedNew(20, Route::Fast, nullptr, 0);
    EXPECT_EQ(QORSysGetAllocatorFromAddress(small), FixedPoolObject(Route::Fast, 24).get());
    EXPECT_NE(FixedPoolObject(Route::Fast, 24).get(), FixedPoolObject(Route::Fast, 1000).get());
    QORSpecializedDelete(small, nullptr);
    EXPECT_FALSE(FixedPoolObject(Route::Heap));

    std::vector<void*> blocks(200000);
    for (void*& block : blocks)
        block = QORSpecializedNew(64, Route::ThreadSafe, nullptr, 0);
    const PoolRef threadSafe = FixedPoolObject(Route::ThreadSafe);
    ASSERT_TRUE(threadSafe);
    EXPECT_EQ(QORSysGetAllocatorFromAddress(blocks.front()), threadSafe.get());
    for (void* block : blocks)
        QORSpecializedDelete(block, nullptr);
    const std::uint64_t before = threadSafe.info().totalSize;
    EXPECT_GT(before, 200000u * 80);
    EXPECT_TRUE(threadSafe.optimize(Optimize::ReleaseEmpty));
    EXPECT_LT(threadSafe.info().totalSize, before / 8); // the further chunks are gone
    EXPECT_NE(QORSpecializedNew(64, Route::ThreadSafe, nullptr, 0), nullptr);
}

TEST(CxxPools, AreMoveOnlyAndDestroyedOnceByTheirLastOwner) {
    static_assert(!std::is_copy_constructible_v<GeneralPool> &&
                  !std::is_copy_assignable_v<PagedPool> &&
                  std::is_nothrow_move_constructible_v<GeneralPool>);
    void* pool = nullptr;
    {
        GeneralPool first({.firstChunkBytes = 64 << 10, .tracked = true, .name = "moved"});
        pool = first.get();
        void* block = first.allocate(100);
        GeneralPool second = std::move(first);
        EXPECT_EQ(first.get(), nullptr);
        EXPECT_FALSE(first.optimize()); // a moved-from pool names nothing
        {
            GeneralPool third = std::move(second);
            EXPECT_TRUE(Registered(pool));
            EXPECT_EQ(third.info().blockTotal, 2u); // the block and the free rest
            third.release(block);
            second = std::move(third); // back again: `third` goes without destroying it
        }
        EXPECT_TRUE(Registered(pool));
        EXPECT_TRUE(second.destroy_if_empty());
        EXPECT_FALSE(Registered(pool));
        GeneralPool owner;
        pool = owner.get();
        EXPECT_NE(owner.allocate(500, 4000), nullptr); // a block with room: the pool goes anyway
    }
    EXPECT_FALSE(Registered(pool));

    PagedPool paged({.name = "cells"});
    void* cell = paged.allocate(24);
    EXPECT_FALSE(paged.empty());
    EXPECT_EQ(paged.allocate(4041), nullptr); // no page holds it
    EXPECT_EQ(paged.info().blockTotal, 1u);
    paged.release(cell);
    EXPECT_TRUE(paged.empty());
    EXPECT_TRUE(paged.destroy_if_empty());
}

// An upstream that counts what it serves and what comes back.
class CountingResource : public std::pmr::memory_resource {
public:
    std::size_t allocations = 0, deallocations = 0, liveBytes = 0;

private:
    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
        ++allocations, liveBytes += bytes;
        return HeapResource()->allocate(bytes, alignment);
    }
    void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
        ++deallocations, liveBytes -= bytes;
        HeapResource()->deallocate(p, bytes, alignment);
    }
    bool do_is_equal(const memory_resource& other) const noexcept override {
        return this == &other;
    }
};

TEST(CxxPagedResource, SendsWhatNoPageHoldsUpstreamAndGetsEveryBlockBack) {
    PagedPool paged;
    CountingResource upstream;
    {
        PoolResource resource = paged.resource(&upstream);
        std::pmr::vector<std::pmr::string> words(&resource);
        std::pmr::unordered_map<int, long long> squares(&resource);
        for (int i = 0; i < 100000; ++i) {
            squares.emplace(i, 1LL * i * i);
            if (i < 20000) words.emplace_back(40, char('a' + i % 26));
        }
        int wrong = 0;
        for (int i = 0; i < 100000; ++i)
            wrong +=
                squares.at(i) != 1LL * i * i || (i < 20000 && words[i][39] != char('a' + i % 26));
        EXPECT_EQ(wrong, 0);
        EXPECT_GT(upstream.allocations, 10u); // the vector's and the buckets' growth
        EXPECT_GT(paged.info().blockTotal, 100000u);
        EXPECT_THROW((void)paged.resource(std::pmr::null_memory_resource()).allocate(5000),
                     std::bad_alloc);
        std::vector<double, PoolAllocator<double>> numbers(10000, 1.5,
                                                           paged.allocator<double>()); // heap
        EXPECT_EQ(numbers.back(), 1.5);
    }
    EXPECT_EQ(upstream.allocations, upstream.deallocations);
    EXPECT_EQ(upstream.liveBytes, 0u);
    EXPECT_TRUE(paged.empty());
}

int gDestroyed = 0, gSwappedOut = 0, gSwappedIn = 0;

struct Note : QORSysSwappable {
    Note(QORSysSwapFile* file, int number) : QORSysSwappable(file, 0), number(number) {}
    ~Note() override { ++gDestroyed; }
    long SwappedOut() override { return ++gSwappedOut, 0; }
    long SwappedIn() override { return ++gSwappedIn, 0; }
    int number;
    char text[1000] = {};
};

TEST(CxxSwapHandles, FollowTheirObjectsToDiskAndBackWithStatisticsThatAgree) {
    std::string path;
    {
        SwapFile file({.zoneBytes = 64 << 10, .capacityBytes = 16 << 20});
        path = file.path();
        EXPECT_EQ(access(path.c_str(), F_OK), 0) << path;
        std::vector<SwapHandle<Note>> notes;
        for (int i = 0; i < 300; ++i) {
            notes.push_back(file.make<Note>(i));
            ASSERT_TRUE(notes.back());
            std::snprintf(notes.back()->text, sizeof Note::text, "note %d", i);
        }
        EXPECT_TRUE(notes[0].swapped());
        EXPECT_EQ(notes[0]->number, 0); // brought back, marked used
        EXPECT_FALSE(notes[0].swapped());
        EXPECT_STREQ(notes[0].get()->text, "note 0");
        EXPECT_TRUE(file.swap_out(notes[299]));
        EXPECT_TRUE(notes[299].swapped());
        EXPECT_EQ((*notes[299]).number, 299);

        SwapHandle<Note> copy = notes[5];
        EXPECT_EQ(copy.use_count(), 2u);
        SwapHandle<Note> moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(moved.use_count(), 2u);
        EXPECT_EQ(moved, notes[5]);
        notes[5].reset();
        EXPECT_EQ(gDestroyed, 0);
        moved.reset(); // the last reference
        EXPECT_EQ(gDestroyed, 1);

        const QORSysSwapStatistics figures = file.statistics();
        const std::size_t charged = file.get()->ZoneSize(sizeof(Note));
        const std::uint64_t onDisk = std::uint64_t(gSwappedOut - gSwappedIn);
        EXPECT_EQ(figures.swapOuts, std::uint64_t(gSwappedOut));
        EXPECT_EQ(figures.swapIns, std::uint64_t(gSwappedIn));
        EXPECT_EQ(figures.objectsInZone, 300u - 1 - onDisk);
        // The zone's count is charged per object and may lag behind it, never run ahead.
        EXPECT_LE(figures.bytesInZone, figures.objectsInZone * charged);
        EXPECT_GT(figures.bytesInZone, figures.zoneCapacity / 2);
        EXPECT_LE(figures.zoneCapacity, 64u << 10); // what the zone pool had free
        EXPECT_EQ(figures.bytesEverAllocated, 299u * charged) << "the destroyed note's given back";
        EXPECT_EQ(figures.fileCapacity, 16u << 20);
        EXPECT_GE(figures.pagesBooked * 7, onDisk); // seven notes to an 8 KB page at most
        EXPECT_LE(figures.pagesWritten, figures.pagesBooked);
        EXPECT_GE(figures.fileBytes, (figures.pagesWritten > 0) * 8192u);
        EXPECT_LE(figures.buffersHeld * 8192, figures.zoneCapacity);
        EXPECT_EQ(file.zone().get(), figures.zonePool);
        EXPECT_GT(file.zone().info().totalSize, 0u);
        FILE* sink = std::fopen("/dev/null", "w");
        EXPECT_EQ(file.list(sink), figures.objectsInZone);
        std::fclose(sink);
        notes.clear(); // every note comes back to be destroyed
        EXPECT_EQ(gDestroyed, 300);
        EXPECT_EQ(file.statistics().objectsInZone, 0u);
        EXPECT_EQ(file.statistics().swapIns, std::uint64_t(gSwappedIn));
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0); // removed with the SwapFile
}

// The C++ layer gives charges back by default: a file of 64 KB serves notes that come and go far
// past 64 KB of creations; with the option off it stops where the default rule puts it.
TEST(CxxSwapFile, GivesChargesBackByDefault) {
    for (const bool giveBack : {true, false}) {
        SwapFile file(
            {.zoneBytes = 16 << 10, .capacityBytes = 64 << 10, .giveBackCharges = giveBack});
        int made = 0;
        for (; made < 10000; ++made)
            if (!file.make<Note>(made)) break;
        EXPECT_EQ(made == 10000, giveBack) << made;
    }
}

// The C++ layer brings objects back alone by default, whatever the environment says; the option
// off brings a page back whole. Three notes share a page: one access brings back one of them, or
// all three.
TEST(CxxSwapFile, BringsObjectsBackAloneByDefault) {
    for (const bool alone : {true, false}) {
        SwapFileOptions options{.zoneBytes = 16 << 10, .capacityBytes = 1 << 20};
        if (!alone) options.reloadObjectsAlone = false;
        SwapFile file(options);
        std::vector<SwapHandle<Note>> notes;
        for (int i = 0; i < 3; ++i)
            notes.push_back(file.make<Note>(i));
        for (auto& note : notes)
            ASSERT_TRUE(file.swap_out(note));
        EXPECT_EQ(notes[1]->number, 1);
        EXPECT_EQ(notes[0].swapped(), alone);
        EXPECT_EQ(notes[2].swapped(), alone);
        EXPECT_EQ(notes[0]->number + notes[2]->number, 2);
    }
}

} // namespace
