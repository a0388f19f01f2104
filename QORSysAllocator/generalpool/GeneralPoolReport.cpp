// The general pool's statistics: one walk of the chain under the pool's lock fills the record
// and prints the chunk list, the one-line summary or the labelled block.
// Printed integers are the low 32 bits of the 64-bit figures; the record keeps them whole.
#include "GeneralPool.h"

#include "../platform/AddressFormat.h"

namespace qor {

namespace {

using platform::AddressArg;
using platform::AddressFormat;

constexpr std::uint32_t kReportedFlagBits = 0x3E0;
constexpr std::uint32_t kWordedFlagBits = 0x1E0;
constexpr double kBytesToMegabytes = 0.0009765625;

struct PoolFigures {
    std::uint64_t totalSize = 0;
    std::uint64_t totalFree = 0;
    std::uint32_t chunkCount = 0;
    std::uint64_t maxChunkFree = 0;
    std::uint64_t minChunkFree = 0;
    double minOccupation = 100.0;
    double maxOccupation = 0.0;
    std::uint64_t holeTotal = 0;
    std::uint64_t blockTotal = 0;
    std::uint64_t largestKnownHole = 0;
    bool holeSizeUnknown = false;

    double Occupation() const {
        return static_cast<double>(totalSize - totalFree) * 100.0 / static_cast<double>(totalSize);
    }
    std::uint64_t ManageSize() const {
        return (chunkCount - 1) * SubPool::kHeaderBytes + GeneralPool::kPoolHeaderBytes;
    }
    std::uint64_t OccupiedSize() const {
        return totalSize - (chunkCount - 1) * SubPool::kHeaderBytes - totalFree -
               GeneralPool::kPoolHeaderBytes;
    }
};

inline unsigned Low32(std::uint64_t value) { return static_cast<unsigned>(value); }
inline int Signed32(std::uint64_t value) { return static_cast<int>(static_cast<unsigned>(value)); }

double ChunkOccupation(const ChunkFields& k) {
    return static_cast<double>(k.size - k.free) * 100.0 / static_cast<double>(k.size);
}

void PrintChunkLine(FILE* stream, const SubPool* k, double occupation) {
    static constexpr AddressFormat kChunkLine(
        "  subPool=0x%p ; sts=0x%-x ; size=%-u  ; free=%-u ; occupation=%2.1f %s ; blocks=%-u ; "
        "holes=%-u(%-u)\n");
    const ChunkFields& c = k->chunk;
    std::fprintf(stream, kChunkLine.text, AddressArg(k), c.flags & 0x3FF, Low32(c.size),
                 Low32(c.free), occupation, "%", c.pieceCount, c.freeAreaCount, c.largestFreeArea);
}

void FillRecord(QORPoolInfo& record, const PoolFigures& f, std::uint32_t flagBits) {
    record.flagBits = flagBits;
    record.totalSize = f.totalSize;
    record.freeSize = f.totalFree;
    record.chunkCount = f.chunkCount;
    record.maxChunkFree = f.maxChunkFree;
    record.minChunkFree = f.minChunkFree;
    record.minChunkOccupation = static_cast<std::int32_t>(f.minOccupation);
    record.maxChunkOccupation = static_cast<std::int32_t>(f.maxOccupation);
    record.occupation = static_cast<std::int32_t>(f.Occupation());
    record.holeTotal = f.holeTotal;
    record.blockTotal = f.blockTotal;
    record.largestKnownHole = f.largestKnownHole;
    record.holeSizeUnknown = f.holeSizeUnknown ? -1 : 0;
}

void PrintOneLine(FILE* stream, const void* pool, const PoolFigures& f, std::uint32_t flagBits) {
    static constexpr AddressFormat kOneLine(
        "POOL:0x%p fg=%08x sz=%d(%7.3f) fre=%d occ=%d pct=%2.1f mng=%-d  nbb=%-u nbh=%-u "
        "subpool_info=(nb=%-d maxf=%-u minf=%-u  maxo=%2.1f, mino=%2.1f maxhole=%-u%c)\n");
    std::fprintf(stream, kOneLine.text, AddressArg(pool), flagBits, Signed32(f.totalSize),
                 static_cast<double>(f.totalSize) * kBytesToMegabytes * kBytesToMegabytes,
                 Signed32(f.totalFree), Signed32(f.OccupiedSize()), f.Occupation(),
                 Signed32(f.ManageSize()), Low32(f.blockTotal), Low32(f.holeTotal),
                 static_cast<int>(f.chunkCount), Low32(f.maxChunkFree), Low32(f.minChunkFree),
                 f.maxOccupation, f.minOccupation, Low32(f.largestKnownHole),
                 f.holeSizeUnknown ? ' ' : '?');
}

void PrintBlock(FILE* stream, const void* pool, const PoolFigures& f, std::uint32_t poolFlags,
                std::uint32_t flagBits) {
    static constexpr AddressFormat kHeading("\n[MEMORY POOL 0x%p]\n");
    std::fprintf(stream, kHeading.text, AddressArg(pool));
    std::fprintf(stream, "Flags                 = 0x%x", flagBits);
    if (flagBits & kWordedFlagBits) {
        std::fputs("  (", stream);
        if (poolFlags & QORSysPoolFlag::VOLATILE) std::fputs(" VOLATILE", stream);
        if (poolFlags & QORSysPoolFlag::FLUSHABLE) std::fputs(" FLUSHABLE", stream);
        if (poolFlags & QORSysPoolFlag::SINGLE_SIZE) std::fputs(" SINGLE_SIZE", stream);
        if (poolFlags & QORSysPoolFlag::CONSTANT_SUBPOOL_SIZE)
            std::fputs(" CONSTANT_SUBPOOL_SIZE", stream);
        std::fputs(" )", stream);
    }
    std::fputs("\n", stream);
    std::fprintf(stream, "Total size            = %-u \n", Low32(f.totalSize));
    std::fprintf(stream, "Manage size           = %-u \n", Low32(f.ManageSize()));
    std::fprintf(stream, "Free  size            = %-u \n", Low32(f.totalFree));
    std::fprintf(stream, "Occupied size         = %-u \n", Low32(f.OccupiedSize()));
    std::fprintf(stream, "Percentage occupation = %2.1f%c\n", f.Occupation(), '%');
    std::fprintf(stream, "Nb of sub pools       = %-d \n", static_cast<int>(f.chunkCount));
    std::fprintf(stream, "Max free size in a sp = %-u\n", Low32(f.maxChunkFree));
    std::fprintf(stream, "Min free size in a sp = %-u\n", Low32(f.minChunkFree));
    std::fprintf(stream, "Min sp percentage occ = %2.1f%c\n", f.minOccupation, '%');
    std::fprintf(stream, "Max sp percentage occ = %2.1f%c\n", f.maxOccupation, '%');
}

} // namespace

void GeneralPool::Report(FILE* stream, QORPoolInfo* record, int options) {
    platform::MemcheckQuiet quiet;
    PoolLockGuard guard(*this);
    const std::uint32_t flagBits = chunk.flags & kReportedFlagBits;
    const bool chunkList = stream != nullptr && (options & QORSysPoolFlag::REPORT_CHUNK_LIST);
    if (chunkList) {
        static constexpr AddressFormat kListHeading("\n[MEMORY POOL 0x%p / SUBPOOL LIST]\n");
        std::fprintf(stream, kListHeading.text, AddressArg(this));
    }

    PoolFigures f;
    f.minChunkFree = chunk.free;
    for (const SubPool* k = this; k != nullptr; k = static_cast<const SubPool*>(k->chunk.next)) {
        const ChunkFields& c = k->chunk;
        const double occupation = ChunkOccupation(c);
        ++f.chunkCount;
        f.totalSize += c.size;
        f.totalFree += c.free;
        if (c.free > f.maxChunkFree) f.maxChunkFree = c.free;
        if (c.free < f.minChunkFree) f.minChunkFree = c.free;
        if (occupation < f.minOccupation) f.minOccupation = occupation;
        if (occupation > f.maxOccupation) f.maxOccupation = occupation;
        f.holeTotal += c.freeAreaCount;
        f.blockTotal += c.pieceCount;
        if (c.largestFreeArea == kLargestUnknown)
            f.holeSizeUnknown = true;
        else if (c.largestFreeArea > f.largestKnownHole)
            f.largestKnownHole = c.largestFreeArea;
        if (chunkList) PrintChunkLine(stream, k, occupation);
    }

    if (record != nullptr) FillRecord(*record, f, flagBits);
    if (stream == nullptr) return;
    if (options & QORSysPoolFlag::REPORT_ONE_LINE)
        PrintOneLine(stream, this, f, flagBits);
    else
        PrintBlock(stream, this, f, chunk.flags, flagBits);
}

} // namespace qor
