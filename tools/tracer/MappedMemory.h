// Zeroed memory straight from the kernel for the tracer's tables: a hook may run while the
// application's malloc and new are the library's own, so the tracer never calls either. Every
// mapping is listed, so that a sample can tell the tracer's own resident memory from the
// program's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor::tracer {

// How a mapping is filled: anywhere (a hash table), or from its start on, as NoteFilled says,
// so that only the filled part needs asking about.
enum class Filling { Anywhere, FromStart };

// `bytes` of zeroed memory in one private mapping, touched only as it is written; null when the
// address space refuses. Listed until UnmapBytes.
void* MapBytes(std::size_t bytes, Filling filling = Filling::Anywhere);
// A FromStart mapping now holds data in its first `bytes` (a lower figure changes nothing).
void NoteFilled(const void* memory, std::size_t bytes);
// Gives back a mapping that MapBytes made, with the size it was made with.
void UnmapBytes(void* memory, std::size_t bytes);
// The bytes of the listed mappings that are resident now (mincore over what may be filled).
// Cost: one system call per 256 MB asked about.
std::uint64_t ResidentMappedBytes();

template <typename T> T* MapZeroed(std::size_t count, Filling filling = Filling::Anywhere) {
    return static_cast<T*>(MapBytes(count * sizeof(T), filling));
}

} // namespace qor::tracer
