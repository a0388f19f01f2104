// The configuration decision: pooling forced on or off, cancelled headers, hooks, exit clean-up.
#include "Configuration.h"

#include "../platform/Platform.h"
#include "EnvironmentVariables.h"
#include "ExitCleanup.h"
#include "Hooks.h"
#include "LiveObjects.h"
#include "PoolInterface.h"

#include <cstring>

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
    return ReadVariable(Variable::Instrumentation);
}

bool Equals(Variable variable, const char* text) {
    const char* value = ReadVariable(variable);
    return value != nullptr && std::strcmp(value, text) == 0;
}

} // namespace

void Configure() {
    ConfigurationFlags& flags = State().config;
    flags.cancelled = false;
    const bool replayPurify = ReadVariable(Variable::ReplayPurify) != nullptr;
    const Forced forced = ReadPoolAllocatorVariable();
    flags.reclaimOff = Equals(Variable::Reclaim, "OFF");
    flags.threadCacheOff = Equals(Variable::ThreadCache, "OFF");
    if (Equals(Variable::Checks, "ON")) {
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

} // namespace qor::config
