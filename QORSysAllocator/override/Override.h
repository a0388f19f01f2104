// The C allocator served from the library (libQORSysMalloc.so): what malloc, free and their
// family, and the global operator new and delete, come to. By default the heap engine serves
// every request (heap/Heap.h). With the engine off (QORSysHeapEngine=OFF, checked mode or a hook
// library), a request of up to kLargestPagedBytes is served at its size class (16-byte steps to
// 128 bytes, then four per doubling) by a locked paged pool of the override's own, through the
// per-thread caches; an aligned one by an address inside a block of the thread-safe pool (up to
// kLargestAlignedPooledBytes); larger ones by the C runtime's allocator, which gives them back to
// the system as glibc does. With a hook library, every request goes to the thread-safe pool, so
// that the hooks see it; with a hook library and QORSysMallocInstrumSample, only the sampled ones
// do, and the engine serves the rest.
// Invariants: a pointer of ours is one that heap::Owns, or else one that lies in a span of the
// library's own memory; in a region span it is a paged block, elsewhere the 16 bytes
// in front of it are its general block's header or a marker (distance to the block, tag 2). Every
// other pointer is the C runtime's (a large block, or memory allocated before the override served
// the process or while it started) and goes back to it. Every pointer is 16-aligned, or aligned
// as asked.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor::override {

constexpr std::size_t kLargestPagedBytes = 3584;
constexpr std::size_t kLargestAlignedPooledBytes = 0x8000;

// Every call is noexcept, so that the C functions and operators that wrap them end in a jump.
// Null (errno ENOMEM) when no memory can be had.
void* Allocate(std::size_t bytes) noexcept;
// `count` x `bytes` bytes, all zero. Null (errno ENOMEM) when the product overflows or no memory
// can be had.
void* AllocateZeroed(std::size_t count, std::size_t bytes) noexcept;
// Requires: `alignment` a power of two. Null (errno ENOMEM) when no memory can be had.
void* AllocateAligned(std::size_t alignment, std::size_t bytes) noexcept;
// Null does nothing.
void Release(void* memory) noexcept;
// Null for a null `memory` is Allocate; bytes 0 releases and answers null, as glibc does. Null
// (errno ENOMEM, `memory` untouched) when no memory can be had.
void* Reallocate(void* memory, std::size_t bytes) noexcept;
// The bytes the caller may use from `memory` on, at least those asked for; 0 for null.
std::size_t UsableBytes(void* memory) noexcept;

// What the C library's mallinfo2, malloc_stats and malloc_trim report and do, for the memory this
// allocator serves: the heap engine's figures (Heap.h), or with the engine off the pools'.
struct Figures {
    std::size_t heldBytes;     // address space the allocator holds for blocks
    std::size_t inUseBytes;    // blocks handed out (at their served size)
    std::size_t residentBytes; // what may be resident of the held bytes
    std::size_t hugeBlocks;    // blocks mapped alone
    std::size_t hugeBytes;
};
Figures ReadFigures();
// Writes the allocator's figures, per size class and in all, to stderr.
void PrintFigures();
// Gives free memory back to the system now; true when some went back.
bool Trim();

// QORSysMallocInstrumSample as the start-up took it: the mean bytes asked for between two requests
// that the hook library sees, the engine serving the others; 0 when it sees every request.
std::uint32_t SampleBytes();

} // namespace qor::override
