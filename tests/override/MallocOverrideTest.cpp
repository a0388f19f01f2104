// The C allocator's contract, run with libQORSysMalloc.so preloaded: this program links nothing of
// the library, as an unchanged program would. Each case runs in a process of its own.
#include "ForkedChild.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <malloc.h>
#include <new>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

extern "C" {
void* __libc_malloc(std::size_t bytes);
void* __libc_memalign(std::size_t alignment, std::size_t bytes);
}

namespace {

inline std::uintptr_t Address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// A block is usable when it is aligned as asked and every byte the allocator answers for holds
// what is written there.
void ExpectUsable(void* p, std::size_t bytes, std::size_t alignment) {
    ASSERT_NE(p, nullptr) << bytes;
    EXPECT_EQ(Address(p) % alignment, 0u) << bytes << " bytes at " << alignment;
    const std::size_t usable = malloc_usable_size(p);
    EXPECT_GE(usable, bytes);
    std::memset(p, 0xA5, usable);
}

// Sizes that cross every boundary of the allocator: tiny, the cached classes, the pool's larger
// blocks, the spans of their own.
std::vector<std::size_t> Sizes() {
    std::vector<std::size_t> sizes{0, 1, 8, 15, 16, 17, 24, 1000, 1024, 1025, 4096, 65536};
    for (std::size_t big : {262143u, 262144u, 262145u, 1u << 20, 5u << 20})
        sizes.push_back(big);
    std::mt19937 random(1);
    for (int i = 0; i < 200; ++i)
        sizes.push_back(random() % (1u << (random() % 19)));
    return sizes;
}

TEST(MallocOverride, ServesTheProcess) {
    Dl_info info{};
    ASSERT_NE(dladdr(dlsym(RTLD_DEFAULT, "malloc"), &info), 0);
    EXPECT_NE(std::strstr(info.dli_fname, "libQORSysMalloc"), nullptr) << info.dli_fname;
    ASSERT_NE(dladdr(dlsym(RTLD_DEFAULT, "_Znwm"), &info), 0);
    EXPECT_NE(std::strstr(info.dli_fname, "libQORSysMalloc"), nullptr) << info.dli_fname;
}

TEST(MallocOverride, EveryBlockIsAlignedAndUsableAndZeroBytesGiveUniquePointers) {
    std::vector<void*> live;
    for (std::size_t bytes : Sizes()) {
        void* p = std::malloc(bytes);
        ExpectUsable(p, bytes, alignof(std::max_align_t));
        live.push_back(p);
    }
    void* a = std::malloc(0);
    void* b = std::malloc(0);
    EXPECT_TRUE(a != nullptr && b != nullptr && a != b);
    for (void* p : live)
        std::free(p);
    std::free(a), std::free(b), std::free(nullptr);
}

TEST(MallocOverride, RefusalsGiveNullWithEnomem) {
    for (std::size_t bytes : {SIZE_MAX, SIZE_MAX / 2, SIZE_MAX - 4096}) {
        errno = 0;
        EXPECT_EQ(std::malloc(bytes), nullptr);
        EXPECT_EQ(errno, ENOMEM);
    }
    errno = 0;
    EXPECT_EQ(std::calloc(SIZE_MAX / 8, 16), nullptr) << "count x size overflows";
    EXPECT_EQ(errno, ENOMEM);
    void* p = std::malloc(64);
    std::memset(p, 7, 64);
    errno = 0;
    EXPECT_EQ(reallocarray(p, SIZE_MAX / 8, 16), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(static_cast<unsigned char*>(p)[63], 7) << "the block stays as it was";
    errno = 0;
    EXPECT_EQ(std::realloc(p, SIZE_MAX - 64), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    std::free(p);
}

TEST(MallocOverride, CallocZeroesEvenReusedMemory) {
    for (std::size_t bytes : Sizes()) {
        void* dirty = std::malloc(bytes + 1);
        std::memset(dirty, 0xFF, bytes + 1);
        std::free(dirty);
        auto* p = static_cast<unsigned char*>(std::calloc(1, bytes + 1));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(std::count(p, p + bytes + 1, 0), std::ptrdiff_t(bytes + 1)) << bytes;
        std::free(p);
    }
}

// A large zeroed table that the program hardly touches stays out of resident memory, as with
// glibc: its pages come mapped and zero, not cleared one by one.
TEST(MallocOverride, ALargeCallocStaysOutOfResidentMemory) {
    auto residentBytes = [] {
        long pages = 0, resident = 0;
        FILE* statm = std::fopen("/proc/self/statm", "r");
        EXPECT_EQ(std::fscanf(statm, "%ld %ld", &pages, &resident), 2);
        std::fclose(statm);
        return resident * sysconf(_SC_PAGESIZE);
    };
    const long before = residentBytes();
    auto* table = static_cast<unsigned char*>(std::calloc(64, 4 << 20)); // 256 MB
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table[0] + table[(256 << 20) - 1], 0);
    EXPECT_LT(residentBytes() - before, 16l << 20);
    std::free(table);
}

TEST(MallocOverride, ReallocKeepsTheContentsThroughGrowthAndShrinking) {
    unsigned char* p = nullptr;
    std::size_t bytes = 0;
    auto check = [&](std::size_t keep) {
        for (std::size_t i = 0; i < keep; ++i)
            ASSERT_EQ(p[i], static_cast<unsigned char>(i * 31)) << i << " of " << bytes;
    };
    for (std::size_t next : {1u, 40u, 1000u, 5000u, 300000u, 2u << 20, 100000u, 900u, 10u}) {
        p = static_cast<unsigned char*>(std::realloc(p, next));
        ASSERT_NE(p, nullptr);
        check(std::min(bytes, next));
        for (std::size_t i = 0; i < next; ++i)
            p[i] = static_cast<unsigned char>(i * 31);
        bytes = next;
        EXPECT_GE(malloc_usable_size(p), next);
    }
    EXPECT_EQ(std::realloc(p, 0), nullptr) << "glibc frees and answers null";
}

// Every family member at random over blocks of every size, each block filled with its own byte
// and checked when it is resized or freed, and no two live blocks overlapping. Traced, this mixes
// the engine's blocks with the hook library's and with the C library's memory: an address of one
// taken for another's once released a live huge block, and a zero-byte block's address at its
// pool block's end once read as the C library's.
TEST(MallocOverride, RandomFamilyCallsKeepEveryBlockApartAndIntact) {
    struct Live {
        unsigned char* block = nullptr;
        std::size_t bytes = 0;
    };
    std::vector<Live> slots(512);
    std::mt19937 random(7);
    auto intact = [](const Live& live, std::size_t slot) {
        const auto mark = static_cast<unsigned char>(slot);
        for (std::size_t i = 0; i < live.bytes; i += 61)
            if (live.block[i] != mark) return false;
        return live.bytes == 0 || live.block[live.bytes - 1] == mark;
    };
    for (int step = 0; step < 300000; ++step) {
        const std::size_t slot = random() % slots.size();
        Live& live = slots[slot];
        ASSERT_TRUE(intact(live, slot)) << "step " << step;
        const std::size_t bytes = random() % 7 == 0 ? random() % 200000 : random() % 300;
        void* next = nullptr;
        switch (random() % 4) {
        case 0:
            std::free(live.block);
            next = std::malloc(bytes);
            break;
        case 1:
            next = std::realloc(live.block, bytes);
            if (next == nullptr && bytes != 0) continue; // the old block stands
            break;
        case 2:
            std::free(live.block);
            next = std::calloc(1, bytes);
            break;
        default:
            std::free(live.block);
            ASSERT_EQ(posix_memalign(&next, 64, bytes), 0);
            ASSERT_EQ(Address(next) % 64, 0u);
        }
        live = Live{static_cast<unsigned char*>(next), next != nullptr ? bytes : 0};
        if (live.block == nullptr) continue;
        ASSERT_GE(malloc_usable_size(live.block), bytes);
        std::memset(live.block, static_cast<unsigned char>(slot), bytes);
        const std::uintptr_t start = Address(live.block), end = start + (bytes ? bytes : 1);
        for (std::size_t other = 0; other < slots.size(); ++other) {
            const Live& them = slots[other];
            if (other == slot || them.block == nullptr) continue;
            const std::uintptr_t from = Address(them.block),
                                 to = from + (them.bytes ? them.bytes : 1);
            ASSERT_TRUE(end <= from || to <= start)
                << "step " << step << ": " << slot << " and " << other;
        }
    }
    for (Live& live : slots)
        std::free(live.block);
}

TEST(MallocOverride, AlignedFamilyHonoursEveryAlignmentAndRejectsBadOnes) {
    std::vector<void*> live;
    for (std::size_t alignment = 8; alignment <= (1u << 21); alignment *= 2)
        for (std::size_t bytes : {0ul, 1ul, 100ul, 5000ul, 300000ul}) {
            void* p = nullptr;
            ASSERT_EQ(posix_memalign(&p, alignment, bytes), 0);
            ExpectUsable(p, bytes, alignment);
            void* q = aligned_alloc(alignment, bytes);
            ExpectUsable(q, bytes, alignment);
            void* r = memalign(alignment, bytes);
            ExpectUsable(r, bytes, alignment);
            live.insert(live.end(), {p, q, r});
        }
    errno = 0;
    void* p = nullptr;
    for (std::size_t bad : {0ul, 3ul, 4ul, 24ul})
        EXPECT_EQ(posix_memalign(&p, bad, 16), EINVAL) << bad;
    EXPECT_EQ(errno, 0) << "posix_memalign answers by its result";
    EXPECT_EQ(aligned_alloc(24, 48), nullptr);
    EXPECT_EQ(errno, EINVAL);
    ExpectUsable(live.emplace_back(memalign(48, 10)), 10, 64); // raised to a power of two
    ExpectUsable(live.emplace_back(valloc(10)), 10, 4096);
    void* page = live.emplace_back(pvalloc(0));
    ExpectUsable(page, 4096, 4096);
    for (void* q : live)
        std::free(q);
}

TEST(MallocOverride, EveryFormOfNewAndDeleteMeets) {
    delete new int(1);
    delete[] new char[100];
    delete new (std::nothrow) int(2);
    struct alignas(256) Wide {
        char bytes[300];
    };
    auto* wide = new Wide[3];
    EXPECT_EQ(Address(wide) % 256, 0u);
    delete[] wide;
    auto* one = new Wide;
    EXPECT_EQ(Address(one) % 256, 0u);
    delete one;
    ::operator delete(::operator new(10), 10);
    ::operator delete[](::operator new[](10), 10);
    ::operator delete (::operator new (10, std::align_val_t{4096}), std::align_val_t{4096});
    ::operator delete (::operator new (10, std::align_val_t{64}, std::nothrow), 10,
                       std::align_val_t{64});
    EXPECT_EQ(::operator new(SIZE_MAX / 2, std::nothrow), nullptr);
    EXPECT_THROW(static_cast<void>(::operator new[](SIZE_MAX / 2)), std::bad_alloc);
    static int handlerCalls = 0;
    std::set_new_handler([] {
        if (++handlerCalls == 2) std::set_new_handler(nullptr);
    });
    EXPECT_THROW(static_cast<void>(::operator new(SIZE_MAX / 2)), std::bad_alloc);
    EXPECT_EQ(handlerCalls, 2) << "the handler runs until it gives up";
}

// Memory that the C runtime handed out before the override served the process goes back to it.
TEST(MallocOverride, PointersOfTheCRuntimeGoBackToIt) {
    auto* p = static_cast<char*>(__libc_malloc(100));
    std::memset(p, 9, 100);
    EXPECT_GE(malloc_usable_size(p), 100u);
    p = static_cast<char*>(std::realloc(p, 5000));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::count(p, p + 100, 9), 100);
    std::free(p);
    std::free(__libc_memalign(64, 1000));
}

// Threads that hand their blocks to the next one, and end while they still hold some.
TEST(MallocOverride, BlocksMoveBetweenThreadsThatComeAndGo) {
    constexpr int kThreads = 4, kRounds = 20000;
    std::vector<std::atomic<unsigned char*>> mailbox(kThreads);
    std::vector<std::vector<unsigned char*>> kept(kThreads);
    std::atomic<long> damaged{0};
    auto work = [&](int t) {
        std::mt19937 random(t);
        for (int i = 0; i < kRounds; ++i) {
            // A block: its size in two bytes, then the sender's number in every byte.
            const std::size_t bytes = 2 + random() % 2000;
            auto* p = static_cast<unsigned char*>(std::malloc(bytes));
            p[0] = static_cast<unsigned char>(bytes), p[1] = static_cast<unsigned char>(bytes >> 8);
            std::memset(p + 2, t, bytes - 2);
            if (unsigned char* old = mailbox[(t + 1) % kThreads].exchange(p)) std::free(old);
            if (i % 1000 == 0) kept[t].push_back(static_cast<unsigned char*>(std::malloc(64)));
            if (unsigned char* mine = mailbox[t].exchange(nullptr)) {
                const std::size_t got = mine[0] | std::size_t{mine[1]} << 8;
                const int sender = (t + kThreads - 1) % kThreads;
                damaged += got < 2 || std::count(mine + 2, mine + got, sender) != long(got - 2);
                std::free(mine);
            }
        }
    };
    for (int round = 0; round < 3; ++round) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back(work, t);
        for (std::thread& thread : threads)
            thread.join();
    }
    for (auto& box : mailbox)
        std::free(box.exchange(nullptr));
    for (auto& blocks : kept)
        for (unsigned char* p : blocks)
            std::free(p);
    EXPECT_EQ(damaged.load(), 0);
}

