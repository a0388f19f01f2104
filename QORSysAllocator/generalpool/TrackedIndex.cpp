// The tracked list's index (see TrackedIndex.h for its rules). Every change to a list keeps them:
// a push makes the new head a stair, a take repairs the spans that covered the area taken (those
// of the path its search came down), and a rebuilt list gets its slots in one pass.
// A slot word: bit 63 set | largest size in bytes, bits 30..62 | link offset from the chunk / 8.
// (Sizes are exact bytes: an arena's last area need not be a multiple of 8.) A slot's largest size
// leaves out its own node, so that the node can shrink or leave without the slot changing.
#include "TrackedIndex.h"

#include "FreeList.h"

namespace qor::placement {

namespace {

constexpr std::uint64_t kSlotMark = std::uint64_t{1} << 63;
constexpr int kMaxShift = 30;
constexpr std::uint64_t kLinkMask = (std::uint64_t{1} << kMaxShift) - 1;
constexpr std::uint64_t kMaxMask = (std::uint64_t{1} << 33) - 1;
static_assert(kIndexedSpanLimit - 1 <= kMaxMask && (kIndexedSpanLimit - 1) / 8 <= kLinkMask);
constexpr std::uint64_t kSmallestNodeBytes = 24;
constexpr std::uint64_t kUnitBytes = 8;

inline bool IsNode(const FreeArea* area) { return area->size >= kSmallestNodeBytes; }

// Slot 1 of a node of the fresh run: no slot word takes it (a slot's largest size stays below
// 2^33 - 1), and its top bit keeps the bound word's mark.
constexpr std::uint64_t kFreshMark = ~std::uint64_t{0};
// Fresh areas kept in front of the index when a search takes the rest of the run into it: the
// newest releases, which the next small requests take back before they would repay their
// indexing.
constexpr std::uint64_t kFreshKeptAreas = 3;
// The most fresh areas a search walks before it takes the run in: it never walks a long run twice.
constexpr std::uint64_t kFreshWalkedAreas = 8;
inline std::uint64_t Larger(std::uint64_t a, std::uint64_t b) { return a > b ? a : b; }

// The height is drawn from the area's end address, >= j with odds 4^-j, and capped so that slots
// 1..h+1 fit the area. The end (not the start): the rest of a split keeps it, and so its place in
// the index. Costs about a dozen instructions; nothing is stored.
inline int HeightAt(const void* at, std::uint64_t bytes) {
    if (bytes < kSmallestNodeBytes) return -1;
    const auto hash = static_cast<std::uint32_t>(
        ((reinterpret_cast<std::uintptr_t>(at) + bytes) >> 3) * 0x9E3779B97F4A7C15ull >> 32);
    if (hash & 3) return 0; // three times in four
    const int drawn = __builtin_ctz(hash | (1u << (2 * kTallestNode))) / 2;
    const std::uint64_t room = bytes / kUnitBytes - 3;
    return room < static_cast<std::uint64_t>(drawn) ? static_cast<int>(room) : drawn;
}
inline int HeightOf(const FreeArea* area) { return HeightAt(area, area->size); }

inline std::uint64_t& SlotOf(FreeArea* area, int level) {
    return reinterpret_cast<std::uint64_t*>(area)[1 + level];
}
inline std::uint64_t SlotOf(const FreeArea* area, int level) {
    return reinterpret_cast<const std::uint64_t*>(area)[1 + level];
}

// Whether `area` is a node of the index, not of the fresh run in front of it.
inline bool InIndex(const FreeArea* area) { return IsNode(area) && SlotOf(area, 1) != kFreshMark; }
inline void MarkFresh(FreeArea* area) {
    if (IsNode(area)) SlotOf(area, 1) = kFreshMark;
}

// The chunk (or arena) that K heads: links are offsets from it.
inline char* BaseOf(const ChunkFields& k) {
    return const_cast<char*>(reinterpret_cast<const char*>(&k)) - kChunkFieldsOffset;
}

class ListIndex {
public:
    explicit ListIndex(const ChunkFields& k) : base_(BaseOf(k)) {}

