// Samples over time and the maps at the peak and at the end.
#include "Sampler.h"

#include "CallSites.h"
#include "LibraryCalls.h"
#include "MappedMemory.h"
#include "SafeFormat.h"
#include "TracerState.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace qor::tracer {

constinit SamplerState gSampler;

namespace {

constexpr std::uint64_t kDefaultEvery = 1024;
// When the hooks see a sample of the requests only, few are seen: by time then, unless told.
constexpr std::uint64_t kDefaultMillisecondsWhenSampled = 10;
// Rows for 64 pools and 8 swap files a sample at the most samples; a process with more thins its
// samples sooner, which keeps the report (and the page drawn from it) to a few megabytes.
constexpr std::size_t kMaxEntries = std::size_t{kMaxSamples} * 64;
constexpr std::size_t kMaxSwapRows = std::size_t{kMaxSamples} * 8;
constexpr std::size_t kMaxMapEntries = std::size_t{1} << 23;
// With the interval in milliseconds, the clock is read at every this many allocations.
constexpr std::uint64_t kClockStride = 32;

// What one sample reads of each pool, gathered under the lock and completed without it.
struct Target {
    void* address; // null for the heap and the engine
    PoolSample sample;
};

Target gTargets[kMaxPools];
QORSysSwapActivity gSwapActivity[kMaxSwapFiles];

std::uint64_t ClockMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1000000 + std::uint64_t(now.tv_nsec) / 1000;
}

// Resident bytes, from /proc/self/statm (its second figure, in pages); 0 when unreadable.
std::uint64_t ResidentBytes() {
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[128] = {};
    const ssize_t length = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (length <= 0) return 0;
    const char* resident = std::strchr(text, ' ');
    return resident ? std::strtoull(resident + 1, nullptr, 10) * std::uint64_t(::getpagesize()) : 0;
}

// The pools a sample reads: every live record with a pool object, and the heap once used.
// Requires: gState.lock held.
int GatherTargets() {
    int count = 0;
    const int last = gState.poolCount == kMaxPools ? kMaxPools - 1 : gState.poolCount;
    for (int i = kHeapPool; i < last; ++i) {
        PoolRecord& pool = gState.pools[i];
        const bool engine = pool.kind == BlockKind::Engine;
        if (pool.destroyed || (i != kHeapPool && pool.address == nullptr && !engine) ||
            (i == kHeapPool && pool.allocations == 0))
            continue;
        pool.sampled = true;
        Target& target = gTargets[count++];
        target.address = i == kHeapPool ? nullptr : pool.address;
        target.sample = {pool.liveBytes, pool.liveBlocks, 0, 0, 0, static_cast<std::uint16_t>(i)};
    }
    return count;
}

// The statistics records of the gathered pools, and the bytes they hold in all.
std::uint64_t ReadPools(int count) {
    std::uint64_t held = 0;
    for (int i = 0; i < count; ++i) {
        PoolSample& sample = gTargets[i].sample;
        if (gState.pools[sample.pool].kind == BlockKind::Engine) {
            // The engine's blocks are not counted one by one: its own figures stand.
            const override::Figures figures = gCalls.engineFigures();
            sample.liveBytes = figures.inUseBytes;
            sample.totalSize = figures.heldBytes;
            sample.freeSize = figures.heldBytes - figures.inUseBytes;
        } else if (gTargets[i].address == nullptr) {
            // malloc holds the library's header and the tracer's room besides the caller's bytes.
            sample.totalSize = sample.liveBytes + sample.liveBlocks * (16 + kDelta);
        } else {
            QORPoolInfo info{};
            gCalls.getPoolInfo(gTargets[i].address, nullptr, &info, 0);
            sample.totalSize = info.totalSize;
            sample.freeSize = info.freeSize;
            sample.chunkCount = info.chunkCount;
        }
        held += sample.totalSize;
    }
    return held;
}

// The swap files' figures (none when the library has no such call): their count.
int ReadSwapFiles() {
    if (gCalls.getSwapActivity == nullptr) return 0;
    const long count = gCalls.getSwapActivity(gSwapActivity, kMaxSwapFiles);
    return count < kMaxSwapFiles ? int(count) : kMaxSwapFiles;
}

// The index of a swap file in gSampler.swapFiles, added on first sight; -1 when full.
// Requires: gState.lock held.
int SwapFileIndex(const QORSysSwapActivity& activity) {
    for (int i = 0; i < gSampler.swapFileCount; ++i)
        if (gSampler.swapFiles[i].swapFile == activity.swapFile &&
            gSampler.swapFiles[i].zonePool == activity.zonePool)
            return i;
    if (gSampler.swapFileCount == kMaxSwapFiles) return -1;
    const std::uint16_t pool = PoolAt(activity.zonePool);
    // The swap file makes its zone without a name: the report names it by its role.
    PoolRecord& zone = gState.pools[pool];
    if (zone.name[0] == '\0' && zone.role[0] == '\0')
        SafePrint(zone.role, sizeof zone.role, "zone of swap file %d", gSampler.swapFileCount);
    gSampler.swapFiles[gSampler.swapFileCount] = {activity.swapFile, activity.zonePool, pool};
    return gSampler.swapFileCount++;
}

