// The nine entry points that the allocation library looks up by name. Each records its event
// under the tracer's lock; none calls back into the library, so the lock is always the innermost
// one (a hook may run while a pool holds its own mutex).
// Cost per traced allocation: one lock, one table insert, the seals; per release: two lookups and
// one comparison with the latest allocation (for the temporary allocations).
#include "CallSites.h"
#include "EventRecording.h"
#include "Sampler.h"
#include "TracerState.h"

#include "core/PoolArgument.h"
#include "core/SizeClasses.h"
#include "generalpool/GeneralBlocks.h"
#include "pagedpool/PagedBlocks.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define QOR_TRACER_EXPORT extern "C" __attribute__((visibility("default")))

using namespace qor;
using namespace qor::tracer;
using std::size_t;

namespace {

std::atomic<bool> gExitHandlerRegistered{false};

void WriteReportAtExit() {
    TakeFinalSample();
    WriteReport();
}

// QORSysTracerExitCode: the process ends with the status the exit report chose. This runs among
// the loaded objects' destructors, after every exit handler (the program's static destructors
// and the library's clean-up included): only the status changes, not what the program did first.
[[gnu::destructor]] void EndWithFindingsStatus() {
    if (gState.exitStatus == 0) return;
    std::fflush(nullptr);
    ::_exit(gState.exitStatus);
}

// A fault, a bus error or an abort (a fatal stop of the library included): the report of what was
// recorded so far, then the signal's own course (the default action, re-raised on return).
void WriteReportAtFatalSignal(int signal) {
    WriteReportOnSignal(signal);
    ::raise(signal);
}

// A fork while another thread records would leave the child's lock held for good. The handlers
// are registered as the tracer is loaded, before the library that loads it registers its own:
// the tracer's lock is then taken after the pools' locks, in the order a hook takes them.
void LockForFork() { gState.lock.lock(); }
void UnlockAfterFork() { gState.lock.unlock(); }
[[gnu::constructor]] void RegisterForkHandlers() {
    ::pthread_atfork(LockForFork, UnlockAfterFork, UnlockAfterFork);
}

// Room to write the report on when the fault is a stack overflow (for the thread that made the
// first traced call).
alignas(16) char gSignalStack[1 << 16];

// Only signals the application leaves at their default action: a handler of its own stays.
void CatchFatalSignals() {
    stack_t stack{};
    stack.ss_sp = gSignalStack;
    stack.ss_size = sizeof gSignalStack;
    ::sigaltstack(&stack, nullptr);
    for (int signal : {SIGSEGV, SIGBUS, SIGABRT}) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
        struct sigaction action {};
        action.sa_handler = WriteReportAtFatalSignal;
        action.sa_flags = SA_RESETHAND | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

// The library registers its own exit clean-up while it configures, before any hook can run: a
// handler registered here runs before it, while every pool still exists.
inline void RegisterExitHandlerOnce() {
    if (!gExitHandlerRegistered.load(std::memory_order_relaxed) &&
        !gExitHandlerRegistered.exchange(true)) {
        std::atexit(WriteReportAtExit);
        CatchFatalSignals();
    }
}

// What IsEmpty of the pool answers: a destroying flush (FLUSH_DESTROY_IF_EMPTY on a general
// pool, any destroying flush on a paged pool) destroys the pool exactly when it is empty.
// Requires: `pool` is a live pool of the library.
bool PoolIsEmpty(void* pool) {
    const ChunkFields& fields = *FieldsOf(pool);
    return (fields.flags & kFlagPaged) ? paged::HoldsNoBlock(fields)
                                       : general::HoldsNoBlock(fields);
}

// What every recording hook starts with: the exit handler registered, the state's lock held, and
// nothing recorded once the summary has been written.
class HookScope {
public:
    HookScope() {
        if (Open()) Start();
    }
    bool Open() const { return lock_.Held() && !gState.finished; }

private:
    // Registered before the lock is taken: registering may allocate.
    struct ExitHandlerRegistered {
        ExitHandlerRegistered() { RegisterExitHandlerOnce(); }
    };
    [[no_unique_address]] ExitHandlerRegistered registered_;
    TracerLock lock_;
};

std::uintptr_t Value(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// The reserved room behind a block that the caller asked for with param == 16.
size_t ExtraOf(void* param, int n) {
    return Value(param) == 16 ? static_cast<size_t>(static_cast<std::int64_t>(n)) : 0;
}

size_t KeyOf(size_t size, void* param, int n) { return FastPoolKey(size, ExtraOf(param, n)); }

// The pool object that a request names directly (argument 2 or a pool object), or null.
void* NamedPool(std::uintptr_t poolArgument, void* param) {
    const PoolChoice choice = ClassifyPoolArgument(poolArgument, param);
    return choice.route == PoolRoute::Object ? reinterpret_cast<void*>(choice.object) : nullptr;
}

// Kind, pool and canary room of a block just handed out. Requires: gState.lock held.
void Classify(LiveBlock& block, void* given, std::uintptr_t poolArgument, void* param, int n) {
    if (poolArgument == kPoolHeap) {
        block.kind = BlockKind::Heap;
        block.pool = kHeapPool;
        block.header = *HeaderOf(given);
        return;
    }
    // The kind comes from the pool itself: past kMaxPools, pools of both kinds share a record.
    void* named = NamedPool(poolArgument, param);
    if (named != nullptr && (FieldsOf(named)->flags & kFlagPaged)) {
        // A paged slot is the size class round8(size + delta + extra); room asked for as
        // `extra` belongs to the caller.
        block.kind = BlockKind::Paged;
        block.pool = PoolAt(named);
        block.tailBytes =
            ExtraOf(param, n) != 0 ? 0 : ((block.size + 7) & ~std::uint64_t{7}) - block.size;
        return;
    }
    block.kind = BlockKind::General;
    block.header = *HeaderOf(given);
    block.pool = PoolAt(general::PoolOfChunk(general::ChunkOf(given)));
    const std::uint64_t used = kBlockHeaderBytes + kDelta + block.size;
    block.tailBytes =
        block.header.sizeWord > used ? static_cast<std::uint32_t>(block.header.sizeWord - used) : 0;
    const int role = FixedRoleOf(poolArgument, KeyOf(block.size, param, n));
    if (role >= 0) FixedPoolRecord(role, block.pool);
}

// A block about to be released: its seals are checked while the library has not yet read its
// header, so that a damaged header can be put back first.
void CheckBeforeRelease(std::uintptr_t pointer) {
    const TracerLock lock;
    if (!lock.Held() || gState.finished) return;
    Start();
    LiveBlock* block = gState.blocks.Find(pointer);
    gState.releasing = block != nullptr ? 0 : pointer;
    if (block == nullptr) {
        if (GuardsOf(pointer)[1] == (kReleasedSeal ^ pointer))
            RecordDamage(LiveBlock{pointer, 0, {}, 0, kNoPool, BlockKind::None, 0, 0, 0, 1},
                         kReleasedTwice, false);
        return;
    }
    const std::uint8_t areas = DamagedAreas(*block) & ~block->reported;
    if (areas == 0) return;
    block->reported |= areas;
    RecordDamage(*block, areas, false);
    if (areas & kHeader) *HeaderOf(GuardsOf(pointer)) = block->header;
}

} // namespace

QOR_TRACER_EXPORT int QORGetDelta(size_t size, void* pool, void* param, int n) {
    RegisterExitHandlerOnce();
    // A release asks with (all bits set, null, the caller's pointer, 0).
    if (size == ~size_t{0} && pool == nullptr && param != nullptr && n == 0)
        CheckBeforeRelease(Value(param));
    return kDelta;
}

namespace {

// The requests a seen block of `size` bytes stands for at its call site: the inverse of the chance
// that the override's sampling saw it (1 when every request is seen).
std::uint32_t WeightOf(size_t size) {
    if (gState.sampleBytes == 0) return 1;
    const double seen = -std::expm1(-static_cast<double>(size) / gState.sampleBytes);
    const double weight = seen > 0 ? 1 / seen + 0.5 : double(UINT32_MAX);
    return weight < double(UINT32_MAX) ? static_cast<std::uint32_t>(weight) : UINT32_MAX;
}

// Records a block just handed out; true when a sample is due.
bool RecordAllocation(void* block, size_t size, void* pool, void* param, int n,
                      const void* hookCaller) {
    HookScope scope;
    if (!scope.Open()) return false;
    LiveBlock traced{};
    traced.pointer = Value(block) + kDelta;
    traced.size = size;
    traced.weight = WeightOf(size);
    Classify(traced, block, Value(pool), param, n);
    // Sealed even when untracked, so that no stale seal in the room reads as a second release.
    Seal(traced);
    PoolRecord& record = gState.pools[traced.pool];
    ++record.allocations;
    ++record.sizes[SizeBucket(size)];
    // Untracked blocks too: their allocation stands between a tracked block's and its release.
    gState.latestAllocation = traced.pointer;
    if (gRecording) traced.block = RecordAllocationEvent(size, traced.pool);
    LiveBlock* entry = gState.blocks.Insert(traced.pointer);
    if (entry == nullptr) {
        ++gState.untrackedBlocks;
    } else {
        traced.stack = StackOf(CaptureFrames(hookCaller), traced.pool);
        CountLive(traced.stack, static_cast<std::int64_t>(size * traced.weight), traced.weight);
        *entry = traced;
        ++record.liveBlocks;
        record.liveBytes += size;
        if (record.liveBytes > record.peakBytes) record.peakBytes = record.liveBytes;
    }
    return CountAllocation();
}

// A block released before any other allocation, in any thread. Process-wide, not per thread:
// every hook already runs under the tracer's one lock, so the latest allocation is one word beside
// it, where a per-thread one would take thread-local storage, which in a library loaded at run
// time is allocated by the loader with malloc at each thread's first use, inside a hook.
void NoteTemporary(const LiveBlock& block) {
    ++gState.temporaryAllocations;
    gState.temporaryBytes += block.size;
    CountTemporary(block.stack, block.size);
}

} // namespace

QOR_TRACER_EXPORT int QORSignalMalloc(void* block, size_t size, void* pool, void* param, int n) {
    // The sample calls the library, so it is taken once the tracer's lock is given back.
    if (RecordAllocation(block, size, pool, param, n, __builtin_return_address(0))) TakeSample();
    return 0;
}

QOR_TRACER_EXPORT int QORSignalFree(void* block, void*, size_t) {
    RegisterExitHandlerOnce();
    const TracerLock lock;
    const std::uintptr_t pointer = Value(block) + kDelta;
    // Neither pool kind writes this word when it takes a block back: a second release finds it.
    GuardsOf(pointer)[1] = kReleasedSeal ^ pointer;
    if (!lock.Held() || gState.finished) return 0;
    LiveBlock* entry = gState.blocks.Find(pointer);
    if (entry == nullptr) {
        ++gState.untrackedReleases;
        return 0;
    }
    PoolRecord& record = gState.pools[entry->pool];
    ++record.releases;
    --record.liveBlocks;
    record.liveBytes -= entry->size;
    CountLive(entry->stack, -static_cast<std::int64_t>(entry->size * entry->weight),
              -std::int64_t{entry->weight});
    if (gRecording) RecordReleaseEvent(entry->block);
    // Seen alone, a sampled block has unseen allocations between it and its release.
    if (pointer == gState.latestAllocation && gState.sampleBytes == 0) NoteTemporary(*entry);
    gState.blocks.Erase(entry);
    return 0;
}

QOR_TRACER_EXPORT int QORSignalMallocFailure(void*, size_t size, void* pool, void* param, int n) {
    HookScope scope;
    if (!scope.Open()) return 0;
    std::uint16_t record = kNoPool;
    const std::uintptr_t argument = Value(pool);
    const PoolChoice choice = ClassifyPoolArgument(argument, param);
    if (choice.route == PoolRoute::Heap) {
        record = kHeapPool;
    } else if (choice.route == PoolRoute::Object) {
        record = PoolAt(reinterpret_cast<void*>(choice.object));
    } else if (choice.route == PoolRoute::BesideBlock) {
        if (const LiveBlock* neighbour = gState.blocks.Find(Value(param))) record = neighbour->pool;
    } else if (const int role = FixedRoleOf(argument, KeyOf(size, param, n)); role >= 0) {
        record = FixedPoolRecord(role, kNoPool);
    }
    ++gState.pools[record].failures;
    return 0;
}

QOR_TRACER_EXPORT int QORSignalInvalidPtr(void* address, std::intptr_t, std::uintptr_t a,
                                          std::uintptr_t, const char* tag) {
    HookScope scope;
    if (!scope.Open()) return 0;
    const bool deall = tag != nullptr && std::strcmp(tag, "Deall") == 0;
    const bool refusedRelease = deall || (tag != nullptr && std::strcmp(tag, "SpeDel") == 0);
    // The header lookup of a release reports first; the release's own report follows.
    if (!refusedRelease && Value(address) + kDelta == gState.releasing) return 0;
    const std::uint16_t pool = deall ? PoolAt(reinterpret_cast<void*>(a)) : kNoPool;
    if (refusedRelease) ++gState.pools[pool].invalidPointers;
    const std::uintptr_t pointer =
        refusedRelease && address != nullptr ? Value(address) + kDelta : Value(address);
    RecordInvalidPointer(pointer, tag, pool);
    return 0;
}

QOR_TRACER_EXPORT int QORSignalPoolCreation(void* pool, size_t, int flags, const char* name, void*,
                                            size_t) {
    HookScope scope;
    if (!scope.Open()) return 0;
    NewPool(pool, name, flags);
    return 0;
}

QOR_TRACER_EXPORT int QORSignalSubPoolCreation(void* pool, void*, size_t, std::uintptr_t, void*,
                                               size_t) {
    HookScope scope;
    if (!scope.Open()) return 0;
    ++gState.pools[PoolAt(pool)].chunksAdded;
    return 0;
}

// A general pool's flush ends every block it holds, unless it only destroys an empty pool (0x4);
// a paged pool refuses any flush while it holds a block.
QOR_TRACER_EXPORT int QORSignalPoolFlush(void* pool, int mode) {
    HookScope scope;
    if (!scope.Open()) return 0;
    const std::uint16_t index = PoolAt(pool);
    PoolRecord& record = gState.pools[index];
    ++record.flushes;
    if ((FieldsOf(pool)->flags & kFlagPaged) || (mode & QORSysPoolFlag::FLUSH_DESTROY_IF_EMPTY)) {
        const bool destroying =
            (mode & QORSysPoolFlag::FLUSH_DESTROY) || !(FieldsOf(pool)->flags & kFlagPaged);
        if (destroying && PoolIsEmpty(pool)) record.destroyed = true;
        return 0;
    }
    DropLiveBlocks(index);
    if (mode & QORSysPoolFlag::FLUSH_DESTROY) record.destroyed = true;
    return 0;
}

QOR_TRACER_EXPORT int QORSignalSubPoolFlushed(void* pool, void*, size_t, std::uintptr_t, void*,
                                              size_t) {
    HookScope scope;
    if (!scope.Open()) return 0;
    DropLiveBlocks(PoolAt(pool));
    return 0;
}
