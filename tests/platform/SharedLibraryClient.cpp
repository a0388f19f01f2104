// Linked against the shared library alone: the exported interface serves every route and a pool.
#include "QORSysAllocator.h"

#include <initializer_list>

static void* Ptr(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

int main() {
    void* pool = QORSysCreatePool(0, 1000);
    int failures = (ORVANTIS_ZULX_INTERNAL_QORSysAllocator() != 1) + (pool == nullptr);
    for (void* route : {Ptr(0), Ptr(1), Ptr(4), Ptr(32), pool}) {
        void* block = QORSpecializedNew(100, route, nullptr, 0);
        failures += block == nullptr;
        QORSpecializedDelete(block, QORSysGetAllocatorFromAddress(block));
    }
    return failures + QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY); // 0: all passed
}
