// The swap file's private helpers, in one place: the file's page geometry and locators, and the
// class that reaches QORSysSwapFile's private state, its functions grouped by the file that holds
// them (page index, page buffers, zone memory, swap-out, swap-in).
//
// Page table invariants: for a free page i, pageIndex[i] == min(255, length of the free run that
// starts at i); 0 for a page in use. firstFreePage is the lowest free page (pageCount when none);
// every page from pageHighWater on is free.
// Tail table: tailBytes[i] != 0 when page i starts with the last bytes of a large object (the
// length of that tail), with kTailConsumed set once that object came back while small records of
// the page are still on disk. The first page of a large object's run holds kRunStart | size / 8
// instead, when the size fits: the whole run is then read with one call. Any other page's entry
// has kHasBuffer set while a buffer of the buffer list holds the page, so that a read of a page
// without one does not walk the list.
// Record table: per booked page, the records (a large object's tail counts as one) that are still
// to come back from it; kept for every page, used when objects are reloaded alone, where the page
// is free once its count reaches 0. The pages of a large object's run but its tail page hold 0.
// Behind those tables: the spare page buffers, kept for reuse so that a swap-out or swap-in in
// steady state takes no memory from operator new (at most kMaxSpareBuffers, released with the
// file), and the length the file may have (>= its real length: a failed write counts whole); then
// the objects moved each way since Initialize, for GetStatistics, and the age list's length, so
// that a sampler (QORSysGetSwapActivity) reads it without a walk.
#pragma once

#include "QORSysSwapFile.h"

#include "../core/DebugTier.h"
#include "../core/PoolCheck.h"
#include "../generalpool/SwapZone.h"
#include "../platform/Platform.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

struct QORSysSwapFile::PreSwapPage {
    PreSwapPage* next;
    std::uint32_t pageNumber; // kNoPage until a file page is assigned
    char data[8192];
    std::uint16_t used;
    // The file already holds data's first `filed` bytes followed by zeros up to the page's end: a
    // large object's tail, written with its run. While used == filed the page needs no write.
    std::uint16_t filed;
};

namespace qor {

constexpr std::size_t kSwapPageBytes = 8192;
constexpr std::uint32_t kNoPage = 0xFFFFFFFF;
constexpr std::size_t kRecordHeaderBytes = zone::kZoneHeaderBytes;
// A buffer this full is written at once: no record (at least 16 bytes) fits behind it.
constexpr std::size_t kFullPageBytes = 0x1FF0;
constexpr std::int32_t kMaxSwapPages = 0x40000;
constexpr std::size_t kMaxBuffersBeforeEviction = 10;
constexpr unsigned char kLongFreeRun = 255;
constexpr std::uint16_t kTailConsumed = 0x8000;
constexpr std::uint16_t kRunStart = 0x4000;
constexpr std::uint16_t kHasBuffer = 0x2000;      // not with kRunStart
constexpr std::uint16_t kTailLengthMask = 0x1FFF; // not with kRunStart
constexpr std::size_t kMaxHintedRunBytes = std::size_t{kRunStart - 1} * 8;
// Spares kept: never more than were in use at once before (a spare is a buffer that left the
// list), 1 MiB at most. The list holds about eleven buffers; pages kept after a read add to it,
// and in the out-of-core benchmark it swings between about 20 and 90: with 64 spares it still
// took a buffer from operator new every 260 pages, with 128 only while warming up.
constexpr std::uint32_t kMaxSpareBuffers = 128;
constexpr std::uintptr_t kLocatorTag = 1;
// The owner word of a record already brought back from a page that could not be read whole.
constexpr std::uintptr_t kRecordRestored = 0x2;

constexpr std::uint64_t MakeLocator(std::uint64_t page, std::uint64_t offset) {
    return page * 16384 + offset + kLocatorTag;
}
// A page and an offset take a locator's low 32 bits. When objects reload alone, a small record's
// locator also carries the record's size / 8 from bit 32 on, so that the record is read alone,
// without a read of its header first.
constexpr int kLocatorBytesShift = 32;
constexpr std::uint64_t kLocatorPlaceBits = 0xFFFFFFFF;
constexpr int LocatorPage(std::uint64_t locator) {
    return static_cast<int>((locator & kLocatorPlaceBits & ~std::uint64_t{kLocatorTag}) >> 14);
}
constexpr std::uint64_t WithRecordBytes(std::uint64_t locator, std::size_t bytes) {
    return locator | std::uint64_t{bytes / 8} << kLocatorBytesShift;
}
// 0 when the locator does not say.
constexpr std::size_t LocatorRecordBytes(std::uint64_t locator) {
    return static_cast<std::size_t>(locator >> kLocatorBytesShift) * 8;
}
constexpr std::size_t LocatorOffset(std::uint64_t locator) { return (locator - 1) % 16384; }
// The 8-byte word at `offset` of a page or record, whatever its alignment.
inline std::uint64_t WordAt(const char* bytes, std::size_t offset) {
    std::uint64_t word;
    std::memcpy(&word, bytes + offset, sizeof(word));
    return word;
}
constexpr std::size_t RoundUp4(std::size_t bytes) { return (bytes + 3) & ~std::size_t{3}; }
constexpr std::size_t RoundUp8(std::size_t bytes) { return (bytes + 7) & ~std::size_t{7}; }

// Access to QORSysSwapFile's private state for the swap file's own implementation files.
class SwapFileInternals {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof" // single inheritance: offsets are fixed
    static_assert(sizeof(QORSysSwapFile) == 104 && offsetof(QORSysSwapFile, zoneCapacity) == 24 &&
                      offsetof(QORSysSwapFile, pageCount) == 56 &&
                      offsetof(QORSysSwapFile, preSwapPages) == 72 &&
                      offsetof(QORSysSwapFile, minSwapOutBytes) == 96 &&
                      offsetof(QORSysSwapFile, chargesGivenBack) == 100,
                  "swap file fields at their fixed offsets");
    static_assert(sizeof(QORSysSwappable_hdl) == 16, "smart handle: table and handle");
    static_assert(sizeof(QORSysSwappable) == 48 && offsetof(QORSysSwappable, reserved) == 16 &&
                      offsetof(QORSysSwappable, older) == 40,
                  "swappable object header");
    static_assert(sizeof(QORSysSwappableHdl) == 40 && offsetof(QORSysSwappableHdl, object) == 8 &&
                      offsetof(QORSysSwappableHdl, refCount) == 24 &&
                      offsetof(QORSysSwappableHdl, reserved) == 32,
                  "permanent handle");
#pragma GCC diagnostic pop

public:
    using PreSwapPage = QORSysSwapFile::PreSwapPage;

