// The swap policies' model.
// Paged model (page, object): an object is in the zone (in the age list, oldest first), on
// disk (its record on `page`, or the run of pages from `page` for a block above 8192 bytes) or
// gone. zoneUsed is the swap file's charge (ZoneSize at creation, the block at a swap-in, less
// the block at a swap-out or destruction, never below 0); realBytes is the sum of the blocks in
// the zone; an allocation needs request + zoneUsed < capacity and realBytes + block <= capacity.
// A booked page holds records (in page order), a large object's run or tail, or a page buffer.
// Cache model (lru, belady): objects in the zone, ordered by the key of the policy; the object
// with the largest key goes first, until the blocks of the zone leave room.
#include "SwapPolicyModel.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <list>
#include <map>
#include <set>
#include <utility>

namespace qor::sim {

namespace {

constexpr std::uint64_t kPageBytes = 8192;
constexpr std::uint64_t kRecordHeaderBytes = 16;
constexpr std::uint64_t kFullPageBytes = 0x1FF0; // a buffer this full goes to the file
constexpr std::size_t kMaxBuffersBeforeEviction = 10;
constexpr std::uint32_t kMinSwapOutBytes = 1; // the swap file's default: one object per round
constexpr std::uint32_t kNone = 0xFFFFFFFF;
constexpr std::int32_t kNoPage = -1;
constexpr std::uint64_t kNever = UINT64_MAX;

constexpr std::uint64_t Round8(std::uint64_t bytes) { return (bytes + 7) & ~std::uint64_t{7}; }
constexpr std::uint64_t RoundUp4(std::uint64_t bytes) { return (bytes + 3) & ~std::uint64_t{3}; }
// The zone pool's block for `request` bytes, its header included (a pool that takes a free area
// of up to 16 bytes more whole would give a larger one: not modelled).
constexpr std::uint64_t BlockBytes(std::uint64_t request) {
    return Round8(request) + kRecordHeaderBytes;
}
// What the swap file charges a creation (its ZoneSize).
constexpr std::uint64_t CreationCharge(std::uint64_t request) { return Round8(request) + 8; }

[[noreturn]] void Stop(const char* why) {
    std::fprintf(stderr, "swap policy model: %s\n", why);
    std::exit(1);
}

MoveCounts Minus(const MoveCounts& a, const MoveCounts& b) {
    return {a.objectsIn - b.objectsIn,
            a.objectsOut - b.objectsOut,
            a.pagesRead - b.pagesRead,
            a.pagesWritten - b.pagesWritten,
            a.bytesRead - b.bytesRead,
            a.bytesWritten - b.bytesWritten,
            a.changedBytesWritten - b.changedBytesWritten};
}

// The counts, and the log of crossings when one is asked for.
class Recorder {
public:
    explicit Recorder(std::vector<Move>* log) : log(log) {}
    void In(std::uint32_t object) {
        ++counts.objectsIn;
        if (log != nullptr) log->push_back({object, true});
    }
    void Out(std::uint32_t object) {
        ++counts.objectsOut;
        if (log != nullptr) log->push_back({object, false});
    }
    void Read(std::uint64_t pages, std::uint64_t bytes) {
        counts.pagesRead += pages;
        counts.bytesRead += bytes;
    }
    void Write(std::uint64_t pages, std::uint64_t bytes) {
        counts.pagesWritten += pages;
        counts.bytesWritten += bytes;
    }
    MoveCounts counts;

private:
    std::vector<Move>* log;
};

// Free file pages as maximal runs (first page -> length).
class FreePages {
public:
    explicit FreePages(std::int32_t pageCount) { runs[0] = pageCount; }
    std::int32_t Lowest() const { return runs.empty() ? kNoPage : runs.begin()->first; }
    // The first page of the lowest run of at least `pages` free pages; kNoPage when none.
    std::int32_t FindRun(std::int32_t pages) const {
        for (const auto& [first, length] : runs)
            if (length >= pages) return first;
        return kNoPage;
    }
    // Requires: `first` starts a free run of at least `pages` pages.
    void Take(std::int32_t first, std::int32_t pages) {
        const auto run = runs.find(first);
        const std::int32_t rest = run->second - pages;
        runs.erase(run);
        if (rest > 0) runs[first + pages] = rest;
    }
    void Give(std::int32_t page) {
        std::int32_t length = 1;
        auto next = runs.lower_bound(page);
        if (next != runs.end() && next->first == page + 1) {
            length += next->second;
            next = runs.erase(next);
        }
        if (next != runs.begin()) {
            const auto previous = std::prev(next);
            if (previous->first + previous->second == page) {
                previous->second += length;
                return;
            }
        }
        runs[page] = length;
    }

private:
    std::map<std::int32_t, std::int32_t> runs;
};

// The swap file's rules; `wholePages` reads a page back with all its records (page), else
// only the record visited (object).
class PagedModel {
public:
    PagedModel(const ZoneGeometry& zone, bool wholePages, Recorder& recorder)
        : capacity(zone.capacityBytes), wholePages(wholePages), pages(zone.pageCount),
          freePages(zone.pageCount), recorder(recorder) {}

