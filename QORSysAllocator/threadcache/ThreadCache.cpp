// The slow halves of the per-thread caches: making a thread's cache and giving it a slot for a
// pool, refills and spills under the pool's lock, the thread's exit, and collections.
// Lock order: ThreadCaches::lock before any pool's lock. A thread inside a cache operation takes
// only its pool's lock; a collector waits for such threads while it holds no pool's lock.
#include "ThreadCache.h"

#include "../platform/Platform.h"

#include <algorithm>
#include <new>

namespace qor::threadcache {

thread_local Cache* tCache __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

// No slot serves a pool: a thread that holds it asks the pools directly.
constinit Cache gClosed{};

inline void*& LinkOf(void* block) { return *static_cast<void**>(block); }

inline void* ChunkOf(void* block) {
    return reinterpret_cast<void*>(HeaderOf(block)->ownerWord & ~kOwnerBits);
}

// Requires: the pool's lock is held, when it has one.
void* TakeFromPool(PoolBase* pool, std::size_t size, bool paged) {
    if (paged) {
        auto* pagedPool = static_cast<PagedPool*>(pool);
        if (void* block = pagedPool->TryTakeFromOwnPages(size)) return block;
        return pagedPool->AllocateHeld(size, 0);
    }
    auto* general = static_cast<GeneralPool*>(pool);
    if (void* block = general->TryTakeHead(size)) return block;
    return general->AllocateHeld(size, 0);
}

// Gives blocks linked through their first word back to their pool under one lock acquisition; a
// release that would empty its chunk or page goes to the pool's Free afterwards, which takes the
// lock itself and gives the chunk or page back as a release from the program would.
void GiveBack(PoolBase* pool, void* head, bool paged) {
    platform::MemcheckQuiet quiet;
    void* declined = nullptr;
    {
        PoolLockGuard guard(*pool);
        while (head != nullptr) {
            void* block = head;
            head = LinkOf(block);
            const bool done = paged
                                  ? static_cast<PagedPool*>(pool)->TryPut(block)
                                  : static_cast<GeneralPool*>(pool)->TryPush(block, ChunkOf(block));
            if (!done) {
                LinkOf(block) = declined;
                declined = block;
            }
        }
    }
    while (declined != nullptr) {
        void* block = declined;
        declined = LinkOf(block);
        if (paged)
            pool->Free(block, nullptr);
        else
            ReleaseThroughOwner(ChunkOf(block), block);
    }
}

inline bool IsPaged(const PoolBase* pool) { return (pool->chunk.flags & kFlagPaged) != 0; }

// Takes the first `keep`-th and later blocks of a bin off it; returns them as a list.
void* Detach(Cache& cache, Bin& bin, std::size_t classBytes, std::uint32_t keep) {
    void** link = &bin.head;
    for (std::uint32_t i = 0; i < keep && *link != nullptr; ++i)
        link = &LinkOf(*link);
    void* rest = *link;
    *link = nullptr;
    const std::uint32_t moved = bin.count - std::min(keep, bin.count);
    bin.count -= moved;
    cache.bytes -= moved * classBytes;
    return rest;
}

// Moves the blocks of `list` onto `all`, so that one lock acquisition gives back several lists.
void MoveOnto(void*& all, void* list) {
    while (list != nullptr) {
        void* block = list;
        list = LinkOf(block);
        LinkOf(block) = all;
        all = block;
    }
}

// Gives back every bin of a slot: all of it, or half of each bin.
void ShrinkSlot(Cache& cache, int slot, bool empty) {
    PoolBase* pool = cache.pools[slot].load(std::memory_order_relaxed);
    if (pool == nullptr) return;
    platform::MemcheckQuiet quiet;
    void* all = nullptr;
    for (int index = 0; index < kBins; ++index) {
        Bin& bin = cache.bins[slot][index];
        if (bin.count == 0) continue;
        MoveOnto(all, Detach(cache, bin, std::size_t{8} * index, empty ? 0 : bin.count / 2));
        if (empty) bin.batch = 0;
    }
    if (all != nullptr) GiveBack(pool, all, IsPaged(pool));
}

// Requires: the caches' lock is held, or the owner is the caller and no collection can run.
void EmptySlot(Cache& cache, int slot) {
    ShrinkSlot(cache, slot, true);
    cache.pools[slot].store(nullptr, std::memory_order_relaxed);
    cache.centrals[slot] = nullptr;
}

// Requires: the caches' lock is held. Null when none exists and none can be made.
Central* CentralOf(PoolBase* pool) {
    ThreadCaches& caches = Caches();
    for (Central* central = caches.centrals; central != nullptr; central = central->next)
        if (central->pool == pool) return central;
    void* memory = platform::AlignedAllocate(sizeof(Central), 64);
    if (memory == nullptr) return nullptr;
    Central* central = new (memory) Central{};
    central->pool = pool;
    central->next = caches.centrals;
    caches.centrals = central;
    return central;
}

// Gives every batch of a pool's central lists back to the pool.
void DrainCentral(Central& central) {
    void* all = nullptr;
    {
        PoolLockGuard guard(*central.pool);
        for (int index = 0; index < kBins; ++index) {
            for (std::uint8_t i = 0; i < central.counts[index]; ++i)
                MoveOnto(all, central.batches[index][i].head);
            central.counts[index] = 0;
        }
        central.bytes = 0;
    }
    if (all != nullptr) GiveBack(central.pool, all, IsPaged(central.pool));
}

// Requires: the caches' lock is held, and no slot names the central lists.
void ForgetCentral(PoolBase* pool) {
    Central** link = &Caches().centrals;
    while (*link != nullptr && (*link)->pool != pool)
        link = &(*link)->next;
    if (Central* central = *link) {
        *link = central->next;
        central->~Central();
        platform::AlignedFree(central);
    }
}

// A whole bin given up: to the pool's central lists when they have room, else to the pool.
void Park(Central* central, PoolBase* pool, Batch batch, std::size_t classBytes) {
    {
        PoolLockGuard guard(*pool);
        const int index = static_cast<int>(classBytes >> 3);
        if (central != nullptr && central->counts[index] < kCentralBatches &&
            central->bytes + batch.count * classBytes <= kCentralBytes) {
            central->batches[index][central->counts[index]++] = batch;
            central->bytes += batch.count * classBytes;
            return;
        }
    }
    GiveBack(pool, batch.head, IsPaged(pool));
}

// Requires: the caches' lock is held.
bool AnyCacheServes(const PoolBase* pool) {
    for (Cache* cache = Caches().all; cache != nullptr; cache = cache->next)
        if (SlotOf(*cache, pool) >= 0) return true;
    return false;
}

// Runs when a thread that had a cache ends: its blocks go back to their pools, and so do the
// central lists of a pool that no other thread's cache serves.
void OnThreadExit(void* value) {
    auto* cache = static_cast<Cache*>(value);
    {
        ScopedLock lock(Caches().lock);
        (cache->prev != nullptr ? cache->prev->next : Caches().all) = cache->next;
        if (cache->next != nullptr) cache->next->prev = cache->prev;
        for (int slot = 0; slot < kSlots; ++slot) {
            Central* central = cache->centrals[slot];
            EmptySlot(*cache, slot);
            if (central != nullptr && !AnyCacheServes(central->pool)) DrainCentral(*central);
        }
    }
    cache->~Cache();
    platform::AlignedFree(cache);
    tCache = &gClosed; // a later release on this thread (another exit function) goes to the pool
}

// The first cache of the process settles how entries are ordered against collections.
void StartCaches(ThreadCaches& caches) {
    caches.started.store(true, std::memory_order_release);
#if defined(__SANITIZE_THREAD__)
    const bool fenceEach = true; // the race detector cannot see the process fence
#else
    const bool fenceEach = !platform::EnableProcessFence();
#endif
    if (fenceEach) caches.gate.store(ThreadCaches::kFenceEach);
    caches.exitCallable = platform::RegisterThreadExit(OnThreadExit);
}

// Requires: the caches' lock is held.
Cache* MakeCache() {
    ThreadCaches& caches = Caches();
    if (!caches.started.load(std::memory_order_relaxed)) StartCaches(caches);
    // A cache that its thread's end could not give back would keep its blocks for good.
    if (!caches.exitCallable) return &gClosed;
    void* memory = platform::AlignedAllocate(sizeof(Cache), 64);
    if (memory == nullptr) return &gClosed;
    Cache* cache = new (memory) Cache{};
    cache->next = caches.all;
    if (caches.all != nullptr) caches.all->prev = cache;
    caches.all = cache;
    platform::SetThreadExitValue(cache);
    return cache;
}

// A slot of the calling thread's cache for `pool` (made when missing, emptying a slot of another
// pool when all four serve one), or -1 when the thread has no cache.
int AttachSlot(PoolBase* pool) {
    if (State().config.threadCacheOff || tCache == &gClosed) return -1;
    ScopedLock lock(Caches().lock);
    if (tCache == nullptr) tCache = MakeCache();
    Cache& cache = *tCache;
    if (&cache == &gClosed) return -1;
    int slot = SlotOf(cache, nullptr);
    if (slot < 0) {
        slot = cache.nextVictim;
        cache.nextVictim = (slot + 1) % kSlots;
        EmptySlot(cache, slot);
    }
    cache.pools[slot].store(pool, std::memory_order_relaxed);
    cache.centrals[slot] = CentralOf(pool);
    return slot;
}

} // namespace

