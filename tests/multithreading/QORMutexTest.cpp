// QORMutex: exclusion under contention, and waiters that went to sleep are woken.
#include "QORMutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <vector>

namespace {

// Long enough for a waiter to spin out and go to sleep on the lock; the assertions never depend
// on it, it only makes the sleeping path the likely one.
constexpr auto kLetWaitersSleep = std::chrono::milliseconds(50);

TEST(QORMutex, IsOnePointerWide) { EXPECT_EQ(sizeof(QORMutex), sizeof(void*)); }

TEST(QORMutex, ExcludesUnderContention) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    QORMutex mutex(0, 0, 0);
    long counter = 0; // deliberately not atomic: only the lock keeps it right
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            start.arrive_and_wait();
            for (int i = 0; i < kRounds; ++i) {
                mutex.Lock();
                if (inside.fetch_add(1, std::memory_order_relaxed) != 0) ++overlaps;
                const long seen = counter;
                // Now and then the holder is descheduled inside: the others must still wait.
                if (i % 64 == 0) std::this_thread::yield();
                counter = seen + 1;
                inside.fetch_sub(1, std::memory_order_relaxed);
                mutex.Unlock();
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(counter, long{kThreads} * kRounds);
    EXPECT_EQ(overlaps.load(), 0);
}

TEST(QORMutex, SleepingWaiterGetsInAfterUnlock) {
    QORMutex mutex(0, 0, 0);
    mutex.Lock();
    std::atomic<bool> entered{false};
    std::atomic<bool> released{false};
    bool sawRelease = false;
    std::thread waiter([&] {
        mutex.Lock();
        sawRelease = released.load();
        entered = true;
        mutex.Unlock();
    });
    std::this_thread::sleep_for(kLetWaitersSleep);
    EXPECT_FALSE(entered.load());
    released = true;
    mutex.Unlock();
    waiter.join();
    EXPECT_TRUE(entered.load());
    EXPECT_TRUE(sawRelease);
}

TEST(QORMutex, EverySleepingWaiterIsWokenInTurn) {
    constexpr int kWaiters = 3;
    QORMutex mutex(0, 0, 0);
    mutex.Lock();
    int served = 0;
    std::vector<std::thread> waiters;
    for (int w = 0; w < kWaiters; ++w)
        waiters.emplace_back([&] {
            mutex.Lock();
            ++served;
            mutex.Unlock();
        });
    std::this_thread::sleep_for(kLetWaitersSleep);
    EXPECT_EQ(served, 0);
    mutex.Unlock();
    for (std::thread& waiter : waiters)
        waiter.join();
    EXPECT_EQ(served, kWaiters);
}

} // namespace
