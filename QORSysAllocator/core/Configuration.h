// Process-wide configuration, read from the environment once, on the first call that needs it.
// Flags are plain ints (0 false, -1 true), zero-initialised or constant so that they are valid
// before any constructor runs. After the configuration has run they never change again, and
// gCancelled implies gInactive.
#pragma once

namespace qor::config {

extern int gConfigurationPending; // -1 until the configuration starts
extern int gFirstAllocationDone;  // set by the first QORSpecializedNew
extern int gFirstPoolCreation;    // cleared by the first QORSysCreatePool
extern int gFirstPagedPool;       // cleared by the first paged pool construction
extern int gInactive;             // pools are bypassed (heap with a header)
extern int gCancelled;            // bare malloc and free; -1 until configured
extern int gExitCleanupRegistered;
// Set by QORSysAllocatorReclaim=OFF: general pools then grow exactly as soon as nothing listed
// fits. Zero (reclaim on) for pools built before the configuration runs.
extern int gReclaimOff;
// Set by QORSysAllocatorChecks=ON: releases and pool arguments are proved before use (Checks.h).
// The entry points' fast paths stay closed, so the default path pays nothing for it.
extern int gChecks;

// Reads QORSysPoolAllocator, ReplayPurify, QORSysAllocatorInstrum, QORSysAllocatorReclaim and
// QORSysAllocatorChecks and decides the flags.
void Configure();

inline void ConfigureIfPending() {
    if (gConfigurationPending) {
        gConfigurationPending = 0;
        Configure();
    }
}

} // namespace qor::config
