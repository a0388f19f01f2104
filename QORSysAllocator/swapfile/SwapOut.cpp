// Swap-out: records go to page buffers (small objects, first fit) or straight to a run of file
// pages (large objects); the page table books what is used and FreeIndex gives pages back.
// A record is the object's block with its 16-byte header; its owner word names the zone pool.
#include "SwapFileInternals.h"

#include <algorithm>
#include <cstring>

namespace qor {

// Zeros for the rest of a large object's tail page, written with its run.
constexpr char kZeroPage[kSwapPageBytes] = {};

namespace {

// How far up the age list a victim that opens the room is looked for: a third of the zone's
// objects in the out-of-core benchmark, where fewer moved more of them (64: 5 % more).
constexpr int kVictimsWeighed = 128;

} // namespace

// The zone's charge leaves room for `bytes` but no block of that size is free: the room is there
// in pieces. Sending the oldest out would likely not join them, so of the oldest objects the first
// whose release opens the room goes (and its block is joined with the pieces behind it right
// after); the oldest when none does. Only when objects reload alone: the rule of oldest first is
// otherwise kept.
QORSysSwappable* SwapFileInternals::VictimWithRoom(QORSysSwappable* oldest, std::size_t bytes,
                                                   const QORSysSwappable* keep,
                                                   const void** opened) {
    const std::uint64_t need = RoundUp8(bytes) + kRecordHeaderBytes;
    int weighed = 0;
    QORSysSwappable* joined = nullptr; // the first whose release opens the room with a join
    for (QORSysSwappable* object = oldest; object != nullptr && weighed < kVictimsWeighed;
         object = object->newer) {
        if (object == keep) continue;
        ++weighed;
        // A block that holds the request by itself opens the room without a join of the zone.
        if (zone::BlockBytes(object) >= need) return object;
        if (joined == nullptr && zone::RoomIfReleased(object) >= need) joined = object;
    }
    if (joined == nullptr) return oldest;
    *opened = joined;
    return joined;
}

long long SwapFileInternals::MakeRoom(QORSysSwapFile& file, std::size_t bytes,
                                      const QORSysSwappable* keep, const void** opened) {
    std::uint32_t swapped = 0;
    if (opened != nullptr) *opened = nullptr;
    const bool inPieces =
        opened != nullptr && file.objectsReloadAlone && file.zoneCapacity - file.zoneUsed >= bytes;
    while (file.zoneCapacity - file.zoneUsed < bytes || swapped < file.minSwapOutBytes) {
        QORSysSwappable* victim = file.oldest;
        if (victim != nullptr && victim == keep) victim = victim->newer;
        if (victim != nullptr && inPieces && swapped == 0)
            victim = VictimWithRoom(victim, bytes, keep, opened);
        if (victim == nullptr) break;
        if (file.firstFreePage >= file.pageCount) return -1;
        unsigned int victimBytes = 0;
        if (file.EffectiveSwapOut(victim, nullptr, &victimBytes) != QORSysSwapSuccess) return -1;
        swapped += victimBytes;
    }
    return swapped;
}

// First fit. Costs two cache lines per buffer passed (its link and its `used`).
SwapFileInternals::PreSwapPage* SwapFileInternals::BufferWithRoom(QORSysSwapFile& file,
                                                                  std::size_t size) {
    std::size_t visited = 0;
    std::size_t smallestRoom = kSwapPageBytes;
    for (PreSwapPage* buffer = file.preSwapPages; buffer != nullptr; buffer = buffer->next) {
        ++visited;
        const std::size_t room = kSwapPageBytes - buffer->used;
        if (room < smallestRoom) smallestRoom = room;
        if (room >= size) return buffer;
    }
    if (file.firstFreePage >= file.pageCount) return nullptr;
    PreSwapPage* fresh = NewBuffer(file);
    if (fresh == nullptr) return nullptr;
    AppendBuffer(file, fresh);
    // Too many buffers: the fullest ones go to the file.
    if (visited > kMaxBuffersBeforeEviction) EvictFullest(file, fresh, smallestRoom);
    return fresh;
}

std::uint64_t SwapFileInternals::SaveSmallRecord(QORSysSwapFile& file, const char* record,
                                                 std::size_t size, std::uintptr_t ownerInFile) {
    PreSwapPage* target = BufferWithRoom(file, size);
    if (target == nullptr) return 0;
    if (target->pageNumber == kNoPage) BookBufferPage(file, target);
    const std::size_t offset = target->used;
    std::memcpy(target->data + offset, record, size);
    std::memcpy(target->data + offset, &ownerInFile, sizeof(ownerInFile));
    target->used = static_cast<std::uint16_t>(offset + size);
    ++RecordsOn(file, static_cast<int>(target->pageNumber));
    const std::uint64_t locator = MakeLocator(target->pageNumber, offset);
    if (target->used >= kFullPageBytes) WriteOutBuffer(file, target);
    return locator;
}

// The record carries `ownerInFile` only while it is written: it is still the zone's block.
std::uint64_t SwapFileInternals::SaveLargeRecord(QORSysSwapFile& file, char* record,
                                                 std::size_t size, std::uintptr_t ownerInFile) {
    const auto pages = static_cast<std::int32_t>((size + kSwapPageBytes - 1) / kSwapPageBytes);
    const std::int32_t start = FindFreeRun(file, pages);
    if (start < 0) return 0;
    std::uintptr_t ownerInMemory;
    std::memcpy(&ownerInMemory, record, sizeof(ownerInMemory));
    std::memcpy(record, &ownerInFile, sizeof(ownerInFile));
    const long written = file.DirectCopyToFile(start, 0, record, size);
    std::memcpy(record, &ownerInMemory, sizeof(ownerInMemory));
    if (written != QORSysSwapSuccess) return 0;
    return MakeLocator(static_cast<std::uint64_t>(start), 0);
}

} // namespace qor

