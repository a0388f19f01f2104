// A friend of the swap-file classes, for SwapFileTest.cpp and the swap file's fuzzer: the file's
// state, and the check of its own structures, which no library checker covers.
#pragma once

#include "TestSupport.h"
#include "core/PoolCheck.h"
#include "generalpool/GeneralPool.h"
#include "swapfile/SwapFileInternals.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

class QORSysSwapFileTestAccess {
public:
    using File = QORSysSwapFile;
    using Objects = std::vector<QORSysSwappable*>;

    static qor::GeneralPool* Pool(File& f) { return static_cast<qor::GeneralPool*>(f.pool); }
    static unsigned char* Index(File& f) { return f.pageIndex; }
    static FILE* Stream(File& f) { return f.stream; }
    static std::string Path(File& f) { return "/proc/self/fd/" + std::to_string(fileno(f.stream)); }
    static std::uint64_t ZoneCapacity(File& f) { return f.zoneCapacity; }
    static std::uint64_t ZoneUsed(File& f) { return f.zoneUsed; }
    static std::uint64_t AllocatedTotal(File& f) { return f.allocatedTotal; }
    static int PageCount(File& f) { return f.pageCount; }
    static std::int32_t& FirstFree(File& f) { return f.firstFreePage; }
    static std::int32_t& HighWater(File& f) { return f.pageHighWater; }
    static std::uint64_t Object(QORSysSwappableHdl* h) { return h->object; }
    static bool Booked(File& f, std::uint64_t locator) {
        return f.pageIndex[qor::LocatorPage(locator)] == 0;
    }
    static bool AllFree(File& f) { return f.pageIndex[0] == std::min(f.pageCount, 255); }
    static long FreeIndex(File& f, int page) { return f.FreeIndex(page); }
    static std::uint32_t Spares(File& f) { return qor::SwapFileInternals::Spares(f).count; }
    static Objects AgeList(File& f) { // oldest first
        Objects list;
        for (QORSysSwappable* o = f.oldest; o != nullptr && list.size() < 100000; o = o->newer)
            list.push_back(o);
        return list;
    }
    static std::string Buffers(File& f) { // "pageNumber:used" of each page buffer
        std::string pages;
        for (File::PreSwapPage* b = f.preSwapPages; b != nullptr; b = b->next)
            pages += std::to_string(b->pageNumber) + ":" + std::to_string(b->used) + " ";
        return pages;
    }
    // "" or the library checker's first broken rule (the swap file's and its zone's).
    static std::string Broken(File& f) {
        qor::CheckResult result;
        return qor::CheckInvariants(f, result) ? "" : result.Text();
    }
    static std::string Dump(File& f, int detailed) { // the count, then the listing
        std::size_t count = 0;
        const std::string text = qor::test::Written(
            [&](FILE* out) { count = f.DumpObjectsToSwap(out, "Zone", detailed); });
        return std::to_string(count) + " " + text;
    }
};
