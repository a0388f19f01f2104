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
#include <cmath>
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

// --- Sampling -------------------------------------------------------------------------------

// With a hook library and QORSysMallocInstrumSample, the engine serves most requests unseen and
// about one in every gSampleBytes bytes asked for goes the hook library's way (a marked block of
// the thread-safe pool), so that a tracer's cost follows the bytes it samples, not the requests.
// The gaps are drawn per thread from an exponential law of that mean: a request of `size` bytes is
// then seen with probability 1 - exp(-size / gSampleBytes) whatever came before it, which is
// what lets the hook library weigh what it sees into an estimate of the whole.
std::uint32_t gSampleBytes = 0;

struct SampleGap {
    std::uint64_t bytesLeft; // before the next request that is seen
    std::uint64_t random;    // xorshift state; 0 until the thread's first request
};
thread_local SampleGap tGap __attribute__((tls_model("initial-exec"))) = {0, 0};

std::uint64_t DrawGap() {
    std::uint64_t& x = tGap.random;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const double uniform = static_cast<double>((x >> 11) + 1) * 0x1p-53; // in (0, 1]
    const double gap = -std::log(uniform) * gSampleBytes;
    return gap < 1 ? 1 : static_cast<std::uint64_t>(gap);
}

// The gap ran out: the next one starts. A thread's first request only seeds it.
[[gnu::noinline]] bool SampleDue(std::size_t bytes) {
    if (tGap.random == 0) {
        tGap.random =
            (reinterpret_cast<std::uintptr_t>(&tGap) ^ platform::MonotonicMilliseconds()) *
                0x9E3779B97F4A7C15ull |
            1;
        tGap.bytesLeft = DrawGap();
        if (bytes < tGap.bytesLeft) {
            tGap.bytesLeft -= bytes;
            return false;
        }
    }
    tGap.bytesLeft = DrawGap();
    return true;
}

// True for a request that the hook library is to see.
inline bool Sampled(std::size_t bytes) {
    if (__builtin_expect(gSampleBytes == 0, 1)) return false;
    if (__builtin_expect(bytes < tGap.bytesLeft, 1)) {
        tGap.bytesLeft -= bytes;
        return false;
    }
    return SampleDue(bytes);
}

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

enum class Route { Engine, Pools, SampledEngine };

// The engine needs no start-up of its own; checked mode and the hook libraries prove and observe
// the pools' blocks, so either one keeps the pools' route, unless the hook library is to see a
// sample of the requests only.
// `sampleBytes`: QORSysMallocInstrumSample, read for the sampled route.
Route ChooseRoute(std::uint32_t& sampleBytes) {
    ConfigurationFlags& flags = State().config;
    config::ReadHeapEngineVariables(flags);
    if (flags.heapEngineOff || config::ReadSwitch(Variable::Checks, false)) return Route::Pools;
    const bool hooked = ReadVariable(Variable::MallocInstrumentation) != nullptr;
    if (hooked)
        sampleBytes = config::ReadNumber(Variable::MallocInstrumentationSample, 0, UINT32_MAX);
    if (hooked && sampleBytes == 0) return Route::Pools;
    heap::Configure(heap::Settings{flags.heapPurgeDelayMs});
    return hooked ? Route::SampledEngine : Route::Engine;
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
    std::uint32_t sampleBytes = 0;
    const Route route = ChooseRoute(sampleBytes);
    if (route == Route::Engine) {
        gEngine = true;
        tStarting = false;
        gStage.store(kReady, std::memory_order_release);
        return true;
    }
    platform::UseOwnMemory();
    State().config.servesMalloc = true;
    // Before the hook library: a hook holds its library's lock when its own allocations (the
    // unwinder's thread-local storage, say) reach the engine, so a fork must take that lock
    // before the engine's, and the handlers registered first are run last. This thread's
    // requests do not reach the engine while it starts.
    heap::RegisterForkHandlersOnce();
    // Set before the hook library is loaded, whose first hook asks for it (SampleBytes); no
    // request is sampled until the engine serves.
    gSampleBytes = sampleBytes;
    // The first request configures the module, which loads the hook library, and makes the
    // thread-safe pool.
    QORSysCachedDelete(QORSysCachedNew(kGrain, kThreadSafePool, nullptr), 0);
    gMarkEveryBlock = State().instrumented;
    if (route == Route::SampledEngine) {
        // A hook library that failed to load leaves the engine serving everything.
        gEngine = true;
        if (!gMarkEveryBlock) gSampleBytes = 0;
    } else if (!gMarkEveryBlock) {
        // With every block marked the thread-safe pool serves all: an empty paged pool would
        // only show in the hook library's samples.
        gPagedPool = QORSysCreatePool(
            QORSysPoolFlag::PAGED | QORSysPoolFlag::LOCKED | QORSysPoolFlag::VOLATILE, 0, "malloc");
    }
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

// A marked address in a block of the thread-safe pool: every request when a hook library sees
// them all, the sampled ones when it sees a sample.
[[gnu::noinline]] void* MarkedBlock(std::size_t alignment, std::size_t bytes) {
    if (bytes > SIZE_MAX / 2) return NoMemory();
    // An address at its block's very end could be the first of the next span, which is not ours:
    // a request of no bytes gets one.
    if (bytes == 0) bytes = 1;
    if (alignment < kGrain) alignment = kGrain;
    return InsidePoolBlock(alignment, ClassBytes(bytes + alignment));
}

} // namespace

