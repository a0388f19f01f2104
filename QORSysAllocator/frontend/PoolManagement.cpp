// Pool management calls: creation, flush, optimise, statistics, maps, and the exit clean-up.
// A report of every pool holds the registry lock for its walk; each pool locks itself. A call that
// flushes, optimises or reports a locking pool first collects the threads' cached blocks of it,
// and holds the caches closed until it returns (threadcache/ThreadCache.h).
#include "../checked/Checks.h"
#include "../core/Configuration.h"
#include "../core/ExitCleanup.h"
#include "../core/PoolInterface.h"
#include "../core/PoolMap.h"
#include "../core/SizeClasses.h"
#include "../heap/Heap.h"
#include "../threadcache/ThreadCache.h"
#include "FixedPools.h"
#include "ForkSafety.h"

#include "../pagedpool/PagedPool.h"

namespace qor {
namespace {

constexpr int kAllocAddedSize = 8;

inline PoolBase* AsPool(void* pool, const char* entryPoint) {
    if (State().config.checks) [[unlikely]]
        checks::CheckPoolArgument(pool, entryPoint);
    return IsPoolNumber(pool) ? nullptr : static_cast<PoolBase*>(pool);
}

void ReportIfPresent(PoolBase* pool, FILE* stream, QORPoolInfo* record, int options) {
    if (pool == nullptr) return;
    threadcache::CollectedScope collected(pool);
    pool->Report(stream, record, options);
}

void DestroyFixedPool(int entry) {
    GeneralPool* pool = std::atomic_ref(State().fixedPools[entry]).exchange(nullptr);
    if (pool != nullptr) pool->Flush(QORSysPoolFlag::FLUSH_DESTROY);
}

} // namespace

void RunExitCleanup() {
    threadcache::CollectedScope collected(nullptr, true);
    for (int entry = kPermanentEntry; entry < kFixedPoolEntries; ++entry)
        DestroyFixedPool(entry);
    // A flushed pool unlinks itself (under the registry lock, so the walk does without it): the
    // next link is read first.
    for (PoolBase* pool = State().poolRegistry; pool != nullptr;) {
        PoolBase* next = pool->nextPool;
        if (pool->chunk.flags & kFlagPaged)
            pool->Flush(QORSysPoolFlag::FLUSH_DESTROY | QORSysPoolFlag::FLUSH_DESTROY_IF_EMPTY);
        pool = next;
    }
    ReleaseSharedRegionLists();
}

} // namespace qor

using namespace qor;

void* QORSysCreatePool(int flags, std::size_t size, const char* name) {
    config::ConfigureIfPending();
    RegisterForkSafetyOnce();
    const auto poolFlags = static_cast<std::uint32_t>(flags);
    if (poolFlags & kFlagPaged) return CreatePagedPool(poolFlags, name);
    return CreateGeneralPool(size, poolFlags, name);
}

void* QORSysCreatePool(int flags, std::size_t size) {
    return QORSysCreatePool(flags, size, "unknown");
}

int QORSysFlushPool(void* pool, int mode) {
    PoolBase* p = AsPool(pool, "QORSysFlushPool");
    if (p == nullptr) return -1;
    constexpr int kMayDestroy =
        QORSysPoolFlag::FLUSH_DESTROY | QORSysPoolFlag::FLUSH_DESTROY_IF_EMPTY;
    threadcache::CollectedScope collected(p, (mode & kMayDestroy) != 0);
    return p->Flush(mode);
}

int QORSysOptimizePool(void* pool, int how) {
    PoolBase* p = AsPool(pool, "QORSysOptimizePool");
    if (p == nullptr) return -1;
    threadcache::CollectedScope collected(p);
    return p->Optimize(how);
}

namespace {

void ReportHeapEngine(FILE* stream) {
    heap::Figures figures;
    heap::GetFigures(&figures);
    if (figures.bytesHeld != 0) heap::WriteFigures(stream, figures, heap::FiguresForm::OneLine);
}

} // namespace

