// Instrumentation hooks with real hook libraries (tests/hooks), each case in a process whose
// QORSysAllocatorInstrum names the library: the arguments of the nine hooks at their call sites,
// the delta round trip end to end, a library with one hook, a missing library, the 63-character
// cut of the name and the ".so" fallback of the loader.
#include "ConfigurationTestEnvironment.h"
#include "HooksTestLog.h"

#include "QORSysAllocator.h"
#include "frontend/Configuration.h"
#include "frontend/FixedPools.h"
#include "frontend/Hooks.h"
#include "pagedpool/PageObject.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace qor {
namespace {

using namespace testenv;

constexpr std::uintptr_t kAllBits = ~std::uintptr_t{0};
constexpr int kDelta = testhooks::kDefaultAllocationDelta;

void* Number(std::uintptr_t poolArgument) { return Address(poolArgument); }

void* Offset(void* p, std::ptrdiff_t bytes) { return static_cast<char*>(p) + bytes; }

bool InRegistry(const void* pool) {
    for (PoolBase* p = gPoolRegistry; p != nullptr; p = p->nextPool)
        if (p == pool) return true;
    return false;
}

GeneralPool* CreatePool(unsigned flags, std::size_t size, const char* name) {
    return static_cast<GeneralPool*>(QORSysCreatePool(static_cast<int>(flags), size, name));
}

// The block that the last QORSignalMalloc of `calls` reported.
void* ReportedBlock(const std::vector<Call>& calls) {
    for (auto call = calls.rbegin(); call != calls.rend(); ++call)
        if (call->event == Event::Malloc) return Address(call->args[0]);
    return nullptr;
}

class HookFixture : public ::testing::Test {
protected:
    // Asserts the process environment, runs the configuration (which loads the library) and
    // finds the library's state under `fileName`.
    void Start(const char* instrumentation, const std::string& fileName,
               const char* poolAllocator = nullptr) {
        ASSERT_TRUE(VariableIs(kInstrumentation, instrumentation));
        ASSERT_TRUE(VariableIs(kPoolAllocator, poolAllocator));
        ASSERT_TRUE(ReplayPurifyIs(false));
        const char* searchPath = std::getenv("LD_LIBRARY_PATH");
        ASSERT_TRUE(searchPath != nullptr && std::strstr(searchPath, QOR_HOOK_LIBRARY_DIR))
            << "LD_LIBRARY_PATH must name " << QOR_HOOK_LIBRARY_DIR;
        config::ConfigureIfPending();
        ASSERT_EQ(hooks::gInstrumentationState, 1);
        state_ = LoadedHookState(fileName);
        ASSERT_NE(state_, nullptr) << fileName << " was not loaded";
        log_ = HookLog(state_);
        log_.Mark();
    }

    void TearDown() override {
        if (state_ != nullptr) {
            EXPECT_EQ(state_->droppedCalls, 0u);
        }
    }

    HookState* state_ = nullptr;
    HookLog log_{nullptr};
};

class RecordingHooks : public HookFixture {
protected:
    void SetUp() override { Start(QOR_RECORDING_HOOKS, QOR_RECORDING_HOOKS ".dll"); }
};

TEST_F(RecordingHooks, PoolCreationReportsTheFlagsAsPassedAndTheFirstArea) {
    const char name[] = "Tracked";
    GeneralPool* pool = CreatePool(QORSysPoolFlag::TRACKED_FREE_LIST, 40000, name);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->chunk.flags, 0x300011u);
    EXPECT_TRUE(CallsAre(log_.Since(),
                         {{Event::PoolCreation,
                           {W(pool), 39936, 0x100000, W(name), W(pool) + 128, 39936 - 112 - 16},
                           name}}));

