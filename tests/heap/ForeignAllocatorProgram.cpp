// A program linked with an allocator of its own (CMakeLists.txt links one), run with and without
// libQORSysMalloc.so preloaded: whichever allocator serves it, it must run and print the same
// lines. Small and large blocks, usable sizes, realloc, calloc, aligned blocks and threads that
// release each other's blocks; every line states a property, not an address or a size that
// depends on the allocator.
#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

bool Filled(const unsigned char* p, std::size_t bytes, unsigned char value) {
    for (std::size_t i = 0; i < bytes; i += 509)
        if (p[i] != value) return false;
    return bytes == 0 || p[bytes - 1] == value;
}

} // namespace

int main() {
    int failures = 0;
    const std::size_t sizes[] = {1, 24, 100, 1000, 4096, 65536, 300000, std::size_t{5} << 20};
    std::vector<unsigned char*> blocks;
    for (std::size_t bytes : sizes) {
        auto* p = static_cast<unsigned char*>(std::malloc(bytes));
        const bool usable = p != nullptr && malloc_usable_size(p) >= bytes;
        if (usable) std::memset(p, int(bytes & 0x7F), bytes);
        std::printf("malloc %zu: %s\n", bytes, usable ? "usable" : "FAILED");
        failures += !usable;
        blocks.push_back(p);
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const bool intact = blocks[i] && Filled(blocks[i], sizes[i], sizes[i] & 0x7F);
        failures += !intact;
        std::free(blocks[i]);
    }
    auto* r = static_cast<unsigned char*>(std::malloc(8));
    std::memset(r, 0x42, 8);
    bool kept = true;
    for (std::size_t bytes = 16; bytes < (std::size_t{8} << 20); bytes *= 5) {
        r = static_cast<unsigned char*>(std::realloc(r, bytes));
        kept = kept && r != nullptr && Filled(r, 8, 0x42) && malloc_usable_size(r) >= bytes;
    }
    r = static_cast<unsigned char*>(std::realloc(r, 4));
    kept = kept && r != nullptr && r[3] == 0x42;
    std::free(r);
    std::printf("realloc chain: %s\n", kept ? "kept" : "FAILED");
    auto* z = static_cast<unsigned char*>(std::calloc(1000, 1000));
    const bool zero = z != nullptr && Filled(z, 1000000, 0);
    std::free(z);
    std::printf("calloc: %s\n", zero ? "zero" : "FAILED");
    void* a = nullptr;
    const bool aligned =
        posix_memalign(&a, 4096, 10000) == 0 && reinterpret_cast<std::uintptr_t>(a) % 4096 == 0;
    std::free(a);
    std::printf("posix_memalign: %s\n", aligned ? "aligned" : "FAILED");
    failures += !kept + !zero + !aligned;

    std::vector<std::atomic<void*>> slots(1024);
    std::atomic<int> broken{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::uint32_t state = t * 7 + 1;
            for (int i = 0; i < 100000; ++i) {
                state = state * 1664525 + 1013904223;
                const std::size_t bytes = (state >> 24) == 0 ? 200000 : (state >> 8) % 900 + 1;
                auto* p = static_cast<unsigned char*>(std::malloc(bytes));
                if (p == nullptr || malloc_usable_size(p) < bytes) {
                    ++broken;
                    continue;
                }
                p[bytes - 1] = 1;
                std::free(slots[state % slots.size()].exchange(p));
            }
        });
    for (std::thread& t : threads)
        t.join();
    for (auto& slot : slots)
        std::free(slot.load());
    std::printf("threads: %s\n", broken.load() == 0 ? "released each other's blocks" : "FAILED");
    failures += broken.load() != 0;
    if (failures == 0) std::printf("foreign allocator: all checks hold\n");
    return failures == 0 ? 0 : 1;
}
