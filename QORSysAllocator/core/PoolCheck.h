// The invariant checkers of the pools' structures (GeneralPoolCheck.cpp, PagedPoolCheck.cpp), of a
// heap engine's thread heap (HeapCheck.cpp) and of a swap file's (SwapFileCheck.cpp): expensive
// walks over every chunk, piece, list, page and region of one pool, or every page, buffer and
// object in memory of a swap file and its zone, for tests, fuzzers and QORSysCheckPool. They change
// nothing and stop at the first broken invariant, which they describe in a CheckResult.
#pragma once

#include <cstddef>

class QORSysSwapFile;

namespace qor {

class GeneralPool;
class PagedPool;
namespace heap {
struct Heap;
}

class CheckResult {
public:
    bool Sound() const { return text_[0] == '\0'; }
    const char* Text() const { return text_; }
    // Records the first failure only; returns false so that a checker can `return Fail(...)`.
    [[gnu::format(printf, 2, 3)]] bool Fail(const char* format, ...);

private:
    char text_[384] = {};
};

// Requires: the pool is live and not being changed by another thread. Cost: every piece of every
// chunk and arena (general), every page of the pool and region of its list (paged).
bool CheckInvariants(GeneralPool& pool, CheckResult& result);
bool CheckInvariants(PagedPool& pool, CheckResult& result);
// Requires: no other thread uses the swap file. Cost: every page of the page table, buffer of
// the buffer list and object in memory, then the zone's pool.
bool CheckInvariants(QORSysSwapFile& file, CheckResult& result);
// Requires: `heap` is the calling thread's heap (or ended), and no thread allocates or releases.
// Cost: every page of the heap's queues and full list with its lists' blocks, every slice of its
// segments.
bool CheckInvariants(heap::Heap& heap, CheckResult& result);

} // namespace qor
