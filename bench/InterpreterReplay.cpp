// An interpreter's allocation stream, one route per process: object headers (16-64 B), strings
// (most short, a tail to 4 KiB), tables of 8-byte slots grown by doubling (allocate the larger,
// copy, free the old) and halved when they shrink, short-lived temporaries in a ring, and
// long-lived objects among them. The run is a sequence of phases of varied length: each builds
// structures, then drops nine tenths of what it built (the rest joins the long-lived set), so that
// both the peak and what stays resident after a drop matter. Sizes and choices come from one seeded
// generator (splitmix64, MixedStream.h): the same draws for every route, never repeating.
// Every header and string is written in full and stamped with its object number, every table slot
// holds its own value: a stamp or slot that changed while its object was live fails the run.
//
// Usage: qor_interpreter_replay ROUTE OPERATIONS [--phases=N] [--seed=N] [--report]
//   ROUTE: malloc (the process's malloc: LD_PRELOAD picks a peer), qor-arg4 (pool argument 4),
//          qor-plain, qor-tracked, qor-paged (a private pool of that kind, created for the run;
//          the paged pool's requests above 3.5 KiB go to malloc, as the malloc override's do).
//   OPERATIONS, N: counts, "4e6" accepted; --phases defaults to 16. --report: each pool's map
//          summed up on stderr after each build and each drop (outside the timed parts).
// Prints one JSON line: the replay's time, the peak resident memory (VmHWM less the resident
// memory before the first phase), the largest resident memory after a drop and the resident
// memory after the last one (VmRSS less the same baseline), the peak of the bytes requested for
// live objects and the largest after a drop. Exits 1 on bad arguments, 2 when an allocation fails
// or a live object's bytes changed.
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
#include <vector>

namespace {

using qor::bench::ParseCount;
using qor::bench::ResidentBytes;

constexpr std::uint32_t kNotTable = UINT32_MAX;
constexpr std::uint32_t kSlotBytes = 8;
constexpr std::uint32_t kFirstTableSlots = 4;
constexpr std::size_t kTemporaries = 64;
constexpr std::uint32_t kHotTables = 4;      // tables that most appends go to: the large ones
constexpr std::uint32_t kSurvivorShare = 10; // one object in ten outlives its phase's drop

struct Object {
    void* block = nullptr;
    std::uint32_t bytes = 0;
    std::uint32_t length = kNotTable; // a table's slots in use
};

// The generator of MixedStream.h, with the draws an interpreter's stream needs.
class Draws {
public:
    explicit Draws(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 <= result < bound, by a multiply and a shift (no division).
    std::uint32_t Below(std::uint32_t bound) {
        return static_cast<std::uint32_t>(((Next() >> 32) * bound) >> 32);
    }
    std::uint32_t Between(std::uint32_t low, std::uint32_t high) {
        return low + Below(high - low + 1);
    }
    // 70 % 8-40 bytes, 25 % 41-256, 5 % 257-4096.
    std::uint32_t StringBytes() {
        const std::uint32_t percent = Below(100);
        return percent < 70 ? Between(8, 40) : percent < 95 ? Between(41, 256) : Between(257, 4096);
    }

private:
    std::uint64_t state_;
};

// The interpreter's heap as the replay sees it. Every container is reserved before the baseline
// is read, so the bookkeeping allocates nothing during the phases.
struct Heap {
    std::vector<Object> objects;
    std::vector<std::uint32_t> unused;      // free entries of `objects`
    std::vector<std::uint32_t> phaseLive;   // built by the running phase
    std::vector<std::uint32_t> phaseTables; // the phase's tables that still grow
    std::vector<std::uint32_t> longLived;
    std::uint32_t temporaries[kTemporaries] = {};
    std::size_t longLivedLimit = 0;
    std::size_t bytes = 0, peakBytes = 0;
    std::uint64_t damaged = 0;
    bool failed = false;
    Draws draws;

