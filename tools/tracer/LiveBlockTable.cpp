// The live-block table.
#include "LiveBlockTable.h"

#include "MappedMemory.h"

#include <algorithm>

namespace qor::tracer {

bool LiveBlockTable::Reserve(std::size_t capacity) {
    if (entries_ != nullptr) return true;
    maxBits_ = 10;
    while ((std::size_t{1} << maxBits_) < capacity && maxBits_ < 40)
        ++maxBits_;
    return MapSlots(std::min(maxBits_, kFirstBits));
}

bool LiveBlockTable::MapSlots(unsigned bits) {
    auto* entries = MapZeroed<LiveBlock>(std::size_t{1} << bits);
    if (entries == nullptr) return false;
    entries_ = entries;
    bits_ = bits;
    mask_ = (std::size_t{1} << bits) - 1;
    // Half full while it may grow: linear probing's runs stay short (about 2.5 slots for a miss,
    // where 7/8 costs 32); at the largest size, 7/8 as the capacity promises.
    limit_ = bits == maxBits_ ? (mask_ + 1) / 8 * 7 : (mask_ + 1) / 2;
    shift_ = 64 - bits;
    return true;
}

bool LiveBlockTable::Grow() {
    if (bits_ == maxBits_) return false;
    LiveBlock* old = entries_;
    const std::size_t oldSlots = mask_ + 1;
    if (!MapSlots(bits_ + 1)) return false;
    for (std::size_t i = 0; i < oldSlots; ++i) {
        if (old[i].pointer == 0) continue;
        std::size_t slot = Home(old[i].pointer);
        while (entries_[slot].pointer != 0)
            slot = (slot + 1) & mask_;
        entries_[slot] = old[i];
    }
    UnmapBytes(old, oldSlots * sizeof(LiveBlock));
    return true;
}

LiveBlock* LiveBlockTable::Find(std::uintptr_t pointer) {
    if (entries_ == nullptr) return nullptr;
    for (std::size_t i = Home(pointer);; i = (i + 1) & mask_) {
        if (entries_[i].pointer == pointer) return &entries_[i];
        if (entries_[i].pointer == 0) return nullptr;
    }
}

LiveBlock* LiveBlockTable::Insert(std::uintptr_t pointer) {
    if (entries_ == nullptr || (count_ >= limit_ && !Grow())) return nullptr;
    std::size_t i = Home(pointer);
    while (entries_[i].pointer != 0)
        i = (i + 1) & mask_;
    ++count_;
    entries_[i] = LiveBlock{};
    entries_[i].pointer = pointer;
    return &entries_[i];
}

void LiveBlockTable::Erase(LiveBlock* entry) {
    EraseAt(static_cast<std::size_t>(entry - entries_));
}

void LiveBlockTable::EraseAt(std::size_t hole) {
    // An entry further on may fill the hole when the hole lies between its home and its place.
    for (std::size_t next = (hole + 1) & mask_; entries_[next].pointer != 0;
         next = (next + 1) & mask_) {
        const std::size_t home = Home(entries_[next].pointer);
        if (((next - home) & mask_) >= ((next - hole) & mask_)) {
            entries_[hole] = entries_[next];
            hole = next;
        }
    }
    entries_[hole].pointer = 0;
    --count_;
}

LiveBlock* LiveBlockTable::Compact() {
    std::size_t kept = 0;
    for (std::size_t i = 0; i <= mask_ && entries_ != nullptr; ++i)
        if (entries_[i].pointer != 0) entries_[kept++] = entries_[i];
    return entries_;
}

} // namespace qor::tracer
