// Blocks of the C allocator: pool blocks of the thread-safe pool (through the per-thread caches),
// pointers aligned inside them, and spans for the large ones; the start-up that makes the pool
// and registers the fork handlers.
#include "Override.h"

#include "../core/PoolInterface.h"
#include "../frontend/ForkSafety.h"
#include "../platform/Platform.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace qor::override {
namespace {

// The 16 bytes in front of a pointer handed out: a pool block's own header (its chunk with bit
// 0, and chunks are 16-aligned: tag 1), or a marker of ours.
struct Front {
    std::uintptr_t word; // distance << 4 | tag
    std::size_t bytes;   // a marker's: the bytes its caller may use
};
constexpr std::uintptr_t kTagMask = 0xF;
constexpr std::uintptr_t kPoolBlock = 0x1;
constexpr std::uintptr_t kInsidePoolBlock = 0x2; // the distance leads to the pool block
constexpr std::uintptr_t kSpanBlock = 0x4;       // the distance leads to the span's start
constexpr std::size_t kGrain = 16;
// Alignments up to this are carved out of a pool block; larger ones get a span.
constexpr std::size_t kLargestPooledAlignment = 0x1000;

inline Front& FrontOf(void* memory) { return static_cast<Front*>(memory)[-1]; }
inline std::size_t RoundToGrain(std::size_t bytes) { return (bytes + kGrain - 1) & ~(kGrain - 1); }

void* const kThreadSafePool = reinterpret_cast<void*>(32);

// --- Start-up -------------------------------------------------------------------------------

enum Stage : int { kCold, kStarting, kReady };
std::atomic<int> gStage{kCold};
// Set on the thread that starts the override while it does: what that start allocates for
// itself (the configuration may load a hook library) is the C runtime's.
thread_local bool tStarting __attribute__((tls_model("initial-exec"))) = false;
// With a hook library every block carries a marker of ours: the hook's share in front of a
// block hides the pool's header from us.
bool gMarkEveryBlock = false;

[[gnu::noinline]] bool StartSlow() {
    if (tStarting) return false;
    int expected = kCold;
    if (!gStage.compare_exchange_strong(expected, kStarting)) {
        while (gStage.load(std::memory_order_acquire) != kReady)
            platform::Yield();
        return true;
    }
    tStarting = true;
    platform::UseOwnMemory();
    State().config.servesMalloc = true;
    // The first request configures the module and makes the thread-safe pool.
    QORSysCachedDelete(QORSysCachedNew(kGrain, kThreadSafePool, nullptr), 0);
    gMarkEveryBlock = State().instrumented;
    platform::RegisterForkHandlers(LockForFork, UnlockAfterFork, UnlockAfterFork);
    tStarting = false;
    gStage.store(kReady, std::memory_order_release);
    return true;
}

// False only for the start-up's own requests.
inline bool Started() { return gStage.load(std::memory_order_acquire) == kReady || StartSlow(); }

// --- Blocks ---------------------------------------------------------------------------------

inline void* NoMemory() {
    errno = ENOMEM;
    return nullptr;
}

// The first address aligned at `alignment` at least 16 bytes into a pool block of `bytes`, with
// its marker. The block is 16-aligned, so the address is at most `alignment` bytes in.
void* InsidePoolBlock(std::size_t alignment, std::size_t bytes) {
    auto* block = static_cast<char*>(QORSysCachedNew(bytes, kThreadSafePool, nullptr));
    if (block == nullptr) return NoMemory();
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t offset =
        ((start + kGrain + alignment - 1) & ~std::uintptr_t{alignment - 1}) - start;
    char* memory = block + offset;
    FrontOf(memory) = Front{offset << 4 | kInsidePoolBlock, bytes - offset};
    return memory;
}

void* SpanBlock(std::size_t alignment, std::size_t bytes) {
    const std::size_t front = alignment < kGrain ? kGrain : alignment;
    if (bytes > SIZE_MAX / 2 - front) return NoMemory();
    // At least one byte past the front, so that a block of 0 bytes still lies in its span.
    std::size_t spanBytes = front + (bytes == 0 ? 1 : bytes);
    if (spanBytes < platform::kSpanBytes) spanBytes = platform::kSpanBytes;
    auto* span = static_cast<char*>(platform::OwnAllocate(spanBytes, front));
    if (span == nullptr) return NoMemory();
    char* memory = span + front;
    const std::size_t granules =
        (spanBytes + platform::kSpanGranuleBytes - 1) & ~(platform::kSpanGranuleBytes - 1);
    FrontOf(memory) = Front{front << 4 | kSpanBlock, granules - front};
    return memory;
}

} // namespace

void* Allocate(std::size_t bytes) {
    if (!Started()) return platform::RuntimeAllocate(bytes);
    if (gMarkEveryBlock) [[unlikely]]
        return AllocateAligned(kGrain, bytes);
    if (bytes > kLargestPooledBytes) return SpanBlock(kGrain, bytes);
    void* block =
        QORSysCachedNew(bytes == 0 ? kGrain : RoundToGrain(bytes), kThreadSafePool, nullptr);
    return block != nullptr ? block : NoMemory();
}

// With a hook library every request goes to the pool, so that the hooks see it.
void* AllocateAligned(std::size_t alignment, std::size_t bytes) {
    if (alignment <= kGrain && !gMarkEveryBlock) return Allocate(bytes);
    if (!Started()) return platform::RuntimeAllocateAligned(alignment, bytes);
    if (bytes > SIZE_MAX / 2) return NoMemory();
    if (!gMarkEveryBlock &&
        (alignment > kLargestPooledAlignment || bytes > kLargestPooledBytes - alignment))
        return SpanBlock(alignment, bytes);
    if (alignment < kGrain) alignment = kGrain;
    return InsidePoolBlock(alignment, RoundToGrain(bytes) + alignment);
}

void Release(void* memory) {
    if (memory == nullptr) return;
    if (!platform::IsInOwnSpan(memory)) return platform::RuntimeFree(memory);
    const std::uintptr_t word = FrontOf(memory).word;
    switch (word & kTagMask) {
    case kPoolBlock:
        return QORSysCachedDelete(memory, 0);
    case kInsidePoolBlock:
        return QORSysCachedDelete(static_cast<char*>(memory) - (word >> 4), 0, memory);
    default:
        return platform::OwnFree(static_cast<char*>(memory) - (word >> 4));
    }
}

std::size_t UsableBytes(void* memory) {
    if (memory == nullptr) return 0;
    if (!platform::IsInOwnSpan(memory)) return platform::RuntimeUsableBytes(memory);
    const Front& front = FrontOf(memory);
    switch (front.word & kTagMask) {
    case kPoolBlock:
        return HeaderOf(memory)->sizeWord - kBlockHeaderBytes;
    default:
        return front.bytes;
    }
}

void* Reallocate(void* memory, std::size_t bytes) {
    if (memory == nullptr) return Allocate(bytes);
    if (bytes == 0) {
        Release(memory);
        return nullptr;
    }
    if (!platform::IsInOwnSpan(memory)) {
        void* moved = platform::RuntimeReallocate(memory, bytes);
        return moved != nullptr ? moved : NoMemory();
    }
    const std::size_t usable = UsableBytes(memory);
    // Shrinking by less than half keeps the block: moving would cost more than the bytes saved.
    if (bytes <= usable && bytes >= usable / 2) return memory;
    void* moved = Allocate(bytes);
    if (moved == nullptr) return nullptr;
    std::memcpy(moved, memory, bytes < usable ? bytes : usable);
    Release(memory);
    return moved;
}

} // namespace qor::override