bool EnterSlow(Cache& cache) {
    std::atomic<std::uint8_t>& gate = Caches().gate;
    if (gate.load(std::memory_order_seq_cst) & ThreadCaches::kFenceEach) {
        cache.inside.store(true, std::memory_order_seq_cst);
        if ((gate.load(std::memory_order_seq_cst) & ThreadCaches::kCollecting) == 0) return true;
    }
    Leave(cache);
    return false;
}

// The slot of `pool` in the calling thread's cache, attached when missing; -1 when none serves.
int FindOrAttachSlot(PoolBase* pool) {
    Cache* cache = tCache;
    const int slot = cache != nullptr ? SlotOf(*cache, pool) : -1;
    return slot >= 0 ? slot : AttachSlot(pool);
}

void* TakeSlow(PoolBase* pool, std::size_t size, std::size_t classBytes, bool paged) {
    const int slot = FindOrAttachSlot(pool);
    return slot < 0 ? nullptr : TakeIn<false>(*tCache, slot, pool, size, classBytes, paged);
}

bool PutSlow(void* block, PoolBase* pool, std::size_t classBytes, bool paged) {
    const int slot = FindOrAttachSlot(pool);
    return slot >= 0 && PutIn<false>(*tCache, slot, block, pool, classBytes, paged);
}

