// Object memory from the zone: a block for a new object or one coming back, making room by
// swapping out the oldest objects when the zone is full.
// zoneUsed is the zone's charge, not its real use: it may drift below it (see FindZone).
#include "SwapFileInternals.h"

namespace qor {

// The room may be there only in pieces: the zone never adds a chunk and its pool joins its free
// areas only now and then, so when objects reload alone the pieces are joined before an object
// is sent out for want of room that is there. An object sent out to open the room is joined with
// the pieces behind it alone. A join of the whole zone walks all its blocks, so it is tried only
// when that found no room, or once the zone got back a thirty-second of its bytes since the last
// one: the out-of-core benchmark moves 10 % more objects in when it waits for an eighth, 33 % more
// without it.
void* SwapFileInternals::TakeFromZone(QORSysSwapFile& file, std::size_t size, const void* opened) {
    if (size + file.zoneUsed >= file.zoneCapacity) return nullptr;
    if (void* block = zone::Allocate(file.pool, size)) return block;
    if (!file.objectsReloadAlone) return nullptr;
    if (opened != nullptr && zone::JoinBehind(file.pool, opened))
        if (void* block = zone::Allocate(file.pool, size)) return block;
    Moves& moves = MovesOf(file);
    const bool due = opened != nullptr || moves.releasedSinceMerge >= file.zoneCapacity / 32;
    if (!due || !zone::MergeFreeAreas(file.pool, size)) return nullptr;
    moves.releasedSinceMerge = 0;
    return zone::Allocate(file.pool, size);
}

void* SwapFileInternals::FindZone(QORSysSwapFile& file, std::size_t size,
                                  const QORSysSwappable* keep) {
    if (void* block = TakeFromZone(file, size, nullptr)) return block;
    // The oldest objects are weighed once: when none of them opened the room, weighing them
    // again after each one sent out finds none either (77 % of the weighings in the benchmark).
    for (bool weigh = true;; weigh = false) {
        // zoneUsed can drift below the real use (it is charged less than it is credited), so
        // an age list with objects still counts as something to make room with.
        if ((file.zoneUsed == 0 && file.oldest == nullptr) || size > file.zoneCapacity)
            return nullptr;
        const void* opened = nullptr;
        const long long swapped = MakeRoom(file, size, keep, weigh ? &opened : nullptr);
        if (swapped < 0) return nullptr;
        if (void* block = TakeFromZone(file, size, opened)) return block;
        if (swapped == 0) return nullptr;
    }
}

} // namespace qor

using qor::SwapFileInternals;

long QORSysSwapFile::AllocateObject(std::size_t size, QORSysSwappable** out) {
    const auto fail = [out] {
        if (out != nullptr) *out = nullptr;
        return QORSysSwapFailure;
    };
    if (size > zoneCapacity) return fail();
    const std::uint64_t total = allocatedTotal + ZoneSize(size);
    if (total > fileCapacity) return fail();
    if (pool == nullptr || out == nullptr) return fail();
    allocatedTotal = total;
    *out = nullptr;
    void* block = FindAvailableZoneInPool(size);
    if (block == nullptr) {
        // A creation that failed is charged for good, unless charges are given back: then no
        // object will ever give it back, so it is not kept.
        if (chargesGivenBack) allocatedTotal -= ZoneSize(size);
        return QORSysSwapFailure;
    }
    zoneUsed += ZoneSize(size);
    *out = static_cast<QORSysSwappable*>(block);
    return qor::debug::AfterOperation(*this, "AllocateObject", QORSysSwapSuccess);
}

void* QORSysSwapFile::FindAvailableZoneInPool(std::size_t size) {
    return SwapFileInternals::FindZone(*this, size, nullptr);
}

long QORSysSwapFile::DeallocateObject(QORSysSwappable* object) {
    if (object == nullptr) return QORSysSwapFailure;
    qor::zone::Release(object);
    return QORSysSwapSuccess;
}

void* QORSysSwapFile::RealAddress(QORSysSwappable* object) {
    return object == nullptr ? nullptr : reinterpret_cast<char*>(object) - qor::kRecordHeaderBytes;
}
