// A recording replayed on one route: one thread per recorded thread (the first on the calling
// thread), each doing its own events in their recorded order, every block touched at the pages of
// its ends so that the memory figures are the route's. A release of a block that another thread
// allocates waits for that allocation (a spin on the block's slot): the wait is always for an event
// earlier in the recorded order, so the replay cannot deadlock, and threads are otherwise free as
// they ran.
#pragma once

#include "ProgramRun.h"
#include "Recording.h"
#include "Routes.h"

#include <immintrin.h>
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else // no counts under callgrind: qor-replay --instructions=callgrind then says n/a
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name)
#endif

#include <atomic>
#include <barrier>
#include <chrono>
#include <thread>
#include <vector>

namespace qor::replay {

struct Figures {
    double seconds = 0;
    std::uint64_t instructions = 0;     // 0: no counter
    double loopSeconds = 0;             // of the same events with no allocator behind them
    std::uint64_t loopInstructions = 0; // 0: no counter
    double RouteSeconds() const { return seconds > loopSeconds ? seconds - loopSeconds : 0; }
    std::uint64_t RouteInstructions() const {
        return instructions > loopInstructions ? instructions - loopInstructions : 0;
    }
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
constexpr int kAhead = 32; // events prefetched ahead, past the caches that the route uses
constexpr unsigned kPageShift = 12;

// The first byte of a block written, and the last when it lies on another page: every page that
// a block's ends lie in is then resident, as a program's would be, but no cache line is written
// that the allocator had no reason to bring in (its header's, mostly), so that the route's time
// is the allocator's and not the replay's touches. The pages between the ends stay untouched.
inline void Touch(unsigned char* block, std::uint64_t bytes) {
    block[0] = 1;
    unsigned char* const last = block + bytes - 1;
    if (((reinterpret_cast<std::uintptr_t>(block) ^ reinterpret_cast<std::uintptr_t>(last)) >>
         kPageShift) != 0)
        *last = 1;
}

// Cost per event: the route's call, a touch per allocation, one slot store or load.
template <class Route>
void ReplayThread(Route& route, const MappedVector<Event>& events, std::atomic<void*>* slots,
                  Figures& figures) {
    for (const Event& event : events) {
        // An address only (prefetches do not fault), past the array's end near the end.
        _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(&event) +
                                                   kAhead * sizeof(Event)),
                     _MM_HINT_NTA);
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
        if (block != nullptr && event.bytes != 0) Touch(block, event.bytes);
        figures.failures += block == nullptr;
        slots[event.block].store(block != nullptr ? block : kFailed, std::memory_order_release);
        ++figures.allocations;
        ++figures.liveBlocks;
        figures.liveBytes += static_cast<std::int64_t>(event.bytes);
    }
}

// A thread's figures on a cache line of their own: the threads count on every event.
struct alignas(64) ThreadFigures {
    Figures figures;
};

// Runs each recorded thread's events, thread 0's on the calling thread, and returns the wall
// seconds from the moment all threads are ready to the end of the last. A program's first thread
// to allocate is nearly always its main thread, and that matters to the figures: malloc serves
// the main thread from the heap it grows with brk, every other thread from an arena of its own.
template <class Route, class Started>
double ReplayThreads(Route& route, const Recording& recording, std::atomic<void*>* slots,
                     ThreadFigures* figures, Started started) {
    const std::size_t threads = recording.threads.size();
    if (threads == 0) return started(), 0.0; // a recording of a program that never allocated
    std::barrier<> gate(static_cast<std::ptrdiff_t>(threads));
    std::vector<std::thread> workers;
    for (std::size_t thread = 1; thread < threads; ++thread)
        workers.emplace_back([&, thread] {
            gate.arrive_and_wait();
            ReplayThread(route, recording.threads[thread], slots, figures[thread].figures);
        });
    gate.arrive_and_wait();
    started();
    const auto start = std::chrono::steady_clock::now();
    ReplayThread(route, recording.threads[0], slots, figures[0].figures);
    for (std::thread& worker : workers)
        worker.join();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <class Route> Figures ReplayOnce(const Recording& recording) {
    Route route;
    // Mapped and populated (see MappedAllocator.h): resident before the baseline is taken.
    MappedVector<std::atomic<void*>> slots(recording.slots + 1);
    std::vector<detail::ThreadFigures> perThread(recording.threads.size());
    bench::InstructionCounter counter;
    std::uint64_t instructionsAtStart = 0;
    const std::uint64_t baseline = ResetResidentPeak();
    Figures figures;
    // Under callgrind (qor-replay --instructions=callgrind) the replay alone is counted, and
    // dumped apart: the loop's run as the first dump, the route's as the second.
    figures.seconds = detail::ReplayThreads(route, recording, slots.data(), perThread.data(), [&] {
        CALLGRIND_START_INSTRUMENTATION;
        CALLGRIND_ZERO_STATS;
        instructionsAtStart = counter.Read();
    });
    CALLGRIND_DUMP_STATS_AT("replay");
    CALLGRIND_STOP_INSTRUMENTATION;
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

} // namespace detail

// The loop alone first, over the same events, then the route: the loop's time and instructions
// are the replay's own, and the route's less them are what the route costs, so that two routes
// compare by their own costs and not diluted by a constant.
template <class Route> Figures Replay(const Recording& recording) {
    const Figures loop = detail::ReplayOnce<bench::LoopOnlyRoute>(recording);
    Figures figures = detail::ReplayOnce<Route>(recording);
    figures.loopSeconds = loop.seconds;
    figures.loopInstructions = loop.instructions;
    return figures;
}

} // namespace qor::replay
