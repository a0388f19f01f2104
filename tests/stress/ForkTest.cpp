// A program that uses the library's locking pools from several threads and forks: the child finds
// no lock held and allocates at once, from the thread-safe pool and a locked paged pool alike.
#include "ForkedChild.h"
#include "QORSys.hpp"
#include "QORSysAllocator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using namespace QORSys::Route;
constexpr int kPaged = QORSysPoolFlag::PAGED;

TEST(ForkSafety, AChildOfAThreadedProgramAllocatesFromEveryLockingPool) {
    QORSysCachedDelete(QORSysCachedNew(16, ThreadSafe, nullptr), 0); // the first call, alone
    void* paged = QORSysCreatePool(QORSysPoolFlag::PAGED | QORSysPoolFlag::LOCKED, 0, "forked");
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int t = 0; t < 3; ++t)
        busy.emplace_back([&] {
            std::vector<void*> window(64);
            for (unsigned i = 0; !stop; ++i) {
                void*& slot = window[i % 64];
                QORSysCachedDelete(slot, 0);
                slot = QORSysCachedNew(8 + i % 2000, ThreadSafe, nullptr);
                QORSysCachedDelete(QORSysCachedNew(8 + i % 900, InParam, paged), kPaged);
            }
            for (void* p : window)
                QORSysCachedDelete(p, 0);
        });
    for (int child = 0; child < 20; ++child)
        EXPECT_TRUE(qor::test::ForkedChildSucceeds([&] {
            bool allocated = true;
            for (int i = 0; i < 1000 && allocated; ++i) {
                void* general = QORSysCachedNew(8 + i % 3000, ThreadSafe, nullptr);
                void* small = QORSysCachedNew(8 + i % 1000, InParam, paged);
                allocated = general != nullptr && small != nullptr;
                QORSysCachedDelete(general, 0);
                QORSysCachedDelete(small, kPaged);
            }
            return allocated && QORSysCheckPool(nullptr, nullptr) == -1;
        })) << "child "
            << child;
    stop = true;
    for (std::thread& thread : busy)
        thread.join();
    EXPECT_EQ(QORSysFlushPool(paged, QORSysPoolFlag::FLUSH_DESTROY), 0);
}

} // namespace
