// The pools the library creates on first use: the permanent pool (entry 0), single-size pools for
// keys 8..80 (entries 1..10) and 128 (entry 11), the fast pool (entry 16) and the threaded pool.
// Entries 12..15 stay null. Each pointer is published once (LoadPublished): two threads that
// both find a pool missing may each create one, and the one that publishes second destroys its
// own, so that every thread uses the same pool (whose operations are thread-safe only for the
// threaded pool).
#pragma once

#include "../generalpool/GeneralPool.h"

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

constexpr int kPermanentEntry = 0;
constexpr int kFirstSingleSizeEntry = 1;
constexpr int kLastSmallKeyEntry = 10;
constexpr int kEntry128 = 11;
constexpr int kFastEntry = 16;

// key = extra + round8(size). Keys 8, 16, ... 80 and 128 have a single-size pool of their own;
// every other key goes to the fast pool.
inline int FastPoolEntry(std::uint64_t key) {
    constexpr std::uint64_t kLargestSmallKey = 80;
    if ((key & 7) == 0 && key - 8 <= kLargestSmallKey - 8) return static_cast<int>(key >> 3);
    return key == 128 ? kEntry128 : kFastEntry;
}

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
