// Memory for the replay's own arrays straight from the kernel, each array its own mapping. The
// recording is read and decoded before a route runs, in the process the route then runs in: were
// its arrays the C library's, the buffers freed on the way (tens of megabytes) would stay in
// malloc's heap, resident, and the route's pools and malloc would be served from them without
// the resident set growing. Mapped and unmapped, they leave that heap as it was.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace qor::replay {

template <class T> struct MappedAllocator {
    using value_type = T;
    MappedAllocator() = default;
    template <class U> MappedAllocator(const MappedAllocator<U>&) {}

    // Populated, so that the pages are resident before the route's baseline is read.
    T* allocate(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        void* memory = ::mmap(nullptr, count * sizeof(T), PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (memory == MAP_FAILED) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, std::size_t count) { ::munmap(memory, count * sizeof(T)); }

    template <class U> bool operator==(const MappedAllocator<U>&) const { return true; }
};

template <class T> using MappedVector = std::vector<T, MappedAllocator<T>>;

} // namespace qor::replay
