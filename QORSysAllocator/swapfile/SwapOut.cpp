// Swap-out: records go to page buffers (small objects, first fit) or straight to a run of file
// pages (large objects); the page table books what is used and FreeIndex gives pages back.
// A record is the object's block with its 16-byte header; its owner word names the zone pool.
#include "SwapFileInternals.h"

#include "../platform/Platform.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace qor {

namespace {

// Lowest page from `from` on whose entry is not 0, or pageCount.
// Used pages are skipped eight at a time: after the file has filled up once, the next free
// page can lie far above the one just taken.
std::int32_t NextFreePage(const unsigned char* index, std::int32_t from, std::int32_t pageCount) {
    constexpr std::int32_t kWord = sizeof(std::uint64_t);
    while (from < pageCount && (from % kWord != 0 || from + kWord > pageCount)) {
        if (index[from] != 0) return from;
        ++from;
    }
    for (std::uint64_t word; from + kWord <= pageCount; from += kWord) {
        std::memcpy(&word, index + from, kWord);
        if (word != 0) break;
    }
    while (from < pageCount && index[from] == 0)
        ++from;
    return from;
}

// Free pages from run start `first`, counted up to `enough`.
std::int32_t FreeRunLength(const unsigned char* index, std::int32_t first, std::int32_t pageCount,
                           std::int32_t enough) {
    std::int32_t length = 0;
    for (std::int32_t page = first; page < pageCount && length < enough;) {
        const unsigned char entry = index[page];
        if (entry == 0) break;
        length += entry;
        if (entry < kLongFreeRun) break; // an exact entry: the run ends there
        page += kLongFreeRun;
    }
    return length;
}

} // namespace

// Zeros for the rest of a large object's tail page, written with its run.
constexpr char kZeroPage[kSwapPageBytes] = {};

QORSysSwapFile::PreSwapPage* SwapFileInternals::NewBuffer(QORSysSwapFile& file) {
    SpareBuffers& spares = Spares(file);
    PreSwapPage* buffer = spares.first;
    if (buffer != nullptr) {
        spares.first = buffer->next;
        --spares.count;
    } else {
        void* memory = platform::AllocateObjectMemory(sizeof(PreSwapPage));
        if (memory == nullptr) return nullptr;
        buffer = new (memory) PreSwapPage;
    }
    buffer->next = nullptr;
    buffer->pageNumber = kNoPage;
    buffer->used = buffer->filed = 0;
    return buffer;
}

void SwapFileInternals::ReleaseBuffer(QORSysSwapFile& file, PreSwapPage* buffer) {
    if (buffer == nullptr) return;
    SpareBuffers& spares = Spares(file);
    if (spares.count >= kMaxSpareBuffers) return platform::ReleaseObjectMemory(buffer);
    buffer->next = spares.first;
    spares.first = buffer;
    ++spares.count;
}

bool SwapFileInternals::WritePages(QORSysSwapFile& file, std::uint64_t offset,
                                   const platform::IoPiece* pieces, int count) {
    if (file.stream == nullptr) return false;
    std::uint64_t end = offset;
    for (int i = 0; i < count; ++i)
        end += pieces[i].length;
    std::uint64_t& fileBytes = Spares(file).fileBytes;
    if (fileBytes < end) fileBytes = end;
    return platform::WriteAt(file.stream, offset, pieces, count);
}

void SwapFileInternals::ReleaseSpares(QORSysSwapFile& file) {
    SpareBuffers& spares = Spares(file);
    for (PreSwapPage* buffer = spares.first; buffer != nullptr;) {
        PreSwapPage* next = buffer->next;
        platform::ReleaseObjectMemory(buffer);
        buffer = next;
    }
    spares = {};
}

void SwapFileInternals::LinkLast(QORSysSwapFile& file, PreSwapPage* buffer, PreSwapPage* last) {
    buffer->next = nullptr;
    (last != nullptr ? last->next : file.preSwapPages) = buffer;
    if (buffer->pageNumber != kNoPage) MarkBuffered(file, buffer->pageNumber);
}

void SwapFileInternals::AppendBuffer(QORSysSwapFile& file, PreSwapPage* buffer) {
    PreSwapPage* last = file.preSwapPages;
    while (last != nullptr && last->next != nullptr)
        last = last->next;
    LinkLast(file, buffer, last);
}

void SwapFileInternals::UnlinkBuffer(QORSysSwapFile& file, PreSwapPage* buffer) {
    for (PreSwapPage** link = &file.preSwapPages; *link != nullptr; link = &(*link)->next)
        if (*link == buffer) {
            *link = buffer->next;
            buffer->next = nullptr;
            if (buffer->pageNumber != kNoPage)
                TailOf(file, static_cast<int>(buffer->pageNumber)) &= ~kHasBuffer;
            return;
        }
}

