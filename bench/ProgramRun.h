// What the benchmark programs share outside their timed loops: counts read from the command line,
// threads released together with the wall time until the last one is done, and the result of a
// whole-program run (qor_server_style, qor_map_program) as one JSON line.
#pragma once

#include "MixedStream.h"

#include <linux/perf_event.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <barrier>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace qor::bench {

// The whole-program benchmarks come in two builds of one source: the plain one allocates through
// the process's malloc (glibc, or the peer that LD_PRELOAD puts in front of it), the routed one
// expands QOR_SYS_ROUTE_GLOBAL_NEW_DELETE() so that every global new and delete goes to the
// thread-safe pool. Both allocate through new and delete only, so that the route is all that
// differs.
#ifdef QOR_BENCH_ROUTE_GLOBAL_NEW_DELETE
inline constexpr const char* kProgramRoute = "routed";
#else
inline constexpr const char* kProgramRoute = "malloc";
#endif

// A count such as "30000000" or "3e7"; false unless it is a whole number >= 1.
inline bool ParseCount(const char* text, std::uint64_t& count) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= 1 && value <= 1e15) ||
        value != static_cast<double>(static_cast<std::uint64_t>(value)))
        return false;
    count = static_cast<std::uint64_t>(value);
    return true;
}

// The command line of the whole-program benchmarks: THREADS COUNT [SIZE] [--damage], counts such
// as "2e6" accepted. size is 0 when not given (each program has its default); damage asks the
// program to change what one block holds after writing it, so that a test can see its check fail.
struct ProgramArguments {
    std::uint64_t threads = 0;
    std::uint64_t perThread = 0;
    std::uint64_t size = 0;
    bool damage = false;
};

inline bool ParseProgramArguments(int argc, char** argv, ProgramArguments& arguments) {
    if (argc < 3 || !ParseCount(argv[1], arguments.threads) ||
        !ParseCount(argv[2], arguments.perThread))
        return false;
    for (int i = 3; i < argc; ++i) {
        if (std::string(argv[i]) == "--damage")
            arguments.damage = true;
        else if (i != 3 || !ParseCount(argv[i], arguments.size))
            return false;
    }
    return arguments.threads <= 64;
}

// Runs body(thread, gate) on `threads` threads. Each body does its untimed set-up, then calls
// gate.arrive_and_wait() once; returns the wall seconds from the moment all of them (and this
// thread) arrived to the return of the last one, so that thread creation and set-up stay out.
// started() runs on this thread as the gate opens (to start a counter with the clock).
template <class Body, class Started = void (*)()>
double RunTogether(
    unsigned threads, Body body, Started started = [] {}) {
    std::barrier<> gate(static_cast<std::ptrdiff_t>(threads) + 1);
    std::vector<std::thread> workers;
    workers.reserve(threads);
    for (unsigned thread = 0; thread < threads; ++thread)
        workers.emplace_back([&body, &gate, thread] { body(thread, gate); });
    gate.arrive_and_wait();
    started();
    const auto start = std::chrono::steady_clock::now();
    for (std::thread& worker : workers)
        worker.join();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The user-space instructions of this process's threads, those started after it included
// (perf_event_open with inherit); Available() is false where the kernel or its settings
// (perf_event_paranoid > 2, a container's filter) refuse the hardware counter.
class InstructionCounter {
public:
    InstructionCounter() {
        perf_event_attr attributes{};
        attributes.type = PERF_TYPE_HARDWARE;
        attributes.size = sizeof attributes;
        attributes.config = PERF_COUNT_HW_INSTRUCTIONS;
        attributes.exclude_kernel = 1;
        attributes.exclude_hv = 1;
        attributes.inherit = 1;
        fd_ = static_cast<int>(::syscall(SYS_perf_event_open, &attributes, 0, -1, -1, 0));
    }
    InstructionCounter(const InstructionCounter&) = delete;
    InstructionCounter& operator=(const InstructionCounter&) = delete;
    ~InstructionCounter() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Available() const { return fd_ >= 0; }
    // The count so far, the ended threads' included; 0 when not available.
    std::uint64_t Read() const {
        std::uint64_t count = 0;
        return fd_ >= 0 && ::read(fd_, &count, sizeof count) == sizeof count ? count : 0;
    }

private:
    int fd_ = -1;
};

// One JSON line: the fields of every whole-program run, then `extra` (",\"name\":value..." or
// empty). peak_rss is the process's VmHWM in bytes, the binary and its libraries included.
inline void PrintProgramResult(const char* program, unsigned threads, std::uint64_t operations,
                               double seconds, const std::string& extra) {
    std::printf("{\"program\":\"%s\",\"route\":\"%s\",\"threads\":%u,\"operations\":%llu,"
                "\"seconds\":%.4f,\"operations_per_second\":%.1f,\"peak_rss\":%zu%s}\n",
                program, kProgramRoute, threads, static_cast<unsigned long long>(operations),
                seconds, seconds > 0 ? static_cast<double>(operations) / seconds : 0.0,
                ResidentBytes("VmHWM:"), extra.c_str());
}

} // namespace qor::bench
