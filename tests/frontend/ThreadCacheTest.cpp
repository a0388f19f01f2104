// Per-thread caches in front of the locking pools, seen through the cached pair: blocks that cross
// threads, caches given back when their thread ends, collections before flushes, destroys and
// reports, and where the cached pair places blocks against the uncached pair. Every case is a
// process of its own; the suites ThreadCacheOff and CheckedThreadCache only run in the environment
// that threadcache.cmake gives them.
#include "threadcache/ThreadCache.h"
#include "TestSupport.h"
#include "core/SizeClasses.h"
#include "frontend/FixedPools.h"
#include "pagedpool/PagedPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <barrier>
#include <cstdlib>
#include <latch>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace qor {
namespace {

// Pool 32's cached pair is the caches' only with the heap engine off; set before the library's
// first call reads the configuration.
[[gnu::constructor]] void TurnTheHeapEngineOff() { setenv("QORSysHeapEngine", "OFF", 1); }

namespace Flag = QORSysPoolFlag;
constexpr unsigned kThreadSafe = 0; // pool argument 32, not a pool of the test's own
constexpr unsigned kLocked = Flag::LOCKED;
constexpr unsigned kLockedTracked = Flag::LOCKED | Flag::TRACKED_FREE_LIST;
constexpr unsigned kLockedPaged = Flag::LOCKED | Flag::PAGED;
constexpr unsigned kLockedPrivatePaged = kLockedPaged | Flag::FLUSHABLE; // regions of its own
constexpr std::size_t kThreadSafeBytes = 512 * 1024; // the thread-safe pool's first chunk

std::string NameOf(unsigned kind) {
    return kind == kThreadSafe ? "ThreadSafe" : test::PoolFlagNames(kind);
}
std::string KindName(const testing::TestParamInfo<unsigned>& info) { return NameOf(info.param); }

struct Pool {
    void* argument; // what the entry points are given
    PoolBase* object;
    bool paged;
};

// `bytes`: a general pool's first chunk.
Pool MakePool(unsigned kind, std::size_t bytes = 0) {
    if (kind == kThreadSafe) return {reinterpret_cast<void*>(32), State().threadedPool, false};
    auto* object = static_cast<PoolBase*>(QORSysCreatePool(int(kind), bytes));
    return {object, object, (kind & Flag::PAGED) != 0};
}

// A pool of the same first chunk and placement that the uncached pair serves.
Pool TwinOf(unsigned kind) {
    return MakePool(kind == kThreadSafe ? kLocked : kind, kThreadSafeBytes);
}

// Configuration and the thread-safe pool's creation take no lock, so the first call comes before
// any thread; through the uncached pair, so that the main thread has no cache.
void ConfigureUncached() {
    QORSpecializedDelete(QORSpecializedNew(8, reinterpret_cast<void*>(32), nullptr, 0), nullptr);
}

void* Take(const Pool& pool, std::size_t bytes, bool cached = true) {
    return cached ? QORSysCachedNew(bytes, pool.argument, nullptr)
                  : QORSpecializedNew(bytes, pool.argument, nullptr, 0);
}

void Give(const Pool& pool, void* block, bool cached = true) {
    const int flags = pool.paged ? int(Flag::PAGED) : 0;
    cached ? QORSysCachedDelete(block, flags) : QORSpecializedDelete(block, nullptr, flags);
}

// What a live block occupies in its pool: its piece (header included), or its page's class.
std::uint64_t FootprintOf(const Pool& pool, void* block) {
    return pool.paged ? PageObjectOf(block)->blockSize : HeaderOf(block)->sizeWord;
}

QORPoolInfo RecordOf(const Pool& pool) {
    QORPoolInfo info{};
    QORSysGetPoolInfo(pool.argument, nullptr, &info, 0);
    return info;
}

// The record (its report collects every cache first) against a model of the live blocks: a paged
// pool counts blocks and bytes in use, a general pool's occupied bytes are its live pieces.
void ExpectInUse(const Pool& pool, std::uint64_t blocks, std::uint64_t bytes) {
    const QORPoolInfo info = RecordOf(pool);
    if (pool.paged) {
        EXPECT_EQ(std::make_pair(info.blockTotal, info.maxChunkFree),
                  std::make_pair(blocks, bytes));
        return;
    }
    const std::uint64_t headers = GeneralPool::kPoolHeaderBytes + 64 * (info.chunkCount - 1);
    EXPECT_EQ(info.totalSize - info.freeSize - headers, bytes) << blocks << " blocks live";
}

// A block filled with a tag byte of its own: a block handed out twice while live, or one that
// overlaps another, shows as a wrong byte when the first holder checks it.
struct Held {
    unsigned char* data;
    std::size_t bytes;
    unsigned char tag;
    int pool;
};

// A block from pools[index] through the cached pair (a paged pool also through pool argument 2,
// the adapters' route), checked to come from that pool; null when it is refused.
Held TakeHeld(const std::vector<Pool>& pools, int index, std::size_t bytes, std::mt19937& random) {
    const Pool& pool = pools[index];
    void* block = pool.paged && random() % 2
                      ? QORSysCachedNew(bytes, reinterpret_cast<void*>(2), pool.object)
                      : Take(pool, bytes);
    Held held{static_cast<unsigned char*>(block), bytes, static_cast<unsigned char>(random()),
              index};
    EXPECT_NE(block, nullptr) << bytes << " bytes refused";
    if (block == nullptr) return held;
    const PoolBase* holder = pool.paged ? PageObjectOf(block)->owner
                                        : FieldsOf(QORSysGetAllocatorFromAddress(block))->owner;
    EXPECT_EQ(holder, pool.object) << "a block of another pool came out of the cache";
    std::fill_n(held.data, bytes, held.tag);
    return held;
}

void GiveHeld(const std::vector<Pool>& pools, const Held& held) {
    EXPECT_EQ(std::count(held.data, held.data + held.bytes, held.tag), long(held.bytes));
    Give(pools[held.pool], held.data);
}

// Mostly sizes that a cache serves, sometimes one that goes to the pool whatever happens.
std::size_t SizeFor(const Pool& pool, std::mt19937& random) {
    const unsigned r = random();
    return r % 16 ? r / 16 % 1025 : 1025 + r / 16 % (pool.paged ? 3000 : 6000);
}

// --- Blocks that cross threads ------------------------------------------------------------------

struct Traffic {
    const char* name;
    std::vector<unsigned> kinds;
};
const Traffic kTraffic[] = {
    {"ThreadSafe", {kThreadSafe}},
    {"Locked", {kLocked}},
    {"LockedTracked", {kLockedTracked}},
    {"LockedPaged", {kLockedPaged}},
    // More pools than a cache has slots: slots are given up and reused.
    {"FivePools", {kThreadSafe, kLocked, kLockedTracked, kLockedPaged, kLockedPrivatePaged}}};

// Workers allocate, hand a third of their blocks to the next worker, release the rest and what
// they are handed; at each pause the records match the model. With reports, another thread
// collects (all pools, then pool 32) and optimises all the while.
class ThreadCacheTraffic : public testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(ThreadCacheTraffic, RecordsMatchTheLiveBlocksAtEveryPause) {
    const auto [traffic, reporting] = GetParam();
    ConfigureUncached();
    std::vector<Pool> pools;
    for (unsigned kind : kTraffic[traffic].kinds)
        pools.push_back(MakePool(kind));
    Give(pools[0], Take(pools[0], 8)); // the caches start before any thread (ThreadCacheStart)
    std::vector<std::array<std::atomic<std::uint64_t>, 2>> model(pools.size()); // blocks, bytes
    constexpr int kWorkers = 4, kRounds = 16, kOperations = 4000;
    std::barrier pause(kWorkers, [&]() noexcept {
        for (std::size_t i = 0; i < pools.size(); ++i)
            ExpectInUse(pools[i], model[i][0], model[i][1]);
    });
    std::vector<std::pair<std::mutex, std::vector<Held>>> inboxes(kWorkers); // from worker t - 1
    auto release = [&](const Held& held) {
        model[held.pool][0] -= 1;
        model[held.pool][1] -= FootprintOf(pools[held.pool], held.data);
        GiveHeld(pools, held);
    };
    auto releaseHanded = [&](int t) {
        std::vector<Held> handed;
        {
            std::scoped_lock guard(inboxes[t].first);
            handed.swap(inboxes[t].second);
        }
        for (const Held& held : handed)
            release(held);
    };
    auto work = [&](int t) {
        std::mt19937 random(t + 1);
        std::vector<Held> mine;
        for (int round = 0; round < kRounds; ++round, pause.arrive_and_wait()) {
            for (int op = 0; op < kOperations; ++op, releaseHanded(t)) {
                if (mine.size() < 32 && (mine.empty() || random() % 2)) {
                    const int index = int(random() % pools.size());
                    const Held held = TakeHeld(pools, index, SizeFor(pools[index], random), random);
                    if (held.data == nullptr) continue;
                    model[index][0] += 1;
                    model[index][1] += FootprintOf(pools[index], held.data);
                    mine.push_back(held);
                    continue;
                }
                std::swap(mine[random() % mine.size()], mine.back());
                if (random() % 3) {
                    release(mine.back());
                } else {
                    std::scoped_lock guard(inboxes[(t + 1) % kWorkers].first);
                    inboxes[(t + 1) % kWorkers].second.push_back(mine.back());
                }
                mine.pop_back();
            }
        }
        for (const Held& held : mine)
            release(held);
        pause.arrive_and_wait(); // every hand-over is in its inbox
        releaseHanded(t);
        pause.arrive_and_wait(); // the model is empty: so must every record be
    };
    std::atomic<bool> done = false;
    std::jthread reporter;
    if (reporting)
        reporter = std::jthread([&] {
            while (!done) {
                QORPoolInfo info{};
                QORSysGetPoolInfo(nullptr, nullptr, &info, 0);
                QORSysGetPoolInfo(reinterpret_cast<void*>(32), nullptr, &info, 0);
                for (const Pool& pool : pools)
                    QORSysOptimizePool(pool.object,
                                       Flag::OPTIMIZE_MERGE | Flag::OPTIMIZE_RELEASE_EMPTY);
                std::this_thread::yield(); // collections hold every slot attachment up
            }
        });
    {
        std::vector<std::jthread> workers;
        for (int t = 0; t < kWorkers; ++t)
            workers.emplace_back(work, t);
    }
    done = true;
    reporter = std::jthread();
    for (const Pool& pool : pools) { // the last pause collected: nothing is left to give back
        EXPECT_EQ(pool.object->IsEmpty(), -1);
        EXPECT_EQ(QORSysCheckPool(pool.object, stderr), -1);
    }
}

INSTANTIATE_TEST_SUITE_P(Cached, ThreadCacheTraffic,
                         testing::Combine(testing::Range(0, int(std::size(kTraffic))),
                                          testing::Bool()),
                         [](const auto& info) {
                             return kTraffic[std::get<0>(info.param)].name +
                                    std::string(std::get<1>(info.param) ? "WithReports" : "");
                         });

// A program that made its first call before its threads, as it must, but not through the cached
// pair: the first cache of the process starts while another thread collects.
TEST(ThreadCacheStart, FirstCacheWhileAnotherThreadReports) {
    ConfigureUncached();
    const Pool pool = MakePool(kLocked);
    std::atomic<bool> done = false;
    std::latch reporting(1);
    std::jthread reporter([&] {
        for (reporting.count_down(); !done;)
            RecordOf(pool);
    });
    reporting.wait();
    std::jthread([&] {
        for (int i = 0; i < 1000; ++i)
            Give(pool, Take(pool, 64));
    }).join();
    done = true;
    reporter.join();
    ExpectInUse(pool, 0, 0);
}

// --- A thread that ends -------------------------------------------------------------------------

// Bins filled to their cap and no further (released blocks the uncached pair allocated, so that
// no refill leaves blocks behind), or three times beyond it, so that full bins have been given up
// while the thread lived.
class ThreadCacheExit : public testing::TestWithParam<std::tuple<unsigned, int>> {};
INSTANTIATE_TEST_SUITE_P(Cached, ThreadCacheExit,
                         testing::Combine(testing::Values(kThreadSafe, kLocked, kLockedPaged),
                                          testing::Values(1, 3)),
                         [](const auto& info) {
                             return NameOf(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) == 1 ? "" : "Beyond") + "FullBins";
                         });