    void Create(std::uint32_t object, std::uint64_t request, std::uint64_t, std::uint64_t) {
        objects.push_back({BlockBytes(request), Where::Zone, kNoPage, kNone, kNone});
        if (!FindZone(request, kNone)) Stop("the zone cannot hold a new object");
        zoneUsed += CreationCharge(request);
        LinkNewest(object);
    }
    void Visit(std::uint32_t object, std::uint64_t, std::uint64_t) {
        if (objects[object].where == Where::Disk) Reload(object);
        Unlink(object); // the visit marks it used
        LinkNewest(object);
    }
    void Rewrite(std::uint32_t) {}
    // The new object is made while the old one still lives, as when a handle is reassigned.
    void Replace(std::uint32_t old, std::uint32_t fresh, std::uint64_t request, std::uint64_t now,
                 std::uint64_t next) {
        Create(fresh, request, now, next);
        Destroy(old);
    }

private:
    enum class Where : std::uint8_t { Zone, Disk, Gone };
    struct Object {
        std::uint64_t blockBytes;
        Where where;
        std::int32_t page;
        std::uint32_t newer, older;
    };
    struct Page {
        std::vector<std::uint32_t> records; // on disk or in the page's buffer, in page order
        std::uint32_t tailOwner = kNone;    // the large object whose last bytes start the page
        std::uint64_t tailBytes = 0;
    };
    // A page being filled in memory; `filed` bytes of it are in the file already (a large
    // object's tail, written with its run).
    struct Buffer {
        std::int32_t page;
        std::uint64_t used, filed;
    };
    using BufferIt = std::list<Buffer>::iterator;

    // ---- zone ----------------------------------------------------------------------------------
    bool Fits(std::uint64_t request, std::uint64_t block) const {
        return request + zoneUsed < capacity && realBytes + block <= capacity;
    }
    // A block for `request` bytes, swapping out the oldest objects (never `keep`) for room.
    bool FindZone(std::uint64_t request, std::uint32_t keep) {
        const std::uint64_t block = BlockBytes(request);
        if (Fits(request, block)) return realBytes += block, true;
        for (;;) {
            if ((zoneUsed == 0 && oldest == kNone) || request > capacity) return false;
            const std::uint32_t swapped = MakeRoom(request, keep);
            if (Fits(request, block)) return realBytes += block, true;
            if (swapped == 0) return false;
        }
    }
    std::uint32_t MakeRoom(std::uint64_t request, std::uint32_t keep) {
        std::uint32_t swapped = 0;
        while (capacity - zoneUsed < request || swapped < kMinSwapOutBytes) {
            std::uint32_t victim = oldest;
            if (victim != kNone && victim == keep) victim = objects[victim].newer;
            if (victim == kNone) break;
            swapped += static_cast<std::uint32_t>(objects[victim].blockBytes);
            SwapOut(victim);
        }
        return swapped;
    }
    void Uncharge(std::uint64_t block) {
        zoneUsed = block > zoneUsed ? 0 : zoneUsed - block;
        realBytes -= block;
    }
    void Destroy(std::uint32_t object) {
        if (objects[object].where == Where::Disk) Reload(object); // the library brings it back
        Uncharge(objects[object].blockBytes);
        Unlink(object);
        objects[object].where = Where::Gone;
    }

    // ---- age list ------------------------------------------------------------------------------
    void LinkNewest(std::uint32_t object) {
        objects[object].older = newest;
        objects[object].newer = kNone;
        (newest != kNone ? objects[newest].newer : oldest) = object;
        newest = object;
    }
    void Unlink(std::uint32_t object) {
        Object& o = objects[object];
        (o.newer != kNone ? objects[o.newer].older : newest) = o.older;
        (o.older != kNone ? objects[o.older].newer : oldest) = o.newer;
        o.newer = o.older = kNone;
    }

