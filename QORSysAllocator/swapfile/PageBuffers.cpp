// Page buffers: pages being filled with small records in memory (the buffer list, oldest first),
// and the spares kept for reuse. A buffer with a page is the newest contents of that page, and
// that page's entry in the tail table has kHasBuffer set while the buffer is in the list.
#include "SwapFileInternals.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

namespace qor {

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

void SwapFileInternals::ReleaseSpares(QORSysSwapFile& file) {
    SpareBuffers& spares = Spares(file);
    for (PreSwapPage* buffer = spares.first; buffer != nullptr;) {
        PreSwapPage* next = buffer->next;
        platform::ReleaseObjectMemory(buffer);
        buffer = next;
    }
    spares = {};
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

void SwapFileInternals::AppendBuffer(QORSysSwapFile& file, PreSwapPage* buffer) {
    SpareBuffers& list = Spares(file);
    buffer->next = nullptr;
    (list.listLast != nullptr ? list.listLast->next : file.preSwapPages) = buffer;
    list.listLast = buffer;
    ++list.listCount;
    if (buffer->pageNumber != kNoPage) MarkBuffered(file, buffer->pageNumber);
}

void SwapFileInternals::LinkFirst(QORSysSwapFile& file, PreSwapPage* buffer) {
    SpareBuffers& list = Spares(file);
    buffer->next = file.preSwapPages;
    file.preSwapPages = buffer;
    if (list.listLast == nullptr) list.listLast = buffer;
    ++list.listCount;
    if (buffer->pageNumber != kNoPage) MarkBuffered(file, buffer->pageNumber);
}

void SwapFileInternals::UnlinkBuffer(QORSysSwapFile& file, PreSwapPage* buffer) {
    static_assert(offsetof(PreSwapPage, next) == 0, "a link is its buffer's address");
    for (PreSwapPage** link = &file.preSwapPages; *link != nullptr; link = &(*link)->next)
        if (*link == buffer) {
            *link = buffer->next;
            SpareBuffers& list = Spares(file);
            if (list.listLast == buffer)
                list.listLast =
                    link == &file.preSwapPages ? nullptr : reinterpret_cast<PreSwapPage*>(link);
            --list.listCount;
            buffer->next = nullptr;
            if (buffer->pageNumber != kNoPage)
                TailOf(file, static_cast<int>(buffer->pageNumber)) &= ~kHasBuffer;
            return;
        }
}

void SwapFileInternals::AppendBufferAndEvict(QORSysSwapFile& file, PreSwapPage* buffer) {
    AppendBuffer(file, buffer);
    EvictIfMany(file, buffer);
}

void SwapFileInternals::EvictIfMany(QORSysSwapFile& file, const PreSwapPage* added) {
    if (Spares(file).listCount <= kMaxBuffersBeforeEviction + 1) return;
    std::size_t smallestRoom = kSwapPageBytes;
    for (const PreSwapPage* other = file.preSwapPages; other != nullptr; other = other->next)
        if (other != added && kSwapPageBytes - other->used < smallestRoom)
            smallestRoom = kSwapPageBytes - other->used;
    EvictFullest(file, added, smallestRoom);
}

SwapFileInternals::PreSwapPage* SwapFileInternals::BufferOf(QORSysSwapFile& file, int page) {
    const std::uint16_t info = TailOf(file, page);
    if ((info & kRunStart) || !(info & kHasBuffer)) return nullptr;
    for (PreSwapPage* buffer = file.preSwapPages; buffer != nullptr; buffer = buffer->next)
        if (buffer->pageNumber == static_cast<std::uint32_t>(page)) return buffer;
    return nullptr;
}

namespace {

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
            if (!SwapFileInternals::NeedsWrite(*buffer)) { // the file has it already
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
    if (SwapFileInternals::NeedsWrite(*buffer)) {
        const platform::IoPiece page = PageOf(*buffer);
        if (!WritePages(file, std::uint64_t{buffer->pageNumber} * kSwapPageBytes, &page, 1)) return;
    }
    UnlinkBuffer(file, buffer);
    ReleaseBuffer(file, buffer);
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

} // namespace qor

using qor::SwapFileInternals;

void* QORSysSwapFile::PageInPreSwapSpace(int page) {
    return SwapFileInternals::TakeBufferOf(*this, page);
}
