// The heap engine under threads (these cases also run under ThreadSanitizer, tools/ci-tsan.sh):
// blocks handed through queues to other threads that check and release them, threads that end
// holding pages whose blocks others release later, and fork while threads allocate. Afterwards
// every byte is back: the figures return to where they started.
#include "ForkedChild.h"
#include "HeapTestSupport.h"
#include "heap/Heap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace qor::heap;
using qor::heap::test::Now;

namespace {

struct Handed {
    unsigned char* block;
    std::size_t bytes;
    unsigned char tag;
};

// A block's first 256 bytes carry its tag, its last 64 (beyond those) the tag's complement.
std::size_t HeadBytes(std::size_t bytes) { return bytes < 256 ? bytes : 256; }
std::size_t TailStart(std::size_t bytes) {
    return bytes < 256 + 64 ? HeadBytes(bytes) : bytes - 64;
}
void Stamp(unsigned char* block, std::size_t bytes, unsigned char tag) {
    std::memset(block, tag, HeadBytes(bytes));
    std::memset(block + TailStart(bytes), tag ^ 0xFF, bytes - TailStart(bytes));
}
bool Stamped(const Handed& h) {
    for (std::size_t i = 0; i < HeadBytes(h.bytes); ++i)
        if (h.block[i] != h.tag) return false;
    for (std::size_t i = TailStart(h.bytes); i < h.bytes; ++i)
        if (h.block[i] != (h.tag ^ 0xFF)) return false;
    return true;
}

// A queue of blocks from producers to consumers; `Take` waits, and gives false once producers
// are done and the queue is empty.
class BlockQueue {
public:
    void Put(const Handed& h) {
        std::lock_guard lock(mutex_);
        queue_.push_back(h);
        ready_.notify_one();
    }
    bool Take(Handed* h) {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !queue_.empty() || done_; });
        if (queue_.empty()) return false;
        *h = queue_.front();
        queue_.pop_front();
        return true;
    }
    void Done() {
        std::lock_guard lock(mutex_);
        done_ = true;
        ready_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Handed> queue_;
    bool done_ = false;
};

std::size_t SomeSize(std::mt19937& random) {
    switch (random() % 16) {
    case 0:
        return kLargestClassBytes + random() % (std::size_t{1} << 20); // huge
    case 1:
    case 2:
        return random() % 65536;
    default:
        return random() % 1024;
    }
}

// Producers keep some blocks and hand most to consumers, which check each and release it (into
// the producers' pages, full ones included), and allocate and release blocks of their own.
TEST(HeapThreads, BlocksHandedToOtherThreadsComeBack) {
    // The first heap registers the engine's thread-exit call; the race of the first heaps is a
    // case of its own (FirstHeapsSetUpAtOnceEndWithTheirThreads).
    Release(Allocate(1));
    const Figures before = Now();
    constexpr int kProducers = 3, kConsumers = 3, kBlocksEach = 20000;
    BlockQueue queue;
    std::atomic<int> broken{0};
    std::vector<std::thread> consumers;
    for (int c = 0; c < kConsumers; ++c)
        consumers.emplace_back([&, c] {
            std::mt19937 random(100 + c);
            std::vector<void*> own;
            Handed h;
            while (queue.Take(&h)) {
                if (!Stamped(h)) ++broken;
                Release(h.block);
                if (random() % 4 == 0) own.push_back(Allocate(random() % 512));
                if (own.size() > 64) {
                    for (void* p : own)
                        Release(p);
                    own.clear();
                }
            }
            for (void* p : own)
                Release(p);
        });
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            std::mt19937 random(p);
            std::vector<Handed> kept;
            for (int i = 0; i < kBlocksEach; ++i) {
                const std::size_t bytes = SomeSize(random);
                auto* block = static_cast<unsigned char*>(random() % 8 ? Allocate(bytes)
                                                                       : AllocateZeroed(bytes));
                if (block == nullptr) {
                    ++broken;
                    continue;
                }
                const Handed h{block, bytes, static_cast<unsigned char>(i * 7 + p)};
                Stamp(block, bytes, h.tag);
                if (random() % 5 == 0)
                    kept.push_back(h);
                else
                    queue.Put(h);
            }
            for (const Handed& h : kept) {
                if (!Stamped(h)) ++broken;
                Release(h.block);
            }
        });
    for (std::thread& t : producers)
        t.join();
    queue.Done();
    for (std::thread& t : consumers)
        t.join();
    EXPECT_EQ(broken.load(), 0);
    const Figures after = Now();
    EXPECT_EQ(after.bytesInUse, before.bytesInUse);
    EXPECT_EQ(after.hugeBlocks, before.hugeBlocks);
    Trim();
    EXPECT_LE(Now().bytesHeld, before.bytesHeld);
}

