// Merging of adjacent free areas of one chunk, by sorting its list (cost ~ listed areas squared)
// or by walking its pieces in address order (cost ~ pieces; also recovers areas that plain
// placement dropped from the list). Afterwards no two listed areas are adjacent, and
// freeAreaCount and pieceCount are each lower by the number of merges.
#pragma once

#include "GeneralPool.h"

namespace qor {

enum class MergeMethod : int { Automatic = 0, SortMerge = 1, AddressWalk = 2 };

// -1 without change for a null or empty chunk or a SINGLE_SIZE pool; else merges and returns 0.
// `method` Automatic takes the process-wide method (which may choose per chunk); the others force
// theirs without fixing the process-wide one.
int MergeFreeAreas(GeneralPool& pool, SubPool* chunk, MergeMethod method = MergeMethod::Automatic);

// The process-wide method, fixed from QORSysAllocatorForceOptMeth on first use.
MergeMethod CurrentMergeMethod();

} // namespace qor