    // A fixed pool is created inside the first request that needs it, between the delta and the
    // allocation report; the single-size pool is chosen by the caller's size, not size + delta.
    log_.Mark();
    void* p = QORSpecializedNew(24, Number(4), nullptr, 0);
    GeneralPool* fixed = gFixedPools[3];
    ASSERT_NE(fixed, nullptr);
    EXPECT_TRUE(CallsAre(
        log_.Since(), {{Event::GetDelta, {24, 4, 0, 0}},
                       {Event::PoolCreation,
                        {W(fixed), 0x40000, 0xC0, std::nullopt, W(fixed) + 128, 0x40000 - 112 - 16},
                        "FastSglAllocs"},
                       {Event::Malloc, {W(Offset(p, -kDelta)), 24, 4, 0, 0}}}));
    QORSpecializedDelete(p, nullptr);
    EXPECT_EQ(QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY), 0);
}

TEST_F(RecordingHooks, HeapBlockHasTheDeltaBetweenHeaderAndCallersPointer) {
    void* p = QORSpecializedNew(100, nullptr, nullptr, 7);
    const std::vector<Call> calls = log_.Since();
    void* block = ReportedBlock(calls);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(CallsAre(
        calls, {{Event::GetDelta, {100, 0, 0, 7}}, {Event::Malloc, {W(block), 100, 0, 0, 7}}}));
    EXPECT_EQ(p, Offset(block, kDelta));
    EXPECT_EQ(OwnerWordOf(block), 1u);
    EXPECT_EQ(HeaderOf(block)->sizeWord, std::uint64_t{kDelta + 100 + 16});

    // The release asks the delta back for the caller's pointer; the free report and the heap
    // release use the block (a wrong address here is an invalid free).
    log_.Mark();
    QORSpecializedDelete(p, nullptr);
    EXPECT_TRUE(CallsAre(log_.Since(), {{Event::GetDelta, {kAllBits, 0, W(p), 0}},
                                        {Event::Free, {W(block), 0, kDelta + 100 + 16}}}));
}

constexpr int kUserPool = -1;
constexpr int kThreaded = -2;

struct PoolRoute {
    const char* name;
    std::size_t size;
    std::uintptr_t poolArgument; // 0: the user pool itself is the pool argument
    int entry;                   // fixed-pool entry, or kUserPool, kThreaded
};

class DeltaRoundTrip : public RecordingHooks, public ::testing::WithParamInterface<PoolRoute> {};

// With a delta, the pool still gets back exactly the block that it handed out: the release
// pushes that very piece on its chunk's free list.
TEST_P(DeltaRoundTrip, PoolGetsBackTheBlockItHandedOut) {
    const PoolRoute& route = GetParam();
    GeneralPool* user = CreatePool(0, 32768, "User");
    void* poolArgument = route.poolArgument == 0 ? user : Number(route.poolArgument);
    void* param = route.poolArgument == 2 ? user : nullptr;
    auto allocate = [&] { return QORSpecializedNew(route.size, poolArgument, param, 0); };

    // The first block keeps the chunk in use, so that the second one's release is a push.
    void* keeper = allocate();
    ASSERT_NE(keeper, nullptr);
    PoolBase* pool = route.entry == kUserPool   ? user
                     : route.entry == kThreaded ? gThreadedPool
                                                : gFixedPools[route.entry];
    ASSERT_NE(pool, nullptr);

    log_.Mark();
    void* p = allocate();
    const std::vector<Call> calls = log_.Since();
    void* block = ReportedBlock(calls);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(
        CallsAre(calls, {{Event::GetDelta, {route.size, W(poolArgument), W(param), 0}},
                         {Event::Malloc, {W(block), route.size, W(poolArgument), W(param), 0}}}));
    EXPECT_EQ(p, Offset(block, kDelta));
    EXPECT_EQ(QORSysGetAllocatorFromAddress(block), pool);
    const std::uint64_t pieceBytes = HeaderOf(block)->sizeWord;
    EXPECT_GE(pieceBytes, route.size + kDelta + kBlockHeaderBytes);
    const std::uint64_t freeBefore = pool->chunk.free;

    log_.Mark();
    QORSpecializedDelete(p, nullptr);
    EXPECT_TRUE(CallsAre(log_.Since(), {{Event::GetDelta, {kAllBits, 0, W(p), 0}},
                                        {Event::Free, {W(block), W(pool), 0}}}));
    EXPECT_EQ(pool->chunk.freeList, reinterpret_cast<FreeArea*>(HeaderOf(block)));
    EXPECT_EQ(pool->chunk.free, freeBefore + pieceBytes);

    QORSpecializedDelete(keeper, nullptr);
    EXPECT_EQ(pool->IsEmpty(), -1);
    EXPECT_EQ(QORSysFlushPool(user, QORSysPoolFlag::FLUSH_DESTROY), 0);
}

