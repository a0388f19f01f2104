// What checked mode says once a proof has failed: a pool by its kind and name, and where an
// address lies among the pieces of the general pools' chunks or the blocks of a paged page, as
// the pools find it (general::Locate, paged::ExaminePage). Only the stops call these.
#pragma once

#include "../generalpool/GeneralBlocks.h"

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

// A piece as "block <address> (<n> bytes, in use)", or "free now" for a free area.
struct PieceText {
    explicit PieceText(const general::Piece& piece);
    char text[64];
};

// A permit for reads that only a sanitizer may forbid (a descriptor looked at on a guess, which
// the address's own page holds): pool poisoning may hide it.
bool SanitizerAllows(const void* context, const void* at, std::size_t bytes);
inline constexpr ReadPermit kSanitizerPermit{SanitizerAllows, nullptr};

// Where `address` lies, as a clause of a message about `who` ("it", "the pointer"): "<who> lies
// <n> bytes into block <address> (<n> bytes, in use) of <pool>" and the like, for a general pool's
// chunk or a paged pool's page in use; "no live pool holds <who>" otherwise. `released` tells
// whether that place is free memory or a released paged block.
void DescribeAddress(const char* who, const void* address, char* out, std::size_t bytes,
                     bool& released);

} // namespace qor::checks
