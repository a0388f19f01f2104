// Long mixed churn, one route per process: a window of live blocks of 8 to 512 bytes (see
// MixedStream.h); each pair releases a random live block and allocates a new one in its slot, and
// every new block gets one 8-byte store. Reports the wall time per pair and the process's peak
// resident memory (VmHWM, less the resident memory before the window was filled) at a checkpoint
// and at the end, so that memory that grows with the number of pairs shows as growth between the
// two. One process per route because the peak resident set is the process's: neither a route's
// leftovers nor a preloaded peer malloc can be separated from another route's in one process.
//
// Usage: qor_mixed_churn ROUTE PAIRS [--window=N] [--checkpoint=N] [--seconds=S] [--seed=N]
//   ROUTE: malloc (the process's malloc: LD_PRELOAD picks a peer), qor-arg4 (pool argument 4),
//          qor-arg32 (the thread-safe pool), qor-cached32 (the same through the per-thread cache,
//          where the routed global new goes), qor-plain,
//          qor-tracked, qor-paged (a private pool of that kind, created for the run), loop-only
//          (no allocator: the loop's own time, every block one buffer, the overlap check skipped).
//   PAIRS, N: counts, "3e7" accepted. --checkpoint defaults to PAIRS / 10, --window to 10000.
//   --seconds: stop the pairs once they have taken that long (0: no limit); the output then says
//          "complete":false and how many pairs were done.
// Prints one JSON line; exits 1 on bad arguments, 2 when an allocation fails or two live blocks
// overlap.
#include "MixedStream.h"
#include "ProgramRun.h"
#include "Routes.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using qor::bench::MixedStream;
using qor::bench::ParseCount;
using qor::bench::ResidentBytes;

struct Options {
    std::string route;
    std::uint64_t pairs = 0;
    std::uint64_t window = 10000;
    std::uint64_t checkpoint = 0; // 0: pairs / 10
    double seconds = 0;
    std::uint64_t seed = 0x5EED;
};

// The live blocks, their sizes, the bytes requested for them now and at most, and the stream.
struct LiveWindow {
    std::vector<void*> blocks;
    std::vector<std::uint32_t> sizes;
    std::size_t bytes = 0;
    std::size_t peakBytes = 0;
    MixedStream stream;
};

// The store every block gets: its slot, so that two live blocks that overlap show at the end.
inline void Mark(void* block, std::size_t slot) {
    *static_cast<volatile std::uint64_t*>(block) = slot;
}

// The timed loop, a function of its own so that callgrind can count it alone
// (--toggle-collect='*TimedPairs*'). Its own work per pair (the draw, the bookkeeping in locals
// that survive the calls, the store) is about 60 instructions, the same for every route. Returns
// false when an allocation failed; its slot is then empty.
template <class Route>
[[gnu::noinline]] bool TimedPairs(Route& route, LiveWindow& live, std::uint64_t pairs) {
    void** const blocks = live.blocks.data();
    std::uint32_t* const sizes = live.sizes.data();
    const std::size_t window = live.blocks.size();
    MixedStream stream = live.stream;
    std::size_t bytes = live.bytes;
    std::size_t peakBytes = live.peakBytes;
    bool ok = true;
    for (std::uint64_t i = 0; i < pairs; ++i) {
        const MixedStream::Request request = stream.Next(window);
        route.Release(blocks[request.slot], sizes[request.slot]);
        bytes += request.bytes;
        bytes -= sizes[request.slot];
        peakBytes = std::max(peakBytes, bytes);
        void* block = route.Allocate(request.bytes);
        blocks[request.slot] = block;
        sizes[request.slot] = request.bytes;
        if (block == nullptr) {
            ok = false;
            break;
        }
        Mark(block, request.slot);
    }
    live.stream = stream;
    live.bytes = bytes;
    live.peakBytes = peakBytes;
    return ok;
}

