// The general pool's invariant checker. Per chunk or arena K, pieces in address order:
//   the pieces tile K from its header to its end; a block has bit 0 in its owner word and names K;
//   free == sum of free pieces; free + header <= size; every listed area is a free piece of K, the
//   list has no cycle and keeps its suffix bounds (or its index); a tracked K lists every free
//   piece; a tracked chunk of the chain also counts freeAreaCount and pieceCount exactly.
//   (largestFreeArea is not checked: a merge may set it below the largest area when it was the
//   marker, and a take may leave it above, both as placement defines it.)
// Per pool: the chain ends at lastChunk, currentChunk is on it, every chunk names the pool.
#include "GeneralPool.h"

#include "../core/PoolCheck.h"

#include <cstdarg>
#include <cstdio>

namespace qor {
namespace {

constexpr std::size_t kArenaHeaderBytes = SubPool::kHeaderBytes;

inline std::uintptr_t Address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

struct PieceTally {
    std::uint64_t freeBytes = 0, freeAreas = 0, pieces = 0;
};

bool CheckChunk(GeneralPool& pool, void* base, std::size_t headerBytes, CheckResult& result,
                int depth);

// Walks K's pieces; recurses into the arenas that its blocks carry.
bool WalkPieces(GeneralPool& pool, void* base, std::uint64_t span, std::size_t headerBytes,
                bool arena, PieceTally& tally, CheckResult& result, int depth) {
    const std::uintptr_t start = Address(base), end = start + span;
    for (std::uintptr_t at = start + headerBytes; at < end;) {
        const auto* piece = reinterpret_cast<const BlockHeader*>(at);
        const std::uint64_t bytes = piece->sizeWord;
        if (!general::PieceFits(bytes, end - at, arena))
            return result.Fail("chunk %p: the piece at offset %lu has size %#lx, past the chunk's "
                               "%lu bytes",
                               base, static_cast<unsigned long>(at - start),
                               static_cast<unsigned long>(bytes), static_cast<unsigned long>(span));
        ++tally.pieces;
        if (piece->ownerWord & kOwnerInUse) {
            if ((piece->ownerWord & ~kOwnerBits) != start)
                return result.Fail("chunk %p: the block at offset %lu names %#lx as its chunk",
                                   base, static_cast<unsigned long>(at - start),
                                   static_cast<unsigned long>(piece->ownerWord & ~kOwnerBits));
            if ((piece->ownerWord & kOwnerArena) &&
                !CheckChunk(pool, reinterpret_cast<void*>(at), kArenaHeaderBytes, result,
                            depth + 1))
                return false;
        } else {
            tally.freeBytes += bytes;
            ++tally.freeAreas;
        }
        at += bytes;
    }
    return true;
}

// Each bound covers every size from its area to the end: checked from the end backwards.
bool CheckSuffixBounds(void* base, const ChunkFields& k, CheckResult& result) {
    const FreeArea* areas[64];
    std::uint64_t count = 0;
    for (const FreeArea* area = k.freeList; area != nullptr; area = area->next) {
        if (count == 64) break; // long lists: the first 64 areas are checked against their tail
        areas[count++] = area;
    }
    std::uint64_t suffix = 0;
    for (const FreeArea* area = count == 64 ? areas[63]->next : nullptr; area != nullptr;
         area = area->next)
        if (area->size > suffix) suffix = area->size;
    while (count != 0) {
        const FreeArea* area = areas[--count];
        if (area->size > suffix) suffix = area->size;
        if (placement::SuffixBound(area) < suffix)
            return result.Fail("chunk %p: listed area %p bounds its list's sizes by %lu, below %lu",
                               base, static_cast<const void*>(area),
                               static_cast<unsigned long>(placement::SuffixBound(area)),
                               static_cast<unsigned long>(suffix));
    }
    return true;
}

// Every listed area is a free piece of K (a list of no more entries than K's free pieces, each
// inside K, with bit 0 clear), and the suffix bounds or the index hold.
bool CheckList(void* base, std::uint64_t span, std::size_t headerBytes, const ChunkFields& k,
               const PieceTally& tally, bool tracked, CheckResult& result) {
    const std::uintptr_t start = Address(base);
    std::uint64_t listed = 0, listedBytes = 0;
    for (const FreeArea* area = k.freeList; area != nullptr; area = area->next) {
        const std::uintptr_t at = Address(area);
        // An arena whose object takes all its room lists one area of 0 bytes at its end.
        if (at == start + span && area->size == 0 && k.flags == 0) continue;
        if (++listed > tally.freeAreas)
            return result.Fail("chunk %p: its free list holds more areas than the chunk's %lu "
                               "free pieces (a cycle, or a block on the list): area %p, words "
                               "%#lx %#lx",
                               base, static_cast<unsigned long>(tally.freeAreas),
                               static_cast<const void*>(area), Address(area->next),
                               static_cast<unsigned long>(area->size));
        if (at < start + headerBytes || at >= start + span || (at & 7) != 0)
            return result.Fail("chunk %p: listed area %p lies outside the chunk", base,
                               static_cast<const void*>(area));
        listedBytes += area->size;
    }
    if (listedBytes > k.free)
        return result.Fail("chunk %p: its listed areas hold %lu bytes, more than free (%lu)", base,
                           static_cast<unsigned long>(listedBytes),
                           static_cast<unsigned long>(k.free));
    if (tracked && listed != tally.freeAreas)
        return result.Fail("chunk %p: a tracked list holds %lu areas of the chunk's %lu", base,
                           static_cast<unsigned long>(listed),
                           static_cast<unsigned long>(tally.freeAreas));
    if (placement::IsIndexed(k)) {
        if (!placement::CheckIndex(k))
            return result.Fail("chunk %p: its tracked index disagrees with its list", base);
        return true;
    }
    return CheckSuffixBounds(base, k, result);
}

bool CheckChunk(GeneralPool& pool, void* base, std::size_t headerBytes, CheckResult& result,
                int depth) {
    const ChunkFields& k = *FieldsOf(base);
    const bool arena = headerBytes == kArenaHeaderBytes && k.flags == 0;
    if (depth > 1) return result.Fail("arena %p lies inside another arena", base);
    if (k.owner != &pool)
        return result.Fail("chunk %p names pool %p, not %p", base, static_cast<void*>(k.owner),
                           static_cast<void*>(&pool));
    const std::uint64_t span = arena ? k.size : k.size & kChunkSizeMask;
    if (!arena && (k.size & ~kChunkSizeMask) != 0)
        return result.Fail("chunk %p: size %lu is not a multiple of 1024", base,
                           static_cast<unsigned long>(k.size));
    if (k.free + headerBytes > span)
        return result.Fail("chunk %p: free (%lu) and its header exceed its size (%lu)", base,
                           static_cast<unsigned long>(k.free), static_cast<unsigned long>(span));
    PieceTally tally;
    if (!WalkPieces(pool, base, span, headerBytes, arena, tally, result, depth)) return false;
    if (tally.freeBytes != k.free)
        return result.Fail("chunk %p: its free pieces hold %lu bytes, free says %lu", base,
                           static_cast<unsigned long>(tally.freeBytes),
                           static_cast<unsigned long>(k.free));
    const bool tracked = (pool.chunk.flags & QORSysPoolFlag::TRACKED_FREE_LIST) != 0;
    if (!CheckList(base, span, headerBytes, k, tally, tracked, result)) return false;
    // An arena's counters start at 1 and 1 for its object and its free area (two pieces), so only
    // the chain's chunks are held to exact counts.
    if (tracked && !arena && (k.freeAreaCount != tally.freeAreas || k.pieceCount != tally.pieces))
        return result.Fail("chunk %p: counts %u free areas and %u pieces, holds %lu and %lu", base,
                           k.freeAreaCount, k.pieceCount,
                           static_cast<unsigned long>(tally.freeAreas),
                           static_cast<unsigned long>(tally.pieces));
    return true;
}

} // namespace

bool CheckResult::Fail(const char* format, ...) {
    if (!Sound()) return false;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text_, sizeof text_, format, arguments);
    va_end(arguments);
    if (text_[0] == '\0') text_[0] = '?';
    return false;
}

