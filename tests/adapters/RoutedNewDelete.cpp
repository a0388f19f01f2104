// A program whose whole global new and delete traffic goes through the library: containers,
// strings, threads with cross-thread release, over-aligned, nothrow and failing forms. It exits 0
// when every check holds. With QOR_TEST_POOLS=0 (pools cancelled) the pool checks are skipped;
// with QOR_TEST_ENGINE=1 the blocks are the heap engine's and its figures are read instead.
#include "QORSysStdAdapters.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

QOR_SYS_ROUTE_GLOBAL_NEW_DELETE();

namespace {

int gFailures = 0;
#define CHECK(condition)                                                                           \
    if (!(condition)) std::fprintf(stderr, "line %d: %s\n", __LINE__, #condition), ++gFailures

const bool gPools = std::getenv("QOR_TEST_POOLS") == nullptr;
const bool gEngine = std::getenv("QOR_TEST_ENGINE") != nullptr;

// Exact in a general pool: a release adds its whole block back to `free`; the chunks' headers
// (64 bytes, 112 for the first) are neither free nor blocks. Exact in the engine at quiet points.
std::uint64_t ThreadSafeBytesInUse() {
    if (gEngine) {
        QORHeapInfo heap{};
        QORSysGetHeapInfo(&heap, nullptr, 0);
        return heap.bytesInUse;
    }
    QORPoolInfo info{};
    QORSysGetPoolInfo(reinterpret_cast<void*>(32), nullptr, &info, 0);
    return info.totalSize - info.freeSize - 64 * info.chunkCount;
}

// Aligned as asked and, with pools, carved from a pool's chunk (neither the heap nor foreign).
// Without pools, blocks have no header to read.
bool Routed(void* p, std::size_t alignment) {
    if (reinterpret_cast<std::uintptr_t>(p) % alignment != 0) return false;
    if (gEngine) return true;
    void* chunk = gPools ? QORSysGetAllocatorFromAddress(QORSys::RoutedBlock(p)) : p;
    return chunk != nullptr && chunk != reinterpret_cast<void*>(0xFF00);
}

std::string Word(int i) { return std::string(24 + i % 50, char('a' + i % 26)) + std::to_string(i); }

template <std::size_t alignment> struct alignas(alignment) Aligned { int value; };

} // namespace

int main() {
    const std::uint64_t idle = ThreadSafeBytesInUse();
    CHECK(!gPools || gEngine || idle > 0); // the warm-up made the thread-safe pool before main
    {
        std::vector<std::string> words;
        for (int i = 0; i < 1000; ++i)
            words.push_back(Word(i));
        CHECK(!gPools || ThreadSafeBytesInUse() >= idle + 1000 * 24);
        CHECK(Routed(words.data(), 16) && Routed(words[999].data(), 16) && words[999] == Word(999));
    }
    { // four threads at once; what each hands over is released by the main thread
        std::atomic<int> wrong{0};
        std::vector<std::string*> handedOver(4);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t, &wrong, &handedOver] {
                for (int i = 0; i < 4000; ++i) {
                    std::map<int, std::string> words{{i, Word(i)}, {-1, Word(t)}};
                    wrong += words[i] != Word(i) || words[-1] != Word(t);
                }
                handedOver[t] = new std::string(Word(t));
            });
        for (std::thread& thread : threads)
            thread.join();
        for (int t = 0; t < 4; ++t) {
            CHECK(Routed(handedOver[t], 16) && *handedOver[t] == Word(t));
            delete handedOver[t];
        }
        CHECK(wrong == 0);
    }
    { // the align_val_t forms, sized and unsized releases, nothrow forms, size 0
        auto* one = new Aligned<32>{};
        auto* several = new Aligned<64>[7];
        std::vector<Aligned<256>> vector(5);
        auto* quiet = new (std::nothrow) Aligned<256>{7};
        auto* chars = new (std::nothrow) char[100];
        void* empty[] = {::operator new(0), ::operator new(0)};
        CHECK(Routed(one, 32) && Routed(several, 64) && Routed(vector.data(), 256));
        CHECK(Routed(quiet, 256) && quiet->value == 7 && Routed(chars, 16));
        CHECK(empty[0] != empty[1] && Routed(empty[0], 16) && Routed(empty[1], 16));
        delete one, delete[] several, delete quiet, delete[] chars;
        ::operator delete(empty[0]), ::operator delete (empty[1], std::size_t{0});
    }
    // A size that cannot be served: null from the nothrow forms; the throwing form calls the new
    // handler (which removes itself) and then throws.
    volatile std::size_t huge = SIZE_MAX - 4;
    CHECK(::operator new(huge, std::nothrow) == nullptr);
    CHECK(::operator new[](huge, std::align_val_t{64}, std::nothrow) == nullptr);
    static int handlerCalls = 0;
    std::set_new_handler([] { ++handlerCalls, std::set_new_handler(nullptr); });
    bool threw = false;
    try {
        ::operator delete(::operator new(huge));
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    CHECK(threw && handlerCalls == 1);
    CHECK(!gPools || ThreadSafeBytesInUse() == idle); // every block came back
    return gFailures == 0 ? 0 : 1;
}
