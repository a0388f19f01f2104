// The configuration decision: pooling forced on or off, cancelled headers, hooks, exit clean-up.
#include "Configuration.h"

#include "../platform/Platform.h"
#include "EnvironmentVariables.h"
#include "ExitCleanup.h"
#include "Hooks.h"
#include "LiveObjects.h"
#include "PoolInterface.h"

#include <cstdlib>
#include <cstring>

namespace qor::config {

int gConfigurationPending = -1;
int gFirstAllocationDone = 0;
int gFirstPoolCreation = -1;
int gFirstPagedPool = -1;
int gInactive = 0;
int gCancelled = -1;
int gExitCleanupRegistered = 0;
int gReclaimOff = 0;
int gChecks = 0;

namespace {

enum class Forced { None, On, Off };

void RegisterExitCleanup() {
    // A failure to register is ignored: the pools are then simply not torn down at exit.
    if (platform::RegisterModuleExit(RunExitCleanup) == 0) gExitCleanupRegistered = -1;
}

Forced ReadPoolAllocatorVariable() {
    const char* value = std::getenv(kPoolAllocatorVariable);
    if (value == nullptr) return Forced::None;
    if (std::strcmp(value, "ON") == 0) return Forced::On;
    if (std::strcmp(value, "OFF") == 0) return Forced::Off;
    if (std::strcmp(value, "CANCELED") == 0) {
        gCancelled = -1;
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
    return std::getenv(kInstrumentationVariable);
}

} // namespace

void Configure() {
    gCancelled = 0;
    const bool replayPurify = std::getenv(kReplayPurifyVariable) != nullptr;
    const Forced forced = ReadPoolAllocatorVariable();
    const char* reclaim = std::getenv(kReclaimVariable);
    gReclaimOff = reclaim != nullptr && std::strcmp(reclaim, "OFF") == 0 ? -1 : 0;
    const char* checks = std::getenv(kChecksVariable);
    if (checks != nullptr && std::strcmp(checks, "ON") == 0) {
        gChecks = -1;
        checks::NoteRegisteredPools();
    }

    if (const char* hookLibrary = InstrumentationLibrary()) {
        hooks::gInstrumentationState = 1;
        hooks::LoadHooks(hookLibrary);
    }

    switch (forced) {
    case Forced::On:
        PrintToStream(stderr, "! FORCED ACTIVATION FOR QORSysAllocators\n");
        if (replayPurify) RegisterExitCleanup();
        break;
    case Forced::Off:
        PrintToStream(stderr, "! FORCED INACTIVATION FOR QORSysAllocators\n");
        gInactive = -1;
        break;
    case Forced::None:
        if (replayPurify) {
            gInactive = -1;
            gCancelled = -1;
            RegisterExitCleanup();
        }
        break;
    }
}

} // namespace qor::config
