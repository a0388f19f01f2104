// A program linked against the shared library alone: the exported interface is enough to
// allocate and release through every route and to manage a pool.
#include "QORSysAllocator.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

int gFailures = 0;

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "failed: %s\n", what);
    ++gFailures;
}

} // namespace

int main() {
    Check(ORVANTIS_ZULX_INTERNAL_QORSysAllocator() == 1, "marker answers 1");
    for (std::uintptr_t route : {0, 1, 4, 32}) {
        void* block = QORSpecializedNew(100, reinterpret_cast<void*>(route), nullptr, 0);
        Check(block != nullptr, "allocation through a pool argument");
        if (block == nullptr) continue;
        std::memset(block, 0x5A, 100);
        QORSpecializedDelete(block, nullptr);
    }

    void* pool = QORSysCreatePool(0, 1000);
    Check(pool != nullptr, "pool creation");
    if (pool == nullptr) return 1;
    void* block = QORSpecializedNew(64, pool, nullptr, 0);
    Check(block != nullptr && QORSysGetAllocatorFromAddress(block) == pool, "block of the pool");
    QORSpecializedDelete(block, nullptr);
    std::size_t freeBytes = 0;
    Check(QORSysPoolGetFreeSpace(pool, &freeBytes, nullptr) == -1 && freeBytes == 32768 - 112,
          "the pool is empty again");
    Check(QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY) == 0, "pool destruction");
    return gFailures == 0 ? 0 : 1;
}
