// The heap engine behind libQORSysMalloc.so (preloaded by ctest): the whole malloc family and the
// global new and delete forms, alone and across threads. The program links nothing of the
// library; it reaches the engine only through the names the override serves.
#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

bool Aligned(const void* p, std::size_t alignment) {
    return reinterpret_cast<std::uintptr_t>(p) % alignment == 0;
}

// The engine's classes are 16-byte steps up to 128 bytes: a request of 24 bytes offers 32, which
// the C library's allocator (24 usable) does not.
TEST(EngineOverride, TheEngineServesMalloc) {
    void* p = std::malloc(24);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(malloc_usable_size(p), 32u);
    std::free(p);
}

TEST(EngineOverride, MallocFamily) {
    for (std::size_t bytes : {0ul, 1ul, 24ul, 1000ul, 70000ul, 262144ul, 262145ul, 5ul << 20}) {
        SCOPED_TRACE(bytes);
        auto* p = static_cast<unsigned char*>(std::malloc(bytes));
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(Aligned(p, 16));
        EXPECT_GE(malloc_usable_size(p), bytes);
        std::memset(p, 0xEE, malloc_usable_size(p));
        std::free(p);
        auto* z = static_cast<unsigned char*>(std::calloc(bytes + 1, 3));
        ASSERT_NE(z, nullptr);
        for (std::size_t i = 0; i < (bytes + 1) * 3; i += 61)
            ASSERT_EQ(z[i], 0) << i;
        std::free(z);
    }
    // realloc through the classes and into and out of a mapping of its own, contents kept.
    auto* r = static_cast<unsigned char*>(std::malloc(10));
    std::memset(r, 0x11, 10);
    for (std::size_t bytes = 16; bytes < (8u << 20); bytes *= 3) {
        r = static_cast<unsigned char*>(std::realloc(r, bytes));
        ASSERT_NE(r, nullptr);
        ASSERT_EQ(r[9], 0x11);
        EXPECT_GE(malloc_usable_size(r), bytes);
    }
    r = static_cast<unsigned char*>(std::realloc(r, 12));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r[0], 0x11);
    EXPECT_EQ(r[9], 0x11);
    std::free(r);
    void* fromNull = std::realloc(nullptr, 0);
    EXPECT_NE(fromNull, nullptr);
    std::free(fromNull);

    errno = 0;
    EXPECT_EQ(reallocarray(nullptr, SIZE_MAX / 2, 3), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    void* array = reallocarray(nullptr, 100, 8);
    ASSERT_NE(array, nullptr);
    EXPECT_GE(malloc_usable_size(array), 800u);
    std::free(array);

    for (std::size_t alignment = 16; alignment <= (16u << 20); alignment *= 4)
        for (std::size_t bytes : {1ul, 300ul, 300000ul}) {
            void* p = nullptr;
            ASSERT_EQ(posix_memalign(&p, alignment, bytes), 0);
            EXPECT_TRUE(Aligned(p, alignment)) << alignment << " " << bytes;
            EXPECT_GE(malloc_usable_size(p), bytes);
            std::memset(p, 1, bytes);
            std::free(p);
            p = aligned_alloc(alignment, bytes);
            ASSERT_NE(p, nullptr);
            EXPECT_TRUE(Aligned(p, alignment));
            std::free(p);
            p = memalign(alignment, bytes);
            ASSERT_NE(p, nullptr);
            EXPECT_TRUE(Aligned(p, alignment));
            std::free(p);
        }
    void* bad = nullptr;
    EXPECT_EQ(posix_memalign(&bad, 24, 10), EINVAL);
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* v = valloc(100);
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(Aligned(v, page));
    std::free(v);
    void* pv = pvalloc(page + 1);
    ASSERT_NE(pv, nullptr);
    EXPECT_TRUE(Aligned(pv, page));
    EXPECT_GE(malloc_usable_size(pv), 2 * page);
    std::free(pv);
    std::free(nullptr);
    EXPECT_EQ(malloc_usable_size(nullptr), 0u);
}

struct alignas(256) Wide {
    unsigned char bytes[256];
};

