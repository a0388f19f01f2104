// The tracer's mappings, listed in a fixed table. Slots are claimed with a compare-and-swap, so a
// sampler may read the table while the report (or a first hook) adds to it.
#include "MappedMemory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace qor::tracer {
namespace {

constexpr int kMaxMappings = 64;

struct Mapping {
    std::atomic<void*> memory{nullptr};
    std::atomic<std::size_t> bytes{0}; // what may be filled: the whole mapping, or its filled start
};

constinit Mapping gMappings[kMaxMappings];

} // namespace

void* MapBytes(std::size_t bytes, Filling filling) {
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) return nullptr;
    for (Mapping& mapping : gMappings) {
        void* vacant = nullptr;
        if (mapping.memory.load(std::memory_order_relaxed) != nullptr ||
            !mapping.memory.compare_exchange_strong(vacant, memory))
            continue;
        mapping.bytes.store(filling == Filling::Anywhere ? bytes : 0, std::memory_order_release);
        break;
    }
    return memory;
}

void NoteFilled(const void* memory, std::size_t bytes) {
    for (Mapping& mapping : gMappings)
        if (mapping.memory.load(std::memory_order_acquire) == memory &&
            mapping.bytes.load(std::memory_order_relaxed) < bytes)
            mapping.bytes.store(bytes, std::memory_order_release);
}

void UnmapBytes(void* memory, std::size_t bytes) {
    for (Mapping& mapping : gMappings)
        if (mapping.memory.load(std::memory_order_acquire) == memory) {
            mapping.bytes.store(0, std::memory_order_relaxed);
            mapping.memory.store(nullptr, std::memory_order_release);
        }
    ::munmap(memory, bytes);
}

std::uint64_t ResidentMappedBytes() {
    const std::size_t page = static_cast<std::size_t>(::getpagesize());
    static unsigned char resident[65536]; // only the sampler calls this, one at a time
    std::uint64_t total = 0;
    for (const Mapping& mapping : gMappings) {
        auto* start = static_cast<unsigned char*>(mapping.memory.load(std::memory_order_acquire));
        const std::size_t bytes = mapping.bytes.load(std::memory_order_acquire);
        for (std::size_t done = 0; start != nullptr && done < bytes;) {
            const std::size_t pages = std::min((bytes - done + page - 1) / page, sizeof resident);
            if (::mincore(start + done, pages * page, resident) != 0) break;
            for (std::size_t i = 0; i < pages; ++i)
                total += resident[i] & 1;
            done += pages * page;
        }
    }
    return total * page;
}

} // namespace qor::tracer