const PoolRoute kPoolRoutes[] = {
    {"Permanent", 100, 1, kPermanentEntry}, {"SingleSize24", 24, 4, 3},
    {"SingleSize128", 128, 4, kEntry128},   {"FastPool", 200, 4, kFastEntry},
    {"Threaded", 100, 32, kThreaded},       {"PoolInParam", 100, 2, kUserPool},
    {"PoolObject", 100, 0, kUserPool},
};

INSTANTIATE_TEST_SUITE_P(Routes, DeltaRoundTrip, ::testing::ValuesIn(kPoolRoutes),
                         [](const ::testing::TestParamInfo<PoolRoute>& info) {
                             return std::string(info.param.name);
                         });

// Pool argument 8: the neighbour is looked up at the caller's pointer minus the delta.
TEST_F(RecordingHooks, BlockBesideAnotherIsPlacedInTheNeighboursChunk) {
    GeneralPool* user = CreatePool(0, 32768, "Beside");
    void* neighbour = QORSpecializedNew(100, Number(2), user, 0);
    log_.Mark();
    void* p = QORSpecializedNew(40, Number(8), neighbour, 0);
    const std::vector<Call> calls = log_.Since();
    void* block = ReportedBlock(calls);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(CallsAre(calls, {{Event::GetDelta, {40, 8, W(neighbour), 0}},
                                 {Event::Malloc, {W(block), 40, 8, W(neighbour), 0}}}));
    EXPECT_EQ(p, Offset(block, kDelta));
    EXPECT_EQ(QORSysGetAllocatorFromAddress(block), user);
    EXPECT_GE(HeaderOf(block)->sizeWord, std::uint64_t{40 + kDelta + 16});

    log_.Mark();
    QORSpecializedDelete(p, nullptr);
    EXPECT_TRUE(CallsAre(log_.Since(), {{Event::GetDelta, {kAllBits, 0, W(p), 0}},
                                        {Event::Free, {W(block), W(user), 0}}}));
    EXPECT_EQ(user->chunk.freeList, reinterpret_cast<FreeArea*>(HeaderOf(block)));

    // A heap block has no chunk to place a neighbour in.
    void* heapBlock = QORSpecializedNew(10, nullptr, nullptr, 0);
    log_.Mark();
    EXPECT_EQ(QORSpecializedNew(40, Number(8), heapBlock, 0), nullptr);
    EXPECT_TRUE(CallsAre(log_.Since(), {{Event::GetDelta, {40, 8, W(heapBlock), 0}},
                                        {Event::MallocFailure, {0, 40, 8, W(heapBlock), 0}}}));
    QORSpecializedDelete(heapBlock, nullptr);
    QORSpecializedDelete(neighbour, nullptr);
    EXPECT_EQ(QORSysFlushPool(user, QORSysPoolFlag::FLUSH_DESTROY), 0);
}

