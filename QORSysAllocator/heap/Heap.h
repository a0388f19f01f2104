// The heap engine: a general-purpose allocator of per-thread heaps over size-class pages, behind
// the malloc override, the routed global new/delete and the standard adapters' default. A thread
// allocates from its own heap with no lock and no atomic read-modify-write; it releases its own
// blocks the same way, and another thread's with one compare-exchange on the block's page. Memory
// comes from the kernel only (platform::MapMemory) and goes back to it (purge) once a page has
// stayed free for the purge delay.
// Invariants: tHeap is the calling thread's heap, or &gEmptyHeap (no heap yet, or the thread has
// ended), whose direct slots all name gEmptyPage, which has no block; heap->direct[slot] is the
// first page of its class's queue or gEmptyPage; a block belongs to exactly one of: handed out,
// a page's free, localFree or thread-free list, or not yet carved.
#pragma once

#include "Layout.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace qor::heap {

struct PageQueue {
    Page* first;
    Page* last;
};

struct Heap {
    Page* direct[kDirectSlots] = {};
    PageQueue queues[kClassCount] = {};
    PageQueue full = {};                     // pages with no block left to hand out
    std::atomic<Page*> remotePages{nullptr}; // full pages that other threads released blocks into
    Segment* segments = nullptr;             // the heap's segments with a page or a free slice
    Segment* spare = nullptr;                // one empty segment kept for the next page
    std::uint64_t dirtyBytes = 0;            // free slices not yet purged, in all its segments
    std::uint32_t nextPurgeMs = 0; // no purge is due before this, unless dirtyBytes is high
    Heap* nextAll = nullptr;       // every heap (under the heaps' lock), never unlinked
    Heap* nextAbandoned = nullptr; // heaps whose thread ended, for the next thread
    bool abandoned = false;

    constexpr explicit Heap(Page* empty) {
        for (Page*& slot : direct)
            slot = empty;
    }
};

extern Page gEmptyPage;
extern Heap gEmptyHeap;
// __thread rather than thread_local: constant-initialised, so every access is one load from the
// thread pointer with no initialisation wrapper.
extern __thread Heap* tHeap __attribute__((tls_model("initial-exec")));

// The engine's settings; Configure before the first allocation (later calls change the delay only).
struct Settings {
    // A free slice stays resident this long for the next page before it goes back to the kernel.
    std::uint32_t purgeDelayMs = 10;
};
void Configure(const Settings& settings);

// --- Blocks. Null when no memory can be had (the caller sets errno). Every block is 16-aligned.
void* AllocateSlow(std::size_t bytes);

// Cost on the fast path (a direct class with a free block): about ten instructions, no atomic.
// `slow` serves the rest: a caller that must set errno on failure passes its own, so that the fast
// path ends in a jump.
inline void* Allocate(std::size_t bytes, void* (*slow)(std::size_t) = AllocateSlow) {
    if (__builtin_expect(bytes <= kDirectBytes, 1)) {
        Page* page = tHeap->direct[(bytes + kGrain - 1) / kGrain];
        Block* block = page->free;
        if (__builtin_expect(block != nullptr, 1)) {
            page->free = block->next;
            page->used.store(page->used.load(std::memory_order_relaxed) + 1,
                             std::memory_order_relaxed);
            return block;
        }
    }
    return slow(bytes);
}

// Zero bytes; a huge block comes zero from the kernel and is not cleared again.
void* AllocateZeroed(std::size_t bytes);
// Requires: `alignment` a power of two. The block starts at a multiple of it.
void* AllocateAligned(std::size_t alignment, std::size_t bytes);

// True for a pointer that the engine handed out and has not taken back, and for the other addresses
// of its segments and of the first 4 MiB of its huge mappings (only a block's own address is ever
// released or asked about); false for memory it never mapped, the rest of a huge mapping's segment
// included. Cost: InSegment and the segment's header; a pointer at a segment's start costs a
// second look.
bool OwnsAtSegmentStart(const void* memory);
// A huge mapping shorter than its segment leaves the rest of the segment's addresses to the
// kernel, which may map the C library's memory there (or, behind the malloc override, the pools'):
// an address there is marked in the segment map but is not ours.
inline bool PastHugeMapping(const void* memory) {
    const Segment* segment = Segment::Of(memory);
    return segment->kind == SegmentKind::Huge &&
           static_cast<const char*>(memory) >= segment->mapping + segment->mappedBytes;
}
inline bool Owns(const void* memory) {
    if (InSegment(memory)) return !PastHugeMapping(memory);
    return (reinterpret_cast<std::uintptr_t>(memory) & (kSegmentBytes - 1)) == 0 &&
           OwnsAtSegmentStart(memory);
}

