// The AccessorsTable of a paged pool: one entry per block size, holding that size's page lists.
// Entry 0 is size 2, entry 1 size 4; size S >= 8 sits at (S - minSize) / step + 2, so finding an
// entry costs one subtraction and one division. Invariant: every stored size at index >= 2 sits
// exactly at its computed index, no two sizes share one, and step <= every distance between two
// neighbouring stored sizes. The table only grows; a size that does not fit rebuilds it.
// Per entry: currentUsedUp => currentPage != null, its carved == capacity and its freeCount == 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

struct PageObject;
class PagedPool;

struct AccessorEntry {
    PageObject* firstPage;    // main list: full pages and the one being carved
    PageObject* currentPage;  // tail of the main list, where new blocks are carved
    PageObject* partialPages; // pages with released blocks
    std::uint16_t size;       // 0: vacant
    // Not a published field; in the padding. True only while currentPage is carved out and has no
    // released block, so that allocation need not read that page's descriptor, which is seldom in
    // the cache (every descriptor sits at the same page offset, so they compete for one set of
    // each cache). Cleared by the current page's first released block and when currentPage
    // changes.
    bool currentUsedUp = false;
};

static_assert(sizeof(AccessorEntry) == 32 && offsetof(AccessorEntry, size) == 24);

// Entry count for the pool's current mapping.
int AccessorEntryCount(const PagedPool& pool);

// Index of the entry holding `size`, or -1; changes nothing. Inline, in PagedPool.h: the
// allocation fast path looks its entry up with it.
inline int AccessorIndex(const PagedPool& pool, unsigned size);

// The current page of `size`'s entry (created when missing); `index` receives the entry's index,
// or -1 when the table could not grow (malloc failure: the old table stays as it was).
PageObject* FindAccessor(PagedPool& pool, unsigned size, int& index);

} // namespace qor
