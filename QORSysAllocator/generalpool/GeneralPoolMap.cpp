// The general pool's map: per chunk K of the chain, a CHUNK entry, then K's header and the runs of
// neighbouring blocks and of neighbouring free areas, in address order. The pieces tile K, so the
// stretches of a sound chunk add up to K's bytes: header + sum(runs) == size & kChunkSizeMask.
// Pieces are read as the checker reads them; a size word that does not fit ends K's runs there.
#include "GeneralPool.h"

#include "../core/PoolMap.h"

namespace qor {
namespace {

// Neighbouring pieces of one kind, gathered until a piece of the other kind comes.
class Run {
public:
    explicit Run(MapWriter& map) : map_(map) {}

    void Take(std::uint64_t offset, std::uint64_t bytes, bool inUse) {
        const std::uint32_t kind = inUse ? QORSysMapKind::BLOCKS : QORSysMapKind::FREE;
        if (kind != kind_) {
            Flush();
            kind_ = kind;
            offset_ = offset;
        }
        bytes_ += bytes;
        ++count_;
    }

    void Flush() {
        if (count_ == 0) return;
        const std::uint64_t used = kind_ == QORSysMapKind::BLOCKS ? bytes_ : 0;
        map_.Add({offset_, bytes_, used, kind_, count_, 0, 0});
        bytes_ = 0;
        count_ = 0;
    }

private:
    MapWriter& map_;
    std::uint32_t kind_ = 0, count_ = 0;
    std::uint64_t offset_ = 0, bytes_ = 0;
};

// K's header and runs; answers the pieces walked.
std::uint32_t MapPieces(const std::byte* base, std::uint64_t span, std::uint64_t headerBytes,
                        MapWriter& map) {
    map.Add({0, headerBytes, headerBytes, QORSysMapKind::HEADER, 0, 0, 0});
    Run run(map);
    std::uint32_t pieces = 0;
    for (std::uint64_t offset = headerBytes; offset < span;) {
        const auto* piece = reinterpret_cast<const BlockHeader*>(base + offset);
        const std::uint64_t bytes = piece->sizeWord;
        if (!general::PieceFits(bytes, span - offset, false)) break;
        run.Take(offset, bytes, (piece->ownerWord & kOwnerInUse) != 0);
        ++pieces;
        offset += bytes;
    }
    run.Flush();
    return pieces;
}

} // namespace

void MapPool(const GeneralPool& pool, MapWriter& map) {
    platform::MemcheckQuiet quiet; // free areas are hidden from memcheck
    for (const SubPool* k = &pool; k != nullptr; k = static_cast<const SubPool*>(k->chunk.next)) {
        const std::uint64_t span = k->chunk.size & kChunkSizeMask;
        const std::uint64_t used = span > k->chunk.free ? span - k->chunk.free : 0;
        const QORPoolMapEntry chunk{
            reinterpret_cast<std::uintptr_t>(k), span, used, QORSysMapKind::CHUNK, 0, 0, 0};
        const std::size_t index = map.Add(chunk);
        const std::uint32_t pieces =
            MapPieces(reinterpret_cast<const std::byte*>(k), span, pool.HeaderBytesOf(k), map);
        QORPoolMapEntry counted = chunk;
        counted.count = pieces;
        map.Rewrite(index, counted);
    }
}

} // namespace qor
