// QORSysWritePoolMap: a pool's map (QORSysGetPoolMap) drawn as one SVG document. The map is copied
// first into memory of the library's own bookkeeping (no pool is locked while the stream is
// written). A general pool: one strip per chunk, its width proportional to the chunk's bytes
// (kMinStrip at least), each stretch at x = offset * strip / bytes. A paged pool: a grid of pages
// in address order, each cell's colour from its fill. Every shape carries its figures in data-
// attributes and a <title>.
#include "QORSysAllocator.h"

#include "../platform/Platform.h"

#include <cinttypes>
#include <cstdint>

namespace {

constexpr double kMargin = 20, kLegendHeight = 40;
constexpr double kMaxStrip = 960, kMinStrip = 240, kStripHeight = 40, kChunkPitch = 84;
constexpr double kMinStretch = 0.5; // a stretch stays visible at its true x in a large chunk
constexpr int kColumns = 16;
constexpr double kCell = 56, kCellPitch = 60;
constexpr const char* kHeaderColour = "#9e9e9e";
constexpr const char* kBlocksColour = "#3f6fc4";
constexpr const char* kFreeColour = "#d8ecd2";

// The map of one pool in memory of its own. Invariant: count <= capacity.
class MapCopy {
public:
    MapCopy() = default;
    ~MapCopy() { qor::platform::ReleaseObjectMemory(entries_); }
    MapCopy(const MapCopy&) = delete;
    MapCopy& operator=(const MapCopy&) = delete;

    // False for what QORSysGetPoolMap refuses and when no memory can be had. Another thread may
    // grow the pool between the measure and the copy: a copy that did not fit is made again.
    bool Take(void* pool) {
        long needed = QORSysGetPoolMap(pool, nullptr, 0);
        for (int attempt = 0; attempt < 8 && needed >= 0; ++attempt) {
            const std::size_t capacity = static_cast<std::size_t>(needed) * 5 / 4 + 16;
            qor::platform::ReleaseObjectMemory(entries_);
            entries_ = static_cast<QORPoolMapEntry*>(
                qor::platform::AllocateObjectMemory(capacity * sizeof(QORPoolMapEntry)));
            if (entries_ == nullptr) return false;
            needed = QORSysGetPoolMap(pool, entries_, capacity);
            if (needed >= 0 && static_cast<std::size_t>(needed) <= capacity) {
                count_ = static_cast<std::size_t>(needed);
                return true;
            }
        }
        return false;
    }

