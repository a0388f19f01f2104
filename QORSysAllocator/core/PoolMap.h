// The pools' maps of their memory (QORSysGetPoolMap): each pool kind lists its stretches through
// a MapWriter, defined beside its checker (GeneralPoolMap.cpp, PagedPoolMap.cpp). A map changes
// nothing and allocates nothing. Invariant: MapWriter::Total() == entries listed so far, and
// min(Total(), capacity) of them have been written.
#pragma once

#include "QORSysAllocator.h"

#include <cstddef>

namespace qor {

class GeneralPool;
class PagedPool;

// Writes entries up to the caller's capacity and counts every one.
class MapWriter {
public:
    MapWriter(QORPoolMapEntry* entries, std::size_t capacity)
        : entries_(entries), capacity_(capacity) {}

    // Returns the entry's index, for a Rewrite once more is known about it.
    std::size_t Add(const QORPoolMapEntry& entry) {
        if (total_ < capacity_) entries_[total_] = entry;
        return total_++;
    }
    // Requires: index < Total().
    void Rewrite(std::size_t index, const QORPoolMapEntry& entry) {
        if (index < capacity_) entries_[index] = entry;
    }
    std::size_t Total() const { return total_; }

private:
    QORPoolMapEntry* entries_;
    std::size_t capacity_;
    std::size_t total_ = 0;
};

// Requires: the pool is live and not being changed by another thread (its lock held when it has
// one). Cost: every piece of every chunk on the chain (general); every page of the regions the
// pool takes its pages from, and those regions sorted by address, quadratic in their number
// (paged).
void MapPool(const GeneralPool& pool, MapWriter& map);
void MapPool(const PagedPool& pool, MapWriter& map);

} // namespace qor
