// Default virtual operations of the pool tree, the pool registry and the shared routines.
#include "PoolInterface.h"

#include "DebugTier.h"

#include "../platform/Platform.h"

#include <cstdarg>
#include <cstdlib>

namespace qor {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof" // single inheritance: offsets are fixed
static_assert(sizeof(SubPool) == 64 && offsetof(SubPool, chunk) == kChunkFieldsOffset,
              "a chunk header is 64 bytes with its fields after the first word");
static_assert(sizeof(PoolBase) == 80 && offsetof(PoolBase, nextPool) == 64 &&
                  offsetof(PoolBase, mutex) == 72,
              "the abstract pool adds the registry link and the mutex");
#pragma GCC diagnostic pop

int SubPool::IsPool() { return 0; }
int SubPool::IsEmpty() { return ChunkIsEmpty() ? -1 : 0; }
std::size_t SubPool::GetBlockSize(void*) { return 0; }

int PoolBase::IsPool() { return -1; }
int PoolBase::CanAttachSwapFile(QORSysSwapFile*) { return 0; }

void PoolBase::Register() {
    ScopedLock registry(State().registryLock);
    nextPool = State().poolRegistry;
    State().poolRegistry = this;
}

void PoolBase::Unregister() {
    ScopedLock registry(State().registryLock);
    PoolBase** link = &State().poolRegistry;
    while (*link != nullptr && *link != this)
        link = &(*link)->nextPool;
    if (*link == this) *link = nextPool;
}

void* AllocateChunkMemory(std::size_t size, int mode) {
    constexpr std::size_t kMinimumChunk = 0x8000;
    if (mode == 1) size = size < kMinimumChunk ? kMinimumChunk : size & ~std::size_t{0x3FF};
    return platform::Malloc(size);
}

void FreeIfNotNull(void* memory) {
    if (memory != nullptr) platform::Free(memory);
}

void AbortWithMessage(const char* text) {
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
    platform::BreakIntoDebugger();
    std::abort();
}

void debug::Broken(const char* operation, const CheckResult& result) {
    char text[512];
    std::snprintf(text, sizeof text, "Invariant broken after %s: %s", operation, result.Text());
    AbortWithMessage(text);
}

void PrintToStream(FILE* stream, const char* format, ...) {
    if (stream == nullptr) return;
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stream, format, arguments);
    va_end(arguments);
}

void ReleaseThroughOwner(void* chunk, void* block) {
    PoolBase* owner = FieldsOf(chunk)->owner;
    if (owner == nullptr) return;
    owner->Free(block, chunk == owner ? nullptr : chunk);
}

void* ReallocateThroughOwner(void* chunk, std::size_t size, void* block) {
    PoolBase* owner = FieldsOf(chunk)->owner;
    return owner == nullptr ? nullptr : owner->Reallocate(size, block, chunk);
}

} // namespace qor
