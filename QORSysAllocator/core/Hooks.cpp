// Loading of the hook library and the nine dispatchers. Each entry point found keeps one load
// reference on the library for the life of the process; a name that is not found gives its load
// back at once.
#include "Hooks.h"

#include "../platform/Platform.h"

#include <cstdio>
#include <cstring>

namespace qor::hooks {

int gInstrumentationState = 0;

namespace {

using GetDeltaFn = int (*)(std::size_t, void*, void*, int);
using MallocFn = int (*)(void*, std::size_t, void*, void*, int);
using FreeFn = int (*)(void*, void*, std::size_t);
using InvalidPtrFn = int (*)(void*, std::intptr_t, std::uintptr_t, std::uintptr_t, const char*);
using PoolCreationFn = int (*)(void*, std::size_t, int, const char*, void*, std::size_t);
using ChunkEventFn = int (*)(void*, void*, std::size_t, std::uintptr_t, void*, std::size_t);
using PoolFlushFn = int (*)(void*, int);

struct Slots {
    GetDeltaFn getDelta;
    MallocFn signalMalloc;
    FreeFn signalFree;
    MallocFn signalMallocFailure;
    InvalidPtrFn signalInvalidPtr;
    PoolCreationFn signalPoolCreation;
    ChunkEventFn signalSubPoolCreation;
    PoolFlushFn signalPoolFlush;
    ChunkEventFn signalSubPoolFlushed;
};

// Resolution order is part of the contract: one load per name, in this order.
constexpr const char* kEntryPointNames[] = {"QORGetDelta",
                                            "QORSignalMalloc",
                                            "QORSignalFree",
                                            "QORSignalMallocFailure",
                                            "QORSignalInvalidPtr",
                                            "QORSignalPoolCreation",
                                            "QORSignalSubPoolCreation",
                                            "QORSignalPoolFlush",
                                            "QORSignalSubPoolFlushed"};

constexpr std::size_t kBaseNameBytes = 64;
char gLibraryBaseName[kBaseNameBytes];
int gHooksLoaded = 0;
Slots gSlots{};

void* LookUp(const char* entryPointName) {
    constexpr char kSuffix[] = ".dll";
    char fileName[kBaseNameBytes + sizeof(kSuffix)];
    std::snprintf(fileName, sizeof(fileName), "%s%s", gLibraryBaseName, kSuffix);

    platform::ModuleHandle library = platform::OpenLibrary(fileName);
    if (library == nullptr) return nullptr;
    void* address = platform::FindSymbol(library, entryPointName);
    if (address == nullptr) platform::CloseLibrary(library);
    return address;
}

template <typename Fn> Fn LookUpAs(std::size_t index) {
    return reinterpret_cast<Fn>(LookUp(kEntryPointNames[index]));
}

} // namespace

void LoadHooks(const char* libraryBaseName) {
    if (libraryBaseName != nullptr) {
        // The last byte is always the terminator: a longer name is cut to 63 characters.
        std::strncpy(gLibraryBaseName, libraryBaseName, kBaseNameBytes - 1);
        gLibraryBaseName[kBaseNameBytes - 1] = '\0';
    }
    if (gHooksLoaded) return;
    gSlots.getDelta = LookUpAs<GetDeltaFn>(0);
    gSlots.signalMalloc = LookUpAs<MallocFn>(1);
    gSlots.signalFree = LookUpAs<FreeFn>(2);
    gSlots.signalMallocFailure = LookUpAs<MallocFn>(3);
    gSlots.signalInvalidPtr = LookUpAs<InvalidPtrFn>(4);
    gSlots.signalPoolCreation = LookUpAs<PoolCreationFn>(5);
    gSlots.signalSubPoolCreation = LookUpAs<ChunkEventFn>(6);
    gSlots.signalPoolFlush = LookUpAs<PoolFlushFn>(7);
    gSlots.signalSubPoolFlushed = LookUpAs<ChunkEventFn>(8);
    gHooksLoaded = -1;
}

int QORGetDelta(std::size_t size, void* pool, void* param, int n) {
    return gSlots.getDelta ? gSlots.getDelta(size, pool, param, n) : 0;
}

int QORSignalMalloc(void* block, std::size_t size, void* pool, void* param, int n) {
    return gSlots.signalMalloc ? gSlots.signalMalloc(block, size, pool, param, n) : 0;
}

int QORSignalFree(void* block, void* owner, std::size_t size) {
    return gSlots.signalFree ? gSlots.signalFree(block, owner, size) : 0;
}

int QORSignalMallocFailure(void* block, std::size_t size, void* pool, void* param, int n) {
    return gSlots.signalMallocFailure ? gSlots.signalMallocFailure(block, size, pool, param, n) : 0;
}

int QORSignalInvalidPtr(void* address, std::intptr_t code, std::uintptr_t a, std::uintptr_t b,
                        const char* tag) {
    return gSlots.signalInvalidPtr ? gSlots.signalInvalidPtr(address, code, a, b, tag) : 0;
}

int QORSignalPoolCreation(void* pool, std::size_t size, int flags, const char* name,
                          void* firstArea, std::size_t areaBytes) {
    return gSlots.signalPoolCreation
               ? gSlots.signalPoolCreation(pool, size, flags, name, firstArea, areaBytes)
               : 0;
}

int QORSignalSubPoolCreation(void* pool, void* chunk, std::size_t chunkFree, std::uintptr_t zero,
                             void* firstArea, std::size_t areaBytes) {
    return gSlots.signalSubPoolCreation
               ? gSlots.signalSubPoolCreation(pool, chunk, chunkFree, zero, firstArea, areaBytes)
               : 0;
}

int QORSignalPoolFlush(void* pool, int mode) {
    return gSlots.signalPoolFlush ? gSlots.signalPoolFlush(pool, mode) : 0;
}

int QORSignalSubPoolFlushed(void* pool, void* chunk, std::size_t chunkFree, std::uintptr_t zero,
                            void* firstArea, std::size_t areaBytes) {
    return gSlots.signalSubPoolFlushed
               ? gSlots.signalSubPoolFlushed(pool, chunk, chunkFree, zero, firstArea, areaBytes)
               : 0;
}

} // namespace qor::hooks
