// Allocation churn of our routes against malloc (whichever the process has: LD_PRELOAD picks the
// peer), the standard pmr pool resources and, when present, boost::pool. Every benchmark reports
// "ns_per_pair": wall nanoseconds per allocate+release pair, each block written once after its
// allocation. Names read workload/route; tools/bench.sh runs them and tabulates the medians.
#include <QORSysAllocator.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <random>
#include <string>
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

struct MallocRoute {
    void* Allocate(std::size_t bytes) { return std::malloc(bytes); }
    void Release(void* block, std::size_t) { std::free(block); }
};

template <class Resource> struct PmrRoute {
    Resource resource;
    void* Allocate(std::size_t bytes) { return resource.allocate(bytes, 8); }
    void Release(void* block, std::size_t bytes) { resource.deallocate(block, bytes, 8); }
};

// Pool argument 0 (heap with header), 4 (fast pools by size) or 32 (thread-safe pool).
template <std::uintptr_t kArgument> struct FixedArgumentRoute {
    void* Allocate(std::size_t bytes) {
        return QORSpecializedNew(bytes, reinterpret_cast<void*>(kArgument), nullptr, 0);
    }
    void Release(void* block, std::size_t) { QORSpecializedDelete(block, nullptr); }
};

// A private pool created for the run and destroyed after it.
template <unsigned kFlags> struct PrivatePoolRoute {
    void* pool = QORSysCreatePool(static_cast<int>(kFlags), std::size_t{1} << 20, "bench");
    PrivatePoolRoute() = default;
    PrivatePoolRoute(const PrivatePoolRoute&) = delete;
    PrivatePoolRoute& operator=(const PrivatePoolRoute&) = delete;
    ~PrivatePoolRoute() { QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY); }
    void* Allocate(std::size_t bytes) { return QORSpecializedNew(bytes, pool, nullptr, 0); }
    void Release(void* block, std::size_t) {
        QORSpecializedDelete(block, nullptr, (kFlags & kPaged) != 0 ? kPaged : 0);
    }
};

using PlainPoolRoute = PrivatePoolRoute<0>;
using TrackedPoolRoute = PrivatePoolRoute<QORSysPoolFlag::TRACKED_FREE_LIST>;
using PagedSharedRoute = PrivatePoolRoute<kPaged>;
using PagedLockedRoute = PrivatePoolRoute<kPaged | QORSysPoolFlag::LOCKED>;

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

