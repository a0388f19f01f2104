// Per-thread caches in front of the locking pools (the thread-safe pool and pools created with the
// lock flag). A thread keeps the blocks it releases, by pool and size class, and serves its next
// requests of that class from them with no atomic instruction and no shared cache line; blocks
// move between a cache and its pool in batches, one lock acquisition each.
// Invariants: a cached block is in use in its pool's eyes (its header, or its page's counters,
// are as its allocation left them), so it goes back through the pool's own release; a block is
// in at most one cache; Cache::bytes == sum over the bins of count * class bytes; a slot whose
// pool is null has empty bins; only the owner thread touches its bins, except a collection, which
// does so while the owner is outside every cache operation and cannot enter one.
#pragma once

#include "../core/PoolInterface.h"
#include "../core/SizeClasses.h"
#include "../generalpool/GeneralPool.h"
#include "../pagedpool/PagedPool.h"
#include "../platform/Sanitizers.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace qor::threadcache {

// The classes and bins are SizeClasses.h's (ClassOf).
constexpr int kSlots = 4; // pools one thread caches at a time
// Beyond this a thread gives half of every bin back: about what a pool holds in 64 of its blocks
// of each of a few classes, against a pool of megabytes.
constexpr std::uint64_t kMaxThreadBytes = std::uint64_t{256} * 1024;

// A bin holds at most CapOf(class) blocks, about 8 KiB of them between 8 and 128 blocks; a
// refill brings `batch` blocks (doubling from 4 up to half the cap, so that a class used once
// costs a few blocks, not a full bin) and a full bin gives half its blocks back.
constexpr std::uint32_t CapOf(std::size_t classBytes) {
    const std::size_t blocks = 8192 / classBytes;
    return blocks < 8 ? 8 : blocks > 128 ? 128 : static_cast<std::uint32_t>(blocks);
}
constexpr std::uint32_t kFirstBatch = 4;

struct Bin {
    void* head;
    std::uint32_t count;
    std::uint32_t batch; // the next refill's size; 0 until the first
};

// Per pool, under the pool's lock: whole bins that threads gave up, handed whole to the next thread
// whose bin of that class runs dry, so that blocks move between threads without the pool's
// placement. Invariant: bytes == sum over the batches of count * class bytes <= kCentralBytes.
struct Batch {
    void* head;
    std::uint32_t count;
};
constexpr int kCentralBatches = 8;
constexpr std::uint64_t kCentralBytes = std::uint64_t{1024} * 1024;

struct Central {
    PoolBase* pool;
    Central* next; // ThreadCaches::centrals, under its lock
    std::uint64_t bytes;
    std::uint8_t counts[kBins];
    Batch batches[kBins][kCentralBatches];
};

struct Cache {
    // The pool each slot serves: written under ThreadCaches::lock, by the owner or by a collector
    // while the owner is outside; the owner reads it again once inside (TakeIn, PutIn).
    std::atomic<PoolBase*> pools[kSlots];
    Central* centrals[kSlots]; // that pool's central lists, or null
    std::atomic<bool> inside;  // the owner is in a cache operation (Enter .. Leave)
    std::uint64_t bytes;       // in all bins
    Cache* next;               // ThreadCaches::all, under its lock
    Cache* prev;
    int nextVictim; // the slot given up when a fifth pool comes
    Bin bins[kSlots][kBins];
};

// The calling thread's cache: null until its first cached request, the closed cache (no slot, no
// bin) once the thread has given its cache back at exit or could not have one.
extern thread_local Cache* tCache __attribute__((tls_model("initial-exec")));

// The slot that serves `pool`, or -1. Four compares on the cache's first line.
inline int SlotOf(const Cache& cache, const PoolBase* pool) {
    for (int slot = 0; slot < kSlots; ++slot)
        if (cache.pools[slot].load(std::memory_order_relaxed) == pool) return slot;
    return -1;
}

bool EnterSlow(Cache& cache);

