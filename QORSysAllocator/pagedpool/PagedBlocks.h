// What a paged pool answers about a block, for the entry points, checked mode and the hook
// libraries, so that none of them reads a page descriptor: the block's owner, whether it is a
// position its page handed out, its size, and whether a pool holds any block. A paged block has no
// header: its page's descriptor (PageObjectOf(block)) names its pool and its size class.
// Invariant: OwnerOf(block) != null => the descriptor's owner is a paged pool (its owner field
// names itself); ExaminePage(block).state >= Idle => OwnerOf(block) == ExaminePage(block).owner.
#pragma once

#include "../core/PoolArgument.h"
#include "../core/PoolInterface.h"
#include "../core/ReadPermit.h"
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

// Checked mode's proofs and diagnosis (PagedBlocks.cpp): what the descriptor of an address's page
// says. Its positions and released chain are trusted only once its owner is a live paged pool.

enum class PageState : std::uint8_t {
    Unreadable, // the permit refused the descriptor: only pageStart is known
    Unowned,    // the descriptor names no live paged pool (`owner`: what it names)
    Idle,       // the page holds no block in use (no class, or not in use)
    Outside,    // a page in use, but the address is on no position it handed out
    InBlock,    // inside `block`, a position the page handed out, past its start
    AtPosition, // the address is a position the page handed out (`block` == the address)
};

// Invariant: state >= Unowned => owner and blockBytes are the descriptor's; state >= Idle =>
// owner is a live paged pool; state >= InBlock => pageStart <= block < pageStart + 4096.
// Four words: the state, the flag and the class share the first.
struct PageVerdict {
    PageState state = PageState::Unreadable;
    bool released = false;        // InBlock, AtPosition: `block` is on the page's released chain
    std::uint16_t blockBytes = 0; // the page's class
    const char* pageStart = nullptr;
    PagedPool* owner = nullptr;  // as the descriptor names it
    const char* block = nullptr; // InBlock, AtPosition: the block that holds the address
};

// Reads the descriptor of `address`'s page once `permit` allows it; its owner is live when it is
// `provenOwner` (a live paged pool the caller has proved, or null) or the registry says so. Then
// reads the block's first word (AtPosition, InBlock: on the same page). A block of 8 bytes or more
// that lacks the markers every release writes into it is not looked for on the released chain, so
// the chain's walk (bounded by its count, stopped at a link that leaves the page) runs only for
// blocks that look released.
PageVerdict ExaminePage(const void* address, ReadPermit permit,
                        const PagedPool* provenOwner = nullptr);

} // namespace qor::paged
