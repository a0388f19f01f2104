// Checked mode (QORSysAllocatorChecks=ON): before a release or a call that names a pool uses what
// it was given, these calls prove it against the live-object registry (LiveObjects.h) and the
// block's own header or page, and stop the process with a message that names the block, the pool
// or page, and the likely mistake. They run only on the entry points' full route, which checked
// mode keeps for every call: the fast paths do not test for them.
#pragma once

#include <cstdint>

namespace qor::checks {

// A release of `block` (not null, the instrumentation delta already taken off) with the pool
// argument and flags of QORSpecializedDelete. Returns when the release is sound.
void CheckRelease(void* block, void* pool, int flags);

// QORSpecializedNew's pool argument (after the inactivity rule) and `param`.
void CheckNew(std::uintptr_t poolArgument, void* param);

// A pool handed to QORSysFlushPool, QORSysOptimizePool or QORSysGetPoolInfo; numbers below the
// smallest pool address are left to the caller.
void CheckPoolArgument(void* pool, const char* entryPoint);

} // namespace qor::checks