    // ---- swap-out ------------------------------------------------------------------------------
    void SwapOut(std::uint32_t object) {
        const std::uint64_t block = objects[object].blockBytes;
        if (block <= kPageBytes)
            SaveSmall(object, block);
        else
            SaveLarge(object, block);
        Unlink(object);
        Uncharge(block);
        objects[object].where = Where::Disk;
        recorder.Out(object);
    }
    void SaveSmall(std::uint32_t object, std::uint64_t block) {
        const BufferIt target = BufferWithRoom(block);
        if (target->page == kNoPage) {
            target->page = freePages.Lowest();
            freePages.Take(target->page, 1);
        }
        pages[target->page].records.push_back(object);
        objects[object].page = target->page;
        target->used += block;
        if (target->used >= kFullPageBytes) WriteOut(target);
    }
    // First fit; a new buffer when none fits, the fullest going to the file when there are more
    // than ten.
    BufferIt BufferWithRoom(std::uint64_t block) {
        std::size_t visited = 0;
        std::uint64_t smallestRoom = kPageBytes;
        for (auto buffer = buffers.begin(); buffer != buffers.end(); ++buffer) {
            ++visited;
            smallestRoom = std::min(smallestRoom, kPageBytes - buffer->used);
            if (kPageBytes - buffer->used >= block) return buffer;
        }
        if (freePages.Lowest() == kNoPage) Stop("the file is full");
        const BufferIt fresh = buffers.insert(buffers.end(), Buffer{kNoPage, 0, 0});
        if (visited > kMaxBuffersBeforeEviction) EvictFullest(fresh, smallestRoom);
        return fresh;
    }
    void SaveLarge(std::uint32_t object, std::uint64_t block) {
        const auto runPages = static_cast<std::int32_t>((block + kPageBytes - 1) / kPageBytes);
        const std::int32_t first = freePages.FindRun(runPages);
        if (first == kNoPage) Stop("no run of free pages");
        const std::uint64_t tailBytes = block % kPageBytes;
        // The tail's page is padded with zeros, as far as the file already reaches.
        const std::uint64_t start = std::uint64_t(first) * kPageBytes, end = start + block;
        const std::uint64_t padEnd =
            std::min(end - tailBytes + (tailBytes != 0 ? kPageBytes : 0), fileBytes);
        const std::uint64_t written = block + (padEnd > end ? padEnd - end : 0);
        recorder.Write(static_cast<std::uint64_t>(runPages), written);
        fileBytes = std::max(fileBytes, start + written);
        freePages.Take(first, runPages);
        objects[object].page = first;
        if (tailBytes == 0) return;
        Page& tail = pages[first + static_cast<std::int32_t>(block / kPageBytes)];
        tail.tailOwner = object;
        tail.tailBytes = tailBytes;
        const std::uint64_t used = RoundUp4(tailBytes);
        AppendBufferAndEvict({first + static_cast<std::int32_t>(block / kPageBytes), used, used});
    }
    void AppendBufferAndEvict(const Buffer& buffer) {
        const std::size_t count = buffers.size();
        std::uint64_t smallestRoom = kPageBytes;
        for (const Buffer& other : buffers)
            smallestRoom = std::min(smallestRoom, kPageBytes - other.used);
        const BufferIt fresh = buffers.insert(buffers.end(), buffer);
        if (count > kMaxBuffersBeforeEviction) EvictFullest(fresh, smallestRoom);
    }
    void EvictFullest(BufferIt keep, std::uint64_t room) {
        for (auto buffer = buffers.begin(); buffer != buffers.end();)
            buffer = buffer != keep && kPageBytes - buffer->used == room ? WriteOut(buffer)
                                                                         : std::next(buffer);
    }
    // A tail buffer that nothing joined is in the file already.
    BufferIt WriteOut(BufferIt buffer) {
        if (buffer->used != buffer->filed || buffer->filed == 0) WritePage(buffer->page);
        return buffers.erase(buffer);
    }
    void WritePage(std::int32_t page) {
        recorder.Write(1, kPageBytes);
        fileBytes = std::max(fileBytes, (std::uint64_t(page) + 1) * kPageBytes);
    }
    BufferIt BufferOf(std::int32_t page) {
        return std::find_if(buffers.begin(), buffers.end(),
                            [page](const Buffer& buffer) { return buffer.page == page; });
    }

