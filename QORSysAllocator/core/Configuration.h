// Process-wide configuration, read from the environment once, on the first call that needs it.
// The flags it decides live in State().config (Runtime.h).
#pragma once

#include "Runtime.h"

namespace qor::config {

// Reads QORSysPoolAllocator, ReplayPurify, QORSysAllocatorInstrum, QORSysAllocatorReclaim and
// QORSysAllocatorChecks and decides the flags.
void Configure();

inline void ConfigureIfPending() {
    if (State().config.pending) {
        State().config.pending = false;
        Configure();
    }
}

// The first pool creation and the first paged pool each configure once, on their own first call.
inline void ConfigureOnFirstCall(bool& trigger) {
    if (trigger) {
        trigger = false;
        ConfigureIfPending();
    }
}

} // namespace qor::config
