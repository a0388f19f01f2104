// What AddressSanitizer is told about pool memory, in the pool-poisoning build only
// (-DQOR_SANITIZE=ON -DQOR_POOL_POISONING=ON), and valgrind's memcheck in the memcheck build
// (-DQOR_VALGRIND=ON, client requests of valgrind/memcheck.h); everywhere else each call is an
// empty inline function, so the pools pay nothing for it.
// In that build the library itself is compiled without ASan's checks (it reads and writes the free
// areas and released slots that it poisons); the application around it is checked. The rule:
//   a block in use: its header (general pools) and its requested bytes are addressable;
//   its rounding slack, every free area, every released or untouched paged slot is poisoned.
// Page descriptors, chunk headers and region headers stay addressable.
#pragma once

#include <cstddef>

// Whether this file is compiled with ASan's checks (GCC's macro, or clang's feature test).
#if defined(__SANITIZE_ADDRESS__)
#define QOR_ASAN_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QOR_ASAN_CHECKED 1
#endif
#endif

#if defined(QOR_POOL_POISONING) || defined(QOR_ASAN_CHECKED)
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#define QOR_LEAK_CHECKED 1
#endif
#if defined(QOR_VALGRIND)
#include <valgrind/memcheck.h>
#endif

namespace qor::platform {

// Whether MayRead can answer false: only where AddressSanitizer checks the library itself.
#if defined(QOR_ASAN_CHECKED)
constexpr bool kMayReadRefuses = true;
#else
constexpr bool kMayReadRefuses = false;
#endif

// False when AddressSanitizer would report a read of [begin, begin + bytes): checked mode reads the
// page descriptor's place behind blocks that may not be paged, memory it does not own. True in
// every build without ASan's checks.
inline bool MayRead(const void* begin, std::size_t bytes) {
#if defined(QOR_ASAN_CHECKED)
    return __asan_region_is_poisoned(const_cast<void*>(begin), bytes) == nullptr;
#else
    (void)begin, (void)bytes;
    return true;
#endif
}

// [begin, begin + bytes) belongs to no caller.
inline void PoisonPoolBytes(const void* begin, std::size_t bytes) {
#if defined(QOR_POOL_POISONING)
    __asan_poison_memory_region(begin, bytes);
#endif
#if defined(QOR_VALGRIND)
    VALGRIND_MAKE_MEM_NOACCESS(begin, bytes);
#endif
    (void)begin, (void)bytes;
}

// [begin, begin + bytes) is handed to a caller.
inline void UnpoisonPoolBytes(const void* begin, std::size_t bytes) {
#if defined(QOR_POOL_POISONING)
    __asan_unpoison_memory_region(begin, bytes);
#endif
#if defined(QOR_VALGRIND)
    VALGRIND_MAKE_MEM_DEFINED(begin, bytes);
#endif
    (void)begin, (void)bytes;
}

// A general-pool block of `bytes` requested bytes, just handed out: its header and those bytes.
// Returns the block, so that a return statement can wrap it.
inline void* ExposeGeneralBlock(void* block, std::size_t bytes) {
    if (block != nullptr) UnpoisonPoolBytes(static_cast<char*>(block) - 16, bytes + 16);
    return block;
}

inline void* ExposePagedBlock(void* block, std::size_t bytes) {
    if (block != nullptr) UnpoisonPoolBytes(block, bytes);
    return block;
}

// Memory the library maps itself (the heap engine's segments and huge blocks) holds the program's
// pointers, to memory that LeakSanitizer watches too: it scans that memory at exit as it scans its
// own heap. Requires: a region is forgotten exactly as it was watched.
inline void WatchForPointers(const void* begin, std::size_t bytes) {
#if defined(QOR_LEAK_CHECKED)
    __lsan_register_root_region(begin, bytes);
#endif
    (void)begin, (void)bytes;
}

inline void StopWatching(const void* begin, std::size_t bytes) {
#if defined(QOR_LEAK_CHECKED)
    __lsan_unregister_root_region(begin, bytes);
#endif
    (void)begin, (void)bytes;
}

// Memcheck checks the library's own code too, which reads and writes the free areas and released
// slots it has hidden: for the scope of a pool operation, its errors are not reported (memcheck
// counts nested scopes). Nothing in every other build.
class MemcheckQuiet {
public:
#if defined(QOR_VALGRIND)
    MemcheckQuiet() { VALGRIND_DISABLE_ERROR_REPORTING; }
    ~MemcheckQuiet() { VALGRIND_ENABLE_ERROR_REPORTING; }
#else
    MemcheckQuiet() {} // user-provided: a scope object, not an unused variable
#endif
    MemcheckQuiet(const MemcheckQuiet&) = delete;
    MemcheckQuiet& operator=(const MemcheckQuiet&) = delete;
};

} // namespace qor::platform
