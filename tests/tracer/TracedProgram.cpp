// An application that knows nothing of the tracer: it overruns blocks, leaks some, releases a
// foreign pointer and exits. Every overrun stays inside pool memory (a region or a chunk is one
// malloc), so the sanitizers have nothing to say. Prints the addresses the report must name.
#include "QORSysAllocator.h"

#include <cstdio>
#include <cstring>

alignas(16) static char gForeign[256]; // zeros: no block header in front of any pointer into it

static void* New(std::size_t size, void* pool) { return QORSpecializedNew(size, pool, nullptr, 0); }

int main() {
    void* pages = QORSysCreatePool(QORSysPoolFlag::PAGED, 0, "Pages");
    void* scratch = QORSysCreatePool(0, 32768, "Scratch");
    void* flushed = QORSysCreatePool(0, 32768, "Flushed");
    for (int i = 0; i < 3; ++i)
        New(24, scratch);
    New(40, scratch);
    auto* below = static_cast<char*>(New(36, pages));
    void* above = New(36, pages);
    std::memset(below, 'x', 44); // 8 bytes past its end, into whatever follows it in the page
    QORSpecializedDelete(above, nullptr, QORSysPoolFlag::PAGED);
    auto* small = static_cast<char*>(New(13, scratch));
    small[13] = 'x';
    QORSpecializedDelete(small, nullptr);
    QORSpecializedDelete(New(100, nullptr), nullptr);
    New(5000, pages); // too large for a page: refused
    New(64, flushed);
    QORSysFlushPool(flushed, QORSysPoolFlag::FLUSH_DESTROY); // its block is gone, not leaked
    QORSpecializedDelete(gForeign + 128, nullptr);
    std::printf("below %p\nabove %p\nsmall %p\nforeign %p\n", static_cast<void*>(below), above,
                static_cast<void*>(small), static_cast<void*>(gForeign + 128));
    return 0;
}