void SwapFileInternals::AppendBufferAndEvict(QORSysSwapFile& file, PreSwapPage* buffer) {
    std::size_t count = 0;
    std::size_t smallestRoom = kSwapPageBytes;
    PreSwapPage* last = nullptr;
    for (PreSwapPage* other = file.preSwapPages; other != nullptr; other = other->next) {
        ++count;
        last = other;
        if (kSwapPageBytes - other->used < smallestRoom)
            smallestRoom = kSwapPageBytes - other->used;
    }
    LinkLast(file, buffer, last);
    if (count > kMaxBuffersBeforeEviction) EvictFullest(file, buffer, smallestRoom);
}

namespace {

bool NeedsWrite(const SwapFileInternals::PreSwapPage& buffer) {
    return buffer.used != buffer.filed || buffer.filed == 0;
}

// Requires: the buffer has a page. What the file must get: `used` bytes, then zeros.
platform::IoPiece PageOf(SwapFileInternals::PreSwapPage& buffer) {
    std::memset(buffer.data + buffer.used, 0, kSwapPageBytes - buffer.used);
    return {buffer.data, kSwapPageBytes};
}

} // namespace

void SwapFileInternals::EvictFullest(QORSysSwapFile& file, const PreSwapPage* keep,
                                     std::size_t room) {
    // The chosen buffers in page order; those on consecutive pages go out with one call.
    PreSwapPage* chosen[platform::kMaxIoPieces];
    int count = 0;
    const auto writeChosen = [&file, &chosen, &count] {
        std::sort(chosen, chosen + count, [](const PreSwapPage* a, const PreSwapPage* b) {
            return a->pageNumber < b->pageNumber;
        });
        for (int first = 0, last; first < count; first = last) {
            platform::IoPiece pieces[platform::kMaxIoPieces];
            last = first;
            do
                pieces[last - first] = PageOf(*chosen[last]);
            while (++last < count && chosen[last]->pageNumber == chosen[last - 1]->pageNumber + 1);
            // A buffer whose write failed stays: it is still the newest contents of its page.
            if (!WritePages(file, std::uint64_t{chosen[first]->pageNumber} * kSwapPageBytes, pieces,
                            last - first))
                continue;
            for (int i = first; i < last; ++i) {
                UnlinkBuffer(file, chosen[i]);
                ReleaseBuffer(file, chosen[i]);
            }
        }
        count = 0;
    };
    for (PreSwapPage* buffer = file.preSwapPages; buffer != nullptr;) {
        PreSwapPage* next = buffer->next;
        if (buffer != keep && kSwapPageBytes - buffer->used == room) {
            if (!NeedsWrite(*buffer)) { // the file has it already
                UnlinkBuffer(file, buffer);
                ReleaseBuffer(file, buffer);
            } else {
                chosen[count++] = buffer;
                if (count == platform::kMaxIoPieces) writeChosen();
            }
        }
        buffer = next;
    }
    writeChosen();
}

void SwapFileInternals::WriteOutBuffer(QORSysSwapFile& file, PreSwapPage* buffer) {
    if (NeedsWrite(*buffer)) {
        const platform::IoPiece page = PageOf(*buffer);
        if (!WritePages(file, std::uint64_t{buffer->pageNumber} * kSwapPageBytes, &page, 1)) return;
    }
    UnlinkBuffer(file, buffer);
    ReleaseBuffer(file, buffer);
}