int QORSysGetHeapInfo(QORHeapInfo* info, QORHeapClassInfo* classes, int capacity) {
    heap::Figures figures;
    heap::GetFigures(&figures);
    if (info != nullptr)
        *info = QORHeapInfo{figures.bytesInUse, figures.bytesHeld,      figures.bytesResident,
                            figures.segments,   figures.hugeBlocks,     figures.hugeBytes,
                            figures.heaps,      figures.abandonedHeaps, figures.bytesAwaitingOwner};
    for (int k = 0; classes != nullptr && k < capacity && k < int{heap::kClassCount}; ++k) {
        const heap::ClassFigures& figuresOfClass = figures.classes[k];
        classes[k] = QORHeapClassInfo{figuresOfClass.blockBytes, figuresOfClass.blocksInUse,
                                      figuresOfClass.blocksCarved, figuresOfClass.pages};
    }
    return int{heap::kClassCount};
}

void QORSysGetPoolInfo(void* pool, FILE* stream, QORPoolInfo* record, int options) {
    switch (reinterpret_cast<std::uintptr_t>(pool)) {
    case 0: {
        // The registry stays locked for the walk: no pool is made or destroyed under it.
        threadcache::CollectedScope collected(nullptr);
        ScopedLock registry(State().registryLock);
        for (PoolBase* p = State().poolRegistry; p != nullptr; p = p->nextPool)
            p->Report(stream, record, 0);
        if (stream != nullptr) ReportHeapEngine(stream);
        return;
    }
    case kPoolPermanent: {
        GeneralPool* permanent = LoadPublished(State().fixedPools[kPermanentEntry]);
        if (permanent == nullptr) permanent = CreatePermanentPoolForReport();
        ReportIfPresent(permanent, stream, record, options);
        return;
    }
    case kPoolFast:
        for (int entry = kFirstSingleSizeEntry; entry <= kLastSmallKeyEntry; ++entry)
            ReportIfPresent(LoadPublished(State().fixedPools[entry]), stream, record, options);
        return;
    case kPoolThreaded:
        ReportIfPresent(LoadPublished(State().threadedPool), stream, record, options);
        return;
    default:
        ReportIfPresent(AsPool(pool, "QORSysGetPoolInfo"), stream, record, options);
    }
}

long QORSysGetPoolMap(void* pool, QORPoolMapEntry* entries, std::size_t capacity) {
    PoolBase* p = AsPool(pool, "QORSysGetPoolMap"); // null for null and the numbers
    if (p == nullptr) return -1;
    MapWriter map(entries, capacity);
    threadcache::CollectedScope collected(p);
    PoolLockGuard guard(*p);
    if (p->chunk.flags & kFlagPaged)
        MapPool(*static_cast<PagedPool*>(p), map);
    else
        MapPool(*static_cast<GeneralPool*>(p), map);
    return static_cast<long>(map.Total());
}

int QORSysPoolGetFreeSpace(void* pool, std::size_t* freeBytes, std::size_t* largestChunkFree) {
    if (pool == nullptr) return 0;
    QORPoolInfo record{};
    QORSysGetPoolInfo(pool, nullptr, &record, 0);
    if (freeBytes != nullptr) *freeBytes = record.freeSize;
    if (largestChunkFree != nullptr) *largestChunkFree = record.maxChunkFree;
    return -1;
}

int QORSysPoolGetAllocAddedSize(int, void*) { return kAllocAddedSize; }

void* QORSysGetFixedPool(void* poolArgument, std::size_t size) {
    switch (reinterpret_cast<std::uintptr_t>(poolArgument)) {
    case kPoolPermanent:
        return LoadPublished(State().fixedPools[kPermanentEntry]);
    case kPoolFast: // the key of a request without reserved room
        return LoadPublished(State().fixedPools[FastPoolEntry(FastPoolKey(size, 0))]);
    case kPoolThreaded:
        return LoadPublished(State().threadedPool);
    default:
        return nullptr;
    }
}

void QORSysAllGetStructInfos(std::size_t* a, std::size_t* b, std::size_t* c) {
    if (a == nullptr) return;
    *a = GeneralPool::kPoolHeaderBytes;
    *b = sizeof(PoolBase);
    *c = SubPool::kHeaderBytes;
}

int QORSysGetPoolActivityStatus() { return State().config.inactive ? 0 : -1; }