using qor::SwapFileInternals;

long QORSysSwapFile::DirectCopyToFile(int page, int, void* buffer, std::size_t length) {
    const std::size_t tailBytes = length % qor::kSwapPageBytes;
    // The run's last page is shared: its buffer keeps the tail so that small records can follow.
    // Old bytes after the tail, up to the page's end or the file's, get zeros with the run: the
    // tail page in the file is then what its buffer would write, and that buffer needs no write
    // until records join it. A file that ends in the tail page is not lengthened.
    PreSwapPage* tail = tailBytes != 0 ? SwapFileInternals::NewBuffer(*this) : nullptr;
    const std::uint64_t start = std::uint64_t(page) * qor::kSwapPageBytes, end = start + length;
    const std::uint64_t fileBytes = SwapFileInternals::Spares(*this).fileBytes;
    const std::uint64_t padEnd = std::min<std::uint64_t>(
        end - tailBytes + (tailBytes != 0 ? qor::kSwapPageBytes : 0), fileBytes);
    const qor::platform::IoPiece pieces[2] = {
        {buffer, length}, {const_cast<char*>(qor::kZeroPage), padEnd > end ? padEnd - end : 0}};
    // A record that did not reach the file must not be booked: its object stays in memory.
    if (!SwapFileInternals::WritePages(*this, start, pieces, padEnd > end ? 2 : 1)) {
        SwapFileInternals::ReleaseBuffer(*this, tail);
        return QORSysSwapFailure;
    }
    const auto pages =
        static_cast<std::int32_t>((length + qor::kSwapPageBytes - 1) / qor::kSwapPageBytes);
    SwapFileInternals::BookRun(*this, page, pages);
    if (length > qor::kSwapPageBytes && length <= qor::kMaxHintedRunBytes)
        SwapFileInternals::TailOf(*this, page) =
            qor::kRunStart | static_cast<std::uint16_t>(length / 8);

    if (tailBytes == 0) return QORSysSwapSuccess;
    const auto tailPage = page + static_cast<std::int32_t>(length / qor::kSwapPageBytes);
    SwapFileInternals::TailOf(*this, tailPage) = static_cast<std::uint16_t>(tailBytes);
    SwapFileInternals::RecordsOn(*this, tailPage) = 1;
    if (tail != nullptr) {
        const std::size_t used = qor::RoundUp4(tailBytes);
        std::memcpy(tail->data, static_cast<char*>(buffer) + length - tailBytes, tailBytes);
        std::memset(tail->data + tailBytes, 0, used - tailBytes);
        tail->pageNumber = static_cast<std::uint32_t>(tailPage);
        tail->used = tail->filed = static_cast<std::uint16_t>(used);
        SwapFileInternals::AppendBufferAndEvict(*this, tail);
    }
    return QORSysSwapSuccess;
}

