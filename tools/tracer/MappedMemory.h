// Zeroed memory straight from the kernel for the tracer's tables: a hook may run while the
// application's malloc and new are the library's own, so the tracer never calls either.
#pragma once

#include <sys/mman.h>

#include <cstddef>

namespace qor::tracer {

// `count` zeroed objects of T in one private mapping, touched only as they are written; null when
// the address space refuses. Never unmapped: the tables live as long as the process.
template <typename T> T* MapZeroed(std::size_t count) {
    void* memory = mmap(nullptr, count * sizeof(T), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<T*>(memory);
}

} // namespace qor::tracer
