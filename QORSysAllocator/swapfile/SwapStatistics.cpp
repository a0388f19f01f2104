// What a swap file holds, read off its existing structures: the age list (objects in memory), the
// page table (0 = page in use), the buffer list, and the counts of moves kept behind the page
// table (the class's layout has no room for them).
#include "SwapFileInternals.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

long QORSysSwapFile::GetStatistics(QORSysSwapStatistics* out) {
    if (out == nullptr) return QORSysSwapFailure;
    QORSysSwapStatistics figures{};
    figures.zonePool = pool;
    for (const QORSysSwappable* object = oldest; object != nullptr; object = object->newer)
        ++figures.objectsInZone;
    figures.bytesInZone = zoneUsed;
    figures.zoneCapacity = zoneCapacity;
    figures.bytesEverAllocated = allocatedTotal;
    figures.fileCapacity = fileCapacity;
    for (std::int32_t page = 0; pageIndex != nullptr && page < pageCount; ++page)
        figures.pagesBooked += pageIndex[page] == 0;
    std::uint64_t bufferedPages = 0; // buffers with a page booked that the file lacks
    for (const PreSwapPage* buffer = preSwapPages; buffer != nullptr; buffer = buffer->next) {
        ++figures.buffersHeld;
        figures.bufferedBytes += buffer->used;
        bufferedPages +=
            buffer->pageNumber != qor::kNoPage && qor::SwapFileInternals::NeedsWrite(*buffer);
    }
    figures.pagesWritten =
        figures.pagesBooked > bufferedPages ? figures.pagesBooked - bufferedPages : 0;
    struct stat file {};
    if (stream != nullptr && fstat(fileno(stream), &file) == 0)
        figures.fileBytes = static_cast<std::uint64_t>(file.st_size);
    if (pageIndex != nullptr) {
        const qor::SwapFileInternals::Moves& moves = qor::SwapFileInternals::MovesOf(*this);
        figures.swapOuts = moves.swapOuts;
        figures.swapIns = moves.swapIns;
    }
    *out = figures;
    return QORSysSwapSuccess;
}

long QORSysSwapFile::GetFilePath(char* buffer, std::size_t bytes) {
    if (stream == nullptr || buffer == nullptr || bytes == 0) return QORSysSwapFailure;
    char path[PATH_MAX + 1];
    const std::string link = "/proc/self/fd/" + std::to_string(fileno(stream));
    const ssize_t length = readlink(link.c_str(), path, PATH_MAX);
    if (length <= 0) return QORSysSwapFailure;
    path[length] = '\0';
    std::snprintf(buffer, bytes, "%s", path);
    return static_cast<std::size_t>(length) < bytes ? QORSysSwapSuccess : QORSysSwapFailure;
}

std::size_t QORSysSwapFile::ListObjects(FILE* listing, const char* tag, int detailed) {
    return DumpObjectsToSwap(listing, tag, detailed);
}
