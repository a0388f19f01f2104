// A program with a known allocation stream for the recording: blocks of pool argument 4 (some
// left live), a private paged pool emptied and destroyed, and a second thread whose blocks of pool
// 32 it partly releases itself, partly leaves to the main thread (released across threads), and
// partly leaves live. Prints its own count: "stream <allocations> <releases> <live blocks> <live
// bytes> <releases by another thread>". With QOR_RECORDED_FORK set, a forked child allocates and
// exits in between: its events are not the program's. With QOR_RECORDED_MANY set, 2,000 more
// blocks are live at once first, then released (a live-block table of 1,024 cannot hold them).
#include "QORSysAllocator.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

struct Count {
    unsigned long long allocations = 0, releases = 0, liveBlocks = 0, liveBytes = 0, crossed = 0;
    void* New(std::size_t bytes, void* pool) {
        ++allocations, ++liveBlocks, liveBytes += bytes;
        return QORSpecializedNew(bytes, pool, nullptr, 0);
    }
    void Delete(void* block, std::size_t bytes, int flags = 0) {
        ++releases, --liveBlocks, liveBytes -= bytes;
        QORSpecializedDelete(block, nullptr, flags);
    }
};

void* Argument(std::uintptr_t argument) { return reinterpret_cast<void*>(argument); }

} // namespace

int main() {
    Count count;
    std::vector<void*> fast;
    for (std::size_t i = 1; i <= 100; ++i)
        fast.push_back(count.New(i * 8, Argument(4)));
    for (std::size_t i = 1; i <= 60; ++i)
        count.Delete(fast[i - 1], i * 8);

    if (std::getenv("QOR_RECORDED_MANY") != nullptr) {
        std::vector<void*> many;
        for (int i = 0; i < 2000; ++i)
            many.push_back(count.New(16, Argument(4)));
        for (void* block : many)
            count.Delete(block, 16);
    }

    if (std::getenv("QOR_RECORDED_FORK") != nullptr) {
        const pid_t child = fork();
        if (child == 0) {
            for (int i = 0; i < 1000; ++i)
                QORSpecializedNew(24, Argument(4), nullptr, 0);
            std::exit(0); // through the exit handlers, the tracer's report among them
        }
        waitpid(child, nullptr, 0);
    }

    void* paged = QORSysCreatePool(static_cast<int>(QORSysPoolFlag::PAGED), 0, "recorded-paged");
    std::vector<void*> pagedBlocks;
    for (int i = 0; i < 20; ++i)
        pagedBlocks.push_back(count.New(48, paged));
    for (void* block : pagedBlocks)
        count.Delete(block, 48, static_cast<int>(QORSysPoolFlag::PAGED));
    QORSysFlushPool(paged, QORSysPoolFlag::FLUSH_DESTROY);

    // The thread's counts are its own until it is joined.
    Count threadCount;
    std::vector<void*> handed;
    std::thread([&] {
        std::vector<void*> own;
        for (int i = 0; i < 30; ++i)
            (i % 3 == 0 ? own : handed).push_back(threadCount.New(100, Argument(32)));
        for (void* block : own)
            threadCount.Delete(block, 100);
    }).join();
    for (std::size_t i = 0; i < 10; ++i)
        count.Delete(handed[i], 100);
    count.crossed = 10;
    std::printf("stream %llu %llu %llu %llu %llu\n", count.allocations + threadCount.allocations,
                count.releases + threadCount.releases, count.liveBlocks + threadCount.liveBlocks,
                count.liveBytes + threadCount.liveBytes, count.crossed);
    return 0;
}