    // Requires (here and below, unless said otherwise): level >= 1.
    FreeArea* Link(const FreeArea* area, int level) const {
        const std::uint64_t units = SlotOf(area, level) & kLinkMask;
        return units == 0 ? nullptr : reinterpret_cast<FreeArea*>(base_ + units * kUnitBytes);
    }
    // The largest size in (area, link_level(area)): the span without the area itself.
    static std::uint64_t After(const FreeArea* area, int level) {
        return SlotOf(area, level) >> kMaxShift & kMaxMask;
    }

    void Set(FreeArea* area, int level, const FreeArea* link, std::uint64_t maxBytes) const {
        SlotOf(area, level) = kSlotMark | maxBytes << kMaxShift | UnitsOf(link);
    }
    void SetLink(FreeArea* area, int level, const FreeArea* link) const {
        SlotOf(area, level) = (SlotOf(area, level) & ~kLinkMask) | UnitsOf(link);
    }
    static void SetMax(FreeArea* area, int level, std::uint64_t maxBytes) {
        std::uint64_t& slot = SlotOf(area, level);
        slot = (slot & ~(kMaxMask << kMaxShift)) | maxBytes << kMaxShift;
    }
    // A slot that carries nothing but keeps the bound word's mark.
    static void Clear(FreeArea* area, int level) { SlotOf(area, level) = kSlotMark; }

    // The largest size in (from, end), following level `level`'s links from `from` (level 0:
    // the list itself). Requires: `end` is reached that way (null: the end of the list).
    std::uint64_t LargestAfter(const FreeArea* from, int level, const FreeArea* end) const {
        std::uint64_t largest = 0;
        if (level == 0) {
            for (const FreeArea* at = from->next; at != end; at = at->next)
                largest = Larger(largest, at->size);
            return largest;
        }
        largest = After(from, level);
        for (const FreeArea* at = Link(from, level); at != end; at = Link(at, level))
            largest = Larger(largest, Larger(at->size, After(at, level)));
        return largest;
    }

    // Sets x's slot `level` (x a node of height >= level, or a stair one below) from its link.
    void Recompute(FreeArea* x, int level) const {
        SetMax(x, level, LargestAfter(x, level - 1, Link(x, level)));
    }

private:
    std::uint64_t UnitsOf(const FreeArea* area) const {
        return area == nullptr
                   ? 0
                   : static_cast<std::uint64_t>(reinterpret_cast<const char*>(area) - base_) /
                         kUnitBytes;
    }

