// The allocation routes that the benchmarks share: Allocate(bytes) and Release(block, bytes), each
// a direct call of one entry point (no indirection of its own), so that a route's time and
// instructions are the allocator's.
#pragma once

#include <QORSysAllocator.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace qor::bench {

// The process's malloc: glibc's, or the peer that LD_PRELOAD puts in front of it.
struct MallocRoute {
    void* Allocate(std::size_t bytes) { return std::malloc(bytes); }
    void Release(void* block, std::size_t) { std::free(block); }
};

// No allocator: a loop's own cost, to be subtracted from its time on a route. Every block is the
// calling thread's one buffer, grown to the largest request so far (a mapping reserved, so only
// the pages written become resident), and so the blocks alias: a loop that checks its blocks
// apart skips that check for this route.
struct LoopOnlyRoute {
    void* Allocate(std::size_t bytes) {
        thread_local Buffer buffer;
        return bytes <= buffer.bytes ? buffer.memory : buffer.Grow(std::max(bytes, kPage));
    }
    void Release(void*, std::size_t) {}

private:
    static constexpr std::size_t kPage = 4096;
    struct Buffer {
        void* memory = nullptr;
        std::size_t bytes = 0;
        [[gnu::noinline]] void* Grow(std::size_t wanted) {
            if (memory != nullptr) ::munmap(memory, bytes);
            memory = ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            bytes = memory != MAP_FAILED ? wanted : 0;
            if (memory == MAP_FAILED) memory = nullptr;
            return memory;
        }
        ~Buffer() {
            if (memory != nullptr) ::munmap(memory, bytes);
        }
    };
};

// Pool argument 0 (heap with header), 4 (fast pools by size) or 32 (thread-safe pool).
template <std::uintptr_t kArgument> struct FixedArgumentRoute {
    void* Allocate(std::size_t bytes) {
        return QORSpecializedNew(bytes, reinterpret_cast<void*>(kArgument), nullptr, 0);
    }
    void Release(void* block, std::size_t) { QORSpecializedDelete(block, nullptr); }
};

// Pool argument 32 through the cached pair: what the adapters and the routed global new use.
struct CachedThreadSafeRoute {
    void* Allocate(std::size_t bytes) {
        return QORSysCachedNew(bytes, reinterpret_cast<void*>(32), nullptr);
    }
    void Release(void* block, std::size_t) { QORSysCachedDelete(block, 0); }
};

// A private pool of 1 MiB chunks (a paged pool ignores the size), created for the run and
// destroyed after it.
template <unsigned kFlags> struct PrivatePoolRoute {
    static constexpr int kReleaseFlags =
        (kFlags & QORSysPoolFlag::PAGED) != 0 ? static_cast<int>(QORSysPoolFlag::PAGED) : 0;
    void* pool = QORSysCreatePool(static_cast<int>(kFlags), std::size_t{1} << 20, "bench");

    PrivatePoolRoute() = default;
    PrivatePoolRoute(const PrivatePoolRoute&) = delete;
    PrivatePoolRoute& operator=(const PrivatePoolRoute&) = delete;
    ~PrivatePoolRoute() { QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY); }
    void* Allocate(std::size_t bytes) { return QORSpecializedNew(bytes, pool, nullptr, 0); }
    void Release(void* block, std::size_t) { QORSpecializedDelete(block, nullptr, kReleaseFlags); }
};

using PlainPoolRoute = PrivatePoolRoute<0>;
using TrackedPoolRoute = PrivatePoolRoute<QORSysPoolFlag::TRACKED_FREE_LIST>;
using PagedPoolRoute = PrivatePoolRoute<QORSysPoolFlag::PAGED>;

// The paged pool serves no block of a page's size or more: as under the malloc override, what
// is above 3.5 KiB goes to the C runtime.
template <class Paged = PagedPoolRoute> struct PagedWithLargeRoute {
    static constexpr std::size_t kPagedLimit = 3584;
    Paged paged;
    void* Allocate(std::size_t bytes) {
        return bytes <= kPagedLimit ? paged.Allocate(bytes) : std::malloc(bytes);
    }
    void Release(void* block, std::size_t bytes) {
        if (bytes <= kPagedLimit)
            paged.Release(block, bytes);
        else
            std::free(block);
    }
};

} // namespace qor::bench