    // ---- page index (PageIndex.cpp) ----------------------------------------------------------
    static std::uint16_t* TailTable(QORSysSwapFile& file);
    static std::uint16_t& TailOf(QORSysSwapFile& file, int page) { return TailTable(file)[page]; }
    static std::uint16_t& RecordsOn(QORSysSwapFile& file, int page);
    static std::size_t PageTableBytes(std::int32_t pageCount);
    struct SpareBuffers {
        PreSwapPage* first;
        std::uint32_t count;
        std::uint64_t fileBytes;
        // The buffer list's last buffer (null for an empty list) and its length, so that neither
        // appending nor the rule of more than ten buffers walks a list that pages kept after a
        // read can make long.
        PreSwapPage* listLast;
        std::uint32_t listCount;
        // The file read through a mapping (QORSysSwapFileMappedReads); none by default.
        platform::FileView view;
    };
    static SpareBuffers& Spares(QORSysSwapFile& file);
    struct Moves {
        std::uint64_t swapOuts; // objects whose record reached the file or a buffer
        std::uint64_t swapIns;  // objects brought back into the zone
        std::uint64_t linked;   // objects in the age list (its length, kept by its links)
        // Bytes the zone got back since its free areas were last joined (TakeFromZone).
        std::uint64_t releasedSinceMerge;
    };
    static Moves& MovesOf(QORSysSwapFile& file);
    // The age list gained or lost one object (nothing counted before Initialize).
    static void CountLinked(QORSysSwapFile& file, bool added) {
        if (file.pageIndex == nullptr) return;
        std::uint64_t& linked = MovesOf(file).linked;
        linked = added ? linked + 1 : linked - 1;
    }
    // For runs of 2 to kHintedRunPages pages: from[n] is a page below which no run of n free
    // pages starts. Freeing a page lowers it, a search that finds the first such run raises it,
    // so that a file whose free pages are scattered is not searched from its first free page
    // for every large object.
    static constexpr std::int32_t kHintedRunPages = 16;
    struct RunHints {
        std::int32_t from[kHintedRunPages + 1];
    };
    static RunHints& HintsOf(QORSysSwapFile& file);
    static void MarkBuffered(QORSysSwapFile& file, std::uint32_t page) {
        TailOf(file, static_cast<int>(page)) |= kHasBuffer;
    }
    // Gives the buffer the lowest free page. Requires: a page is free, the buffer has none.
    static void BookBufferPage(QORSysSwapFile& file, PreSwapPage* buffer);
    // The lowest page that starts `pages` free pages in a row; -1 when there is none.
    static std::int32_t FindFreeRun(QORSysSwapFile& file, std::int32_t pages);
    // A free run of at least `pages` now starts at `start`.
    static void NoteFreeRun(QORSysSwapFile& file, std::int32_t start, std::int32_t pages);
    // Requires: pages `page` to `page + pages - 1` are free.
    static void BookRun(QORSysSwapFile& file, std::int32_t page, std::int32_t pages);

