// Memory over time. At a fixed interval of allocations or of milliseconds (QORSysTracerSample)
// the tracer notes each pool's live bytes and blocks (its own count), the pool's own statistics
// record (QORSysGetPoolInfo: bytes held, free, chunks) and the process's resident memory. When
// the table of samples fills, half the samples go and the interval doubles, so a run of any
// length ends with between half and all of kMaxSamples, evenly spaced (Thin). Every pool's map
// (QORSysGetPoolMap) is taken at the first sample that comes within 1/16 of the highest bytes
// held so far, and again at exit; the call sites' live counts are kept at the same moment.
// The library's calls are made without the tracer's lock (a hook may run under a pool's mutex,
// and those calls take it), on the thread whose allocation made the sample due, and they read
// pools that no lock protects: a program whose threads use such pools of their own at once
// should sample off (QORSysTracerSample=off).
// Invariants: heads[0..count) in time order; their entries lie in order in the entry table;
// at most one sample is under way.
#pragma once

#include "QORSysAllocator.h"
#include "QORSysSwapFile.h"

#include <cstddef>
#include <cstdint>

namespace qor::tracer {

constexpr int kMaxSamples = 2048;

struct PoolSample {
    std::uint64_t liveBytes, liveBlocks, totalSize, freeSize;
    std::uint32_t chunkCount;
    std::uint16_t pool;
};

// What a swap file (QORSysGetSwapActivity) holds and has moved, at one sample.
struct SwapSample {
    std::uint64_t objectsInZone, bytesInZone, zoneCapacity, swapOuts, swapIns;
    std::uint16_t file; // index in SamplerState::swapFiles
};

// A swap file as first seen: a new zone behind a reused address is another file.
struct SwapFileSeen {
    void* swapFile;
    void* zonePool;
    std::uint16_t pool; // the zone's pool record
};
constexpr int kMaxSwapFiles = 64;

// A sample's rows: pool rows, then swap rows, each a run in its own table.
struct SampleHead {
    std::uint64_t micros, allocations, rss;
    std::uint64_t tracerRss;          // of rss, the tracer's own tables
    std::size_t first, count;         // its PoolSample entries
    std::size_t swapFirst, swapCount; // its SwapSample entries
};

// One pool's part of a set of maps.
struct PoolMapPart {
    std::uint16_t pool;
    bool paged;
    std::size_t first, count, omitted;
};

// Every pool's map at one moment.
struct MapSet {
    bool taken = false;
    std::uint64_t micros = 0, heldBytes = 0;
    QORPoolMapEntry* entries = nullptr;
    std::size_t used = 0, capacity = 0;
    PoolMapPart parts[1024] = {};
    int partCount = 0;
};

struct SamplerState {
    bool byTime = false;                // the interval is in milliseconds, else in allocations
    std::uint64_t asked = 0, every = 0; // the interval asked for, and in force; 0: sampling off
    std::uint64_t clockStride = 1;      // by time, the clock is read every this many allocations
    std::uint64_t startMicros = 0;
    std::uint64_t allocations = 0, nextDue = 1;
    bool underWay = false;
    SampleHead heads[kMaxSamples] = {};
    int count = 0;
    PoolSample* entries = nullptr;
    std::size_t entriesUsed = 0;
    SwapSample* swapRows = nullptr;
    std::size_t swapRowsUsed = 0;
    SwapFileSeen swapFiles[kMaxSwapFiles] = {};
    int swapFileCount = 0;
    std::uint64_t capturedHeld = 0; // bytes held when the peak maps were taken
    MapSet peak, end;
};

extern SamplerState gSampler;

// Reads QORSysTracerSample: "<n>" allocations, "<n>ms", or "off"; 1024 allocations by default,
// 10 ms when the hooks see a sample of the requests (gState.sampleBytes), for which it also makes
// the heap engine's record.
// Requires: gState.lock held (called by Start).
void StartSampler();
// Counts an allocation; true when a sample is due, which is then marked under way.
// Requires: gState.lock held.
bool CountAllocation();
// Takes the sample that CountAllocation said is due. Requires: gState.lock not held.
void TakeSample();
// The last sample and the end maps, before the exit report. Requires: gState.lock not held.
void TakeFinalSample();
// Microseconds since the sampler started.
std::uint64_t MicrosNow();

} // namespace qor::tracer