    char* base_;
};

// Fills path.owner[level..1] and path.pred: the last area in front of `target` at each level,
// walking from `from` (in front of it, of height >= level).
void WalkToPredecessors(const ListIndex& index, FitPath& path, FreeArea* from, int level,
                        const FreeArea* target) {
    FreeArea* at = from;
    for (; level >= 1; --level) {
        for (FreeArea* next; (next = index.Link(at, level)) != target;)
            at = next;
        path.owner[level] = at;
    }
    while (at->next != target)
        at = at->next;
    path.pred = at;
}

inline FreeArea* Found(FitPath& path, FreeArea* area, std::uint64_t largestPassed) {
    path.found = area;
    path.largestPassed = largestPassed;
    return area;
}

// A stair leaves the list: the owners of its levels below the stair in front link past it, and
// the nodes of its own span that are now taller than everything in front become stairs.
void RemoveStair(const ListIndex& index, FitPath& path, FreeArea* gone, int goneHeight) {
    FreeArea* const stair = path.stair;
    const int below = path.stairHeight;
    FreeArea* const spanEnd = index.Link(gone, goneHeight + 1);
    // An owner's span runs on through the stair's: what followed each is kept whole.
    for (int level = 1; level <= below; ++level) {
        FreeArea* const owner = path.owner[level];
        index.Set(owner, level, index.Link(gone, level),
                  Larger(ListIndex::After(owner, level), ListIndex::After(gone, level)));
    }
    FreeArea* first = below >= 0 ? index.Link(gone, below + 1) : gone->next;
    while (below < 0 && first != spanEnd && !IsNode(first))
        first = first->next;
    for (FreeArea* rising = first; rising != spanEnd;) {
        const int height = HeightOf(rising);
        FreeArea* next = height < goneHeight ? index.Link(gone, height + 1) : spanEnd;
        index.Set(rising, height + 1, next, index.LargestAfter(rising, height, next));
        rising = next;
    }
    if (stair != nullptr)
        index.Set(stair, below + 1, first,
                  Larger(ListIndex::After(stair, below + 1), ListIndex::After(gone, below + 1)));
}

// A node inside a stair's climb leaves the list: the owners of its levels link past it, their
// spans running on through its own, and a span above its height loses it, which changes the span
// only where it was the largest (and then every span above may change too).
void RemoveInside(const ListIndex& index, FitPath& path, FreeArea* gone, int goneHeight) {
    for (int level = 1; level <= goneHeight; ++level) {
        FreeArea* const owner = path.owner[level];
        index.Set(owner, level, index.Link(gone, level),
                  Larger(ListIndex::After(owner, level), ListIndex::After(gone, level)));
    }
    for (int level = goneHeight < 0 ? 1 : goneHeight + 1; level <= path.stairHeight + 1; ++level) {
        FreeArea* owner = level <= path.stairHeight ? path.owner[level] : path.stair;
        if (gone->size < ListIndex::After(owner, level)) break;
        index.Recompute(owner, level);
    }
}

// A stair behind a new one, and the largest size from the new one up to it.
struct Behind {
    FreeArea* stair;
    std::uint64_t largest;
};

// The first node after `area`, and the largest size between them (of 16-byte areas).
inline Behind FirstNodeAfter(const FreeArea* area) {
    Behind behind{area->next, 0};
    for (; behind.stair != nullptr && !IsNode(behind.stair); behind.stair = behind.stair->next)
        behind.largest = Larger(behind.largest, behind.stair->size);
    return behind;
}

// Sets the slots `from`..height+1 of the new stair `area` (of `height`): each links to the first
// stair behind it at least as tall as its level, found by climbing from behind.stair, the first
// node behind `area` taller than the levels below `from`.
void LinkStairToStairs(const ListIndex& index, FreeArea* area, int height, int from,
                       Behind behind) {
    int behindHeight = behind.stair != nullptr ? HeightOf(behind.stair) : 0;
    for (int level = from; level <= height + 1; ++level) {
        while (behind.stair != nullptr && behindHeight < level) {
            behind.largest =
                Larger(behind.largest, Larger(behind.stair->size,
                                              ListIndex::After(behind.stair, behindHeight + 1)));
            behind.stair = index.Link(behind.stair, behindHeight + 1);
            behindHeight = behind.stair != nullptr ? HeightOf(behind.stair) : 0;
        }
        index.Set(area, level, behind.stair, behind.largest);
    }
}

// Indexes the fresh areas from `from` up to `end` (the index's first node, or null), the last
// first: each is then pushed in front of an index that holds everything behind it. Meanwhile
// their slot 1 chains them backwards; a 16-byte area, without slots, joins the span in front.
void TakeIntoIndex(const ListIndex& index, FreeArea* from, const FreeArea* end) {
    FreeArea* last = nullptr;
    for (FreeArea* area = from; area != end; area = area->next) {
        if (!IsNode(area)) continue;
        SlotOf(area, 1) = reinterpret_cast<std::uintptr_t>(last);
        last = area;
    }
    while (last != nullptr) {
        auto* const before = reinterpret_cast<FreeArea*>(SlotOf(last, 1));
        LinkStairToStairs(index, last, HeightOf(last), 1, FirstNodeAfter(last));
        last = before;
    }
}

// Lists `area` (size set) at the position that `path` describes: after path.pred, with path.stair
// the last stair in front and path.owner[j] the last node in front of height >= j.
void InsertAt(ChunkFields& k, const ListIndex& index, const FitPath& path, FreeArea* area) {
    FreeArea*& link = path.pred != nullptr ? path.pred->next : k.freeList;
    area->next = link;
    link = area;
    const int height = HeightOf(area); // -1: no slots, an area of the spans around it only
    const int below = path.stairHeight;
    if (height >= 0) ListIndex::Clear(area, height + 1);
    const int shared = height < below ? height : below;
    for (int level = 1; level <= shared; ++level) {
        index.Set(area, level, index.Link(path.owner[level], level), 0);
        index.SetLink(path.owner[level], level, area);
    }
    for (int level = 1; level <= shared; ++level) {
        index.Recompute(area, level);
        index.Recompute(path.owner[level], level);
    }
    if (height <= below) {
        for (int level = height < 0 ? 1 : height + 1; level <= below + 1; ++level) {
            FreeArea* owner = level <= below ? path.owner[level] : path.stair;
            if (ListIndex::After(owner, level) >= area->size) break;
            ListIndex::SetMax(owner, level, area->size);
        }
        return;
    }
    // Taller than everything in front: a stair.
    if (path.stair == nullptr)
        return LinkStairToStairs(index, area, height, 1, FirstNodeAfter(area));
    FreeArea* const stair = index.Link(path.stair, below + 1);
    LinkStairToStairs(index, area, height, below + 1,
                      {stair, index.LargestAfter(area, below, stair)});
    index.Set(path.stair, below + 1, area, index.LargestAfter(path.stair, below, area));
}

// `rest` (of `restBytes`, height `height`, the height of path.found) takes the place of
// path.found: same links and, since a span leaves out its own node, the same slots; only a span
// above it in which path.found was the largest changes.
void TakePlace(ChunkFields& k, const ListIndex& index, const FitPath& path, FreeArea* rest,
               std::uint64_t restBytes, int height) {
    FreeArea* const found = path.found;
    const std::uint64_t foundBytes = found->size;
    const int below = path.stairHeight;
    const bool stair = height > below;
    const int levels = stair ? height + 1 : height;
    // The rest may overlap the slots of `found`: they are read before it is written.
    std::uint64_t slots[kTallestNode + 2];
    for (int level = 1; level <= levels; ++level)
        slots[level] = SlotOf(found, level);
    rest->next = found->next;
    rest->size = restBytes;
    for (int level = 1; level <= levels; ++level)
        SlotOf(rest, level) = slots[level];
    if (!stair) ListIndex::Clear(rest, height + 1);
    (path.pred != nullptr ? path.pred->next : k.freeList) = rest;
    for (int level = 1; level <= (stair ? below : height); ++level)
        index.SetLink(path.owner[level], level, rest);
    if (stair && path.stair != nullptr) index.SetLink(path.stair, below + 1, rest);
    if (stair) return;
    for (int level = height + 1; level <= below + 1; ++level) {
        FreeArea* owner = level <= below ? path.owner[level] : path.stair;
        if (foundBytes < ListIndex::After(owner, level)) break;
        index.Recompute(owner, level);
    }
}

// Climb: from the first stair `at` (which does not fit), each stair's climb holds nothing that
// fits, or the fit is its next stair, or inside. True when the search ended there (path.found is
// the fit, or null); otherwise `at` is the stair whose climb holds the fit, path.stair.
bool Climb(const ListIndex& index, std::uint64_t need8, FitPath& path, FreeArea*& at,
           std::uint64_t& passed) {
    int height = HeightOf(at);
    for (;;) {
        const std::uint64_t climbLargest = ListIndex::After(at, height + 1);
        if (climbLargest >= need8) break;
        passed = Larger(passed, climbLargest);
        FreeArea* next = index.Link(at, height + 1);
        if (next == nullptr) {
            Found(path, nullptr, passed);
            return true;
        }
        if (next->size >= need8) {
            path.stair = at;
            path.stairHeight = height;
            WalkToPredecessors(index, path, at, height, next);
            Found(path, next, passed);
            return true;
        }
        at = next;
        passed = Larger(passed, at->size);
        height = HeightOf(at);
    }
    path.stair = at;
    path.stairHeight = height;
    return false;
}

// Descend: from path.stair, whose climb holds the fit, move along a level while its span holds
// nothing that fits; `at` never fits, and `passed` counts every area in front of the fit as the
// search passes it.
FreeArea* Descend(const ListIndex& index, std::uint64_t need8, FitPath& path, FreeArea* at,
                  std::uint64_t passed) {
    for (int level = path.stairHeight; level >= 1; --level) {
        for (;;) {
            const std::uint64_t spanLargest = ListIndex::After(at, level);
            if (spanLargest >= need8) break;
            passed = Larger(passed, spanLargest);
            FreeArea* next = index.Link(at, level);
            if (next->size >= need8) {
                path.owner[level] = at;
                WalkToPredecessors(index, path, at, level - 1, next);
                return Found(path, next, passed);
            }
            at = next;
            passed = Larger(passed, at->size);
        }
        path.owner[level] = at;
    }
    for (;; at = at->next) {
        FreeArea* next = at->next;
        if (next->size >= need8) {
            path.pred = at;
            return Found(path, next, passed);
        }
        passed = Larger(passed, next->size);
    }
}

} // namespace

FreeArea* FindFirstFit(ChunkFields& k, std::uint64_t need8, FitPath& path) {
    const ListIndex index(k);
    std::uint64_t passed = 0;
    path.pred = nullptr;
    path.stair = nullptr;
    path.stairHeight = -1;
    path.fresh = true;
    FreeArea* at = k.freeList;
    FreeArea* lastKept = nullptr; // the last area that stays fresh when the run is taken in
    std::uint64_t walked = 0;
    for (; at != nullptr && !InIndex(at) && walked < kFreshWalkedAreas; at = at->next) {
        if (at->size >= need8) return Found(path, at, passed);
        passed = Larger(passed, at->size);
        path.pred = at;
        if (++walked == kFreshKeptAreas) lastKept = at;
    }
    path.fresh = false;
    // A search that goes past the areas kept fresh takes the rest of the run into the index, and
    // goes on from the index's new first node (what it passes again is counted once).
    if (lastKept != nullptr) {
        FreeArea* end = at;
        while (end != nullptr && !InIndex(end))
            end = end->next;
        if (lastKept->next != end) {
            TakeIntoIndex(index, lastKept->next, end);
            path.pred = lastKept;
            for (at = lastKept->next; at != nullptr && !IsNode(at); at = at->next)
                path.pred = at;
        }
    }
    if (at == nullptr) return Found(path, nullptr, passed);
    if (at->size >= need8) return Found(path, at, passed);
    passed = Larger(passed, at->size);
    if (Climb(index, need8, path, at, passed)) return path.found;
    return Descend(index, need8, path, at, passed);
}

void UnlinkFound(ChunkFields& k, FitPath& path) {
    const ListIndex index(k);
    FreeArea* gone = path.found;
    (path.pred != nullptr ? path.pred->next : k.freeList) = gone->next;
    if (path.fresh) return;
    const int height = HeightOf(gone); // -1: no slots, an area of the spans around it only
    if (height > path.stairHeight)
        RemoveStair(index, path, gone, height);
    else
        RemoveInside(index, path, gone, height);
}

FreeArea* ReplaceFound(ChunkFields& k, FitPath& path, std::uint64_t keptBytes) {
    FreeArea* const found = path.found;
    const std::uint64_t areaBytes = found->size;
    auto* rest = reinterpret_cast<FreeArea*>(reinterpret_cast<char*>(found) + keptBytes);
    if (path.fresh) {
        FreeArea* const next = found->next; // the rest may overlap `found`'s words
        rest->next = next;
        rest->size = areaBytes - keptBytes;
        MarkFresh(rest);
        (path.pred != nullptr ? path.pred->next : k.freeList) = rest;
        return rest;
    }
    const int height = HeightOf(found);
    const ListIndex index(k);
    if (height >= 0 && HeightAt(rest, areaBytes - keptBytes) == height) {
        TakePlace(k, index, path, rest, areaBytes - keptBytes, height);
        return rest;
    }
    // The rest may overlap the slots of `found`: they are read before it is written.
    UnlinkFound(k, path);
    rest->size = areaBytes - keptBytes;
    InsertAt(k, index, path, rest);
    return rest;
}

void PushIndexed(ChunkFields& k, FreeArea* area) {
    area->next = k.freeList;
    k.freeList = area;
    MarkFresh(area);
}

void PushTracked(ChunkFields& k, void* block, std::uint64_t pieceBytes) {
    if (!SpanIndexable(k)) return PushOnList(k, block, pieceBytes);
    PushIndexed(k, reinterpret_cast<FreeArea*>(HeaderOf(block)));
    CountReleased(k, pieceBytes);
}

// Spans nest: a span of level j is the run of level j - 1 spans from its node. So one pass keeps,
// per level, the node whose span is open and the largest size in it so far (without that node);
// an area of height h closes (and opens) levels 1..h, a stair level h + 1 too. Cost per area: the
// levels it closes.
void RebuildIndex(ChunkFields& k) {
    const ListIndex index(k);
    FreeArea* open[kTallestNode + 3] = {};
    std::uint64_t largest[kTallestNode + 3] = {};
    int tallest = -1;
    // Ends the open spans of levels 1..levels at `end`. The span above holds each closed span, and
    // its node too unless that node opened the span above as well.
    auto close = [&](int levels, const FreeArea* end) {
        std::uint64_t carried = 0;
        for (int level = 1; level <= levels; ++level) {
            const std::uint64_t after = Larger(largest[level], carried);
            const FreeArea* const node = open[level];
            if (node != nullptr) index.Set(open[level], level, end, after);
            carried =
                node != nullptr && node != open[level + 1] ? Larger(after, node->size) : after;
        }
        largest[levels + 1] = Larger(largest[levels + 1], carried);
    };
    for (FreeArea* area = k.freeList; area != nullptr; area = area->next) {
        const int height = HeightOf(area);
        const bool stair = height > tallest;
        const int levels = stair ? height + 1 : height < 0 ? 0 : height;
        close(levels, area);
        for (int level = 1; level <= levels; ++level) {
            open[level] = area;
            largest[level] = 0;
        }
        if (height >= 0 && !stair) ListIndex::Clear(area, height + 1);
        if (stair) tallest = height;
        if (levels == 0) largest[1] = Larger(largest[1], area->size);
    }
    close(tallest + 1, nullptr);
}

bool CheckIndex(const ChunkFields& k) {
    if (!IsIndexed(k)) return true;
    const ListIndex index(k);
    const std::uint64_t mostAreas = k.size / 16 + 1;
    std::uint64_t areas = 0;
    int tallest = -1;
    const FreeArea* first = k.freeList; // the index's first node: the fresh run is in front
    for (; first != nullptr && !InIndex(first); first = first->next)
        if (++areas > mostAreas) return false; // a cycle
    for (const FreeArea* area = first; area != nullptr; area = area->next) {
        if (++areas > mostAreas) return false;
        if (IsNode(area) && (!(SlotOf(area, 1) & kSlotMark) || !InIndex(area))) return false;
        if (HeightOf(area) > tallest) tallest = HeightOf(area);
    }
    // Level by level, the one span open at a time must end where the next node of the level is.
    for (int level = 1; level <= tallest + 1; ++level) {
        const FreeArea* open = nullptr;
        std::uint64_t largest = 0;
        int tallestInFront = -1;
        for (const FreeArea* area = first; area != nullptr; area = area->next) {
            const int height = HeightOf(area);
            const bool stair = height > tallestInFront;
            if (stair) tallestInFront = height;
            if (height >= level || (stair && height == level - 1)) {
                if (open != nullptr &&
                    (index.Link(open, level) != area || ListIndex::After(open, level) != largest))
                    return false;
                open = area;
                largest = 0;
            } else {
                largest = Larger(largest, area->size);
            }
        }
        if (open != nullptr &&
            (index.Link(open, level) != nullptr || ListIndex::After(open, level) != largest))
            return false;
    }
    return true;
}

} // namespace qor::placement