    // ---- page buffers (PageBuffers.cpp) ------------------------------------------------------
    // An empty buffer (no page, nothing used; data not cleared: only WriteOutBuffer's zeros after
    // `used` reach the file), a spare one when there is one; null when no memory.
    static PreSwapPage* NewBuffer(QORSysSwapFile& file);
    // Keeps the buffer as a spare, or gives its memory back when there are enough. Null allowed.
    static void ReleaseBuffer(QORSysSwapFile& file, PreSwapPage* buffer);
    static void ReleaseSpares(QORSysSwapFile& file);
    // Whether the file lacks the buffer's contents.
    static bool NeedsWrite(const PreSwapPage& buffer) {
        return buffer.used != buffer.filed || buffer.filed == 0;
    }
    static void AppendBuffer(QORSysSwapFile& file, PreSwapPage* buffer);
    // Appends a new buffer; when more than ten were there already, the fullest of those go to
    // the file, so that buffers never pile up (large objects alone would add one each).
    static void AppendBufferAndEvict(QORSysSwapFile& file, PreSwapPage* buffer);
    // With more than ten buffers besides `added`, writes out the fullest of them.
    static void EvictIfMany(QORSysSwapFile& file, const PreSwapPage* added);
    // Puts the buffer first: a full one is passed by every first fit wherever it lies, and first
    // it is found at once when its page is read again.
    static void LinkFirst(QORSysSwapFile& file, PreSwapPage* buffer);
    static void UnlinkBuffer(QORSysSwapFile& file, PreSwapPage* buffer);
    // The buffer of `page`, null when none. Walks the list only when the page's entry says it has
    // one.
    static PreSwapPage* BufferOf(QORSysSwapFile& file, int page);
    // The buffer of `page` taken out of the list (the caller owns it); null when none.
    static PreSwapPage* TakeBufferOf(QORSysSwapFile& file, int page) {
        PreSwapPage* buffer = BufferOf(file, page);
        if (buffer != nullptr) UnlinkBuffer(file, buffer);
        return buffer;
    }
    // Writes out every buffer but `keep` whose free room equals `room` (the fullest ones).
    static void EvictFullest(QORSysSwapFile& file, const PreSwapPage* keep, std::size_t room);
    // Writes a buffer to its page; on success unlinks and releases it. A buffer whose write
    // failed stays in the list: it is still the newest contents of its page.
    static void WriteOutBuffer(QORSysSwapFile& file, PreSwapPage* buffer);
    // Puts the page's remaining contents back where a later read finds them.
    static void KeepPage(QORSysSwapFile& file, int page, PreSwapPage* buffer, const char* bytes,
                         std::size_t used);
    // Writes pages from `offset` on; true when every byte reached the file.
    static bool WritePages(QORSysSwapFile& file, std::uint64_t offset,
                           const platform::IoPiece* pieces, int count);
    // Reads from `offset` on, as platform::ReadAt, through the file's view when it has one.
    static long ReadPages(QORSysSwapFile& file, std::uint64_t offset,
                          const platform::IoPiece* pieces, int count) {
        const SpareBuffers& spares = Spares(file);
        return platform::ReadAt(file.stream, spares.view, spares.fileBytes, offset, pieces, count);
    }

    // ---- zone memory (ZoneMemory.cpp) --------------------------------------------------------
    static void LowerZoneUsed(QORSysSwapFile& file, std::uint64_t bytes) {
        file.zoneUsed = bytes > file.zoneUsed ? 0 : file.zoneUsed - bytes;
        MovesOf(file).releasedSinceMerge += bytes;
    }
    // An object whose block is `blockBytes` (its header included) is destroyed: its charge
    // against the capacity goes back when the file gives charges back. The pool may have given a
    // block larger than was asked for, so the credit stops at 0.
    static void GiveBackCharge(QORSysSwapFile& file, std::uint64_t blockBytes) {
        if (!file.chargesGivenBack) return;
        const std::uint64_t charge = file.ZoneSize(blockBytes - kRecordHeaderBytes);
        file.allocatedTotal = charge > file.allocatedTotal ? 0 : file.allocatedTotal - charge;
    }
    // A block of the zone when its charge leaves room for one, its free areas joined when needed
    // (first those behind `opened`, a block released to open the room, when not null); null
    // otherwise.
    static void* TakeFromZone(QORSysSwapFile& file, std::size_t size, const void* opened);
    // A block of the zone, making room for it when needed, never by swapping out `keep`.
    static void* FindZone(QORSysSwapFile& file, std::size_t size, const QORSysSwappable* keep);