// Every thread that cached blocks of the pool has ended: the pool, read directly (a report would
// collect by itself), has them all back.
TEST_P(ThreadCacheExit, EndedThreadsLeaveNoBlockOutOfThePool) {
    const auto [kind, caps] = GetParam();
    ConfigureUncached();
    const Pool pool = MakePool(kind);
    std::latch filled(3), ending(1);
    auto work = [&] {
        std::vector<void*> blocks;
        for (std::size_t bytes : {24, 100, 1000}) {
            const std::size_t classBytes = threadcache::ClassOf(bytes, pool.paged);
            for (std::uint32_t i = 0; i < caps * threadcache::CapOf(classBytes); ++i)
                blocks.push_back(Take(pool, bytes, false));
        }
        for (void* block : blocks)
            Give(pool, block);
        filled.count_down();
        ending.wait();
    };
    std::vector<std::jthread> workers(3);
    for (std::jthread& worker : workers)
        worker = std::jthread(work);
    filled.wait();
    EXPECT_EQ(pool.object->IsEmpty(), 0) << "the caches should hold blocks of the pool";
    ending.count_down();
    workers.clear();
    EXPECT_EQ(pool.object->IsEmpty(), -1);
}

// --- Flushes and destroys while other threads cache blocks of the pool --------------------------

