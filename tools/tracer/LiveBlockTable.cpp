// The live-block table.
#include "LiveBlockTable.h"

#include "MappedMemory.h"

namespace qor::tracer {

bool LiveBlockTable::Reserve(std::size_t capacity) {
    if (entries_ != nullptr) return true;
    unsigned bits = 10;
    while ((std::size_t{1} << bits) < capacity && bits < 40)
        ++bits;
    const std::size_t slots = std::size_t{1} << bits;
    entries_ = MapZeroed<LiveBlock>(slots);
    if (entries_ == nullptr) return false;
    mask_ = slots - 1;
    limit_ = slots / 8 * 7;
    shift_ = 64 - bits;
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
    if (entries_ == nullptr || count_ >= limit_) return nullptr;
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