    Heap(std::size_t capacity, std::size_t longLimit, std::uint64_t seed)
        : objects(capacity), longLivedLimit(longLimit), draws(seed) {
        unused.reserve(capacity);
        for (std::size_t i = capacity; i-- > 1;) // entry 0 stands for "no temporary"
            unused.push_back(static_cast<std::uint32_t>(i));
        phaseLive.reserve(capacity);
        phaseTables.reserve(capacity);
        longLived.reserve(capacity);
    }
};

inline std::uint64_t SlotValue(std::uint32_t id, std::uint32_t slot) {
    return (std::uint64_t{id} << 24) ^ slot;
}

inline std::uint64_t* Slots(const Object& object) {
    return static_cast<std::uint64_t*>(object.block);
}

template <class Route> bool Place(Route& route, Heap& heap, Object& object, std::uint32_t bytes) {
    object.block = route.Allocate(bytes);
    object.bytes = bytes;
    if (object.block == nullptr) return !(heap.failed = true);
    heap.bytes += bytes;
    heap.peakBytes = std::max(heap.peakBytes, heap.bytes);
    return true;
}

// A header or a string, written in full, its first 8 bytes its stamp. Requires: an unused entry.
template <class Route> std::uint32_t NewValue(Route& route, Heap& heap, std::uint32_t bytes) {
    const std::uint32_t id = heap.unused.back();
    Object& object = heap.objects[id];
    if (!Place(route, heap, object, bytes)) return 0;
    heap.unused.pop_back();
    object.length = kNotTable;
    std::memset(object.block, static_cast<int>(id & 0xFF), bytes);
    Slots(object)[0] = id;
    return id;
}

template <class Route> std::uint32_t NewTable(Route& route, Heap& heap) {
    const std::uint32_t id = heap.unused.back();
    Object& object = heap.objects[id];
    if (!Place(route, heap, object, kFirstTableSlots * kSlotBytes)) return 0;
    heap.unused.pop_back();
    object.length = 1;
    Slots(object)[0] = SlotValue(id, 0);
    return id;
}

// Checks what must not have changed: a value's stamp, a table's first and last slots.
inline void Check(Heap& heap, std::uint32_t id) {
    const Object& object = heap.objects[id];
    const std::uint64_t* slots = Slots(object);
    if (object.length == kNotTable)
        heap.damaged += slots[0] != id;
    else
        heap.damaged += slots[0] != SlotValue(id, 0) ||
                        slots[object.length - 1] != SlotValue(id, object.length - 1);
}

template <class Route> void Release(Route& route, Heap& heap, std::uint32_t id) {
    Check(heap, id);
    Object& object = heap.objects[id];
    route.Release(object.block, object.bytes);
    heap.bytes -= object.bytes;
    object.block = nullptr;
    heap.unused.push_back(id);
}

// A table's block replaced by one of `slots` slots holding its first `length` slots.
template <class Route>
void Resize(Route& route, Heap& heap, std::uint32_t id, std::uint32_t slots) {
    Check(heap, id);
    Object& object = heap.objects[id];
    Object moved;
    if (!Place(route, heap, moved, slots * kSlotBytes)) return;
    std::memcpy(moved.block, object.block, std::size_t{object.length} * kSlotBytes);
    route.Release(object.block, object.bytes);
    heap.bytes -= object.bytes;
    object.block = moved.block;
    object.bytes = moved.bytes;
}

template <class Route> void Append(Route& route, Heap& heap, std::uint32_t id) {
    Object& object = heap.objects[id];
    if (object.length * kSlotBytes == object.bytes) Resize(route, heap, id, object.length * 2);
    if (heap.failed) return;
    Slots(object)[object.length] = SlotValue(id, object.length);
    ++object.length;
}

// Pops half the slots; the block halves when a quarter or less stays in use.
template <class Route> void Shrink(Route& route, Heap& heap, std::uint32_t id) {
    Object& object = heap.objects[id];
    object.length = std::max<std::uint32_t>(1, object.length / 2);
    const std::uint32_t slots = object.bytes / kSlotBytes;
    if (slots > kFirstTableSlots && object.length <= slots / 4) Resize(route, heap, id, slots / 2);
}

template <class Route> void Temporary(Route& route, Heap& heap) {
    std::uint32_t& slot = heap.temporaries[heap.draws.Below(kTemporaries)];
    if (slot != 0) Release(route, heap, slot);
    slot = NewValue(route, heap, heap.draws.StringBytes());
}

// A new header or string: one in fifty is long-lived from the start.
void Keep(Heap& heap, std::uint32_t id) {
    if (id == 0) return;
    if (heap.draws.Below(50) == 0)
        heap.longLived.push_back(id);
    else
        heap.phaseLive.push_back(id);
}

// One step of a building phase. Cost of its own beyond the route: a few draws and the writes.
template <class Route> void Step(Route& route, Heap& heap) {
    Draws& draws = heap.draws;
    const std::uint32_t percent = draws.Below(100);
    if (percent < 33) {
        Keep(heap, NewValue(route, heap, draws.Between(16, 64)));
    } else if (percent < 55) {
        Keep(heap, NewValue(route, heap, draws.StringBytes()));
    } else if (percent < 67) {
        Temporary(route, heap);
    } else if (percent < 90 && !heap.phaseTables.empty()) {
        const auto tables = static_cast<std::uint32_t>(heap.phaseTables.size());
        const std::uint32_t pick =
            draws.Below(100) < 40 ? draws.Below(std::min(tables, kHotTables)) : draws.Below(tables);
        Append(route, heap, heap.phaseTables[pick]);
    } else if (percent < 95) {
        const std::uint32_t id = NewTable(route, heap);
        if (id != 0) {
            heap.phaseTables.push_back(id);
            heap.phaseLive.push_back(id);
        }
    } else if (!heap.phaseLive.empty()) {
        // A value dies, or a table gives back half its slots.
        const std::uint32_t at = draws.Below(static_cast<std::uint32_t>(heap.phaseLive.size()));
        const std::uint32_t id = heap.phaseLive[at];
        if (heap.objects[id].length != kNotTable) return Shrink(route, heap, id);
        Release(route, heap, id);
        heap.phaseLive[at] = heap.phaseLive.back();
        heap.phaseLive.pop_back();
    }
}

// The timed parts, functions of their own so that callgrind can count them alone
// (--toggle-collect='*Timed*').
template <class Route>
[[gnu::noinline]] void TimedBuild(Route& route, Heap& heap, std::uint64_t steps) {
    for (std::uint64_t i = 0; i < steps && !heap.failed; ++i)
        Step(route, heap);
}

// Nine tenths of the phase's objects go; the rest join the long-lived set, which loses its oldest
// members at random beyond its limit.
template <class Route> [[gnu::noinline]] void TimedDrop(Route& route, Heap& heap) {
    for (const std::uint32_t id : heap.phaseLive) {
        if (heap.draws.Below(kSurvivorShare) == 0)
            heap.longLived.push_back(id);
        else
            Release(route, heap, id);
    }
    heap.phaseLive.clear();
    heap.phaseTables.clear();
    while (heap.longLived.size() > heap.longLivedLimit) {
        const std::uint32_t at =
            heap.draws.Below(static_cast<std::uint32_t>(heap.longLived.size()));
        Release(route, heap, heap.longLived[at]);
        heap.longLived[at] = heap.longLived.back();
        heap.longLived.pop_back();
    }
}

// --report: where each pool's memory sits, from its map, on stderr: chunks (or pages), their
// bytes, the bytes in blocks, the free bytes, those of them in whole 4 KiB pages inside free
// stretches (memory a pool holds resident without using it, once touched), and the chunk sizes.
void ReportPool(const char* when, std::uint64_t phase, const char* name, std::size_t key,
                void* pool) {
    const long count = pool == nullptr ? 0 : QORSysGetPoolMap(pool, nullptr, 0);
    if (count <= 0) return;
    std::vector<QORPoolMapEntry> map(static_cast<std::size_t>(count));
    QORSysGetPoolMap(pool, map.data(), map.size());
    constexpr std::uint64_t kPage = 4096;
    std::uint64_t spans = 0, bytes = 0, used = 0, free = 0, freePages = 0, chunkStart = 0;
    for (const QORPoolMapEntry& entry : map) {
        if (entry.kind == QORSysMapKind::CHUNK || entry.kind == QORSysMapKind::PAGE) {
            ++spans;
            bytes += entry.bytes;
            used += entry.usedBytes;
            chunkStart = entry.start;
        } else if (entry.kind == QORSysMapKind::FREE) {
            free += entry.bytes;
            const std::uint64_t begin = (chunkStart + entry.start + kPage - 1) & ~(kPage - 1);
            const std::uint64_t end = (chunkStart + entry.start + entry.bytes) & ~(kPage - 1);
            freePages += end > begin ? end - begin : 0;
        }
    }
    std::fprintf(stderr,
                 "%s %llu %s %zu: spans %llu, bytes %llu, used %llu, free %llu, in free pages "
                 "%llu; chunk KiB",
                 when, static_cast<unsigned long long>(phase), name, key,
                 static_cast<unsigned long long>(spans), static_cast<unsigned long long>(bytes),
                 static_cast<unsigned long long>(used), static_cast<unsigned long long>(free),
                 static_cast<unsigned long long>(freePages));
    for (const QORPoolMapEntry& entry : map)
        if (entry.kind == QORSysMapKind::CHUNK)
            std::fprintf(stderr, " %llu", static_cast<unsigned long long>(entry.bytes >> 10));
    std::fprintf(stderr, "\n");
}

// The pools of pool argument 4 (one per key up to 80, the 128 pool and the fast pool, which
// serves 200) or the route's private pool.
template <class Route> void ReportPools(const char* when, std::uint64_t phase, Route& route) {
    if constexpr (requires { route.pool; }) {
        ReportPool(when, phase, "private", 0, route.pool);
    } else if constexpr (requires { route.paged; }) {
        ReportPool(when, phase, "paged", 0, route.paged.pool);
    } else {
        for (const std::size_t key : {8, 16, 24, 32, 40, 48, 56, 64, 72, 80, 128, 200})
            ReportPool(when, phase, "arg4 key", key,
                       QORSysGetFixedPool(reinterpret_cast<void*>(4), key));
    }
}

struct Options {
    std::string route;
    std::uint64_t operations = 0;
    std::uint64_t phases = 16;
    std::uint64_t seed = 0x5EED;
    bool report = false;
};

inline double Nanoseconds(std::chrono::steady_clock::time_point from,
                          std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double, std::nano>(to - from).count();
}

struct Figures {
    double nanoseconds = 0;
    std::size_t peakRss = 0, dropRss = 0, endRss = 0, dropBytes = 0;
};

template <class Route> int Run(const Options& options) {
    Route route;
    route.Release(route.Allocate(16), 16); // configures the library: part of the baseline
    const std::uint64_t perPhase = std::max<std::uint64_t>(1, options.operations / options.phases);
    Heap heap(perPhase * 3 / 2 + perPhase / 4 + kTemporaries + 2, perPhase / 4, options.seed);
    const std::size_t baseline = ResidentBytes("VmRSS:");
    const auto Above = [baseline](std::size_t bytes) { return bytes - std::min(bytes, baseline); };

    using Clock = std::chrono::steady_clock;
    Figures figures;
    std::uint64_t done = 0;
    for (std::uint64_t phase = 0; phase < options.phases && !heap.failed; ++phase) {
        // Phases of half to one and a half times the mean length.
        const std::uint64_t steps =
            perPhase / 2 + heap.draws.Below(static_cast<std::uint32_t>(
                               std::min<std::uint64_t>(perPhase, UINT32_MAX)));
        const Clock::time_point start = Clock::now();
        TimedBuild(route, heap, steps);
        const Clock::time_point built = Clock::now();
        if (options.report) ReportPools("built", phase, route);
        const Clock::time_point dropStart = Clock::now();
        TimedDrop(route, heap);
        figures.nanoseconds += Nanoseconds(start, built) + Nanoseconds(dropStart, Clock::now());
        if (options.report) ReportPools("dropped", phase, route);
        done += steps;
        figures.endRss = Above(ResidentBytes("VmRSS:"));
        figures.dropRss = std::max(figures.dropRss, figures.endRss);
        figures.dropBytes = std::max(figures.dropBytes, heap.bytes);
    }
    figures.peakRss = Above(ResidentBytes("VmHWM:"));

    for (const std::uint32_t id : heap.longLived)
        Release(route, heap, id);
    for (const std::uint32_t id : heap.temporaries)
        if (id != 0) Release(route, heap, id);

    std::printf("{\"route\":\"%s\",\"operations\":%llu,\"phases\":%llu,\"seconds\":%.4f,"
                "\"ns_per_operation\":%.2f,\"peak_rss\":%zu,\"rss_after_drop\":%zu,"
                "\"rss_end\":%zu,\"requested_peak\":%zu,\"requested_after_drop\":%zu,"
                "\"baseline_rss\":%zu}\n",
                options.route.c_str(), static_cast<unsigned long long>(done),
                static_cast<unsigned long long>(options.phases), figures.nanoseconds / 1e9,
                done > 0 ? figures.nanoseconds / static_cast<double>(done) : 0.0, figures.peakRss,
                figures.dropRss, figures.endRss, heap.peakBytes, figures.dropBytes, baseline);
    if (heap.failed) std::fprintf(stderr, "qor_interpreter_replay: an allocation failed\n");
    if (heap.damaged != 0)
        std::fprintf(stderr, "qor_interpreter_replay: %llu live objects changed\n",
                     static_cast<unsigned long long>(heap.damaged));
    return heap.failed || heap.damaged != 0 ? 2 : 0;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    if (argc < 3 || !ParseCount(argv[2], options.operations)) return false;
    options.route = argv[1];
    for (int i = 3; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--report") {
            options.report = true;
            continue;
        }
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        const char* value = equals == std::string::npos ? "" : argv[i] + equals + 1;
        std::uint64_t* target = name == "--phases" ? &options.phases
                                : name == "--seed" ? &options.seed
                                                   : nullptr;
        if (target == nullptr || !ParseCount(value, *target)) return false;
    }
    return options.phases <= options.operations;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: qor_interpreter_replay malloc|qor-arg4|qor-plain|qor-tracked|"
                             "qor-paged OPERATIONS [--phases=N] [--seed=N] [--report]\n");
        return 1;
    }
    using namespace qor::bench;
    if (options.route == "malloc") return Run<MallocRoute>(options);
    if (options.route == "qor-arg4") return Run<FixedArgumentRoute<4>>(options);
    if (options.route == "qor-plain") return Run<PlainPoolRoute>(options);
    if (options.route == "qor-tracked") return Run<TrackedPoolRoute>(options);
    if (options.route == "qor-paged") return Run<PagedWithLargeRoute<>>(options);
    std::fprintf(stderr, "qor_interpreter_replay: unknown route %s\n", options.route.c_str());
    return 1;
}