struct FlushCase {
    const char* name;
    unsigned kind;
    int mode;
};
const FlushCase kFlushes[] = {
    {"ResetLocked", kLocked, 0},
    {"DestroyLocked", kLocked, Flag::FLUSH_DESTROY},
    {"DestroyLockedIfEmpty", kLocked, Flag::FLUSH_DESTROY_IF_EMPTY},
    {"DestroyLockedPaged", kLockedPaged, Flag::FLUSH_DESTROY},
    {"DestroyLockedPrivatePaged", kLockedPrivatePaged, Flag::FLUSH_DESTROY}};

void PrintTo(const FlushCase& flush, std::ostream* out) { *out << flush.name; }

class ThreadCacheFlush : public testing::TestWithParam<FlushCase> {};
INSTANTIATE_TEST_SUITE_P(Cached, ThreadCacheFlush, testing::ValuesIn(kFlushes),
                         [](const auto& info) { return std::string(info.param.name); });

// The flush finds the pool empty, and afterwards no cache hands out a block of it: the blocks
// then live, from the pool (or from the next pool, which may sit at its address) and from the
// thread-safe pool, never overlap.
TEST_P(ThreadCacheFlush, NoCachedBlockOutlivesTheFlush) {
    const FlushCase flush = GetParam();
    ConfigureUncached();
    std::vector<Pool> pools = {MakePool(flush.kind), MakePool(kThreadSafe)};
    constexpr int kWorkers = 3;
    std::vector<std::vector<Held>> live(kWorkers);
    std::barrier sync(kWorkers + 1);
    auto work = [&](int t) {
        std::mt19937 random(t + 1);
        for (int i = 0; i < 200; ++i)
            live[t].push_back(TakeHeld(pools, 0, 8 + random() % 1017, random));
        for (const Held& held : std::exchange(live[t], {}))
            GiveHeld(pools, held);
        sync.arrive_and_wait(); // the caches hold blocks of pools[0]
        sync.arrive_and_wait(); // flushed; pools[0] is the pool that serves now
        for (int i = 0; i < 200; ++i)
            live[t].push_back(TakeHeld(pools, i % 2, 8 + random() % 1017, random));
        sync.arrive_and_wait();
        sync.arrive_and_wait(); // checked
        for (const Held& held : live[t])
            GiveHeld(pools, held);
    };
    std::vector<std::jthread> workers;
    for (int t = 0; t < kWorkers; ++t)
        workers.emplace_back(work, t);
    sync.arrive_and_wait();
    EXPECT_EQ(pools[0].object->IsEmpty(), 0) << "the caches should hold blocks of the pool";
    EXPECT_EQ(QORSysFlushPool(pools[0].argument, flush.mode), 0);
    if (flush.mode != 0) pools[0] = MakePool(flush.kind);
    sync.arrive_and_wait();
    sync.arrive_and_wait();
    std::vector<Held> all;
    for (const auto& blocks : live)
        all.insert(all.end(), blocks.begin(), blocks.end());
    std::sort(all.begin(), all.end(), [](auto& a, auto& b) { return a.data < b.data; });
    for (std::size_t i = 1; i < all.size(); ++i)
        EXPECT_LE(all[i - 1].data + std::max<std::size_t>(all[i - 1].bytes, 1), all[i].data);
    sync.arrive_and_wait();
    workers.clear();
    ExpectInUse(pools[0], 0, 0);
}