TEST_F(RecordingHooks, EveryFailedRequestIsReportedOnce) {
    for (std::uintptr_t poolArgument : {3, 9, 16, 31}) {
        log_.Mark();
        EXPECT_EQ(QORSpecializedNew(10, Number(poolArgument), nullptr, 5), nullptr);
        EXPECT_TRUE(CallsAre(log_.Since(), {{Event::GetDelta, {10, poolArgument, 0, 5}},
                                            {Event::MallocFailure, {0, 10, poolArgument, 0, 5}}}))
            << "pool argument " << poolArgument;
    }

    GeneralPool* closed = CreatePool(QORSysPoolFlag::NO_NEW_SUBPOOL, 32768, "Closed");
    log_.Mark();
    EXPECT_EQ(QORSpecializedNew(40000, closed, nullptr, 0), nullptr);
    EXPECT_TRUE(CallsAre(log_.Since(), {{Event::GetDelta, {40000, W(closed), 0, 0}},
                                        {Event::MallocFailure, {0, 40000, W(closed), 0, 0}}}));

    platform::SetMallocFailureFilter([](std::size_t) { return true; });
    log_.Mark();
    void* heapBlock = QORSpecializedNew(100, nullptr, nullptr, 0);
    platform::SetMallocFailureFilter(nullptr);
    EXPECT_EQ(heapBlock, nullptr);
    EXPECT_TRUE(CallsAre(log_.Since(), {{Event::GetDelta, {100, 0, 0, 0}},
                                        {Event::MallocFailure, {0, 100, 0, 0, 0}}}));
    EXPECT_EQ(QORSysFlushPool(closed, QORSysPoolFlag::FLUSH_DESTROY), 0);
}

TEST_F(RecordingHooks, PointerWithoutOwnerIsReportedAndNeverReleased) {
    // A block-like pointer whose owner word is 0: the library did not hand it out.
    alignas(16) std::uintptr_t foreign[4] = {0, 48, 0, 0};
    void* p = &foreign[2];
    QORSpecializedDelete(p, nullptr);
    EXPECT_TRUE(
        CallsAre(log_.Since(), {{Event::GetDelta, {kAllBits, 0, W(p), 0}},
                                {Event::InvalidPtr, {W(p), W(-1), 0xFF00, 0}, "PoolFromAddr"},
                                {Event::InvalidPtr, {W(p), W(-1), 0xFF00, 0}, "SpeDel"}}));

    log_.Mark();
    EXPECT_EQ(QORSysGetAllocatorFromAddress(p), Number(0xFF00));
    EXPECT_TRUE(
        CallsAre(log_.Since(), {{Event::InvalidPtr, {W(p), W(-1), 0xFF00, 0}, "PoolFromAddr"}}));
}

TEST_F(RecordingHooks, GeneralPoolFreeReportsBlocksItCannotTake) {
    GeneralPool* pool = CreatePool(0, 32768, "Judge");
    const std::uint64_t freeBefore = pool->chunk.free;
    // Released through a named pool, the owner word 0xFF00 (with the in-use bit) reaches the
    // pool's Free, which refuses it.
    alignas(16) std::uintptr_t foreign[4] = {0xFF01, 48, 0, 0};
    void* p = &foreign[2];
    log_.Mark();
    QORSpecializedDelete(p, pool);
    EXPECT_TRUE(
        CallsAre(log_.Since(), {{Event::GetDelta, {kAllBits, 0, W(p), 0}},
                                {Event::Free, {W(p), W(pool), 0}},
                                {Event::InvalidPtr, {W(p), W(-1), W(pool), 0xFF00}, "Deall"}}));
    EXPECT_EQ(pool->chunk.free, freeBefore);

    log_.Mark();
    pool->Free(nullptr, nullptr);
    EXPECT_TRUE(CallsAre(log_.Since(), {{Event::InvalidPtr, {0, W(-1), W(pool), 0}, "Deall"}}));
    EXPECT_EQ(QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY), 0);
}

// Fills a 32768-byte pool so that the second block needs a chunk of 65536 bytes.
struct GrownPool {
    GeneralPool* pool;
    void* first;
    void* second;
    SubPool* added;
};

GrownPool Grow(HookLog& log, const char* name) {
    GrownPool grown{CreatePool(0, 32768, name), nullptr, nullptr, nullptr};
    grown.first = QORSpecializedNew(20000, grown.pool, nullptr, 0);
    log.Mark();
    grown.second = QORSpecializedNew(20000, grown.pool, nullptr, 0);
    grown.added = static_cast<SubPool*>(grown.pool->chunk.next);
    return grown;
}

