// A pool of chunks, each carved into pieces (blocks with a 16-byte header, or free areas) with a
// free list per chunk. The pool object is the header of its own first chunk.
// Invariants, per chunk K: the pieces after K's header tile K exactly up to K.size;
// K.free == sum of K's free areas (listed or not); free + header <= size, header being 112 for
// the pool's own chunk and 64 otherwise; currentChunk is null or a chunk of the chain.
#pragma once

#include "../core/DebugTier.h"
#include "../core/PoolInterface.h"
#include "../platform/Sanitizers.h"
#include "FreeList.h"
#include "GeneralBlocks.h"
#include "TrackedIndex.h"

#include <cstddef>
#include <cstdint>

namespace qor {

class GeneralPool final : public PoolBase {
public:
    static constexpr std::size_t kPoolHeaderBytes = general::kPoolHeaderBytes;
    static constexpr std::size_t kArenaOverheadBytes = 80;

    // Requires: `this` is the start of memory from AllocateChunkMemory(size, 1).
    GeneralPool(std::size_t size, std::uint32_t flags, const char* name);

    int IsEmpty() override;
    std::size_t GetBlockSize(void* block) override;
    void* Allocate(std::size_t size, std::size_t extra) override;
    void* Reallocate(std::size_t size, void* block, void* chunk) override;
    void Free(void* block, void* chunk) override;
    int Flush(int mode) override;
    int Optimize(int bits) override;
    std::size_t GetStructSize() override;
    void Report(FILE* stream, QORPoolInfo* record, int options) override;
    int CanAttachSwapFile(QORSysSwapFile* swapFile) override;

    // The entry points' fast paths (defined below): null or false when the request is not the
    // common case, which Allocate and Free then serve with the same result. Requires: the
    // pool's lock is held, when the pool has one.
    [[gnu::always_inline]] void* TryTakeHead(std::size_t size);
    // Allocate with the pool's lock already held (when it has one).
    void* AllocateHeld(std::size_t size, std::size_t extra);
    bool TryPush(void* block, void* chunkBase);

    // Links a new chunk able to hold a piece of `need` bytes after lastChunk; null when no size
    // between the preferred one and `need` can be obtained (the pool is then unchanged).
    SubPool* AddChunk(std::size_t need);

    // Header size of a chunk of this pool: 112 for the pool's own chunk, 64 for the others.
    std::size_t HeaderBytesOf(const void* chunk) const {
        return chunk == this ? kPoolHeaderBytes : SubPool::kHeaderBytes;
    }

    SubPool* lastChunk = nullptr;
    SubPool* currentChunk = nullptr;
    QORSysSwapFile* swapFile = nullptr;
    // Reclaim's state (Reclaim.cpp), in the header's last, otherwise unused, word: placements
    // through the search still due before the next merge, and how far (KiB from its start)
    // placements have reached into the last chunk: its memory beyond has never been touched.
    std::int32_t reclaimPlacementsDue = 0;
    std::uint32_t lastChunkReachKiB = 0;

private:
    friend class GeneralPoolTestAccess;
    ~GeneralPool();

