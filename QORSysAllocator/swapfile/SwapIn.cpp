// Object memory from the zone (making room by swapping out the oldest objects) and swap-in.
// A page is read back whole: every record on it comes back into the zone as the newest objects,
// in page order, with their permanent handles naming the new copies.
// Guarantees of a page read: the page is freed only once every record on it is back; a record
// that came back is marked in the page, so a read that stops for want of room leaves the others
// readable and reads none twice; the object asked for is never chosen to make room during its
// own read; a page that starts with a large object's tail, read from a small record's side,
// keeps the tail for its object.
#include "SwapFileInternals.h"

#include "../platform/Platform.h"

#include <cstring>

namespace qor {

namespace {

std::uint64_t WordAt(const char* bytes, std::size_t offset) {
    std::uint64_t word;
    std::memcpy(&word, bytes + offset, sizeof(word));
    return word;
}

} // namespace

void* SwapFileInternals::FindZone(QORSysSwapFile& file, std::size_t size,
                                  const QORSysSwappable* keep) {
    if (size + file.zoneUsed < file.zoneCapacity)
        if (void* block = ZoneAllocate(file, size)) return block;
    for (;;) {
        // zoneUsed can drift below the real use (it is charged less than it is credited), so
        // an age list with objects still counts as something to make room with.
        if ((file.zoneUsed == 0 && file.oldest == nullptr) || size > file.zoneCapacity)
            return nullptr;
        const long long swapped = MakeRoom(file, size, keep);
        if (swapped < 0) return nullptr;
        if (size + file.zoneUsed < file.zoneCapacity)
            if (void* block = ZoneAllocate(file, size)) return block;
        if (swapped == 0) return nullptr;
    }
}

SwapFileInternals::PreSwapPage* SwapFileInternals::BufferOf(QORSysSwapFile& file, int page) {
    const std::uint16_t info = TailOf(file, page);
    if ((info & kRunStart) || !(info & kHasBuffer)) return nullptr;
    for (PreSwapPage* buffer = file.preSwapPages; buffer != nullptr; buffer = buffer->next)
        if (buffer->pageNumber == static_cast<std::uint32_t>(page)) return buffer;
    return nullptr;
}

SwapFileInternals::PreSwapPage* SwapFileInternals::TakeBufferOf(QORSysSwapFile& file, int page) {
    PreSwapPage* buffer = BufferOf(file, page);
    if (buffer != nullptr) UnlinkBuffer(file, buffer);
    return buffer;
}

void SwapFileInternals::KeepPage(QORSysSwapFile& file, int page, PreSwapPage* buffer,
                                 const char* bytes, std::size_t used) {
    if (buffer == nullptr) buffer = NewBuffer(file);
    if (buffer != nullptr) {
        if (buffer->data != bytes) std::memcpy(buffer->data, bytes, used);
        buffer->pageNumber = static_cast<std::uint32_t>(page);
        buffer->used = static_cast<std::uint16_t>(used);
        buffer->filed = 0; // records were marked as back, or dropped: the file's copy is old
        AppendBuffer(file, buffer);
        return;
    }
    // No memory for a buffer: the file itself takes the page's new contents.
    char page0[kSwapPageBytes] = {};
    std::memcpy(page0, bytes, used);
    const platform::IoPiece piece{page0, kSwapPageBytes};
    WritePages(file, std::uint64_t(page) * kSwapPageBytes, &piece, 1);
}

QORSysSwappable* SwapFileInternals::BringBack(QORSysSwapFile& file, const char* record,
                                              std::size_t size, const Recall& want) {
    void* block = FindZone(file, size - kRecordHeaderBytes, want.found);
    if (block == nullptr) return nullptr;
    std::memcpy(block, record + kRecordHeaderBytes, size - kRecordHeaderBytes);
    file.zoneUsed += size;
    auto* object = static_cast<QORSysSwappable*>(block);
    object->SwapIn();
    object->UpdateHandles(reinterpret_cast<std::size_t>(object));
    return object;
}

long SwapFileInternals::ReadLargeObject(QORSysSwapFile& file, int page, std::size_t size,
                                        const char* firstPage, Recall& want) {
    const auto fullPages = static_cast<int>(size / kSwapPageBytes);
    const std::size_t tailBytes = size % kSwapPageBytes;
    const int tailPage = page + fullPages;
    if (tailPage + (tailBytes != 0 ? 1 : 0) > file.pageCount) return QORSysSwapFailure;
    void* block = FindZone(file, size - kRecordHeaderBytes, want.found);
    if (block == nullptr) return QORSysSwapFailure; // nothing changed: the run stays booked
    char* object = static_cast<char*>(block);

    // One read for what is still to come from the file: the run's full pages straight into the
    // object (the record header aside, unless the first page was read already), then the tail
    // page into a buffer, unless its buffer is in memory.
    std::uint64_t header[2] = {};
    platform::IoPiece pieces[3];
    int count = 0;
    std::uint64_t offset = std::uint64_t(page) * kSwapPageBytes;
    if (firstPage != nullptr) {
        std::memcpy(object, firstPage + kRecordHeaderBytes, kSwapPageBytes - kRecordHeaderBytes);
        offset += kSwapPageBytes;
        if (fullPages > 1)
            pieces[count++] = {object + kSwapPageBytes - kRecordHeaderBytes,
                               (fullPages - 1) * kSwapPageBytes};
    } else {
        pieces[count++] = {header, kRecordHeaderBytes};
        pieces[count++] = {object, fullPages * kSwapPageBytes - kRecordHeaderBytes};
    }
    PreSwapPage* fetched = nullptr;
    bool complete = true;
    if (tailBytes != 0 && BufferOf(file, tailPage) == nullptr) {
        fetched = NewBuffer(file);
        if (fetched != nullptr)
            pieces[count++] = {fetched->data, kSwapPageBytes};
        else
            complete = false; // no memory to hold the tail page while it is read
    }
    std::size_t expected = 0;
    for (int i = 0; i < count; ++i)
        expected += pieces[i].length;
    // Only the tail page may end early, where the file ends: its rest reads as zeros.
    if (complete && count != 0)
        complete = platform::ReadAt(file.stream, offset, pieces, count) >=
                   static_cast<long>(expected - (fetched != nullptr ? kSwapPageBytes : 0));
    if (complete && firstPage == nullptr)
        complete = (header[0] & ~kOwnerBits) == reinterpret_cast<std::uintptr_t>(file.pool) &&
                   header[1] == size;
    if (!complete) { // a read that failed changes nothing: the run stays booked and readable
        ReleaseBuffer(file, fetched);
        ZoneRelease(block);
        return QORSysSwapFailure;
    }
    file.zoneUsed += size;
    // The tail page comes back with the small records that share it; the tail is copied before
    // anything else can fail there, and the object is not in the age list yet, so making room
    // for those records cannot choose it.
    if (tailBytes != 0)
        ReadPage(file, tailPage, object + fullPages * kSwapPageBytes - kRecordHeaderBytes,
                 static_cast<int>(tailBytes), want, fetched);
    for (int k = 0; k < fullPages; ++k)
        file.FreeIndex(page + k);
    auto* restored = reinterpret_cast<QORSysSwappable*>(object);
    restored->SwapIn();
    restored->UpdateHandles(reinterpret_cast<std::size_t>(restored));
    if (want.page == page && want.offset == 0) want.found = restored;
    return QORSysSwapSuccess;
}

long SwapFileInternals::ReadPage(QORSysSwapFile& file, int page, char* tail, int tailLength,
                                 Recall& want, PreSwapPage* fetched) {
    if (file.stream == nullptr || page < 0 || page >= file.pageCount || file.pageIndex[page] != 0)
        return QORSysSwapFailure;
    const std::uint16_t tailInfo = TailOf(file, page);
    if (tail == nullptr && (tailInfo & kRunStart))
        return ReadLargeObject(file, page, std::size_t(tailInfo & ~kRunStart) * 8u, nullptr, want);

    // The page is worked on in place, in its buffer: the one that holds its newest contents, or
    // one that it is read into. Only the first `bytes` bytes of the page are ever looked at.
    PreSwapPage* buffer = fetched != nullptr ? fetched : TakeBufferOf(file, page);
    std::size_t bytes = kSwapPageBytes;
    char local[kSwapPageBytes]; // only when no buffer can be had
    char* work = local;
    if (buffer != nullptr && buffer != fetched) {
        bytes = buffer->used;
        work = buffer->data;
    } else {
        if (buffer == nullptr) buffer = NewBuffer(file);
        if (buffer != nullptr) work = buffer->data;
        // A page that ends past the end of the file reads as zeros there; an error leaves it
        // booked, to be read again later.
        const platform::IoPiece piece{work, kSwapPageBytes};
        if (fetched == nullptr &&
            platform::ReadAt(file.stream, std::uint64_t(page) * kSwapPageBytes, &piece, 1) < 0) {
            ReleaseBuffer(file, buffer);
            return QORSysSwapFailure;
        }
    }
    if (tail != nullptr && tailLength != 0) std::memcpy(tail, work, tailLength);

    const bool liveTail = (tailInfo & kTailLengthMask) != 0 && !(tailInfo & kTailConsumed);
    const std::size_t tailBytes =
        tail != nullptr ? static_cast<std::size_t>(tailLength) : (tailInfo & kTailLengthMask);
    const auto poolAddress = reinterpret_cast<std::uintptr_t>(file.pool);
    const std::size_t firstRecord = RoundUp4(tailBytes);

    if (tail == nullptr && tailBytes == 0 && bytes == kSwapPageBytes) {
        const std::uint64_t size = WordAt(work, 8);
        if (size > kSwapPageBytes && (WordAt(work, 0) & ~kOwnerBits) == poolAddress) {
            const long result = ReadLargeObject(file, page, size, work, want);
            ReleaseBuffer(file, buffer);
            return result;
        }
    }

    std::size_t records = 0;
    bool stopped = false;
    std::size_t pos = firstRecord;
    while (pos <= kFullPageBytes && pos + kRecordHeaderBytes <= bytes) {
        const std::uint64_t owner = WordAt(work, pos);
        const std::uint64_t size = WordAt(work, pos + 8);
        if (size < kRecordHeaderBytes || size % 8 != 0 || size > bytes - pos ||
            (owner & ~kOwnerBits) != poolAddress)
            break;
        ++records;
        if (!(owner & kRecordRestored)) {
            QORSysSwappable* object = BringBack(file, work + pos, size, want);
            if (object == nullptr) {
                stopped = true;
                break;
            }
            if (want.page == page && want.offset == pos) want.found = object;
            const std::uint64_t marked = owner | kRecordRestored;
            std::memcpy(work + pos, &marked, sizeof(marked));
        }
        pos += RoundUp4(size);
    }

    // The large object read this page's tail: the page now only holds its small records.
    if (tail != nullptr && (TailOf(file, page) & kTailLengthMask) != 0)
        TailOf(file, page) |= kTailConsumed;
    if (stopped) {
        KeepPage(file, page, buffer, work, bytes);
        return QORSysSwapFailure;
    }
    if (tail == nullptr && liveTail) {
        // Read from a small record's side: the tail stays booked for its large object, alone.
        KeepPage(file, page, buffer, work, firstRecord);
        return QORSysSwapSuccess;
    }
    ReleaseBuffer(file, buffer);
    file.FreeIndex(page);
    return records == 0 && tail == nullptr ? QORSysSwapFailure : QORSysSwapSuccess;
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
    void* block = SwapFileInternals::FindZone(*this, size, nullptr);
    if (block == nullptr) return QORSysSwapFailure;
    zoneUsed += ZoneSize(size);
    *out = static_cast<QORSysSwappable*>(block);
    return QORSysSwapSuccess;
}

void* QORSysSwapFile::FindAvailableZoneInPool(std::size_t size) {
    return SwapFileInternals::FindZone(*this, size, nullptr);
}

long QORSysSwapFile::SwapInPage(int page, std::size_t offset, QORSysSwappable** out, char* tail,
                                int tailLength) {
    SwapFileInternals::Recall want{page, offset, nullptr};
    const long result = SwapFileInternals::ReadPage(*this, page, tail, tailLength, want);
    if (out != nullptr) *out = want.found;
    return result;
}

long QORSysSwapFile::RecallObject(QORSysSwappableHdl* handle) {
    if (handle == nullptr || handle->object == 0) return QORSysSwapFailure;
    if (!(handle->object & qor::kLocatorTag)) return QORSysSwapSuccess;
    QORSysSwappable* back = nullptr;
    SwapInPage(qor::LocatorPage(handle->object), qor::LocatorOffset(handle->object), &back, nullptr,
               0);
    if (back != nullptr) handle->object = reinterpret_cast<std::uintptr_t>(back);
    return QORSysSwapSuccess;
}

long QORSysSwapFile::DeallocateObject(QORSysSwappable* object) {
    if (object == nullptr) return QORSysSwapFailure;
    SwapFileInternals::ZoneRelease(object);
    return QORSysSwapSuccess;
}

void* QORSysSwapFile::PageInPreSwapSpace(int page) {
    for (PreSwapPage* buffer = preSwapPages; buffer != nullptr; buffer = buffer->next)
        if (buffer->pageNumber == static_cast<std::uint32_t>(page)) {
            SwapFileInternals::UnlinkBuffer(*this, buffer);
            return buffer;
        }
    return nullptr;
}

void* QORSysSwapFile::RealAddress(QORSysSwappable* object) {
    return object == nullptr ? nullptr : qor::HeaderOf(object);
}