void* Refill(Cache& cache, int slot, PoolBase* pool, std::size_t size, std::size_t classBytes,
             bool paged) {
    platform::MemcheckQuiet quiet;
    Bin& bin = cache.bins[slot][classBytes >> 3];
    bin.batch = bin.batch == 0 ? kFirstBatch : std::min(bin.batch * 2, CapOf(classBytes) / 2);
    PoolLockGuard guard(*pool);
    Central* central = cache.centrals[slot];
    const int index = static_cast<int>(classBytes >> 3);
    if (central != nullptr && central->counts[index] != 0) {
        const Batch batch = central->batches[index][--central->counts[index]];
        central->bytes -= batch.count * classBytes;
        guard.Unlock();
        bin.head = LinkOf(batch.head);
        bin.count = batch.count - 1;
        cache.bytes += bin.count * classBytes;
        return Expose(batch.head, size, paged);
    }
    // A request of exactly the class: the same piece or slot as the caller's size would get.
    const std::size_t classRequest = paged ? classBytes : classBytes - kBlockHeaderBytes;
    void* first = TakeFromPool(pool, size, paged);
    for (std::uint32_t taken = 1; first != nullptr && taken < bin.batch; ++taken) {
        void* block = TakeFromPool(pool, classRequest, paged);
        if (block == nullptr) break;
        LinkOf(block) = bin.head;
        bin.head = block;
        ++bin.count;
        cache.bytes += classBytes;
        Hide(block, classBytes, paged);
    }
    return first;
}

void Spill(Cache& cache, int slot, PoolBase* pool, std::size_t classBytes) {
    platform::MemcheckQuiet quiet;
    Bin& bin = cache.bins[slot][classBytes >> 3];
    if (bin.count != 0) {
        const Batch batch{bin.head, bin.count};
        bin.head = nullptr;
        bin.count = 0;
        cache.bytes -= batch.count * classBytes;
        Park(cache.centrals[slot], pool, batch, classBytes);
    }
    if (cache.bytes + classBytes <= kMaxThreadBytes) return;
    for (int other = 0; other < kSlots; ++other)
        ShrinkSlot(cache, other, false);
}

CollectedScope::CollectedScope(PoolBase* pool, bool forget) {
    ThreadCaches& caches = Caches();
    // No thread ever had a cache, or a pool that no cache serves.
    if (!caches.started.load(std::memory_order_acquire) || (pool != nullptr && !pool->IsLocking()))
        return;
    caches.lock.Lock();
    locked_ = true;
    bool holds = false;
    for (Central* central = caches.centrals; central != nullptr && !holds; central = central->next)
        holds = pool == nullptr || central->pool == pool;
    for (Cache* cache = caches.all; cache != nullptr && !holds; cache = cache->next)
        for (const auto& slotPool : cache->pools) {
            PoolBase* served = slotPool.load(std::memory_order_relaxed);
            holds = holds || (served != nullptr && (pool == nullptr || served == pool));
        }
    // With no slot serving the pool, holding the lock is enough: a slot is attached under it.
    if (!holds) return;
    caches.gate.fetch_or(ThreadCaches::kCollecting, std::memory_order_seq_cst);
    gated_ = true;
    if ((caches.gate.load() & ThreadCaches::kFenceEach) == 0 && !platform::ProcessFence())
        AbortWithMessage("ThreadCache: the process fence failed");
    for (Cache* cache = caches.all; cache != nullptr; cache = cache->next) {
        while (cache->inside.load(std::memory_order_acquire))
            __builtin_ia32_pause();
        for (int slot = 0; slot < kSlots; ++slot)
            if (PoolBase* served = cache->pools[slot].load(std::memory_order_relaxed);
                served != nullptr && (pool == nullptr || served == pool))
                EmptySlot(*cache, slot);
    }
    for (Central* central = caches.centrals; central != nullptr;) {
        Central* next = central->next; // read first: ForgetCentral frees it
        if (pool == nullptr || central->pool == pool) {
            DrainCentral(*central);
            if (forget) ForgetCentral(central->pool);
        }
        central = next;
    }
}

CollectedScope::~CollectedScope() {
    ThreadCaches& caches = Caches();
    if (gated_) caches.gate.fetch_and(~ThreadCaches::kCollecting, std::memory_order_seq_cst);
    if (locked_) caches.lock.Unlock();
}

} // namespace qor::threadcache
