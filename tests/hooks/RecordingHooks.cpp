// A hook library for the instrumentation tests: records every hook call with its arguments and
// answers a release with the delta that its block got at allocation.
// Built with QOR_TEST_HOOKS_MALLOC_ONLY it exports QORSignalMalloc alone of the nine entry points.
// Only the one test thread calls it, so the state needs no lock.
#include "hooks/RecordingHooks.h"

#include <cstdio>
#include <cstring>

#define QOR_TEST_HOOK extern "C" __attribute__((visibility("default")))

namespace {

using namespace qor::testhooks;

HookState gState;

template <typename... Words> void Record(Event event, const char* text, Words... words) {
    static_assert(sizeof...(Words) <= kMaxArguments);
    if (gState.callCount == kMaxCalls) {
        ++gState.droppedCalls;
        return;
    }
    Call& call = gState.calls[gState.callCount++];
    call = Call{event, {static_cast<std::uintptr_t>(words)...}, {}};
    if (text != nullptr) std::strncpy(call.text, text, kTextBytes - 1);
}

std::uintptr_t Word(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

std::uintptr_t Word(int value) {
    return static_cast<std::uintptr_t>(static_cast<std::intptr_t>(value));
}

void RememberDelta(std::uintptr_t callerAddress, int delta) {
    if (delta == 0) return;
    if (gState.liveCount == kMaxLiveDeltas) {
        ++gState.droppedCalls;
        return;
    }
    gState.live[gState.liveCount++] = LiveDelta{callerAddress, delta};
}

// The delta given to the block that the caller knows by `callerAddress`, forgotten once told.
[[maybe_unused]] int TakeDelta(std::uintptr_t callerAddress) {
    for (std::size_t i = gState.liveCount; i-- > 0;) {
        if (gState.live[i].callerAddress != callerAddress) continue;
        const int delta = gState.live[i].delta;
        gState.live[i] = gState.live[--gState.liveCount];
        return delta;
    }
    return 0;
}

const Call* CreationOf(std::uintptr_t pool, std::size_t before) {
    for (std::size_t i = before; i-- > 0;)
        if (gState.calls[i].event == Event::PoolCreation && gState.calls[i].args[0] == pool)
            return &gState.calls[i];
    return nullptr;
}

// Runs when the library is unloaded at process exit, after the exit list of the program (the
// allocator's exit clean-up included), so it sees every flush that the clean-up made.
__attribute__((destructor)) void DumpFlushesAtUnload() {
    if (!gState.dumpFlushesAtExit) return;
    std::fputs(kDumpBegin, stderr);
    for (std::size_t i = gState.dumpFrom; i < gState.callCount; ++i) {
        const Call& call = gState.calls[i];
        if (call.event != Event::PoolFlush) continue;
        const Call* creation = CreationOf(call.args[0], i);
        std::fprintf(stderr, "PoolFlush %s 0x%x %d\n", creation ? creation->text : "?",
                     creation ? static_cast<unsigned>(creation->args[2]) : 0u,
                     static_cast<int>(call.args[1]));
    }
    std::fputs(kDumpEnd, stderr);
}

} // namespace

QOR_TEST_HOOK HookState* QORTestHookState() { return &gState; }

QOR_TEST_HOOK int QORSignalMalloc(void* block, std::size_t size, void* pool, void* param, int n) {
    Record(Event::Malloc, nullptr, Word(block), size, Word(pool), Word(param), Word(n));
    RememberDelta(Word(block) + static_cast<std::uintptr_t>(Word(gState.pendingDelta)),
                  gState.pendingDelta);
    gState.pendingDelta = 0;
    return 0;
}

#ifndef QOR_TEST_HOOKS_MALLOC_ONLY

QOR_TEST_HOOK int QORGetDelta(std::size_t size, void* pool, void* param, int n) {
    Record(Event::GetDelta, nullptr, size, Word(pool), Word(param), Word(n));
    if (size == ~std::size_t{0}) return TakeDelta(Word(param));
    gState.pendingDelta = gState.allocationDelta;
    return gState.pendingDelta;
}

QOR_TEST_HOOK int QORSignalFree(void* block, void* owner, std::size_t size) {
    Record(Event::Free, nullptr, Word(block), Word(owner), size);
    return 0;
}

QOR_TEST_HOOK int QORSignalMallocFailure(void* block, std::size_t size, void* pool, void* param,
                                         int n) {
    Record(Event::MallocFailure, nullptr, Word(block), size, Word(pool), Word(param), Word(n));
    gState.pendingDelta = 0;
    return 0;
}

QOR_TEST_HOOK int QORSignalInvalidPtr(void* address, std::intptr_t code, std::uintptr_t a,
                                      std::uintptr_t b, const char* tag) {
    Record(Event::InvalidPtr, tag, Word(address), code, a, b, Word(tag));
    return 0;
}

QOR_TEST_HOOK int QORSignalPoolCreation(void* pool, std::size_t size, int flags, const char* name,
                                        void* firstArea, std::size_t areaBytes) {
    Record(Event::PoolCreation, name, Word(pool), size, Word(flags), Word(name), Word(firstArea),
           areaBytes);
    return 0;
}

QOR_TEST_HOOK int QORSignalSubPoolCreation(void* pool, void* chunk, std::size_t chunkFree,
                                           std::uintptr_t zero, void* firstArea,
                                           std::size_t areaBytes) {
    Record(Event::SubPoolCreation, nullptr, Word(pool), Word(chunk), chunkFree, zero,
           Word(firstArea), areaBytes);
    return 0;
}

QOR_TEST_HOOK int QORSignalPoolFlush(void* pool, int mode) {
    Record(Event::PoolFlush, nullptr, Word(pool), Word(mode));
    return 0;
}

QOR_TEST_HOOK int QORSignalSubPoolFlushed(void* pool, void* chunk, std::size_t chunkFree,
                                          std::uintptr_t zero, void* firstArea,
                                          std::size_t areaBytes) {
    Record(Event::SubPoolFlushed, nullptr, Word(pool), Word(chunk), chunkFree, zero,
           Word(firstArea), areaBytes);
    return 0;
}

#endif
