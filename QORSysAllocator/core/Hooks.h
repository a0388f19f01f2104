// Instrumentation hooks: nine optional entry points of a library named by QORSysAllocatorInstrum.
// Each dispatcher returns 0 when its entry point is missing. Call sites test On() first, so that
// instrumentation off costs one predictable branch.
// Invariant: the entry points are written once, by LoadHooks during the configuration, and only
// read after.
#pragma once

#include "Runtime.h"

#include <cstddef>
#include <cstdint>

namespace qor::hooks {

// The variable is set, whether or not its library could be loaded.
inline bool On() { return __builtin_expect(State().instrumented, 0); }

// Copies `libraryBaseName` (at most 63 characters are kept) and, once per process, resolves the
// nine entry points in "<name>.dll".
void LoadHooks(const char* libraryBaseName);

int QORGetDelta(std::size_t size, void* pool, void* param, int n);
int QORSignalMalloc(void* block, std::size_t size, void* pool, void* param, int n);
int QORSignalFree(void* block, void* owner, std::size_t size);
int QORSignalMallocFailure(void* block, std::size_t size, void* pool, void* param, int n);
int QORSignalInvalidPtr(void* address, std::intptr_t code, std::uintptr_t a, std::uintptr_t b,
                        const char* tag);
int QORSignalPoolCreation(void* pool, std::size_t size, int flags, const char* name,
                          void* firstArea, std::size_t areaBytes);
int QORSignalSubPoolCreation(void* pool, void* chunk, std::size_t chunkFree, std::uintptr_t zero,
                             void* firstArea, std::size_t areaBytes);
int QORSignalPoolFlush(void* pool, int mode);
int QORSignalSubPoolFlushed(void* pool, void* chunk, std::size_t chunkFree, std::uintptr_t zero,
                            void* firstArea, std::size_t areaBytes);

} // namespace qor::hooks
