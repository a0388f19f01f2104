// The engine's statistics, read from any thread by walking the registry under its lock: pages'
// counters are read relaxed, so that figures are exact whenever no thread allocates or releases,
// and otherwise each within the operations in flight.
#include "Heap.h"

#include "Segments.h"

#include <cstring>

namespace qor::heap {

namespace {

constexpr std::uint64_t kHeaderResidentBytes = (sizeof(Segment) + 4095) & ~std::uint64_t{4095};

void AddPages(Segment* segment, Figures* figures) {
    const std::uint64_t dirty = segment->dirtySlices.load(std::memory_order_relaxed);
    figures->bytesResident += kHeaderResidentBytes + __builtin_popcountll(dirty) * kSliceBytes;
    for (unsigned slice = 1; slice < kSlices; ++slice) {
        const Page& page = segment->pages[slice];
        if (Peek(page.firstSlice) != slice) continue;
        ClassFigures& figuresOfClass = figures->classes[Peek(page.sizeClass)];
        const std::uint64_t blockBytes = Peek(page.blockBytes);
        const std::uint64_t used = page.used.load(std::memory_order_relaxed);
        const std::uint64_t pending = page.threadFreed.load(std::memory_order_relaxed);
        const std::uint64_t inUse = used > pending ? used - pending : 0;
        const std::uint64_t carved = page.capacity.load(std::memory_order_relaxed);
        figuresOfClass.blocksInUse += inUse;
        figuresOfClass.blocksCarved += carved;
        ++figuresOfClass.pages;
        figures->bytesInUse += inUse * blockBytes;
        figures->bytesAwaitingOwner += (used - inUse) * blockBytes;
        figures->bytesResident += (carved * blockBytes + 4095) & ~std::uint64_t{4095};
    }
}

} // namespace

void GetFigures(Figures* figures) {
    std::memset(figures, 0, sizeof(*figures));
    for (unsigned sizeClass = 0; sizeClass < kClassCount; ++sizeClass)
        figures->classes[sizeClass].blockBytes = ClassBytes(sizeClass);
    figures->heaps = CountHeaps(&figures->abandonedHeaps);
    const std::uint64_t kept = KeptMappingBytes();
    figures->bytesHeld += kept;
    figures->bytesResident += kept;
    ScopedLock lock(gRegistryLock);
    for (Segment* segment = gRegistry; segment != nullptr; segment = segment->registryNext) {
        figures->bytesHeld += segment->mappedBytes;
        if (segment->kind == SegmentKind::Huge) {
            const auto usable = static_cast<std::uint64_t>(segment->mapping + segment->mappedBytes -
                                                           segment->pages[0].start);
            ++figures->hugeBlocks;
            figures->hugeBytes += usable;
            figures->bytesInUse += usable;
            figures->bytesResident += segment->mappedBytes;
            continue;
        }
        ++figures->segments;
        AddPages(segment, figures);
    }
}

namespace {
unsigned long long Wide(std::uint64_t value) { return static_cast<unsigned long long>(value); }
} // namespace

void WriteFigures(FILE* stream, const Figures& figures, FiguresForm form) {
    if (form == FiguresForm::OneLine) {
        std::fprintf(
            stream,
            "Heap engine: %llu bytes in use, %llu held, %llu resident, %llu awaiting their "
            "owner; %llu segments, %llu huge blocks, %llu heaps (%llu ended)\n",
            Wide(figures.bytesInUse), Wide(figures.bytesHeld), Wide(figures.bytesResident),
            Wide(figures.bytesAwaitingOwner), Wide(figures.segments), Wide(figures.hugeBlocks),
            Wide(figures.heaps), Wide(figures.abandonedHeaps));
        return;
    }
    std::fprintf(stream, "class bytes      blocks in use   blocks carved   pages\n");
    for (const ClassFigures& sizeClass : figures.classes)
        if (sizeClass.pages != 0)
            std::fprintf(stream, "%11llu %15llu %15llu %7llu\n", Wide(sizeClass.blockBytes),
                         Wide(sizeClass.blocksInUse), Wide(sizeClass.blocksCarved),
                         Wide(sizeClass.pages));
    std::fprintf(stream,
                 "huge blocks      = %10llu (%llu bytes)\nheld bytes       = %10llu\n"
                 "resident bytes   = %10llu\nin use bytes     = %10llu\nawaiting owner   = "
                 "%10llu\nsegments         = %10llu\nheaps            = %10llu (%llu ended)\n",
                 Wide(figures.hugeBlocks), Wide(figures.hugeBytes), Wide(figures.bytesHeld),
                 Wide(figures.bytesResident), Wide(figures.bytesInUse),
                 Wide(figures.bytesAwaitingOwner), Wide(figures.segments), Wide(figures.heaps),
                 Wide(figures.abandonedHeaps));
}

} // namespace qor::heap