// Room for `wanted` entries in `set`, keeping what it holds; false when none can be had.
bool Reserve(MapSet& set, std::size_t wanted) {
    if (wanted <= set.capacity) return true;
    if (wanted > kMaxMapEntries) return false;
    std::size_t capacity = set.capacity == 0 ? 4096 : set.capacity;
    while (capacity < wanted)
        capacity *= 2;
    auto* entries = MapZeroed<QORPoolMapEntry>(capacity, Filling::FromStart);
    if (entries == nullptr) return false;
    if (set.used != 0) std::memcpy(entries, set.entries, set.used * sizeof *entries);
    if (set.entries != nullptr) UnmapBytes(set.entries, set.capacity * sizeof *entries);
    set.entries = entries;
    set.capacity = capacity;
    return true;
}

void MapPool(MapSet& set, const Target& target) {
    PoolMapPart& part = set.parts[set.partCount++];
    part = {target.sample.pool, gState.pools[target.sample.pool].kind == BlockKind::Paged, set.used,
            0, 0};
    // A pool may grow between the two calls when other threads use it: the second answer stands.
    long needed =
        gCalls.getPoolMap(target.address, set.entries + set.used, set.capacity - set.used);
    if (needed > 0 && std::size_t(needed) > set.capacity - set.used &&
        Reserve(set, set.used + std::size_t(needed) + 1024))
        needed = gCalls.getPoolMap(target.address, set.entries + set.used, set.capacity - set.used);
    if (needed <= 0) return;
    part.count = std::min(std::size_t(needed), set.capacity - set.used);
    part.omitted = std::size_t(needed) - part.count;
    set.used += part.count;
}

void TakeMaps(MapSet& set, int count, std::uint64_t micros, std::uint64_t held) {
    set.taken = false;
    set.used = 0;
    set.partCount = 0;
    set.micros = micros;
    set.heldBytes = held;
    if (gCalls.getPoolMap == nullptr) return;
    for (int i = 0; i < count; ++i)
        if (gTargets[i].address != nullptr) MapPool(set, gTargets[i]);
    // A call may write up to the capacity before it says that it needs more.
    NoteFilled(set.entries, set.capacity * sizeof(QORPoolMapEntry));
    set.taken = true;
}

// Moves a sample's run of rows [*first, *first + count) down to `*used`, the table's new end.
template <typename Row>
void MoveRows(Row* table, std::size_t& used, std::size_t& first, std::size_t count) {
    std::memmove(table + used, table + first, count * sizeof(Row));
    first = used;
    used += count;
}

// Half the samples go and the interval doubles. What stays is the first sample and, by time, every
// other one; by allocations, those at multiples of the new interval, so that the samples still
// fall on one grid whatever the interval was at the start (1 included).
void Thin() {
    const std::uint64_t wider = gSampler.every * 2;
    std::size_t used = 0, swapUsed = 0;
    int kept = 0;
    for (int i = 0; i < gSampler.count; ++i) {
        SampleHead head = gSampler.heads[i];
        if (i != 0 && (gSampler.byTime ? i % 2 != 0 : head.allocations % wider != 0)) continue;
        MoveRows(gSampler.entries, used, head.first, head.count);
        MoveRows(gSampler.swapRows, swapUsed, head.swapFirst, head.swapCount);
        gSampler.heads[kept++] = head;
    }
    gSampler.count = kept;
    gSampler.entriesUsed = used;
    gSampler.swapRowsUsed = swapUsed;
    gSampler.every = wider;
}

// True for a sample that belongs on the grid of the interval in force: one due before the
// interval doubled may fall between its points.
bool OnGrid(bool final) {
    return final || gSampler.byTime || gSampler.allocations == 1 ||
           gSampler.allocations % gSampler.every == 0;
}

