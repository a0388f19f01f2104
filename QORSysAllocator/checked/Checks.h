// Checked mode (QORSysAllocatorChecks=ON): before a release or a call that names a pool uses what
// it was given, these calls prove it against the live-object registry (LiveObjects.h) and the
// block's own header or page, and stop the process with a message that names the program's
// pointer, the pool by its name or the page, and the likely mistake (CheckDiagnosis.h). They run
// only on the entry points' full route, which checked mode keeps for every call: the fast paths do
// not test for them.
#pragma once

#include <cstdint>

namespace qor::checks {

// A release of `block` (not null, the instrumentation delta already taken off) with the pool
// argument and flags of QORSpecializedDelete. `pointer` is what the program holds: the block, the
// block plus a hook library's delta, or an adapter's over-aligned pointer inside the block; the
// messages name it (and the block beside it when they differ), and it must lie inside the block.
// Returns when the release is sound.
void CheckRelease(void* block, void* pool, int flags, const void* pointer);

// QORSpecializedNew's pool argument (after the inactivity rule) and `param`.
void CheckNew(std::uintptr_t poolArgument, void* param);

// A pool handed to QORSysFlushPool, QORSysOptimizePool or QORSysGetPoolInfo; numbers below the
// smallest pool address are left to the caller.
void CheckPoolArgument(void* pool, const char* entryPoint);

} // namespace qor::checks
