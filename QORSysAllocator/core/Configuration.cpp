// The configuration decision: pooling forced on or off, cancelled headers, hooks, exit clean-up.
#include "Configuration.h"

#include "../platform/Platform.h"
#include "EnvironmentVariables.h"
#include "ExitCleanup.h"
#include "Hooks.h"
#include "LiveObjects.h"
#include "PoolInterface.h"

#include <cstring>
#include <initializer_list>
#include <strings.h>

namespace qor::config {
namespace {

enum class Forced { None, On, Off };

void RegisterExitCleanup() {
    // A failure to register is ignored: the pools are then simply not torn down at exit.
    if (platform::RegisterModuleExit(RunExitCleanup) == 0)
        State().config.exitCleanupRegistered = true;
}

Forced ReadPoolAllocatorVariable() {
    const char* value = ReadVariable(Variable::PoolAllocator);
    if (value == nullptr) return Forced::None;
    if (std::strcmp(value, "ON") == 0) return Forced::On;
    if (std::strcmp(value, "OFF") == 0) return Forced::Off;
    if (std::strcmp(value, "CANCELED") == 0) {
        State().config.cancelled = true;
        return Forced::Off;
    }
    PrintToStream(stderr, "Invalid value for QORSysPoolAllocator\nValid values are ON , OFF or "
                          "CANCELED");
    return Forced::None;
}

// The hook library's base name, or null. A privileged process (set-user-ID and the like) takes
// its environment from whoever started it: a name from there would load that party's code into
// the process, so there the variable counts as absent, as the dynamic loader does for its own.
const char* InstrumentationLibrary() {
    if (platform::IsSecureExecution()) return nullptr;
    return ReadVariable(State().config.servesMalloc ? Variable::MallocInstrumentation
                                                    : Variable::Instrumentation);
}

bool OneOf(const char* value, std::initializer_list<const char*> words) {
    for (const char* word : words)
        if (strcasecmp(value, word) == 0) return true;
    return false;
}

} // namespace

bool ReadSwitch(Variable variable, bool whenUnset) {
    const char* value = ReadVariable(variable);
    if (value == nullptr) return whenUnset;
    if (OneOf(value, {"ON", "1", "TRUE", "YES"})) return true;
    if (OneOf(value, {"OFF", "0", "FALSE", "NO"})) return false;
    PrintToStream(stderr, "Invalid value for %s\nValid values are ON or OFF\n", NameOf(variable));
    return whenUnset;
}

std::uint32_t ReadNumber(Variable variable, std::uint32_t whenUnset, std::uint32_t most) {
    const char* value = ReadVariable(variable);
    if (value == nullptr) return whenUnset;
    std::uint64_t number = 0;
    const char* digit = value;
    for (; *digit >= '0' && *digit <= '9' && number <= most; ++digit)
        number = number * 10 + static_cast<std::uint64_t>(*digit - '0');
    if (digit != value && *digit == '\0' && number <= most)
        return static_cast<std::uint32_t>(number);
    PrintToStream(stderr, "Invalid value for %s\nValid values are 0 to %u\n", NameOf(variable),
                  static_cast<unsigned>(most));
    return whenUnset;
}

void ReadHeapEngineVariables(ConfigurationFlags& flags) {
    flags.heapEngineOff = !ReadSwitch(Variable::HeapEngine, true);
    flags.heapPurgeDelayMs = ReadNumber(Variable::HeapPurgeDelay, 10, 60000);
}

void Configure() {
    ConfigurationFlags& flags = State().config;
    ReadHeapEngineVariables(flags);
    flags.cancelled = false;
    const bool programsOwn = !flags.servesMalloc;
    const bool replayPurify = programsOwn && ReadVariable(Variable::ReplayPurify) != nullptr;
    const Forced forced = programsOwn ? ReadPoolAllocatorVariable() : Forced::None;
    flags.reclaimOff = !ReadSwitch(Variable::Reclaim, true);
    flags.threadCacheOff = !ReadSwitch(Variable::ThreadCache, true);
    if (ReadSwitch(Variable::Checks, false)) {
        flags.checks = true;
        checks::NoteRegisteredPools();
    }

    if (const char* hookLibrary = InstrumentationLibrary()) {
        State().instrumented = true;
        hooks::LoadHooks(hookLibrary);
    }

    switch (forced) {
    case Forced::On:
        PrintToStream(stderr, "! FORCED ACTIVATION FOR QORSysAllocators\n");
        if (replayPurify) RegisterExitCleanup();
        break;
    case Forced::Off:
        PrintToStream(stderr, "! FORCED INACTIVATION FOR QORSysAllocators\n");
        flags.inactive = true;
        break;
    case Forced::None:
        if (replayPurify) {
            flags.inactive = true;
            flags.cancelled = true;
            RegisterExitCleanup();
        }
        break;
    }
}

void ConfigureOnce() {
    // The configuring thread's own nested calls (a hook library's constructors allocate) go on
    // unconfigured, as they would in a single thread; the lock would never be given to them.
    static thread_local bool tConfiguring = false;
    if (tConfiguring) return;
    ScopedLock guard(State().configLock);
    if (!State().config.pending) return;
    tConfiguring = true;
    Configure();
    tConfiguring = false;
    Publish(State().config.pending, false);
}

} // namespace qor::config