// Requires: gState.lock held.
void Store(int count, int swapFiles, std::uint64_t micros, std::uint64_t rss,
           std::uint64_t tracerRss, bool final) {
    const auto full = [&] {
        return gSampler.count == kMaxSamples ||
               gSampler.entriesUsed + std::size_t(count) > kMaxEntries ||
               gSampler.swapRowsUsed + std::size_t(swapFiles) > kMaxSwapRows;
    };
    while (full() && gSampler.count > 1)
        Thin();
    if (full()) return;
    if (!OnGrid(final)) return;
    SampleHead& head = gSampler.heads[gSampler.count++];
    head = {micros,
            gSampler.allocations,
            rss,
            tracerRss,
            gSampler.entriesUsed,
            std::size_t(count),
            gSampler.swapRowsUsed,
            0};
    for (int i = 0; i < count; ++i)
        gSampler.entries[gSampler.entriesUsed++] = gTargets[i].sample;
    for (int i = 0; i < swapFiles; ++i) {
        const QORSysSwapActivity& activity = gSwapActivity[i];
        const int file = SwapFileIndex(activity);
        if (file < 0) continue;
        gSampler.swapRows[gSampler.swapRowsUsed++] = {
            activity.objectsInZone, activity.bytesInZone, activity.zoneCapacity,
            activity.swapOuts,      activity.swapIns,     static_cast<std::uint16_t>(file)};
        ++head.swapCount;
    }
    NoteFilled(gSampler.entries, gSampler.entriesUsed * sizeof(PoolSample));
    NoteFilled(gSampler.swapRows, gSampler.swapRowsUsed * sizeof(SwapSample));
}

// Gathers under the lock, reads the pools without it, stores under it again.
void Sample(bool final) {
    int count;
    {
        std::lock_guard<std::mutex> guard(gState.lock);
        count = GatherTargets();
    }
    const std::uint64_t held = ReadPools(count);
    const int swapFiles = ReadSwapFiles();
    const std::uint64_t micros = MicrosNow();
    // The first sample, then each that holds 1/16 more than the last maps taken.
    const bool peak = !final && (!gSampler.peak.taken ||
                                 held > gSampler.capturedHeld + gSampler.capturedHeld / 16);
    if (peak) {
        gSampler.capturedHeld = held;
        TakeMaps(gSampler.peak, count, micros, held);
    }
    if (final) TakeMaps(gSampler.end, count, micros, held);
    const std::uint64_t rss = ResidentBytes(), tracerRss = ResidentMappedBytes();
    std::lock_guard<std::mutex> guard(gState.lock);
    if (peak) KeepPeakSites();
    Store(count, swapFiles, micros, rss, tracerRss, final);
    gSampler.underWay = false;
}

} // namespace

std::uint64_t MicrosNow() { return ClockMicros() - gSampler.startMicros; }

void StartSampler() {
    gSampler.startMicros = ClockMicros();
    FindLibraryCalls();
    gState.sampleBytes = gCalls.sampleBytes != nullptr ? gCalls.sampleBytes() : 0;
    if (gState.sampleBytes != 0 && gCalls.engineFigures != nullptr) NewEngineRecord();
    const char* text = std::getenv("QORSysTracerSample");
    if (gCalls.getPoolInfo == nullptr || (text != nullptr && std::strcmp(text, "off") == 0)) return;
    char* unit = nullptr;
    const unsigned long long asked = text != nullptr ? std::strtoull(text, &unit, 10) : 0;
    const bool valid = asked != 0 && (*unit == '\0' || std::strcmp(unit, "ms") == 0);
    const bool sampledRequests = gState.sampleBytes != 0;
    gSampler.byTime = valid ? *unit != '\0' : sampledRequests;
    gSampler.clockStride = sampledRequests ? 1 : kClockStride;
    gSampler.asked = valid             ? asked
                     : sampledRequests ? kDefaultMillisecondsWhenSampled
                                       : kDefaultEvery;
    gSampler.every = gSampler.asked;
    gSampler.entries = MapZeroed<PoolSample>(kMaxEntries, Filling::FromStart);
    gSampler.swapRows = MapZeroed<SwapSample>(kMaxSwapRows, Filling::FromStart);
    if (gSampler.entries == nullptr || gSampler.swapRows == nullptr) gSampler.every = 0;
}

bool CountAllocation() {
    const std::uint64_t count = ++gSampler.allocations;
    if (gSampler.every == 0 || gSampler.underWay) return false;
    if (gSampler.byTime) {
        if (count != 1 && count % gSampler.clockStride != 0) return false;
        const std::uint64_t now = MicrosNow();
        if (count != 1 && now < gSampler.nextDue) return false;
        gSampler.nextDue = now + gSampler.every * 1000;
    } else {
        // At the first allocation, then at each multiple of the interval.
        if (count < gSampler.nextDue) return false;
        gSampler.nextDue = (count / gSampler.every + 1) * gSampler.every;
    }
    gSampler.underWay = true;
    return true;
}

void TakeSample() { Sample(false); }

void TakeFinalSample() {
    {
        std::lock_guard<std::mutex> guard(gState.lock);
        if (gSampler.every == 0 || gSampler.underWay || gState.finished) return;
        gSampler.underWay = true;
    }
    Sample(true);
}

} // namespace qor::tracer