// Threads end holding full pages; other threads, themselves adopting the ended heaps, release the
// blocks while allocating.
TEST(HeapThreads, BlocksOfEndedThreadsAreReleasedByOthers) {
    // The first heap registers the engine's thread-exit call; the race of the first heaps is a
    // case of its own (FirstHeapsSetUpAtOnceEndWithTheirThreads).
    Release(Allocate(1));
    const Figures before = Now();
    constexpr int kThreads = 4;
    std::vector<std::vector<Handed>> left(kThreads), next(kThreads);
    for (int round = 0; round < 3; ++round, left.swap(next)) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t, round] {
                std::mt19937 random(t * 10 + round);
                // Release what the previous round's thread t + 1 left, while allocating.
                for (const Handed& h : left[(t + 1) % kThreads]) {
                    EXPECT_TRUE(Stamped(h));
                    Release(h.block);
                }
                std::vector<Handed>& mine = next[t];
                mine.clear();
                for (int i = 0; i < 6000; ++i) {
                    const std::size_t bytes = i % 50 == 0 ? SomeSize(random) : random() % 300;
                    auto* block = static_cast<unsigned char*>(Allocate(bytes));
                    ASSERT_NE(block, nullptr);
                    Stamp(block, bytes, static_cast<unsigned char>(i));
                    mine.push_back({block, bytes, static_cast<unsigned char>(i)});
                }
                if (round % 2) AbandonThreadHeap(); // or at the thread's end
            });
        for (std::thread& t : threads)
            t.join();
        EXPECT_GE(Now().abandonedHeaps, 1u);
    }
    // The last round's blocks: released from threads that never allocate.
    std::vector<std::thread> releasers;
    for (int t = 0; t < kThreads; ++t)
        releasers.emplace_back([&, t] {
            for (const Handed& h : left[t]) {
                EXPECT_TRUE(Stamped(h));
                Release(h.block);
            }
        });
    for (std::thread& t : releasers)
        t.join();
    const Figures after = Now();
    EXPECT_EQ(after.bytesInUse, before.bytesInUse);
    EXPECT_EQ(after.abandonedHeaps, after.heaps - before.heaps + before.abandonedHeaps);
    Trim();
    const Figures trimmed = Now();
    EXPECT_LE(trimmed.bytesHeld, before.bytesHeld);
    EXPECT_LE(trimmed.segments, before.segments);
}

// The process's first heaps, set up by threads at once: every one must end with its thread, so
// that its pages go to the next thread. ThreadSanitizer caught a thread that lost the race to
// register the engine's thread-exit call and went on before the key existed, leaving its heap
// never abandoned.
TEST(HeapThreads, FirstHeapsSetUpAtOnceEndWithTheirThreads) {
    const Figures before = Now();
    constexpr int kThreads = 8;
    std::atomic<int> starting{kThreads}, ending{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            starting.fetch_sub(1);
            while (starting.load() != 0) {
            }
            void* p = Allocate(64);
            // No thread ends (and takes the heaps' lock) before every one has its heap.
            ending.fetch_sub(1);
            while (ending.load() != 0) {
            }
            Release(p);
        });
    for (std::thread& t : threads)
        t.join();
    const Figures after = Now();
    EXPECT_EQ(after.heaps - after.abandonedHeaps, before.heaps - before.abandonedHeaps);
}

// fork() while threads allocate and release: the child, with only the forking thread, allocates
// and releases a lot, and a thread it starts (adopting one of the heaps left behind) works too.
TEST(HeapFork, ChildAllocatesWhileParentThreadsWork) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' own runtimes are not fork-safe while other threads allocate: a child
    // inherits their allocator's lock held and stops there.
    GTEST_SKIP() << "a sanitizer's runtime cannot fork with threads allocating";
#endif
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int t = 0; t < 3; ++t)
        busy.emplace_back([&, t] {
            std::mt19937 random(t);
            std::vector<void*> blocks(512, nullptr);
            while (!stop.load(std::memory_order_relaxed)) {
                void*& slot = blocks[random() % blocks.size()];
                if (slot) Release(slot);
                slot = Allocate(SomeSize(random));
            }
            for (void* p : blocks)
                if (p) Release(p);
        });
    auto work = [] {
        std::mt19937 random(7);
        std::vector<Handed> blocks;
        for (int i = 0; i < 50000; ++i) {
            if (!blocks.empty() && random() % 3 == 0) {
                const std::size_t k = random() % blocks.size();
                if (!Stamped(blocks[k])) return false;
                Release(blocks[k].block);
                blocks[k] = blocks.back();
                blocks.pop_back();
                continue;
            }
            const std::size_t bytes = i % 100 == 0 ? SomeSize(random) : random() % 2048;
            auto* p = static_cast<unsigned char*>(Allocate(bytes));
            if (p == nullptr) return false;
            Stamp(p, bytes, static_cast<unsigned char>(i));
            if (blocks.size() < 2000)
                blocks.push_back({p, bytes, static_cast<unsigned char>(i)});
            else
                Release(p);
        }
        for (const Handed& h : blocks) {
            if (!Stamped(h)) return false;
            Release(h.block);
        }
        return true;
    };
    for (int fork = 0; fork < 8; ++fork) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_TRUE(qor::test::ForkedChildSucceeds([&] {
            bool ok = work();
            std::thread([&] { ok = ok && work(); }).join();
            Trim();
            return ok;
        })) << "fork "
            << fork;
    }
    stop = true;
    for (std::thread& t : busy)
        t.join();
}

} // namespace