template <class Route> int Run(const Options& options) {
    Route route;
    // The first call configures the library and creates what the route needs once per process;
    // it is part of the baseline, as are the window's own arrays.
    route.Release(route.Allocate(16), 16);
    LiveWindow live{std::vector<void*>(options.window), std::vector<std::uint32_t>(options.window),
                    0, 0, MixedStream(options.seed)};
    const std::size_t baseline = ResidentBytes("VmRSS:");
    const auto Above = [baseline](std::size_t bytes) { return bytes - std::min(bytes, baseline); };

    bool ok = true;
    for (std::size_t slot = 0; slot < options.window && ok; ++slot) {
        live.sizes[slot] = live.stream.NextSize();
        live.bytes += live.sizes[slot];
        live.blocks[slot] = route.Allocate(live.sizes[slot]);
        ok = live.blocks[slot] != nullptr;
        if (ok) Mark(live.blocks[slot], slot);
    }
    live.peakBytes = live.bytes;

    // Pairs run in batches so that the time limit and the checkpoint cost nothing per pair (a
    // clock read per batch), and a batch is short enough that even a route at 100 us per pair
    // overruns the time limit by well under a second.
    using Clock = std::chrono::steady_clock;
    constexpr std::uint64_t kBatch = 4096;
    const std::uint64_t checkpoint = options.checkpoint != 0
                                         ? options.checkpoint
                                         : std::max<std::uint64_t>(1, options.pairs / 10);
    std::uint64_t done = 0;
    long long rssAtCheckpoint = -1;
    double nanoseconds = 0;
    while (ok && done < options.pairs) {
        const std::uint64_t stop = done < checkpoint ? checkpoint : options.pairs;
        const std::uint64_t count = std::min(kBatch, stop - done);
        const Clock::time_point start = Clock::now();
        ok = TimedPairs(route, live, count);
        nanoseconds += std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        done += count;
        if (done == checkpoint)
            rssAtCheckpoint = static_cast<long long>(Above(ResidentBytes("VmHWM:")));
        if (options.seconds > 0 && nanoseconds >= options.seconds * 1e9) break;
    }
    const bool complete = ok && done == options.pairs;
    const std::size_t rssAtEnd = Above(ResidentBytes("VmHWM:"));

    std::size_t overlapping = 0;
    for (std::size_t slot = 0; slot < options.window; ++slot) {
        if (live.blocks[slot] == nullptr || std::is_same_v<Route, qor::bench::LoopOnlyRoute>)
            continue;
        std::uint64_t mark;
        std::memcpy(&mark, live.blocks[slot], sizeof mark);
        overlapping += mark != slot;
        route.Release(live.blocks[slot], live.sizes[slot]);
    }

    // RSS figures in bytes; rss_checkpoint is -1 and rss_growth null when the run stopped before
    // the checkpoint.
    char growth[32] = "null";
    if (rssAtCheckpoint > 0)
        std::snprintf(growth, sizeof growth, "%.3f",
                      static_cast<double>(rssAtEnd) / static_cast<double>(rssAtCheckpoint));
    std::printf("{\"route\":\"%s\",\"window\":%llu,\"pairs\":%llu,\"pairs_done\":%llu,"
                "\"complete\":%s,\"ns_per_pair\":%.2f,\"checkpoint\":%llu,"
                "\"rss_checkpoint\":%lld,\"rss_end\":%zu,\"rss_growth\":%s,\"requested_peak\":%zu,"
                "\"rss_per_requested\":%.3f,\"baseline_rss\":%zu}\n",
                options.route.c_str(), static_cast<unsigned long long>(options.window),
                static_cast<unsigned long long>(options.pairs),
                static_cast<unsigned long long>(done), complete ? "true" : "false",
                done > 0 ? nanoseconds / static_cast<double>(done) : 0.0,
                static_cast<unsigned long long>(checkpoint), rssAtCheckpoint, rssAtEnd, growth,
                live.peakBytes, static_cast<double>(rssAtEnd) / static_cast<double>(live.peakBytes),
                baseline);
    if (!ok)
        std::fprintf(stderr, "qor_mixed_churn: an allocation failed after %llu pairs\n",
                     static_cast<unsigned long long>(done));
    if (overlapping != 0)
        std::fprintf(stderr, "qor_mixed_churn: %zu live blocks overlap another\n", overlapping);
    return ok && overlapping == 0 ? 0 : 2;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    if (argc < 3 || !ParseCount(argv[2], options.pairs)) return false;
    options.route = argv[1];
    for (int i = 3; i < argc; ++i) {
        const std::string argument = argv[i];
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        const char* value = equals == std::string::npos ? "" : argv[i] + equals + 1;
        bool valid = true;
        if (name == "--window")
            valid = ParseCount(value, options.window);
        else if (name == "--checkpoint")
            valid = ParseCount(value, options.checkpoint);
        else if (name == "--seed")
            valid = ParseCount(value, options.seed);
        else if (name == "--seconds") {
            char* end = nullptr;
            options.seconds = std::strtod(value, &end);
            valid = end != value && *end == '\0' && options.seconds >= 0;
        } else
            valid = false;
        if (!valid) return false;
    }
    return options.checkpoint <= options.pairs;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(
            stderr,
            "usage: qor_mixed_churn malloc|loop-only|qor-arg4|qor-arg32|qor-cached32|qor-plain|"
            "qor-tracked|qor-paged PAIRS [--window=N] [--checkpoint=N] "
            "[--seconds=S] [--seed=N]\n");
        return 1;
    }
    using namespace qor::bench;
    if (options.route == "malloc") return Run<MallocRoute>(options);
    if (options.route == "loop-only") return Run<LoopOnlyRoute>(options);
    if (options.route == "qor-arg4") return Run<FixedArgumentRoute<4>>(options);
    if (options.route == "qor-arg32") return Run<FixedArgumentRoute<32>>(options);
    if (options.route == "qor-cached32") return Run<qor::bench::CachedThreadSafeRoute>(options);
    if (options.route == "qor-plain") return Run<PlainPoolRoute>(options);
    if (options.route == "qor-tracked") return Run<TrackedPoolRoute>(options);
    if (options.route == "qor-paged") return Run<PagedPoolRoute>(options);
    std::fprintf(stderr, "qor_mixed_churn: unknown route %s\n", options.route.c_str());
    return 1;
}
