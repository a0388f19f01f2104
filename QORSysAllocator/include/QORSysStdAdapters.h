// QORSysStdAdapters: the pools behind the standard C++ allocation interfaces. Header only; it
// uses nothing but the exported functions of QORSysAllocator.h.
//
//   QORSys::PoolResource        a std::pmr::memory_resource over one pool
//   QORSys::PoolAllocator<T>    an allocator for the standard containers over one pool
//   QOR_SYS_ROUTE_GLOBAL_NEW_DELETE()
//                               routes every global new and delete of a program to the
//                               heap engine (QORSysHeapNew), or to the thread-safe pool (pool
//                               argument 32) with the engine off
//
// A pool is named either by a pool object from QORSysCreatePool together with its kind, or by
// a fixed-pool argument (QORSys::FixedPool). The adapters are exactly as thread-safe as their
// pool: FixedPool::ThreadSafe and pools created with QORSysPoolFlag::LOCKED may be shared by
// threads, the others belong to one thread at a time. A pool object must outlive every block
// that an adapter took from it.
//
// Alignment. What the library gives by construction:
//   - a block with a header (heap, permanent, fast and thread-safe pools, general pool objects)
//     is aligned to 8 bytes;
//   - a paged block is slot k of its 4096-byte page, at page start + k * class, so it is aligned
//     to the lowest set bit of its size class: class 2 to 2, class 4 to 4, class 24 to 8,
//     class 48 to 16, class 64 to 64 (classes: 2, 4, then multiples of 8, below 4048).
// How a request of `bytes` aligned to `alignment` (a power of two) is served:
//   - Direct, for an alignment of at most 8 (blocks with a header) or at most 16 (paged
//     blocks): the pool's block itself. A paged request is rounded up to a multiple of the
//     alignment first, so that its class is one.
//   - Over-allocated, above those alignments: the pool gives a block B of bytes + alignment
//     bytes; the caller receives P, the first multiple of `alignment` at or after B + 8, and the
//     word just before P (P - 8, inside B) holds the offset P - B, 8 <= P - B <= alignment. The
//     release is given the same alignment (the standard interfaces repeat it), so it makes the
//     same choice; here it reads the offset and gives B back.
// The choice depends on the kind and the alignment alone, never on the configuration: a paged
// request is served directly only up to 16 because the library hands out bare malloc blocks
// (aligned to 16) when pools are cancelled. A paged pool serves classes below 4048 only: a
// request whose bytes + alignment is at most 4040 is always served; alignment 4096 is not,
// unless pools are cancelled. A hook library's delta (QORSysAllocatorInstrum) moves every
// block; a block that it leaves misaligned is given back and the request fails, so a delta that
// is a multiple of 16 keeps every guarantee.
// PoolResource and PoolAllocator throw std::bad_alloc when a request is not served. Over a paged
// pool, what no page holds goes elsewhere instead: PoolResource sends it to its upstream resource
// (the heap route by default), PoolAllocator to the heap route.
#pragma once

#include "QORSysAllocator.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <new>
#include <type_traits>

