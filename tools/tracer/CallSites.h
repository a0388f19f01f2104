// Call sites: the return addresses above an allocation, outside the allocation library, the
// tracer and the C++ runtime's operator new, kept once per distinct stack and pool (the same
// frames allocating from two pools are two stacks, so that every list of call sites can be
// narrowed to one pool). Each stack counts the
// bytes and blocks live from it, so that the report can say where the live bytes at the peak and
// the leaks at exit were requested, and the allocations made from it, for where the churn is,
// and of those the temporary ones (released before any other allocation), the churn to remove.
// Invariants: stack 0 is "unknown" and is never stored; a stored stack's liveBytes and liveBlocks
// sum over the live table's entries naming it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor::tracer {

constexpr int kMaxStackDepth = 16;
constexpr std::uint32_t kUnknownStack = 0;

struct Frames {
    int count = 0;
    std::uintptr_t address[kMaxStackDepth];
};

// A distinct stack; its id is its position in the order of first sight, from 1.
struct StackRecord {
    std::uint64_t hash;
    std::uint16_t pool; // the pool record its blocks came from
    std::uint64_t liveBytes, liveBlocks;
    std::uint64_t peakBytes, peakBlocks;       // as at the peak map's moment
    std::uint64_t allocatedBytes, allocations; // since the start, released or not
    std::uint64_t temporaryBytes, temporaries; // released with no allocation in between
    std::uint8_t depth;
    std::uintptr_t frames[kMaxStackDepth];
};

// Requires: gState.lock held, as for everything below.
// Reads QORSysTracerStackDepth (0 turns call sites off; at most kMaxStackDepth; default 4) and
// finds the modules to leave out. Call once, before the first Capture.
void StartCallSites();
int StackDepth();

// The caller's frames outside the allocation library (the module of `hookCaller`, the return
// address of the hook), the tracer and the C++ runtime. Cost: one unwind of the stack, about
// 30 ns a frame once its return address is in the unwinder's cache.
Frames CaptureFrames(const void* hookCaller);
// The id of `frames`' stack in the pool record `pool`, stored on first sight; kUnknownStack for
// no frames or a full table.
std::uint32_t StackOf(const Frames& frames, std::uint16_t pool);
// Counts a block in (bytes > 0, blocks 1: an allocation, counted in the stack's allocations too)
// or out (the negated values) of its stack.
void CountLive(std::uint32_t stack, std::int64_t bytes, std::int64_t blocks);
// Counts a block of `bytes` released as a temporary allocation of its stack.
void CountTemporary(std::uint32_t stack, std::uint64_t bytes);
// Copies every stack's live counts into its peak counts.
void KeepPeakSites();
// The stacks in order of first sight: stacks[0] has id 1. Count: StackCount().
const StackRecord* StackById(std::uint32_t id);
std::uint32_t StackCount();

} // namespace qor::tracer
