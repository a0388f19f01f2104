// Allocation churn of our routes against malloc (whichever the process has: LD_PRELOAD picks the
// peer), the standard pmr pool resources and, when present, boost::pool. Every benchmark reports
// "ns_per_pair": wall nanoseconds per allocate+release pair, each block written once after its
// allocation. Names read workload/route; tools/bench.sh runs them and tabulates the medians. The
// long mixed churn of one window of 10,000 blocks is qor_mixed_churn's (MixedChurn.cpp): here the
// mixed stream serves the growth and thread workloads.
#include "MixedStream.h"
#include "Routes.h"

#include <QORSysAllocator.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if __has_include(<boost/pool/pool.hpp>)
#include <boost/pool/pool.hpp>
#define QOR_BENCH_HAVE_BOOST_POOL 1
#endif

namespace {

constexpr std::size_t kBatch = 1000;   // pairs per benchmark iteration
constexpr std::size_t kWindow = 10000; // live blocks of the mixed churn
constexpr unsigned kPaged = QORSysPoolFlag::PAGED;

// Writes the whole block so that every route pays for touching its memory; the barrier keeps the
// compiler from dropping the stores before a release it can see through.
inline void Touch(void* block, std::size_t bytes) {
    std::memset(block, 0x5A, bytes);
    benchmark::DoNotOptimize(block);
    benchmark::ClobberMemory();
}

// --- Routes: Allocate(bytes) and Release(block, bytes); a route object lives for one benchmark
// run (per thread in threads-2, where the state it names is shared and created in main).

using qor::bench::FixedArgumentRoute;
using qor::bench::MallocRoute;
using qor::bench::PlainPoolRoute;
using qor::bench::PrivatePoolRoute;
using qor::bench::TrackedPoolRoute;
using PagedSharedRoute = qor::bench::PagedPoolRoute;
using PagedLockedRoute = PrivatePoolRoute<kPaged | QORSysPoolFlag::LOCKED>;

template <class Resource> struct PmrRoute {
    Resource resource;
    void* Allocate(std::size_t bytes) { return resource.allocate(bytes, 8); }
    void Release(void* block, std::size_t bytes) { resource.deallocate(block, bytes, 8); }
};

// Shared by both threads of threads-2; created in main before any thread starts and kept until
// the process ends, since a thread may still be releasing when the other one is done.
void* gSharedLockedPagedPool = nullptr;
std::pmr::synchronized_pool_resource* gSharedSynchronizedPmr = nullptr;

struct SharedPagedLockedRoute {
    void* Allocate(std::size_t bytes) {
        return QORSpecializedNew(bytes, gSharedLockedPagedPool, nullptr, 0);
    }
    void Release(void* block, std::size_t) { QORSpecializedDelete(block, nullptr, kPaged); }
};

struct SharedPagedLockedCachedRoute {
    void* Allocate(std::size_t bytes) {
        return QORSysCachedNew(bytes, reinterpret_cast<void*>(2), gSharedLockedPagedPool);
    }
    void Release(void* block, std::size_t) { QORSysCachedDelete(block, kPaged); }
};

struct SharedSynchronizedPmrRoute {
    void* Allocate(std::size_t bytes) { return gSharedSynchronizedPmr->allocate(bytes, 8); }
    void Release(void* block, std::size_t bytes) {
        gSharedSynchronizedPmr->deallocate(block, bytes, 8);
    }
};

#ifdef QOR_BENCH_HAVE_BOOST_POOL
// Fixed size only: the pool's block size is the first size it is asked for.
struct BoostPoolRoute {
    std::unique_ptr<boost::pool<>> pool;
    void* Allocate(std::size_t bytes) {
        if (!pool) pool = std::make_unique<boost::pool<>>(bytes);
        return pool->malloc();
    }
    void Release(void* block, std::size_t) { pool->free(block); }
};
#endif

// Each thread times its own loop on the wall clock (the library's rate counters divide by CPU
// time, summed over threads); the counter is averaged over the threads.
struct PairTimer {
    using Clock = std::chrono::steady_clock;
    Clock::time_point start = Clock::now();

