// The paged pool through the front end: two pools over region lists chosen by the input serve
// many size classes (the accessors table is rebuilt) and take blocks back in random order by the
// page route. After every step no blocks overlap, each lies in a page of its pool and class,
// contents survive and the counters follow from the live blocks alone; every block is the one
// the placement model (PagedPlacementModel.h) works out, and the pools' page lists are its own; at
// the end every page is back and destruction is clean; both pools pass QORSysCheckPool after every
// step. With
// QORSysAllocatorChecks=ON the run also makes mistakes and expects checked mode's stop.
#include "FuzzInput.h"
#include "Mistakes.h"
#include "Models.h"
#include "core/Configuration.h"
#include "pagedpool/PagedPlacementModel.h"
#include "pagedpool/PagedPool.h"

#include <map>
#include <tuple>

using namespace qor;

namespace {

// By address: size class, bytes written, seed and pool (0 or 1); and the blocks of each pool.
std::map<char*, std::tuple<std::int64_t, std::size_t, std::uint32_t, int>> gLive;
std::size_t gCount[2];
test::PagedPlacementModel gPlacement;

// Block positions a page offers to class s; page 0 of a region also holds the region header.
std::int64_t Usable(std::int64_t s, bool page0) {
    std::int64_t n = 4096 / s - ((page0 ? 52 : 48) + s - 1) / s;
    n += 4096 - s * (n + 1) > (page0 ? 56 : 48);
    return n - (page0 ? (RegionDelta() + 32 + s - 1) / s : 0);
}

void Check(PagedPool* const pools[2]) {
    std::uint64_t used[2] = {}, pages[2] = {}, offered[2] = {};
    char* end = nullptr;
    for (PageObject* last = nullptr; auto& [p, block] : gLive) {
        const auto [sizeClass, bytes, seed, k] = block;
        PageObject* const page = PageObjectOf(p);
        char* const start = page->PageStart();
        FUZZ_CHECK(end <= p && Intact(p, bytes, seed, false) && page->owner == pools[k]);
        FUZZ_CHECK(page->blockSize == sizeClass && pools[k]->GetBlockSize(p) == page->blockSize);
        FUZZ_CHECK((p - start) % sizeClass == 0 && p + sizeClass <= reinterpret_cast<char*>(page) &&
                   (page->index != 0 || p >= start + RegionDelta() + sizeof(Region)));
        if (page != last) ++pages[k], offered[k] += Usable(sizeClass, !page->index) * sizeClass;
        last = page, used[k] += sizeClass, end = p + sizeClass;
    }
    for (int k : {0, 1}) {
        FUZZ_CHECK(QORSysCheckPool(pools[k], stderr) == -1); // lists, chains, counters, regions
        FUZZ_CHECK(gPlacement.ListsMatch(*pools[k]));
        QORPoolInfo info;
        QORSysGetPoolInfo(pools[k], nullptr, &info, 0);
        FUZZ_CHECK(info.blockTotal == gCount[k] && info.maxChunkFree == used[k] &&
                   info.totalSize == 4096 * pages[k] && info.freeSize == offered[k] - used[k]);
    }
}

PagedPool* NewPool(std::uint32_t flags) {
    return static_cast<PagedPool*>(QORSysCreatePool(int(flags | QORSysPoolFlag::PAGED), 0));
}

void Prepare() { UseDefaultConfiguration(); }

void Run(const std::uint8_t* data, std::size_t size) {
    FuzzInput in{data, size};
    constexpr std::uint32_t kFlags[] = {0, 0x40, 0x20, 0x60, 0x8, 0x48}; // region list choices
    const std::uint32_t flags[] = {kFlags[in.Pick(6)], kFlags[in.Pick(6)]};
    PagedPool* pools[2] = {NewPool(flags[0]), NewPool(flags[1])};
    for (std::uint32_t seed = 1; in.More(); Check(pools), ++seed) {
        const unsigned op = in.Pick(State().config.checks ? 9 : 8), k = in.Pick(2);
        const auto b = in.Any(gLive);
        if (op == 8) { // checked mode: a mistake, in a child
            if (b == gLive.end() || in.Pick(2))
                ExpectStop(
                    [&] {
                        PagedPool* stale = NewPool(flags[k]);
                        QORSysFlushPool(stale, 1);
                        QORSpecializedNew(8, stale, nullptr, 0);
                    },
                    "pool used after it was destroyed?");
            else if (const PageObject& page = *PageObjectOf(b->first);
                     in.Pick(2) || page.carved - page.freeCount - ReservedCount(page) < 2)
                ExpectStop([&] { QORSpecializedDelete(b->first, nullptr); },
                           "released without the paged flag?");
            else // another block keeps the page (and its region) in place for the second release
                ExpectStop(
                    [&] {
                        QORSpecializedDelete(b->first, nullptr, 0x400000);
                        QORSpecializedDelete(b->first, nullptr, 0x400000);
                    },
                    "released twice");
        } else if (op < 3 || b == gLive.end()) {
            const std::size_t extra = in.Pick(4) ? 0 : in.Pick(16), word = in.Word(),
                              t = (word % 4200 >> in.Pick(10)) + extra;
            auto* p =
                static_cast<char*>(QORSpecializedNew(t - extra, pools[k], (void*)16, int(extra)));
            const std::int64_t sizeClass = t <= 2 ? 2 : t <= 4 ? 4 : std::int64_t(t + 7) & ~7;
            FUZZ_CHECK((p == nullptr) == (sizeClass >= 4048));
            FUZZ_CHECK(gPlacement.Allocated(pools[k], unsigned(sizeClass), p));
            if (p) Fill(p, t, seed), gLive[p] = {sizeClass, t, seed, int(k)}, ++gCount[k];
        } else if (op < 6) { // release: the block itself, or (refused) a pointer inside it
            const auto [sizeClass, bytes, seed, owner] = b->second;
            FUZZ_CHECK(Intact(b->first, bytes, seed, true));
            char* const pointer = b->first + (op == 5) * sizeClass / 2;
            if (op == 5 && State().config.checks) // refused silently, or stopped by checked mode
                ExpectStop([&] { QORSpecializedDelete(pointer, nullptr, 0x400000); },
                           "not the start of a block");
            else
                QORSpecializedDelete(pointer, nullptr, 0x400000); // paged
            if (op != 5)
                gPlacement.Released(pools[owner], b->first), gLive.erase(b), --gCount[owner];
        } else { // refused while blocks are in use; destroys an empty pool for a new one
            const int mode = int(in.Pick(8));
            FUZZ_CHECK(QORSysFlushPool(pools[k], mode) == (gCount[k] ? -1 : 0));
            if (!gCount[k] && mode & 1) gPlacement.Forget(pools[k]), pools[k] = NewPool(flags[k]);
        }
    }
    for (auto& [p, block] : gLive)
        FUZZ_CHECK(Intact(p, std::get<1>(block), std::get<2>(block), true)),
            QORSpecializedDelete(p, nullptr, 0x400000),
            gPlacement.Released(pools[std::get<3>(block)], p);
    gLive.clear(), gCount[0] = gCount[1] = 0;
    Check(pools);
    for (PagedPool* pool : pools) // every page back, then a clean destruction
        for (Region* region = pool->Regions()->first; region != nullptr; region = region->next)
            FUZZ_CHECK(region->freePages == kPagesPerRegion);
    for (PagedPool* pool : pools)
        gPlacement.Forget(pool), FUZZ_CHECK(QORSysFlushPool(pool, 1) == 0);
    ReleaseSharedRegionLists();
    FUZZ_CHECK(State().poolRegistry == nullptr);
}

} // namespace

const FuzzModel kPagedPoolModel{"PagedPool", Prepare, Run};
