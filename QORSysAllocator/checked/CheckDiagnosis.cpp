// Checked mode's diagnosis after a failed proof: the pools say where an address lies
// (general::Locate, paged::ExaminePage), this file names the pools and words the clause. It runs
// without the pools' locks: the process is about to stop.
#include "CheckDiagnosis.h"

#include "../core/LiveObjects.h"
#include "../core/PoolArgument.h"
#include "../generalpool/GeneralPool.h"
#include "../pagedpool/PagedBlocks.h"
#include "../platform/Sanitizers.h"

#include <cstdio>

namespace qor::checks {
namespace {

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

// The clause for a place among a general chunk's pieces.
void DescribeSpot(const char* who, const general::Spot& spot, std::uintptr_t address, char* out,
                  std::size_t bytes) {
    using general::Where;
    const PoolText pool(spot.pool);
    if (spot.where == Where::ChunkHeader) {
        std::snprintf(out, bytes, "%s lies in the header of chunk %p of %s", who, spot.chunk,
                      pool.text);
    } else if (spot.where == Where::Damaged) {
        std::snprintf(out, bytes, "chunk %p of %s is damaged before %s", spot.chunk, pool.text,
                      who);
    } else if (spot.where == Where::BlockStart) {
        std::snprintf(out, bytes, "%s is %s of %s", who, PieceText(spot.piece).text, pool.text);
    } else if (address < Value(spot.piece.block)) {
        std::snprintf(out, bytes, "%s lies in the header of %s of %s", who,
                      PieceText(spot.piece).text, pool.text);
    } else {
        std::snprintf(out, bytes, "%s lies %lu bytes into %s of %s", who,
                      static_cast<unsigned long>(address - Value(spot.piece.block)),
                      PieceText(spot.piece).text, pool.text);
    }
}

// The clause for a place on a page in use of a live paged pool; false for any other place.
bool DescribePagedSpot(const char* who, const void* address, char* out, std::size_t bytes,
                       bool& released) {
    const paged::PageVerdict page = paged::ExaminePage(address, kSanitizerPermit);
    if (page.state < paged::PageState::Outside) return false;
    const PoolText pool(page.owner);
    if (page.state == paged::PageState::Outside) {
        std::snprintf(out, bytes,
                      "%s lies on page %p of %s (class %u), outside the blocks the page handed out",
                      who, static_cast<const void*>(page.pageStart), pool.text, page.blockBytes);
        return true;
    }
    released = page.released;
    std::snprintf(out, bytes, "%s lies %u bytes into block %p (class %u, %s) on page %p of %s", who,
                  static_cast<unsigned>(Value(address) - Value(page.block)),
                  static_cast<const void*>(page.block), page.blockBytes,
                  released ? "released" : "in use", static_cast<const void*>(page.pageStart),
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

PieceText::PieceText(const general::Piece& piece) {
    std::snprintf(text, sizeof text, "block %p (%lu bytes, %s)", piece.block,
                  static_cast<unsigned long>(piece.Bytes()), piece.Free() ? "free now" : "in use");
}

bool SanitizerAllows(const void*, const void* at, std::size_t bytes) {
    return platform::MayRead(at, bytes);
}

void DescribeAddress(const char* who, const void* address, char* out, std::size_t bytes,
                     bool& released) {
    released = false;
    const general::Spot spot = general::Locate(address);
    if (spot.where != general::Where::Nowhere) {
        released = spot.where == general::Where::InsidePiece && spot.piece.Free();
        return DescribeSpot(who, spot, Value(address), out, bytes);
    }
    if (!DescribePagedSpot(who, address, out, bytes, released))
        std::snprintf(out, bytes, "no live pool holds %s", who);
}

} // namespace qor::checks
