// Thread heaps and their pages: the slow paths of allocation and release, the queues of pages by
// class, the other threads' releases and the lists they arrive by, and a heap's life (set up
// without allocating, abandoned at its thread's exit, adopted whole by the next thread).
// Invariants: a page with blocks to hand out (or room to carve) is in its class's queue, an
// exhausted one in its heap's full list with kOwnerFull, and, until another thread releases into
// it, kThreadFull; a page is on its heap's remote list exactly while kThreadListed is set, and is
// not given back while it is; heap structures are never unmapped, so that a release from another
// thread may always reach the heap it read from a page.
#include "Heap.h"

#include "Segments.h"

#include "../platform/Platform.h"

#include <cstring>
#include <new>

namespace qor::heap {

constinit Page gEmptyPage{};
constinit Heap gEmptyHeap{&gEmptyPage};
__thread Heap* tHeap __attribute__((tls_model("initial-exec"))) = &gEmptyHeap;

namespace {

// Heaps: every one made, and those whose thread ended. Guarded by gHeapsLock.
QORMutex gHeapsLock{0, 0, 0};
Heap* gAllHeaps = nullptr;
Heap* gAbandoned = nullptr;
char* gHeapArena = nullptr; // heaps are carved from mappings of this size
std::size_t gHeapArenaLeft = 0;
constexpr std::size_t kHeapArenaBytes = std::size_t{1} << 20;

// A thread whose heap has ended (its exit has begun: other thread-exit calls may still allocate)
// is served by the backstop heap under its lock; every release into it is another thread's.
QORMutex gBackstopLock{0, 0, 0};
constinit Heap gBackstop{&gEmptyPage};
__thread bool tHeapEnded __attribute__((tls_model("initial-exec"))) = false;

bool gThreadExitRegistered = false; // under gHeapsLock
std::atomic<bool> gForkHandlersSet{false};

// --- Page queues ------------------------------------------------------------------------------

void SetDirect(Heap* heap, unsigned sizeClass, Page* page) {
    if (sizeClass > kLastDirectClass) return;
    const unsigned firstSlot =
        sizeClass == 0 ? 0 : static_cast<unsigned>(ClassBytes(sizeClass - 1) / kGrain) + 1;
    const unsigned lastSlot = static_cast<unsigned>(ClassBytes(sizeClass) / kGrain);
    for (unsigned slot = firstSlot; slot <= lastSlot; ++slot)
        heap->direct[slot] = page;
}

void Unlink(PageQueue& queue, Page* page) {
    if (page->prev != nullptr)
        page->prev->next = page->next;
    else
        queue.first = page->next;
    if (page->next != nullptr)
        page->next->prev = page->prev;
    else
        queue.last = page->prev;
    page->next = page->prev = nullptr;
}

void PushFront(PageQueue& queue, Page* page) {
    page->prev = nullptr;
    page->next = queue.first;
    if (queue.first != nullptr)
        queue.first->prev = page;
    else
        queue.last = page;
    queue.first = page;
}

void PushBack(PageQueue& queue, Page* page) {
    page->next = nullptr;
    page->prev = queue.last;
    if (queue.last != nullptr)
        queue.last->next = page;
    else
        queue.first = page;
    queue.last = page;
}

// Takes a page out of its class's queue, keeping the direct slots on the queue's first page.
void RemoveFromQueue(Heap* heap, Page* page) {
    PageQueue& queue = heap->queues[page->sizeClass];
    const bool wasFirst = queue.first == page;
    Unlink(queue, page);
    if (wasFirst)
        SetDirect(heap, page->sizeClass, queue.first != nullptr ? queue.first : &gEmptyPage);
}

void AddToQueueFront(Heap* heap, Page* page) {
    PushFront(heap->queues[page->sizeClass], page);
    SetDirect(heap, page->sizeClass, page);
}

// --- Blocks of a page -------------------------------------------------------------------------

// Takes the other threads' releases into the page's free lists, without walking them (each block
// is a cache miss on the core that released it): the count comes from threadFreed, and the list
// becomes `free` or `localFree`, whichever is empty. With neither empty it stays where it is until
// one is, unless `always` (a heap taking back everything): then it is walked to its end and put in
// front of `free`. True when blocks came.
bool CollectThreadFree(Page* page, bool always = false) {
    if (page->free != nullptr && page->localFree != nullptr && !always) return false;
    const std::uint32_t counted = page->threadFreed.exchange(0, std::memory_order_acquire);
    if (counted != 0)
        page->used.store(page->used.load(std::memory_order_relaxed) - counted,
                         std::memory_order_relaxed);
    std::uintptr_t word = page->threadFree.load(std::memory_order_acquire);
    do {
        if ((word & ~kThreadFlags) == 0) return false;
    } while (!page->threadFree.compare_exchange_weak(
        word, word & kThreadFlags, std::memory_order_acq_rel, std::memory_order_acquire));
    auto* head = reinterpret_cast<Block*>(word & ~kThreadFlags);
    if (page->free == nullptr) {
        page->free = head;
    } else if (page->localFree == nullptr) {
        page->localFree = head;
    } else {
        Block* tail = head;
        while (tail->next != nullptr)
            tail = tail->next;
        tail->next = page->free;
        page->free = head;
    }
    return true;
}

// Carves up to a system page's worth of blocks (at least one): the page's memory is touched only as
// it is handed out.
void Extend(Page* page) {
    const std::uint32_t capacity = page->capacity.load(std::memory_order_relaxed);
    std::uint32_t count = static_cast<std::uint32_t>(platform::kSystemPageBytes / page->blockBytes);
    if (count == 0) count = 1;
    if (count > page->reserved - capacity) count = page->reserved - capacity;
    char* first = page->start + std::size_t{capacity} * page->blockBytes;
    Block* next = page->free;
    for (std::uint32_t k = count; k-- > 0;) {
        auto* block = reinterpret_cast<Block*>(first + std::size_t{k} * page->blockBytes);
        block->next = next;
        next = block;
    }
    page->free = next;
    page->capacity.store(capacity + count, std::memory_order_relaxed);
}

// True when the page has a block to hand out after taking the blocks released into it.
bool TakeReleased(Page* page) {
    if (page->free != nullptr) return true;
    page->free = page->localFree;
    page->localFree = nullptr;
    CollectThreadFree(page);
    return page->free != nullptr;
}

// Few of the page's carved blocks are free: a program that releases one block before each request
// would find one block per refill and pay the slow path at every pair, unless the page carves more.
bool FewFree(const Page* page) {
    const std::uint32_t capacity = page->capacity.load(std::memory_order_relaxed);
    const std::uint32_t free = capacity - page->used.load(std::memory_order_relaxed);
    const std::uint32_t few = capacity / 8 < 8 ? capacity / 8 + 1 : 8;
    return free < few && capacity < page->reserved;
}

void GiveUpPage(Heap* heap, Page* page) {
    RemoveFromQueue(heap, page);
    FreePageSlices(heap, page);
}

// A page whose last block came back: it goes, unless it is its class's only page (a class used
// one block at a time would otherwise take and give up a page at every pair) or the remote list
// still names it.
void MaybeGiveUp(Heap* heap, Page* page, bool keepLast) {
    PageQueue& queue = heap->queues[page->sizeClass];
    if (keepLast && queue.first == page && queue.last == page) return;
    if (page->threadFree.load(std::memory_order_acquire) != 0) return;
    GiveUpPage(heap, page);
}

// Moves an exhausted page to the full list; false (the page kept, with blocks) when another
// thread's release arrived meanwhile.
bool MoveToFull(Heap* heap, Page* page) {
    std::uintptr_t word = page->threadFree.load(std::memory_order_acquire);
    do {
        if ((word & ~kThreadFlags) != 0) {
            CollectThreadFree(page);
            return false;
        }
    } while (!page->threadFree.compare_exchange_weak(
        word, word | kThreadFull, std::memory_order_acq_rel, std::memory_order_acquire));
    RemoveFromQueue(heap, page);
    page->owner.fetch_or(kOwnerFull, std::memory_order_relaxed);
    PushBack(heap->full, page);
    return true;
}

// Back from the full list to its class's queue.
void Unfull(Heap* heap, Page* page) {
    Unlink(heap->full, page);
    page->owner.fetch_and(~kOwnerFull, std::memory_order_relaxed);
    page->threadFree.fetch_and(~kThreadFull, std::memory_order_acq_rel);
    PageQueue& queue = heap->queues[page->sizeClass];
    if (queue.first == nullptr)
        AddToQueueFront(heap, page);
    else
        PushBack(queue, page);
}

// The pages that other threads released into since the last call (full ones, and those whose
// list was empty).
void TakeRemotePages(Heap* heap) {
    Page* page = heap->remotePages.exchange(nullptr, std::memory_order_acquire);
    while (page != nullptr) {
        Page* next = page->remoteNext;
        page->threadFree.fetch_and(~kThreadListed, std::memory_order_acq_rel);
        if (page->owner.load(std::memory_order_relaxed) & kOwnerFull) Unfull(heap, page);
        CollectThreadFree(page);
        if (page->used.load(std::memory_order_relaxed) == 0) {
            MaybeGiveUp(heap, page, true);
        } else if (page != heap->queues[page->sizeClass].first) {
            // Its released blocks serve before any page carves more.
            RemoveFromQueue(heap, page);
            AddToQueueFront(heap, page);
        }
        page = next;
    }
}

Page* NewPage(Heap* heap, unsigned sizeClass) {
    const unsigned slices = PageSlices(sizeClass);
    Page* page = TakePageSlices(heap, slices);
    if (page == nullptr) return nullptr;
    page->free = nullptr;
    page->localFree = nullptr;
    page->used.store(0, std::memory_order_relaxed);
    page->capacity.store(0, std::memory_order_relaxed);
    const auto blockBytes = static_cast<std::uint32_t>(ClassBytes(sizeClass));
    Poke(page->blockBytes, blockBytes);
    page->reserved = static_cast<std::uint32_t>(slices * kSliceBytes / blockBytes);
    Poke(page->sizeClass, static_cast<std::uint8_t>(sizeClass));
    page->threadFree.store(0, std::memory_order_relaxed);
    page->threadFreed.store(0, std::memory_order_relaxed);
    page->next = page->prev = page->remoteNext = nullptr;
    page->owner.store(reinterpret_cast<std::uintptr_t>(heap), std::memory_order_relaxed);
    Poke(page->firstSlice,
         static_cast<std::uint8_t>(
             (page->start - reinterpret_cast<char*>(Segment::Of(page->start))) >> kSliceShift));
    Extend(page);
    return page;
}

// How many pages of a class a refill looks at for released blocks before it carves new ones.
constexpr int kSearchedPages = 8;

// The first of `count` pages from `page` on with released blocks, taken; null when none has any.
// A look at each costs one load of its lists' heads.
Page* PageWithReleased(Page* page, int count) {
    for (; page != nullptr && count > 0; page = page->next, --count)
        if ((page->free != nullptr || page->localFree != nullptr ||
             (page->threadFree.load(std::memory_order_relaxed) & ~kThreadFlags) != 0) &&
            TakeReleased(page))
            return page;
    return nullptr;
}

// A page of the queue with a block to hand out, or null. Blocks released into the first pages serve
// before any page carves more, so that what other threads gave back is used before new memory is
// touched; exhausted pages go to the full list on the way.
Page* FindPage(Heap* heap, PageQueue& queue) {
    int searched = 0;
    for (Page* page = queue.first; page != nullptr && searched < kSearchedPages; ++searched) {
        Page* next = page->next;
        if (TakeReleased(page)) {
            // Few blocks came back here: another page that holds released blocks serves first.
            if (FewFree(page)) {
                if (Page* other = PageWithReleased(page->next, kSearchedPages - searched))
                    return other;
                Extend(page);
            }
            return page;
        }
        if (page->capacity.load(std::memory_order_relaxed) == page->reserved &&
            !MoveToFull(heap, page))
            return page;
        page = next;
    }
    for (Page* page = queue.first; page != nullptr;) {
        Page* next = page->next;
        if (page->capacity.load(std::memory_order_relaxed) < page->reserved) {
            Extend(page);
            return page;
        }
        if (!MoveToFull(heap, page)) return page;
        page = next;
    }
    return nullptr;
}

// A block of the class from `heap`, whose caller owns it (its thread, or the backstop's lock).
void* AllocateInClass(Heap* heap, unsigned sizeClass) {
    if (heap->remotePages.load(std::memory_order_relaxed) != nullptr) TakeRemotePages(heap);
    PageQueue& queue = heap->queues[sizeClass];
    Page* page = FindPage(heap, queue);
    if (page == nullptr) {
        page = NewPage(heap, sizeClass);
        if (page == nullptr) return nullptr;
        AddToQueueFront(heap, page);
    } else if (page != queue.first) {
        Unlink(queue, page);
        AddToQueueFront(heap, page);
    }
    Block* block = page->free;
    page->free = block->next;
    page->used.store(page->used.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return block;
}

// --- Heaps ------------------------------------------------------------------------------------

void OnThreadExit(void*) {
    AbandonThreadHeap();
    tHeapEnded = true;
}

// Requires: gHeapsLock held. A heap from the arena, or null.
Heap* NewHeapLocked() {
    if (gHeapArenaLeft < sizeof(Heap)) {
        void* arena = platform::MapMemory(kHeapArenaBytes, platform::kSystemPageBytes);
        if (arena == nullptr) return nullptr;
        gHeapArena = static_cast<char*>(arena);
        gHeapArenaLeft = kHeapArenaBytes;
    }
    Heap* heap = new (gHeapArena) Heap(&gEmptyPage);
    const std::size_t step = (sizeof(Heap) + 63) & ~std::size_t{63};
    gHeapArena += step;
    gHeapArenaLeft = gHeapArenaLeft < step ? 0 : gHeapArenaLeft - step;
    heap->nextAll = gAllHeaps;
    gAllHeaps = heap;
    return heap;
}

// The calling thread's heap, adopted from an ended thread or made; null once the thread has ended.
// Nothing here allocates through the engine until tHeap is set.
Heap* SetUpThreadHeap() {
    if (tHeapEnded) return nullptr;
    Heap* heap;
    {
        // The key is made before any heap can be handed out, so that every thread that sets its
        // value finds it (pthread_key_create allocates nothing).
        ScopedLock lock(gHeapsLock);
        if (!gThreadExitRegistered)
            gThreadExitRegistered = platform::RegisterHeapThreadExit(OnThreadExit);
        heap = gAbandoned;
        if (heap != nullptr) {
            gAbandoned = heap->nextAbandoned;
            heap->nextAbandoned = nullptr;
            heap->abandoned = false;
        } else {
            heap = NewHeapLocked();
        }
    }
    if (heap == nullptr) return nullptr;
    tHeap = heap;
    // pthread_atfork allocates: only now that this thread has a heap.
    RegisterForkHandlersOnce();
    platform::SetHeapThreadExitValue(heap);
    return heap;
}

// Requires: the caller owns `heap`. Takes every released block back and gives up every page that
// holds none, so that an ended thread leaves only its live blocks behind.
void CollectAll(Heap* heap) {
    TakeRemotePages(heap);
    for (PageQueue& queue : heap->queues)
        for (Page* page = queue.first; page != nullptr;) {
            Page* next = page->next;
            CollectThreadFree(page, true);
            if (page->used.load(std::memory_order_relaxed) == 0) MaybeGiveUp(heap, page, false);
            page = next;
        }
}

void* AllocateInBackstop(unsigned sizeClass) {
    ScopedLock lock(gBackstopLock);
    return AllocateInClass(&gBackstop, sizeClass);
}

} // namespace

void Configure(const Settings& settings) { gPurgeDelayMs = settings.purgeDelayMs; }

void* AllocateSlow(std::size_t bytes) {
    if (bytes > kLargestClassBytes) return AllocateHuge(bytes, kGrain, HugeUse::Plain);
    Heap* heap = tHeap;
    if (heap == &gEmptyHeap) {
        heap = SetUpThreadHeap();
        if (heap == nullptr) return AllocateInBackstop(ClassOf(bytes));
    }
    return AllocateInClass(heap, ClassOf(bytes));
}

bool ReleaseSlow(void* memory, Page* page) {
    Segment* segment = Segment::Of(memory);
    if (segment->kind == SegmentKind::Huge) {
        if (PastHugeMapping(memory)) return false;
        ReleaseHuge(segment);
        return true;
    }
    const std::uintptr_t owner = page->owner.load(std::memory_order_relaxed);
    Block* block = static_cast<Block*>(memory);
    if (owner & kOwnerAligned) {
        const std::size_t offset =
            static_cast<std::size_t>(static_cast<char*>(memory) - page->start);
        block = reinterpret_cast<Block*>(page->start + offset - offset % page->blockBytes);
    }
    Heap* heap = tHeap;
    if ((owner & ~kOwnerFlags) == reinterpret_cast<std::uintptr_t>(heap)) {
        block->next = page->localFree;
        page->localFree = block;
        const std::uint32_t used = page->used.load(std::memory_order_relaxed) - 1;
        page->used.store(used, std::memory_order_relaxed);
        if (owner & kOwnerFull) Unfull(heap, page);
        if (used == 0) MaybeGiveUp(heap, page, true);
        return true;
    }
    // Another thread's page (or an ended thread's, or the backstop's): one compare-exchange, then
    // the count. Until the count lands the owner's `used` keeps this block, so the page cannot be
    // given up under it.
    std::uintptr_t word = page->threadFree.load(std::memory_order_relaxed);
    std::uintptr_t desired;
    do {
        block->next = reinterpret_cast<Block*>(word & ~kThreadFlags);
        desired = reinterpret_cast<std::uintptr_t>(block) | (word & kThreadFlags);
        // The first release into a page since its owner last looked, or any into a full page,
        // lists the page for its owner: what other threads release is taken back at the owner's
        // next slow path, instead of waiting until the owner happens to reach the page.
        if ((word & kThreadListed) == 0 && ((word & kThreadFull) || (word & ~kThreadFlags) == 0))
            desired = (desired & ~kThreadFull) | kThreadListed;
    } while (!page->threadFree.compare_exchange_weak(word, desired, std::memory_order_acq_rel,
                                                     std::memory_order_relaxed));
    page->threadFreed.fetch_add(1, std::memory_order_release);
    if ((desired & kThreadListed) == 0 || (word & kThreadListed) != 0) return true;
    // The owner learns of this page through its heap's remote list, and cannot give the page up
    // before taking it from there.
    auto* owningHeap = reinterpret_cast<Heap*>(owner & ~kOwnerFlags);
    Page* head = owningHeap->remotePages.load(std::memory_order_relaxed);
    do {
        page->remoteNext = head;
    } while (!owningHeap->remotePages.compare_exchange_weak(head, page, std::memory_order_release,
                                                            std::memory_order_relaxed));
    return true;
}

void AbandonThreadHeap() {
    Heap* heap = tHeap;
    if (heap == &gEmptyHeap) return;
    CollectAll(heap);
    PurgeHeap(heap, true);
    ReleaseEmptySegments(heap);
    tHeap = &gEmptyHeap;
    platform::SetHeapThreadExitValue(nullptr);
    ScopedLock lock(gHeapsLock);
    heap->abandoned = true;
    heap->nextAbandoned = gAbandoned;
    gAbandoned = heap;
}

bool Trim() {
    std::uint64_t before = 0, after = 0;
    auto trimOne = [&](Heap* heap) {
        CollectAll(heap);
        before += heap->dirtyBytes;
        PurgeHeap(heap, true);
        ReleaseEmptySegments(heap);
        after += heap->dirtyBytes;
    };
    if (tHeap != &gEmptyHeap) trimOne(tHeap);
    {
        // An abandoned heap cannot be adopted while the lock is held: it is ours for the moment.
        ScopedLock lock(gHeapsLock);
        for (Heap* heap = gAbandoned; heap != nullptr; heap = heap->nextAbandoned)
            trimOne(heap);
    }
    {
        ScopedLock lock(gBackstopLock);
        trimOne(&gBackstop);
    }
    const bool keptAny = KeptMappingBytes() != 0;
    ReleaseKeptMappings();
    return after < before || keptAny;
}

void RegisterForkHandlersOnce() {
    if (!gForkHandlersSet.exchange(true))
        platform::RegisterForkHandlers(PrepareFork, AfterForkParent, AfterForkChild);
}

void PrepareFork() {
    gHeapsLock.Lock();
    gBackstopLock.Lock();
    gRegistryLock.Lock();
}

void AfterForkParent() {
    gRegistryLock.Unlock();
    gBackstopLock.Unlock();
    gHeapsLock.Unlock();
}

void AfterForkChild() {
    gRegistryLock.Unlock();
    gBackstopLock.Unlock();
    gHeapsLock.Unlock();
    // Only the forking thread lives on: the other threads' heaps wait, whole, for new threads.
    ScopedLock lock(gHeapsLock);
    for (Heap* heap = gAllHeaps; heap != nullptr; heap = heap->nextAll)
        if (heap != tHeap && !heap->abandoned) {
            heap->abandoned = true;
            heap->nextAbandoned = gAbandoned;
            gAbandoned = heap;
        }
}

std::uint64_t CountHeaps(std::uint64_t* abandoned) {
    ScopedLock lock(gHeapsLock);
    std::uint64_t count = 0;
    *abandoned = 0;
    for (Heap* heap = gAllHeaps; heap != nullptr; heap = heap->nextAll) {
        ++count;
        if (heap->abandoned) ++*abandoned;
    }
    return count;
}

} // namespace qor::heap
