// The C allocator served from the library (libQORSysMalloc.so): what malloc, free and their
// family, and the global operator new and delete, come to. Blocks come from the thread-safe pool
// through the per-thread caches; requests above kLargestPooledBytes get a span of their own.
// Invariants: every pointer handed out lies in a span of the library's own memory, is 16-aligned
// (or aligned as asked), and the 16 bytes in front of it say how to release it: a pool block's
// header, or a marker (distance to the pool block or span it lies in, tag in the low 4 bits).
// A pointer outside those spans is the C runtime's (allocated before the override served the
// process, or during its start) and goes back to it.
#pragma once

#include <cstddef>

namespace qor::override {

constexpr std::size_t kLargestPooledBytes = 0x40000;

// Null (errno ENOMEM) when no memory can be had.
void* Allocate(std::size_t bytes);
// Requires: `alignment` a power of two. Null (errno ENOMEM) when no memory can be had.
void* AllocateAligned(std::size_t alignment, std::size_t bytes);
// Null does nothing.
void Release(void* memory);
// Null for a null `memory` is Allocate; bytes 0 releases and answers null, as glibc does. Null
// (errno ENOMEM, `memory` untouched) when no memory can be had.
void* Reallocate(void* memory, std::size_t bytes);
// The bytes the caller may use from `memory` on, at least those asked for; 0 for null.
std::size_t UsableBytes(void* memory);

} // namespace qor::override
