// Small helpers shared by the entry-point, pool-management and concurrency tests: pool arguments
// as pointers, a recorder on the malloc seam, and views of the fixed pools.
#pragma once

#include "QORSysAllocator.h"
#include "frontend/FixedPools.h"
#include "frontend/PoolInterface.h"
#include "platform/Platform.h"

#include <cstddef>
#include <cstdint>

namespace qor::test {

inline void* Ptr(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

inline void* NewFrom(std::size_t size, std::uintptr_t poolArgument, void* param = nullptr,
                     int n = 0) {
    return QORSpecializedNew(size, Ptr(poolArgument), param, n);
}

inline void* NewFrom(std::size_t size, void* pool, void* param = nullptr, int n = 0) {
    return QORSpecializedNew(size, pool, param, n);
}

// Runs the one-time configuration through the public API without creating a pool: a heap block
// allocated and released.
inline void ConfigureThroughHeapBlock() {
    QORSpecializedDelete(NewFrom(8, std::uintptr_t{0}), nullptr);
}

// Records every request that reaches the malloc seam for the life of the object; `failAll` makes
// every request fail instead of passing it on.
class MallocLog {
public:
    static constexpr int kCapacity = 64;

    explicit MallocLog(bool failAll = false) {
        count = 0;
        fail = failAll;
        platform::SetMallocFailureFilter(&Record);
    }
    ~MallocLog() { platform::SetMallocFailureFilter(nullptr); }
    MallocLog(const MallocLog&) = delete;
    MallocLog& operator=(const MallocLog&) = delete;

    static inline std::size_t sizes[kCapacity];
    static inline int count;
    static inline bool fail;

private:
    static bool Record(std::size_t bytes) {
        if (count < kCapacity) sizes[count] = bytes;
        ++count;
        return fail;
    }
};

inline int CountFixedPools() {
    int present = 0;
    for (GeneralPool* pool : gFixedPools)
        present += pool != nullptr;
    return present;
}

// Free bytes of a general pool whose every chunk holds only free space.
inline std::uint64_t FreeWhenEmpty(const void* chunk, std::size_t headerBytes) {
    const ChunkFields& fields = *FieldsOf(const_cast<void*>(chunk));
    return (fields.size & kChunkSizeMask) - headerBytes;
}

} // namespace qor::test