long long SwapFileInternals::MakeRoom(QORSysSwapFile& file, std::size_t bytes,
                                      const QORSysSwappable* keep) {
    std::uint32_t swapped = 0;
    while (file.zoneCapacity - file.zoneUsed < bytes || swapped < file.minSwapOutBytes) {
        QORSysSwappable* victim = file.oldest;
        if (victim != nullptr && victim == keep) victim = victim->newer;
        if (victim == nullptr) break;
        if (file.firstFreePage >= file.pageCount) return -1;
        unsigned int victimBytes = 0;
        if (file.EffectiveSwapOut(victim, nullptr, &victimBytes) != QORSysSwapSuccess) return -1;
        swapped += victimBytes;
    }
    return swapped;
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
    for (std::int32_t p = page; p < page + pages; ++p)
        pageIndex[p] = 0;
    if (firstFreePage >= page && firstFreePage < page + pages)
        firstFreePage = qor::NextFreePage(pageIndex, page + pages, pageCount);
    if (pageHighWater < page + pages) pageHighWater = page + pages;
    if (length > qor::kSwapPageBytes && length <= qor::kMaxHintedRunBytes)
        SwapFileInternals::TailOf(*this, page) =
            qor::kRunStart | static_cast<std::uint16_t>(length / 8);

    if (tailBytes == 0) return QORSysSwapSuccess;
    const auto tailPage = page + static_cast<std::int32_t>(length / qor::kSwapPageBytes);
    SwapFileInternals::TailOf(*this, tailPage) = static_cast<std::uint16_t>(tailBytes);
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

long QORSysSwapFile::FreeIndex(int page) {
    int start = page;
    for (int back = page - 1; back >= 0 && page - back <= 254 && pageIndex[back] != 0; --back)
        start = back;
    const int following = page + 1 < pageCount ? pageIndex[page + 1] : 0;
    for (int j = start; j <= page; ++j) {
        const int run = page - j + 1 + following;
        pageIndex[j] =
            run < qor::kLongFreeRun ? static_cast<unsigned char>(run) : qor::kLongFreeRun;
    }
    SwapFileInternals::TailOf(*this, page) = 0;
    if (page < firstFreePage) firstFreePage = page;
    if (page == pageHighWater - 1) pageHighWater = page;
    return QORSysSwapSuccess;
}

long QORSysSwapFile::EffectiveSwapOut(QORSysSwappable* object, QORSysSwappableHdl* handle,
                                      unsigned int* swappedBytes) {
    if (object == nullptr) return QORSysSwapFailure;
    const std::size_t size = object->GetSize();
    qor::BlockHeader* record = qor::HeaderOf(object);
    // In the file a record's owner word names the zone pool, whichever chunk held the block.
    const std::uintptr_t ownerInMemory = record->ownerWord;
    const std::uintptr_t ownerInFile = reinterpret_cast<std::uintptr_t>(pool) | qor::kOwnerInUse;
    std::uint64_t locator;

    if (size <= qor::kSwapPageBytes) {
        PreSwapPage *target = nullptr, *last = nullptr;
        std::size_t visited = 0;
        std::size_t smallestRoom = qor::kSwapPageBytes;
        // First fit. Costs two cache lines per buffer passed (its link and its `used`).
        for (PreSwapPage* buffer = preSwapPages; buffer != nullptr; buffer = buffer->next) {
            ++visited;
            last = buffer;
            const std::size_t room = qor::kSwapPageBytes - buffer->used;
            if (room < smallestRoom) smallestRoom = room;
            if (room >= size) {
                target = buffer;
                break;
            }
        }
        if (target == nullptr) {
            if (firstFreePage >= pageCount) return QORSysSwapFailure;
            target = SwapFileInternals::NewBuffer(*this);
            if (target == nullptr) return QORSysSwapFailure;
            SwapFileInternals::LinkLast(*this, target, last);
            // Too many buffers: the fullest ones go to the file.
            if (visited > qor::kMaxBuffersBeforeEviction)
                SwapFileInternals::EvictFullest(*this, target, smallestRoom);
        }
        if (target->pageNumber == qor::kNoPage) {
            target->pageNumber = static_cast<std::uint32_t>(firstFreePage);
            SwapFileInternals::MarkBuffered(*this, target->pageNumber);
            pageIndex[firstFreePage] = 0;
            firstFreePage = qor::NextFreePage(pageIndex, firstFreePage + 1, pageCount);
            if (pageHighWater < firstFreePage) pageHighWater = firstFreePage;
        }
        const std::size_t offset = target->used;
        std::memcpy(target->data + offset, record, size);
        std::memcpy(target->data + offset, &ownerInFile, sizeof(ownerInFile));
        target->used = static_cast<std::uint16_t>(offset + size);
        locator = qor::MakeLocator(target->pageNumber, offset);
        if (target->used >= qor::kFullPageBytes) SwapFileInternals::WriteOutBuffer(*this, target);
    } else {
        const auto pages =
            static_cast<std::int32_t>((size + qor::kSwapPageBytes - 1) / qor::kSwapPageBytes);
        std::int32_t start = -1;
        // Used pages are passed eight at a time: in a file that is mostly booked, the first
        // run long enough can lie thousands of pages above firstFreePage.
        for (std::int32_t page = firstFreePage; page < pageCount;) {
            if (pageIndex[page] == 0) {
                page = qor::NextFreePage(pageIndex, page + 1, pageCount);
                continue;
            }
            const std::int32_t run = qor::FreeRunLength(pageIndex, page, pageCount, pages);
            if (run >= pages) {
                start = page;
                break;
            }
            page += run;
        }
        if (start < 0) return QORSysSwapFailure;
        record->ownerWord = ownerInFile;
        const long written = DirectCopyToFile(start, 0, record, size);
        record->ownerWord = ownerInMemory;
        if (written != QORSysSwapSuccess) return QORSysSwapFailure;
        locator = qor::MakeLocator(static_cast<std::uint64_t>(start), 0);
    }

    object->SwapOut(QORSysSwapZoneFull);
    SwapFileInternals::LowerZoneUsed(*this, size);
    if (swappedBytes != nullptr) *swappedBytes = static_cast<unsigned int>(size);
    object->UpdateHandles(locator);
    if (handle != nullptr) handle->object = locator;
    SwapFileInternals::ZoneRelease(object);
    return QORSysSwapSuccess;
}

long QORSysSwapFile::SwapOutObject(QORSysSwappableHdl* handle) {
    if (handle == nullptr) return QORSysSwapFailure;
    if (handle->object & qor::kLocatorTag) return QORSysSwapSuccess;
    return EffectiveSwapOut(reinterpret_cast<QORSysSwappable*>(handle->object), handle, nullptr);
}

long QORSysSwapFile::SwapOutOldestObjects(std::size_t bytes) {
    if (bytes > zoneCapacity || zoneUsed == 0) return QORSysSwapFailure;
    return SwapFileInternals::MakeRoom(*this, bytes, nullptr) < 0 ? QORSysSwapFailure
                                                                  : QORSysSwapSuccess;
}
