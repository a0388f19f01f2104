// The index of a tracked free list: first fit finds the first area of the list that holds a piece,
// and the largest size in front of it, in about log(position) steps instead of a walk.
// It is a skip list over list positions that lives in the free areas themselves. Each listed area
// of 24 bytes or more is a node of height h >= 0, drawn from its address and capped by its room
// (a 16-byte area has no room: height -1); its words 2 .. h + 2 are its slots 1 .. h + 1, each a
// link (to an area of the same chunk) and a maximum. For a node x and 1 <= j <= h(x):
//   link_j(x)  == the first node after x of height >= j (null at the end of the list),
//   after_j(x) == the largest size in (x, link_j(x)), 0 when there is none: x itself is left out,
//                 so that a split's rest, which takes x's place, keeps x's slots.
// A stair is a node taller than every area in front of it; its slot h + 1 (its climb) keeps the
// same two rules for level h + 1, so the stairs' climbs tile the list from the first stair to its
// end and a search climbs from the head as far as the sizes require. Slot h + 1 of any other node
// means nothing. Slot 1 sits in plain placement's suffix-bound word; its top bit is always set, so
// that word still bounds every size after it.
// The index starts at its first node, behind the fresh run: the areas released (or split off a
// fresh area) since a search last walked past them, whose slot 1 is all ones, no other slot.
// A release costs a push and a first fit among them a walk; a search that walks the whole run
// takes the run into the index but for its first few areas, and a search walks at most a few
// fresh areas before it does so. So: fresh areas, then index nodes, never mixed.
#pragma once

#include "../core/PoolInterface.h"

#include <cstdint>

namespace qor::placement {

// A slot holds a link in 8-byte units and a maximum in bytes in 30 and 33 bits: a chunk or arena of
// this span or more keeps no index, and tracked placement walks its list.
constexpr std::uint64_t kIndexedSpanLimit = std::uint64_t{1} << 33;
constexpr int kTallestNode = 15;

inline bool SpanIndexable(const ChunkFields& k) { return k.size < kIndexedSpanLimit; }

// Whether chunk (or arena) K's list carries the index: its pool places by tracked first fit.
// Requires: K's owner is set.
inline bool IsIndexed(const ChunkFields& k) {
    return (k.owner->chunk.flags & QORSysPoolFlag::TRACKED_FREE_LIST) != 0 && SpanIndexable(k);
}

// Where a first fit was found: its list predecessor, and the index nodes whose spans cover it.
struct FitPath {
    FreeArea* found = nullptr;
    FreeArea* pred = nullptr;    // null when `found` heads the list
    FreeArea* stair = nullptr;   // the last stair in front of `found`, or null
    int stairHeight = -1;        // its height; -1 without one
    bool fresh = false;          // `found` is in front of the index, which it leaves unchanged
    std::uint64_t largestPassed; // the largest size in front of `found` (of the list, without it)
    FreeArea* owner[kTallestNode + 1]; // 1..stairHeight: the last node in front of height >= j
};

// The first area of K's list of `need8` bytes or more, null when none (largestPassed is then the
// largest size listed, 0 for an empty list). The list keeps its order; fresh areas that the
// search walks past may go into the index.
// Requires: IsIndexed(K).
FreeArea* FindFirstFit(ChunkFields& k, std::uint64_t need8, FitPath& path);

// Takes path.found out of the list. Requires: `path` from FindFirstFit, nothing changed since.
void UnlinkFound(ChunkFields& k, FitPath& path);

// Leaves the first `keptBytes` of path.found out of the list and lists the rest in its place;
// returns the rest. Requires: as UnlinkFound, and path.found->size >= keptBytes + 24.
FreeArea* ReplaceFound(ChunkFields& k, FitPath& path, std::uint64_t keptBytes);

// Puts `area` (its size set) at the head of K's list, fresh. Requires: IsIndexed(K).
// Cost: three stores.
void PushIndexed(ChunkFields& k, FreeArea* area);

// Sets every node's slots from the list as it stands (after it was built or rebuilt whole).
// Requires: IsIndexed(K). Cost: one pass over the list.
void RebuildIndex(ChunkFields& k);

// The release of a block into a chunk of a tracked pool, when it does not empty the chunk: the
// push and the counters, as PushOnList does them for a plain pool.
void PushTracked(ChunkFields& k, void* block, std::uint64_t pieceBytes);

// The validator for tests and fuzzers: true when K's list keeps every rule above (or carries no
// index). Cost: a pass over the list per level.
bool CheckIndex(const ChunkFields& k);

} // namespace qor::placement
