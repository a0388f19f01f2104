#include "Runtime.h"

#include "../platform/Platform.h"
#include "PoolInterface.h"

#include <memory>

namespace qor {

constinit Runtime gRuntime;

void ResetState() {
    Runtime& state = State();
    if (state.poolRegistry != nullptr) AbortWithMessage("ResetState: a pool is still live");
    if (state.live.slots != state.live.firstSlots) platform::Free(state.live.slots);
    const bool cachesStarted = state.caches.started.load();
    const std::uint8_t gate = state.caches.gate.load();
    threadcache::Cache* const caches = state.caches.all;
    threadcache::Central* const centrals = state.caches.centrals;
    std::destroy_at(&state);
    std::construct_at(&state);
    state.caches.started.store(cachesStarted);
    state.caches.gate.store(gate);
    state.caches.all = caches;
    state.caches.centrals = centrals;
}

} // namespace qor