TEST(EngineOverride, NewAndDeleteForms) {
    auto* one = new int(5);
    auto* many = new long[1000]();
    EXPECT_EQ(many[999], 0);
    auto* wide = new Wide[3];
    EXPECT_TRUE(Aligned(wide, alignof(Wide)));
    auto* nothrow = new (std::nothrow) char[70000];
    ASSERT_NE(nothrow, nullptr);
    void* raw = ::operator new (5000, std::align_val_t{4096});
    EXPECT_TRUE(Aligned(raw, 4096));
    ::operator delete (raw, 5000, std::align_val_t{4096});
    void* sized = ::operator new(100);
    ::operator delete(sized, 100);
    delete one;
    delete[] many;
    delete[] wide;
    delete[] nothrow;
    volatile std::size_t tooMuch = SIZE_MAX / 2;
    EXPECT_THROW((void)::operator new(tooMuch), std::bad_alloc);
    EXPECT_EQ(::operator new(tooMuch, std::nothrow), nullptr);
}

// Threads release each other's blocks through a shared pool of slots, realloc them in passing
// and end with blocks that the main thread releases afterwards.
TEST(EngineOverride, Threads) {
    constexpr int kThreads = 4;
    std::vector<std::atomic<unsigned char*>> slots(4096);
    std::atomic<int> broken{0};
    std::vector<std::vector<void*>> kept(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            std::uint32_t state = t + 1;
            for (int i = 0; i < 200000; ++i) {
                state = state * 1664525 + 1013904223;
                const std::size_t bytes =
                    state >> 28 == 0 ? (state >> 8) % 400000 : (state >> 8) % 600;
                auto* p = static_cast<unsigned char*>(state & 1 ? std::malloc(bytes + 1)
                                                                : std::calloc(1, bytes + 1));
                if (p == nullptr) {
                    ++broken;
                    continue;
                }
                p[0] = static_cast<unsigned char>(bytes);
                p[bytes] = static_cast<unsigned char>(bytes);
                if (i % 97 == 0) p = static_cast<unsigned char*>(std::realloc(p, bytes + 1));
                unsigned char* old = slots[(state >> 4) % slots.size()].exchange(p);
                if (old != nullptr) {
                    const std::size_t oldBytes = malloc_usable_size(old);
                    if (oldBytes == 0) ++broken;
                    std::free(old);
                }
                if (i % 1000 == 0) kept[t].push_back(new char[i % 5000 + 1]);
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(broken.load(), 0);
    for (auto& slot : slots)
        if (unsigned char* p = slot.load()) {
            EXPECT_GT(malloc_usable_size(p), 0u);
            std::free(p);
        }
    for (auto& blocks : kept)
        for (void* p : blocks)
            delete[] static_cast<char*>(p);
}

} // namespace

// The C library's statistics calls answer for the engine: mallinfo2 follows the bytes in use,
// malloc_trim gives free pages back and says so, malloc_stats writes the figures to stderr.
TEST(EngineOverride, StatisticsCallsAnswerForTheEngine) {
    const struct mallinfo2 before = mallinfo2();
    std::vector<void*> blocks;
    for (int i = 0; i < 20000; ++i)
        blocks.push_back(std::malloc(200)); // class 208
    auto* huge = static_cast<volatile char*>(std::malloc(std::size_t{3} << 20));
    huge[0] = 1; // used, so that the pair is not left out
    const struct mallinfo2 during = mallinfo2();
    EXPECT_GE(during.uordblks - before.uordblks, 20000u * 208 + (std::size_t{3} << 20));
    EXPECT_EQ(during.hblks, before.hblks + 1);
    EXPECT_GE(during.hblkhd, std::size_t{3} << 20);
    EXPECT_GE(during.arena + during.hblkhd, during.uordblks);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored                                                                     \
    "-Wdeprecated-declarations" // the old form, which programs still call
    const struct mallinfo old = mallinfo();
#pragma GCC diagnostic pop
    EXPECT_GT(old.uordblks, 0);
    for (void* block : blocks)
        std::free(block);
    std::free(const_cast<char*>(huge));
    std::vector<void*>().swap(blocks);
    const struct mallinfo2 after = mallinfo2();
    EXPECT_LE(after.uordblks, before.uordblks + 4096);
    EXPECT_EQ(malloc_trim(0), 1); // the released pages (and the kept mapping) go back
    EXPECT_LT(mallinfo2().keepcost, after.keepcost);
    testing::internal::CaptureStderr();
    malloc_stats();
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_NE(text.find("in use bytes"), std::string::npos) << text;
    EXPECT_NE(text.find("class bytes"), std::string::npos) << text;
}
