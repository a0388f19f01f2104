// The live blocks: open addressing with linear probing over one anonymous mapping (no malloc: an
// application may route malloc or new through the library, whose hooks call here). It starts at
// 4096 slots and doubles when it is half full, up to the capacity asked for (filled to 7/8): a
// hashed entry lands on any page of the table, so a table made whole at once would make a few
// thousand blocks cost its whole size in resident memory. Erasing shifts the rest of the run back:
// no tombstones.
// Invariants: every entry lies in the run that starts at its home slot; count <= slots * 7 / 8.
#pragma once

#include "TracerLayout.h"

#include <cstddef>
#include <cstdint>

namespace qor::tracer {

class LiveBlockTable {
public:
    // Sets the most entries at `capacity` (rounded up to a power of two) and maps the first slots
    // once; false when there is no room, and then every Insert fails.
    bool Reserve(std::size_t capacity);
    bool Reserved() const { return entries_ != nullptr; }

    LiveBlock* Find(std::uintptr_t pointer);
    // A cleared entry holding `pointer`, or null when the table is full. May move every entry:
    // pointers to entries do not survive it.
    // Requires: `pointer` is not in the table.
    LiveBlock* Insert(std::uintptr_t pointer);
    void Erase(LiveBlock* entry);

    // Erases every entry for which drop(entry) is true. Cost: one pass over the capacity.
    template <typename Predicate> void EraseIf(Predicate drop) {
        for (std::size_t i = 0; i <= mask_ && entries_ != nullptr; ++i)
            while (entries_[i].pointer != 0 && drop(entries_[i]))
                EraseAt(i); // the entry shifted into i is examined in turn
    }

    // Visits every entry.
    template <typename Visitor> void ForEach(Visitor visit) {
        for (std::size_t i = 0; i <= mask_ && entries_ != nullptr; ++i)
            if (entries_[i].pointer != 0) visit(entries_[i]);
    }

    // Moves the entries to the front and returns the first; the table is no longer searchable.
    LiveBlock* Compact();
    std::size_t Count() const { return count_; }

private:
    std::size_t Home(std::uintptr_t pointer) const {
        return static_cast<std::size_t>(((pointer >> 3) * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void EraseAt(std::size_t hole);
    bool MapSlots(unsigned bits);
    // Doubles the slots and moves every entry; false at the capacity or when no room is had.
    bool Grow();

    static constexpr unsigned kFirstBits = 12;

    LiveBlock* entries_ = nullptr;
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
    std::size_t limit_ = 0;
    unsigned shift_ = 63;
    unsigned bits_ = 0, maxBits_ = 0;
};

} // namespace qor::tracer
