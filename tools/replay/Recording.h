// A recording of the tracer (tools/tracer/EventRecording.h describes the file) read into one
// array of events per recorded thread, ready to replay without further decoding.
// Invariants of an accepted recording: each block is released at most once, by an event that
// comes after its allocation in the recorded order; allocations - releases == liveBlocks.
#pragma once

#include "MappedAllocator.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qor::replay {

// One event of a thread: an allocation of `bytes` into slot `block`, or (kRelease set in block)
// the release of the block in slot `block & ~kRelease`, whose allocation asked for `bytes`. With
// one thread a released block's slot serves the next allocation, so the slots are as many as the
// blocks ever live at once and stay in the cache, as a program's own table of pointers does; with
// several, a slot is a block's own (another thread may run ahead of the recorded order).
struct Event {
    static constexpr std::uint64_t kRelease = std::uint64_t{1} << 63;
    std::uint64_t bytes;
    std::uint64_t block;
};

struct Recording {
    std::vector<MappedVector<Event>> threads; // by recorded thread number; some may be empty
    std::uint64_t allocations = 0, releases = 0;
    std::uint64_t liveBlocks = 0, liveBytes = 0; // not released by the end
    std::uint64_t peakBytes = 0;                 // most bytes requested and live at once
    std::uint64_t crossThreadReleases = 0;       // released by another thread than allocated
    std::uint64_t slots = 0;                     // the events' slot numbers are below this
};

// Reads `path` into `recording`; "" when accepted, else why not (the file's offset included).
std::string ReadRecording(const std::string& path, Recording& recording);

} // namespace qor::replay
