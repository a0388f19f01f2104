// The module's mutable state, in one object reached through State(), and beside it the front
// end's per-thread caches (Caches()), which live across ResetState. Every field is either
// published once (LoadPublished), guarded by one of the object's locks, or belongs to a pool.
//
// It is constant-initialised: another module's static constructor may allocate before any
// constructor of this library has run, so every field holds its starting value from the moment
// the module is loaded. Each field belongs to the layer named beside it; the layer's own files
// are the only ones that write it. A test that needs the state of a fresh process destroys every
// pool and calls ResetState().
#pragma once

#include "QORMutex.h"
#include "ScopedLock.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace qor {

class PoolBase;
class GeneralPool;
struct RegionList;
namespace threadcache {
struct Cache;
struct Central;
} // namespace threadcache

constexpr int kFixedPoolEntries = 17;
constexpr std::size_t kHookBaseNameBytes = 64;
constexpr std::size_t kFirstLiveSlots = 1024;
// Checked mode's pool names (LiveTable): bytes kept of one, terminator included; entries in the
// object; destroyed pools remembered.
constexpr std::size_t kPoolNameBytes = 32;
constexpr std::size_t kFirstPoolNames = 32;
constexpr std::size_t kGonePoolNames = 8;
// A general pool with fewer free bytes than this never reclaims on its own (Reclaim.cpp): a
// small pool's merge would cost more than the memory it could find.
constexpr std::uint64_t kReclaimFloorBytes = 0x10000;

// The nine optional entry points of the hook library, in the order they are resolved.
struct HookEntryPoints {
    int (*getDelta)(std::size_t, void*, void*, int);
    int (*signalMalloc)(void*, std::size_t, void*, void*, int);
    int (*signalFree)(void*, void*, std::size_t);
    int (*signalMallocFailure)(void*, std::size_t, void*, void*, int);
    int (*signalInvalidPtr)(void*, std::intptr_t, std::uintptr_t, std::uintptr_t, const char*);
    int (*signalPoolCreation)(void*, std::size_t, int, const char*, void*, std::size_t);
    int (*signalSubPoolCreation)(void*, void*, std::size_t, std::uintptr_t, void*, std::size_t);
    int (*signalPoolFlush)(void*, int);
    int (*signalSubPoolFlushed)(void*, void*, std::size_t, std::uintptr_t, void*, std::size_t);
};

// Decided once, under Runtime::configLock, by the first call that runs the configuration
// (Configuration.h); after that only read. `pending` and `firstAllocationDone` are published
// (below): a thread that reads them cleared also sees every flag decided before.
// `cancelled` implies `inactive`.
struct ConfigurationFlags {
    bool pending = true;              // until the configuration has run
    bool firstAllocationDone = false; // set once the first QORSpecializedNew chose the routes
    bool inactive = false;            // pools are bypassed (heap with a header)
    bool cancelled = true;            // bare malloc and free; true until configured
    bool exitCleanupRegistered = false;
    // QORSysAllocatorReclaim=OFF: general pools grow as soon as nothing listed fits. Pools built
    // before the configuration runs reclaim.
    bool reclaimOff = false;
    // QORSysAllocatorChecks=ON: releases and pool arguments are proved before use (checked/).
    bool checks = false;
    // QORSysAllocatorThreadCache=OFF: the locking pools serve every request under their lock.
    bool threadCacheOff = false;
    // Set before the first call by libQORSysMalloc.so: this copy of the library serves the
    // process's malloc, and the variables that choose the program's own pooling are not its own.
    bool servesMalloc = false;
    // QORSysHeapEngine=OFF: the general-purpose routes are served by pool 32 as before the engine.
    bool heapEngineOff = false;
    // QORSysHeapPurgeDelay, in milliseconds.
    std::uint32_t heapPurgeDelayMs = 10;
};

// The per-thread caches (threadcache/ThreadCache.h). `gate` is read by every cache operation and
// written only while a collection runs, so its line stays shared, not moved.
struct ThreadCaches {
    static constexpr std::uint8_t kCollecting = 1; // cache operations go straight to the pools
    static constexpr std::uint8_t kFenceEach = 2;  // no process fence: each entry fences itself
    std::atomic<std::uint8_t> gate{0};
    std::atomic<bool> started{false};         // the fence mode and the thread-exit call are settled
    bool exitCallable = false;                // a thread's end gives its cache back
    QORMutex lock{0, 0, 0};                   // guards the list, slot attachment and collections
    threadcache::Cache* all = nullptr;        // every live thread's cache
    threadcache::Central* centrals = nullptr; // the central lists of each cached pool
};

