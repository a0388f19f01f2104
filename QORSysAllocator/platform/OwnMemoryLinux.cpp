// The library's own memory in a process whose malloc the library serves: the C runtime's allocator
// reached by its own names (__libc_malloc and the others, which no preloaded library replaces),
// and spans of whole 64 KB granules marked in a two-level map of two bits per granule.
// Invariants: a granule's kSpanOwn bit is set exactly while it lies in a span that OwnAllocate or
// OwnAllocateRegion handed out and OwnFree has not taken back, its kSpanRegion bit while that span
// is a region; every span starts on a granule and is recorded in the span
// table with its bytes; a leaf, once published, stays for the life of the process.
#include "Platform.h"

#include "QORMutex.h"

#include <atomic>
#include <cstring>
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>

extern "C" {
void* __libc_malloc(std::size_t bytes);
void* __libc_calloc(std::size_t count, std::size_t bytes);
void* __libc_realloc(void* memory, std::size_t bytes);
void* __libc_memalign(std::size_t alignment, std::size_t bytes);
void __libc_free(void* memory);
}

namespace qor::platform {

bool gOwnMemory = false;
std::atomic<std::uint64_t*> gSpanLeaves[kSpanLeafCount] = {};

namespace {

constexpr unsigned kGranuleShift = 16;
static_assert(kSpanGranuleBytes == std::size_t{1} << kGranuleShift);
constexpr std::size_t kLeafWords = (std::size_t{2} << (kSpanLeafShift - kGranuleShift)) / 64;

// Span table: open addressing on the span's start, `bytes` 0 for a free slot and ~0 for a
// tombstone. Guarded by gSpanLock, like every change of the bitmap.
struct SpanSlot {
    std::uintptr_t start;
    std::size_t bytes;
};
constexpr std::size_t kTombstone = ~std::size_t{0};

QORMutex gSpanLock{0, 0, 0};
SpanSlot* gSpans = nullptr;
std::size_t gSpanCapacity = 0; // a power of two
std::size_t gSpansUsed = 0;    // live slots and tombstones

std::size_t Hash(std::uintptr_t start) {
    return static_cast<std::size_t>((start >> kGranuleShift) * 0x9E3779B97F4A7C15ull);
}

// The slot of `start`, or the first free slot of its chain (null when the table is empty).
SpanSlot* FindSlot(std::uintptr_t start) {
    if (gSpanCapacity == 0) return nullptr;
    SpanSlot* reusable = nullptr;
    for (std::size_t i = Hash(start) & (gSpanCapacity - 1);; i = (i + 1) & (gSpanCapacity - 1)) {
        SpanSlot& slot = gSpans[i];
        if (slot.bytes == 0) return reusable != nullptr ? reusable : &slot;
        if (slot.bytes == kTombstone) {
            if (reusable == nullptr) reusable = &slot;
        } else if (slot.start == start) {
            return &slot;
        }
    }
}

bool GrowSpanTable() {
    const std::size_t capacity = gSpanCapacity == 0 ? 256 : gSpanCapacity * 2;
    auto* table = static_cast<SpanSlot*>(__libc_calloc(capacity, sizeof(SpanSlot)));
    if (table == nullptr) return false;
    SpanSlot* old = gSpans;
    const std::size_t oldCapacity = gSpanCapacity;
    gSpans = table;
    gSpanCapacity = capacity;
    gSpansUsed = 0;
    for (std::size_t i = 0; i < oldCapacity; ++i)
        if (old[i].bytes != 0 && old[i].bytes != kTombstone) {
            *FindSlot(old[i].start) = old[i];
            ++gSpansUsed;
        }
    __libc_free(old);
    return true;
}

// Sets the bits of [start, start + bytes) to `bits` (0 clears them). False when a leaf cannot be
// had (nothing is then marked).
bool Mark(std::uintptr_t start, std::size_t bytes, unsigned bits) {
    const std::uintptr_t end = start + bytes;
    for (std::uintptr_t leafStart = start; leafStart < end;
         leafStart = (leafStart | ((std::uintptr_t{1} << kSpanLeafShift) - 1)) + 1) {
        std::atomic<std::uint64_t*>& leafSlot = gSpanLeaves[leafStart >> kSpanLeafShift];
        if (leafSlot.load(std::memory_order_relaxed) == nullptr) {
            auto* leaf = static_cast<std::uint64_t*>(__libc_calloc(kLeafWords, 8));
            if (leaf == nullptr) return false;
            leafSlot.store(leaf, std::memory_order_release);
        }
    }
    for (std::uintptr_t at = start; at < end; at += kSpanGranuleBytes) {
        std::uint64_t* leaf = gSpanLeaves[at >> kSpanLeafShift].load(std::memory_order_relaxed);
        const std::size_t bit = 2 * ((at >> kGranuleShift) & (kLeafWords * 32 - 1));
        __atomic_fetch_and(&leaf[bit >> 6], ~(std::uint64_t{3} << (bit & 63)), __ATOMIC_RELAXED);
        __atomic_fetch_or(&leaf[bit >> 6], std::uint64_t{bits} << (bit & 63), __ATOMIC_RELAXED);
    }
    return true;
}

void* AllocateSpan(std::size_t bytes, std::size_t alignment, unsigned bits) {
    const std::size_t spanBytes = (bytes + kSpanGranuleBytes - 1) & ~(kSpanGranuleBytes - 1);
    if (spanBytes < bytes) return nullptr;
    void* span =
        __libc_memalign(alignment < kSpanGranuleBytes ? kSpanGranuleBytes : alignment, spanBytes);
    if (span == nullptr) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(span);
    gSpanLock.Lock();
    bool recorded = (gSpansUsed + 1) * 4 <= gSpanCapacity * 3 || GrowSpanTable();
    if (recorded) {
        SpanSlot* slot = FindSlot(start);
        if (slot->bytes == 0) ++gSpansUsed;
        *slot = SpanSlot{start, spanBytes};
        recorded = Mark(start, spanBytes, bits);
        if (!recorded) slot->bytes = kTombstone;
    }
    gSpanLock.Unlock();
    if (recorded) return span;
    __libc_free(span);
    return nullptr;
}

// False when `memory` starts no span.
bool FreeSpan(void* memory) {
    const auto start = reinterpret_cast<std::uintptr_t>(memory);
    gSpanLock.Lock();
    SpanSlot* slot = FindSlot(start);
    const bool found =
        slot != nullptr && slot->bytes != 0 && slot->bytes != kTombstone && slot->start == start;
    if (found) {
        Mark(start, slot->bytes, 0);
        slot->bytes = kTombstone;
    }
    gSpanLock.Unlock();
    if (found) __libc_free(memory);
    return found;
}

} // namespace

void UseOwnMemory() { gOwnMemory = true; }

void* OwnAllocate(std::size_t bytes, std::size_t alignment) {
    if (bytes >= kSpanBytes) return AllocateSpan(bytes, alignment, kSpanOwn);
    return alignment <= 16 ? __libc_malloc(bytes) : __libc_memalign(alignment, bytes);
}

void* OwnAllocateRegion(std::size_t bytes) {
    return AllocateSpan(bytes, kSpanGranuleBytes, kSpanOwn | kSpanRegion);
}

void OwnFree(void* memory) {
    if (memory == nullptr) return;
    if (SpanKindOf(memory) != 0 && FreeSpan(memory)) return;
    __libc_free(memory);
}

void* RuntimeAllocate(std::size_t bytes) { return __libc_malloc(bytes); }
void* RuntimeAllocateZeroed(std::size_t bytes) { return __libc_calloc(1, bytes); }
void* RuntimeAllocateAligned(std::size_t alignment, std::size_t bytes) {
    return __libc_memalign(alignment, bytes);
}
void* RuntimeReallocate(void* memory, std::size_t bytes) { return __libc_realloc(memory, bytes); }
void RuntimeFree(void* memory) { __libc_free(memory); }

std::size_t RuntimeUsableBytes(void* memory) {
    // RTLD_NOLOAD: the C library is loaded already; a handle's search starts in that object.
    using UsableSize = std::size_t (*)(void*);
    static auto real = [] {
        void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
        return libc != nullptr ? reinterpret_cast<UsableSize>(dlsym(libc, "malloc_usable_size"))
                               : nullptr;
    }();
    return real != nullptr ? real(memory) : 0;
}

bool RegisterForkHandlers(void (*prepare)(), void (*parent)(), void (*child)()) {
    return pthread_atfork(prepare, parent, child) == 0;
}

void Yield() { sched_yield(); }

} // namespace qor::platform