TEST_F(RecordingHooks, AddedChunkIsReportedBeforeTheBlockPlacedInIt) {
    GrownPool grown = Grow(log_, "Growing");
    ASSERT_NE(grown.added, nullptr);
    const std::uintptr_t chunk = W(grown.added);
    EXPECT_TRUE(CallsAre(
        log_.Since(), {{Event::GetDelta, {20000, W(grown.pool), 0, 0}},
                       {Event::SubPoolCreation,
                        {W(grown.pool), chunk, 65536 - 64, 0, chunk + 64 + 16, 65536 - 64 - 16}},
                       {Event::Malloc, {W(grown.second) - kDelta, 20000, W(grown.pool), 0, 0}}}));
    void* secondBlock = Offset(grown.second, -kDelta);
    EXPECT_EQ(QORSysGetAllocatorFromAddress(secondBlock), grown.added);

    // The release of a block of an added chunk names the chunk as owner.
    log_.Mark();
    QORSpecializedDelete(grown.second, nullptr);
    QORSpecializedDelete(grown.first, nullptr);
    EXPECT_TRUE(
        CallsAre(log_.Since(), {{Event::GetDelta, {kAllBits, 0, W(grown.second), 0}},
                                {Event::Free, {W(secondBlock), chunk, 0}},
                                {Event::GetDelta, {kAllBits, 0, W(grown.first), 0}},
                                {Event::Free, {W(grown.first) - kDelta, W(grown.pool), 0}}}));
    EXPECT_EQ(QORSysFlushPool(grown.pool, QORSysPoolFlag::FLUSH_DESTROY), 0);
}

TEST_F(RecordingHooks, WalkingDestroyReportsEveryChunkAfterTheFlush) {
    GrownPool grown = Grow(log_, "Walked");
    ASSERT_NE(grown.added, nullptr);
    const std::uintptr_t pool = W(grown.pool);
    const std::uintptr_t chunk = W(grown.added);
    const std::uint64_t poolFree = grown.pool->chunk.free;
    const std::uint64_t chunkFree = grown.added->chunk.free;

    log_.Mark();
    EXPECT_EQ(
        QORSysFlushPool(grown.pool, QORSysPoolFlag::FLUSH_DESTROY | QORSysPoolFlag::FLUSH_WALK), 0);
    EXPECT_TRUE(CallsAre(
        log_.Since(),
        {{Event::PoolFlush, {pool, 3}},
         {Event::SubPoolFlushed, {pool, pool, poolFree, 0, pool + 112 + 16, poolFree - 16}},
         // The last argument is the pool's own free count, not the chunk's.
         {Event::SubPoolFlushed, {pool, chunk, chunkFree, 0, chunk + 64 + 16, poolFree - 16}}}));
    EXPECT_FALSE(InRegistry(grown.pool));
}

TEST_F(RecordingHooks, DestroyIfEmptyReportsTheFlushButNoChunk) {
    GrownPool grown = Grow(log_, "Emptied");
    ASSERT_NE(grown.added, nullptr);
    log_.Mark();
    EXPECT_EQ(QORSysFlushPool(grown.pool, QORSysPoolFlag::FLUSH_DESTROY_IF_EMPTY), -1);
    EXPECT_TRUE(CallsAre(log_.Since(), {{Event::PoolFlush, {W(grown.pool), 4}}}));
    EXPECT_TRUE(InRegistry(grown.pool));

    QORSpecializedDelete(grown.first, nullptr);
    QORSpecializedDelete(grown.second, nullptr);
    log_.Mark();
    EXPECT_EQ(QORSysFlushPool(grown.pool, QORSysPoolFlag::FLUSH_DESTROY_IF_EMPTY), 0);
    EXPECT_TRUE(CallsAre(log_.Since(), {{Event::PoolFlush, {W(grown.pool), 4}}}));
    EXPECT_FALSE(InRegistry(grown.pool));
}