bool CheckInvariants(GeneralPool& pool, CheckResult& result) {
    if (pool.chunk.owner != &pool || (pool.chunk.flags & kFlagPaged))
        return result.Fail("pool %p is no general pool (owner %p, flags %#x)",
                           static_cast<void*>(&pool), static_cast<void*>(pool.chunk.owner),
                           pool.chunk.flags);
    bool currentSeen = pool.currentChunk == nullptr;
    SubPool* last = nullptr;
    std::uint64_t chunks = 0;
    for (SubPool* k = &pool; k != nullptr; k = static_cast<SubPool*>(k->chunk.next)) {
        if (++chunks > (std::uint64_t{1} << 32))
            return result.Fail("pool %p: its chain of chunks does not end",
                               static_cast<void*>(&pool));
        if (k != &pool && k->chunk.flags != kFlagChunk)
            return result.Fail("chunk %p of pool %p has flags %#x, not 0x1", static_cast<void*>(k),
                               static_cast<void*>(&pool), k->chunk.flags);
        if (!CheckChunk(pool, k, pool.HeaderBytesOf(k), result, 0)) return false;
        currentSeen = currentSeen || k == pool.currentChunk;
        last = k;
    }
    if (last != pool.lastChunk)
        return result.Fail("pool %p: lastChunk is %p, its chain ends at %p",
                           static_cast<void*>(&pool), static_cast<void*>(pool.lastChunk),
                           static_cast<void*>(last));
    if (!currentSeen)
        return result.Fail("pool %p: currentChunk %p is not on its chain",
                           static_cast<void*>(&pool), static_cast<void*>(pool.currentChunk));
    return true;
}

} // namespace qor
