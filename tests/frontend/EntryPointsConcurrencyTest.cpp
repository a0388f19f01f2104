// Several threads allocating from and releasing to one locking pool at once: the threaded pool
// (pool argument 32) and private pools created with the locking flag. Each block is filled with a
// tag and checked before its release, so a block handed out twice or overlapping another shows
// up as a wrong byte; after everything is back the pool must hold only free space.
#include "frontend/EntryPointsTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <latch>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace qor::test {
namespace {

constexpr int kTotalAllocations = 48000;
constexpr std::size_t kMostLiveBlocksPerThread = 32;

struct LiveBlock {
    unsigned char* bytes;
    std::size_t size;
    unsigned char tag;
};

// Blocks handed from one thread to another for release.
class HandOver {
public:
    void Push(const LiveBlock& block) {
        std::lock_guard<std::mutex> guard(mutex_);
        blocks_.push_back(block);
    }
    bool Pop(LiveBlock& block) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (blocks_.empty()) return false;
        block = blocks_.front();
        blocks_.pop_front();
        return true;
    }

private:
    std::mutex mutex_;
    std::deque<LiveBlock> blocks_;
};

struct SharedRun {
    void* poolArgument;
    PoolBase* pool;
    HandOver handOver;
    std::atomic<int> errors{0};

    void Release(const LiveBlock& block) {
        for (std::size_t i = 0; i < block.size; ++i)
            if (block.bytes[i] != block.tag) {
                ++errors;
                break;
            }
        QORSpecializedDelete(block.bytes, nullptr);
    }

    void Work(unsigned seed, int allocations) {
        std::mt19937 random(seed);
        std::vector<LiveBlock> mine;
        for (int i = 0; i < allocations; ++i) {
            // Mostly small blocks, now and then one large enough to make the pool grow.
            const std::size_t size = random() % 64 == 0 ? 1000 + random() % 20000 : random() % 200;
            auto* bytes =
                static_cast<unsigned char*>(QORSpecializedNew(size, poolArgument, nullptr, 0));
            void* owner = bytes == nullptr ? nullptr : QORSysGetAllocatorFromAddress(bytes);
            if (owner == nullptr || owner == Ptr(kInvalidOwner) || FieldsOf(owner)->owner != pool) {
                ++errors;
                continue;
            }
            const auto tag = static_cast<unsigned char>(1 + (seed * 31 + i) % 255);
            std::memset(bytes, tag, size);
            mine.push_back({bytes, size, tag});

            while (mine.size() > kMostLiveBlocksPerThread || (!mine.empty() && random() % 3 == 0)) {
                const std::size_t at = random() % mine.size();
                const LiveBlock block = mine[at];
                mine[at] = mine.back();
                mine.pop_back();
                if (random() % 2 == 0)
                    handOver.Push(block);
                else
                    Release(block);
            }
            LiveBlock other;
            if (random() % 2 == 0 && handOver.Pop(other)) Release(other);
        }
        for (const LiveBlock& block : mine)
            Release(block);
    }
};

constexpr std::uint32_t kThreadedPoolArgument = 32;

// createFlags == kThreadedPoolArgument stands for the threaded pool; others create a pool.
using Scenario = std::tuple<int, std::uint32_t>;

class EntryPointsConcurrency : public ::testing::TestWithParam<Scenario> {};

TEST_P(EntryPointsConcurrency, BlocksStayDistinctAndAllComeBack) {
    const auto [threads, createFlags] = GetParam();
    SharedRun run;
    if (createFlags == kThreadedPoolArgument) {
        // The first allocation configures the library without a lock: make it before the threads.
        QORSpecializedDelete(NewFrom(8, std::uintptr_t{32}), nullptr);
        run.poolArgument = Ptr(32);
        run.pool = gThreadedPool;
    } else {
        ConfigureThroughHeapBlock();
        run.pool = static_cast<PoolBase*>(QORSysCreatePool(static_cast<int>(createFlags), 65536));
        run.poolArgument = run.pool;
    }
    ASSERT_NE(run.pool, nullptr);
    ASSERT_TRUE(run.pool->IsLocking());

    // The threads start together, so that their requests overlap.
    std::latch start(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&run, &start, t, threads] {
            start.arrive_and_wait();
            run.Work(1000u + static_cast<unsigned>(t), kTotalAllocations / threads);
        });
    for (std::thread& worker : workers)
        worker.join();
    LiveBlock left;
    while (run.handOver.Pop(left))
        run.Release(left);

    EXPECT_EQ(run.errors.load(), 0);
    EXPECT_EQ(run.pool->IsEmpty(), -1) << "a block was lost or released twice";
}

INSTANTIATE_TEST_SUITE_P(
    Pools, EntryPointsConcurrency,
    ::testing::Combine(::testing::Values(2, 4, 8),
                       ::testing::Values(kThreadedPoolArgument, QORSysPoolFlag::LOCKED,
                                         QORSysPoolFlag::LOCKED |
                                             QORSysPoolFlag::TRACKED_FREE_LIST)),
    [](const auto& info) {
        const std::uint32_t flags = std::get<1>(info.param);
        const std::string pool = flags == kThreadedPoolArgument    ? "ThreadedPool"
                                 : flags == QORSysPoolFlag::LOCKED ? "LockedPool"
                                                                   : "LockedTrackedPool";
        return pool + "_" + std::to_string(std::get<0>(info.param)) + "Threads";
    });

} // namespace
} // namespace qor::test