// A paged block has no header: its release names the page's pool and the page's slot size.
TEST_F(RecordingHooks, PagedBlockIsReportedWithItsSlotSize) {
    const char name[] = "Paged";
    void* pool = QORSysCreatePool(static_cast<int>(QORSysPoolFlag::PAGED), 0, name);
    ASSERT_NE(pool, nullptr);
    EXPECT_TRUE(CallsAre(log_.Since(),
                         {{Event::PoolCreation, {W(pool), 0, 0x400000, W(name), 0, 0}, name}}));

    log_.Mark();
    void* p = QORSpecializedNew(40, pool, nullptr, 0);
    void* block = ReportedBlock(log_.Since());
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(p, Offset(block, kDelta));
    const std::uint32_t slotBytes = PageObjectOf(block)->blockSize;
    EXPECT_GE(slotBytes, 40u + kDelta);

    log_.Mark();
    QORSpecializedDelete(p, nullptr, static_cast<int>(QORSysPoolFlag::PAGED));
    EXPECT_TRUE(CallsAre(log_.Since(), {{Event::GetDelta, {kAllBits, 0, W(p), 0}},
                                        {Event::Free, {W(block), W(pool), slotBytes}}}));
    log_.Mark();
    EXPECT_EQ(QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY), 0);
    EXPECT_TRUE(CallsAre(log_.Since(), {{Event::PoolFlush, {W(pool), 1}}}));
}

// Inactive pools: the hooks see the pool argument after it was turned into 0 (the heap).
TEST_F(HookFixture, InactivePoolsReportTheHeapRoute) {
    ASSERT_NO_FATAL_FAILURE(Start(QOR_RECORDING_HOOKS, QOR_RECORDING_HOOKS ".dll", "OFF"));
    void* p = QORSpecializedNew(100, Number(1), nullptr, 3);
    void* block = ReportedBlock(log_.Since());
    EXPECT_TRUE(CallsAre(log_.Since(), {{Event::GetDelta, {100, 0, 0, 3}},
                                        {Event::Malloc, {W(block), 100, 0, 0, 3}}}));
    EXPECT_EQ(p, Offset(block, kDelta));
    EXPECT_EQ(OwnerWordOf(block), 1u);
    EXPECT_EQ(gFixedPools[kPermanentEntry], nullptr);

    GeneralPool* pool = CreatePool(0, 32768, "Named");
    log_.Mark();
    void* q = QORSpecializedNew(50, Number(2), pool, 0);
    EXPECT_TRUE(CallsAre(log_.Since(), {{Event::GetDelta, {50, 2, W(pool), 0}},
                                        {Event::Malloc, {W(q) - kDelta, 50, 2, W(pool), 0}}}));
    QORSpecializedDelete(q, nullptr);
    QORSpecializedDelete(p, nullptr);
    EXPECT_EQ(QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY), 0);
}

// Cancelled pools: bare malloc and free, and no hook is called although the library is loaded.
TEST_F(HookFixture, CancelledPoolsCallNoHook) {
    ASSERT_NO_FATAL_FAILURE(Start(QOR_RECORDING_HOOKS, QOR_RECORDING_HOOKS ".dll", "CANCELED"));
    gMallocRequests.clear();
    platform::SetMallocFailureFilter(RecordMallocRequests);
    void* p = QORSpecializedNew(100, Number(1), nullptr, 0);
    platform::SetMallocFailureFilter(nullptr);
    EXPECT_EQ(gMallocRequests, std::vector<std::size_t>{100});
    QORSpecializedDelete(p, nullptr);
    EXPECT_TRUE(CallsAre(log_.Since(), {}));
}