long QORSysSwapFile::EffectiveSwapOut(QORSysSwappable* object, QORSysSwappableHdl* handle,
                                      unsigned int* swappedBytes) {
    if (object == nullptr) return QORSysSwapFailure;
    const std::size_t size = object->GetSize();
    char* record = static_cast<char*>(RealAddress(object));
    // In the file a record's owner word names the zone pool, whichever chunk held the block.
    const std::uintptr_t ownerInFile = qor::zone::DetachedOwnerWord(pool);
    // Unchanged since it was reloaded alone: its record is still on disk.
    const std::uint64_t origin =
        objectsReloadAlone ? SwapFileInternals::UnchangedOrigin(object, size) : 0;
    if (!objectsReloadAlone) SwapFileInternals::ForgetFingerprint(object);
    std::uint64_t locator = origin;
    if (locator == 0) {
        locator = size <= qor::kSwapPageBytes
                      ? SwapFileInternals::SaveSmallRecord(*this, record, size, ownerInFile)
                      : SwapFileInternals::SaveLargeRecord(*this, record, size, ownerInFile);
        if (locator == 0) {
            // The object stays in memory, changed since its origin: the fingerprint it now
            // carries would pass it for unchanged, so the origin goes.
            if (objectsReloadAlone) SwapFileInternals::DropOrigin(*this, object, false);
            return QORSysSwapFailure;
        }
        if (objectsReloadAlone) locator = qor::WithRecordBytes(locator, size);
    }
    if (objectsReloadAlone) SwapFileInternals::DropOrigin(*this, object, locator == origin);

    // The record is safe: the object leaves the zone and its handles learn where it went.
    object->SwapOut(QORSysSwapZoneFull);
    ++SwapFileInternals::MovesOf(*this).swapOuts;
    SwapFileInternals::LowerZoneUsed(*this, size);
    if (swappedBytes != nullptr) *swappedBytes = static_cast<unsigned int>(size);
    object->UpdateHandles(locator);
    if (handle != nullptr) handle->object = locator;
    qor::zone::Release(object);
    return QORSysSwapSuccess;
}

long QORSysSwapFile::SwapOutObject(QORSysSwappableHdl* handle) {
    if (handle == nullptr) return QORSysSwapFailure;
    if (handle->object & qor::kLocatorTag) return QORSysSwapSuccess;
    const long result =
        EffectiveSwapOut(reinterpret_cast<QORSysSwappable*>(handle->object), handle, nullptr);
    return qor::debug::AfterOperation(*this, "SwapOutObject", result);
}

long QORSysSwapFile::SwapOutOldestObjects(std::size_t bytes) {
    if (bytes > zoneCapacity || zoneUsed == 0) return QORSysSwapFailure;
    const void* opened = nullptr; // no block is taken after: the room is the caller's
    const long long swapped = SwapFileInternals::MakeRoom(*this, bytes, nullptr, &opened);
    return qor::debug::AfterOperation(*this, "SwapOutOldestObjects",
                                      swapped < 0 ? QORSysSwapFailure : QORSysSwapSuccess);
}
