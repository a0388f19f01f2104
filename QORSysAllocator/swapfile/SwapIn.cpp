// Swap-in.
// A page is read back whole: every record on it comes back into the zone as the newest objects,
// in page order, with their permanent handles naming the new copies. When objects reload alone,
// only the record asked for comes back and the page stays booked, its buffer kept when it has
// one, until its last record is back.
// Guarantees of a page read: the page is freed only once every record on it is back; a record
// that came back is marked in the page, so a read that stops for want of room leaves the others
// readable and reads none twice; the object asked for is never chosen to make room during its
// own read; a page that starts with a large object's tail, read from a small record's side,
// keeps the tail for its object.
#include "SwapFileInternals.h"

#include <cstring>

namespace qor {

namespace {

// A large object's run of pages: full pages from its first on, then a tail page holding its last
// `tailBytes` bytes (none when the size is a whole number of pages).
struct RunShape {
    int fullPages;
    std::size_t tailBytes;
    int tailPage;
};

RunShape ShapeOf(int page, std::size_t size) {
    const auto fullPages = static_cast<int>(size / kSwapPageBytes);
    return {fullPages, size % kSwapPageBytes, page + fullPages};
}

} // namespace

// An object whose bytes are back in the zone: it is told, its handles point at it again, and it
// counts as swapped in.
void SwapFileInternals::Restored(QORSysSwapFile& file, QORSysSwappable* object) {
    object->SwapIn();
    object->UpdateHandles(reinterpret_cast<std::size_t>(object));
    ++MovesOf(file).swapIns;
}

QORSysSwappable* SwapFileInternals::BringBack(QORSysSwapFile& file, const char* record,
                                              std::size_t size, const Recall& want) {
    void* block = FindZone(file, size - kRecordHeaderBytes, want.found);
    if (block == nullptr) return nullptr;
    std::memcpy(block, record + kRecordHeaderBytes, size - kRecordHeaderBytes);
    file.zoneUsed += size;
    auto* object = static_cast<QORSysSwappable*>(block);
    Restored(file, object);
    return object;
}

long SwapFileInternals::ReadLargeObject(QORSysSwapFile& file, int page, std::size_t size,
                                        const char* firstPage, Recall& want) {
    const RunShape run = ShapeOf(page, size);
    if (run.tailPage + (run.tailBytes != 0 ? 1 : 0) > file.pageCount) return QORSysSwapFailure;
    void* block = FindZone(file, size - kRecordHeaderBytes, want.found);
    if (block == nullptr) return QORSysSwapFailure; // nothing changed: the run stays booked
    char* object = static_cast<char*>(block);
    RunRead read;
    PlanRunRead(file, page, size, firstPage, object, read);
    if (!ReadRun(file, size, firstPage == nullptr, read) ||
        !RunMatchesItsFingerprint(file, page, size, object, read.tailBuffer)) {
        // A read that failed changes nothing: the run stays booked and readable.
        ReleaseBuffer(file, read.tailBuffer);
        zone::Release(block);
        return QORSysSwapFailure;
    }
    RestoreLargeObject(file, page, size, object, want, read.tailBuffer);
    return QORSysSwapSuccess;
}

void SwapFileInternals::PlanRunRead(QORSysSwapFile& file, int page, std::size_t size,
                                    const char* firstPage, char* object, RunRead& read) {
    const RunShape run = ShapeOf(page, size);
    read = RunRead{std::uint64_t(page) * kSwapPageBytes, {}, {}, 0, nullptr, false};
    if (firstPage != nullptr) {
        std::memcpy(object, firstPage + kRecordHeaderBytes, kSwapPageBytes - kRecordHeaderBytes);
        read.offset += kSwapPageBytes;
        if (run.fullPages > 1)
            read.pieces[read.count++] = {object + kSwapPageBytes - kRecordHeaderBytes,
                                         (run.fullPages - 1) * kSwapPageBytes};
    } else {
        read.pieces[read.count++] = {read.header, kRecordHeaderBytes};
        read.pieces[read.count++] = {object, run.fullPages * kSwapPageBytes - kRecordHeaderBytes};
    }
    if (run.tailBytes != 0 && BufferOf(file, run.tailPage) == nullptr) {
        read.tailBuffer = NewBuffer(file);
        if (read.tailBuffer != nullptr)
            read.pieces[read.count++] = {read.tailBuffer->data, kSwapPageBytes};
        else
            read.tailUnread = true; // no memory to hold the tail page while it is read
    }
}

bool SwapFileInternals::ReadRun(QORSysSwapFile& file, std::size_t size, bool headerRead,
                                RunRead& read) {
    if (read.tailUnread) return false;
    std::size_t expected = 0;
    for (int i = 0; i < read.count; ++i)
        expected += read.pieces[i].length;
    // Only the tail page may end early, where the file ends, after the tail: its rest reads as
    // zeros. A file that ends sooner was cut short: the object stays on disk.
    const std::size_t tailRest =
        read.tailBuffer != nullptr ? kSwapPageBytes - size % kSwapPageBytes : 0;
    if (read.count != 0 && ReadPages(file, read.offset, read.pieces, read.count) <
                               static_cast<long>(expected - tailRest))
        return false;
    return !headerRead || (zone::OwnerIsZone(read.header[0], file.pool) && read.header[1] == size);
}

void SwapFileInternals::RestoreLargeObject(QORSysSwapFile& file, int page, std::size_t size,
                                           char* object, Recall& want, PreSwapPage* tailBuffer) {
    const RunShape run = ShapeOf(page, size);
    file.zoneUsed += size;
    // The tail is copied before anything else can fail on its page, and the object is not in the
    // age list yet, so making room for the records that share the page cannot choose it.
    if (run.tailBytes != 0)
        ReadPage(file, run.tailPage, object + run.fullPages * kSwapPageBytes - kRecordHeaderBytes,
                 static_cast<int>(run.tailBytes), want, tailBuffer);
    auto* restored = reinterpret_cast<QORSysSwappable*>(object);
    Restored(file, restored);
    if (want.page == page && want.offset == 0) want.found = restored;
    // Reloaded alone, the object keeps its run (and its tail) as its origin.
    if (file.objectsReloadAlone)
        return KeepOrigin(file, restored, WithRecordBytes(MakeLocator(page, 0), size));
    for (int k = 0; k < run.fullPages; ++k)
        file.FreeIndex(page + k);
}

bool SwapFileInternals::Open(QORSysSwapFile& file, int page, PreSwapPage* fetched, char* local,
                             OpenPage& open) {
    // The page is worked on in place, in its buffer: the one that holds its newest contents, or
    // one that it is read into.
    if (fetched == nullptr) {
        open.buffer = TakeBufferOf(file, page);
        if (open.buffer != nullptr) { // fast path: no read
            open.bytes = open.buffer->data;
            open.length = open.buffer->used;
            return true;
        }
        open.buffer = NewBuffer(file);
    } else {
        open.buffer = fetched;
    }
    open.bytes = open.buffer != nullptr ? open.buffer->data : local;
    open.length = kSwapPageBytes;
    if (fetched != nullptr) return true;
    // A page that ends past the end of the file reads as zeros there; an error leaves it booked,
    // to be read again later.
    const platform::IoPiece piece{open.bytes, kSwapPageBytes};
    if (ReadPages(file, std::uint64_t(page) * kSwapPageBytes, &piece, 1) >= 0) return true;
    ReleaseBuffer(file, open.buffer);
    return false;
}

// Records already back (marked in the page) are counted but not copied again.
SwapFileInternals::RecordWalk SwapFileInternals::BringBackRecords(QORSysSwapFile& file, int page,
                                                                  const OpenPage& open,
                                                                  std::size_t firstRecord,
                                                                  Recall& want) {
    RecordWalk walk{0, 0, false};
    // Held in registers: bringing a record back calls out, and would make them reloaded.
    char* const work = open.bytes;
    const std::size_t length = open.length;
    const void* const zonePool = file.pool;
    for (std::size_t pos = firstRecord;
         pos <= kFullPageBytes && pos + kRecordHeaderBytes <= length;) {
        const std::uint64_t owner = WordAt(work, pos);
        const std::uint64_t size = WordAt(work, pos + 8);
        if (size < kRecordHeaderBytes || size % 8 != 0 || size > length - pos ||
            !zone::OwnerIsZone(owner, zonePool))
            break;
        ++walk.records;
        if (!(owner & kRecordRestored)) {
            QORSysSwappable* object = BringBack(file, work + pos, size, want);
            if (object == nullptr) {
                walk.stopped = true;
                break;
            }
            ++walk.broughtBack;
            if (want.page == page && want.offset == pos) want.found = object;
            const std::uint64_t marked = owner | kRecordRestored;
            std::memcpy(work + pos, &marked, sizeof(marked));
        }
        pos += RoundUp4(size);
    }
    return walk;
}

long SwapFileInternals::Settle(QORSysSwapFile& file, int page, const OpenPage& open, bool fromTail,
                               bool liveTail, std::size_t firstRecord, RecordWalk walk) {
    // The large object read this page's tail: the page now only holds its small records.
    const std::uint16_t tailInfo = TailOf(file, page);
    if (fromTail && (tailInfo & kTailLengthMask) != 0) TailOf(file, page) |= kTailConsumed;
    // Fewer records than were saved to the page, or none where no tail is read: the file lost
    // some (it was cut short or overwritten from outside). The page stays booked, its records
    // already back marked, so that their handles keep failing rather than naming a page that later
    // records reuse.
    const std::size_t counted = RecordsOn(file, page), tails = (tailInfo & kTailLengthMask) != 0;
    const std::size_t saved = counted > tails ? counted - tails : 0;
    if (walk.stopped || walk.records < saved || (walk.records == 0 && !fromTail)) {
        // The marks of the records back now are kept with the page; a page that gave nothing is
        // read again next time, not kept as the zeros read this time.
        if (walk.broughtBack != 0)
            KeepPage(file, page, open.buffer, open.bytes, open.length);
        else if (open.buffer != nullptr && open.buffer->pageNumber == kNoPage)
            ReleaseBuffer(file, open.buffer);
        else if (open.buffer != nullptr)
            AppendBuffer(file, open.buffer);
        return QORSysSwapFailure;
    }
    if (!fromTail && liveTail) {
        // Read from a small record's side: the tail stays booked for its large object, alone.
        KeepPage(file, page, open.buffer, open.bytes, firstRecord);
        RecordsOn(file, page) = 1;
        return QORSysSwapSuccess;
    }
    ReleaseBuffer(file, open.buffer);
    file.FreeIndex(page);
    return QORSysSwapSuccess;
}

long SwapFileInternals::ReadPage(QORSysSwapFile& file, int page, char* tail, int tailLength,
                                 Recall& want, PreSwapPage* fetched) {
    if (file.stream == nullptr || page < 0 || page >= file.pageCount || file.pageIndex[page] != 0)
        return QORSysSwapFailure;
    const std::uint16_t tailInfo = TailOf(file, page);
    // The first page of a hinted run: the whole object comes back with one read.
    if (tail == nullptr && (tailInfo & kRunStart))
        return ReadLargeObject(file, page, std::size_t(tailInfo & ~kRunStart) * 8u, nullptr, want);
    if (tail == nullptr && want.recordBytes != 0 && want.recordBytes <= kSwapPageBytes &&
        file.objectsReloadAlone)
        return ReloadAlone(file, page, want);

    char local[kSwapPageBytes]; // only when no buffer can be had
    OpenPage open{};
    if (!Open(file, page, fetched, local, open)) return QORSysSwapFailure;
    if (tail != nullptr && tailLength != 0) std::memcpy(tail, open.bytes, tailLength);

    const bool liveTail = (tailInfo & kTailLengthMask) != 0 && !(tailInfo & kTailConsumed);
    const std::size_t tailBytes =
        tail != nullptr ? static_cast<std::size_t>(tailLength) : (tailInfo & kTailLengthMask);
    const std::size_t firstRecord = RoundUp4(tailBytes);

    // A page read whole that starts a large object's record: the first page of a run too long
    // for the hint.
    if (tail == nullptr && tailBytes == 0 && open.length == kSwapPageBytes) {
        const std::uint64_t size = WordAt(open.bytes, 8);
        if (size > kSwapPageBytes && zone::OwnerIsZone(WordAt(open.bytes, 0), file.pool)) {
            const long result = ReadLargeObject(file, page, size, open.bytes, want);
            ReleaseBuffer(file, open.buffer);
            return result;
        }
    }
    if (file.objectsReloadAlone) return ReadOneRecord(file, page, open, tail != nullptr, want);
    const RecordWalk walk = BringBackRecords(file, page, open, firstRecord, want);
    return Settle(file, page, open, tail != nullptr, liveTail, firstRecord, walk);
}

QORSysSwappable* SwapFileInternals::BringBackLocated(QORSysSwapFile& file, std::uint64_t locator) {
    Recall want{LocatorPage(locator), LocatorOffset(locator), nullptr, LocatorRecordBytes(locator)};
    ReadPage(file, want.page, nullptr, 0, want);
    return want.found;
}

} // namespace qor

using qor::SwapFileInternals;

long QORSysSwapFile::SwapInPage(int page, std::size_t offset, QORSysSwappable** out, char* tail,
                                int tailLength) {
    SwapFileInternals::Recall want{page, offset, nullptr, 0};
    const long result = SwapFileInternals::ReadPage(*this, page, tail, tailLength, want);
    if (out != nullptr) *out = want.found;
    return result;
}

long QORSysSwapFile::RecallObject(QORSysSwappableHdl* handle) {
    if (handle == nullptr || handle->object == 0) return QORSysSwapFailure;
    if (!(handle->object & qor::kLocatorTag)) return QORSysSwapSuccess;
    if (QORSysSwappable* back = SwapFileInternals::BringBackLocated(*this, handle->object))
        handle->object = reinterpret_cast<std::uintptr_t>(back);
    return qor::debug::AfterOperation(*this, "RecallObject", QORSysSwapSuccess);
}