void* Allocate(std::size_t bytes) noexcept {
    if (__builtin_expect(gEngine, 1)) {
        if (Sampled(bytes)) [[unlikely]]
            return MarkedBlock(kGrain, bytes);
        return heap::Allocate(bytes, EngineSlow);
    }
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
    void* memory;
    if (Started() && gEngine) {
        if (!Sampled(total)) return OrNoMemory(heap::AllocateZeroed(total));
        memory = MarkedBlock(kGrain, total);
    } else if (Started() && !gMarkEveryBlock && total > kLargestPagedBytes) {
        // The C runtime's large blocks come mapped and zero: clearing them would make every page
        // resident, which a program that asks for a large zeroed table and touches little of it
        // never pays with glibc.
        return OrNoMemory(platform::RuntimeAllocateZeroed(total));
    } else {
        memory = Allocate(total);
    }
    if (memory != nullptr) std::memset(memory, 0, total);
    return memory;
}

void* AllocateAligned(std::size_t alignment, std::size_t bytes) noexcept {
    if (gEngine) {
        if (alignment <= kLargestPooledAlignment && Sampled(bytes)) [[unlikely]]
            return MarkedBlock(alignment, bytes);
        return OrNoMemory(heap::AllocateAligned(alignment, bytes));
    }
    if (alignment <= kGrain && !gMarkEveryBlock) return Allocate(bytes);
    if (!Started()) return platform::RuntimeAllocateAligned(alignment, bytes);
    if (gEngine) return OrNoMemory(heap::AllocateAligned(alignment, bytes));
    if (!gMarkEveryBlock &&
        (alignment > kLargestPooledAlignment || bytes > kLargestAlignedPooledBytes - alignment))
        return OrNoMemory(platform::RuntimeAllocateAligned(alignment, bytes));
    return MarkedBlock(alignment, bytes);
}

void Release(void* memory) noexcept {
    // Beside the engine's blocks lie the C runtime's and, while sampling, the pool's.
    if (__builtin_expect(gEngine, 1) && heap::ReleaseIfOwned(memory)) return;
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
    if (gEngine && heap::Owns(memory)) return heap::UsableBytes(memory);
    const unsigned kind = platform::SpanKindOf(memory);
    return kind == 0 ? platform::RuntimeUsableBytes(memory) : OwnUsableBytes(memory, kind);
}

void* Reallocate(void* memory, std::size_t bytes) noexcept {
    if (memory == nullptr) return Allocate(bytes);
    if (bytes == 0) {
        Release(memory);
        return nullptr;
    }
    if (gEngine && heap::Owns(memory)) return OrNoMemory(heap::Reallocate(memory, bytes));
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

std::uint32_t SampleBytes() { return gSampleBytes; }

} // namespace qor::override
