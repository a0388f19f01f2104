// The page table: which file pages are booked (a run-length free index), and behind it, per
// page, the tail length or run hint and the count of records, then the spare buffers' list and
// the file's length.
// Invariants (for a free page i): pageIndex[i] == min(255, length of the free run from i); 0 for
// a booked page; firstFreePage is the lowest free page (pageCount when none); every page from
// pageHighWater on is free.
#include "SwapFileInternals.h"

#include <cstring>

namespace qor {

namespace {

constexpr std::size_t RoundUp(std::size_t bytes, std::size_t grain) {
    return (bytes + grain - 1) / grain * grain;
}

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

// Where the spare buffers' list starts, behind the tail and record tables.
std::size_t SparesOffset(std::int32_t pages) {
    const auto count = static_cast<std::size_t>(pages);
    return RoundUp(RoundUp(count, 2) + 2 * count * sizeof(std::uint16_t), alignof(void*));
}

} // namespace

std::size_t SwapFileInternals::PageTableBytes(std::int32_t pages) {
    return SparesOffset(pages) + sizeof(SpareBuffers) + sizeof(Moves) + sizeof(RunHints);
}

SwapFileInternals::RunHints& SwapFileInternals::HintsOf(QORSysSwapFile& file) {
    return *reinterpret_cast<RunHints*>(file.pageIndex + SparesOffset(file.pageCount) +
                                        sizeof(SpareBuffers) + sizeof(Moves));
}

SwapFileInternals::Moves& SwapFileInternals::MovesOf(QORSysSwapFile& file) {
    return *reinterpret_cast<Moves*>(file.pageIndex + SparesOffset(file.pageCount) +
                                     sizeof(SpareBuffers));
}

SwapFileInternals::SpareBuffers& SwapFileInternals::Spares(QORSysSwapFile& file) {
    return *reinterpret_cast<SpareBuffers*>(file.pageIndex + SparesOffset(file.pageCount));
}

std::uint16_t* SwapFileInternals::TailTable(QORSysSwapFile& file) {
    return reinterpret_cast<std::uint16_t*>(file.pageIndex +
                                            RoundUp(static_cast<std::size_t>(file.pageCount), 2));
}

std::uint16_t& SwapFileInternals::RecordsOn(QORSysSwapFile& file, int page) {
    return TailTable(file)[file.pageCount + page];
}

void SwapFileInternals::BookBufferPage(QORSysSwapFile& file, PreSwapPage* buffer) {
    buffer->pageNumber = static_cast<std::uint32_t>(file.firstFreePage);
    MarkBuffered(file, buffer->pageNumber);
    RecordsOn(file, file.firstFreePage) = 0;
    file.pageIndex[file.firstFreePage] = 0;
    file.firstFreePage = NextFreePage(file.pageIndex, file.firstFreePage + 1, file.pageCount);
    if (file.pageHighWater < file.firstFreePage) file.pageHighWater = file.firstFreePage;
}

std::int32_t SwapFileInternals::FindFreeRun(QORSysSwapFile& file, std::int32_t pages) {
    std::int32_t* const hint = pages <= kHintedRunPages ? &HintsOf(file).from[pages] : nullptr;
    // Used pages are passed eight at a time: in a file that is mostly booked, the first run long
    // enough can lie thousands of pages above firstFreePage.
    std::int32_t page = hint != nullptr && *hint > file.firstFreePage ? *hint : file.firstFreePage;
    while (page < file.pageCount) {
        if (file.pageIndex[page] == 0) {
            page = NextFreePage(file.pageIndex, page + 1, file.pageCount);
            continue;
        }
        const std::int32_t run = FreeRunLength(file.pageIndex, page, file.pageCount, pages);
        if (run >= pages) break;
        page += run;
    }
    if (hint != nullptr) *hint = page;
    return page < file.pageCount ? page : -1;
}

void SwapFileInternals::NoteFreeRun(QORSysSwapFile& file, std::int32_t start, std::int32_t pages) {
    RunHints& hints = HintsOf(file);
    for (std::int32_t n = 2; n <= pages && n <= kHintedRunPages; ++n)
        if (hints.from[n] > start) hints.from[n] = start;
}

void SwapFileInternals::BookRun(QORSysSwapFile& file, std::int32_t page, std::int32_t pages) {
    for (std::int32_t p = page; p < page + pages; ++p) {
        file.pageIndex[p] = 0;
        RecordsOn(file, p) = 0;
    }
    if (file.firstFreePage >= page && file.firstFreePage < page + pages)
        file.firstFreePage = NextFreePage(file.pageIndex, page + pages, file.pageCount);
    if (file.pageHighWater < page + pages) file.pageHighWater = page + pages;
}

} // namespace qor

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
    qor::SwapFileInternals::TailOf(*this, page) = 0;
    qor::SwapFileInternals::NoteFreeRun(*this, start, page - start + 1 + following);
    if (page < firstFreePage) firstFreePage = page;
    if (page == pageHighWater - 1) pageHighWater = page;
    return QORSysSwapSuccess;
}
