// Reclaim. Plain placement drops the areas in front of a fit from its list, and tracked placement
// never joins neighbours, so under a steady mixed churn a pool's free bytes pile up in pieces its
// lists cannot use: it carves ever more fresh memory and adds chunks for as long as the churn
// lasts. So a pool whose touched memory holds many free bytes merges all its chunks by the
// address walk (which lists every free area again, joined with its free neighbours, in address
// order, so that first fit comes back to the low addresses):
// - before it adds a chunk (or fails under NO_NEW_SUBPOOL), searching once more afterwards;
//   plain first fit drops the areas in front of each fit, so a chain can find its lists empty
//   long before a merge is due: with touched free bytes of half its bytes in use or more, it
//   then merges once bytesInUse / 4096 placements have passed (at most 16 times as often as
//   due), rather than double its memory (the interpreter replay's pool 4: 48 MB instead of 62);
// - when a placement first reaches into the untouched end of the last chunk, so that the resident
//   memory follows the bytes in use and not the chain's size.
// The merge also gives the whole pages inside every merged area back to the system
// (MergeForReclaim): no block's bytes live there, and resident memory follows the bytes in use.
// After a merge every chunk's largest area is exact (the walk sees every area), and tracked
// placement forgets the chunk that served last, so that it too searches from the first chunk:
// kept, the hint would send placements to the last chunk (whose untouched end always fits) while
// the merged room of the chunks in front of it stays unused.
// A tracked chunk's largest area can also be too small without any merge: a release into a chunk
// whose largest is unknown makes the released size the largest. Such a chunk is skipped by every
// larger request, so before a tracked pool grows, the chunks that a known largest ruled out though
// their free bytes would hold the piece are marked unknown and searched again (the search sets an
// exact largest in each one it walks without a fit). It costs one more search of those chunks,
// and only when nothing in the chain fits.
// Cost: the walk visits every piece of the chain, about bytesInUse / 128 of them. A merge is
// therefore tried only after bytesInUse / 256 placements through the search since the last one
// (so at most ~2 pieces walked per placement), and only when the free bytes of the touched memory
// are at least bytesInUse / 8 and the reclaim floor: small pools (under 64 KiB free) grow exactly
// as they always did.
#include "GeneralPool.h"

#include "../core/Runtime.h"
#include "MergeFreeAreas.h"

namespace qor {

namespace {
constexpr std::uint64_t kInUseBytesPerPlacement = 256;
constexpr std::uint64_t kInUseBytesPerGrowthPlacement = 4096;
constexpr std::uint64_t kInUseShareOfFree = 8;
constexpr unsigned kKiBShift = 10;

// Reclaim is an extension that QORSysAllocatorReclaim=OFF switches off; single-size pools never
// merge.
bool ReclaimApplies(const GeneralPool& pool) {
    return !State().config.reclaimOff && (pool.chunk.flags & QORSysPoolFlag::SINGLE_SIZE) == 0;
}

struct Footprint {
    std::uint64_t inUse;       // bytes of the chain not in free areas
    std::uint64_t touchedFree; // free bytes short of the last chunk's untouched end
};

Footprint FootprintOf(const GeneralPool& pool) {
    std::uint64_t freeBytes = 0, totalBytes = 0;
    for (const SubPool* k = &pool; k != nullptr; k = static_cast<const SubPool*>(k->chunk.next)) {
        freeBytes += k->chunk.free;
        totalBytes += k->chunk.size & kChunkSizeMask;
    }
    const std::uint64_t lastBytes = pool.lastChunk->chunk.size & kChunkSizeMask;
    const std::uint64_t reach = std::uint64_t{pool.lastChunkReachKiB} << kKiBShift;
    const std::uint64_t untouched = reach < lastBytes ? lastBytes - reach : 0;
    return {totalBytes - freeBytes, freeBytes > untouched ? freeBytes - untouched : 0};
}

enum class Occasion { Reach, Growth };

// Whether a merge is due. A growth doubles the chain's memory, and plain placement's first fit
// drops the areas in front of each fit, so that a chain whose touched free bytes are half its
// bytes in use or more can find its lists empty long before the next merge is due: before a
// growth, a merge runs once bytesInUse / 4096 placements have passed since the last one (the
// count due assumed to have started from bytesInUse / 256), at most 16 times as often as due.
bool MergeIsDue(const GeneralPool& pool, const Footprint& footprint, Occasion occasion) {
    const auto due =
        static_cast<std::uint64_t>(pool.reclaimPlacementsDue < 0 ? 0 : pool.reclaimPlacementsDue);
    if (due == 0) return true;
    return occasion == Occasion::Growth && footprint.touchedFree >= footprint.inUse / 2 &&
           due + footprint.inUse / kInUseBytesPerGrowthPlacement <=
               footprint.inUse / kInUseBytesPerPlacement;
}

// Merges every chunk when it is due and the touched free bytes are worth it; true when it merged.
bool MergeChainIfWorth(GeneralPool& pool, Occasion occasion) {
    if (!ReclaimApplies(pool)) return false;
    // Only a growth may merge before one is due: a reach between merges walks no chain.
    if (occasion == Occasion::Reach && pool.reclaimPlacementsDue > 0) return false;
    const Footprint footprint = FootprintOf(pool);
    if (!MergeIsDue(pool, footprint, occasion)) return false;
    if (footprint.touchedFree < State().reclaimFloorBytes ||
        footprint.touchedFree < footprint.inUse / kInUseShareOfFree)
        return false;
    const std::uint64_t due = footprint.inUse / kInUseBytesPerPlacement;
    pool.reclaimPlacementsDue = due > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(due);
    // A swap file's zone is refilled as soon as it has room: its pages stay.
    const bool purge = pool.swapFile == nullptr;
    for (SubPool* k = &pool; k != nullptr; k = static_cast<SubPool*>(k->chunk.next))
        MergeForReclaim(pool, k, purge);
    pool.currentChunk = nullptr;
    return true;
}

} // namespace

void GeneralPool::NoteReach(const BlockHeader* block) {
    const std::uint64_t offset =
        reinterpret_cast<std::uintptr_t>(block) - reinterpret_cast<std::uintptr_t>(lastChunk);
    if (offset >= (lastChunk->chunk.size & kChunkSizeMask)) return; // not in the last chunk
    const auto reachKiB = static_cast<std::uint32_t>((offset + block->sizeWord) >> kKiBShift);
    if (reachKiB <= lastChunkReachKiB) return;
    lastChunkReachKiB = reachKiB;
    MergeChainIfWorth(*this, Occasion::Reach);
}

bool GeneralPool::Reclaim() { return MergeChainIfWorth(*this, Occasion::Growth); }

bool GeneralPool::DoubtSkippedChunks(std::uint64_t need8) {
    if (!ReclaimApplies(*this)) return false;
    bool doubted = false;
    for (SubPool* k = this; k != nullptr; k = static_cast<SubPool*>(k->chunk.next)) {
        ChunkFields& fields = k->chunk;
        if (fields.free < need8 || fields.largestFreeArea == kLargestUnknown ||
            fields.largestFreeArea >= need8)
            continue;
        fields.largestFreeArea = kLargestUnknown;
        doubted = true;
    }
    return doubted;
}

} // namespace qor