// False, nothing done, for an address past a huge mapping (PastHugeMapping).
bool ReleaseSlow(void* memory, Page* page);
// A huge block aligned at 4 MiB or more lies at a segment's start, outside InSegment.
void ReleaseAtSegmentStart(void* memory);

// Requires: InSegment(memory), a block handed out and not yet released, or an address past a huge
// mapping, for which the answer is false. Cost on the fast path (the calling thread's own page):
// about a dozen instructions, no atomic.
inline bool ReleaseInSegment(void* memory) {
    Segment* segment = Segment::Of(memory);
    Page* page = segment->PageOf(memory);
    if (__builtin_expect(page->owner.load(std::memory_order_relaxed) ==
                             reinterpret_cast<std::uintptr_t>(tHeap),
                         1)) {
        const std::uint32_t used = page->used.load(std::memory_order_relaxed) - 1;
        if (__builtin_expect(used != 0, 1)) {
            auto* block = static_cast<Block*>(memory);
            block->next = page->localFree;
            page->localFree = block;
            page->used.store(used, std::memory_order_relaxed);
            return true;
        }
    }
    return ReleaseSlow(memory, page);
}

// Requires: Owns(memory), a block handed out and not yet released.
inline void Release(void* memory) {
    if (__builtin_expect(InSegment(memory), 1)) {
        ReleaseInSegment(memory);
        return;
    }
    ReleaseAtSegmentStart(memory);
}

// Releases `memory` when it is the engine's; false, nothing done, for any other pointer.
inline bool ReleaseIfOwned(void* memory) {
    if (__builtin_expect(InSegment(memory), 1)) return ReleaseInSegment(memory);
    if ((reinterpret_cast<std::uintptr_t>(memory) & (kSegmentBytes - 1)) != 0 ||
        !OwnsAtSegmentStart(memory))
        return false;
    ReleaseAtSegmentStart(memory);
    return true;
}

// Requires: Owns(memory). The bytes the caller may use from `memory` on.
std::size_t UsableBytes(const void* memory);
// Above this, realloc's growth moves a block to a mapping of its own, which later growth resizes
// without copying (mremap), or takes a kept mapping large enough for several more steps. Lower
// would copy less, but a program with many such buffers would spend a kernel mapping on each.
constexpr std::size_t kReallocMapBytes = std::size_t{32} << 10;
// Requires: Owns(memory), bytes > 0. In place where the block's class or mapping allows; else a
// new block with the contents, the old one released. Null (memory untouched) when no memory can
// be had.
void* Reallocate(void* memory, std::size_t bytes);

// --- Maintenance.
// Gives back to the kernel every free slice of the calling thread's heap, of the heaps whose
// threads ended and of the spare segments, whatever the delay. True when anything went back.
bool Trim();
// Ends the calling thread's heap now (as its thread's exit does): its blocks stay valid and its
// pages go to the next thread that starts.
void AbandonThreadHeap();
// Around fork(): the engine's locks are held across it, and the child adopts the heaps of the
// threads that did not follow it.
void PrepareFork();
void AfterForkParent();
void AfterForkChild();
// Registers those three once (pthread_atfork allocates: call it where no request of the calling
// thread reaches the engine). A thread's first heap registers them; a caller that loads a library
// whose locks are held while it allocates registers them first, since handlers prepare in the
// reverse order of registration and the engine's locks must then be taken last.
void RegisterForkHandlersOnce();

// --- Statistics, from any thread; exact while no other thread allocates or releases.
struct ClassFigures {
    std::uint64_t blockBytes;
    std::uint64_t blocksInUse;
    std::uint64_t blocksCarved; // the pages' blocks carved so far (touched)
    std::uint64_t pages;
};
struct Figures {
    std::uint64_t bytesInUse; // requested bytes rounded to their class, huge blocks' usable bytes
    std::uint64_t bytesHeld;  // address space mapped: segments and huge mappings
    std::uint64_t bytesResident;      // what the engine may have made resident and not given back
    std::uint64_t bytesAwaitingOwner; // released by other threads, not yet taken back by the owner
    std::uint64_t segments;
    std::uint64_t hugeBlocks;
    std::uint64_t hugeBytes;
    std::uint64_t heaps;
    std::uint64_t abandonedHeaps;
    ClassFigures classes[kClassCount];
};
void GetFigures(Figures* figures);
// The figures as text: one line (the all-pools report), or a table of the classes in use and then
// the totals (malloc_stats).
enum class FiguresForm { OneLine, ByClass };
void WriteFigures(FILE* stream, const Figures& figures, FiguresForm form);

} // namespace qor::heap
