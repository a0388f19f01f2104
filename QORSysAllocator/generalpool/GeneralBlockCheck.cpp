// Checked mode's questions to the general pool. A header is read once the front end's permit
// allows it and its chunk is followed once the registry knows it; the walks take a chunk from the
// pool registry and follow a piece's size word only when it fits the chunk (a whole number of
// 8-byte units from 16 bytes on, ending inside it; an arena's last piece takes what is left).
#include "GeneralPool.h"

#include "../core/LiveObjects.h"

namespace qor::general {
namespace {

constexpr std::size_t kArenaHeaderBytes = SubPool::kHeaderBytes;

inline std::uintptr_t Value(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// Misfit or Fits for a header that names live `chunk` of `kind`.
void FitChunk(const void* block, checks::LiveKind kind, HeaderVerdict& verdict) {
    const ChunkFields& k = *FieldsOf(verdict.chunk);
    const bool arena = kind == checks::LiveKind::Arena;
    const std::uint64_t span = arena ? k.size : k.size & kChunkSizeMask;
    const std::uint64_t headerBytes =
        kind == checks::LiveKind::GeneralPool ? GeneralPool::kPoolHeaderBytes : kArenaHeaderBytes;
    const std::uint64_t offset = Value(block) - kBlockHeaderBytes - Value(verdict.chunk);
    const std::uint64_t pieceBytes = verdict.sizeWord;
    // An arena spans size + extra bytes, any number: a block that took its last area whole ends
    // exactly there with a size word of any value.
    const bool arenaTail = arena && offset + pieceBytes == span;
    const bool fits = offset >= headerBytes && pieceBytes >= kBlockHeaderBytes &&
                      ((pieceBytes & 7) == 0 || arenaTail) && pieceBytes <= span - offset;
    verdict.state = fits ? HeaderState::Fits : HeaderState::Misfit;
    verdict.pool = k.owner;
    verdict.chunkBytes = span;
    verdict.offset = offset;
}

// The live general chunk whose memory holds `address`: a pool's own chunk or an added one.
void* ChunkHolding(std::uintptr_t address) {
    ScopedLock registry(State().registryLock);
    for (PoolBase* pool = State().poolRegistry; pool != nullptr; pool = pool->nextPool) {
        if (pool->chunk.flags & kFlagPaged) continue;
        for (void* k = pool; k != nullptr; k = FieldsOf(k)->next)
            if (address - Value(k) < (FieldsOf(k)->size & kChunkSizeMask)) return k;
    }
    return nullptr;
}

bool TilesToEnd(std::uintptr_t at, std::uintptr_t end, bool arena) {
    while (at < end) {
        const std::uint64_t bytes = reinterpret_cast<const BlockHeader*>(at)->sizeWord;
        if (!PieceFits(bytes, end - at, arena)) return false;
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

Piece PieceAt(const BlockHeader* header) {
    if (header == nullptr) return Piece{};
    return Piece{header + 1, header->ownerWord, header->sizeWord};
}

// Where the walk stopped: `piece` and the one in front of it (null for the first).
Spot Found(Where where, void* base, const BlockHeader* piece, const BlockHeader* previous) {
    Spot spot;
    spot.where = where;
    spot.chunk = base;
    spot.pool = FieldsOf(base)->owner;
    spot.piece = PieceAt(piece);
    spot.previous = PieceAt(previous);
    return spot;
}

// The pieces of chunk (or arena) `base` up to `address`, which lies inside it.
Spot Walk(void* base, std::uint64_t span, std::size_t headerBytes, bool arena,
          std::uintptr_t address) {
    const std::uintptr_t end = Value(base) + span;
    std::uintptr_t at = Value(base) + headerBytes;
    if (address < at) return Found(Where::ChunkHeader, base, nullptr, nullptr);
    const BlockHeader* previous = nullptr;
    for (const BlockHeader* piece; at < end; previous = piece, at += piece->sizeWord) {
        piece = reinterpret_cast<const BlockHeader*>(at);
        if (address == at + kBlockHeaderBytes) {
            Spot spot = Found(Where::BlockStart, base, piece, previous);
            spot.soundFreeArea = spot.piece.Free() && TilesToEnd(at, end, arena);
            return spot;
        }
        const std::uint64_t bytes = piece->sizeWord;
        if (!PieceFits(bytes, end - at, arena)) return Found(Where::Damaged, base, piece, previous);
        if (address - at >= bytes) continue;
        if (void* inner = arena ? nullptr : ArenaHolding(piece, bytes, address))
            return Walk(inner, FieldsOf(inner)->size, kArenaHeaderBytes, true, address);
        return Found(Where::InsidePiece, base, piece, previous);
    }
    return Spot{};
}

} // namespace

HeaderVerdict ProveHeader(const void* block, ReadPermit permit) {
    HeaderVerdict verdict;
    // Copied: a paged block of class 2 or 4 released without its flag is not 8-byte aligned, and
    // this read is what has to survive such a mistake.
    const auto* at = static_cast<const char*>(block) - sizeof(BlockHeader);
    if (!permit.Allows(at, sizeof(BlockHeader))) return verdict;
    BlockHeader header;
    __builtin_memcpy(&header, at, sizeof header);
    verdict.ownerWord = header.ownerWord;
    verdict.sizeWord = header.sizeWord;
    verdict.chunk = reinterpret_cast<void*>(header.ownerWord & ~kOwnerBits);
    if ((header.ownerWord & kOwnerInUse) == 0) {
        verdict.state = HeaderState::FreeArea;
    } else if (verdict.chunk == nullptr) {
        verdict.state = HeaderState::HeapBlock;
    } else {
        const checks::LiveKind kind = checks::KindAt(verdict.chunk);
        if (kind == checks::LiveKind::None || kind == checks::LiveKind::PagedPool)
            verdict.state = HeaderState::NoLiveChunk;
        else
            FitChunk(block, kind, verdict);
    }
    return verdict;
}

Spot Locate(const void* address) {
    void* chunk = ChunkHolding(Value(address));
    if (chunk == nullptr) return Spot{};
    const std::size_t headerBytes =
        chunk == FieldsOf(chunk)->owner ? GeneralPool::kPoolHeaderBytes : kArenaHeaderBytes;
    return Walk(chunk, FieldsOf(chunk)->size & kChunkSizeMask, headerBytes, false, Value(address));
}

} // namespace qor::general
