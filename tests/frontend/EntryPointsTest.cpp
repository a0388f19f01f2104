// Entry points, pool management and locking pools under threads, each case in a fresh process.
#include "TestSupport.h"
#include "core/EnvironmentVariables.h"
#include "frontend/FixedPools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace qor {
namespace {

using Sizes = std::vector<std::size_t>;

void* Ptr(std::uintptr_t value) { return reinterpret_cast<void*>(value); }
void* New(std::size_t size, void* pool, void* param = nullptr, int n = 0) {
    return QORSpecializedNew(size, pool, param, n);
}

std::string Report(void* pool, int options = QORSysPoolFlag::REPORT_ONE_LINE) {
    return qor::test::Written([&](FILE* out) { QORSysGetPoolInfo(pool, out, nullptr, options); });
}

TEST(EntryPoints, RoutesByPoolArgumentAndReportsFixedPools) {
    EXPECT_EQ(Report(test::Route::Fast) + Report(test::Route::ThreadSafe), ""); // not created yet
    void* heap = New(100, test::Route::Heap);
    EXPECT_EQ(Sizes({HeaderOf(heap)->ownerWord, HeaderOf(heap)->sizeWord}), (Sizes{1, 116}));
    EXPECT_EQ(QORSysGetAllocatorFromAddress(heap), nullptr);
    EXPECT_EQ(New(32, test::Route::BesideBlock, heap),
              nullptr);                  // nothing can be placed beside a heap block
    QORSpecializedDelete(heap, nullptr); // the header names the heap; a leak shows under ASan
    for (std::uintptr_t none : {3, 16, 31, 33, 0xFFFF}) { // no pool, and numbers no object has
        EXPECT_EQ(New(24, Ptr(none)), nullptr);
        EXPECT_EQ(New(24, Ptr(2), Ptr(none)), nullptr) << "pool argument 2 naming no pool object";
    }
    // Flags: creation's | 0x11. n = 8 counts only with param 16, too little for an arena (refused).
    const std::tuple<std::size_t, std::uintptr_t, std::uintptr_t, int, std::size_t, unsigned>
        cases[] = {{100, 1, 0, 0, 0x200000, 0x300011}, {0, 4, 0, 16, 0x40000, 0x51},
                   {20, 4, 16, 4, 0x40000, 0xD1},      {20, 4, 0, 3, 0x40000, 0xD1},
                   {81, 4, 0, 16, 0x40000, 0x51},      {121, 4, 0, 11, 0x40000, 0xD1},
                   {50, 32, 0, -1, 0x80000, 0x19}};
    for (auto [size, number, param, entry, bytes, flags] : cases) {
        void* block = New(size, Ptr(number), Ptr(param), 8);
        GeneralPool* pool = entry < 0 ? State().threadedPool : State().fixedPools[entry];
        ASSERT_NE(pool, nullptr) << size << " through " << number;
        EXPECT_EQ(Sizes({pool->chunk.size, pool->chunk.flags}), (Sizes{bytes, flags}));
        EXPECT_TRUE(param != 0 || QORSysGetAllocatorFromAddress(block) == pool) << size;
    }
    GeneralPool** fixed = State().fixedPools;
    EXPECT_EQ(Report(test::Route::Fast),
              Report(fixed[3]) + Report(fixed[4])); // by key; not 128, not fast
    EXPECT_EQ(Report(test::Route::ThreadSafe), Report(State().threadedPool));
    std::string all; // each pool once, newest first, in the block form whatever the caller asked
    for (void* pool : {State().threadedPool, fixed[11], fixed[3], fixed[4], fixed[16], fixed[0]})
        all += Report(pool, 0);
    EXPECT_EQ(Report(nullptr), all);
}

// Regression: size + 16 wrapped around; nearly 2^64 bytes got a few, the header written past them.
TEST(EntryPoints, HeapRequestThatWrapsAroundFails) {
    for (std::size_t size : {SIZE_MAX, SIZE_MAX - 15})
        EXPECT_EQ(New(size, test::Route::Heap), nullptr);
}

// The lookup names each block's chunk (pool, added chunk, arena) and serves as release argument.
TEST(EntryPoints, OwnerLookupAndRelease) {
    auto* pool = static_cast<GeneralPool*>(QORSysCreatePool(0, 32768));
    void* big = New(40000, pool);
    void* object = New(40, pool, test::ReserveRoom, 200);
    void* added = QORSysGetAllocatorFromAddress(big);
    void* arena = QORSysGetAllocatorFromAddress(object);
    ASSERT_EQ(arena, static_cast<char*>(object) - GeneralPool::kArenaOverheadBytes);
    const std::uint64_t poolFree = pool->chunk.free;
    void* direct = New(48, pool);
    const std::pair<void*, void*> owners[] = {{nullptr, nullptr},
                                              {direct, pool},
                                              {New(40, test::Route::InParam, pool), pool},
                                              {New(32, test::Route::BesideBlock, direct), pool},
                                              {New(32, test::Route::BesideBlock, big), added},
                                              {New(32, test::Route::BesideBlock, object), arena}};
    for (auto [block, owner] : owners)
        EXPECT_EQ(QORSysGetAllocatorFromAddress(block), owner);
    std::uintptr_t foreign[4] = {0, 0, 0x3C, 0x3C}; // owner word 0; a free() of it shows in ASan
    EXPECT_EQ(QORSysGetAllocatorFromAddress(&foreign[2]), Ptr(kInvalidOwner));
    EXPECT_EQ(New(32, test::Route::BesideBlock, &foreign[2]), nullptr);
    QORSpecializedDelete(&foreign[2], nullptr);

    for (std::uintptr_t number : {1, 4, 32}) // pool numbers are no owners on release
        QORSpecializedDelete(direct, Ptr(number));
    for (auto [block, owner] : owners)
        QORSpecializedDelete(block, owner);
    HeaderOf(big)->ownerWord = 0; // the caller's chunk wins over the header
    QORSpecializedDelete(big, added);
    QORSpecializedDelete(object, arena);
    EXPECT_EQ(pool->chunk.free, poolFree); // the arena's carrying block is never given back
    EXPECT_EQ(FieldsOf(added)->free, FieldsOf(added)->size - SubPool::kHeaderBytes);
    auto* paged = static_cast<PoolBase*>(QORSysCreatePool(QORSysPoolFlag::PAGED, 0));
    void* pagedBlock = New(24, paged);
    ASSERT_NE(pagedBlock, nullptr); // with 0x400000 the pool comes from the block's page
    QORSpecializedDelete(pagedBlock, nullptr, QORSysPoolFlag::PAGED);
    EXPECT_EQ(paged->IsEmpty(), -1);
}

TEST(PoolManagement, CreateReportAndFixedAnswers) {
    EXPECT_EQ(QORSysGetPoolActivityStatus(), -1);
    auto* pool = static_cast<GeneralPool*>(QORSysCreatePool(0, 1000));
    void* named = QORSysCreatePool(0, 40000, "named"); // rounded down to 1024, not up
    auto* paged = static_cast<PoolBase*>(QORSysCreatePool(QORSysPoolFlag::PAGED, 1 << 24));
    EXPECT_EQ(Sizes({pool->chunk.size, FieldsOf(named)->size, paged->GetStructSize()}),
              (Sizes{32768, 39936, 88}));
    EXPECT_EQ(Report(pool).rfind("POOL:0x", 0), 0u); // a pool object gets the caller's options
    EXPECT_NE(Report(test::Route::Permanent),
              ""); // pool 1 creates the permanent pool when it is missing
    EXPECT_EQ(State().fixedPools[0]->chunk.size, 0x200000u);

    New(40000, pool); // a second chunk, so that largest and total free differ
    std::size_t total = 0, largest = 0;
    EXPECT_EQ(QORSysPoolGetFreeSpace(pool, nullptr, &largest), -1);
    EXPECT_EQ(QORSysPoolGetFreeSpace(pool, &total, nullptr), -1);
    const std::uint64_t own = pool->chunk.free, added = FieldsOf(pool->chunk.next)->free;
    EXPECT_EQ(Sizes({total, largest}), (Sizes{own + added, std::max(own, added)}));
    EXPECT_EQ(QORSysPoolGetFreeSpace(nullptr, &total, &largest), 0);
    EXPECT_EQ(QORSysFlushPool(nullptr, 0) + QORSysOptimizePool(nullptr, 0), -2); // -1 each
    std::size_t a = 0, b = 0, c = 0;
    QORSysAllGetStructInfos(&a, &b, &c);
    EXPECT_EQ(Sizes({a, b, c, std::size_t(QORSysPoolGetAllocAddedSize(4, pool))}),
              (Sizes{112, 80, 64, 8}));
}

// Each thread releases its neighbour's row of slot-tagged blocks while the others fill their next.
TEST(EntryPointsConcurrency, LockingPoolsServeSeveralThreads) {
    QORSpecializedDelete(New(8, test::Route::ThreadSafe),
                         nullptr); // configures and creates the pool, unlocked
    auto* locked = static_cast<PoolBase*>(QORSysCreatePool(QORSysPoolFlag::LOCKED, 0));
    for (PoolBase* pool : {static_cast<PoolBase*>(State().threadedPool), locked}) {
        std::pair<unsigned char*, std::size_t> rows[2][4][32];
        auto tag = [](int round, int t, int i) { return round % 2 * 128 + t * 32 + i; };
        std::barrier sync(4);
        auto work = [&](int t) {
            std::mt19937 random(t);
            for (int round = 0; round < 100; ++round) {
                for (int i = 0; i < 32; ++i) {
                    auto& [block, size] = rows[round % 2][t][i];
                    size = random() % 64 ? random() % 200 : 1000 + random() % 20000;
                    block = static_cast<unsigned char*>(
                        New(size, pool == locked ? pool : test::Route::ThreadSafe));
                    std::memset(block, tag(round, t, i), size);
                }
                sync.arrive_and_wait();
                for (int i = 0, n = (t + 1) % 4; i < 32; ++i) {
                    auto [block, size] = rows[round % 2][n][i];
                    EXPECT_EQ(std::count(block, block + size, tag(round, n, i)), long(size));
                    QORSpecializedDelete(block, nullptr);
                }
            }
        };
        std::jthread a(work, 0), b(work, 1), c(work, 2), d(work, 3); // joined right here
    }
    EXPECT_EQ(State().threadedPool->IsEmpty() + locked->IsEmpty(), -2)
        << "a block lost or released twice";
}

// The process's first calls, all at once: one configuration, one thread-safe pool for everybody
// (a thread that made a second one destroyed it), and every pool created is in the registry.
TEST(EntryPointsConcurrency, FirstCallsArriveTogether) {
    constexpr int kThreads = 8;
    std::barrier start(kThreads);
    void* blocks[kThreads];
    void* pools[kThreads];
    auto first = [&](int t) {
        start.arrive_and_wait();
        blocks[t] = t % 2 ? New(24, test::Route::ThreadSafe) : nullptr;
        pools[t] = QORSysCreatePool(t % 4 < 2 ? 0 : int(QORSysPoolFlag::PAGED), 0, "first");
        if (blocks[t] == nullptr) blocks[t] = New(24, test::Route::ThreadSafe);
    };
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back(first, t);
    }
    EXPECT_FALSE(State().config.pending);
    int registered = 0;
    for (PoolBase* p = State().poolRegistry; p != nullptr; p = p->nextPool)
        ++registered;
    EXPECT_EQ(registered, kThreads + 1) << "each thread's pool and one thread-safe pool";
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(QORSysGetAllocatorFromAddress(blocks[t]), State().threadedPool);
        QORSpecializedDelete(blocks[t], nullptr);
        EXPECT_EQ(QORSysFlushPool(pools[t], QORSysPoolFlag::FLUSH_DESTROY), 0);
    }
}

} // namespace
} // namespace qor

TEST(EnvironmentTable, ConfigurationDocumentListsEveryVariableAsTheCodeDescribesIt) {
    std::stringstream doc;
    doc << std::ifstream(QOR_CONFIGURATION_DOC).rdbuf();
    for (const qor::EnvironmentVariable& v : qor::kEnvironmentVariables)
        EXPECT_NE(doc.str().find("| `" + std::string(v.name) + "` | " + v.values + " | " +
                                 v.effect + " |"),
                  std::string::npos)
            << v.name;
}

TEST(EnvironmentTable, ReadmeHasARowForEveryVariable) {
    std::stringstream readme;
    readme << std::ifstream(QOR_README).rdbuf();
    for (const qor::EnvironmentVariable& v : qor::kEnvironmentVariables)
        EXPECT_NE(readme.str().find("\n| `" + std::string(v.name) + "` | "), std::string::npos)
            << v.name;
}