// --- One thread: figures and placement against the uncached pair --------------------------------

class ThreadCacheRecord : public testing::TestWithParam<unsigned> {};
INSTANTIATE_TEST_SUITE_P(Cached, ThreadCacheRecord,
                         testing::Values(kThreadSafe, kLocked, kLockedTracked, kLockedPaged),
                         KindName);

// Once its report has collected the cache, a pool that served a sequence through the cached pair
// shows the figures of its twin that served it through the uncached pair.
TEST_P(ThreadCacheRecord, CollectedPoolShowsTheUncachedFigures) {
    ConfigureUncached();
    const Pool pools[] = {MakePool(GetParam(), kThreadSafeBytes), TwinOf(GetParam())};
    for (const Pool& pool : pools) {
        const bool cached = &pool == &pools[0];
        std::mt19937 random(7);
        std::vector<void*> live;
        for (int op = 0; op < 3000; ++op) {
            if (live.size() < 64 && random() % 3) {
                live.push_back(Take(pool, SizeFor(pool, random), cached));
            } else if (!live.empty()) {
                std::swap(live[random() % live.size()], live.back());
                Give(pool, live.back(), cached);
                live.pop_back();
            }
        }
        for (void* block : live)
            Give(pool, block, cached);
    }
    const auto fields = [](const QORPoolInfo& i) {
        return std::tuple(i.flagBits, i.totalSize, i.freeSize, i.chunkCount, i.maxChunkFree,
                          i.minChunkFree, i.minChunkOccupation, i.maxChunkOccupation, i.occupation,
                          i.holeTotal, i.blockTotal, i.largestKnownHole, i.holeSizeUnknown);
    };
    EXPECT_EQ(fields(RecordOf(pools[0])), fields(RecordOf(pools[1])));
    ExpectInUse(pools[0], 0, 0);
}

