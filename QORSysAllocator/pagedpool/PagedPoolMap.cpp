// The paged pool's map: one PAGE entry per page the pool holds, in address order. The pages are
// found in the regions of the pool's region list (a page is the pool's when its descriptor names
// the pool and serves a class), the regions taken by address and each region's pages by index,
// which is their address order. Per page: usedSlots == carved - reserved - released <= slots ==
// capacity - reserved.
#include "PagedPool.h"

#include "../core/PoolMap.h"

namespace qor {
namespace {

inline std::uintptr_t GridAddress(const Region* region) {
    return reinterpret_cast<std::uintptr_t>(region->GridBase());
}

// The region of `list` with the lowest grid address above `after`, or null.
const Region* NextByAddress(const RegionList& list, std::uintptr_t after) {
    const Region* next = nullptr;
    for (const Region* region = list.first; region != nullptr; region = region->next)
        if (GridAddress(region) > after &&
            (next == nullptr || GridAddress(region) < GridAddress(next)))
            next = region;
    return next;
}

void MapRegion(const PagedPool& pool, const Region& region, MapWriter& map) {
    for (unsigned index = 0; index < region.pagesIssued && index < kPagesPerRegion; ++index) {
        const PageObject& page = *region.PageAt(index);
        if (page.owner != &pool || page.blockSize == 0 || page.nextFreePage != kPageInUse) continue;
        const int reserved = ReservedCount(page);
        const unsigned slots = page.capacity > reserved ? page.capacity - reserved : 0;
        const unsigned taken = page.carved - page.freeCount;
        const unsigned used = taken > static_cast<unsigned>(reserved) ? taken - reserved : 0;
        map.Add({reinterpret_cast<std::uintptr_t>(page.PageStart()), kPageBytes,
                 std::uint64_t{used} * page.blockSize, QORSysMapKind::PAGE, page.blockSize, slots,
                 used});
    }
}

} // namespace

void MapPool(const PagedPool& pool, MapWriter& map) {
    const RegionList* list = pool.Regions();
    if (list == nullptr) return;
    platform::MemcheckQuiet quiet;
    ScopedLock regions(State().regionLock, list->owner == nullptr); // other pools change it
    for (const Region* region = NextByAddress(*list, 0); region != nullptr;
         region = NextByAddress(*list, GridAddress(region)))
        MapRegion(pool, *region, map);
}

} // namespace qor
