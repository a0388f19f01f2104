// The swap file's zone calls, on the general pool's own routines.
#include "SwapZone.h"

#include "../core/PoolCheck.h"
#include "../core/Runtime.h"
#include "../platform/Sanitizers.h"
#include "GeneralPool.h"
#include "MergeFreeAreas.h"

namespace qor::zone {

static_assert(kZoneHeaderBytes == sizeof(BlockHeader) && kOwnerFlagBits == kOwnerBits &&
                  kOwnerInUseBit == kOwnerInUse,
              "a zone block carries the general pool's block header");
static_assert(offsetof(BlockHeader, sizeWord) == kZoneHeaderBytes - sizeof(std::uint64_t),
              "the size word ends the header");

bool AttachSwapFile(void* zone, QORSysSwapFile* file) {
    return SetPoolSwapFile(static_cast<PoolBase*>(zone), file) == 0;
}

void* Allocate(void* zone, std::size_t bytes) {
    return static_cast<PoolBase*>(zone)->Allocate(bytes, 0);
}

bool MergeFreeAreas(void* zone, std::size_t bytes) {
    auto& pool = *static_cast<GeneralPool*>(zone);
    if (State().config.reclaimOff) return false;
    std::uint64_t freeBytes = 0;
    for (const SubPool* k = &pool; k != nullptr; k = static_cast<const SubPool*>(k->chunk.next))
        freeBytes += k->chunk.free;
    if (freeBytes < placement::Round8(bytes + kBlockHeaderBytes)) return false;
    for (SubPool* k = &pool; k != nullptr; k = static_cast<SubPool*>(k->chunk.next))
        MergeForReclaim(pool, k, false);
    pool.currentChunk = nullptr;
    return true;
}

bool JoinBehind(void* zone, const void* block) {
    platform::MemcheckQuiet quiet; // the free pieces are poisoned
    auto& pool = *static_cast<GeneralPool*>(zone);
    if (State().config.reclaimOff) return false;
    const auto at = reinterpret_cast<std::uintptr_t>(block) - kBlockHeaderBytes;
    for (SubPool* k = &pool; k != nullptr; k = static_cast<SubPool*>(k->chunk.next)) {
        const auto base = reinterpret_cast<std::uintptr_t>(k);
        if (at > base && at < base + (k->chunk.size & kChunkSizeMask))
            return MergeBehind(pool, k, reinterpret_cast<void*>(at));
    }
    return false;
}

std::uint64_t RoomIfReleased(const void* block) {
    const auto* header =
        reinterpret_cast<const BlockHeader*>(static_cast<const char*>(block) - kBlockHeaderBytes);
    const auto* holder = reinterpret_cast<const SubPool*>(header->ownerWord & ~kOwnerBits);
    const std::uintptr_t end =
        reinterpret_cast<std::uintptr_t>(holder) + (holder->chunk.size & kChunkSizeMask);
    std::uint64_t room = header->sizeWord;
    for (auto at = reinterpret_cast<std::uintptr_t>(header) + room; at < end;) {
        const auto* piece = reinterpret_cast<const BlockHeader*>(at);
        // A free piece starts with its list link, whose bit 0 is clear.
        if ((piece->ownerWord & kOwnerInUse) || piece->sizeWord < kBlockHeaderBytes) break;
        room += piece->sizeWord;
        at += piece->sizeWord;
    }
    return room;
}

bool CheckInvariants(void* zone, CheckResult& result) {
    return qor::CheckInvariants(*static_cast<GeneralPool*>(zone), result);
}

void Release(void* block) {
    if (block == nullptr) return;
    const std::uintptr_t owner = HeaderOf(block)->ownerWord & ~kOwnerBits;
    if (owner != 0 && owner != kInvalidOwner)
        ReleaseThroughOwner(reinterpret_cast<void*>(owner), block);
}

} // namespace qor::zone
