// Placement and release in a general pool.
// Plain placement: first fit touching only `free` and the list head (areas in front of the fit
// drop out of the list until a reset or an address-walk merge). Tracked placement: first fit that
// keeps the list exact and freeAreaCount, pieceCount and largestFreeArea true, where
// largestFreeArea == kLargestUnknown means "not known, do not skip this chunk".
// Every piece is a multiple of 8 bytes; a split never leaves a free area below 24 bytes.
#include "GeneralPool.h"

#include "../core/Hooks.h"
#include "../core/LiveObjects.h"
#include "../platform/Sanitizers.h"

namespace qor {

namespace {

using namespace placement;

constexpr std::uint64_t kArenaHeaderBytes = SubPool::kHeaderBytes;

// Piece size for `size` bytes plus `extra` reserved bytes plus the header; 0 when out of range.
inline std::uint64_t Need8(std::size_t size, std::size_t extra) {
    if (size > kMaxNeed8 || extra > kMaxNeed8) return 0;
    const std::uint64_t need = size + extra + kBlockHeaderBytes;
    return need > kMaxNeed8 ? 0 : Round8(need);
}

inline FreeArea* AreaAt(void* base, std::uint64_t offset) {
    return reinterpret_cast<FreeArea*>(static_cast<char*>(base) + offset);
}

inline BlockHeader* MarkInUse(FreeArea* area, void* chunkBase) {
    auto* header = reinterpret_cast<BlockHeader*>(area);
    header->ownerWord = reinterpret_cast<std::uintptr_t>(chunkBase) | kOwnerInUse;
    return header;
}

// Cost: one pass over the list until the first fit, none when the areas' bounds rule the list
// out; no counter upkeep.
BlockHeader* PlainTake(void* chunkBase, std::uint64_t need8) {
    ChunkFields& k = *FieldsOf(chunkBase);
    if (k.free < need8) return nullptr;
    // The bounds end the walk, with nothing changed, once no area ahead can fit.
    for (FreeArea* area = k.freeList; SuffixBound(area) >= need8; area = area->next)
        if (area->size >= need8) return TakeFromList(k, area, need8, chunkBase);
    return nullptr;
}

// The largest area is known again after a fit when the areas passed include one of at least half
// the remaining free bytes (no other area can be larger); otherwise it becomes unknown.
inline void UpdateLargestAfterTake(ChunkFields& k, std::uint64_t takenAreaBytes,
                                   std::uint64_t largestPassed) {
    if (takenAreaBytes != k.largestFreeArea) return;
    k.largestFreeArea = largestPassed >= (k.free >> 1) ? static_cast<std::uint32_t>(largestPassed)
                                                       : kLargestUnknown;
}

// The first fit of a list too large for the index: one pass that keeps the predecessor.
FreeArea* WalkToFirstFit(const ChunkFields& k, std::uint64_t need8, FitPath& path) {
    path.largestPassed = 0;
    path.pred = nullptr;
    for (FreeArea* area = k.freeList; area != nullptr; path.pred = area, area = area->next) {
        if (area->size >= need8) return path.found = area;
        if (area->size > path.largestPassed) path.largestPassed = area->size;
    }
    return nullptr;
}

inline FreeArea*& LinkTo(ChunkFields& k, const FitPath& path) {
    return path.pred != nullptr ? path.pred->next : k.freeList;
}

// Cost: skipped in O(1) when `free` or a known largestFreeArea rules the chunk out; otherwise the
// index's search and repair, about log(position of the fit) areas (a walk to the fit in a list
// without the index).
BlockHeader* TrackedTake(void* chunkBase, std::uint64_t need8) {
    ChunkFields& k = *FieldsOf(chunkBase);
    if (k.free < need8 || (k.largestFreeArea != kLargestUnknown &&
                           k.largestFreeArea < static_cast<std::uint32_t>(need8)))
        return nullptr;
    FitPath path;
    const bool indexed = SpanIndexable(k);
    FreeArea* area = indexed ? FindFirstFit(k, need8, path) : WalkToFirstFit(k, need8, path);
    if (area == nullptr) {
        k.largestFreeArea = static_cast<std::uint32_t>(path.largestPassed);
        return nullptr;
    }
    const std::uint64_t areaBytes = area->size;
    std::uint64_t largestPassed = path.largestPassed;
    if (areaBytes <= need8 + kSplitSlack) {
        if (indexed)
            UnlinkFound(k, path);
        else
            LinkTo(k, path) = area->next;
        --k.freeAreaCount;
        k.free -= areaBytes;
    } else {
        FreeArea* rest;
        if (indexed) {
            rest = ReplaceFound(k, path, need8);
        } else {
            rest = AreaAt(area, need8);
            rest->next = area->next;
            rest->size = areaBytes - need8;
            SetSuffixBound(rest);
            LinkTo(k, path) = rest;
        }
        if (rest->size > largestPassed) largestPassed = rest->size;
        k.free -= need8;
        ++k.pieceCount;
        area->size = need8;
    }
    UpdateLargestAfterTake(k, areaBytes, largestPassed);
    return MarkInUse(area, chunkBase);
}

// Requires: `extra` leaves room for the arena header and the object's header.
void* LayOutArena(BlockHeader* outer, PoolBase* pool, std::size_t size, std::size_t extra) {
    const std::uint64_t objectPiece = Round8(size) + kBlockHeaderBytes;
    outer->ownerWord |= kOwnerArena;
    // The arena's `next` word is the outer block's size word: it is left as it is.
    ChunkFields& arena = *FieldsOf(outer);
    arena.size = size + extra;
    arena.free = size + extra - objectPiece - kArenaHeaderBytes;
    FreeArea* area = AreaAt(outer, kArenaHeaderBytes + objectPiece);
    area->next = nullptr;
    area->size = arena.free;
    arena.freeList = area;
    platform::PoisonPoolBytes(area, arena.free);
    platform::UnpoisonPoolBytes(outer, kArenaHeaderBytes); // a chunk header, as every chunk's
    arena.owner = pool;
    BoundOneArea(arena);
    arena.freeAreaCount = 1;
    arena.pieceCount = 1;
    arena.largestFreeArea = static_cast<std::uint32_t>(arena.free);
    arena.flags = 0;
    checks::NoteLiveIfChecked(outer, checks::LiveKind::Arena);
    auto* object = reinterpret_cast<BlockHeader*>(AreaAt(outer, kArenaHeaderBytes));
    object->ownerWord = reinterpret_cast<std::uintptr_t>(outer) | kOwnerInUse;
    object->sizeWord = objectPiece;
    return object + 1;
}

inline bool IsArena(const ChunkFields& k) { return k.flags == 0; }

} // namespace

BlockHeader* GeneralPool::TakeIn(void* chunkBase, std::uint64_t need8) {
    return (chunk.flags & QORSysPoolFlag::TRACKED_FREE_LIST) ? TrackedTake(chunkBase, need8)
                                                             : PlainTake(chunkBase, need8);
}

BlockHeader* GeneralPool::TrackedFitOnward(SubPool* start, std::uint64_t need8) {
    for (SubPool* k = start; k != nullptr; k = static_cast<SubPool*>(k->chunk.next)) {
        if (BlockHeader* block = TrackedTake(k, need8)) {
            currentChunk = k;
            return block;
        }
        if (k == currentChunk) currentChunk = nullptr;
    }
    return nullptr;
}

// The pool's own method over the whole chain, from the pool.
BlockHeader* GeneralPool::FirstFitInChain(std::uint64_t need8) {
    if (chunk.flags & QORSysPoolFlag::TRACKED_FREE_LIST) return TrackedFitOnward(this, need8);
    for (SubPool* k = this; k != nullptr; k = static_cast<SubPool*>(k->chunk.next))
        if (BlockHeader* block = PlainTake(k, need8)) return block;
    return nullptr;
}

// Requires: the pool's lock is held.
BlockHeader* GeneralPool::AllocateLocked(std::uint64_t need8) {
    // Only the search's placements count, not the fast paths'. The count stops at 0 (a merge is
    // due): a small pool below the reclaim floor searches without merging for as long as it runs,
    // and a count that went on down would wrap after 2^31 placements and put reclaim off for as
    // many again.
    reclaimPlacementsDue -= reclaimPlacementsDue > 0;
    BlockHeader* block = PlaceOrGrow(need8);
    if (block != nullptr) NoteReach(block);
    return block;
}

BlockHeader* GeneralPool::PlaceOrGrow(std::uint64_t need8) {
    const bool tracked = (chunk.flags & QORSysPoolFlag::TRACKED_FREE_LIST) != 0;
    if (tracked && (chunk.flags & QORSysPoolFlag::CURRENT_SUBPOOL_HINT) && currentChunk != nullptr)
        if (BlockHeader* block = TrackedTake(currentChunk, need8)) return block;
    if (BlockHeader* block = FirstFitInChain(need8)) return block;
    if (Reclaim() || (tracked && DoubtSkippedChunks(need8)))
        if (BlockHeader* block = FirstFitInChain(need8)) return block;
    if (chunk.flags & QORSysPoolFlag::NO_NEW_SUBPOOL) return nullptr;
    SubPool* added = AddChunk(need8);
    if (added == nullptr) return nullptr;
    lastChunkReachKiB = 0;
    return tracked ? TrackedFitOnward(added, need8) : PlainTake(added, need8);
}

void* GeneralPool::Allocate(std::size_t size, std::size_t extra) {
    PoolLockGuard guard(*this);
    return debug::AfterOperation(*this, "an allocation", AllocateHeld(size, extra));
}

void* GeneralPool::AllocateHeld(std::size_t size, std::size_t extra) {
    platform::MemcheckQuiet quiet;
    const std::uint64_t need8 = Need8(size, extra);
    if (need8 == 0) return nullptr;
    // An arena needs room for its 64-byte header and the object's own header inside `extra`.
    if (extra != 0 && extra < Round8(size) + kBlockHeaderBytes - size + kArenaHeaderBytes)
        return nullptr;
    BlockHeader* block = AllocateLocked(need8);
    if (block == nullptr) return nullptr;
    return platform::ExposeGeneralBlock(
        extra == 0 ? static_cast<void*>(block + 1) : LayOutArena(block, this, size, extra), size);
}

void* GeneralPool::Reallocate(std::size_t size, void*, void* chunkBase) {
    platform::MemcheckQuiet quiet;
    const std::uint64_t need8 = Need8(size, 0);
    if (need8 == 0) return nullptr;
    {
        PoolLockGuard guard(*this);
        void* target = chunkBase != nullptr ? chunkBase : static_cast<void*>(this);
        if (BlockHeader* block = TakeIn(target, need8)) {
            if ((chunk.flags & QORSysPoolFlag::TRACKED_FREE_LIST) && !IsArena(*FieldsOf(target)))
                currentChunk = static_cast<SubPool*>(target);
            return debug::AfterOperation(*this, "a reallocation",
                                         platform::ExposeGeneralBlock(block + 1, size));
        }
    }
    return Allocate(size, 0);
}

void GeneralPool::Free(void* block, void* chunkBase) {
    platform::MemcheckQuiet quiet;
    if (chunkBase == nullptr && block != nullptr) {
        // The header needs no lock: the block is the caller's until this call returns.
        const std::uintptr_t owner = HeaderOf(block)->ownerWord & ~kOwnerBits;
        if (owner == kInvalidOwner) {
            if (hooks::On())
                hooks::QORSignalInvalidPtr(block, -1, reinterpret_cast<std::uintptr_t>(this),
                                           kInvalidOwner, "Deall");
            return;
        }
        chunkBase = reinterpret_cast<void*>(owner);
    }
    if (block == nullptr) {
        if (hooks::On())
            hooks::QORSignalInvalidPtr(nullptr, -1, reinterpret_cast<std::uintptr_t>(this),
                                       reinterpret_cast<std::uintptr_t>(chunkBase), "Deall");
        return;
    }
    if (chunkBase == nullptr) return; // a heap block: not ours to release

    PoolLockGuard guard(*this);
    ChunkFields& k = *FieldsOf(chunkBase);
    const std::uint64_t pieceBytes = HeaderOf(block)->sizeWord;
    // An arena is compared with its exact span, so it resets only when every block in it, the
    // object that carries it included, has come back.
    const std::uint64_t span = IsArena(k) ? k.size : k.size & kChunkSizeMask;
    if (k.free + pieceBytes + HeaderBytesOf(chunkBase) >= span) {
        // A reset lists the chunk as one area, and the released block's header, now inside it,
        // would still read as in use: checked mode clears its in-use bit, the bit by which every
        // other released piece already shows that it is free (its first word is a list link).
        if (State().config.checks) [[unlikely]]
            HeaderOf(block)->ownerWord &= ~kOwnerInUse;
        ResetChunk(chunkBase);
    } else {
        if (k.owner->chunk.flags & QORSysPoolFlag::TRACKED_FREE_LIST) // the list's own pool
            PushTracked(k, block, pieceBytes);
        else
            PushOnList(k, block, pieceBytes);
        platform::PoisonPoolBytes(HeaderOf(block), pieceBytes);
    }
    debug::AfterOperation(*this, "a release");
}

} // namespace qor