// A pool's name and flags as checked mode keeps them for its messages: copied, since the caller's
// string need not outlive the pool.
struct PoolName {
    const void* pool;
    std::uint32_t flags;       // the pool's flags when it was noted
    char text[kPoolNameBytes]; // "" when it was given none
};

// Checked mode's open-addressing table of live pools, chunks and arenas (LiveObjects.cpp). The
// first table is part of the object (8 KB of zeros, touched only in checked mode), so that checked
// mode adds no malloc call to a program that keeps fewer than 768 of them. Beside it, the names of
// the live pools (a dense array, the first 32 entries in the object) and of the last 8 destroyed.
struct LiveTable {
    std::uintptr_t firstSlots[kFirstLiveSlots] = {};
    std::uintptr_t* slots = firstSlots;
    std::size_t capacity = kFirstLiveSlots; // a power of two
    std::size_t used = 0;                   // live entries and tombstones
    PoolName firstNames[kFirstPoolNames] = {};
    PoolName* names = firstNames;
    std::size_t nameCapacity = kFirstPoolNames;
    std::size_t nameCount = 0;
    // Destroyed pools noted so far; the newest is goneNames[(goneCount - 1) % kGonePoolNames].
    PoolName goneNames[kGonePoolNames] = {};
    std::size_t goneCount = 0;
    std::atomic_flag lock = ATOMIC_FLAG_INIT;
};

// A field written once by whichever thread gets there first and read by every request without a
// lock: published with release and read with acquire (plain moves on x86-64), so that a thread
// that sees the value also sees what its writer settled before it.
// The builtins, not std::atomic_ref: the fast paths read these, and the wrapper's layers count
// against the inliner's budget for the entry points.
template <class T> [[gnu::always_inline]] inline T LoadPublished(T& field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
template <class T> inline void Publish(T& field, T value) {
    __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

struct Runtime {
    // Read by every QORSpecializedNew and QORSpecializedDelete: kept together at the front.
    // Front end: cleared by the first allocation when no pool bypass, hook or check applies.
    // These three and the fixed-pool pointers are published (LoadPublished).
    bool takeFullRoute = true;
    // Core (hooks): the instrumentation variable is set, whether or not its library loaded.
    bool instrumented = false;
    // Front end: the fast paths give the locking pools' blocks to per-thread caches.
    bool threadCaches = false;
    // Front end: the general-purpose routes (QORSysCachedNew on pool 32, QORSysHeapNew) are the
    // heap engine's; published with the routes.
    bool heapRoute = false;
    // Front end: the pools made on first use (FixedPools.h).
    GeneralPool* fixedPools[kFixedPoolEntries] = {};
    GeneralPool* threadedPool = nullptr;

    // Core. The three locks are taken only on rare paths (the first call, a pool's creation or
    // destruction, a report of every pool, a region's change), so that threads may each create,
    // use and destroy pools of their own at the same time. Order: configLock, registryLock, a
    // pool's lock, regionLock; none is held while a hook runs.
    ConfigurationFlags config;
    QORMutex configLock{0, 0, 0};     // the configuration runs under it, once
    QORMutex registryLock{0, 0, 0};   // guards poolRegistry: every link change and whole walk
    PoolBase* poolRegistry = nullptr; // every live pool, newest first
    bool hooksLoaded = false;
    char hookLibraryBaseName[kHookBaseNameBytes] = {};
    HookEntryPoints hooks = {};
    LiveTable live;

    // Paged pools: every region of the process has this delta (Region.h); the two region lists
    // that pools without a private list share, made on first need. regionLock guards the shared
    // lists and their regions, and the making of every region (which may fix the delta).
    QORMutex regionLock{0, 0, 0};
    int regionDelta = 0;
    RegionList* sharedListA = nullptr; // gives back empty regions
    RegionList* sharedListB = nullptr;

    // General pools: the reclaim floor (a seam: tests and fuzzers lower it to reach reclaim in
    // small pools) and the merge method, -1 until the first merge fixes it. Locked pools of two
    // threads may both fix it (to the same value): relaxed atomics make that benign race defined.
    std::uint64_t reclaimFloorBytes = kReclaimFloorBytes;
    std::atomic<int> mergeMethod{-1};

    // Swap file: numbers the files this process opens.
    int swapFileSequence = 0;
};

extern constinit Runtime gRuntime;

inline Runtime& State() { return gRuntime; }

// The front end's caches live beside the runtime object, not in it: threads keep their caches
// (empty once no pool lives) across ResetState.
extern constinit ThreadCaches gThreadCaches;

inline ThreadCaches& Caches() { return gThreadCaches; }

// Requires: no pool is live (the registry is empty). Gives the module the state it had when it
// was loaded, so that the next call configures again. For tests and fuzzers.
void ResetState();

} // namespace qor
