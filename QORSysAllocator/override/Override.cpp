// Blocks of the C allocator: the heap engine's, or, with the engine switched off (or checked mode,
// or a hook library), paged blocks of the override's own pool and general blocks of the
// thread-safe pool (both through the per-thread caches), addresses aligned inside general blocks,
// and the C runtime's blocks for the large ones; the start-up that chooses the route and makes the
// pools (the library's first allocation also registers its fork handlers).
#include "Override.h"

#include "../core/Configuration.h"
#include "../core/PoolInterface.h"
#include "../core/SizeClasses.h"
#include "../frontend/FixedPools.h"
#include "../generalpool/GeneralBlocks.h"
#include "../heap/Heap.h"
#include "../pagedpool/PagedBlocks.h"
#include "../platform/Platform.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace qor::override {
namespace {

// The 16 bytes in front of a pointer into a general pool: the block's own header (its chunk
// with bit 0, and chunks are 16-aligned: the low 4 bits read 1), or our marker in front of an
// address inside a block.
struct Front {
    std::uintptr_t word; // distance << 4 | kInsidePoolBlock
    std::size_t bytes;   // the bytes its caller may use
};
constexpr std::uintptr_t kTagMask = 0xF;
constexpr std::uintptr_t kInsidePoolBlock = 0x2; // the distance leads to the pool block
constexpr std::size_t kGrain = 16;
// Alignments up to this are carved out of a pool block; larger ones go to the C runtime.
constexpr std::size_t kLargestPooledAlignment = 0x1000;

inline Front& FrontOf(void* memory) { return static_cast<Front*>(memory)[-1]; }

void* const kThreadSafePool = reinterpret_cast<void*>(kPoolThreaded);
void* const kPoolObjectInParam = reinterpret_cast<void*>(kPoolInParam);
constexpr int kPagedFlag = QORSysPoolFlag::PAGED;
// The small requests' pool: its size-class pages keep the resident memory close to the bytes in
// use, where the general pool's first fit leaves holes among blocks of every size.
void* gPagedPool = nullptr;

// --- Start-up -------------------------------------------------------------------------------

enum Stage : int { kCold, kStarting, kReady };
std::atomic<int> gStage{kCold};
// Set on the thread that starts the override while it does: what that start allocates for
// itself (the configuration may load a hook library) is the C runtime's.
thread_local bool tStarting __attribute__((tls_model("initial-exec"))) = false;
// With a hook library every block carries a marker of ours: the hook's share in front of a
// block hides the pool's header from us.
bool gMarkEveryBlock = false;

// The engine serves every request: set once at start-up, before the stage is published.
bool gEngine = false;

// The engine needs no start-up of its own; checked mode and the hook libraries prove and observe
// the pools' blocks, so either one keeps the pools' route.
bool ChooseEngine() {
    ConfigurationFlags& flags = State().config;
    config::ReadHeapEngineVariables(flags);
    if (flags.heapEngineOff || config::ReadSwitch(Variable::Checks, false) ||
        ReadVariable(Variable::MallocInstrumentation) != nullptr)
        return false;
    heap::Configure(heap::Settings{flags.heapPurgeDelayMs});
    return true;
}

[[gnu::noinline]] bool StartSlow() {
    if (tStarting) return false;
    int expected = kCold;
    if (!gStage.compare_exchange_strong(expected, kStarting)) {
        while (gStage.load(std::memory_order_acquire) != kReady)
            platform::Yield();
        return true;
    }
    tStarting = true;
    if (ChooseEngine()) {
        gEngine = true;
        tStarting = false;
        gStage.store(kReady, std::memory_order_release);
        return true;
    }
    platform::UseOwnMemory();
    State().config.servesMalloc = true;
    // The first request configures the module and makes the thread-safe pool.
    QORSysCachedDelete(QORSysCachedNew(kGrain, kThreadSafePool, nullptr), 0);
    gMarkEveryBlock = State().instrumented;
    // With every block marked the thread-safe pool serves all: an empty paged pool would only
    // show in the hook library's samples.
    if (!gMarkEveryBlock)
        gPagedPool = QORSysCreatePool(
            QORSysPoolFlag::PAGED | QORSysPoolFlag::LOCKED | QORSysPoolFlag::VOLATILE, 0, "malloc");
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

inline void* OrNoMemory(void* block) { return block != nullptr ? block : NoMemory(); }

// The engine's slow path, with errno set on failure.
[[gnu::noinline]] void* EngineSlow(std::size_t bytes) {
    return OrNoMemory(heap::AllocateSlow(bytes));
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

} // namespace

void* Allocate(std::size_t bytes) noexcept {
    if (__builtin_expect(gEngine, 1)) return heap::Allocate(bytes, EngineSlow);
    if (!Started()) return platform::RuntimeAllocate(bytes);
    if (gEngine) return OrNoMemory(heap::Allocate(bytes));
    if (gMarkEveryBlock) [[unlikely]]
        return AllocateAligned(kGrain, bytes);
    // Large blocks are few and long-lived: the C runtime maps them and gives them back whole.
    if (bytes > kLargestPagedBytes || gPagedPool == nullptr)
        return OrNoMemory(platform::RuntimeAllocate(bytes));
    return OrNoMemory(QORSysCachedNew(ClassBytes(bytes), kPoolObjectInParam, gPagedPool));
}

void* AllocateZeroed(std::size_t count, std::size_t bytes) noexcept {
    std::size_t total;
    if (__builtin_mul_overflow(count, bytes, &total)) return NoMemory();
    if (Started() && gEngine) return OrNoMemory(heap::AllocateZeroed(total));
    // The C runtime's large blocks come mapped and zero: clearing them would make every page
    // resident, which a program that asks for a large zeroed table and touches little of it
    // never pays with glibc.
    if (Started() && !gMarkEveryBlock && total > kLargestPagedBytes)
        return OrNoMemory(platform::RuntimeAllocateZeroed(total));
    void* memory = Allocate(total);
    if (memory != nullptr) std::memset(memory, 0, total);
    return memory;
}

void* AllocateAligned(std::size_t alignment, std::size_t bytes) noexcept {
    if (gEngine) return OrNoMemory(heap::AllocateAligned(alignment, bytes));
    if (alignment <= kGrain && !gMarkEveryBlock) return Allocate(bytes);
    if (!Started()) return platform::RuntimeAllocateAligned(alignment, bytes);
    if (gEngine) return OrNoMemory(heap::AllocateAligned(alignment, bytes));
    if (bytes > SIZE_MAX / 2) return NoMemory();
    if (!gMarkEveryBlock &&
        (alignment > kLargestPooledAlignment || bytes > kLargestAlignedPooledBytes - alignment))
        return OrNoMemory(platform::RuntimeAllocateAligned(alignment, bytes));
    if (alignment < kGrain) alignment = kGrain;
    return InsidePoolBlock(alignment, ClassBytes(bytes + alignment));
}

void Release(void* memory) noexcept {
    if (__builtin_expect(gEngine, 1)) {
        if (!heap::ReleaseIfOwned(memory) && memory != nullptr) platform::RuntimeFree(memory);
        return;
    }
    if (memory == nullptr) return;
    const unsigned kind = platform::SpanKindOf(memory);
    if (kind == 0) return platform::RuntimeFree(memory);
    if (kind & platform::kSpanRegion) return QORSysCachedDelete(memory, kPagedFlag);
    const std::uintptr_t word = FrontOf(memory).word;
    if ((word & kTagMask) == kInsidePoolBlock)
        return QORSysCachedDelete(static_cast<char*>(memory) - (word >> 4), 0, memory);
    // A pool block; anything else is the pool's to refuse (checked mode names the mistake).
    QORSysCachedDelete(memory, 0);
}

namespace {

// Requires: `kind` is SpanKindOf(memory), not 0.
std::size_t OwnUsableBytes(void* memory, unsigned kind) {
    if (kind & platform::kSpanRegion) return paged::BlockBytes(memory);
    const Front& front = FrontOf(memory);
    if ((front.word & kTagMask) == kInsidePoolBlock) return front.bytes;
    return general::BlockBytes(memory);
}

} // namespace

std::size_t UsableBytes(void* memory) noexcept {
    if (memory == nullptr) return 0;
    if (gEngine)
        return heap::Owns(memory) ? heap::UsableBytes(memory)
                                  : platform::RuntimeUsableBytes(memory);
    const unsigned kind = platform::SpanKindOf(memory);
    return kind == 0 ? platform::RuntimeUsableBytes(memory) : OwnUsableBytes(memory, kind);
}

void* Reallocate(void* memory, std::size_t bytes) noexcept {
    if (memory == nullptr) return Allocate(bytes);
    if (bytes == 0) {
        Release(memory);
        return nullptr;
    }
    if (gEngine) {
        if (heap::Owns(memory)) return OrNoMemory(heap::Reallocate(memory, bytes));
        return OrNoMemory(platform::RuntimeReallocate(memory, bytes));
    }
    const unsigned kind = platform::SpanKindOf(memory);
    if (kind == 0) return OrNoMemory(platform::RuntimeReallocate(memory, bytes));
    const std::size_t usable = OwnUsableBytes(memory, kind);
    // Shrinking by less than half keeps the block: moving would cost more than the bytes saved.
    if (bytes <= usable && bytes >= usable / 2) return memory;
    void* moved = Allocate(bytes);
    if (moved == nullptr) return nullptr;
    std::memcpy(moved, memory, bytes < usable ? bytes : usable);
    Release(memory);
    return moved;
}

Figures ReadFigures() {
    if (!gEngine) {
        QORPoolInfo info{};
        if (gPagedPool != nullptr) QORSysGetPoolInfo(gPagedPool, nullptr, &info, 0);
        return Figures{info.totalSize, info.maxChunkFree, info.totalSize, 0, 0};
    }
    heap::Figures figures;
    heap::GetFigures(&figures);
    return Figures{figures.bytesHeld, figures.bytesInUse, figures.bytesResident, figures.hugeBlocks,
                   figures.hugeBytes};
}

void PrintFigures() {
    if (!gEngine) {
        const Figures figures = ReadFigures();
        std::fprintf(stderr, "held bytes       = %10zu\nin use bytes     = %10zu\n",
                     figures.heldBytes, figures.inUseBytes);
        return;
    }
    heap::Figures figures;
    heap::GetFigures(&figures);
    heap::WriteFigures(stderr, figures, heap::FiguresForm::ByClass);
}

bool Trim() { return gEngine && heap::Trim(); }

} // namespace qor::override
