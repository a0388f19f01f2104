// What a general pool answers about a block, for the entry points, checked mode and the hook
// libraries, so that none of them reads a chunk's layout: the chunk and pool that hold a block,
// the block's size, and whether a pool holds any block. A general (or heap) block carries its
// 16-byte header: ownerWord & ~kOwnerBits is its chunk or arena (0: a heap block), sizeWord the
// whole piece. Invariant: a live pool holds no block <=> free + header >= masked size for each of
// its chunks, the header being kPoolHeaderBytes for the pool's own chunk, 64 for the others.
#pragma once

#include "../core/PoolInterface.h"

#include <cstddef>
#include <cstdint>

namespace qor::general {

// Header of a pool's own chunk: the chunk header and the pool's fields (GeneralPool).
constexpr std::size_t kPoolHeaderBytes = 112;

// The chunk (or arena) that a block's header names; null for a heap block. Requires: `block`
// has a header that was readable once (no check: a release trusts it).
inline void* ChunkOf(const void* block) {
    return reinterpret_cast<void*>(HeaderOf(const_cast<void*>(block))->ownerWord & ~kOwnerBits);
}

// The pool of a chunk, an arena included (its owner field names the pool). Requires: a chunk.
inline PoolBase* PoolOfChunk(void* chunk) { return FieldsOf(chunk)->owner; }

// True for an arena's own block (its owner word has kOwnerArena) and for a block inside an arena
// (an arena's flags are 0): such blocks belong to the object that carries the arena, not to the
// pool's traffic. Requires: `chunk` == ChunkOf(block), not null.
inline bool IsArenaBlock(const void* block, void* chunk) {
    return (HeaderOf(const_cast<void*>(block))->ownerWord & kOwnerArena) != 0 ||
           FieldsOf(chunk)->flags == 0;
}

// The bytes of the piece a block heads, beyond its header.
inline std::uint64_t BlockBytes(const void* block) {
    return HeaderOf(const_cast<void*>(block))->sizeWord - kBlockHeaderBytes;
}

// IsEmpty of a general pool from its chunk fields alone, for callers that have no pool class to
// cast to (a hook library). Cost: one compare per chunk.
inline bool HoldsNoBlock(const ChunkFields& pool) {
    if (pool.free + kPoolHeaderBytes < (pool.size & kChunkSizeMask)) return false;
    for (void* k = pool.next; k != nullptr; k = FieldsOf(k)->next)
        if (FieldsOf(k)->free + SubPool::kHeaderBytes < (FieldsOf(k)->size & kChunkSizeMask))
            return false;
    return true;
}

} // namespace qor::general
