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

// Reclaim's merge (Reclaim.cpp): the address walk, whatever the process-wide method, after which
// the chunk's largest area is the exact largest listed, not the larger of the old value and the
// merged sizes: that rule keeps a value the merge itself made too small (the marker 1 of an
// unknown largest area counts as a size), and tracked placement would then skip a chunk whose
// areas fit. Then, with `purge`, the whole pages inside each listed area, past its list words, go
// back to the system (one madvise per area; they read as zero when a block takes them again): a
// swap file's zone, refilled at once, merges without. Does nothing for a null or empty chunk or a
// SINGLE_SIZE pool.
void MergeForReclaim(GeneralPool& pool, SubPool* chunk, bool purge = true);

// The address walk from one free piece only: joins the piece at `piece` with the free pieces right
// behind it, takes those that were listed off the list and lists the join first, at the cost of
// the pieces joined and one pass over the list. For plain placement, whose list need not hold
// every free area; false without change for a tracked chunk, a piece in use or nothing to join.
// Requires: `piece` is the start of a piece of `chunk`.
bool MergeBehind(GeneralPool& pool, SubPool* chunk, void* piece);

// The process-wide method, fixed from QORSysAllocatorForceOptMeth on first use.
MergeMethod CurrentMergeMethod();

} // namespace qor
