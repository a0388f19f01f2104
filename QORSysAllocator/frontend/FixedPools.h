// The pools the library creates on first use: the permanent pool (entry 0), single-size pools for
// keys 8..80 (entries 1..10) and 128 (entry 11), the fast pool (entry 16) and the threaded pool.
// Entries 12..15 stay null. Each pointer is published once (LoadPublished): two threads that
// both find a pool missing may each create one, and the one that publishes second destroys its
// own, so that every thread uses the same pool (whose operations are thread-safe only for the
// threaded pool).
#pragma once

#include "../core/PoolArgument.h"
#include "../generalpool/GeneralPool.h"

#include <cstdint>

namespace qor {

GeneralPool* CreateFixedPool(int entry);
GeneralPool* CreateThreadedPool();
// The permanent pool as the report call creates it when it is missing (same size and flags).
GeneralPool* CreatePermanentPoolForReport();

inline GeneralPool* FixedPool(int entry) {
    GeneralPool* pool = LoadPublished(State().fixedPools[entry]);
    return __builtin_expect(pool != nullptr, 1) ? pool : CreateFixedPool(entry);
}

inline GeneralPool* ThreadedPool() {
    GeneralPool* pool = LoadPublished(State().threadedPool);
    return __builtin_expect(pool != nullptr, 1) ? pool : CreateThreadedPool();
}

} // namespace qor