// Only QORSignalMalloc is exported: allocations are reported, releases are not, no delta.
TEST_F(HookFixture, LibraryWithOnlyTheMallocHook) {
    ASSERT_NO_FATAL_FAILURE(Start(QOR_MALLOC_ONLY_HOOKS, QOR_MALLOC_ONLY_HOOKS ".dll"));
    void* p = QORSpecializedNew(100, nullptr, nullptr, 0);
    void* q = QORSpecializedNew(24, Number(4), nullptr, 0);
    EXPECT_EQ(OwnerWordOf(p), 1u);
    EXPECT_EQ(HeaderOf(p)->sizeWord, 116u);
    EXPECT_EQ(QORSysGetAllocatorFromAddress(q), gFixedPools[3]);
    EXPECT_EQ(HeaderOf(q)->sizeWord, 40u);
    QORSpecializedDelete(p, nullptr);
    QORSpecializedDelete(q, nullptr);
    EXPECT_TRUE(CallsAre(log_.Since(), {{Event::Malloc, {W(p), 100, 0, 0, 0}},
                                        {Event::Malloc, {W(q), 24, 4, 0, 0}}}));
}

// The recording library answers to the cut name and to the ".so" file only: a block with the
// delta in front proves that its hooks are the ones called.
void ExpectDeltaApplied(HookLog& log) {
    void* p = QORSpecializedNew(100, nullptr, nullptr, 0);
    EXPECT_EQ(Offset(p, -kDelta), ReportedBlock(log.Since()));
    QORSpecializedDelete(p, nullptr);
}

TEST_F(HookFixture, NameIsCutAtSixtyThreeCharacters) {
    const std::string value = QOR_TRUNCATED_HOOKS_VALUE;
    ASSERT_EQ(value.size(), 70u);
    const std::string fileName = value.substr(0, 63) + ".dll";
    ASSERT_EQ(fileName, QOR_TRUNCATED_HOOKS ".dll");
    ASSERT_NO_FATAL_FAILURE(Start(QOR_TRUNCATED_HOOKS_VALUE, fileName));
    ExpectDeltaApplied(log_);
}

TEST_F(HookFixture, DllNameFallsBackToSo) {
    ASSERT_NO_FATAL_FAILURE(Start(QOR_SO_ONLY_HOOKS, QOR_SO_ONLY_HOOKS ".so"));
    EXPECT_FALSE(IsLoaded(QOR_SO_ONLY_HOOKS ".dll"));
    ExpectDeltaApplied(log_);
}

// A library that cannot be loaded: instrumentation stays on, and blocks are laid out exactly as
// without it.
TEST(MissingHookLibrary, AllocationsBehaveAsWithoutInstrumentation) {
    ASSERT_TRUE(VariableIs(kInstrumentation, QOR_MISSING_HOOKS));
    ASSERT_TRUE(VariableIs(kPoolAllocator, nullptr));
    ASSERT_TRUE(ReplayPurifyIs(false));
    void* p = QORSpecializedNew(100, nullptr, nullptr, 0);
    EXPECT_EQ(hooks::gInstrumentationState, 1);
    EXPECT_FALSE(IsLoaded(QOR_MISSING_HOOKS ".dll"));
    EXPECT_FALSE(IsLoaded(QOR_MISSING_HOOKS ".so"));
    EXPECT_EQ(OwnerWordOf(p), 1u);
    EXPECT_EQ(HeaderOf(p)->sizeWord, 116u);

    void* q = QORSpecializedNew(24, Number(4), nullptr, 0);
    EXPECT_EQ(QORSysGetAllocatorFromAddress(q), gFixedPools[3]);
    EXPECT_EQ(HeaderOf(q)->sizeWord, 40u);
    void* beside = QORSpecializedNew(24, Number(8), q, 0);
    EXPECT_EQ(QORSysGetAllocatorFromAddress(beside), gFixedPools[3]);
    EXPECT_EQ(QORSpecializedNew(10, Number(3), nullptr, 0), nullptr);

    alignas(16) std::uintptr_t foreign[4] = {0, 48, 0, 0};
    QORSpecializedDelete(&foreign[2], nullptr);
    for (void* block : {beside, q, p})
        QORSpecializedDelete(block, nullptr);
    EXPECT_EQ(gFixedPools[3]->IsEmpty(), -1);
}

} // namespace
} // namespace qor