    // ---- swap-in -------------------------------------------------------------------------------
    void Reload(std::uint32_t object) {
        if (objects[object].blockBytes > kPageBytes)
            ReloadLarge(object);
        else if (wholePages)
            ReloadPage(objects[object].page, object);
        else
            ReloadRecord(object);
    }
    // Its page's buffer, taken out of the list, else one read of the page.
    void OpenPage(std::int32_t page) {
        const BufferIt buffer = BufferOf(page);
        if (buffer != buffers.end())
            buffers.erase(buffer);
        else
            recorder.Read(1, kPageBytes);
    }
    // The whole page back, `wanted` kept from the rounds that make room once it is back; a page
    // that starts with a large object's tail stays booked, in a buffer, for that object.
    void ReloadPage(std::int32_t page, std::uint32_t wanted) {
        OpenPage(page);
        BringBackRecords(page, wanted);
        if (pages[page].tailOwner == kNone) return FreePage(page);
        const std::uint64_t used = RoundUp4(pages[page].tailBytes);
        buffers.push_back({page, used, 0});
    }
    void BringBackRecords(std::int32_t page, std::uint32_t wanted) {
        const std::vector<std::uint32_t> records = std::move(pages[page].records);
        pages[page].records.clear();
        std::uint32_t keep = kNone;
        for (const std::uint32_t object : records) {
            if (!FindZone(objects[object].blockBytes - kRecordHeaderBytes, keep))
                Stop("the zone cannot hold the records of one page");
            zoneUsed += objects[object].blockBytes;
            Relink(object);
            if (object == wanted) keep = object;
        }
    }
    void ReloadRecord(std::uint32_t object) {
        const std::int32_t page = objects[object].page;
        if (!FindZone(objects[object].blockBytes - kRecordHeaderBytes, kNone))
            Stop("the zone cannot hold an object");
        if (BufferOf(page) == buffers.end()) recorder.Read(1, kPageBytes);
        std::vector<std::uint32_t>& records = pages[page].records;
        records.erase(std::find(records.begin(), records.end(), object));
        zoneUsed += objects[object].blockBytes;
        Relink(object);
        if (records.empty() && pages[page].tailOwner == kNone) FreePage(page);
    }
    // One read for the run, its tail page included unless that page is in a buffer; then the
    // tail page's records (page) and the object itself.
    void ReloadLarge(std::uint32_t object) {
        const std::uint64_t block = objects[object].blockBytes;
        const std::int32_t first = objects[object].page;
        const auto fullPages = static_cast<std::int32_t>(block / kPageBytes);
        if (!FindZone(block - kRecordHeaderBytes, kNone)) Stop("the zone cannot hold an object");
        const std::int32_t tailPage = first + fullPages;
        const bool hasTail = block % kPageBytes != 0;
        const std::uint64_t readPages =
            std::uint64_t(fullPages) + (hasTail && BufferOf(tailPage) == buffers.end() ? 1 : 0);
        recorder.Read(readPages, readPages * kPageBytes);
        zoneUsed += block; // before the tail page's records come back
        if (hasTail) {
            pages[tailPage].tailOwner = kNone;
            if (wholePages) {
                const BufferIt buffer = BufferOf(tailPage);
                if (buffer != buffers.end()) buffers.erase(buffer);
                BringBackRecords(tailPage, object);
            }
            if (pages[tailPage].records.empty()) FreePage(tailPage);
        }
        for (std::int32_t page = first; page < tailPage; ++page)
            FreePage(page);
        Relink(object);
    }
    // Requires: the object's block is in the zone and charged.
    void Relink(std::uint32_t object) {
        objects[object].where = Where::Zone;
        LinkNewest(object);
        recorder.In(object);
    }
    void FreePage(std::int32_t page) {
        const BufferIt buffer = BufferOf(page);
        if (buffer != buffers.end()) buffers.erase(buffer);
        pages[page] = Page{};
        freePages.Give(page);
    }

    const std::uint64_t capacity;
    const bool wholePages;
    std::uint64_t zoneUsed = 0, realBytes = 0, fileBytes = 0;
    std::vector<Object> objects;
    std::uint32_t oldest = kNone, newest = kNone;
    std::vector<Page> pages;
    std::list<Buffer> buffers; // oldest first
    FreePages freePages;
    Recorder& recorder;
};

// Single objects, no pages: `furthestNextVisit` evicts the object visited again last (belady),
// else the least recently used (lru).
class CacheModel {
public:
    CacheModel(const ZoneGeometry& zone, bool furthestNextVisit, Recorder& recorder)
        : capacity(zone.capacityBytes), furthestNextVisit(furthestNextVisit), recorder(recorder) {}

