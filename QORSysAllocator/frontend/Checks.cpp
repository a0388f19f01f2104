// Checked mode's proofs. A header is trusted only once the chunk it names is in the registry; a
// page descriptor is read only from the block's own page (mapped whenever the block is); a pool
// argument only once the registry knows it. Every refusal goes through AbortWithMessage, like the
// pools' own fatal stops, with the likely mistake at the end of the text.
#include "Checks.h"

#include "../core/Hooks.h"
#include "../core/LiveObjects.h"
#include "../core/PoolCheck.h"
#include "../core/PoolInterface.h"
#include "../pagedpool/PageObject.h"
#include "../pagedpool/PagedPool.h"
#include "../platform/Sanitizers.h"
#include "FixedPools.h"

#include <cstdarg>
#include <cstdio>

namespace qor::checks {
namespace {

[[noreturn, gnu::format(printf, 1, 2)]] void Stop(const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    AbortWithMessage(text);
}

inline std::uintptr_t Value(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

inline bool IsPool(LiveKind kind) {
    return kind == LiveKind::GeneralPool || kind == LiveKind::PagedPool;
}

// The paged pool that handed out `block`, when the block's page says so: its descriptor names a
// live paged pool, the page is in use and the block sits on one of its handed-out positions.
// Null otherwise. Reads only the block's own page.
PagedPool* PagedOwnerOfPage(const void* block) {
    const PageObject& page = *PageObjectOf(block);
    if (!platform::MayRead(&page, sizeof page)) return nullptr;
    if (KindAt(page.owner) != LiveKind::PagedPool) return nullptr;
    if (page.blockSize == 0 || page.nextFreePage != kPageInUse || page.capacity == 0)
        return nullptr;
    const auto offset = static_cast<std::uint32_t>(Value(block) & (kPageBytes - 1));
    return IsCarvedOffset(page, offset) ? page.owner : nullptr;
}

// Stops when `block` was handed out by a paged pool: its header is then the previous block's
// bytes, whatever they hold.
void StopIfPaged(const void* block, const char* what, const char* entryPoint) {
    if (PagedPool* pool = PagedOwnerOfPage(block))
        Stop("Invalid release of block %p in %s: %s, but the block is on page %p of paged pool %p "
             "(class %u): released without the paged flag?",
             block, entryPoint, what, static_cast<const void*>(PageObjectOf(block)->PageStart()),
             static_cast<void*>(pool), unsigned{PageObjectOf(block)->blockSize});
}

// True when `block` is on the chain of released blocks of its page. Bounded by the chain's count
// and stopped at a link that leaves the page. A block of 8 bytes or more that lacks the markers
// every release writes into it is not on the chain (unless written over after its release), so
// the walk, as long as the chain, runs only for blocks that look released.
bool IsOnReleasedChain(const PageObject& page, const void* block) {
    if (page.blockSize >= 8) {
        std::uint64_t word;
        __builtin_memcpy(&word, block, sizeof word);
        if ((word >> 16) != (kReleasedMarkers >> 16)) return false;
    }
    const char* at = static_cast<const char*>(page.freeBlocks);
    for (unsigned i = 0; at != nullptr && i < page.freeCount; ++i) {
        if (at == block) return true;
        std::int16_t distance;
        __builtin_memcpy(&distance, at, sizeof(distance));
        if (distance == 0) break;
        at += distance;
        if ((Value(at) & kPageMask) != (Value(block) & kPageMask)) break;
    }
    return false;
}

// A paged block released into `pool` (a live paged pool).
void CheckPagedBlock(const void* block, PagedPool* pool, const char* entryPoint) {
    const PageObject& page = *PageObjectOf(block);
    const void* pageStart = page.PageStart();
    if (page.owner != pool)
        Stop("Invalid release of block %p to paged pool %p in %s: its page %p belongs to %p", block,
             static_cast<void*>(pool), entryPoint, pageStart, static_cast<void*>(page.owner));
    if (page.blockSize == 0 || page.nextFreePage != kPageInUse)
        Stop("Invalid release of block %p in %s: its page %p of paged pool %p holds no block "
             "in use: released twice?",
             block, entryPoint, pageStart, static_cast<void*>(pool));
    const auto offset = static_cast<std::uint32_t>(Value(block) & (kPageBytes - 1));
    if (!IsCarvedOffset(page, offset))
        Stop("Invalid release of block %p in %s: offset %u of page %p (paged pool %p, class %u) "
             "is not a block that the page handed out",
             block, entryPoint, offset, pageStart, static_cast<void*>(pool),
             unsigned{page.blockSize});
    if (IsOnReleasedChain(page, block))
        Stop("Invalid release of block %p in %s: page %p of paged pool %p (class %u) has it among "
             "its released blocks: released twice",
             block, entryPoint, pageStart, static_cast<void*>(pool), unsigned{page.blockSize});
}

// A block's header fits the live chunk (or arena) it names: past the chunk's header, a size word
// of whole 8-byte units (but for an arena's last piece) that ends inside the chunk.
void CheckFitsChunk(void* block, void* chunk, LiveKind kind, const char* entryPoint) {
    const ChunkFields& k = *FieldsOf(chunk);
    const std::uint64_t span = kind == LiveKind::Arena ? k.size : k.size & kChunkSizeMask;
    const std::uint64_t headerBytes =
        kind == LiveKind::GeneralPool ? GeneralPool::kPoolHeaderBytes : SubPool::kHeaderBytes;
    const std::uint64_t offset = Value(HeaderOf(block)) - Value(chunk);
    const std::uint64_t pieceBytes = HeaderOf(block)->sizeWord;
    // An arena spans size + extra bytes, any number: a block that took its last area whole ends
    // exactly there with a size word of any value.
    const bool arenaTail = kind == LiveKind::Arena && offset + pieceBytes == span;
    if (offset < headerBytes || pieceBytes < kBlockHeaderBytes ||
        ((pieceBytes & 7) != 0 && !arenaTail) || pieceBytes > span - offset)
        Stop("Invalid release of block %p in %s: its header (size word %#lx) does not fit chunk "
             "%p of pool %p (%lu bytes, block at offset %lu): header overwritten?",
             block, entryPoint, static_cast<unsigned long>(pieceBytes), chunk,
             static_cast<void*>(k.owner), static_cast<unsigned long>(span),
             static_cast<unsigned long>(offset));
}

// A block with a header: in use, in a live chunk, inside it. `expectedPool` is the pool the caller
// named (null when the header decides).
void CheckHeaderBlock(void* block, PoolBase* expectedPool, const char* entryPoint) {
    // Copied, not read through a header: a paged block of class 2 or 4 released without its flag
    // is not 8-byte aligned, and this read is what has to survive such a mistake.
    std::uintptr_t word;
    __builtin_memcpy(&word, static_cast<const char*>(block) - sizeof(BlockHeader), sizeof(word));
    if ((word & kOwnerInUse) == 0) {
        StopIfPaged(block, "its header reads as a free area", entryPoint);
        Stop("Invalid release of block %p in %s: its header reads as a free area (first word "
             "%#lx): released twice?",
             block, entryPoint, static_cast<unsigned long>(word));
    }
    void* chunk = reinterpret_cast<void*>(word & ~kOwnerBits);
    if (chunk == nullptr) {
        StopIfPaged(block, "its header reads as a heap block's", entryPoint);
        if (expectedPool != nullptr)
            Stop("Invalid release of block %p to pool %p in %s: it is a heap block", block,
                 static_cast<void*>(expectedPool), entryPoint);
        return;
    }
    const LiveKind kind = KindAt(chunk);
    if (kind == LiveKind::None || kind == LiveKind::PagedPool) {
        StopIfPaged(block, "its header names no live chunk", entryPoint);
        Stop("Invalid release of block %p in %s: its header names %p, which is no live chunk of "
             "a pool: its pool was destroyed, its header was overwritten, or it is no block of "
             "this library",
             block, entryPoint, chunk);
    }
    CheckFitsChunk(block, chunk, kind, entryPoint);
    const PoolBase* owner = FieldsOf(chunk)->owner;
    if (expectedPool != nullptr && owner != expectedPool)
        Stop("Invalid release of block %p to pool %p in %s: the block belongs to pool %p", block,
             static_cast<void*>(expectedPool), entryPoint, static_cast<const void*>(owner));
}

[[noreturn]] void StopDestroyed(const void* pool, const char* entryPoint) {
    Stop("Invalid pool %p in %s: no live pool has this address: pool used after it was "
         "destroyed?",
         pool, entryPoint);
}

} // namespace

void CheckRelease(void* block, void* pool, int flags) {
    platform::MemcheckQuiet quiet;
    static constexpr const char* kEntry = "QORSpecializedDelete";
    if (pool != nullptr) {
        if (IsPoolNumber(pool)) return; // names no pool: the release does nothing
        const LiveKind kind = KindAt(pool);
        if (kind == LiveKind::None) StopDestroyed(pool, kEntry);
        if (kind == LiveKind::PagedPool)
            return CheckPagedBlock(block, static_cast<PagedPool*>(pool), kEntry);
        return CheckHeaderBlock(block, FieldsOf(pool)->owner, kEntry);
    }
    if (flags & kFlagPaged) {
        PagedPool* owner = platform::MayRead(PageObjectOf(block), sizeof(PageObject))
                               ? PageObjectOf(block)->owner
                               : nullptr;
        if (KindAt(owner) != LiveKind::PagedPool)
            Stop("Invalid release of block %p in %s with the paged flag: its page %p names %p, "
                 "which is no live paged pool: pool used after it was destroyed, or not a paged "
                 "block?",
                 block, kEntry, static_cast<void*>(PageObjectOf(block)->PageStart()),
                 static_cast<void*>(owner));
        return CheckPagedBlock(block, owner, kEntry);
    }
    CheckHeaderBlock(block, nullptr, kEntry);
}

void CheckNew(std::uintptr_t poolArgument, void* param) {
    platform::MemcheckQuiet quiet;
    static constexpr const char* kEntry = "QORSpecializedNew";
    if (poolArgument == kPoolBesideBlock) {
        // With a hook library, `param` is the caller's pointer, its delta past the block: the
        // block is proved when the instrumented route has found it.
        if (param != nullptr && !hooks::On()) CheckHeaderBlock(param, nullptr, kEntry);
        return;
    }
    const std::uintptr_t object = poolArgument == kPoolInParam ? Value(param) : poolArgument;
    if (poolArgument != kPoolInParam && poolArgument <= kPoolThreaded) return;
    if (object < kSmallestPoolAddress) return; // no pool: the request fails
    if (!IsPool(KindAt(reinterpret_cast<void*>(object))))
        StopDestroyed(reinterpret_cast<void*>(object), kEntry);
}

void CheckPoolArgument(void* pool, const char* entryPoint) {
    if (IsPoolNumber(pool)) return;
    if (!IsPool(KindAt(pool))) StopDestroyed(pool, entryPoint);
}

} // namespace qor::checks

using namespace qor;

namespace {

bool IsRegistered(const void* pool) {
    ScopedLock registry(State().registryLock);
    for (PoolBase* p = State().poolRegistry; p != nullptr; p = p->nextPool)
        if (p == pool) return true;
    return false;
}

// Requires: `pool` is registered.
bool CheckOnePool(PoolBase* pool, FILE* stream) {
    platform::MemcheckQuiet quiet;
    CheckResult result;
    PoolLockGuard guard(*pool);
    if (pool->chunk.flags & kFlagPaged)
        CheckInvariants(*static_cast<PagedPool*>(pool), result);
    else
        CheckInvariants(*static_cast<GeneralPool*>(pool), result);
    guard.Unlock();
    if (!result.Sound()) PrintToStream(stream, "QORSysCheckPool: %s\n", result.Text());
    return result.Sound();
}

} // namespace

int QORSysCheckPool(void* pool, FILE* stream) {
    if (pool == nullptr) {
        ScopedLock registry(State().registryLock);
        for (PoolBase* p = State().poolRegistry; p != nullptr; p = p->nextPool)
            if (!CheckOnePool(p, stream)) return 0;
        return -1;
    }
    if (State().config.checks) [[unlikely]]
        checks::CheckPoolArgument(pool, "QORSysCheckPool");
    if (IsPoolNumber(pool) || !IsRegistered(pool)) {
        PrintToStream(stream, "QORSysCheckPool: %p is no registered pool\n", pool);
        return 0;
    }
    return CheckOnePool(static_cast<PoolBase*>(pool), stream) ? -1 : 0;
}
