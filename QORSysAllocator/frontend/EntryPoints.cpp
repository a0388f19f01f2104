// QORSpecializedNew / QORSpecializedDelete: route a request by its pool argument.
// Fast path (configured, pooling active, no instrumentation): one flag test, then the route.
// The full route runs the first call's configuration, the inactive and cancelled rules and the
// instrumentation hooks.
#include "../checked/Checks.h"
#include "../core/Configuration.h"
#include "../core/Hooks.h"
#include "../core/PoolInterface.h"
#include "../core/SizeClasses.h"
#include "../generalpool/GeneralBlocks.h"
#include "../heap/Heap.h"
#include "../pagedpool/PagedBlocks.h"
#include "../pagedpool/PagedPool.h"
#include "../platform/Platform.h"
#include "../threadcache/ThreadCache.h"
#include "FixedPools.h"
#include "ForkSafety.h"

#include <QORSysStdAdapters.h>

namespace qor {
namespace {

constexpr std::uintptr_t kHeapOwnerWord = 1;
constexpr std::uintptr_t kExtraMarker = 16;
// malloc refuses anything larger; refusing it first keeps size + 16 from wrapping around to a
// request of a few bytes.
constexpr std::size_t kLargestHeapRequest = PTRDIFF_MAX;

inline std::uintptr_t Value(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

inline std::size_t ExtraOf(void* param, int n) {
    return Value(param) == kExtraMarker ? static_cast<std::size_t>(static_cast<std::int64_t>(n))
                                        : 0;
}

// A heap block: malloc'ed with the 16-byte header in front; the size word is the whole request.
void* HeapAllocate(std::size_t totalBytes) {
    auto* header = static_cast<BlockHeader*>(platform::Malloc(totalBytes));
    if (header == nullptr) return nullptr;
    header->ownerWord = kHeapOwnerWord;
    header->sizeWord = totalBytes;
    return header + 1;
}

// The chunk that holds a block with a header: null for a heap block, kInvalidOwner when the owner
// word is 0 (reported to the invalid-pointer hook, which is a no-op unless instrumented).
void* OwnerFromHeader(void* block) {
    if (HeaderOf(block)->ownerWord == 0) {
        hooks::QORSignalInvalidPtr(block, -1, kInvalidOwner, 0, "PoolFromAddr");
        return reinterpret_cast<void*>(kInvalidOwner);
    }
    return general::ChunkOf(block);
}

void* AllocateFrom(PoolBase* pool, std::size_t bytes, std::size_t extra) {
    return pool == nullptr ? nullptr : pool->Allocate(bytes, extra);
}

// `delta` is the hook library's share in front of the block (0 when not instrumented); the fast
// pool is chosen by the caller's size alone.
inline void* Obtain(std::size_t size, std::size_t delta, std::uintptr_t poolArgument, void* param,
                    std::size_t extra) {
    const PoolChoice choice = ClassifyPoolArgument(poolArgument, param);
    switch (choice.route) {
    case PoolRoute::Object:
        return reinterpret_cast<PoolBase*>(choice.object)->Allocate(size + delta, extra);
    case PoolRoute::Heap:
        if (size > kLargestHeapRequest) return nullptr;
        return HeapAllocate(delta + size + kBlockHeaderBytes);
    case PoolRoute::Permanent:
        return AllocateFrom(FixedPool(kPermanentEntry), size + delta, extra);
    case PoolRoute::Fast:
        return AllocateFrom(FixedPool(FastPoolEntry(FastPoolKey(size, extra))), size + delta,
                            extra);
    case PoolRoute::Threaded:
        return AllocateFrom(ThreadedPool(), size + delta, extra);
    case PoolRoute::BesideBlock: {
        if (param == nullptr) return nullptr;
        void* neighbour = static_cast<char*>(param) - delta;
        void* chunk = OwnerFromHeader(neighbour);
        if (chunk == nullptr || Value(chunk) == kInvalidOwner) return nullptr;
        return ReallocateThroughOwner(chunk, size + delta, neighbour);
    }
    case PoolRoute::None:
        break;
    }
    return nullptr;
}

void* NewInstrumented(std::size_t size, std::uintptr_t poolArgument, void* param, int n) {
    void* pool = reinterpret_cast<void*>(poolArgument);
    const auto delta = static_cast<std::size_t>(
        static_cast<std::int64_t>(hooks::QORGetDelta(size, pool, param, n)));
    void* block = Obtain(size, delta, poolArgument, param, ExtraOf(param, n));
    if (block == nullptr) {
        hooks::QORSignalMallocFailure(nullptr, size, pool, param, n);
        return nullptr;
    }
    hooks::QORSignalMalloc(block, size, pool, param, n);
    return static_cast<char*>(block) + delta;
}

// The first allocation's decision, made once: threads that arrive together all configure (one
// runs it, the others wait), then one of them chooses the routes. Until they are published the
// others take the full route, which serves every request the way the fast paths would.
void ChooseRoutes() {
    config::ConfigureIfPending();
    RegisterForkSafetyOnce();
    Runtime& state = State();
    bool chosen = false;
    if (!std::atomic_ref(state.config.firstAllocationDone).compare_exchange_strong(chosen, true))
        return;
    // The fast paths stay closed for good when pooling is inactive, instrumented or checked.
    const bool full = state.config.inactive || hooks::On() || state.config.checks;
    // The caches live on the fast paths only: with hooks or checks every request is seen.
    Publish(state.threadCaches, !full && !state.config.threadCacheOff);
    // The engine serves what the pools' checks and hooks would not see: it is a route of the fast
    // paths only.
    if (!full && !state.config.heapEngineOff) {
        heap::Configure(heap::Settings{state.config.heapPurgeDelayMs});
        Publish(state.heapRoute, true);
    }
    Publish(state.takeFullRoute, full);
}

[[gnu::noinline]] void* NewFullRoute(std::size_t size, std::uintptr_t poolArgument, void* param,
                                     int n) {
    Runtime& state = State();
    if (!LoadPublished(state.config.firstAllocationDone)) ChooseRoutes();
    if (state.config.inactive) {
        if (poolArgument != kPoolInParam) poolArgument = kPoolHeap;
        if (state.config.cancelled) return platform::Malloc(size);
    }
    if (state.config.checks) [[unlikely]]
        checks::CheckNew(poolArgument, param);
    if (hooks::On()) return NewInstrumented(size, poolArgument, param, n);
    return Obtain(size, 0, poolArgument, param, ExtraOf(param, n));
}

// paged::OwnerOf as the release route wants it: kInvalidOwner for a block that is not paged.
inline void* PageOwnerOf(void* block) {
    PagedPool* pool = paged::OwnerOf(block);
    return pool != nullptr ? static_cast<void*>(pool) : reinterpret_cast<void*>(kInvalidOwner);
}

// The owner of a block being released: the named pool (or chunk), the pool of a paged block's
// page, or the chunk in the block's header.
inline void* FindOwner(void* block, void* pool, int flags) {
    if (pool != nullptr) return IsPoolNumber(pool) ? reinterpret_cast<void*>(kInvalidOwner) : pool;
    if (flags & kFlagPaged) return PageOwnerOf(block);
    return OwnerFromHeader(block);
}

// `pointer`: what the program holds (CheckRelease).
void DeleteInstrumented(void* block, void* pool, int flags, const void* pointer) {
    block = static_cast<char*>(block) -
            static_cast<std::int64_t>(hooks::QORGetDelta(~std::size_t{0}, nullptr, block, 0));
    if (State().config.checks) [[unlikely]]
        checks::CheckRelease(block, pool, flags, pointer);
    void* owner = FindOwner(block, pool, flags);
    if (Value(owner) == kInvalidOwner) {
        hooks::QORSignalInvalidPtr(block, -1, kInvalidOwner, 0, "SpeDel");
        return;
    }
    if (owner == nullptr) {
        hooks::QORSignalFree(block, nullptr, HeaderOf(block)->sizeWord);
        platform::Free(HeaderOf(block));
        return;
    }
    PoolBase* blockPool = FieldsOf(owner)->owner;
    hooks::QORSignalFree(block, owner, blockPool != nullptr ? blockPool->GetBlockSize(block) : 0);
    ReleaseThroughOwner(owner, block);
}

// Every request that the fast paths below do not settle: the whole routing, as described above.
[[gnu::noinline]] void* NewRoute(std::size_t size, std::uintptr_t poolArgument, void* param,
                                 int n) {
    if (LoadPublished(State().takeFullRoute)) return NewFullRoute(size, poolArgument, param, n);
    return Obtain(size, 0, poolArgument, param, ExtraOf(param, n));
}

// `pointer`: what the program holds, when it is not the block itself (null: the block).
[[gnu::noinline]] void DeleteRoute(void* block, void* pool, int flags,
                                   const void* pointer = nullptr) {
    if (State().config.cancelled) {
        platform::Free(block);
        return;
    }
    if (block == nullptr) return;
    if (pointer == nullptr) pointer = block;
    if (hooks::On()) return DeleteInstrumented(block, pool, flags, pointer);
    if (State().config.checks) [[unlikely]]
        checks::CheckRelease(block, pool, flags, pointer);
    void* owner = FindOwner(block, pool, flags);
    if (__builtin_expect(Value(owner) == kInvalidOwner, 0)) return;
    if (owner == nullptr)
        platform::Free(HeaderOf(block));
    else
        ReleaseThroughOwner(owner, block);
}

// A paged pool's allocation, with its lock held when it has one. Out of line so that its fast
// path, which makes no call, runs without a stack frame.
[[gnu::noinline]] void* NewPaged(std::size_t size, PagedPool* paged) {
    if (void* block = paged->TryTakeFromOwnPages(size)) return block;
    return paged->AllocateHeld(size, 0);
}

// The fast paths of the pools that are paged or locked, out of line so that the unlocked general
// pool's path, inline in the entry points, needs no stack frame. Only two kinds of pool exist,
// both final: the paged flag tells them apart, so the calls are direct. A miss goes on with the
// pool's own allocation under the same lock, which is the call the full route would make.
[[gnu::noinline]] void* NewLocked(std::size_t size, PoolBase* pool) {
    PoolLockGuard guard(*pool);
    if (FieldsOf(pool)->flags & kFlagPaged) return NewPaged(size, static_cast<PagedPool*>(pool));
    auto* general = static_cast<GeneralPool*>(pool);
    if (void* block = general->TryTakeHead(size)) return block;
    return general->AllocateHeld(size, 0);
}

// An unlocked paged pool goes to its own path: no guard, and so no stack frame.
inline void* NewPagedOrLocked(std::size_t size, PoolBase* pool) {
    if ((FieldsOf(pool)->flags & (kFlagPaged | kFlagLocked)) == kFlagPaged)
        return NewPaged(size, static_cast<PagedPool*>(pool));
    return NewLocked(size, pool);
}

// The release of a block whose owner the fast path has decoded: `pool` owns it and `chunk` holds
// it (null for a paged block, whose pool finds its page). What the fast push declines (a release
// that empties its chunk or page, a refused pointer) goes to the pool's Free with what was
// decoded, the call the full route would end in: the fast paths being open, there is no
// configuration or hook to honour, and decoding the block again would find the same owner.
[[gnu::noinline]] void ReleaseDecoded(void* block, PoolBase* pool, void* chunk) {
    if (chunk == nullptr)
        static_cast<PagedPool*>(pool)->Free(block, nullptr);
    else
        static_cast<GeneralPool*>(pool)->Free(block, chunk);
}

// `chunk` is null for a paged block. Releases without a named pool only.
[[gnu::noinline]] void DeletePagedOrLocked(void* block, PoolBase* pool, void* chunk) {
    bool done;
    {
        PoolLockGuard guard(*pool);
        done = chunk == nullptr ? static_cast<PagedPool*>(pool)->TryPut(block)
                                : static_cast<GeneralPool*>(pool)->TryPush(block, chunk);
    }
    if (!done) ReleaseDecoded(block, pool, chunk);
}

// The release of a paged block of an unlocked pool: no guard, no stack frame on the fast path.
// What TryPut declines (the release that empties its page, or a refused pointer) goes straight
// to the pool's Free, the call the full route would end in: the fast paths being open, there is
// no configuration or hook to honour, and the owner is already known.
[[gnu::noinline]] void DeletePaged(void* block, PagedPool* pool) {
    if (!pool->TryPut(block)) ReleaseDecoded(block, pool, nullptr);
}

// An unlocked general pool's request that its fast path declines: the pool's own search, called
// directly. The fast paths being open, the full route would honour nothing more, and the pool is
// already known: routing the request again would classify its argument a second time.
[[gnu::noinline]] void* NewSearched(std::size_t size, GeneralPool* general) {
    return general->Allocate(size, 0);
}

// An unlocked tracked pool's search, out of line for the same reason as NewPagedOrLocked's.
[[gnu::noinline]] void* NewTracked(std::size_t size, GeneralPool* general) {
    if (void* block = general->TryTakeHead(size)) return block;
    return general->Allocate(size, 0);
}

// A request with no reserved room, for a fixed pool of pool argument 4, the thread-safe pool or a
// pool object (named directly or by pool argument 2). On the cached route a locking pool's
// request goes to the thread's cache first.
template <bool kCached>
inline void* FastNew(std::size_t size, std::uintptr_t poolArgument, void* param, int n) {
    const PoolChoice choice = ClassifyPoolArgument(poolArgument, param);
    GeneralPool* general;
    if (choice.route == PoolRoute::Fast || choice.route == PoolRoute::Threaded) {
        general = choice.route == PoolRoute::Fast
                      ? LoadPublished(State().fixedPools[FastPoolEntry(FastPoolKey(size, 0))])
                      : LoadPublished(State().threadedPool);
        if (general == nullptr) return NewRoute(size, poolArgument, param, n);
        // The thread-safe pool is general and locking: its header line, which holds the lock's
        // neighbours, is not read on a cache hit, and what the cache declines goes to the lock.
        if (kCached && choice.route == PoolRoute::Threaded && LoadPublished(State().threadCaches)) {
            if (void* block = threadcache::Take(general, size, false)) return block;
            return NewLocked(size, general);
        }
    } else if (choice.route == PoolRoute::Object) {
        // Pool argument 2 names its pool in `param` (the standard adapters' route to paged pools).
        general = reinterpret_cast<GeneralPool*>(choice.object);
    } else {
        return NewRoute(size, poolArgument, param, n);
    }
    const std::uint32_t flags = FieldsOf(general)->flags;
    if (flags & (kFlagPaged | kFlagLocked)) {
        if (kCached && (flags & kFlagLocked) && LoadPublished(State().threadCaches))
            if (void* block = threadcache::Take(general, size, flags & kFlagPaged)) return block;
        return NewPagedOrLocked(size, general);
    }
    if (flags & QORSysPoolFlag::TRACKED_FREE_LIST) return NewTracked(size, general);
    if (void* block = general->TryTakeHead(size)) return block;
    return NewSearched(size, general);
}

// A released block of a locking pool into the thread's cache: false when the cache does not take
// it. Blocks of an arena, and an arena's own block, stay out: they belong to the object that
// carries the arena, not to the pool's traffic. A paged pointer that is not a position of its page
// is left to the pool, which refuses it.
inline bool PutGeneralInCache(void* block, PoolBase* owner, void* chunk) {
    if (general::IsArenaBlock(block, chunk)) return false;
    return threadcache::Put(block, owner, HeaderOf(block)->sizeWord, false);
}

inline bool PutPagedInCache(void* block, PagedPool* owner) {
    return paged::IsPosition(block) &&
           threadcache::Put(block, owner, paged::BlockBytes(block), true);
}

// A release without a named pool: a paged block, or a general-pool block whose header names its
// chunk. On the cached route a locking pool's block goes to the thread's cache first.
template <bool kCached> inline void FastDelete(void* block, int flags) {
    if (flags & kFlagPaged) {
        PagedPool* owner = paged::OwnerOf(block);
        if (owner == nullptr) return DeleteRoute(block, nullptr, flags);
        if (FieldsOf(owner)->flags & kFlagLocked) {
            if (kCached && LoadPublished(State().threadCaches) && PutPagedInCache(block, owner))
                return;
            return DeletePagedOrLocked(block, owner, nullptr);
        }
        return DeletePaged(block, owner);
    }
    void* chunk = general::ChunkOf(block);
    if (IsPoolNumber(chunk)) {
        // A heap block's header names no chunk but is not the invalid owner word 0.
        if (chunk == nullptr && HeaderOf(block)->ownerWord != 0)
            return platform::Free(HeaderOf(block));
        return DeleteRoute(block, nullptr, flags);
    }
    PoolBase* owner = general::PoolOfChunk(chunk);
    if (owner == nullptr) return DeleteRoute(block, nullptr, flags);
    const std::uint32_t ownerFlags = FieldsOf(owner)->flags;
    if (ownerFlags & kFlagPaged) return DeleteRoute(block, nullptr, flags);
    if (ownerFlags & kFlagLocked) {
        if (kCached && LoadPublished(State().threadCaches) &&
            PutGeneralInCache(block, owner, chunk))
            return;
        return DeletePagedOrLocked(block, owner, chunk);
    }
    if (!static_cast<GeneralPool*>(owner)->TryPush(block, chunk))
        ReleaseDecoded(block, owner, chunk);
}

// Configured, active, no hooks, no checks: an open route also means "not cancelled".
inline bool FastPathsOpen() { return __builtin_expect(!LoadPublished(State().takeFullRoute), 1); }

} // namespace
} // namespace qor

using namespace qor;

// Each overload gets its own copy of the fast path: forwarding one to the other costs a jump and
// argument moves on every call, and the two-argument release drops the paged test.
namespace {

template <bool kCached = false>
[[gnu::always_inline]] inline void* SpecializedNew(std::size_t size, void* pool, void* param,
                                                   int n) {
    if (FastPathsOpen() && Value(param) != kExtraMarker)
        return FastNew<kCached>(size, Value(pool), param, n);
    return NewRoute(size, Value(pool), param, n);
}

template <bool kCached = false>
[[gnu::always_inline]] inline void SpecializedDelete(void* block, void* pool, int flags,
                                                     const void* pointer = nullptr) {
    if (FastPathsOpen() && pool == nullptr && block != nullptr)
        return FastDelete<kCached>(block, flags);
    DeleteRoute(block, pool, flags, pointer);
}

} // namespace

void* QORSpecializedNew(std::size_t size, void* pool, void* param, int n, int) {
    return SpecializedNew(size, pool, param, n);
}

void* QORSpecializedNew(std::size_t size, void* pool, void* param, int n) {
    return SpecializedNew(size, pool, param, n);
}

void QORSpecializedDelete(void* block, void* pool, int flags) {
    SpecializedDelete(block, pool, flags);
}

void QORSpecializedDelete(void* block, void* pool) { SpecializedDelete(block, pool, 0); }

namespace {

// The routes are chosen by the first allocation: a general-purpose call that comes first chooses
// them itself, so that even the process's first block is the engine's.
[[gnu::noinline]] bool HeapRouteOnceChosen() {
    if (!LoadPublished(State().config.firstAllocationDone)) ChooseRoutes();
    return LoadPublished(State().heapRoute);
}

inline bool HeapRoute() {
    return __builtin_expect(LoadPublished(State().heapRoute), 1) || HeapRouteOnceChosen();
}

} // namespace

// Pool 32 through the cached pair is the general-purpose route: the heap engine's unless it is off.
void* QORSysCachedNew(std::size_t size, void* pool, void* param) {
    if (Value(pool) == kPoolThreaded && HeapRoute()) return heap::Allocate(size);
    return SpecializedNew<true>(size, pool, param, 0);
}

// Not inlined into the form below: with one copy of the fast path the compiler keeps it inline here
// instead of sharing it out of line between the two.
[[gnu::noinline]] void QORSysCachedDelete(void* block, int flags) {
    if (HeapRoute() && heap::ReleaseIfOwned(block)) return;
    SpecializedDelete<true>(block, nullptr, flags);
}

// Open fast paths: the two-argument form, by a jump.
void QORSysCachedDelete(void* block, int flags, void* pointer) {
    if (FastPathsOpen()) return QORSysCachedDelete(block, flags);
    DeleteRoute(block, nullptr, flags, pointer);
}

// The routed global new and the adapters' general-purpose resource: the engine, or pool 32's
// over-allocated route when the engine is off (or checked mode or hooks need the pools).
void* QORSysHeapNew(std::size_t bytes, std::size_t alignment) {
    if (HeapRoute()) return heap::AllocateAligned(alignment, bytes);
    return QORSys::detail::TryAllocate(QORSys::detail::PoolRoute{}, bytes, alignment);
}

void QORSysHeapDelete(void* memory) {
    if (memory == nullptr || heap::ReleaseIfOwned(memory)) return;
    QORSys::detail::ReleaseOverAllocated(QORSys::detail::PoolRoute{}, memory);
}

void* QORSpecializedResize(void*, std::size_t, void*) { return nullptr; }

void* QORSysGetAllocatorFromAddress(void* block) {
    return block == nullptr ? nullptr : OwnerFromHeader(block);
}

extern "C" int ORVANTIS_ZULX_INTERNAL_QORSysAllocator() { return 1; }
