// What checked mode says once a proof has failed: a pool by its kind and name, and where an
// address lies among the pieces of the general pools' chunks or the blocks of a paged page. Only
// the stops call these: a look-up walks the registry and the pieces of one chunk up to the address
// (the pieces tile a chunk, so each piece's size word leads to the next).
#pragma once

#include "../core/PoolInterface.h"

#include <cstddef>
#include <cstdint>

namespace qor::checks {

// A pool as the messages name it: `<kind> "<name>" at <address>`, the kind being "fixed pool 1",
// "fixed pool 4", "fixed pool 32", "general pool", "tracked pool" or "paged pool"; without a
// noted name `<kind> at <address>`; " (destroyed)" follows for a pool that no longer lives there;
// `pool at <address>` when no pool was noted there.
struct PoolText {
    explicit PoolText(const void* pool);
    char text[112];
};

// " (it held <kind> "<name>")" for an address where a pool was destroyed lately, else "".
struct DestroyedPoolText {
    explicit DestroyedPoolText(const void* pool);
    char text[80];
};

enum class Where : std::uint8_t {
    Nowhere,     // in no general pool's chunk
    ChunkHeader, // in the header of `chunk`
    BlockStart,  // `piece` is the header right in front of the address
    InsidePiece, // inside `piece` (its header included), not at its start
    Damaged,     // `piece`, at or before the address's header, has a size that does not fit
};

struct Spot {
    Where where = Where::Nowhere;
    void* chunk = nullptr; // the chunk or arena that holds the address
    const BlockHeader* piece = nullptr;
    const BlockHeader* previous = nullptr; // the piece in front of `piece`; null for the first
    // BlockStart: `piece` reads as a free area and the pieces from it tile the chunk to its end.
    bool soundFreeArea = false;
};

// Where `address` lies among the pieces of the general pools' chunks (and their arenas).
Spot Locate(const void* address);

// The pool of a spot's chunk.
inline const PoolBase* PoolOf(const Spot& spot) { return FieldsOf(spot.chunk)->owner; }

inline bool IsFreePiece(const BlockHeader* piece) { return (piece->ownerWord & kOwnerInUse) == 0; }

// A piece as "block <address> (<n> bytes, in use)", or "free now" for a free area.
struct PieceText {
    explicit PieceText(const BlockHeader* piece);
    char text[64];
};

// Where `address` lies, as a clause of a message about `who` ("it", "the pointer"): "<who> lies
// <n> bytes into block <address> (<n> bytes, in use) of <pool>" and the like, for a general pool's
// chunk or a paged pool's page in use; "no live pool holds <who>" otherwise. `released` tells
// whether that place is free memory or a released paged block.
void DescribeAddress(const char* who, const void* address, char* out, std::size_t bytes,
                     bool& released);

} // namespace qor::checks