    // ---- swap-out (SwapOut.cpp) --------------------------------------------------------------
    // One make-room pass for `bytes`: swaps out the oldest objects, never `keep`; with `opened`,
    // the first may be one of the oldest whose release opens the room with a join of the free
    // pieces behind it (VictimWithRoom), and *opened is its block (null when none was). Returns
    // the bytes swapped out, or -1 when a swap-out failed or no page is left.
    static long long MakeRoom(QORSysSwapFile& file, std::size_t bytes, const QORSysSwappable* keep,
                              const void** opened);
    static QORSysSwappable* VictimWithRoom(QORSysSwappable* oldest, std::size_t bytes,
                                           const QORSysSwappable* keep, const void** opened);
    // Saves `size` bytes of `record` with `ownerInFile` as its owner word and return the locator;
    // 0 when the file has no room or a write failed (the object then stays in memory).
    static std::uint64_t SaveSmallRecord(QORSysSwapFile& file, const char* record, std::size_t size,
                                         std::uintptr_t ownerInFile);
    static std::uint64_t SaveLargeRecord(QORSysSwapFile& file, char* record, std::size_t size,
                                         std::uintptr_t ownerInFile);
    // The first buffer with `size` bytes of room, else a new one (writing out the fullest when
    // there are too many); null when no page or no memory is left.
    static PreSwapPage* BufferWithRoom(QORSysSwapFile& file, std::size_t size);

    // ---- swap-in (SwapIn.cpp) ----------------------------------------------------------------
    // The record a caller asked for, and the object it became once back in memory.
    struct Recall {
        int page;
        std::size_t offset;
        QORSysSwappable* found;
        std::size_t recordBytes; // 0 when not known
    };
    // The object of `locator` back in memory; null when it could not come back.
    static QORSysSwappable* BringBackLocated(QORSysSwapFile& file, std::uint64_t locator);
    // Brings back the records of `page`; `tail` receives the page's first tailLength bytes (the
    // end of a large object read from its first page). 0 when the page is done with. A read
    // that fails leaves the page booked: failure. `fetched`, when given, holds the page as just
    // read from the file, and ReadPage takes it over.
    static long ReadPage(QORSysSwapFile& file, int page, char* tail, int tailLength, Recall& want,
                         PreSwapPage* fetched = nullptr);

    // ---- objects reloaded alone (ObjectReload.cpp) ------------------------------------------
    // The record of want.recordBytes at want.offset of `page`, read alone into a new block; the
    // object keeps its record as its origin.
    static long ReloadAlone(QORSysSwapFile& file, int page, Recall& want);
    // An object reloaded alone keeps its record on disk while it is unchanged: its permanent
    // handle's reserved word holds the record's locator, its own reserved word the fingerprint of
    // its bytes, which its record carries (so that a reload computes none). The origin's locator
    // when the object has one and is unchanged; 0 otherwise, and the object's reserved word then
    // holds the fingerprint of its bytes now, for the record about to be written.
    static std::uint64_t UnchangedOrigin(QORSysSwappable* object, std::size_t size);
    // Forgets the object's origin (none allowed); unless it went back there (`kept`), the record
    // no longer counts on its page.
    static void DropOrigin(QORSysSwapFile& file, QORSysSwappable* object, bool kept);
    // Objects sent out under the whole-page rule carry no fingerprint.
    static void ForgetFingerprint(QORSysSwappable* object);
    // The record at `locator` (its size in it) no longer counts: a small record's page is free
    // once it holds none, a large object's run is free but for a tail page that still does.
    static void DropLocated(QORSysSwapFile& file, std::uint64_t locator);
    static void DropRecord(QORSysSwapFile& file, int page);

    // ---- the list of swap files for sampling (SwapActivity.cpp) -------------------------------
    // Lists an initialised file (again after operator=: its zone may have changed); a file that
    // finds the list full stays off it.
    static void List(QORSysSwapFile& file);
    // Takes the file off the list, with every other file sharing its page table when `withZone`
    // (their zone goes with this one's).
    static void Unlist(const QORSysSwapFile& file, bool withZone);
    // A listed file's counters. Requires: the file is initialised.
    static QORSysSwapActivity Activity(QORSysSwapFile& file);