    void Report(benchmark::State& state) const {
        const std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
        const auto pairs = static_cast<double>(state.iterations() * kBatch);
        state.SetItemsProcessed(static_cast<std::int64_t>(pairs));
        if (pairs > 0)
            state.counters["ns_per_pair"] =
                benchmark::Counter(elapsed.count() / pairs, benchmark::Counter::kAvgThreads);
    }
};

// The timed loops are functions of their own named TimedPairs, so that callgrind can count their
// instructions alone (--toggle-collect='*TimedPairs*') and tools/bench.sh divide by the pairs.

// churn-16 / churn-24-fifo: a batch of blocks of one size, released newest first (LIFO) or
// oldest first (FIFO). Returns false when an allocation failed.
template <class Route>
[[gnu::noinline]] bool TimedPairsFixed(benchmark::State& state, Route& route,
                                       std::vector<void*>& blocks, std::size_t bytes, bool fifo) {
    for (auto _ : state) {
        for (void*& block : blocks) {
            block = route.Allocate(bytes);
            if (block == nullptr) return false;
            Touch(block, bytes);
        }
        if (fifo) {
            for (void* block : blocks)
                route.Release(block, bytes);
        } else {
            for (std::size_t i = kBatch; i-- > 0;)
                route.Release(blocks[i], bytes);
        }
    }
    return true;
}

template <class Route> void ChurnFixed(benchmark::State& state, std::size_t bytes, bool fifo) {
    Route route;
    std::vector<void*> blocks(kBatch);
    PairTimer timer;
    if (!TimedPairsFixed(state, route, blocks, bytes, fifo))
        return state.SkipWithError("allocation failed");
    timer.Report(state);
}

// A window of live blocks of mixed sizes, with the bytes requested for them now and at most, and
// the stream of requests (drawn in the timed loop, never repeating).
struct LiveWindow {
    std::vector<void*> blocks;
    std::vector<std::uint32_t> sizes;
    qor::bench::MixedStream stream;
    std::size_t bytes = 0;
    std::size_t peakBytes = 0;
};

// Each pair releases a random block of the window and allocates its replacement.
template <class Route>
[[gnu::noinline]] bool TimedPairsMixed(benchmark::State& state, Route& route, LiveWindow& live) {
    const std::size_t window = live.blocks.size();
    for (auto _ : state) {
        for (std::size_t i = 0; i < kBatch; ++i) {
            const auto [slot, bytes] = live.stream.Next(window);
            route.Release(live.blocks[slot], live.sizes[slot]);
            live.bytes += bytes;
            live.bytes -= live.sizes[slot];
            live.peakBytes = std::max(live.peakBytes, live.bytes);
            void* block = route.Allocate(bytes);
            live.blocks[slot] = block;
            live.sizes[slot] = bytes;
            if (block == nullptr) return false;
            Touch(block, bytes);
        }
    }
    return true;
}

// growth and threads-2: a window of `window` live blocks; filling and emptying it stay outside
// the timing. Each thread has a stream of its own seed, and every run of a benchmark starts its
// stream afresh. "rss_ratio" (peak resident bytes over peak requested bytes) holds only when this
// is the one benchmark of its process, as tools/bench.sh runs the growth workload.
template <class Route> void ChurnMixed(benchmark::State& state, std::size_t window) {
    Route route;
    LiveWindow live{std::vector<void*>(window), std::vector<std::uint32_t>(window),
                    qor::bench::MixedStream(12345 + 55545 * std::uint64_t(state.thread_index()))};
    // The process before its first window was filled, the window's own arrays included.
    static const std::size_t baselineBytes = qor::bench::ResidentBytes("VmRSS:");
    bool ok = true;
    for (std::size_t i = 0; i < window && ok; ++i) {
        live.sizes[i] = live.stream.NextSize();
        live.bytes += live.sizes[i];
        live.blocks[i] = route.Allocate(live.sizes[i]);
        ok = live.blocks[i] != nullptr;
        if (ok) Touch(live.blocks[i], live.sizes[i]);
    }
    live.peakBytes = live.bytes;
    PairTimer timer;
    ok = ok && TimedPairsMixed(state, route, live);
    if (ok) {
        timer.Report(state);
        const std::size_t peak = qor::bench::ResidentBytes("VmHWM:");
        state.counters["rss_ratio"] = static_cast<double>(peak - std::min(peak, baselineBytes)) /
                                      static_cast<double>(live.peakBytes);
    }
    for (std::size_t i = 0; i < window; ++i)
        if (live.blocks[i] != nullptr) route.Release(live.blocks[i], live.sizes[i]);
    if (!ok) state.SkipWithError("allocation failed");
}

// producer-consumer: thread 0 allocates blocks of the mixed stream's sizes and hands them through
// a ring of kRingSlots to thread 1, which releases them, so that every release is of a block that
// the other thread allocated. A thread that finds the ring full (or empty) yields: with two cores
// and other processes about, spinning would only take the other thread's core.
struct HandOffRing {
    static constexpr std::size_t kRingSlots = 1024; // a power of two
    struct Slot {
        void* block;
        std::size_t bytes;
    };
    Slot slots[kRingSlots];
    alignas(64) std::atomic<std::size_t> written{0}; // written by the producer only
    alignas(64) std::atomic<std::size_t> read{0};    // written by the consumer only
};
HandOffRing gHandOffRing;

template <class Route>
[[gnu::noinline]] bool TimedPairsHandOff(benchmark::State& state, Route& route) {
    HandOffRing& ring = gHandOffRing;
    if (state.thread_index() == 0) {
        qor::bench::MixedStream stream(12345);
        std::size_t written = ring.written.load(std::memory_order_relaxed);
        for (auto _ : state) {
            for (std::size_t i = 0; i < kBatch; ++i, ++written) {
                const std::uint32_t bytes = stream.NextSize();
                void* block = route.Allocate(bytes);
                if (block == nullptr) return false; // the consumer then waits for good: see main
                Touch(block, bytes);
                while (written - ring.read.load(std::memory_order_acquire) ==
                       HandOffRing::kRingSlots)
                    std::this_thread::yield();
                ring.slots[written % HandOffRing::kRingSlots] = {block, bytes};
                ring.written.store(written + 1, std::memory_order_release);
            }
        }
    } else {
        std::size_t read = ring.read.load(std::memory_order_relaxed);
        for (auto _ : state) {
            for (std::size_t i = 0; i < kBatch; ++i, ++read) {
                while (ring.written.load(std::memory_order_acquire) == read)
                    std::this_thread::yield();
                const HandOffRing::Slot slot = ring.slots[read % HandOffRing::kRingSlots];
                route.Release(slot.block, slot.bytes);
                ring.read.store(read + 1, std::memory_order_release);
            }
        }
    }
    return true;
}

template <class Route> void ProducerConsumer(benchmark::State& state) {
    Route route;
    PairTimer timer;
    if (!TimedPairsHandOff(state, route)) {
        std::fputs("producer-consumer: allocation failed\n", stderr);
        std::abort(); // the consumer would wait for blocks that never come
    }
    timer.Report(state);
}

// With --qor_iterations=N every benchmark runs exactly N iterations of kBatch pairs, once: the
// instruction counts of tools/bench.sh divide callgrind's total by that.
std::int64_t gFixedIterations = 0;

template <class... Args>
benchmark::internal::Benchmark* Add(const std::string& name, Args&&... args) {
    auto* benchmark = benchmark::RegisterBenchmark(name.c_str(), std::forward<Args>(args)...);
    if (gFixedIterations > 0) benchmark->Iterations(gFixedIterations)->Repetitions(1);
    return benchmark;
}

template <class Route> void Register(const std::string& route) {
    Add("churn-16/" + route, ChurnFixed<Route>, 16, false);
    Add("churn-24-fifo/" + route, ChurnFixed<Route>, 24, true);
}

// growth: the mixed churn with ever larger windows, each meant to run alone in its process.
template <class Route> void RegisterGrowth(const std::string& route) {
    for (const auto& [name, window] : {std::pair{"1k", 1000}, std::pair{"10k", 10000},
                                       std::pair{"100k", 100000}, std::pair{"1m", 1000000}})
        Add("growth-" + std::string(name) + "/" + route, ChurnMixed<Route>,
            static_cast<std::size_t>(window));
}

// 2, 4, 8 and 16 threads at once on one shared route, each churning a window of its own;
// ns_per_pair is the wall time per pair of each thread, items_per_second the pairs per second of
// all threads together. A run makes a fixed number of pairs: 5e6 per thread at 2 threads, 4e6 in
// all at more (on two cores more pairs would only lengthen tools/bench.sh, not steady it).
template <class Route> void RegisterThreaded(const std::string& route) {
    for (const int threads : {2, 4, 8, 16}) {
        auto* benchmark =
            Add("threads-" + std::to_string(threads) + "/" + route, ChurnMixed<Route>, kWindow);
        benchmark->Threads(threads)->UseRealTime();
        if (gFixedIterations == 0) benchmark->Iterations(threads == 2 ? 5000 : 4000 / threads);
    }
}

// The pair runs 5e6 blocks; ns_per_pair is the wall time per block handed over.
template <class Route> void RegisterProducerConsumer(const std::string& route) {
    auto* benchmark = Add("producer-consumer/" + route, ProducerConsumer<Route>);
    benchmark->Threads(2)->UseRealTime();
    if (gFixedIterations == 0) benchmark->Iterations(5000);
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--qor_iterations=", 17) == 0) {
            gFixedIterations = std::atoll(argv[i] + 17);
            argv[i--] = argv[--argc];
        }
    // The library configures itself and creates its fixed pools on first use, without a lock:
    // every route is used once here, before the benchmarks start any thread.
    for (std::uintptr_t argument : {0, 4, 32})
        QORSpecializedDelete(QORSpecializedNew(16, reinterpret_cast<void*>(argument), nullptr, 0),
                             nullptr);
    gSharedLockedPagedPool = QORSysCreatePool(kPaged | QORSysPoolFlag::LOCKED, 0, "bench-shared");
    std::pmr::synchronized_pool_resource sharedSynchronized;
    gSharedSynchronizedPmr = &sharedSynchronized;

