// A friend of the swap-file classes, for SwapFileTest.cpp and the swap file's fuzzer: the file's
// state, and the check of its own structures, which no library checker covers.
#pragma once

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
    // "" or the first broken rule: each page index entry counts the free pages from it (at most
    // 255), free pages start below pageHighWater's end of the used ones, firstFreePage is the
    // lowest free page, page buffers lie on booked pages and the list knows its length and end,
    // the age list links both ways; the zone meets the general pool's checker.
    static std::string Broken(File& f) {
        int run = 0, lowestFree = f.pageCount;
        for (int page = f.pageCount - 1; page >= 0; --page) {
            run = f.pageIndex[page] == 0 ? 0 : run + 1;
            if (f.pageIndex[page] != std::min(run, 255) || (run == 0 && page >= f.pageHighWater))
                return "page index at page " + std::to_string(page);
            lowestFree = run != 0 ? page : lowestFree;
        }
        if (f.firstFreePage != lowestFree) return "firstFreePage " + std::to_string(lowestFree);
        std::uint32_t buffers = 0;
        File::PreSwapPage* last = nullptr;
        for (File::PreSwapPage* b = f.preSwapPages; b != nullptr; last = b, b = b->next, ++buffers)
            if (b->pageNumber >= unsigned(f.pageCount) || f.pageIndex[b->pageNumber])
                return "buffer of page " + std::to_string(b->pageNumber);
        const auto& spares = qor::SwapFileInternals::Spares(f);
        if (spares.listCount != buffers || spares.listLast != last) return "buffer list's end";
        const Objects list = AgeList(f);
        for (std::size_t i = 0; i < list.size(); ++i)
            if (list[i]->older != (i == 0 ? nullptr : list[i - 1])) return "age list's links";
        if (f.newest != (list.empty() ? nullptr : list.back())) return "age list's newest";
        qor::CheckResult zone;
        if (f.pool != nullptr && !qor::CheckInvariants(*Pool(f), zone)) return zone.Text();
        return "";
    }
    static std::string Dump(File& f, int detailed) { // the count, then the listing
        char text[256] = {};
        FILE* stream = fmemopen(text, sizeof text - 1, "w");
        const std::size_t count = f.DumpObjectsToSwap(stream, "Zone", detailed);
        std::fclose(stream);
        return std::to_string(count) + " " + text;
    }
};
