// Several threads share one thread-safe pool: random sizes, contents stamped with thread and slot,
// a third of the blocks released by the next thread. Library and pool are set up before threads.
#include "frontend/FixedPools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

namespace qor::test {

constexpr std::uint32_t kFlags[] = {0, 0x8, 0x100008, 0x400008}; // 0: the threaded pool (32)
const char* const kNames[] = {"Threaded", "Locked", "LockedTracked", "LockedPaged"};
constexpr int kOperations = 96000; // per case, shared among its threads
constexpr int kSlots = 24;         // blocks a thread holds at most (an even number)

void* Ptr(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

struct Block { // the first word names thread, slot and operation; the others repeat its low byte
    unsigned char* data = nullptr;
    std::size_t bytes = 0;
    std::uint64_t stamp = 0;
    bool Intact() const {
        return std::memcmp(data, &stamp, 8) == 0 &&
               std::count(data + 8, data + bytes, stamp & 0xFF) == std::ptrdiff_t(bytes - 8);
    }
};

class ThreadStress : public testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(ThreadStress, CrossThreadTrafficLeavesThePoolEmpty) {
    const auto [kind, threads] = GetParam();
    const std::uint32_t flags = kFlags[kind];
    // The first call configures the library; pools are created here too: neither takes a lock.
    QORSpecializedDelete(QORSpecializedNew(8, Ptr(32), nullptr, 0), nullptr);
    void* pool = flags == 0 ? State().threadedPool : QORSysCreatePool(int(flags), 0);
    void* argument = flags == 0 ? Ptr(32) : pool; // what QORSpecializedNew is given
    const int releaseFlags = int(flags & QORSysPoolFlag::PAGED);
    auto release = [&](const Block& b, unsigned choice) { // the pool named or found from the block
        EXPECT_TRUE(b.Intact()) << std::hex << b.stamp;
        QORSpecializedDelete(b.data, choice % 2 ? pool : nullptr, releaseFlags);
    };
    std::vector<std::pair<std::mutex, std::vector<Block>>> inboxes(threads); // from thread t - 1
    auto work = [&](int t) {
        std::mt19937 random(t + 1);
        std::vector<Block> slots(kSlots);
        for (int op = 0; op < kOperations / threads; ++op) {
            const int slot = int(random() % kSlots);
            Block& b = slots[slot];
            if (b.data == nullptr) {
                b.bytes = 8 + (random() % 2041 >> random() % 4); // 8 to 2048, mostly small
                void* near = releaseFlags || random() % 8 ? nullptr : slots[slot ^ 1].data;
                b.data = static_cast<unsigned char*>(
                    QORSpecializedNew(b.bytes, near ? Ptr(8) : argument, near, 0)); // beside `near`
                ASSERT_NE(b.data, nullptr) << b.bytes;
                b.stamp = std::uint64_t(t) << 48 | std::uint64_t(slot) << 32 | unsigned(op);
                std::memset(b.data, int(b.stamp & 0xFF), b.bytes), std::memcpy(b.data, &b.stamp, 8);
            } else if (auto& [lock, blocks] = inboxes[(t + 1) % threads]; random() % 3 == 0) {
                std::scoped_lock guard(lock);
                blocks.push_back(std::exchange(b, Block{}));
            } else {
                release(std::exchange(b, Block{}), random());
            }
            Block handed; // taken out under the inbox's lock, released outside it
            if (std::scoped_lock guard(inboxes[t].first); !inboxes[t].second.empty())
                handed = inboxes[t].second.back(), inboxes[t].second.pop_back();
            if (handed.data != nullptr) release(handed, random());
            if (op % 256 == 0) QORSysOptimizePool(pool, 0x101); // drops empty chunks, merges
        }
        for (const Block& b : slots)
            if (b.data != nullptr) release(b, random());
    };
    std::vector<std::jthread> running;
    for (int t = 0; t < threads; ++t)
        running.emplace_back(work, t);
    running.clear(); // joins them; what is still handed over goes back from here
    for (auto& [lock, blocks] : inboxes)
        for (const Block& b : blocks)
            release(b, 0);
    QORPoolInfo info{};
    QORSysGetPoolInfo(argument, nullptr, &info, 0);
    // Empty: a general pool's chunks are free but for their headers; a paged pool holds no page.
    EXPECT_EQ(info.totalSize - info.freeSize, releaseFlags ? 0 : 112 + 64 * (info.chunkCount - 1));
    EXPECT_EQ(releaseFlags ? info.totalSize + info.blockTotal : 0, 0u);
    EXPECT_EQ(QORSysCheckPool(pool, stderr), -1);
    EXPECT_EQ(flags == 0 ? 0 : QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY), 0);
}

INSTANTIATE_TEST_SUITE_P(Pools, ThreadStress,
                         testing::Combine(testing::Range(0, 4), testing::Values(2, 4, 8, 16)),
                         [](const auto& info) {
                             return kNames[std::get<0>(info.param)] +
                                    std::to_string(std::get<1>(info.param));
                         });

} // namespace qor::test
