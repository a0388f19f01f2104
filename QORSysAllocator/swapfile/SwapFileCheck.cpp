// The swap file's invariant checker, beside the pools' (core/PoolCheck.h): the page table's
// run-length rule and bounds, the buffer list (booked pages, marked in the tail table, its
// length and end), the age list's links and length, and the zone's pool. It changes nothing and
// stops at the first broken invariant.
#include "SwapFileInternals.h"

#include "../core/PoolCheck.h"

namespace qor {

bool SwapFileInternals::CheckPageTable(QORSysSwapFile& file, CheckResult& result) {
    const unsigned char* index = file.pageIndex;
    std::int32_t run = 0, lowestFree = file.pageCount;
    for (std::int32_t page = file.pageCount - 1; page >= 0; --page) {
        run = index[page] == 0 ? 0 : run + 1;
        if (index[page] != (run < kLongFreeRun ? run : kLongFreeRun))
            return result.Fail("swap file: page %d's entry is %d, its free run %d", page,
                               index[page], run);
        if (run == 0 && page >= file.pageHighWater)
            return result.Fail("swap file: page %d is booked above pageHighWater %d", page,
                               file.pageHighWater);
        if (run != 0) lowestFree = page;
    }
    if (file.firstFreePage != lowestFree)
        return result.Fail("swap file: firstFreePage %d, the lowest free page %d",
                           file.firstFreePage, lowestFree);
    return true;
}

bool SwapFileInternals::CheckBuffers(QORSysSwapFile& file, CheckResult& result) {
    std::uint32_t count = 0;
    const PreSwapPage* last = nullptr;
    for (const PreSwapPage* buffer = file.preSwapPages; buffer != nullptr;
         last = buffer, buffer = buffer->next, ++count) {
        const std::uint32_t page = buffer->pageNumber;
        if (page >= static_cast<std::uint32_t>(file.pageCount) || file.pageIndex[page] != 0)
            return result.Fail("swap file: a buffer of page %u, which is not booked", page);
        if (buffer->used > kSwapPageBytes || buffer->filed > buffer->used)
            return result.Fail("swap file: page %u's buffer uses %u bytes, %u in the file", page,
                               buffer->used, buffer->filed);
        if (!(TailOf(file, static_cast<int>(page)) & kHasBuffer))
            return result.Fail("swap file: page %u's buffer is not marked", page);
    }
    const SpareBuffers& list = Spares(file);
    if (list.listCount != count || list.listLast != last)
        return result.Fail("swap file: the buffer list holds %u buffers, counted %u", count,
                           list.listCount);
    return true;
}

bool SwapFileInternals::CheckAgeList(QORSysSwapFile& file, CheckResult& result) {
    const QORSysSwappable* older = nullptr;
    std::uint64_t length = 0;
    for (const QORSysSwappable* object = file.oldest; object != nullptr;
         older = object, object = object->newer, ++length) {
        if (object->older != older || object->swapFile != &file)
            return result.Fail("swap file: the age list's links at object %p",
                               static_cast<const void*>(object));
    }
    if (file.newest != older) return result.Fail("swap file: the age list's newest object");
    if (MovesOf(file).linked != length)
        return result.Fail("swap file: %llu objects counted in the age list, %llu linked",
                           static_cast<unsigned long long>(MovesOf(file).linked),
                           static_cast<unsigned long long>(length));
    return true;
}

bool SwapFileInternals::Check(QORSysSwapFile& file, CheckResult& result) {
    if (file.pageIndex == nullptr) return true; // not initialised: nothing to check yet
    return CheckPageTable(file, result) && CheckBuffers(file, result) &&
           CheckAgeList(file, result) &&
           (file.pool == nullptr || zone::CheckInvariants(file.pool, result));
}

bool CheckInvariants(QORSysSwapFile& file, CheckResult& result) {
    return SwapFileInternals::Check(file, result);
}

} // namespace qor