    const QORPoolMapEntry* begin() const { return entries_; }
    const QORPoolMapEntry* end() const { return entries_ + count_; }
    std::size_t Count() const { return count_; }

private:
    QORPoolMapEntry* entries_ = nullptr;
    std::size_t count_ = 0;
};

unsigned Percent(std::uint64_t part, std::uint64_t whole) {
    return whole == 0 ? 0 : static_cast<unsigned>(part * 100 / whole);
}

void Open(FILE* out, void* pool, double width, double height) {
    std::fprintf(out,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                 "viewBox=\"0 0 %.0f %.0f\" font-family=\"monospace\" font-size=\"12\">\n"
                 "<title>pool %p</title>\n"
                 "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
                 width, height, width, height, pool);
}

void Swatch(FILE* out, double x, const char* colour, const char* text) {
    std::fprintf(out,
                 "<rect class=\"legend\" x=\"%.0f\" y=\"%.0f\" width=\"14\" height=\"14\" "
                 "fill=\"%s\" stroke=\"black\"/><text x=\"%.0f\" y=\"%.0f\">%s</text>\n",
                 x, kMargin - 12, colour, x + 20, kMargin, text);
}

// General pools.

// How a stretch of a chunk is drawn: its class (and title) and its colour.
struct Look {
    const char* name;
    const char* colour;
};

Look LookOf(std::uint32_t kind) {
    if (kind == QORSysMapKind::HEADER) return {"header", kHeaderColour};
    return kind == QORSysMapKind::BLOCKS ? Look{"blocks", kBlocksColour}
                                         : Look{"free", kFreeColour};
}

double StripWidth(const QORPoolMapEntry& chunk, std::uint64_t largest) {
    const double width =
        kMaxStrip * static_cast<double>(chunk.bytes) / static_cast<double>(largest);
    return width < kMinStrip ? kMinStrip : width;
}

void WriteStretch(FILE* out, const QORPoolMapEntry& s, const QORPoolMapEntry& chunk, double width,
                  double y) {
    const double scale = width / static_cast<double>(chunk.bytes);
    const double w = static_cast<double>(s.bytes) * scale;
    const Look look = LookOf(s.kind);
    std::fprintf(out,
                 "<rect class=\"%s\" data-offset=\"%" PRIu64 "\" data-bytes=\"%" PRIu64
                 "\" data-count=\"%" PRIu32 "\" x=\"%.3f\" y=\"%.0f\" width=\"%.3f\" "
                 "height=\"%.0f\" fill=\"%s\"><title>%s: offset %" PRIu64 ", %" PRIu64
                 " bytes, pieces: %" PRIu32 "</title></rect>\n",
                 look.name, s.start, s.bytes, s.count,
                 kMargin + static_cast<double>(s.start) * scale, y,
                 w < kMinStretch ? kMinStretch : w, kStripHeight, look.colour, look.name, s.start,
                 s.bytes, s.count);
}

void WriteChunkFrame(FILE* out, const QORPoolMapEntry& chunk, double width, double y) {
    const unsigned used = Percent(chunk.usedBytes, chunk.bytes);
    std::fprintf(out,
                 "<text x=\"%.0f\" y=\"%.0f\">chunk %#" PRIx64 ": %" PRIu64
                 " bytes, %u%% used, %" PRIu32 " pieces</text>\n"
                 "<rect class=\"chunk\" data-address=\"%#" PRIx64 "\" data-bytes=\"%" PRIu64
                 "\" data-used=\"%" PRIu64 "\" x=\"%.0f\" y=\"%.0f\" width=\"%.3f\" "
                 "height=\"%.0f\" fill=\"none\" stroke=\"black\"><title>chunk %#" PRIx64
                 ": %" PRIu64 " bytes, %u%% used</title></rect>\n",
                 kMargin, y - 6, chunk.start, chunk.bytes, used, chunk.count, chunk.start,
                 chunk.bytes, chunk.usedBytes, kMargin, y, width, kStripHeight, chunk.start,
                 chunk.bytes, used);
}

void WriteGeneral(FILE* out, void* pool, const MapCopy& map) {
    std::uint64_t largest = 1, chunks = 0;
    for (const QORPoolMapEntry& e : map)
        if (e.kind == QORSysMapKind::CHUNK) {
            ++chunks;
            if (e.bytes > largest) largest = e.bytes;
        }
    Open(out, pool, kMaxStrip + 2 * kMargin,
         kLegendHeight + static_cast<double>(chunks) * kChunkPitch + kMargin);
    Swatch(out, kMargin, kHeaderColour, "header");
    Swatch(out, kMargin + 100, kBlocksColour, "blocks in use");
    Swatch(out, kMargin + 260, kFreeColour, "free areas");
    const QORPoolMapEntry* chunk = nullptr;
    double y = kLegendHeight, width = 0;
    for (const QORPoolMapEntry& e : map) {
        if (e.kind == QORSysMapKind::CHUNK) {
            if (chunk != nullptr) y += kChunkPitch;
            chunk = &e;
            width = StripWidth(e, largest);
            std::fprintf(out, "<g class=\"chunk-strip\" data-address=\"%#" PRIx64 "\">\n", e.start);
        }
        if (chunk == nullptr || e.kind == QORSysMapKind::CHUNK) continue;
        WriteStretch(out, e, *chunk, width, y + 20);
        // The frame goes over the chunk's last stretch, which ends the group.
        if (const QORPoolMapEntry* next = &e + 1;
            next == map.end() || next->kind == QORSysMapKind::CHUNK) {
            WriteChunkFrame(out, *chunk, width, y + 20);
            std::fputs("</g>\n", out);
        }
    }
}

// Paged pools.

// From a pale to a deep blue as the page fills.
void FillColour(char (&colour)[8], std::uint32_t used, std::uint32_t slots) {
    const double fill = slots == 0 ? 0 : static_cast<double>(used) / slots;
    const auto mix = [fill](int empty, int full) {
        return static_cast<int>(empty + (full - empty) * fill);
    };
    std::snprintf(colour, sizeof colour, "#%02x%02x%02x", mix(0xe8, 0x1a), mix(0xf0, 0x3d),
                  mix(0xfe, 0x8c));
}

void WritePage(FILE* out, const QORPoolMapEntry& page, std::size_t index) {
    const std::size_t row = index / kColumns, column = index % kColumns;
    const double x = kMargin + static_cast<double>(column) * kCellPitch;
    const double y = kLegendHeight + static_cast<double>(row) * kCellPitch;
    char colour[8];
    FillColour(colour, page.usedSlots, page.slots);
    const bool dark = page.usedSlots * 2 > page.slots;
    std::fprintf(out,
                 "<g class=\"page\"><rect class=\"page\" data-address=\"%#" PRIx64
                 "\" data-slot-bytes=\"%" PRIu32 "\" data-slots=\"%" PRIu32
                 "\" data-used-slots=\"%" PRIu32 "\" x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" "
                 "height=\"%.0f\" fill=\"%s\" stroke=\"black\"><title>page %#" PRIx64
                 ": class %" PRIu32 ", %" PRIu32 " of %" PRIu32
                 " slots used</title></rect><text x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\" "
                 "fill=\"%s\">%" PRIu32 "</text></g>\n",
                 page.start, page.count, page.slots, page.usedSlots, x, y, kCell, kCell, colour,
                 page.start, page.count, page.usedSlots, page.slots, x + kCell / 2,
                 y + kCell / 2 + 4, dark ? "white" : "black", page.count);
}

void WritePaged(FILE* out, void* pool, const MapCopy& map) {
    const std::size_t rows = (map.Count() + kColumns - 1) / kColumns;
    Open(out, pool, kColumns * kCellPitch + 2 * kMargin,
         kLegendHeight + static_cast<double>(rows == 0 ? 1 : rows) * kCellPitch + kMargin);
    char empty[8], half[8], full[8];
    FillColour(empty, 0, 1);
    FillColour(half, 1, 2);
    FillColour(full, 1, 1);
    Swatch(out, kMargin, empty, "no slot used");
    Swatch(out, kMargin + 140, half, "half");
    Swatch(out, kMargin + 220, full, "full (label: slot bytes)");
    if (map.Count() == 0)
        std::fprintf(out, "<text x=\"%.0f\" y=\"%.0f\">no pages</text>\n", kMargin,
                     kLegendHeight + 16);
    std::size_t index = 0;
    for (const QORPoolMapEntry& page : map)
        WritePage(out, page, index++);
}

} // namespace

int QORSysWritePoolMap(void* pool, FILE* stream) {
    if (stream == nullptr) return -1;
    MapCopy map;
    if (!map.Take(pool)) return -1;
    // A general pool's map always holds its first chunk; an empty map is a paged pool's.
    if (map.Count() != 0 && map.begin()->kind == QORSysMapKind::CHUNK)
        WriteGeneral(stream, pool, map);
    else
        WritePaged(stream, pool, map);
    std::fputs("</svg>\n", stream);
    return 0;
}
