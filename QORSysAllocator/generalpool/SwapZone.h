// The general pool as a swap file's zone: the few calls the swap file makes on its pool. A zone
// block is a general-pool block: kZoneHeaderBytes in front of it hold its owner word (the chunk
// that holds it, with flag bits 0 and 1) and its size (those bytes included). Nothing else of the
// pool is visible to the swap file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class QORSysSwapFile;

namespace qor {
class CheckResult;
}

namespace qor::zone {

constexpr std::size_t kZoneHeaderBytes = 16;
// The low bits of an owner word that are flags rather than address.
constexpr std::uintptr_t kOwnerFlagBits = 0x3;
constexpr std::uintptr_t kOwnerInUseBit = 0x1;

// Attaches `file` to the general pool `zone` (null detaches it). False when `zone` is null or is
// not a pool that takes a swap file.
bool AttachSwapFile(void* zone, QORSysSwapFile* file);

// A block of `bytes` bytes straight from the zone's pool, whatever the configuration (pools
// inactive or cancelled) or instrumentation (a delta) says, so that every object has the pool's
// header right in front of it. Null when the pool has no room. Costs one virtual call.
// Requires: `zone` is a general pool.
void* Allocate(void* zone, std::size_t bytes);

// Joins the zone's adjacent free areas and lists them all again (the address walk), when its free
// bytes would hold a block of `bytes` bytes: a zone never adds a chunk, and its releases and first
// fit leave free bytes in pieces that no request sees. False when nothing was done: reclaim is
// off (QORSysAllocatorReclaim=OFF), or the free bytes are too few. Cost: a walk of the zone's
// blocks. Requires: `zone` is a general pool.
bool MergeFreeAreas(void* zone, std::size_t bytes);

// Joins the free piece of `block`, released since it came from Allocate, with the free pieces
// right behind it in its chunk, and lists the join first, so that the next Allocate takes it.
// False when nothing was joined: reclaim is off, the piece is in use again or has no free piece
// behind it. Cost: the pieces joined and one pass over the chunk's free list, where
// MergeFreeAreas walks every block of the zone. Requires: `zone` is a general pool.
bool JoinBehind(void* zone, const void* block);

// The room that releasing `block` would open, once merged: its own bytes and those of the free
// pieces right behind it in its chunk (those in front of it are not known). Cost: one header read
// per piece passed. Requires: `block` came from Allocate.
std::uint64_t RoomIfReleased(const void* block);

// The general pool's checker on the zone. Requires: `zone` is a general pool.
bool CheckInvariants(void* zone, CheckResult& result);

// Gives a zone block back to the chunk that holds it. Null allowed; a block without a pool owner
// is left alone. Costs one virtual call.
void Release(void* block);

// The block's size, its header included. One load.
// Requires: `block` came from Allocate.
inline std::uint64_t BlockBytes(const void* block) {
    std::uint64_t bytes;
    std::memcpy(&bytes, static_cast<const char*>(block) - sizeof(bytes), sizeof(bytes));
    return bytes;
}

// The owner word a block of `zone` carries once it has left its chunk (a swap record): the pool
// itself, whichever chunk held the block, marked in use.
inline std::uintptr_t DetachedOwnerWord(const void* zone) {
    return reinterpret_cast<std::uintptr_t>(zone) | kOwnerInUseBit;
}

// Whether `ownerWord` names `zone`, whatever its flag bits.
inline bool OwnerIsZone(std::uint64_t ownerWord, const void* zone) {
    return (ownerWord & ~std::uint64_t{kOwnerFlagBits}) == reinterpret_cast<std::uintptr_t>(zone);
}

} // namespace qor::zone