// A and B of one class, C of another; A and C released; D and E of A's class. Each block as its
// distance from its pool's start, or, paged, from the sequence's first block on its page (twin
// pools' pages start at different places of their regions).
std::vector<std::ptrdiff_t> Placement(const Pool& pool, bool cached) {
    char* blocks[5];
    for (int i : {0, 1, 2})
        blocks[i] = static_cast<char*>(Take(pool, i == 2 ? 200 : 100, cached));
    Give(pool, blocks[0], cached);
    Give(pool, blocks[2], cached);
    for (int i : {3, 4})
        blocks[i] = static_cast<char*>(Take(pool, 100, cached));
    std::vector<std::ptrdiff_t> where;
    for (char* block : blocks) {
        const auto samePage = [block](char* other) {
            return (reinterpret_cast<std::uintptr_t>(other) ^
                    reinterpret_cast<std::uintptr_t>(block)) < kPageBytes;
        };
        where.push_back(block - (pool.paged ? *std::find_if(blocks, blocks + 5, samePage)
                                            : reinterpret_cast<char*>(pool.object)));
    }
    for (int i : {1, 3, 4})
        Give(pool, blocks[i], cached);
    return where;
}

const auto kPlacementKinds = testing::Values(kThreadSafe, kLocked, kLockedTracked, kLockedPaged);