// churn-16 / churn-24-fifo: a batch of blocks of one size, released newest first (LIFO) or
// oldest first (FIFO).
template <class Route> void ChurnFixed(benchmark::State& state, std::size_t bytes, bool fifo) {
    Route route;
    std::vector<void*> blocks(kBatch);
    PairTimer timer;
    for (auto _ : state) {
        for (void*& block : blocks) {
            block = route.Allocate(bytes);
            if (block == nullptr) return state.SkipWithError("allocation failed");
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
    timer.Report(state);
}

// Sizes and release slots drawn once from a fixed seed, so that every route sees the same
// sequence and the generator stays out of the timed loop.
struct MixedScript {
    static constexpr std::size_t kLength = std::size_t{1} << 16;
    std::vector<std::uint16_t> sizes;
    std::vector<std::uint32_t> slots;

    explicit MixedScript(std::uint32_t seed) : sizes(kLength), slots(kLength) {
        std::mt19937 random(seed);
        std::uniform_int_distribution<int> percent(0, 99);
        std::uniform_int_distribution<std::uint32_t> slot(0, kWindow - 1);
        for (std::size_t i = 0; i < kLength; ++i) {
            const int p = percent(random);
            const auto [low, high] = p < 60   ? std::pair{8, 64}
                                     : p < 85 ? std::pair{65, 128}
                                     : p < 95 ? std::pair{129, 256}
                                              : std::pair{257, 512};
            sizes[i] =
                static_cast<std::uint16_t>(std::uniform_int_distribution<int>(low, high)(random));
            slots[i] = slot(random);
        }
    }
};

const MixedScript& Script(int threadIndex) {
    static const MixedScript scripts[2] = {MixedScript(12345), MixedScript(67890)};
    return scripts[threadIndex & 1];
}

// churn-mixed: a window of live blocks of mixed sizes; each pair releases a random one and puts
// a new block in its place. Filling and emptying the window stay outside the timing.
template <class Route> void ChurnMixed(benchmark::State& state) {
    Route route;
    const MixedScript& script = Script(state.thread_index());
    std::vector<void*> live(kWindow);
    std::vector<std::uint16_t> liveSizes(kWindow);
    std::size_t cursor = 0;
    for (std::size_t i = 0; i < kWindow; ++i) {
        liveSizes[i] = script.sizes[cursor];
        live[i] = route.Allocate(liveSizes[i]);
        if (live[i] == nullptr) return state.SkipWithError("allocation failed");
        Touch(live[i], liveSizes[i]);
        cursor = (cursor + 1) % MixedScript::kLength;
    }
    bool failed = false;
    PairTimer timer;
    for (auto _ : state) {
        for (std::size_t i = 0; i < kBatch; ++i) {
            const std::uint32_t slot = script.slots[cursor];
            const std::uint16_t bytes = script.sizes[cursor];
            cursor = (cursor + 1) % MixedScript::kLength;
            route.Release(live[slot], liveSizes[slot]);
            void* block = route.Allocate(bytes);
            live[slot] = block;
            liveSizes[slot] = bytes;
            if (block == nullptr) {
                failed = true;
                break;
            }
            Touch(block, bytes);
        }
        if (failed) break;
    }
    if (!failed) timer.Report(state);
    for (std::size_t i = 0; i < kWindow; ++i)
        if (live[i] != nullptr) route.Release(live[i], liveSizes[i]);
    if (failed) state.SkipWithError("allocation failed");
}

template <class Route> void Register(const std::string& route) {
    benchmark::RegisterBenchmark(("churn-16/" + route).c_str(), ChurnFixed<Route>, 16, false);
    benchmark::RegisterBenchmark(("churn-24-fifo/" + route).c_str(), ChurnFixed<Route>, 24, true);
    benchmark::RegisterBenchmark(("churn-mixed/" + route).c_str(), ChurnMixed<Route>);
}

// Two threads at once on one shared route; ns_per_pair is the wall time per pair of each thread.
template <class Route> void RegisterThreaded(const std::string& route) {
    benchmark::RegisterBenchmark(("threads-2/" + route).c_str(), ChurnMixed<Route>)
        ->Threads(2)
        ->UseRealTime();
}

} // namespace

int main(int argc, char** argv) {
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
    benchmark::RegisterBenchmark("churn-16/boost-pool", ChurnFixed<BoostPoolRoute>, 16, false);
    benchmark::RegisterBenchmark("churn-24-fifo/boost-pool", ChurnFixed<BoostPoolRoute>, 24, true);
#endif
    Register<FixedArgumentRoute<0>>("qor-arg0");
    Register<FixedArgumentRoute<4>>("qor-arg4");
    Register<FixedArgumentRoute<32>>("qor-arg32");
    Register<PlainPoolRoute>("qor-plain");
    Register<TrackedPoolRoute>("qor-tracked");
    Register<PagedSharedRoute>("qor-paged");
    Register<PagedLockedRoute>("qor-paged-locked");

    RegisterThreaded<MallocRoute>("malloc");
    RegisterThreaded<SharedSynchronizedPmrRoute>("pmr-sync");
    RegisterThreaded<FixedArgumentRoute<32>>("qor-arg32");
    RegisterThreaded<SharedPagedLockedRoute>("qor-paged-locked");

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gSharedSynchronizedPmr = nullptr;
    return 0;
}
