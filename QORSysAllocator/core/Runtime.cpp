#include "Runtime.h"

#include "../platform/Platform.h"
#include "PoolInterface.h"

#include <memory>

namespace qor {

constinit Runtime gRuntime;
constinit ThreadCaches gThreadCaches;

void ResetState() {
    Runtime& state = State();
    if (state.poolRegistry != nullptr) AbortWithMessage("ResetState: a pool is still live");
    if (state.live.slots != state.live.firstSlots) platform::Free(state.live.slots);
    if (state.live.names != state.live.firstNames) platform::Free(state.live.names);
    std::destroy_at(&state);
    std::construct_at(&state);
}

} // namespace qor
