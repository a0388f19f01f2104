// Reclaim before growth. Plain placement drops the areas in front of a fit from its list, and
// tracked placement never joins neighbours, so under a steady mixed churn a pool's free bytes pile
// up in pieces its lists cannot use, and it would add chunks for ever. Before it adds one, a pool
// whose chunks hold many free bytes merges them all by the address walk (which lists every free
// area again, joined with its free neighbours) and searches once more; it grows only when that
// does not serve the request.
// Cost: the walk visits every piece of the chain, about bytesInUse / 128 of them. A merge is
// therefore tried only after bytesInUse / 1024 placements through the search since the last one
// (so at most ~8 pieces walked per placement), and only when the free bytes are at least
// bytesInUse / 8 and gReclaimFloorBytes: small pools (under 64 KiB free) grow exactly as they
// always did.
#include "GeneralPool.h"

#include "../frontend/Configuration.h"
#include "MergeFreeAreas.h"

namespace qor {

std::uint64_t gReclaimFloorBytes = kReclaimFloorBytes;

namespace {
constexpr std::uint64_t kInUseBytesPerPlacement = 1024;
constexpr std::uint64_t kInUseShareOfFree = 8;
} // namespace

bool GeneralPool::ReclaimBeforeGrowth() {
    if (config::gReclaimOff || (chunk.flags & QORSysPoolFlag::SINGLE_SIZE) || reclaimBudget > 0)
        return false;
    std::uint64_t freeBytes = 0, totalBytes = 0;
    for (const SubPool* k = this; k != nullptr; k = static_cast<const SubPool*>(k->chunk.next)) {
        freeBytes += k->chunk.free;
        totalBytes += k->chunk.size & kChunkSizeMask;
    }
    const std::uint64_t inUse = totalBytes - freeBytes;
    if (freeBytes < gReclaimFloorBytes || freeBytes < inUse / kInUseShareOfFree) return false;
    reclaimBudget = static_cast<std::int64_t>(inUse / kInUseBytesPerPlacement);
    for (SubPool* k = this; k != nullptr; k = static_cast<SubPool*>(k->chunk.next))
        MergeFreeAreas(*this, k, MergeMethod::AddressWalk);
    return true;
}

} // namespace qor