// A fork while other threads allocate: the child allocates, starts threads and exits cleanly.
TEST(MallocOverride, AForkedChildOfAThreadedProgramAllocates) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int t = 0; t < 3; ++t)
        busy.emplace_back([&] {
            std::vector<void*> window(64);
            for (unsigned i = 0; !stop; ++i)
                std::free(std::exchange(window[i % 64], std::malloc(16 + i % 3000)));
            for (void* p : window)
                std::free(p);
        });
    for (int child = 0; child < 20; ++child)
        EXPECT_TRUE(qor::test::ForkedChildSucceeds([] {
            std::vector<std::string> strings;
            for (int i = 0; i < 10000; ++i)
                strings.push_back(std::string(1 + i % 500, 'x'));
            std::thread([] { std::free(std::malloc(100)); }).join();
            return strings.size() == 10000;
        })) << "child "
            << child;
    stop = true;
    for (std::thread& thread : busy)
        thread.join();
}

// A library that allocates in its constructor, hands out blocks and frees in its destructor.
TEST(MallocOverride, ALibraryLoadedAndUnloadedAllocatesThroughIt) {
    for (int round = 0; round < 5; ++round) {
        void* library = dlopen(QOR_ALLOCATING_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto make = reinterpret_cast<char* (*)(int)>(dlsym(library, "QORTestMakeText"));
        ASSERT_NE(make, nullptr);
        char* text = make(round);
        EXPECT_STREQ(text, std::string(round + 1, '#').c_str());
        std::free(text);
        EXPECT_EQ(dlclose(library), 0);
    }
}

} // namespace
