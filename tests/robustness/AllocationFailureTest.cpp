// Each request of the library refused in turn, n = 1..N: the step that meets it fails as
// documented or absorbs it; the scenario then works whole again (leaks: LeakSanitizer).
#include "QORSysSwapFile.h"
#include "core/ExitCleanup.h"
#include "core/PoolInterface.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace qor {
namespace {

using namespace QORSysPoolFlag;
enum { kNone, kFailed, kAbsorbed }; // the outcome of the step that met the refusal
int gCalls = 0, gFailAt = 0, gRefusedNow = 0, gOutcome = kNone;

bool CountAndRefuse(std::size_t) { return ++gCalls == gFailAt && (gRefusedNow = 1); }

// A step fails only where a refusal explains it (its own, or one absorbed: a region list).
template <class T> T Step(T result, T failure = T{}) {
    const bool failed = result == failure;
    if (std::exchange(gRefusedNow, 0)) return gOutcome = failed ? kFailed : kAbsorbed, result;
    EXPECT_TRUE(!failed || gOutcome == kAbsorbed) << "a failure that no refusal explains";
    return result;
}
void* New(std::size_t size, void* pool) { return Step(QORSpecializedNew(size, pool, nullptr, 0)); }

// Heap route, a fixed pool, added chunks (65536 refused: halved; 131072 refused: too small).
void GeneralScenario() {
    void* heapBlock = New(100, nullptr);
    New(24, reinterpret_cast<void*>(4));
    void* pool = Step(QORSysCreatePool(0, 32768, "Sweep"));
    for (std::size_t size : {20000, 20000, 100000, 100000})
        if (pool != nullptr) New(size, pool);
    QORSysFlushPool(pool, FLUSH_DESTROY);
    QORSpecializedDelete(heapBlock, nullptr);
    RunExitCleanup(); // the fixed pools go (their blocks with them), to be made again
}

// Pool objects, the shared and a private region list, regions, table rebuilds.
void PagedScenario() {
    for (unsigned flags : {PAGED, PAGED | FLUSHABLE | VOLATILE}) {
        void* pool = Step(QORSysCreatePool(int(flags), 0));
        std::vector<void*> blocks;
        for (std::size_t size : {16, 1872, 512, 968, 4008, 1424})
            blocks.push_back(pool != nullptr ? New(size, pool) : nullptr);
        for (void* block : blocks)
            QORSpecializedDelete(block, nullptr, int(PAGED));
        QORSysFlushPool(pool, FLUSH_DESTROY);
    }
    RunExitCleanup(); // the shared lists go, to be made again
}

struct Blob : QORSysSwappable {
    explicit Blob(QORSysSwapFile* file) : QORSysSwappable(file, 0) {}
};

// Zone (a smaller one when refused; objects take no request), page table, handles, a page buffer,
// a tail buffer.
void SwapScenario() {
    auto file = std::make_unique<QORSysSwapFile>();
    if (Step(file->Initialize(0, 65536, 4096, 1 << 20), QORSysSwapFailure) != 0) return;
    void* zone = State().poolRegistry; // the newest pool
    for (std::size_t bytes : {200, 20000}) {
        void* memory = QORSysSwappable::operator new(bytes, file.get(), nullptr, 0);
        auto* object = ::new (memory) Blob(file.get());
        QORSysSwappableHdl* handle = Step(object->GetPermanentHandle());
        if (handle == nullptr) continue; // the object goes with the zone
        handle->AddRefToObj(nullptr);
        Step(file->SwapOutObject(handle), QORSysSwapFailure);
        Step(handle->CallDeathOnObject(), QORSysSwapFailure); // back from the file
        handle->ReleaseObj(nullptr); // the last reference: object and handle go
    }
    file.reset();
    QORSysFlushPool(zone, FLUSH_DESTROY); // the swap file only empties its zone
}

void Sweep(const char* name, void (*scenario)()) {
    char dir[] = "/tmp/qorsweep.XXXXXX";
    ASSERT_EQ(::setenv("QPL_UVT_TMP", mkdtemp(dir), 1), 0);
    platform::SetMallocFailureFilter(CountAndRefuse);
    scenario(); // counts the requests
    const int requests = std::exchange(gCalls, 0);
    PoolBase* const registry =
        State().poolRegistry; // a pool left in it would be a leak LSan cannot see
    int out[3] = {};
    for (int n = 1; n <= requests; ++n) {
        gFailAt = n;
        scenario();
        EXPECT_NE(gOutcome, kNone) << "request " << n << " was not made";
        gFailAt = gCalls = 0, ++out[std::exchange(gOutcome, kNone)];
        scenario(); // every step succeeds, with the same requests: nothing was left behind
        EXPECT_EQ(std::pair(std::exchange(gCalls, 0), State().poolRegistry),
                  std::pair(requests, registry))
            << "after refusing request " << n;
    }
    platform::SetMallocFailureFilter(nullptr);
    std::filesystem::remove_all(dir);
    std::printf("%s: %d refused in turn, %d failed, %d absorbed\n", name, requests, out[1], out[2]);
}

TEST(AllocationFailureSweep, GeneralPools) { Sweep("general", GeneralScenario); }
TEST(AllocationFailureSweep, PagedPools) { Sweep("paged", PagedScenario); }
TEST(AllocationFailureSweep, SwapFile) { Sweep("swap file", SwapScenario); }

} // namespace
} // namespace qor