    Register<MallocRoute>("malloc");
    Register<PmrRoute<std::pmr::unsynchronized_pool_resource>>("pmr-unsync");
#ifdef QOR_BENCH_HAVE_BOOST_POOL
    Add("churn-16/boost-pool", ChurnFixed<BoostPoolRoute>, 16, false);
    Add("churn-24-fifo/boost-pool", ChurnFixed<BoostPoolRoute>, 24, true);
#endif
    Register<FixedArgumentRoute<0>>("qor-arg0");
    Register<FixedArgumentRoute<4>>("qor-arg4");
    Register<FixedArgumentRoute<32>>("qor-arg32");
    Register<qor::bench::CachedThreadSafeRoute>("qor-cached32");
    Register<PlainPoolRoute>("qor-plain");
    Register<TrackedPoolRoute>("qor-tracked");
    Register<PagedSharedRoute>("qor-paged");
    Register<PagedLockedRoute>("qor-paged-locked");

    RegisterGrowth<MallocRoute>("malloc");
    RegisterGrowth<FixedArgumentRoute<4>>("qor-arg4");
    RegisterGrowth<PagedSharedRoute>("qor-paged");

    RegisterThreaded<MallocRoute>("malloc");
    RegisterThreaded<SharedSynchronizedPmrRoute>("pmr-sync");
    RegisterThreaded<FixedArgumentRoute<32>>("qor-arg32");
    RegisterThreaded<SharedPagedLockedRoute>("qor-paged-locked");
    RegisterThreaded<qor::bench::CachedThreadSafeRoute>("qor-cached32");
    RegisterThreaded<SharedPagedLockedCachedRoute>("qor-paged-locked-cached");
    // A pool of its own on each thread (each thread makes its route object): unlocked, no cache,
    // the paged pools drawing their pages from the process's shared region list.
    RegisterThreaded<PagedSharedRoute>("qor-paged-per-thread");
    RegisterThreaded<PlainPoolRoute>("qor-plain-per-thread");
    RegisterProducerConsumer<MallocRoute>("malloc");
    RegisterProducerConsumer<SharedSynchronizedPmrRoute>("pmr-sync");
    RegisterProducerConsumer<FixedArgumentRoute<32>>("qor-arg32");
    RegisterProducerConsumer<qor::bench::CachedThreadSafeRoute>("qor-cached32");
    RegisterProducerConsumer<SharedPagedLockedRoute>("qor-paged-locked");

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gSharedSynchronizedPmr = nullptr;
    return 0;
}
