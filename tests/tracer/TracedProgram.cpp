// An application that knows nothing of the tracer: it overruns blocks, leaks some, releases a
// foreign pointer, destroys pools and exits (or, with QOR_TRACED_END=segv or abort, dies at the
// end; with QOR_TRACED_SOUND set it only takes a block and gives it back, and with
// QOR_TRACED_CLOSED set as well it then closes stdout and stderr, as coreutils do at exit, before
// the tracer's report; with QOR_TRACED_LEAK set it leaks one more block, from a call site of its
// own, so that two runs differ at that one site; with QOR_TRACED_TEMPORARY set it only makes
// kTemporaries temporary allocations from one call site (at a stack depth of 1) while another keeps
// kKept blocks, each kept block followed by a temporary one, and releases them at the end). Every
// overrun stays inside pool memory (a region or a chunk is one malloc), so the sanitizers have
// nothing to say. Prints the addresses the report must name.
#include "QORSysAllocator.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

alignas(16) static char gForeign[256]; // zeros: no block header in front of any pointer into it

static void* New(std::size_t size, void* pool) { return QORSpecializedNew(size, pool, nullptr, 0); }

constexpr int kTemporaries = 7, kKept = 5;

// Two call sites of their own at a stack depth of 1 (QORSysTracerStackDepth): not inlined, the
// library called from each directly, and Keep's call not a tail call, so that its frame stays.
[[gnu::noinline]] static void Churn() {
    QORSpecializedDelete(QORSpecializedNew(40, nullptr, nullptr, 0), nullptr);
}
[[gnu::noinline]] static void* Keep() {
    void* block = QORSpecializedNew(56, nullptr, nullptr, 0);
    asm volatile("" : : "r"(block) : "memory");
    return block;
}

// Each kept block sees a temporary allocation after it: released later, it is not temporary.
static void MakeTemporaries() {
    void* kept[kKept];
    for (int i = 0; i < kTemporaries; ++i) {
        if (i < kKept) kept[i] = Keep();
        Churn();
    }
    for (void* block : kept)
        QORSpecializedDelete(block, nullptr);
}

int main() {
    if (std::getenv("QOR_TRACED_TEMPORARY") != nullptr) {
        MakeTemporaries();
        return 0;
    }
    if (std::getenv("QOR_TRACED_SOUND") != nullptr) {
        QORSpecializedDelete(New(24, nullptr), nullptr);
        if (std::getenv("QOR_TRACED_CLOSED") != nullptr) close(1), close(2);
        return 0;
    }
    void* pages = QORSysCreatePool(QORSysPoolFlag::PAGED, 0, "Pages");
    void* scratch = QORSysCreatePool(0, 32768, "Scratch");
    void* flushed = QORSysCreatePool(0, 32768, "Flushed");
    for (int i = 0; i < 3; ++i)
        New(24, scratch);
    New(40, scratch);
    // Not through New, whose inlined line the other blocks share: a call site of its own.
    if (std::getenv("QOR_TRACED_LEAK") != nullptr) QORSpecializedNew(48, scratch, nullptr, 0);
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
    // Destroyed only when empty: the first two are, the third is not (its block goes afterwards).
    void* empty = QORSysCreatePool(0, 32768, "EmptyDestroyed");
    QORSpecializedDelete(New(8, empty), nullptr);
    QORSysFlushPool(empty, QORSysPoolFlag::FLUSH_DESTROY_IF_EMPTY);
    void* paged = QORSysCreatePool(QORSysPoolFlag::PAGED, 0, "PagedDestroyed");
    QORSpecializedDelete(New(8, paged), nullptr, QORSysPoolFlag::PAGED);
    QORSysFlushPool(paged, QORSysPoolFlag::FLUSH_DESTROY);
    void* kept = QORSysCreatePool(0, 32768, "KeptNotEmpty");
    void* keptBlock = New(8, kept);
    QORSysFlushPool(kept, QORSysPoolFlag::FLUSH_DESTROY_IF_EMPTY);
    QORSpecializedDelete(keptBlock, nullptr);
    std::printf("below %p\nabove %p\nsmall %p\nforeign %p\n", static_cast<void*>(below), above,
                static_cast<void*>(small), static_cast<void*>(gForeign + 128));
    std::fflush(stdout);
    if (const char* end = std::getenv("QOR_TRACED_END")) {
        if (std::strcmp(end, "abort") == 0) std::abort();
        *static_cast<volatile int*>(nullptr) = 1;
    }
    return 0;
}
