// The list primitives both placements share: the suffix bound of a listed area and the push of a
// released piece at the head of a chunk's list, with its counters. Below GeneralPool.h and
// TrackedIndex.h, which both push onto lists (a tracked list too, when its span keeps no index).
// Invariant: bound(area) >= size(a) for every listed a at or after area, when area has a bound.
#pragma once

#include "../core/PoolInterface.h"

#include <cstdint>

namespace qor::placement {

// A free area of 24 bytes or more keeps, in its third word (free bytes), an upper bound on the
// sizes of the areas from it to the end of its list, so that first fit passes over a list that
// cannot hold a piece without walking it: with plain placement, a list of small released areas
// that a larger request fails to use is never shortened, and would be walked on every request.
// A 16-byte area (the piece of a zero-byte block) has no third word: its bound is unknown.
// Invariant: every listed area's bound, when it has one, is at least the size of each area at
// or after it in the list. In a list that carries the tracked index (TrackedIndex.h) the word is
// the index's first slot, whose top bit is set: a bound no size reaches.
struct BoundedArea {
    FreeArea area;
    std::uint64_t suffixBound;
};
constexpr std::uint64_t kUnknownBound = ~std::uint64_t{0};

inline std::uint64_t SuffixBound(const FreeArea* area) {
    if (area == nullptr) return 0;
    return area->size >= sizeof(BoundedArea)
               ? reinterpret_cast<const BoundedArea*>(area)->suffixBound
               : kUnknownBound;
}

// Requires: `area`'s size and next link are set and the areas after it keep the invariant.
inline void SetSuffixBound(FreeArea* area) {
    if (area->size < sizeof(BoundedArea)) return;
    const std::uint64_t after = SuffixBound(area->next);
    reinterpret_cast<BoundedArea*>(area)->suffixBound = after > area->size ? after : area->size;
}

// The counters of a release of `pieceBytes` that lists the piece (the marker 1 included).
inline void CountReleased(ChunkFields& k, std::uint64_t pieceBytes) {
    k.free += pieceBytes;
    ++k.freeAreaCount;
    if (pieceBytes > k.largestFreeArea) k.largestFreeArea = static_cast<std::uint32_t>(pieceBytes);
}

// Puts a released piece of `pieceBytes` at the head of chunk K's list, when it does not empty K.
// Requires: K's list carries no tracked index (PushTracked keeps one).
inline void PushOnList(ChunkFields& k, void* block, std::uint64_t pieceBytes) {
    auto* area = reinterpret_cast<FreeArea*>(HeaderOf(block));
    area->next = k.freeList;
    SetSuffixBound(area);
    k.freeList = area;
    CountReleased(k, pieceBytes);
}

} // namespace qor::placement
