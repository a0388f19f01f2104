// Allocation churn of our routes against malloc (whichever the process has: LD_PRELOAD picks the
// peer), the standard pmr pool resources and, when present, boost::pool. Every benchmark reports
// "ns_per_pair": wall nanoseconds per allocate+release pair, each block written once after its
// allocation. Names read workload/route; tools/bench.sh runs them and tabulates the medians.
#include <QORSysAllocator.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
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

// Sizes and release draws made once from a fixed seed, so that every route sees the same
// sequence and the generator stays out of the timed loop. A draw picks a slot of a window of any
// size by a multiply and a shift, which costs no division in the loop.
struct MixedScript {
    static constexpr std::size_t kLength = std::size_t{1} << 16;
    std::vector<std::uint16_t> sizes;
    std::vector<std::uint32_t> draws;

    explicit MixedScript(std::uint32_t seed) : sizes(kLength), draws(kLength) {
        std::mt19937 random(seed);
        std::uniform_int_distribution<int> percent(0, 99);
        for (std::size_t i = 0; i < kLength; ++i) {
            const int p = percent(random);
            const auto [low, high] = p < 60   ? std::pair{8, 64}
                                     : p < 85 ? std::pair{65, 128}
                                     : p < 95 ? std::pair{129, 256}
                                              : std::pair{257, 512};
            sizes[i] =
                static_cast<std::uint16_t>(std::uniform_int_distribution<int>(low, high)(random));
            draws[i] = static_cast<std::uint32_t>(random());
        }
    }
    static std::size_t Slot(std::uint32_t draw, std::size_t window) {
        return static_cast<std::size_t>((std::uint64_t{draw} * window) >> 32);
    }
};

const MixedScript& Script(int threadIndex) {
    static const MixedScript scripts[2] = {MixedScript(12345), MixedScript(67890)};
    return scripts[threadIndex & 1];
}

// A window of live blocks of mixed sizes, with the bytes requested for them now and at most.
struct LiveWindow {
    std::vector<void*> blocks;
    std::vector<std::uint16_t> sizes;
    std::size_t bytes = 0;
    std::size_t peakBytes = 0;
    std::size_t cursor = 0; // next draw of the script
};

// Each pair releases a random block of the window and allocates its replacement.
template <class Route>
[[gnu::noinline]] bool TimedPairsMixed(benchmark::State& state, Route& route,
                                       const MixedScript& script, LiveWindow& live) {
    const std::size_t window = live.blocks.size();
    for (auto _ : state) {
        for (std::size_t i = 0; i < kBatch; ++i) {
            const std::size_t slot = MixedScript::Slot(script.draws[live.cursor], window);
            const std::uint16_t bytes = script.sizes[live.cursor];
            live.cursor = (live.cursor + 1) % MixedScript::kLength;
            route.Release(live.blocks[slot], live.sizes[slot]);
            live.bytes += bytes - live.sizes[slot];
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

// The process's resident set now (VmRSS) or at its peak (VmHWM), in bytes, from /proc.
std::size_t ResidentBytes(const char* field) {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return 0;
    char line[256];
    std::size_t kilobytes = 0;
    const std::size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::strncmp(line, field, length) == 0)
            kilobytes = std::strtoull(line + length, nullptr, 10);
    std::fclose(status);
    return kilobytes * 1024;
}

// churn-mixed and growth: a window of `window` live blocks; filling and emptying it stay outside
// the timing. "rss_ratio" (peak resident bytes over peak requested bytes) holds only when this is
// the one benchmark of its process, as tools/bench.sh runs the growth workload.
template <class Route> void ChurnMixed(benchmark::State& state, std::size_t window) {
    Route route;
    const MixedScript& script = Script(state.thread_index());
    LiveWindow live{std::vector<void*>(window), std::vector<std::uint16_t>(window)};
    // The process before its first window was filled, the window's own arrays included.
    static const std::size_t baselineBytes = ResidentBytes("VmRSS:");
    bool ok = true;
    for (std::size_t i = 0; i < window && ok; ++i) {
        live.sizes[i] = script.sizes[live.cursor];
        live.cursor = (live.cursor + 1) % MixedScript::kLength;
        live.bytes += live.sizes[i];
        live.blocks[i] = route.Allocate(live.sizes[i]);
        ok = live.blocks[i] != nullptr;
        if (ok) Touch(live.blocks[i], live.sizes[i]);
    }
    live.peakBytes = live.bytes;
    PairTimer timer;
    ok = ok && TimedPairsMixed(state, route, script, live);
    if (ok) {
        timer.Report(state);
        const std::size_t peak = ResidentBytes("VmHWM:");
        state.counters["rss_ratio"] = static_cast<double>(peak - std::min(peak, baselineBytes)) /
                                      static_cast<double>(live.peakBytes);
    }
    for (std::size_t i = 0; i < window; ++i)
        if (live.blocks[i] != nullptr) route.Release(live.blocks[i], live.sizes[i]);
    if (!ok) state.SkipWithError("allocation failed");
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
    Add("churn-mixed/" + route, ChurnMixed<Route>, kWindow);
}

// growth: churn-mixed with ever larger windows, each meant to run alone in its process.
template <class Route> void RegisterGrowth(const std::string& route) {
    for (const auto& [name, window] : {std::pair{"1k", 1000}, std::pair{"10k", 10000},
                                       std::pair{"100k", 100000}, std::pair{"1m", 1000000}})
        Add("growth-" + std::string(name) + "/" + route, ChurnMixed<Route>,
            static_cast<std::size_t>(window));
}

// Two threads at once on one shared route; ns_per_pair is the wall time per pair of each thread.
template <class Route> void RegisterThreaded(const std::string& route) {
    Add("threads-2/" + route, ChurnMixed<Route>, kWindow)->Threads(2)->UseRealTime();
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

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gSharedSynchronizedPmr = nullptr;
    return 0;
}
