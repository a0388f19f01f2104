// The state of the test hook libraries, shared between the libraries (which fill it) and the tests
// (which find it with dlopen(RTLD_NOLOAD) + dlsym of kStateAccessorName and read it).
// Everything is in fixed-size arrays, so that recording never allocates while a pool operation is
// under way.
// Deltas: a release is answered the delta that its block got at allocation,
// 0 for a pointer that the library never saw.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor::testhooks {

enum class Event : int {
    GetDelta,
    Malloc,
    Free,
    MallocFailure,
    InvalidPtr,
    PoolCreation,
    SubPoolCreation,
    PoolFlush,
    SubPoolFlushed,
};

constexpr std::size_t kMaxCalls = 1024;
constexpr std::size_t kMaxLiveDeltas = 1024;
constexpr std::size_t kTextBytes = 64;
constexpr std::size_t kMaxArguments = 6;

// One hook call: its arguments in call order as words (ints sign-extended), and a copy of its
// text argument (the tag or the pool name), truncated to kTextBytes - 1 characters.
struct Call {
    Event event;
    std::uintptr_t args[kMaxArguments];
    char text[kTextBytes];
};

// A block handed out with a non-zero delta, by the address that its caller received.
struct LiveDelta {
    std::uintptr_t callerAddress;
    int delta;
};

constexpr int kDefaultAllocationDelta = 16;

struct HookState {
    int allocationDelta = kDefaultAllocationDelta; // what QORGetDelta answers for an allocation
    int dumpFlushesAtExit = 0; // non-zero: the library prints its pool flushes when unloaded
    std::size_t dumpFrom = 0;  // first call index of that print
    std::size_t callCount = 0;
    std::size_t droppedCalls = 0; // calls or live deltas that did not fit the arrays
    Call calls[kMaxCalls] = {};
    int pendingDelta = 0; // answered by the last allocation's QORGetDelta, taken by QORSignalMalloc
    std::size_t liveCount = 0;
    LiveDelta live[kMaxLiveDeltas] = {};
};

using StateAccessor = HookState* (*)();
inline constexpr const char kStateAccessorName[] = "QORTestHookState";

// First line and last line of the print at unload; in between, one line per pool flush:
// "PoolFlush <creation name> 0x<creation flags, lower-case hex> <mode>".
inline constexpr const char kDumpBegin[] = "hook log at exit\n";
inline constexpr const char kDumpEnd[] = "end of hook log\n";

} // namespace qor::testhooks
