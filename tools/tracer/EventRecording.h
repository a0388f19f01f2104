// The allocation stream written to <prefix>.events when QORSysTracerRecord=1, for qor-replay.
// Format (every number an unsigned LEB128 varint): the 8 bytes "QOREVT1\n", then words w whose
// low two bits say what follows and whose rest v = w >> 2 is the value:
//   0: an allocation of v bytes from the pool of the allocation before it
//   1: an allocation of v bytes, then the pool's record number (the report's pool order)
//   2: a release of the block allocated v allocations back (v >= 1; the n-th allocation is block n)
//   3: v >= 1: the events that follow are thread v - 1's; v == 0: the end, then the counts of
//      allocations and of releases written.
// Events are in the order the tracer's lock took them, one order over all threads, so a release
// always follows its allocation. Thread numbers count threads in their first event's order.
// Costs nothing while off (one test of a flag the hooks read under the lock anyway).
#pragma once

#include <cstdint>

namespace qor::tracer {

extern bool gRecording; // set by StartRecording, cleared once the recording is finished

// All below require gState.lock to be held.

// Opens <prefix>.events when QORSysTracerRecord=1 (from Start), unless the hooks see a sample of
// the requests only (gState.sampleBytes, which Start reads first): that refusal is told on stderr.
void StartRecording(const char* prefix);
// The block number of the allocation just recorded.
std::uint32_t RecordAllocationEvent(std::uint64_t bytes, std::uint16_t pool);
void RecordReleaseEvent(std::uint32_t block);
// Writes what is buffered; with the end mark when `complete` (an exit, not a fatal signal).
// A forked child writes nothing: the file and whatever the buffer held are its parent's.
void FinishRecording(bool complete);

} // namespace qor::tracer