    BlockHeader* AllocateLocked(std::uint64_t need8);
    void* TryTakeTracked(std::size_t size);
    BlockHeader* PlaceOrGrow(std::uint64_t need8);
    BlockHeader* FirstFitInChain(std::uint64_t need8);
    // Reclaim (Reclaim.cpp): merges the chain when the free bytes in its touched memory are worth
    // it; true when it merged. Called before the pool grows and when a placement first reaches
    // into untouched memory of the last chunk (NoteReach).
    bool Reclaim();
    void NoteReach(const BlockHeader* block);
    // Before a tracked pool grows (Reclaim.cpp): marks unknown the largest area of every chunk that
    // a known largest below need8 ruled out though its free bytes could hold the piece; true when
    // it marked one, and the search is then worth running again.
    bool DoubtSkippedChunks(std::uint64_t need8);
    BlockHeader* TakeIn(void* chunk, std::uint64_t need8);
    BlockHeader* TrackedFitOnward(SubPool* start, std::uint64_t need8);
    void ReleaseChunksAfterPool();
    void ResetChunk(void* chunk);
};

namespace placement {

// need8 is a 32-bit quantity: larger requests are refused before they reach a chunk.
constexpr std::uint64_t kMaxNeed8 = 0x7FFFFFF8;
constexpr std::uint64_t kSplitSlack = 16; // a split remainder must exceed this

constexpr std::uint64_t Round8(std::uint64_t bytes) { return (bytes + 7) & ~std::uint64_t{7}; }

// Bounds a list of one area: its suffix bound, or the index when the list carries one.
// Requires: K's owner is set.
inline void BoundOneArea(ChunkFields& k) {
    if (IsIndexed(k))
        RebuildIndex(k);
    else
        SetSuffixBound(k.freeList);
}

// Hands out `area` (its size >= need8) from the head of chunk K's list: a split when the rest
// would exceed the slack, else the whole area. The areas in front of it are no longer listed.
inline BlockHeader* TakeFromList(ChunkFields& k, FreeArea* area, std::uint64_t need8,
                                 void* chunkBase) {
    const std::uint64_t areaBytes = area->size;
    if (areaBytes > need8 + kSplitSlack) {
        auto* rest = reinterpret_cast<FreeArea*>(reinterpret_cast<char*>(area) + need8);
        rest->next = area->next;
        rest->size = areaBytes - need8;
        SetSuffixBound(rest);
        k.freeList = rest;
        k.free -= need8;
        area->size = need8;
    } else {
        k.freeList = area->next;
        k.free -= areaBytes;
    }
    auto* header = reinterpret_cast<BlockHeader*>(area);
    header->ownerWord = reinterpret_cast<std::uintptr_t>(chunkBase) | kOwnerInUse;
    return header;
}

} // namespace placement

// The entry points' fast path for no reserved room. A plain pool: when the head area of the
// pool's own chunk fits, first fit takes it, whatever the rest of the chain holds. A tracked pool:
// when the pool's own chunk shows that it holds a fitting area, the search runs (from the hinted
// chunk, as always) without the route to it. Null when the case is not this one; Allocate then
// decides (and gives the same answer).
inline void* GeneralPool::TryTakeHead(std::size_t size) {
    platform::MemcheckQuiet quiet;
    using namespace placement;
    if (chunk.flags & QORSysPoolFlag::TRACKED_FREE_LIST) return TryTakeTracked(size);
    if (size > kMaxNeed8 - kBlockHeaderBytes) return nullptr;
    const std::uint64_t need8 = Round8(size + kBlockHeaderBytes);
    FreeArea* head = chunk.freeList;
    if (head == nullptr || head->size < need8 || chunk.free < need8) return nullptr;
    return debug::AfterOperation(
        *this, "an allocation",
        platform::ExposeGeneralBlock(TakeFromList(chunk, head, need8, this) + 1, size));
}

inline void* GeneralPool::TryTakeTracked(std::size_t size) {
    using namespace placement;
    if (size > kMaxNeed8 - kBlockHeaderBytes) return nullptr;
    const std::uint64_t need8 = Round8(size + kBlockHeaderBytes);
    // A known largest area is never larger than the largest listed one: the search finds a fit
    // in the chain without adding a chunk.
    if (chunk.largestFreeArea == kLargestUnknown || chunk.largestFreeArea < need8) return nullptr;
    BlockHeader* block = AllocateLocked(need8);
    return debug::AfterOperation(*this, "an allocation",
                                 block != nullptr ? platform::ExposeGeneralBlock(block + 1, size)
                                                  : nullptr);
}

// The release fast path, `chunkBase` being the block's chunk (or arena) as
// its header names it: false when the release would empty the chunk (Free then resets it).
// Requires: this pool owns the chunk. A tracked pool's push (its index) is out of line.
inline bool GeneralPool::TryPush(void* block, void* chunkBase) {
    platform::MemcheckQuiet quiet;
    ChunkFields& k = *FieldsOf(chunkBase);
    const std::uint64_t pieceBytes = HeaderOf(block)->sizeWord;
    // An arena (flags 0) is compared with its exact span.
    const std::uint64_t span = k.flags == 0 ? k.size : k.size & kChunkSizeMask;
    if (k.free + pieceBytes + HeaderBytesOf(chunkBase) >= span) return false;
    if (chunk.flags & QORSysPoolFlag::TRACKED_FREE_LIST)
        placement::PushTracked(k, block, pieceBytes);
    else
        placement::PushOnList(k, block, pieceBytes);
    platform::PoisonPoolBytes(HeaderOf(block), pieceBytes);
    return debug::AfterOperation(*this, "a release", true);
}

// Stores the swap file in a pool that accepts one. Returns -1 (and changes nothing) for a null
// pool or a pool whose CanAttachSwapFile answers 0, else 0.
int SetPoolSwapFile(PoolBase* pool, QORSysSwapFile* swapFile);

// The memory of a new general pool and the pool built in it; null when malloc fails.
GeneralPool* CreateGeneralPool(std::size_t size, std::uint32_t flags, const char* name);

} // namespace qor
