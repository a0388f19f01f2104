// QORMutex: sleeping waiters are all woken, and only the lock keeps a plain counter right.
#include "QORMutex.h"

#include <gtest/gtest.h>

#include <thread>

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
