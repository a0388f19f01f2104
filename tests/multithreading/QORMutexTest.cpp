// QORMutex: sleeping waiters are all woken, and only the lock keeps a plain counter right.
#include "QORMutex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

TEST(QORMutex, ExcludesAndWakesSleepingWaiters) {
    QORMutex mutex(0, 0, 0);
    long counter = 0; // deliberately not atomic
    mutex.Lock();
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                mutex.Lock();
                const long seen = counter;
                if (i % 64 == 0) std::this_thread::yield(); // the holder is descheduled inside
                counter = seen + 1;
                mutex.Unlock();
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // lets them sleep; not asserted
    EXPECT_EQ(counter, 0);
    mutex.Unlock();
    threads.clear(); // joins them
    EXPECT_EQ(counter, 4 * 20000);
}

// N threads add to a plain counter under one mutex; now and then a holder sleeps inside, so that
// waiters exhaust their spin and sleep on the futex, and the wake-ups of Unlock are exercised at
// every thread count, oversubscribed ones included. A lost update shows in the total, a lost
// wake-up as a hang (the ctest time limit).
class QORMutexStress : public ::testing::TestWithParam<int> {};

TEST_P(QORMutexStress, PlainCounterTotalIsExact) {
    const int threadCount = GetParam();
    constexpr long kIncrementsInAll = 384000;
    const long perThread = kIncrementsInAll / threadCount;
    QORMutex mutex(0, 0, 0);
    long counter = 0;        // deliberately not atomic
    int holders = 0;         // how many threads are inside: always 1 there
    bool overlapped = false; // set if two were ever inside at once
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < threadCount; ++t)
            threads.emplace_back([&, t] {
                for (long i = 0; i < perThread; ++i) {
                    mutex.Lock();
                    overlapped |= ++holders != 1;
                    const long seen = counter;
                    if ((i + t) % 512 == 0)
                        std::this_thread::sleep_for(std::chrono::microseconds(50));
                    counter = seen + 1;
                    --holders;
                    mutex.Unlock();
                }
            });
    } // joins them
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(counter, perThread * threadCount);
}

INSTANTIATE_TEST_SUITE_P(Threads, QORMutexStress, ::testing::Values(2, 8, 32),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::to_string(info.param) + "Threads";
                         });

// Critical sections of a few instructions, with more threads than cores and a yield outside the
// lock now and then: threads are often preempted between counting themselves as sleepers and
// sleeping, which is where a wake-up can be lost or claimed for a thread that is not yet asleep.
TEST(QORMutex, ShortSectionsOversubscribedLoseNoWakeUp) {
    constexpr int kThreads = 32;
    constexpr long kPerThread = 40000;
    QORMutex mutex(0, 0, 0);
    long counter = 0; // deliberately not atomic
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (long i = 0; i < kPerThread; ++i) {
                    mutex.Lock();
                    ++counter;
                    mutex.Unlock();
                    if ((i + t) % 97 == 0) std::this_thread::yield();
                }
            });
    }
    EXPECT_EQ(counter, kThreads * kPerThread);
}
