// The report's view over time: the samples, the pools' maps at the peak and at the end, request
// sizes, and the call sites of the live bytes at the peak, of the leaks, of all allocations and of
// the temporary ones.
// Maps are written in bounded form: a chunk with many stretches as 512 cells of its fill, a paged
// pool's pages by class with at most kListedPages listed one by one.
#include "CallSites.h"
#include "MappedMemory.h"
#include "ReportSink.h"
#include "Sampler.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>

namespace qor::tracer {
namespace {

constexpr int kCells = 512;
constexpr std::size_t kListedPages = 4096;
constexpr std::size_t kListedSites = 1000;
constexpr int kFillBins = 11; // empty, then tenths of the slots in use

void WriteSwapRows(Sink& out, const SampleHead& head) {
    if (head.swapCount == 0) return;
    out.Print(", \"swap\": [");
    for (std::size_t k = 0; k < head.swapCount; ++k) {
        const SwapSample& swap = gSampler.swapRows[head.swapFirst + k];
        out.Print("%s[%u, %" PRIu64 ", %" PRIu64 ", %" PRIu64 ", %" PRIu64 ", %" PRIu64 "]",
                  k ? ", " : "", unsigned(swap.file), swap.objectsInZone, swap.bytesInZone,
                  swap.zoneCapacity, swap.swapOuts, swap.swapIns);
    }
    out.Print("]");
}

void WriteSamples(Sink& out) {
    if (gSampler.every == 0) return;
    out.Print(",\n\"sampling\": {\"unit\": \"%s\", \"asked\": %" PRIu64 ", \"every\": %" PRIu64
              "},\n\"samples\": [",
              gSampler.byTime ? "ms" : "allocations", gSampler.asked, gSampler.every);
    for (int i = 0; i < gSampler.count; ++i) {
        const SampleHead& head = gSampler.heads[i];
        out.Print("%s\n{\"t\": %" PRIu64 ", \"allocations\": %" PRIu64 ", \"rss\": %" PRIu64
                  ", \"tracerRss\": %" PRIu64 ", \"pools\": [",
                  i ? "," : "", head.micros, head.allocations, head.rss, head.tracerRss);
        for (std::size_t k = 0; k < head.count; ++k) {
            const PoolSample& pool = gSampler.entries[head.first + k];
            out.Print("%s[%u, %" PRIu64 ", %" PRIu64 ", %" PRIu64 ", %" PRIu64 ", %u]",
                      k ? ", " : "", unsigned(pool.pool), pool.liveBytes, pool.liveBlocks,
                      pool.totalSize, pool.freeSize, pool.chunkCount);
        }
        out.Print("]");
        WriteSwapRows(out, head);
        out.Print("}");
    }
    out.Print("]");
    if (gSampler.swapFileCount == 0) return;
    out.Print(",\n\"swapFiles\": [");
    for (int i = 0; i < gSampler.swapFileCount; ++i)
        out.Print("%s{\"index\": %d, \"zonePool\": %u}", i ? ", " : "", i,
                  unsigned(gSampler.swapFiles[i].pool));
    out.Print("]");
}

const char* RunKind(std::uint32_t kind) {
    return kind == QORSysMapKind::HEADER ? "h" : kind == QORSysMapKind::BLOCKS ? "b" : "f";
}

// The fill of `chunk`'s stretches [first, end) as kCells hex pairs (used fraction x 255).
void WriteCells(Sink& out, const QORPoolMapEntry& chunk, const QORPoolMapEntry* first,
                const QORPoolMapEntry* end) {
    std::uint64_t used[kCells] = {};
    const auto boundary = [&](int cell) { return chunk.bytes * std::uint64_t(cell) / kCells; };
    for (const QORPoolMapEntry* run = first; run != end; ++run) {
        if (run->kind == QORSysMapKind::FREE || run->bytes == 0) continue;
        const std::uint64_t stop = std::min(run->start + run->bytes, chunk.bytes);
        for (int cell = int(run->start * kCells / chunk.bytes);
             cell < kCells && boundary(cell) < stop; ++cell)
            used[cell] += std::min(stop, boundary(cell + 1)) - std::max(run->start, boundary(cell));
    }
    out.Print("\"cells\": \"");
    for (int cell = 0; cell < kCells; ++cell) {
        const std::uint64_t span = boundary(cell + 1) - boundary(cell);
        out.Print("%02x", span == 0 ? 0u : unsigned(used[cell] * 255 / span));
    }
    out.Print("\"");
}

void WriteGeneralMap(Sink& out, const QORPoolMapEntry* entry, const QORPoolMapEntry* end) {
    out.Print("\"chunks\": [");
    for (bool firstChunk = true; entry != end; firstChunk = false) {
        const QORPoolMapEntry& chunk = *entry++;
        const QORPoolMapEntry* runs = entry;
        while (entry != end && entry->kind != QORSysMapKind::CHUNK)
            ++entry;
        out.Print("%s\n{\"address\": \"0x%" PRIx64 "\", \"bytes\": %" PRIu64
                  ", \"usedBytes\": %" PRIu64 ", \"pieces\": %u, ",
                  firstChunk ? "" : ",", chunk.start, chunk.bytes, chunk.usedBytes, chunk.count);
        if (entry - runs > kCells) {
            WriteCells(out, chunk, runs, entry);
        } else {
            out.Print("\"runs\": [");
            for (const QORPoolMapEntry* run = runs; run != entry; ++run)
                out.Print("%s[\"%s\", %" PRIu64 ", %" PRIu64 ", %u]", run == runs ? "" : ", ",
                          RunKind(run->kind), run->start, run->bytes, run->count);
            out.Print("]");
        }
        out.Print("}");
    }
    out.Print("]");
}

struct SizeClass {
    std::uint64_t pages, slots, used;
    std::uint64_t fill[kFillBins];
};

void WritePagedMap(Sink& out, const QORPoolMapEntry* first, const QORPoolMapEntry* end) {
    static SizeClass classes[4096 / 8 + 1]; // only the report's thread writes it, once
    std::memset(classes, 0, sizeof classes);
    for (const QORPoolMapEntry* page = first; page != end; ++page) {
        SizeClass& size = classes[std::min<std::uint32_t>(page->count / 8, 4096 / 8)];
        ++size.pages;
        size.slots += page->slots;
        size.used += page->usedSlots;
        ++size.fill[page->slots == 0 ? 0 : (page->usedSlots * 10 + page->slots - 1) / page->slots];
    }
    out.Print("\"classes\": [");
    for (int i = 0, listed = 0; i <= 4096 / 8; ++i) {
        const SizeClass& size = classes[i];
        if (size.pages == 0) continue;
        out.Print("%s[%d, %" PRIu64 ", %" PRIu64 ", %" PRIu64 ", [", listed++ ? ", " : "", i * 8,
                  size.pages, size.slots, size.used);
        for (int bin = 0; bin < kFillBins; ++bin)
            out.Print("%s%" PRIu64, bin ? ", " : "", size.fill[bin]);
        out.Print("]]");
    }
    const std::size_t count = std::size_t(end - first);
    const std::size_t listed = std::min(count, kListedPages);
    out.Print("], \"pages\": [");
    for (std::size_t i = 0; i < listed; ++i)
        out.Print("%s[\"0x%" PRIx64 "\", %u, %u, %u]", i ? ", " : "", first[i].start,
                  first[i].count, first[i].slots, first[i].usedSlots);
    out.Print("], \"omittedPages\": %zu", count - listed);
}

void WriteMapSet(Sink& out, const MapSet& set, const char* moment, bool& any) {
    if (!set.taken) return;
    out.Print("%s\n{\"moment\": \"%s\", \"t\": %" PRIu64 ", \"heldBytes\": %" PRIu64
              ", \"pools\": [",
              any ? "," : "", moment, set.micros, set.heldBytes);
    any = true;
    for (int i = 0; i < set.partCount; ++i) {
        const PoolMapPart& part = set.parts[i];
        const QORPoolMapEntry* first = set.entries + part.first;
        out.Print("%s\n{\"pool\": %u, \"kind\": \"%s\", ", i ? "," : "", unsigned(part.pool),
                  part.paged ? "paged" : "general");
        if (part.paged)
            WritePagedMap(out, first, first + part.count);
        else
            WriteGeneralMap(out, first, first + part.count);
        out.Print(", \"omittedEntries\": %zu}", part.omitted);
    }
    out.Print("]}");
}

void WriteSizes(Sink& out) {
    out.Print(",\n\"sizes\": [");
    for (int i = 0, listed = 0; i < gState.poolCount; ++i) {
        const PoolRecord& pool = gState.pools[i];
        if (pool.allocations == 0) continue;
        out.Print("%s\n{\"pool\": %d, \"buckets\": [", listed++ ? "," : "", i);
        for (int bucket = 0, shown = 0; bucket < kSizeBuckets; ++bucket)
            if (pool.sizes[bucket] != 0)
                out.Print("%s[%" PRIu64 ", %" PRIu64 ", %" PRIu64 "]", shown++ ? ", " : "",
                          BucketLow(bucket), BucketHigh(bucket), pool.sizes[bucket]);
        out.Print("]}");
    }
    out.Print("]");
}

// The module, its load base and the dynamic symbol of a return address.
void WriteFrame(Sink& out, std::uintptr_t address, bool first) {
    Dl_info info{};
    char program[4096] = "", module[8192] = "", name[700] = "";
    std::uintptr_t base = 0;
    if (dladdr(reinterpret_cast<void*>(address), &info) != 0) {
        base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
        const char* path = info.dli_fname != nullptr ? info.dli_fname : "";
        // The program itself may be named as it was started: its link in /proc names it whole.
        if (path[0] != '/') {
            const ssize_t length = ::readlink("/proc/self/exe", program, sizeof program - 1);
            program[length > 0 ? length : 0] = '\0';
            path = program;
        }
        Json(path, module, sizeof module);
        if (info.dli_sname != nullptr) Json(info.dli_sname, name, sizeof name);
    }
    out.Print("%s{\"address\": \"0x%" PRIxPTR "\", \"module\": \"%s\", \"offset\": \"0x%" PRIxPTR
              "\", \"symbol\": \"%s\"}",
              first ? "" : ", ", address, module, address - base, name);
}

struct LeakSite {
    std::uint32_t stack;
    std::uint16_t pool;
    std::uint64_t size, count;
    std::uint64_t Bytes() const { return size * count; }
};

// One list of "sites": its key, the stack's bytes and blocks it gives, and which of the two it
// ranks the stacks by.
struct SiteList {
    const char* key;
    std::uint64_t StackRecord::*bytes;
    std::uint64_t StackRecord::*blocks;
    bool byBlocks;
};

// The live bytes at the peak, the leaks at exit, and the allocations and temporary allocations
// made from each stack.
constexpr SiteList kSiteLists[] = {
    {"peak", &StackRecord::peakBytes, &StackRecord::peakBlocks, false},
    {"exit", &StackRecord::liveBytes, &StackRecord::liveBlocks, false},
    {"allocations", &StackRecord::allocatedBytes, &StackRecord::allocations, true},
    {"temporary", &StackRecord::temporaryBytes, &StackRecord::temporaries, true},
};

// Each list's sites, largest first; `order` has room for every stack id, and the sites written
// are marked in `listed`.
void WriteSites(Sink& out, std::uint32_t* order, bool* listed) {
    out.Print(",\n\"sites\": {");
    for (const SiteList& list : kSiteLists) {
        const auto rank = [&list](std::uint32_t id) {
            return StackById(id)->*(list.byBlocks ? list.blocks : list.bytes);
        };
        std::uint32_t count = 0;
        for (std::uint32_t id = 1; id <= StackCount(); ++id)
            if (rank(id) != 0) order[count++] = id;
        const std::uint32_t shown = std::min<std::uint32_t>(count, kListedSites);
        std::partial_sort(order, order + shown, order + count,
                          [&](std::uint32_t a, std::uint32_t b) { return rank(a) > rank(b); });
        out.Print("%s\"%s\": [", &list == kSiteLists ? "" : "], ", list.key);
        for (std::uint32_t i = 0; i < shown; ++i) {
            const StackRecord& stack = *StackById(order[i]);
            listed[order[i]] = true;
            out.Print("%s[%u, %" PRIu64 ", %" PRIu64 "]", i ? ", " : "", order[i],
                      stack.*list.bytes, stack.*list.blocks);
        }
    }
    out.Print("]}");
}

// The leaks by site, pool and size, largest first; `sites` has room for one group per block.
void WriteLeakSites(Sink& out, LiveBlock* live, std::size_t liveCount, LeakSite* sites,
                    bool* listed) {
    std::sort(live, live + liveCount, [](const LiveBlock& a, const LiveBlock& b) {
        if (a.stack != b.stack) return a.stack < b.stack;
        return a.pool != b.pool ? a.pool < b.pool : a.size < b.size;
    });
    std::size_t groups = 0;
    for (std::size_t i = 0; i < liveCount; ++i) {
        LeakSite* last = groups != 0 ? &sites[groups - 1] : nullptr;
        if (last != nullptr && last->stack == live[i].stack && last->pool == live[i].pool &&
            last->size == live[i].size)
            ++last->count;
        else
            sites[groups++] = {live[i].stack, live[i].pool, live[i].size, 1};
    }
    const std::size_t shown = std::min(groups, kListedSites);
    std::partial_sort(sites, sites + shown, sites + groups,
                      [](const LeakSite& a, const LeakSite& b) { return a.Bytes() > b.Bytes(); });
    out.Print(",\n\"leakSites\": [");
    for (std::size_t i = 0; i < shown; ++i) {
        listed[sites[i].stack] = true;
        out.Print("%s\n{\"stack\": %u, \"pool\": %u, \"size\": %" PRIu64 ", \"count\": %" PRIu64
                  ", \"bytes\": %" PRIu64 "}",
                  i ? "," : "", sites[i].stack, unsigned(sites[i].pool), sites[i].size,
                  sites[i].count, sites[i].Bytes());
    }
    out.Print("]");
}

// The stacks marked in `listed`, with their pools and frames.
void WriteStacks(Sink& out, const bool* listed) {
    out.Print(",\n\"stacks\": [");
    for (std::uint32_t id = 1, written = 0; id <= StackCount(); ++id) {
        if (!listed[id]) continue;
        const StackRecord& stack = *StackById(id);
        out.Print("%s\n{\"id\": %u, \"pool\": %u, \"frames\": [", written++ ? "," : "", id,
                  unsigned(stack.pool));
        for (int frame = 0; frame < stack.depth; ++frame)
            WriteFrame(out, stack.frames[frame], frame == 0);
        out.Print("]}");
    }
    out.Print("]");
}

// The sites at the peak and at exit, the leaks by site, then the stacks these and the damage name.
void WriteCallSites(Sink& out, LiveBlock* live, std::size_t liveCount) {
    const std::uint32_t stacks = StackCount();
    out.Print(",\n\"stackDepth\": %d", StackDepth());
    auto* listed = MapZeroed<bool>(stacks + 1);
    auto* order = MapZeroed<std::uint32_t>(stacks + 1);
    auto* sites = MapZeroed<LeakSite>(liveCount + 1);
    if (listed == nullptr || order == nullptr || sites == nullptr) return;
    WriteSites(out, order, listed);
    WriteLeakSites(out, live, liveCount, sites, listed);
    for (int i = 0; i < gState.damageCount; ++i)
        if (gState.damage[i].stack <= stacks) listed[gState.damage[i].stack] = true;
    WriteStacks(out, listed);
}

} // namespace

void WriteJsonOverTime(Sink& out, LiveBlock* live, std::size_t liveCount, int signal) {
    WriteSamples(out);
    WriteSizes(out);
    if (signal != 0) return;
    bool any = false;
    out.Print(",\n\"maps\": [");
    WriteMapSet(out, gSampler.peak, "peak", any);
    WriteMapSet(out, gSampler.end, "end", any);
    out.Print("]");
    WriteCallSites(out, live, liveCount);
}

} // namespace qor::tracer
