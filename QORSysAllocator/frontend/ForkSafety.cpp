#include "ForkSafety.h"

#include "../core/PoolInterface.h"
#include "../platform/Platform.h"
#include "../threadcache/ThreadCache.h"

#include <atomic>
#include <new>

namespace qor {
namespace {

// The collection that keeps the caches closed from before the fork until after it: it cannot
// live on a stack, since the two halves run in different calls.
alignas(threadcache::CollectedScope) unsigned char gCollected[sizeof(threadcache::CollectedScope)];

} // namespace

void LockForFork() {
    Runtime& state = State();
    state.configLock.Lock();
    new (gCollected) threadcache::CollectedScope(nullptr);
    state.registryLock.Lock();
    for (PoolBase* pool = state.poolRegistry; pool != nullptr; pool = pool->nextPool)
        if (pool->IsLocking()) pool->mutex.Lock();
    state.regionLock.Lock();
}

void UnlockAfterFork() {
    Runtime& state = State();
    state.regionLock.Unlock();
    for (PoolBase* pool = state.poolRegistry; pool != nullptr; pool = pool->nextPool)
        if (pool->IsLocking()) pool->mutex.Unlock();
    state.registryLock.Unlock();
    std::launder(reinterpret_cast<threadcache::CollectedScope*>(gCollected))->~CollectedScope();
    state.configLock.Unlock();
}

void RegisterForkSafetyOnce() {
    static std::atomic<bool> registered{false};
    if (registered.load(std::memory_order_relaxed) || registered.exchange(true)) return;
    platform::RegisterForkHandlers(LockForFork, UnlockAfterFork, UnlockAfterFork);
}

} // namespace qor
