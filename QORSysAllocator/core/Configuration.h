// Process-wide configuration, read from the environment once, on the first call that needs it.
// The flags it decides live in State().config (Runtime.h).
#pragma once

#include "EnvironmentVariables.h"
#include "Runtime.h"

namespace qor::config {

// Reads QORSysPoolAllocator, ReplayPurify, QORSysAllocatorInstrum, QORSysAllocatorReclaim and
// QORSysAllocatorChecks and decides the flags.
void Configure();

// An on/off switch of the environment table, read the ways people write one (ON/OFF, 1/0,
// TRUE/FALSE, YES/NO, in any case); unset: `whenUnset`. Any other value is reported on stderr and
// counts as unset. The configuration reads its switches once; a swap file reads its own at each
// Initialize.
bool ReadSwitch(Variable variable, bool whenUnset);

// A whole number of the environment table within [0, most]; unset: `whenUnset`. Any other value
// is reported on stderr and counts as unset.
std::uint32_t ReadNumber(Variable variable, std::uint32_t whenUnset, std::uint32_t most);

// The heap engine's two variables, which the override reads before (and instead of) the rest.
void ReadHeapEngineVariables(ConfigurationFlags& flags);

// Runs the configuration unless it has run; a thread that arrives while another configures waits
// for the outcome. Each first call of an entry point that configures (QORSpecializedNew,
// QORSysCreatePool, a paged pool's construction) comes here: after the first, a load.
void ConfigureOnce();
inline void ConfigureIfPending() {
    if (LoadPublished(State().config.pending)) [[unlikely]]
        ConfigureOnce();
}

} // namespace qor::config