    void Create(std::uint32_t object, std::uint64_t request, std::uint64_t now,
                std::uint64_t next) {
        objects.push_back({BlockBytes(request), 0, false, true});
        Place(object, now, next);
    }
    void Visit(std::uint32_t object, std::uint64_t now, std::uint64_t next) {
        Object& o = objects[object];
        if (o.inZone) {
            resident.erase({o.key, object});
            o.inZone = false;
            zoneBytes -= o.blockBytes;
        } else {
            recorder.In(object);
            recorder.Read(0, o.blockBytes);
        }
        Place(object, now, next);
    }
    void Rewrite(std::uint32_t object) { objects[object].changed = true; }
    // The old object's bytes are dead: they go before the new one needs room.
    void Replace(std::uint32_t old, std::uint32_t fresh, std::uint64_t request, std::uint64_t now,
                 std::uint64_t next) {
        Object& o = objects[old];
        if (o.inZone) {
            resident.erase({o.key, old});
            zoneBytes -= o.blockBytes;
            o.inZone = false;
        }
        Create(fresh, request, now, next);
    }

private:
    struct Object {
        std::uint64_t blockBytes;
        std::uint64_t key; // the larger, the sooner it goes
        bool inZone;
        bool changed; // since it last came in: its copy on disk, if any, is stale
    };

    void Place(std::uint32_t object, std::uint64_t now, std::uint64_t next) {
        Object& o = objects[object];
        while (zoneBytes + o.blockBytes > capacity && !resident.empty())
            Evict(std::prev(resident.end())->second);
        o.key = furthestNextVisit ? next : kNever - now;
        o.inZone = true;
        zoneBytes += o.blockBytes;
        resident.insert({o.key, object});
    }
    void Evict(std::uint32_t object) {
        Object& o = objects[object];
        resident.erase({o.key, object});
        o.inZone = false;
        zoneBytes -= o.blockBytes;
        recorder.Out(object);
        recorder.Write(0, o.blockBytes);
        if (o.changed) recorder.counts.changedBytesWritten += o.blockBytes;
        o.changed = false;
    }

    const std::uint64_t capacity;
    const bool furthestNextVisit;
    std::uint64_t zoneBytes = 0;
    std::vector<Object> objects;
    std::set<std::pair<std::uint64_t, std::uint32_t>> resident;
    Recorder& recorder;
};

// Times: slot i's creation is i, visit v is slots + v. The next visit of a slot after each
// visit, and its first, kNever when there is none.
struct NextVisits {
    explicit NextVisits(const Trace& trace)
        : first(trace.requestBytes.size(), kNever), after(trace.visits.size()) {
        for (std::size_t v = trace.visits.size(); v-- > 0;) {
            std::uint64_t& seen = first[trace.visits[v].slot];
            after[v] = seen;
            seen = first.size() + v;
        }
    }
    std::vector<std::uint64_t> first, after;
};

template <class Model> MoveCounts Drive(Model& model, const Trace& trace, Recorder& recorder) {
    const NextVisits next(trace);
    std::vector<std::uint32_t> current(trace.requestBytes.size());
    std::uint32_t created = 0;
    for (std::size_t slot = 0; slot < current.size(); ++slot) {
        current[slot] = created;
        model.Create(created++, trace.requestBytes[slot], slot, next.first[slot]);
    }
    MoveCounts start;
    for (std::size_t v = 0; v < trace.visits.size(); ++v) {
        if (v == trace.measuredFrom) start = recorder.counts;
        const TraceVisit& visit = trace.visits[v];
        const std::uint64_t now = current.size() + v;
        std::uint32_t& object = current[visit.slot];
        model.Visit(object, now, next.after[v]);
        if (visit.rewrites) model.Rewrite(object);
        if (visit.newRequestBytes != 0) {
            model.Replace(object, created, visit.newRequestBytes, now, next.after[v]);
            object = created++;
        }
    }
    if (trace.measuredFrom >= trace.visits.size()) start = recorder.counts;
    return Minus(recorder.counts, start);
}

} // namespace

const char* PolicyName(Policy policy) {
    switch (policy) {
    case Policy::Page:
        return "page";
    case Policy::Object:
        return "object";
    case Policy::Lru:
        return "lru";
    case Policy::Belady:
        return "belady";
    }
    return "?";
}

bool MovesPages(Policy policy) { return policy == Policy::Page || policy == Policy::Object; }

MoveCounts Replay(Policy policy, const Trace& trace, const ZoneGeometry& zone,
                  std::vector<Move>* moves) {
    Recorder recorder(moves);
    if (MovesPages(policy)) {
        PagedModel model(zone, policy == Policy::Page, recorder);
        return Drive(model, trace, recorder);
    }
    CacheModel model(zone, policy == Policy::Belady, recorder);
    return Drive(model, trace, recorder);
}

} // namespace qor::sim
