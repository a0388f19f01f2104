// Objects reloaded alone (ReloadObjectsAlone): a visit brings back the record asked for and
// nothing else of its page; the page stays booked until the last of its records is gone.
// A small record's locator carries its size, so it is read alone, straight into its new block.
// Back in memory, the object keeps its record as its origin for as long as it is unchanged: sent
// out again unchanged, it goes back there without a write. A 64-bit fingerprint of its bytes
// tells a changed object (a change it misses has odds of about 2^-63). It is computed once per
// swap-out and written with the record, in the object's reserved word: the reload brings it back
// with the bytes, and a large object's run is checked against it (RunMatchesItsFingerprint). A
// record whose word holds no fingerprint (written while objects were not reloaded alone) is not
// checked, and costs a write at the next swap-out.
// Invariant: RecordsOn(page) counts the records of the page that are on disk or are the origin
// of an object in memory; the page is free when that count is 0.
#include "SwapFileInternals.h"

#include <cstring>

namespace qor {

namespace {

// The fingerprint skips the fields that change while the object does not: its reserved word
// (which holds the fingerprint) and its age-list links, from kSwapFileAt + 8 to kBaseBytes.
constexpr std::size_t kReservedAt = 16, kSwapFileAt = 24, kBaseBytes = sizeof(QORSysSwappable);

constexpr std::uint64_t kMix1 = 0x9E3779B185EBCA87, kMix2 = 0xC2B2AE3D27D4EB4F;

// Set in every fingerprint: a reserved word of 0, the word's value outside this mode, carries none.
constexpr std::uint64_t kFingerprinted = 1;

// One multiply per word: each step is a bijection of the lane for a given word, so a single
// changed word always changes its lane.
constexpr std::uint64_t Round(std::uint64_t lane, std::uint64_t word) {
    lane = (lane ^ word) * kMix1;
    return (lane << 31) | (lane >> 33);
}

// Eight independent lanes, so that the multiplier is busy every cycle: a kilobyte costs about
// 150 cycles. Requires: `bytes` is a multiple of 8 and at least the base class's fields.
std::uint64_t Fingerprint(const QORSysSwappable* object, std::size_t bytes) {
    constexpr std::size_t kLanes = 8, kWord = sizeof(std::uint64_t);
    const char* base = reinterpret_cast<const char*>(object);
    std::uint64_t lanes[kLanes] = {Round(kMix1, WordAt(base, 0)),
                                   Round(kMix2, WordAt(base, kWord)),
                                   Round(kMix1, WordAt(base, kSwapFileAt)),
                                   kMix2,
                                   1,
                                   2,
                                   3,
                                   4};
    std::size_t at = kBaseBytes;
    for (; at + kWord * kLanes <= bytes; at += kWord * kLanes)
        for (std::size_t lane = 0; lane < kLanes; ++lane)
            lanes[lane] = Round(lanes[lane], WordAt(base, at + kWord * lane));
    for (std::size_t lane = 0; at < bytes; at += kWord, ++lane)
        lanes[lane] = Round(lanes[lane], WordAt(base, at));
    std::uint64_t hash = bytes;
    for (const std::uint64_t lane : lanes)
        hash = Round(hash, lane) * kMix2;
    return (hash ^ (hash >> 29)) | kFingerprinted;
}

std::uint64_t& ReservedOf(QORSysSwappable* object) {
    return *reinterpret_cast<std::uint64_t*>(reinterpret_cast<char*>(object) + kReservedAt);
}

} // namespace

// A record under 512 bytes comes with its page, kept in a buffer: read one by one, a page of
// them would cost a call each, while copying a whole page costs little more than one call. A
// larger record is read alone (in the out-of-core benchmark, 2 KB as the limit cost 5 % more).
constexpr std::size_t kReadWithPage = kSwapPageBytes / 16;

// The page of a small record read whole into a buffer as the file holds it; null when no buffer
// can be had or the read failed.
SwapFileInternals::PreSwapPage* SwapFileInternals::ReadPageWhole(QORSysSwapFile& file, int page) {
    PreSwapPage* buffer = NewBuffer(file);
    if (buffer == nullptr) return nullptr;
    const platform::IoPiece piece{buffer->data, kSwapPageBytes};
    if (ReadPages(file, std::uint64_t(page) * kSwapPageBytes, &piece, 1) < 0) {
        ReleaseBuffer(file, buffer);
        return nullptr;
    }
    buffer->pageNumber = static_cast<std::uint32_t>(page);
    buffer->used = buffer->filed = kSwapPageBytes; // leaves the list unwritten; no record joins
    return buffer;
}

long SwapFileInternals::ReloadAlone(QORSysSwapFile& file, int page, Recall& want) {
    const std::size_t size = want.recordBytes;
    if (size < kRecordHeaderBytes + kBaseBytes || want.offset + size > kSwapPageBytes)
        return QORSysSwapFailure;
    // Out of the list while room is made, so that no eviction writes or reuses it.
    PreSwapPage* buffer = TakeBufferOf(file, page);
    const bool fresh = buffer == nullptr && size < kReadWithPage;
    if (fresh) buffer = ReadPageWhole(file, page);
    char* block = static_cast<char*>(FindZone(file, size - kRecordHeaderBytes, nullptr));
    std::uint64_t header[2] = {};
    bool whole = false;
    if (block != nullptr && buffer != nullptr && want.offset + size <= buffer->used) {
        std::memcpy(header, buffer->data + want.offset, kRecordHeaderBytes);
        std::memcpy(block, buffer->data + want.offset + kRecordHeaderBytes, size - 16);
        whole = true;
    } else if (block != nullptr && buffer == nullptr) {
        const platform::IoPiece pieces[2] = {{header, kRecordHeaderBytes},
                                             {block, size - kRecordHeaderBytes}};
        whole = ReadPages(file, std::uint64_t(page) * kSwapPageBytes + want.offset, pieces, 2) ==
                static_cast<long>(size);
    }
    if (buffer != nullptr && buffer->used == kSwapPageBytes)
        LinkFirst(file, buffer);
    else if (buffer != nullptr)
        AppendBuffer(file, buffer); // still being filled: last, as a new one
    if (fresh && buffer != nullptr) EvictIfMany(file, buffer);
    if (!whole || header[1] != size || !zone::OwnerIsZone(header[0], file.pool)) {
        zone::Release(block); // nothing changed: the record stays where it is
        return QORSysSwapFailure;
    }
    file.zoneUsed += size;
    auto* object = reinterpret_cast<QORSysSwappable*>(block);
    Restored(file, object);
    KeepOrigin(file, object, WithRecordBytes(MakeLocator(page, want.offset), size));
    want.found = object;
    return QORSysSwapSuccess;
}

void SwapFileInternals::KeepOrigin(QORSysSwapFile& file, QORSysSwappable* object,
                                   std::uint64_t locator) {
    if (object->handle == nullptr) return DropLocated(file, locator);
    object->handle->reserved = locator;
}

std::uint64_t SwapFileInternals::UnchangedOrigin(QORSysSwappable* object, std::size_t size) {
    const std::uint64_t now = Fingerprint(object, size - kRecordHeaderBytes);
    const QORSysSwappableHdl* handle = object->handle;
    const bool hasOrigin = handle != nullptr && handle->reserved != 0 &&
                           handle->object == reinterpret_cast<std::uintptr_t>(object) &&
                           LocatorRecordBytes(handle->reserved) == size;
    if (hasOrigin && object->reserved == now) return handle->reserved;
    ReservedOf(object) = now;
    return 0;
}

bool SwapFileInternals::RunMatchesItsFingerprint(QORSysSwapFile& file, int page, std::size_t size,
                                                 char* object, const PreSwapPage* tailBuffer) {
    auto* swappable = reinterpret_cast<QORSysSwappable*>(object);
    if (!file.objectsReloadAlone || !(swappable->reserved & kFingerprinted)) return true;
    const std::size_t tailBytes = size % kSwapPageBytes;
    const auto tailPage = page + static_cast<int>(size / kSwapPageBytes);
    if (tailBytes != 0) {
        if (tailBuffer == nullptr) tailBuffer = BufferOf(file, tailPage);
        if (tailBuffer == nullptr) return false;
        std::memcpy(object + size - tailBytes - kRecordHeaderBytes, tailBuffer->data, tailBytes);
    }
    return Fingerprint(swappable, size - kRecordHeaderBytes) == swappable->reserved;
}

void SwapFileInternals::ForgetFingerprint(QORSysSwappable* object) {
    if (object->reserved != 0) ReservedOf(object) = 0;
}

void SwapFileInternals::DropOrigin(QORSysSwapFile& file, QORSysSwappable* object, bool kept) {
    QORSysSwappableHdl* handle = object->handle;
    // A copy of an object shares its handle but is not what the handle names.
    if (handle == nullptr || handle->reserved == 0 ||
        handle->object != reinterpret_cast<std::uintptr_t>(object))
        return;
    if (!kept) DropLocated(file, handle->reserved);
    handle->reserved = 0;
    ReservedOf(object) = 0;
}

void SwapFileInternals::DropLocated(QORSysSwapFile& file, std::uint64_t locator) {
    const std::size_t size = LocatorRecordBytes(locator);
    const int page = LocatorPage(locator);
    if (size <= kSwapPageBytes) return DropRecord(file, page);
    // A large object's run: its full pages are its own, its tail page may hold records too.
    const auto fullPages = static_cast<int>(size / kSwapPageBytes);
    for (int k = 0; k < fullPages; ++k)
        file.FreeIndex(page + k);
    if (size % kSwapPageBytes != 0) DropRecord(file, page + fullPages);
}

void SwapFileInternals::DropRecord(QORSysSwapFile& file, int page) {
    std::uint16_t& records = RecordsOn(file, page);
    if (records > 1) {
        --records;
        return;
    }
    ReleaseBuffer(file, TakeBufferOf(file, page));
    file.FreeIndex(page);
}

const char* SwapFileInternals::RecordAt(const QORSysSwapFile& file, const OpenPage& open,
                                        std::size_t offset) {
    if (offset > kFullPageBytes || offset + kRecordHeaderBytes > open.length) return nullptr;
    const char* record = open.bytes + offset;
    const std::uint64_t size = WordAt(record, 8);
    const bool whole = size >= kRecordHeaderBytes && size % 8 == 0 && size <= open.length - offset;
    return whole && zone::OwnerIsZone(WordAt(record, 0), file.pool) ? record : nullptr;
}

void SwapFileInternals::KeepOpenPage(QORSysSwapFile& file, int page, const OpenPage& open) {
    PreSwapPage* buffer = open.buffer;
    if (buffer == nullptr) return; // read onto the stack: the file still holds the page
    if (buffer->pageNumber == kNoPage) {
        // Read whole just now: what the file holds, so it leaves the list without a write, and
        // full, so no record joins it.
        buffer->pageNumber = static_cast<std::uint32_t>(page);
        buffer->used = buffer->filed = kSwapPageBytes;
    }
    AppendBufferAndEvict(file, buffer);
}

long SwapFileInternals::ReadOneRecord(QORSysSwapFile& file, int page, const OpenPage& open,
                                      bool fromTail, Recall& want) {
    if (fromTail) { // the tail stays counted: it is part of the large object's origin
        KeepOpenPage(file, page, open);
        return QORSysSwapSuccess;
    }
    // The page's buffer is out of the list while room is made, so that no eviction takes it.
    const char* record = RecordAt(file, open, want.offset);
    const std::size_t size = record != nullptr ? WordAt(record, 8) : 0;
    QORSysSwappable* object = record != nullptr ? BringBack(file, record, size, want) : nullptr;
    KeepOpenPage(file, page, open);
    if (object == nullptr) return QORSysSwapFailure;
    KeepOrigin(file, object, WithRecordBytes(MakeLocator(page, want.offset), size));
    want.found = object;
    return QORSysSwapSuccess;
}

} // namespace qor