namespace QORSys {

// The kind of a pool object: General for every pool created without QORSysPoolFlag::PAGED,
// whose blocks carry a header; Paged for a pool created with it. Nothing in the public
// interface tells the two apart, so the caller says which.
enum class PoolKind { General, Paged };

// The fixed pools, by their pool argument. Only ThreadSafe may be shared by threads.
enum class FixedPool : std::uintptr_t { Heap = 0, Permanent = 1, Fast = 4, ThreadSafe = 32 };

namespace detail {

constexpr std::size_t kOffsetBytes = sizeof(std::size_t);
constexpr std::size_t kHeaderBlockAlignment = 8;
constexpr std::size_t kPagedDirectAlignment = 16;
constexpr std::uintptr_t kPoolInParam = 2;

inline std::uintptr_t Address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
inline void* Pointer(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

// How QORSysCachedNew is called for a pool, and whether its blocks are paged. A general pool
// object is named directly: when pools are inactive its requests go to the heap like all
// others, and every release finds its owner in the block's header. A paged pool is named
// through pool argument 2, which inactive pools do not bypass, because its release (with the
// paged flag) must find a page.
struct PoolRoute {
    void* argument = Pointer(std::uintptr_t(FixedPool::ThreadSafe));
    void* param = nullptr;
    bool paged = false;

    static PoolRoute Of(void* pool, PoolKind kind) noexcept {
        if (kind == PoolKind::Paged) return {Pointer(kPoolInParam), pool, true};
        return {pool, nullptr, false};
    }
    static PoolRoute Of(FixedPool fixed) noexcept {
        return {Pointer(std::uintptr_t(fixed)), nullptr, false};
    }
    void* Pool() const noexcept { return paged ? param : argument; }
    friend bool operator==(const PoolRoute&, const PoolRoute&) = default;
};

inline bool OverAllocated(const PoolRoute& route, std::size_t alignment) noexcept {
    return alignment > (route.paged ? kPagedDirectAlignment : kHeaderBlockAlignment);
}

// Whether a paged pool has a size class for the request TryAllocate makes of (bytes, alignment):
// classes stop below 4048, so that request is at most 4040 bytes (the largest multiple of 8 there).
constexpr std::size_t kLargestPagedRequest = 4040;
constexpr bool PagedServes(std::size_t bytes, std::size_t alignment) noexcept {
    if (alignment > kPagedDirectAlignment)
        return bytes <= kLargestPagedRequest && alignment <= kLargestPagedRequest - bytes;
    const std::size_t request = bytes == 0 ? 1 : bytes;
    return request <= kLargestPagedRequest &&
           ((request + alignment - 1) & ~(alignment - 1)) <= kLargestPagedRequest;
}

inline void Release(const PoolRoute& route, void* block) noexcept {
    QORSysCachedDelete(block, route.paged ? int(QORSysPoolFlag::PAGED) : 0);
}

// The block that holds an over-allocated pointer.
inline void* BlockOf(void* aligned) noexcept {
    std::size_t offset;
    std::memcpy(&offset, static_cast<char*>(aligned) - kOffsetBytes, kOffsetBytes);
    return static_cast<char*>(aligned) - offset;
}

// An over-allocated pointer's release: its block goes back, and checked mode
// (QORSysAllocatorChecks=ON) names the pointer the program holds.
inline void ReleaseOverAllocated(const PoolRoute& route, void* aligned) noexcept {
    QORSysCachedDelete(BlockOf(aligned), route.paged ? int(QORSysPoolFlag::PAGED) : 0, aligned);
}

// Requires: alignment a power of two. Null when the pool refuses, or when the block it gave
// cannot be aligned (a hook library's delta), in which case the block has gone back.
inline void* TryAllocate(const PoolRoute& route, std::size_t bytes,
                         std::size_t alignment) noexcept {
    if (bytes > SIZE_MAX - alignment) return nullptr;
    if (!OverAllocated(route, alignment)) {
        const std::size_t request =
            route.paged ? ((bytes == 0 ? 1 : bytes) + alignment - 1) & ~(alignment - 1) : bytes;
        void* block = QORSysCachedNew(request, route.argument, route.param);
        if (block == nullptr || (Address(block) & (alignment - 1)) == 0) return block;
        Release(route, block);
        return nullptr;
    }
    void* block = QORSysCachedNew(bytes + alignment, route.argument, route.param);
    if (block == nullptr) return nullptr;
    const std::uintptr_t aligned =
        (Address(block) + kOffsetBytes + alignment - 1) & ~(alignment - 1);
    const std::size_t offset = aligned - Address(block);
    if (offset > alignment) { // the block is not 8-aligned: the caller's bytes would overrun it
        Release(route, block);
        return nullptr;
    }
    std::memcpy(Pointer(aligned - kOffsetBytes), &offset, kOffsetBytes);
    return Pointer(aligned);
}

inline void* Allocate(const PoolRoute& route, std::size_t bytes, std::size_t alignment) {
    void* p = TryAllocate(route, bytes, alignment);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

// Requires: p from Allocate with the same route and alignment.
inline void Deallocate(const PoolRoute& route, void* p, std::size_t alignment) noexcept {
    if (OverAllocated(route, alignment))
        ReleaseOverAllocated(route, p);
    else
        Release(route, p);
}

// The routed global new (QORSysHeapNew): the heap engine's blocks, or, with the engine off, pool 32
// always over-allocated (every alignment it serves is above 8), so that every routed pointer has
// its offset word and one release serves all forms.
static_assert(__STDCPP_DEFAULT_NEW_ALIGNMENT__ > kHeaderBlockAlignment);

inline void* RoutedNew(std::size_t bytes, std::size_t alignment) {
    if (alignment < __STDCPP_DEFAULT_NEW_ALIGNMENT__) alignment = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
    for (;;) {
        if (void* p = QORSysHeapNew(bytes, alignment)) return p;
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

inline void* RoutedNewNoThrow(std::size_t bytes, std::size_t alignment) noexcept {
    try {
        return RoutedNew(bytes, alignment);
    } catch (...) {
        return nullptr;
    }
}

inline void RoutedDelete(void* p) noexcept { QORSysHeapDelete(p); }

// The library configures itself, and creates the thread-safe pool, on first use and without a
// lock; this first use is made here, while the process has one thread.
inline void RoutedWarmUp() noexcept {
    QORSpecializedDelete(QORSpecializedNew(1, PoolRoute{}.argument, nullptr, 0), nullptr);
}

} // namespace detail

// A memory resource over one pool. Requests follow the alignment rules at the top of this file.
// A failure throws std::bad_alloc.
// Over a paged pool, what no page can hold (detail::PagedServes) goes to an upstream resource,
// by default HeapResource(); std::pmr::null_memory_resource() as upstream refuses it instead.
// The choice depends on the size and alignment alone, which a release repeats, so every block
// goes back to where it came from. Two resources are equal when they name the same pool as the
// same kind (and, over a paged pool, equal upstreams), so either can release the other's blocks.
class PoolResource : public std::pmr::memory_resource {
public:
    // Requires: `pool` from QORSysCreatePool, of the given kind; `upstream` outlives this
    // resource's blocks (null: HeapResource()). General pools serve every size: `upstream` is
    // not used.
    PoolResource(void* pool, PoolKind kind, std::pmr::memory_resource* upstream = nullptr) noexcept
        : route_(detail::PoolRoute::Of(pool, kind)), upstream_(upstream) {}
    explicit PoolResource(FixedPool fixed) noexcept : route_(detail::PoolRoute::Of(fixed)) {}

    // The pool object, or the fixed pool's argument.
    void* pool() const noexcept { return route_.Pool(); }
    PoolKind kind() const noexcept { return route_.paged ? PoolKind::Paged : PoolKind::General; }
    // Where requests that the paged pool cannot serve go; null for a general or fixed pool.
    std::pmr::memory_resource* upstream() const noexcept;

protected:
    // One comparison more than the pool's own path on a paged pool, none on the others.
    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
        if (ToUpstream(bytes, alignment)) return upstream()->allocate(bytes, alignment);
        return detail::Allocate(route_, bytes, alignment);
    }
    void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
        if (ToUpstream(bytes, alignment)) return upstream()->deallocate(p, bytes, alignment);
        detail::Deallocate(route_, p, alignment);
    }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
        const auto* resource = dynamic_cast<const PoolResource*>(&other);
        if (resource == nullptr || !(resource->route_ == route_)) return false;
        return !route_.paged || upstream()->is_equal(*resource->upstream());
    }

private:
    bool ToUpstream(std::size_t bytes, std::size_t alignment) const noexcept {
        return route_.paged && !detail::PagedServes(bytes, alignment);
    }

    detail::PoolRoute route_;
    std::pmr::memory_resource* upstream_ = nullptr;
};

// A resource over the heap route (pool argument 0: malloc with a 16-byte header). One object for
// the process, never destroyed, so that blocks released during exit still find it.
inline std::pmr::memory_resource* HeapResource() noexcept {
    alignas(PoolResource) static unsigned char storage[sizeof(PoolResource)];
    static PoolResource* const heap = ::new (storage) PoolResource(FixedPool::Heap);
    return heap;
}

inline std::pmr::memory_resource* PoolResource::upstream() const noexcept {
    if (!route_.paged) return nullptr;
    return upstream_ != nullptr ? upstream_ : HeapResource();
}

// An allocator over one pool for the standard containers; an over-aligned T is honoured as at
// the top of this file. Allocators are equal when they name the same pool as the same kind,
// whatever their T. They propagate on copy and move assignment and on swap: a container's blocks
// always stay with an allocator of the pool that gave them, and swapping two containers over
// different pools is well defined. Default-constructed: the thread-safe pool. Over a paged pool,
// a request that no page can hold (more than 4040 bytes, detail::PagedServes) goes to the heap
// route, and its release follows it there.
template <typename T> class PoolAllocator {
public:
    using value_type = T;
    using propagate_on_container_copy_assignment = std::true_type;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;
    using is_always_equal = std::false_type;

    PoolAllocator() noexcept = default;
    // Requires: `pool` from QORSysCreatePool, of the given kind.
    PoolAllocator(void* pool, PoolKind kind) noexcept : route_(detail::PoolRoute::Of(pool, kind)) {}
    explicit PoolAllocator(FixedPool fixed) noexcept : route_(detail::PoolRoute::Of(fixed)) {}
    template <typename U>
    PoolAllocator(const PoolAllocator<U>& other) noexcept : route_(other.route_) {}

    T* allocate(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = count * sizeof(T);
        return static_cast<T*>(detail::Allocate(RouteFor(bytes), bytes, alignof(T)));
    }
    void deallocate(T* p, std::size_t count) noexcept {
        detail::Deallocate(RouteFor(count * sizeof(T)), p, alignof(T));
    }

    void* pool() const noexcept { return route_.Pool(); }
    PoolKind kind() const noexcept { return route_.paged ? PoolKind::Paged : PoolKind::General; }

    template <typename U> bool operator==(const PoolAllocator<U>& other) const noexcept {
        return route_ == other.route_;
    }

private:
    template <typename> friend class PoolAllocator;
    detail::PoolRoute RouteFor(std::size_t bytes) const noexcept {
        if (route_.paged && !detail::PagedServes(bytes, alignof(T)))
            return detail::PoolRoute::Of(FixedPool::Heap);
        return route_;
    }
    detail::PoolRoute route_;
};

// The library block behind a pointer from the routed global new (any form) when the engine is
// off, as QORSysGetAllocatorFromAddress and QORSpecializedDelete know it.
inline void* RoutedBlock(void* p) noexcept { return detail::BlockOf(p); }

} // namespace QORSys

// QOR_SYS_ROUTE_GLOBAL_NEW_DELETE(): expand in exactly one .cpp file of the program, at global
// scope. It defines every replaceable global operator new and delete (plain, array, nothrow,
// sized and std::align_val_t forms) over QORSysHeapNew and QORSysHeapDelete: the heap engine, or,
// with it off (QORSysHeapEngine=OFF, checked mode, a hook library, inactive pools), the
// thread-safe pool, pool argument 32:
//   - every plain form returns memory aligned to __STDCPP_DEFAULT_NEW_ALIGNMENT__ (16), the
//     align_val_t forms to the requested alignment; over pool 32 each is over-allocated as
//     described at the top of this file (8 to `alignment` bytes of each block precede the
//     pointer); size 0 gives a unique pointer;
//   - a throwing form calls the new handler while the pool refuses and throws std::bad_alloc
//     when there is none; a nothrow form returns nullptr instead;
//   - every delete form accepts a pointer from any new form (sizes and alignments are not
//     needed) and ignores nullptr.
// First call: the library reads its configuration and creates the thread-safe pool on its first
// use, without a lock. The expansion makes that first use from a constructor of priority 101,
// which runs before the program's own static objects are constructed, while it has one thread.
// A program whose shared libraries start threads that allocate from their own initialisers must
// make one allocation before loading them.
// Pools cancelled (QORSysPoolAllocator=CANCELED) or inactive: the library takes the blocks from
// malloc and everything above still holds. A hook library (QORSysAllocatorInstrum) must not use
// the global new in its hooks: its allocations would call it back.
#define QOR_SYS_ROUTE_GLOBAL_NEW_DELETE()                                                          \
    void* operator new(std::size_t bytes) {                                                        \
        return ::QORSys::detail::RoutedNew(bytes, __STDCPP_DEFAULT_NEW_ALIGNMENT__);               \
    }                                                                                              \
    void* operator new[](std::size_t bytes) {                                                      \
        return ::QORSys::detail::RoutedNew(bytes, __STDCPP_DEFAULT_NEW_ALIGNMENT__);               \
    }                                                                                              \
    void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {                        \
        return ::QORSys::detail::RoutedNewNoThrow(bytes, __STDCPP_DEFAULT_NEW_ALIGNMENT__);        \
    }                                                                                              \
    void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept {                      \
        return ::QORSys::detail::RoutedNewNoThrow(bytes, __STDCPP_DEFAULT_NEW_ALIGNMENT__);        \
    }                                                                                              \
    void* operator new(std::size_t bytes, std::align_val_t alignment) {                            \
        return ::QORSys::detail::RoutedNew(bytes, std::size_t(alignment));                         \
    }                                                                                              \
    void* operator new[](std::size_t bytes, std::align_val_t alignment) {                          \
        return ::QORSys::detail::RoutedNew(bytes, std::size_t(alignment));                         \
    }                                                                                              \
    void* operator new(std::size_t bytes, std::align_val_t alignment,                              \
                       const std::nothrow_t&) noexcept {                                           \
        return ::QORSys::detail::RoutedNewNoThrow(bytes, std::size_t(alignment));                  \
    }                                                                                              \
    void* operator new[](std::size_t bytes, std::align_val_t alignment,                            \
                         const std::nothrow_t&) noexcept {                                         \
        return ::QORSys::detail::RoutedNewNoThrow(bytes, std::size_t(alignment));                  \
    }                                                                                              \
    void operator delete(void* p) noexcept { ::QORSys::detail::RoutedDelete(p); }                  \
    void operator delete[](void* p) noexcept { ::QORSys::detail::RoutedDelete(p); }                \
    void operator delete(void* p, const std::nothrow_t&) noexcept {                                \
        ::QORSys::detail::RoutedDelete(p);                                                         \
    }                                                                                              \
    void operator delete[](void* p, const std::nothrow_t&) noexcept {                              \
        ::QORSys::detail::RoutedDelete(p);                                                         \
    }                                                                                              \
    void operator delete(void* p, std::size_t) noexcept { ::QORSys::detail::RoutedDelete(p); }     \
    void operator delete[](void* p, std::size_t) noexcept { ::QORSys::detail::RoutedDelete(p); }   \
    void operator delete(void* p, std::align_val_t) noexcept {                                     \
        ::QORSys::detail::RoutedDelete(p);                                                         \
    }                                                                                              \
    void operator delete[](void* p, std::align_val_t) noexcept {                                   \
        ::QORSys::detail::RoutedDelete(p);                                                         \
    }                                                                                              \
    void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {              \
        ::QORSys::detail::RoutedDelete(p);                                                         \
    }                                                                                              \
    void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {            \
        ::QORSys::detail::RoutedDelete(p);                                                         \
    }                                                                                              \
    void operator delete(void* p, std::size_t, std::align_val_t) noexcept {                        \
        ::QORSys::detail::RoutedDelete(p);                                                         \
    }                                                                                              \
    void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {                      \
        ::QORSys::detail::RoutedDelete(p);                                                         \
    }                                                                                              \
    [[gnu::constructor(101)]] static void QORSysRoutedNewWarmUp() {                                \
        ::QORSys::detail::RoutedWarmUp();                                                          \
    }                                                                                              \
    static_assert(true, "QOR_SYS_ROUTE_GLOBAL_NEW_DELETE() is followed by a semicolon")