// The point of the cache: the block just released comes back to the next request of its class.
class ThreadCachePlacement : public testing::TestWithParam<unsigned> {};
INSTANTIATE_TEST_SUITE_P(Cached, ThreadCachePlacement, kPlacementKinds, KindName);

TEST_P(ThreadCachePlacement, ReleasedBlockOfTheClassComesBackFirst) {
    ConfigureUncached();
    const std::vector<std::ptrdiff_t> cached =
        Placement(MakePool(GetParam(), kThreadSafeBytes), true);
    EXPECT_EQ(cached[3], cached[0]);
    EXPECT_NE(cached, Placement(TwinOf(GetParam()), false));
}

// QORSysAllocatorThreadCache=OFF: the cached pair is the uncached pair, block for block.
class ThreadCacheOff : public testing::TestWithParam<unsigned> {};
INSTANTIATE_TEST_SUITE_P(Cached, ThreadCacheOff, kPlacementKinds, KindName);

TEST_P(ThreadCacheOff, CachedPairPlacesAsTheUncachedPair) {
    ConfigureUncached();
    EXPECT_EQ(Placement(MakePool(GetParam(), kThreadSafeBytes), true),
              Placement(TwinOf(GetParam()), false));
}

// --- Checked mode (QORSysAllocatorChecks=ON) closes the caches ----------------------------------

class CheckedThreadCache : public testing::TestWithParam<unsigned> {};
INSTANTIATE_TEST_SUITE_P(Cached, CheckedThreadCache,
                         testing::Values(kThreadSafe, kLocked, kLockedPaged), KindName);

// A cache would take the second release as it took the first; the pool's checks see it instead.
TEST_P(CheckedThreadCache, BlockReleasedTwiceIsNamed) {
    ConfigureUncached();
    ASSERT_TRUE(State().config.checks);
    const Pool pool = MakePool(GetParam());
    void* keep = Take(pool, 40); // the chunk or page must not empty at the first release
    void* block = Take(pool, 40);
    Give(pool, block);
    EXPECT_DEATH(Give(pool, block),
                 pool.paged ? "^Invalid release of block 0x[0-9a-f]+ in QORSpecializedDelete: page "
                              "0x[0-9a-f]+ of paged pool \"unknown\" at 0x[0-9a-f]+ \\(class 40\\) "
                              "has it among its released blocks: released twice\n"
                            : "^Invalid release of block 0x[0-9a-f]+ in QORSpecializedDelete: its "
                              "header reads as a free area of (general pool \"unknown\"|fixed "
                              "pool 32 \"Default\") at 0x[0-9a-f]+ \\(first word 0x[0-9a-f]+\\): "
                              "released twice\\?\n");
    Give(pool, keep);
}

} // namespace
} // namespace qor
