// A recording replayed on one route: one thread per recorded thread, each doing its own events
// in their recorded order, every block touched at its first and last byte so that the memory
// figures are the route's. A release of a block that another thread allocates waits for that
// allocation (a spin on the block's slot): the wait is always for an event earlier in the
// recorded order, so the replay cannot deadlock, and threads are otherwise free as they ran.
#pragma once

#include "ProgramRun.h"
#include "Recording.h"

#include <immintrin.h>

#include <atomic>
#include <memory>
#include <thread>

namespace qor::replay {

struct Figures {
    double seconds = 0;
    std::uint64_t instructions = 0; // 0: no counter
    std::uint64_t peakResident = 0; // VmHWM less VmRSS just before the replay
    std::uint64_t allocations = 0, releases = 0, failures = 0;
    std::int64_t liveBlocks = 0, liveBytes = 0; // of the replay's own blocks at its end
};

// Lets the resident high-water mark restart from the present (Linux 4.0 and later); the figure
// is then the replay's alone, not the reading of the recording before it.
std::uint64_t ResetResidentPeak();

namespace detail {

// A slot of a block whose allocation failed: its release has nothing to give back.
inline void* const kFailed = reinterpret_cast<void*>(1);
constexpr int kSpins = 64;

// Cost per event: the route's call, two byte writes per allocation, one slot store or load.
template <class Route>
void ReplayThread(Route& route, const std::vector<Event>& events, std::atomic<void*>* slots,
                  Figures& figures) {
    for (const Event& event : events) {
        if (event.block & Event::kRelease) {
            std::atomic<void*>& slot = slots[event.block & ~Event::kRelease];
            void* block;
            // A short spin, then the processor given up: on a machine with fewer processors
            // than replay threads the allocating thread may be waiting for this one's.
            for (int spins = 0; (block = slot.load(std::memory_order_acquire)) == nullptr; ++spins)
                spins < kSpins ? _mm_pause() : std::this_thread::yield();
            if (block != kFailed) route.Release(block, event.bytes);
            ++figures.releases;
            --figures.liveBlocks;
            figures.liveBytes -= static_cast<std::int64_t>(event.bytes);
            continue;
        }
        auto* block = static_cast<unsigned char*>(route.Allocate(event.bytes));
        if (block != nullptr && event.bytes != 0) block[0] = block[event.bytes - 1] = 1;
        figures.failures += block == nullptr;
        slots[event.block].store(block != nullptr ? block : kFailed, std::memory_order_release);
        ++figures.allocations;
        ++figures.liveBlocks;
        figures.liveBytes += static_cast<std::int64_t>(event.bytes);
    }
}

} // namespace detail

template <class Route> Figures Replay(const Recording& recording) {
    Route route;
    // Value-initialised, so written: the slots are resident before the baseline is taken.
    const std::unique_ptr<std::atomic<void*>[]> slots(
        new std::atomic<void*>[recording.slots + 1]());
    // A cache line each: the threads count on every event.
    struct alignas(64) Counts {
        Figures figures;
    };
    std::vector<Counts> perThread(recording.threads.size());
    bench::InstructionCounter counter;
    std::uint64_t instructionsAtStart = 0;
    const std::uint64_t baseline = ResetResidentPeak();
    Figures figures;
    figures.seconds = bench::RunTogether(
        static_cast<unsigned>(recording.threads.size()),
        [&](unsigned thread, std::barrier<>& gate) {
            gate.arrive_and_wait();
            detail::ReplayThread(route, recording.threads[thread], slots.get(),
                                 perThread[thread].figures);
        },
        [&] { instructionsAtStart = counter.Read(); });
    figures.instructions = counter.Available() ? counter.Read() - instructionsAtStart : 0;
    const std::uint64_t peak = bench::ResidentBytes("VmHWM:");
    figures.peakResident = peak > baseline ? peak - baseline : 0;
    for (const auto& [thread] : perThread) {
        figures.allocations += thread.allocations;
        figures.releases += thread.releases;
        figures.failures += thread.failures;
        figures.liveBlocks += thread.liveBlocks;
        figures.liveBytes += thread.liveBytes;
    }
    return figures;
}

} // namespace qor::replay
