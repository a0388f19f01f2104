// Checked mode's diagnosis after a failed proof. The walks trust only what they check as they go:
// a chunk is taken from the pool registry, and a piece's size word is followed only when it fits
// the chunk (a whole number of 8-byte units from 16 bytes on, ending inside it; an arena's last
// piece takes what is left). They run without the pools' locks: the process is about to stop.
#include "CheckDiagnosis.h"

#include "../core/LiveObjects.h"
#include "../generalpool/GeneralPool.h"
#include "../pagedpool/PagedBlocks.h"
#include "../platform/Sanitizers.h"
#include "FixedPools.h"

#include <cstdio>

namespace qor::checks {
namespace {

constexpr std::size_t kArenaHeaderBytes = SubPool::kHeaderBytes;

inline std::uintptr_t Value(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

inline bool IsPool(LiveKind kind) {
    return kind == LiveKind::GeneralPool || kind == LiveKind::PagedPool;
}

// The pool argument that reaches a fixed pool, or 0 for every other pool.
std::uintptr_t FixedPoolArgument(const void* pool) {
    const Runtime& state = State();
    if (pool == nullptr) return 0;
    if (pool == state.threadedPool) return kPoolThreaded;
    if (pool == state.fixedPools[kPermanentEntry]) return kPoolPermanent;
    for (const GeneralPool* fixed : state.fixedPools)
        if (fixed == pool) return kPoolFast;
    return 0;
}

void KindText(const PoolName& name, char* out, std::size_t bytes) {
    if (const std::uintptr_t argument = FixedPoolArgument(name.pool)) {
        std::snprintf(out, bytes, "fixed pool %lu", static_cast<unsigned long>(argument));
        return;
    }
    const char* kind = (name.flags & kFlagPaged)                          ? "paged pool"
                       : (name.flags & QORSysPoolFlag::TRACKED_FREE_LIST) ? "tracked pool"
                                                                          : "general pool";
    std::snprintf(out, bytes, "%s", kind);
}

// The live general chunk whose memory holds `address`: a pool's own chunk or an added one. The
// one walk of the pool registry that the diagnosis makes.
void* ChunkHolding(std::uintptr_t address) {
    ScopedLock registry(State().registryLock);
    for (PoolBase* pool = State().poolRegistry; pool != nullptr; pool = pool->nextPool) {
        if (pool->chunk.flags & kFlagPaged) continue;
        for (void* k = pool; k != nullptr; k = FieldsOf(k)->next)
            if (address - Value(k) < (FieldsOf(k)->size & kChunkSizeMask)) return k;
    }
    return nullptr;
}

bool Fits(std::uint64_t bytes, std::uintptr_t at, std::uintptr_t end, bool arena) {
    if (bytes == 0 || bytes > end - at) return false;
    return (arena && bytes == end - at) || (bytes >= kBlockHeaderBytes && (bytes & 7) == 0);
}

bool TilesToEnd(std::uintptr_t at, std::uintptr_t end, bool arena) {
    while (at < end) {
        const std::uint64_t bytes = reinterpret_cast<const BlockHeader*>(at)->sizeWord;
        if (!Fits(bytes, at, end, arena)) return false;
        at += bytes;
    }
    return true;
}

// The arena that a block in use of `bytes` carries, when `address` lies past the arena's header
// and inside its span; null otherwise. Arenas do not nest.
void* ArenaHolding(const BlockHeader* piece, std::uint64_t bytes, std::uintptr_t address) {
    void* arena = const_cast<BlockHeader*>(piece);
    if ((piece->ownerWord & kOwnerBits) != kOwnerBits) return nullptr;
    const std::uint64_t span = FieldsOf(arena)->size;
    if (span > bytes || address - Value(piece) < kArenaHeaderBytes) return nullptr;
    return address - Value(piece) < span ? arena : nullptr;
}

// The pieces of chunk (or arena) `base` up to `address`, which lies inside it.
Spot Walk(void* base, std::uint64_t span, std::size_t headerBytes, bool arena,
          std::uintptr_t address) {
    Spot spot;
    spot.chunk = base;
    const std::uintptr_t end = Value(base) + span;
    std::uintptr_t at = Value(base) + headerBytes;
    if (address < at) {
        spot.where = Where::ChunkHeader;
        return spot;
    }
    for (; at < end; spot.previous = spot.piece, at += spot.piece->sizeWord) {
        spot.piece = reinterpret_cast<const BlockHeader*>(at);
        if (address == at + kBlockHeaderBytes) {
            spot.where = Where::BlockStart;
            spot.soundFreeArea = IsFreePiece(spot.piece) && TilesToEnd(at, end, arena);
            return spot;
        }
        const std::uint64_t bytes = spot.piece->sizeWord;
        if (!Fits(bytes, at, end, arena)) {
            spot.where = Where::Damaged;
            return spot;
        }
        if (address - at >= bytes) continue;
        if (void* inner = arena ? nullptr : ArenaHolding(spot.piece, bytes, address))
            return Walk(inner, FieldsOf(inner)->size, kArenaHeaderBytes, true, address);
        spot.where = Where::InsidePiece;
        return spot;
    }
    return Spot{};
}

// The clause for a place among a general chunk's pieces.
void DescribeSpot(const char* who, const Spot& spot, std::uintptr_t address, char* out,
                  std::size_t bytes) {
    const PoolText pool(PoolOf(spot));
    if (spot.where == Where::ChunkHeader) {
        std::snprintf(out, bytes, "%s lies in the header of chunk %p of %s", who, spot.chunk,
                      pool.text);
    } else if (spot.where == Where::Damaged) {
        std::snprintf(out, bytes, "chunk %p of %s is damaged before %s", spot.chunk, pool.text,
                      who);
    } else if (spot.where == Where::BlockStart) {
        std::snprintf(out, bytes, "%s is %s of %s", who, PieceText(spot.piece).text, pool.text);
    } else if (address < Value(spot.piece + 1)) {
        std::snprintf(out, bytes, "%s lies in the header of %s of %s", who,
                      PieceText(spot.piece).text, pool.text);
    } else {
        std::snprintf(out, bytes, "%s lies %lu bytes into %s of %s", who,
                      static_cast<unsigned long>(address - Value(spot.piece + 1)),
                      PieceText(spot.piece).text, pool.text);
    }
}

// The clause for a place on a page in use of a live paged pool; false for any other place.
bool DescribePagedSpot(const char* who, std::uintptr_t address, char* out, std::size_t bytes,
                       bool& released) {
    const PageObject& page = *PageObjectOf(reinterpret_cast<const void*>(address));
    if (!platform::MayRead(&page, sizeof page) || KindAt(page.owner) != LiveKind::PagedPool ||
        page.blockSize == 0 || page.nextFreePage != kPageInUse)
        return false;
    const PoolText pool(page.owner);
    const auto offset = static_cast<std::uint32_t>(address & (kPageBytes - 1));
    const std::uint32_t start = offset / page.blockSize * page.blockSize;
    if (start >= std::uint32_t{page.carved} * page.blockSize ||
        (page.index == 0 && start < ReservedBytes(page))) {
        std::snprintf(out, bytes,
                      "%s lies on page %p of %s (class %u), outside the blocks the page handed out",
                      who, static_cast<const void*>(page.PageStart()), pool.text,
                      unsigned{page.blockSize});
        return true;
    }
    const char* block = page.PageStart() + start;
    released = paged::IsOnReleasedChain(page, block);
    std::snprintf(out, bytes, "%s lies %u bytes into block %p (class %u, %s) on page %p of %s", who,
                  offset - start, static_cast<const void*>(block), unsigned{page.blockSize},
                  released ? "released" : "in use", static_cast<const void*>(page.PageStart()),
                  pool.text);
    return true;
}

} // namespace

PoolText::PoolText(const void* pool) {
    PoolName name;
    if (!FindPoolName(pool, name)) {
        std::snprintf(text, sizeof text, "pool at %p", pool);
        return;
    }
    char kind[24];
    KindText(name, kind, sizeof kind);
    const char* gone = IsPool(KindAt(pool)) ? "" : " (destroyed)";
    if (name.text[0] == '\0')
        std::snprintf(text, sizeof text, "%s at %p%s", kind, pool, gone);
    else
        std::snprintf(text, sizeof text, "%s \"%s\" at %p%s", kind, name.text, pool, gone);
}

DestroyedPoolText::DestroyedPoolText(const void* pool) : text() {
    PoolName name;
    if (IsPool(KindAt(pool)) || !FindPoolName(pool, name)) return;
    char kind[24];
    KindText(name, kind, sizeof kind);
    if (name.text[0] == '\0')
        std::snprintf(text, sizeof text, " (it held a %s)", kind);
    else
        std::snprintf(text, sizeof text, " (it held %s \"%s\")", kind, name.text);
}

PieceText::PieceText(const BlockHeader* piece) {
    std::snprintf(text, sizeof text, "block %p (%lu bytes, %s)",
                  static_cast<const void*>(piece + 1),
                  static_cast<unsigned long>(piece->sizeWord - kBlockHeaderBytes),
                  IsFreePiece(piece) ? "free now" : "in use");
}

Spot Locate(const void* address) {
    void* chunk = ChunkHolding(Value(address));
    if (chunk == nullptr) return Spot{};
    const std::size_t headerBytes =
        chunk == FieldsOf(chunk)->owner ? GeneralPool::kPoolHeaderBytes : SubPool::kHeaderBytes;
    return Walk(chunk, FieldsOf(chunk)->size & kChunkSizeMask, headerBytes, false, Value(address));
}

void DescribeAddress(const char* who, const void* address, char* out, std::size_t bytes,
                     bool& released) {
    released = false;
    const Spot spot = Locate(address);
    if (spot.where != Where::Nowhere) {
        released = spot.where == Where::InsidePiece && IsFreePiece(spot.piece);
        return DescribeSpot(who, spot, Value(address), out, bytes);
    }
    if (!DescribePagedSpot(who, Value(address), out, bytes, released))
        std::snprintf(out, bytes, "no live pool holds %s", who);
}

} // namespace qor::checks