// Enters a cache operation: false while a collection runs (the request then goes to the pool).
// The store and the load are plain: a collector makes them ordered for itself with a fence on
// every thread (platform::ProcessFence), so this path pays none. Where that fence is missing,
// the gate is never 0 and EnterSlow fences each entry.
inline bool Enter(Cache& cache) {
    cache.inside.store(true, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (__builtin_expect(Caches().gate.load(std::memory_order_acquire) == 0, 1)) return true;
    return EnterSlow(cache);
}

inline void Leave(Cache& cache) { cache.inside.store(false, std::memory_order_release); }

// The out-of-line halves: a missing cache or slot, an empty bin, a full bin.
void* TakeSlow(PoolBase* pool, std::size_t size, std::size_t classBytes, bool paged);
bool PutSlow(void* block, PoolBase* pool, std::size_t classBytes, bool paged);
void* Refill(Cache& cache, int slot, PoolBase* pool, std::size_t size, std::size_t classBytes,
             bool paged);
void Spill(Cache& cache, int slot, PoolBase* pool, std::size_t classBytes);

inline void* Expose(void* block, std::size_t size, bool paged) {
    return paged ? platform::ExposePagedBlock(block, size)
                 : platform::ExposeGeneralBlock(block, size);
}

// The bytes of a cached block that belong to nobody: all but its header.
inline void Hide(void* block, std::size_t classBytes, bool paged) {
    platform::PoisonPoolBytes(block, paged ? classBytes : classBytes - kBlockHeaderBytes);
}

// The hit paths, for a slot of the calling thread's cache. Cost: two stores of the thread's own
// flag, the gate's load and the bin's pop or push; an empty or full bin goes out of line.
// A collection may have emptied the slot between the caller's look and Enter: the slot is looked
// at again inside, where no collection can run; the first look goes out of line on a mismatch.
template <bool kFirstLook>
[[gnu::always_inline]] inline void* TakeIn(Cache& cache, int slot, PoolBase* pool, std::size_t size,
                                           std::size_t classBytes, bool paged) {
    platform::MemcheckQuiet quiet;
    if (!Enter(cache)) return nullptr;
    if (cache.pools[slot].load(std::memory_order_relaxed) != pool) {
        Leave(cache);
        return kFirstLook ? TakeSlow(pool, size, classBytes, paged) : nullptr;
    }
    Bin& bin = cache.bins[slot][classBytes >> 3];
    void* block = bin.head;
    if (block == nullptr) {
        block = Refill(cache, slot, pool, size, classBytes, paged);
        Leave(cache);
        return block;
    }
    bin.head = *static_cast<void**>(block);
    --bin.count;
    cache.bytes -= classBytes;
    Leave(cache);
    return Expose(block, size, paged);
}

template <bool kFirstLook>
[[gnu::always_inline]] inline bool PutIn(Cache& cache, int slot, void* block, PoolBase* pool,
                                         std::size_t classBytes, bool paged) {
    platform::MemcheckQuiet quiet;
    if (!Enter(cache)) return false;
    if (cache.pools[slot].load(std::memory_order_relaxed) != pool) {
        Leave(cache);
        return kFirstLook && PutSlow(block, pool, classBytes, paged);
    }
    Bin& bin = cache.bins[slot][classBytes >> 3];
    if (bin.count >= CapOf(classBytes) || cache.bytes + classBytes > kMaxThreadBytes)
        Spill(cache, slot, pool, classBytes);
    *static_cast<void**>(block) = bin.head;
    bin.head = block;
    ++bin.count;
    cache.bytes += classBytes;
    Hide(block, classBytes, paged);
    Leave(cache);
    return true;
}

// A block for a request of `size` bytes from a locking pool, or null when the cache does not
// serve it (the caller then asks the pool). The pool of the first slot is served inline; the
// others, and a thread without a cache, out of line.
inline void* Take(PoolBase* pool, std::size_t size, bool paged) {
    const std::size_t classBytes = ClassOf(size, paged);
    Cache* cache = tCache;
    if (__builtin_expect(classBytes == 0 || cache == nullptr, 0))
        return classBytes == 0 ? nullptr : TakeSlow(pool, size, classBytes, paged);
    return TakeIn<true>(*cache, 0, pool, size, classBytes, paged);
}

// Keeps a released block of a locking pool: false when the cache does not take it (the caller
// then releases it to the pool). `classBytes` is the general block's size word or the paged
// block's page class. Inlined into the cached release's paths whatever the inliner's budget
// for that function: out of line it costs about 16 instructions per pair.
[[gnu::always_inline]] inline bool Put(void* block, PoolBase* pool, std::size_t classBytes,
                                       bool paged) {
    if (classBytes > kLargestClassBytes ||
        classBytes < (paged ? kSmallestPagedClass : kSmallestGeneralClass))
        return false;
    Cache* cache = tCache;
    if (__builtin_expect(cache == nullptr, 0)) return PutSlow(block, pool, classBytes, paged);
    return PutIn<true>(*cache, 0, block, pool, classBytes, paged);
}

// While it lives, every cached block of `pool` (of every pool when null) is back in its pool, and
// no cache takes or keeps blocks: the caller may flush, destroy, optimise or report the pool and
// see exactly the pool's own figures. Other threads' requests go to the pools meanwhile.
// `forget`: the pool may end within the scope; its central lists are given up too.
// Requires: the calling thread is not inside a cache operation and holds no pool's lock.
class CollectedScope {
public:
    explicit CollectedScope(PoolBase* pool, bool forget = false);
    ~CollectedScope();
    CollectedScope(const CollectedScope&) = delete;
    CollectedScope& operator=(const CollectedScope&) = delete;

private:
    bool locked_ = false;
    bool gated_ = false;
};

} // namespace qor::threadcache
