// Loading of the hook library and the nine dispatchers. Each entry point found keeps one load
// reference on the library for the life of the process; a name that is not found gives its load
// back at once. A library that does not load is named on stderr in checked mode only.
#include "Hooks.h"

#include "../platform/Platform.h"
#include "PoolInterface.h"

#include <cstdio>
#include <cstring>

namespace qor::hooks {

namespace {

// Resolution order is fixed, one load per name in this order: a hook library may count its loads.
constexpr const char* kEntryPointNames[] = {"QORGetDelta",
                                            "QORSignalMalloc",
                                            "QORSignalFree",
                                            "QORSignalMallocFailure",
                                            "QORSignalInvalidPtr",
                                            "QORSignalPoolCreation",
                                            "QORSignalSubPoolCreation",
                                            "QORSignalPoolFlush",
                                            "QORSignalSubPoolFlushed"};

// A library that cannot be loaded leaves its hooks out without a word. Checked mode, whose business
// is to name mistakes, says it on stderr, once (`told`), with the loader's reason.
void TellLoadFailure(const char* fileName, bool& told) {
    const char* reason = platform::LibraryError();
    if (told || !State().config.checks) return;
    told = true;
    PrintToStream(
        stderr, "QORSysAllocatorInstrum: cannot load the hook library %s, its hooks are off: %s\n",
        fileName, reason != nullptr ? reason : "no reason given");
}

void* LookUp(const char* entryPointName, bool& loadFailureTold) {
    constexpr char kSuffix[] = ".dll";
    char fileName[kHookBaseNameBytes + sizeof(kSuffix)];
    // The precision bounds the name where the compiler can see it: the array is a member of a
    // larger object, and the terminator LoadHooks writes is out of the compiler's sight.
    std::snprintf(fileName, sizeof(fileName), "%.*s%s", int(kHookBaseNameBytes - 1),
                  State().hookLibraryBaseName, kSuffix);

    platform::ModuleHandle library = platform::OpenLibrary(fileName);
    if (library == nullptr) {
        TellLoadFailure(fileName, loadFailureTold);
        return nullptr;
    }
    void* address = platform::FindSymbol(library, entryPointName);
    if (address == nullptr) platform::CloseLibrary(library);
    return address;
}

template <typename Fn> void LookUpAs(Fn& entryPoint, std::size_t index, bool& loadFailureTold) {
    entryPoint = reinterpret_cast<Fn>(LookUp(kEntryPointNames[index], loadFailureTold));
}

// The entry point's answer, or 0 when the library does not have it.
template <auto Member, typename... Args> int Dispatch(Args... args) {
    const auto entryPoint = State().hooks.*Member;
    return entryPoint != nullptr ? entryPoint(args...) : 0;
}

} // namespace

void LoadHooks(const char* libraryBaseName) {
    Runtime& state = State();
    if (libraryBaseName != nullptr) {
        // The last byte is always the terminator: a longer name is cut to 63 characters.
        std::strncpy(state.hookLibraryBaseName, libraryBaseName, kHookBaseNameBytes - 1);
        state.hookLibraryBaseName[kHookBaseNameBytes - 1] = '\0';
    }
    if (state.hooksLoaded) return;
    HookEntryPoints& hooks = state.hooks;
    bool told = false;
    LookUpAs(hooks.getDelta, 0, told);
    LookUpAs(hooks.signalMalloc, 1, told);
    LookUpAs(hooks.signalFree, 2, told);
    LookUpAs(hooks.signalMallocFailure, 3, told);
    LookUpAs(hooks.signalInvalidPtr, 4, told);
    LookUpAs(hooks.signalPoolCreation, 5, told);
    LookUpAs(hooks.signalSubPoolCreation, 6, told);
    LookUpAs(hooks.signalPoolFlush, 7, told);
    LookUpAs(hooks.signalSubPoolFlushed, 8, told);
    state.hooksLoaded = true;
}

int QORGetDelta(std::size_t size, void* pool, void* param, int n) {
    return Dispatch<&HookEntryPoints::getDelta>(size, pool, param, n);
}

int QORSignalMalloc(void* block, std::size_t size, void* pool, void* param, int n) {
    return Dispatch<&HookEntryPoints::signalMalloc>(block, size, pool, param, n);
}

int QORSignalFree(void* block, void* owner, std::size_t size) {
    return Dispatch<&HookEntryPoints::signalFree>(block, owner, size);
}

int QORSignalMallocFailure(void* block, std::size_t size, void* pool, void* param, int n) {
    return Dispatch<&HookEntryPoints::signalMallocFailure>(block, size, pool, param, n);
}

int QORSignalInvalidPtr(void* address, std::intptr_t code, std::uintptr_t a, std::uintptr_t b,
                        const char* tag) {
    return Dispatch<&HookEntryPoints::signalInvalidPtr>(address, code, a, b, tag);
}

int QORSignalPoolCreation(void* pool, std::size_t size, int flags, const char* name,
                          void* firstArea, std::size_t areaBytes) {
    return Dispatch<&HookEntryPoints::signalPoolCreation>(pool, size, flags, name, firstArea,
                                                          areaBytes);
}

int QORSignalSubPoolCreation(void* pool, void* chunk, std::size_t chunkFree, std::uintptr_t zero,
                             void* firstArea, std::size_t areaBytes) {
    return Dispatch<&HookEntryPoints::signalSubPoolCreation>(pool, chunk, chunkFree, zero,
                                                             firstArea, areaBytes);
}

int QORSignalPoolFlush(void* pool, int mode) {
    return Dispatch<&HookEntryPoints::signalPoolFlush>(pool, mode);
}

int QORSignalSubPoolFlushed(void* pool, void* chunk, std::size_t chunkFree, std::uintptr_t zero,
                            void* firstArea, std::size_t areaBytes) {
    return Dispatch<&HookEntryPoints::signalSubPoolFlushed>(pool, chunk, chunkFree, zero, firstArea,
                                                            areaBytes);
}

} // namespace qor::hooks
