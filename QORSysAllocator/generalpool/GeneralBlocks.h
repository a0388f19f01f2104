// What a general pool answers about a block, for the entry points, checked mode and the hook
// libraries, so that none of them reads a chunk's layout: the chunk and pool that hold a block,
// the block's size, and whether a pool holds any block. A general (or heap) block carries its
// 16-byte header: ownerWord & ~kOwnerBits is its chunk or arena (0: a heap block), sizeWord the
// whole piece. Invariant: a live pool holds no block <=> free + header >= masked size for each of
// its chunks, the header being kPoolHeaderBytes for the pool's own chunk, 64 for the others.
#pragma once

#include "../core/PoolInterface.h"
#include "../core/ReadPermit.h"

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

// True when a piece whose size word is `bytes` fits the `room` left before its chunk's end: a
// whole number of 8-byte units from 16 on, or, as an arena's last piece, the rest whatever its
// size (an arena spans size + extra bytes, any number). The walks that trust no size word (the
// checker, checked mode's diagnosis, the map) stop at the first piece that does not fit.
inline bool PieceFits(std::uint64_t bytes, std::uint64_t room, bool arena) {
    if (bytes == 0 || bytes > room) return false;
    return (arena && bytes == room) || (bytes >= kBlockHeaderBytes && (bytes & 7) == 0);
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

// Checked mode's proofs and diagnosis (GeneralBlockCheck.cpp): what a block's header and the pieces
// of the chunk that holds an address say. A chunk is trusted once the registry knows it; a size
// word is followed only when it fits its chunk.

enum class HeaderState : std::uint8_t {
    Unreadable,  // the permit refused the 16 bytes in front of the block
    FreeArea,    // bit 0 of the owner word is clear
    HeapBlock,   // in use, naming no chunk
    NoLiveChunk, // names `chunk`, which the registry knows as no chunk, arena or general pool
    Misfit,      // the size word does not fit live `chunk` (a whole number of 8-byte units from
                 // 16 on, past the chunk's header, ending inside it; an arena's last piece any)
    Fits,        // in use, inside live `chunk`
};

// Invariant: state >= FreeArea => the words are the header's, copied once.
struct HeaderVerdict {
    HeaderState state = HeaderState::Unreadable;
    std::uint64_t ownerWord = 0, sizeWord = 0;
    void* chunk = nullptr;        // ownerWord & ~kOwnerBits
    PoolBase* pool = nullptr;     // Misfit, Fits: the chunk's pool
    std::uint64_t chunkBytes = 0; // Misfit: the chunk's span
    std::uint64_t offset = 0;     // Misfit: the header's offset in the chunk
    std::uint64_t BlockBytes() const { return sizeWord - kBlockHeaderBytes; }
};

// Reads the header once `permit` allows it, and the chunk's fields once the registry knows it.
HeaderVerdict ProveHeader(const void* block, ReadPermit permit);

enum class Where : std::uint8_t {
    Nowhere,     // in no general pool's chunk
    ChunkHeader, // in the header of `chunk`
    BlockStart,  // `piece` is the header right in front of the address
    InsidePiece, // inside `piece` (its header included), not at its start
    Damaged,     // `piece`, at or before the address's header, has a size that does not fit
};

// A piece as the walk read it.
struct Piece {
    const void* block = nullptr; // 16 bytes past the piece's header; null: no piece
    std::uint64_t ownerWord = 0, sizeWord = 0;
    bool Free() const { return (ownerWord & kOwnerInUse) == 0; }
    std::uint64_t Bytes() const { return sizeWord - kBlockHeaderBytes; }
};

struct Spot {
    Where where = Where::Nowhere;
    const void* chunk = nullptr; // the chunk or arena that holds the address
    const PoolBase* pool = nullptr;
    Piece piece;
    Piece previous; // the piece in front of `piece`; none for the first
    // BlockStart: `piece` reads as a free area and the pieces from it tile the chunk to its end.
    bool soundFreeArea = false;
};

// Where `address` lies among the pieces of the live general pools' chunks (and their arenas): a
// walk of the pool registry and of the pieces of one chunk up to the address (the pieces tile a
// chunk, so each piece's size word leads to the next). Without the pools' locks: for a stop only.
Spot Locate(const void* address);

} // namespace qor::general
