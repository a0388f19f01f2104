// A hook library for the instrumentation tests: logs every call and gives every block kDelta
// bytes (its answer at a release, too). With QOR_TEST_HOOKS_MALLOC_ONLY: QORSignalMalloc alone.
#include "hooks/RecordingHooks.h"

#define QOR_TEST_EXPORT extern "C" __attribute__((visibility("default")))

using namespace qor::testhooks;
using std::size_t;

static std::string* const gLog = new std::string; // never destroyed: a test reads it at exit

template <typename... Args> static int Log(const char* hook, Args... args) {
    *gLog += Call(hook, args...);
    return 0;
}

QOR_TEST_EXPORT std::string* QORTestHookLog() { return gLog; }

QOR_TEST_EXPORT int QORSignalMalloc(void* block, size_t size, void* pool, void* param, int n) {
    return Log("Malloc", block, size, pool, param, n);
}

#ifndef QOR_TEST_HOOKS_MALLOC_ONLY
QOR_TEST_EXPORT int QORGetDelta(size_t size, void* pool, void* param, int n) {
    return Log("GetDelta", size, pool, param, n) + kDelta;
}

QOR_TEST_EXPORT int QORSignalFree(void* block, void* owner, size_t size) {
    return Log("Free", block, owner, size);
}

QOR_TEST_EXPORT int QORSignalMallocFailure(void* block, size_t size, void* pool, void* param,
                                           int n) {
    return Log("MallocFailure", block, size, pool, param, n);
}

QOR_TEST_EXPORT int QORSignalInvalidPtr(void* p, std::intptr_t code, std::uintptr_t a,
                                        std::uintptr_t b, const char* tag) {
    return Log("InvalidPtr", p, code, a, b, tag);
}

QOR_TEST_EXPORT int QORSignalPoolCreation(void* pool, size_t size, int flags, const char* name,
                                          void* area, size_t bytes) {
    return Log("PoolCreation", pool, size, flags, name, area, bytes);
}

QOR_TEST_EXPORT int QORSignalSubPoolCreation(void* pool, void* chunk, size_t chunkFree,
                                             std::uintptr_t zero, void* area, size_t bytes) {
    return Log("SubPoolCreation", pool, chunk, chunkFree, zero, area, bytes);
}

QOR_TEST_EXPORT int QORSignalPoolFlush(void* pool, int mode) {
    return Log("PoolFlush", pool, mode);
}

QOR_TEST_EXPORT int QORSignalSubPoolFlushed(void* pool, void* chunk, size_t chunkFree,
                                            std::uintptr_t zero, void* area, size_t bytes) {
    return Log("SubPoolFlushed", pool, chunk, chunkFree, zero, area, bytes);
}
#endif
