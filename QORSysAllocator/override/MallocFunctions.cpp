// The names a process allocates by: the C allocator's functions and every form of the global
// operator new and delete, each the override's call (Override.h) under the C library's rules for
// its arguments and results. These are the only names libQORSysMalloc.so exports.
#include "Override.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <malloc.h>
#include <new>

#define QOR_MALLOC_API [[gnu::visibility("default")]]

using namespace qor::override;

namespace {

constexpr std::size_t kPageBytes = 4096;

inline bool IsPowerOfTwo(std::size_t value) { return value != 0 && (value & (value - 1)) == 0; }

// operator new's loop: the new-handler may make room, or throw, or give up (bad_alloc).
void* NewOrThrow(std::size_t bytes, std::size_t alignment) {
    for (;;) {
        if (void* memory = AllocateAligned(alignment, bytes)) return memory;
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

void* NewOrNull(std::size_t bytes, std::size_t alignment) noexcept {
    try {
        return NewOrThrow(bytes, alignment);
    } catch (...) {
        return nullptr;
    }
}

inline std::size_t Alignment(std::align_val_t alignment) {
    return static_cast<std::size_t>(alignment);
}

} // namespace

extern "C" {

QOR_MALLOC_API void* malloc(std::size_t bytes) noexcept { return Allocate(bytes); }

QOR_MALLOC_API void free(void* memory) noexcept { Release(memory); }

QOR_MALLOC_API void* calloc(std::size_t count, std::size_t bytes) noexcept {
    return AllocateZeroed(count, bytes);
}

QOR_MALLOC_API void* realloc(void* memory, std::size_t bytes) noexcept {
    return Reallocate(memory, bytes);
}

QOR_MALLOC_API void* reallocarray(void* memory, std::size_t count, std::size_t bytes) noexcept {
    std::size_t total;
    if (__builtin_mul_overflow(count, bytes, &total)) {
        errno = ENOMEM;
        return nullptr;
    }
    return Reallocate(memory, total);
}

// posix_memalign reports by its result and leaves errno as it was.
QOR_MALLOC_API int posix_memalign(void** memory, std::size_t alignment,
                                  std::size_t bytes) noexcept {
    if (!IsPowerOfTwo(alignment) || alignment % sizeof(void*) != 0) return EINVAL;
    const int saved = errno;
    void* block = AllocateAligned(alignment, bytes);
    errno = saved;
    if (block == nullptr) return ENOMEM;
    *memory = block;
    return 0;
}

QOR_MALLOC_API void* aligned_alloc(std::size_t alignment, std::size_t bytes) noexcept {
    if (!IsPowerOfTwo(alignment)) {
        errno = EINVAL;
        return nullptr;
    }
    return AllocateAligned(alignment, bytes);
}

// As glibc's: an alignment that is not a power of two is raised to the next one.
QOR_MALLOC_API void* memalign(std::size_t alignment, std::size_t bytes) noexcept {
    if (alignment > SIZE_MAX / 2 + 1) {
        errno = EINVAL;
        return nullptr;
    }
    std::size_t power = 1;
    while (power < alignment)
        power <<= 1;
    return AllocateAligned(power, bytes);
}

QOR_MALLOC_API void* valloc(std::size_t bytes) noexcept {
    return AllocateAligned(kPageBytes, bytes);
}

// A whole number of pages, at least one.
QOR_MALLOC_API void* pvalloc(std::size_t bytes) noexcept {
    if (bytes > SIZE_MAX - kPageBytes) {
        errno = ENOMEM;
        return nullptr;
    }
    const std::size_t pages =
        bytes == 0 ? kPageBytes : (bytes + kPageBytes - 1) & ~(kPageBytes - 1);
    return AllocateAligned(kPageBytes, pages);
}

QOR_MALLOC_API std::size_t malloc_usable_size(void* memory) noexcept { return UsableBytes(memory); }

// The C library's statistics calls, answered for this allocator: arena and hblkhd are the held
// bytes (segments, huge mappings), uordblks the bytes in use, fordblks the rest of the held bytes,
// keepcost what stays resident though free.
QOR_MALLOC_API struct mallinfo2 mallinfo2() noexcept {
    const Figures figures = ReadFigures();
    struct mallinfo2 info {};
    info.arena = figures.heldBytes - figures.hugeBytes;
    info.hblks = figures.hugeBlocks;
    info.hblkhd = figures.hugeBytes;
    info.uordblks = figures.inUseBytes;
    info.fordblks =
        figures.heldBytes > figures.inUseBytes ? figures.heldBytes - figures.inUseBytes : 0;
    info.keepcost =
        figures.residentBytes > figures.inUseBytes ? figures.residentBytes - figures.inUseBytes : 0;
    return info;
}

// The older form, its fields ints (saturated).
QOR_MALLOC_API struct mallinfo mallinfo() noexcept {
    const struct mallinfo2 wide = mallinfo2();
    auto narrow = [](std::size_t value) {
        return value > INT_MAX ? INT_MAX : static_cast<int>(value);
    };
    struct mallinfo info {};
    info.arena = narrow(wide.arena);
    info.hblks = narrow(wide.hblks);
    info.hblkhd = narrow(wide.hblkhd);
    info.uordblks = narrow(wide.uordblks);
    info.fordblks = narrow(wide.fordblks);
    info.keepcost = narrow(wide.keepcost);
    return info;
}

QOR_MALLOC_API void malloc_stats() noexcept { PrintFigures(); }

// `pad` is not kept: every free page the calling thread and the ended threads hold goes back.
QOR_MALLOC_API int malloc_trim(std::size_t) noexcept { return Trim() ? 1 : 0; }

} // extern "C"

QOR_MALLOC_API void* operator new(std::size_t bytes) { return NewOrThrow(bytes, 0); }
QOR_MALLOC_API void* operator new[](std::size_t bytes) { return NewOrThrow(bytes, 0); }
QOR_MALLOC_API void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
    return NewOrNull(bytes, 0);
}
QOR_MALLOC_API void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept {
    return NewOrNull(bytes, 0);
}
QOR_MALLOC_API void* operator new(std::size_t bytes, std::align_val_t alignment) {
    return NewOrThrow(bytes, Alignment(alignment));
}
QOR_MALLOC_API void* operator new[](std::size_t bytes, std::align_val_t alignment) {
    return NewOrThrow(bytes, Alignment(alignment));
}
QOR_MALLOC_API void* operator new(std::size_t bytes, std::align_val_t alignment,
                                  const std::nothrow_t&) noexcept {
    return NewOrNull(bytes, Alignment(alignment));
}
QOR_MALLOC_API void* operator new[](std::size_t bytes, std::align_val_t alignment,
                                    const std::nothrow_t&) noexcept {
    return NewOrNull(bytes, Alignment(alignment));
}

// Every delete form releases the same way: the block tells its kind, size and alignment.
QOR_MALLOC_API void operator delete(void* memory) noexcept { Release(memory); }
QOR_MALLOC_API void operator delete[](void* memory) noexcept { Release(memory); }
QOR_MALLOC_API void operator delete(void* memory, const std::nothrow_t&) noexcept {
    Release(memory);
}
QOR_MALLOC_API void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    Release(memory);
}
QOR_MALLOC_API void operator delete(void* memory, std::size_t) noexcept { Release(memory); }
QOR_MALLOC_API void operator delete[](void* memory, std::size_t) noexcept { Release(memory); }
QOR_MALLOC_API void operator delete(void* memory, std::align_val_t) noexcept { Release(memory); }
QOR_MALLOC_API void operator delete[](void* memory, std::align_val_t) noexcept { Release(memory); }
QOR_MALLOC_API void operator delete(void* memory, std::size_t, std::align_val_t) noexcept {
    Release(memory);
}
QOR_MALLOC_API void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept {
    Release(memory);
}
QOR_MALLOC_API void operator delete(void* memory, std::align_val_t,
                                    const std::nothrow_t&) noexcept {
    Release(memory);
}
QOR_MALLOC_API void operator delete[](void* memory, std::align_val_t,
                                      const std::nothrow_t&) noexcept {
    Release(memory);
}
