// The `pool` argument of QORSpecializedNew, decoded in one place for the entry points, checked
// mode and the hook libraries: a number below kSmallestPoolAddress names a route (heap, a fixed
// pool, the pool beside a block) or nothing; anything else is a pool object. Pool argument 2 names
// its pool in `param`. Which fixed pool entry a request of pool argument 4 reaches is a size class
// rule (SizeClasses.h).
// Invariant: PoolChoice::object >= kSmallestPoolAddress exactly when route == PoolRoute::Object.
#pragma once

#include <cstdint>

namespace qor {

// Pool arguments of QORSpecializedNew; 1, 4 and 32 also name fixed pools to QORSysGetPoolInfo.
constexpr std::uintptr_t kPoolHeap = 0;
constexpr std::uintptr_t kPoolPermanent = 1;
constexpr std::uintptr_t kPoolInParam = 2;
constexpr std::uintptr_t kPoolFast = 4;
constexpr std::uintptr_t kPoolBesideBlock = 8;
constexpr std::uintptr_t kPoolThreaded = 32;
// Values below this are pool arguments or sentinels, never pool objects.
constexpr std::uintptr_t kSmallestPoolAddress = 0x10000;

inline bool IsPoolNumber(const void* value) {
    return reinterpret_cast<std::uintptr_t>(value) < kSmallestPoolAddress;
}

enum class PoolRoute : std::uint8_t {
    Fast,        // 4: a fixed pool chosen by the request's key (FastPoolEntry)
    Threaded,    // 32: the thread-safe pool
    Object,      // a pool object, given directly or by pool argument 2
    Heap,        // 0: malloc, with a block header
    Permanent,   // 1: the permanent pool
    BesideBlock, // 8: the pool of the block in `param`
    None,        // any other number, or pool argument 2 without a pool object: the request fails
};

struct PoolChoice {
    PoolRoute route;
    std::uintptr_t object; // the pool object for PoolRoute::Object, else 0
};

// The routes the fast paths serve are tested first. Cost: two to four compares, no load.
inline PoolChoice ClassifyPoolArgument(std::uintptr_t poolArgument, const void* param) {
    if (poolArgument == kPoolFast) return {PoolRoute::Fast, 0};
    if (poolArgument == kPoolThreaded) return {PoolRoute::Threaded, 0};
    const std::uintptr_t object =
        poolArgument == kPoolInParam ? reinterpret_cast<std::uintptr_t>(param) : poolArgument;
    if (object >= kSmallestPoolAddress) return {PoolRoute::Object, object};
    if (poolArgument == kPoolHeap) return {PoolRoute::Heap, 0};
    if (poolArgument == kPoolPermanent) return {PoolRoute::Permanent, 0};
    if (poolArgument == kPoolBesideBlock) return {PoolRoute::BesideBlock, 0};
    return {PoolRoute::None, 0};
}

// The permanent pool's entry of the fixed pools' table (Runtime::fixedPools); the entries reached
// by size are SizeClasses.h's.
constexpr int kPermanentEntry = 0;

} // namespace qor