    // ---- the checker (SwapFileCheck.cpp) -------------------------------------------------------
    static bool Check(QORSysSwapFile& file, CheckResult& result);

private:
    static bool CheckPageTable(QORSysSwapFile& file, CheckResult& result);
    static bool CheckBuffers(QORSysSwapFile& file, CheckResult& result);
    static bool CheckAgeList(QORSysSwapFile& file, CheckResult& result);
    // A page being read back: the buffer that holds it (null when none could be had) and its
    // first `length` bytes, the only ones looked at.
    struct OpenPage {
        PreSwapPage* buffer;
        char* bytes;
        std::size_t length;
    };
    // What a walk over a page's records found.
    struct RecordWalk {
        std::size_t records;     // records on the page, back before or now
        std::size_t broughtBack; // of those, back now
        bool stopped;            // a record could not come back for want of room
    };
    // Opens the page in its buffer, else reads it into a new one, else into `local`. False when
    // the read failed.
    static bool Open(QORSysSwapFile& file, int page, PreSwapPage* fetched, char* local,
                     OpenPage& open);
    // A page read whole when objects reload alone (a record whose size its locator does not
    // carry, or a large object's tail): the record at want.offset comes back alone (nothing for
    // a tail); the page is freed with its last record.
    static long ReadOneRecord(QORSysSwapFile& file, int page, const OpenPage& open, bool fromTail,
                              Recall& want);
    // The record of the zone that starts at `offset` of the open page; null when none does.
    static const char* RecordAt(const QORSysSwapFile& file, const OpenPage& open,
                                std::size_t offset);
    // Puts the page's buffer back in the list, as read from the file when it was read just now.
    static void KeepOpenPage(QORSysSwapFile& file, int page, const OpenPage& open);
    static PreSwapPage* ReadPageWhole(QORSysSwapFile& file, int page);
    // Makes the record at `locator` the origin of `object`, just brought back from it.
    static void KeepOrigin(QORSysSwapFile& file, QORSysSwappable* object, std::uint64_t locator);
    static RecordWalk BringBackRecords(QORSysSwapFile& file, int page, const OpenPage& open,
                                       std::size_t firstRecord, Recall& want);
    // Frees the page, or keeps what is still booked on it; returns ReadPage's result.
    static long Settle(QORSysSwapFile& file, int page, const OpenPage& open, bool fromTail,
                       bool liveTail, std::size_t firstRecord, RecordWalk walk);
    // The object of `size` bytes whose run starts at `page`; `firstPage` is that page when it
    // was read already, else null.
    static long ReadLargeObject(QORSysSwapFile& file, int page, std::size_t size,
                                const char* firstPage, Recall& want);
    // What is still to come from the file for a large object, as one read from `offset`: the
    // run's full pages straight into the object (its record header into `header` unless the
    // first page was read already), then the tail page into `tailBuffer` unless its buffer is in
    // memory. `tailUnread`: no memory for the tail page's buffer.
    struct RunRead {
        std::uint64_t offset;
        std::uint64_t header[2];
        platform::IoPiece pieces[3];
        int count;
        PreSwapPage* tailBuffer;
        bool tailUnread;
    };
    static void PlanRunRead(QORSysSwapFile& file, int page, std::size_t size, const char* firstPage,
                            char* object, RunRead& read);
    // Reads the run as planned; true when every byte before the tail page came in and, when the
    // header was read here, it is the zone's record of `size` bytes.
    static bool ReadRun(QORSysSwapFile& file, std::size_t size, bool headerRead, RunRead& read);
    // Objects reloaded alone: false when the run's record carries a fingerprint and the bytes read
    // (the tail from `tailBuffer`, else from its page's buffer) are not what it was taken of.
    // Pages of a file cut short and lengthened since read as zeros: such a run is refused.
    static bool RunMatchesItsFingerprint(QORSysSwapFile& file, int page, std::size_t size,
                                         char* object, const PreSwapPage* tailBuffer);
    // The object is whole but for its tail: the tail page comes back with the small records
    // that share it, the run's pages are freed and the object counts as swapped in.
    static void RestoreLargeObject(QORSysSwapFile& file, int page, std::size_t size, char* object,
                                   Recall& want, PreSwapPage* tailBuffer);
    static QORSysSwappable* BringBack(QORSysSwapFile& file, const char* record, std::size_t size,
                                      const Recall& want);
    static void Restored(QORSysSwapFile& file, QORSysSwappable* object);
};

} // namespace qor
