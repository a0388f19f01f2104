#include "AccessorsTable.h"

#include "PagedPool.h"

#include "../core/PoolInterface.h"
#include "../platform/Platform.h"

#include <cstring>

namespace qor {

namespace {

constexpr int kFirstSizedIndex = 2;
constexpr int kSmallEntries = 3; // sizes 2 and 4, and one entry of 8 or more

struct Mapping {
    unsigned minSize;
    unsigned maxSize;
    unsigned step;

    int Count() const { return static_cast<int>((maxSize - minSize) / (step ? step : 1)) + 3; }
    int IndexOf(unsigned size) const {
        return static_cast<int>((size - minSize) / step) + kFirstSizedIndex;
    }
    bool operator==(const Mapping&) const = default;
};

Mapping MappingOf(const PagedPool& pool) { return {pool.minSize, pool.maxSize, pool.step}; }

AccessorEntry* NewTable(int count) {
    auto* table = static_cast<AccessorEntry*>(platform::Malloc(count * sizeof(AccessorEntry)));
    if (table == nullptr) return nullptr;
    std::memset(static_cast<void*>(table), 0, count * sizeof(AccessorEntry));
    table[0].size = 2;
    table[1].size = 4;
    return table;
}

// The mapping after adding `size`: the step shrinks to the closest pair of neighbouring sizes.
Mapping MappingWith(const PagedPool& pool, unsigned size) {
    const Mapping old = MappingOf(pool);
    if (old.minSize == 0) return {size, size, size};
    Mapping next{old.minSize < size ? old.minSize : size, old.maxSize > size ? old.maxSize : size,
                 old.step};
    const AccessorEntry* table = pool.Table();
    unsigned previous = 0;
    bool sizeCounted = false;
    auto consider = [&](unsigned stored) {
        if (previous != 0 && stored > previous && stored - previous < next.step)
            next.step = stored - previous;
        previous = stored;
    };
    for (int i = kFirstSizedIndex; i < old.Count(); ++i) {
        const unsigned stored = table[i].size;
        if (stored == 0) continue;
        if (!sizeCounted && size < stored) {
            consider(size);
            sizeCounted = true;
        }
        consider(stored);
    }
    if (!sizeCounted) consider(size);
    return next;
}

void PlaceEntry(AccessorEntry* table, int count, int index, const AccessorEntry& entry) {
    if (index < kFirstSizedIndex || index >= count)
        AbortWithMessage("AccessorsTable inconsistency c1");
    if (table[index].size != 0) AbortWithMessage("AccessorsTable inconsistency c2");
    table[index] = entry;
}

// Requires: the table exists and S is not stored.
bool FallsInsideStoredSizes(const PagedPool& pool, unsigned size) {
    if (pool.minSize == 0 || size < pool.minSize || size > pool.maxSize) return true;
    const AccessorEntry* table = pool.Table();
    for (int i = kFirstSizedIndex; i < MappingOf(pool).Count(); ++i)
        if (table[i].size != 0 && size < table[i].size) return true;
    return false;
}

// Index of `size`'s entry after making room for it; -1 when malloc fails.
int InsertSize(PagedPool& pool, unsigned size) {
    if (pool.Table() == nullptr && size < 8 && pool.minSize == 0) {
        AccessorEntry* table = NewTable(kSmallEntries);
        if (table == nullptr) return -1;
        pool.SetTable(table);
    }
    if (size < 8) return 0;

    const Mapping old = MappingOf(pool);
    const Mapping next = MappingWith(pool, size);
    if (!FallsInsideStoredSizes(pool, size)) AbortWithMessage("Invalid Slot for SizesTable==0");

    const int index = next.IndexOf(size);
    if (next == old) {
        AccessorEntry& entry = pool.Table()[index];
        if (entry.size != 0 && entry.size != size) AbortWithMessage("SizesTable needs no resize");
        entry.size = static_cast<std::uint16_t>(size);
        return index;
    }

    AccessorEntry* rebuilt = NewTable(next.Count());
    if (rebuilt == nullptr) return -1;
    if (AccessorEntry* table = pool.Table()) {
        rebuilt[0] = table[0];
        rebuilt[1] = table[1];
        for (int i = kFirstSizedIndex; i < old.Count(); ++i)
            if (table[i].size != 0)
                PlaceEntry(rebuilt, next.Count(), next.IndexOf(table[i].size), table[i]);
        platform::Free(table);
    }
    PlaceEntry(rebuilt, next.Count(), index,
               AccessorEntry{nullptr, nullptr, nullptr, static_cast<std::uint16_t>(size)});
    pool.SetTable(rebuilt);
    pool.minSize = static_cast<std::uint16_t>(next.minSize);
    pool.maxSize = static_cast<std::uint16_t>(next.maxSize);
    pool.step = static_cast<std::uint16_t>(next.step);
    return index;
}

} // namespace

int AccessorEntryCount(const PagedPool& pool) { return MappingOf(pool).Count(); }

PageObject* FindAccessor(PagedPool& pool, unsigned size, int& index) {
    if (pool.Table() == nullptr) InsertSize(pool, size);
    if (pool.Table() == nullptr) return index = -1, nullptr;
    const Mapping mapping = MappingOf(pool);
    if (size == mapping.minSize) {
        index = kFirstSizedIndex;
    } else if (size == mapping.maxSize) {
        index = mapping.IndexOf(size);
    } else if (mapping.minSize < size && size < mapping.maxSize) {
        index = mapping.IndexOf(size);
        AccessorEntry& entry = pool.Table()[index];
        if (entry.size == 0)
            entry = AccessorEntry{nullptr, nullptr, nullptr, static_cast<std::uint16_t>(size)};
        else if (entry.size != size)
            index = InsertSize(pool, size);
    } else if (size == 2) {
        index = 0;
    } else if (size == 4) {
        index = 1;
    } else {
        index = InsertSize(pool, size);
    }
    if (index < 0) return nullptr;
    const AccessorEntry& entry = pool.Table()[index];
    if (entry.size == 0) AbortWithMessage("AccessorsTable inconsistency c3");
    if (entry.size != size) AbortWithMessage("AccessorsTable inconsistency c4");
    return entry.currentPage;
}

} // namespace qor
