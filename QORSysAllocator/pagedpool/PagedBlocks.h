// What a paged pool answers about a block, for the entry points, checked mode and the hook
// libraries, so that none of them reads a page descriptor: the block's owner, whether it is a
// position its page handed out, its size, and whether a pool holds any block. A paged block has no
// header: its page's descriptor (PageObjectOf(block)) names its pool and its size class.
// Invariant: OwnerOf(block) != null => the descriptor's owner is a paged pool (its owner field
// names itself); HandedOutBy(block) != null => OwnerOf(block) == HandedOutBy(block).
#pragma once

#include "../core/PoolArgument.h"
#include "../core/PoolInterface.h"
#include "PageObject.h"
#include "Region.h"

#include <cstdint>

namespace qor::paged {

// The pool named by the descriptor of the block's page, or null. A caller that gives the paged
// flag with a block of another kind finds any bytes there: only a descriptor that a page can have
// (index, free-page link) naming a paged pool is followed, so the mistake is ignored (an aligned
// owner address of unmapped memory still faults). A few compares, on cache lines that the release
// reads anyway.
inline PagedPool* OwnerOf(const void* block) {
    const PageObject& page = *PageObjectOf(block);
    PagedPool* pool = page.owner;
    const bool descriptor = !IsPoolNumber(pool) &&
                            (reinterpret_cast<std::uintptr_t>(pool) & 7) == 0 &&
                            page.index < kPagesPerRegion && page.nextFreePage <= kPageInUse;
    if (descriptor && FieldsOf(pool)->owner == static_cast<void*>(pool) &&
        (FieldsOf(pool)->flags & kFlagPaged))
        return pool;
    return nullptr;
}

// Whether the block sits on a position of its page. Outside the pool's lock (a thread's cache
// asks): bounded by the page's capacity, which stays while the page serves its class.
// Requires: OwnerOf(block) != null.
inline bool IsPosition(const void* block) {
    const auto offset =
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(block) & (kPageBytes - 1));
    return IsPositionOffset(*PageObjectOf(block), offset);
}

// The block's size class, which its page serves. Requires: OwnerOf(block) != null.
inline unsigned BlockBytes(const void* block) { return PageObjectOf(block)->blockSize; }

// HoldsNoBlock of a paged pool from its chunk fields alone (PagedPool.h gives them their
// meaning: size = page bytes, free = free bytes, largestFreeArea = bytes in use).
inline bool HoldsNoBlock(const ChunkFields& fields) {
    const std::uint64_t pageBytes = fields.size, freeBytes = fields.free;
    const std::uint32_t bytesInUse = fields.largestFreeArea;
    return !(pageBytes != 0 && freeBytes < pageBytes && bytesInUse != 0);
}

// Checked mode's proofs and diagnosis (PagedBlocks.cpp); they trust no pointer but the registry.

// The live paged pool that handed out `block`, when its page says so: the descriptor names a
// live paged pool, the page is in use and the block sits on one of its handed-out positions.
// Null otherwise. Reads only the block's own page, once it may be read.
PagedPool* HandedOutBy(const void* block);

// True when `block` is on the chain of released blocks of its page. Bounded by the chain's count
// and stopped at a link that leaves the page. A block of 8 bytes or more that lacks the markers
// every release writes into it is not on the chain (unless written over after its release), so
// the walk, as long as the chain, runs only for blocks that look released.
bool IsOnReleasedChain(const PageObject& page, const void* block);

} // namespace qor::paged
