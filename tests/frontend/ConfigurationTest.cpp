// Configuration, hooks (tests/hooks libraries) and exit clean-up, each case in its own process.
#include "hooks/RecordingHooks.h"

#include "QORSys.hpp"
#include "QORSysAllocator.h"
#include "core/Configuration.h"
#include "core/ExitCleanup.h"
#include "core/SizeClasses.h"
#include "frontend/FixedPools.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

namespace qor {
namespace {

using namespace testhooks;
namespace Route = QORSys::Route;
using namespace QORSysPoolFlag;

std::vector<std::size_t> gMallocs;

bool RecordMalloc(std::size_t bytes) {
    gMallocs.push_back(bytes);
    return false;
}

void* At(void* p, std::ptrdiff_t bytes) { return static_cast<char*>(p) + bytes; }

int Expected(const char* variable) { return std::atoi(std::getenv(variable)); }

// The entry sets the row's variables and QOR_TEST_MESSAGE, _INACTIVE, _CANCELLED, _EXIT_CLEANUP.
// Until the first allocation a release is a plain free (no header read); reports configure nothing.
TEST(Configuration, FirstAllocationDecides) {
    const int inactive = Expected("QOR_TEST_INACTIVE"), cancelled = Expected("QOR_TEST_CANCELLED");
    ::testing::internal::CaptureStderr();
    QORSpecializedDelete(std::malloc(40), nullptr);
    for (void* pool : {Route::Fast, Route::Permanent, Route::ThreadSafe})
        QORSysPoolGetFreeSpace(pool, nullptr, nullptr); // reports on the fixed pools
    EXPECT_EQ(QORSysGetPoolActivityStatus(), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    platform::SetMallocFailureFilter(RecordMalloc);
    ::testing::internal::CaptureStderr();
    void* first = QORSpecializedNew(100, Route::Permanent, nullptr, 0);
    auto* pool = static_cast<PoolBase*>(QORSysCreatePool(0, 1000, "Row")); // configured already
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), std::getenv("QOR_TEST_MESSAGE"));
    const ConfigurationFlags& flags = State().config;
    EXPECT_EQ(
        (std::vector<bool>{flags.inactive, flags.cancelled, flags.exitCleanupRegistered}),
        (std::vector<bool>{inactive != 0, cancelled != 0, Expected("QOR_TEST_EXIT_CLEANUP") != 0}));
    EXPECT_EQ(QORSysGetPoolActivityStatus(), inactive ? 0 : -1);
    const std::uint64_t poolFree = pool->chunk.free;
    void* second = QORSpecializedNew(50, Route::InParam, pool, 0);
    platform::SetMallocFailureFilter(nullptr);
    // Pooled (the report made the permanent pool), heap blocks with a header but for 2, or bare.
    const std::vector<std::size_t> mallocs[] = {{32768}, {116, 32768}, {100, 32768, 50}};
    EXPECT_EQ(gMallocs, mallocs[cancelled ? 2 : inactive ? 1 : 0]);
    EXPECT_EQ(pool->chunk.free < poolFree, !cancelled);
    // Bare blocks have no header: a header or page read, or a release into the pool, would fail.
    for (void* block : {first, second})
        QORSpecializedDelete(block, cancelled ? pool : nullptr, cancelled ? PAGED : 0);
    EXPECT_EQ(pool->chunk.free, poolFree);
}

std::string Take() { return std::exchange(*LoadedHookLog(QOR_RECORDING_HOOKS ".dll"), {}); }

// The calls of a request that handed out `p`, and of the release of `p`.
std::string Allocated(void* p, std::size_t size, void* pool, void* param = nullptr) {
    return Call("GetDelta", size, pool, param, 0) +
           Call("Malloc", At(p, -kDelta), size, pool, param, 0);
}

std::string Released(void* p, void* owner, std::size_t size = 0) {
    return Call("GetDelta", -1, 0, p, 0) + Call("Free", At(p, -kDelta), owner, size);
}

// Run with QORSysPoolAllocator=OFF and the recording hooks, which then see pool argument 1 as 0.
TEST(Configuration, PoolCreationConfigures) {
    ::testing::internal::CaptureStderr();
    void* pool = QORSysCreatePool(0, 1000);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), std::getenv("QOR_TEST_MESSAGE"));
    void* p = QORSpecializedNew(100, Route::Permanent, nullptr, 0);
    EXPECT_EQ(Take(), Call("PoolCreation", pool, 32768, 0, "unknown", At(pool, 128), 32768 - 128) +
                          Allocated(p, 100, nullptr));
    QORSpecializedDelete(p, nullptr);
}

// The fuzzers' way back to a first call within one process. Run with no variable set: the
// second configuration reads one set in between.
TEST(Configuration, ResetStateGivesAFreshModule) {
    void* pool = QORSysCreatePool(0, 1000, "Live");
    EXPECT_DEATH(ResetState(), "^ResetState: a pool is still live\n");
    QORSysFlushPool(pool, FLUSH_DESTROY);
    QORSpecializedDelete(QORSpecializedNew(24, Route::Fast, nullptr, 0), nullptr);
    RunExitCleanup(); // the fixed pool for 24 goes
    ASSERT_EQ(State().poolRegistry, nullptr);

    ResetState();
    EXPECT_TRUE(State().config.pending && State().takeFullRoute);
    EXPECT_EQ(State().fixedPools[3], nullptr);
    setenv("QORSysPoolAllocator", "OFF", 1);
    ::testing::internal::CaptureStderr();
    void* p = QORSpecializedNew(24, Route::Fast, nullptr, 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "! FORCED INACTIVATION FOR QORSysAllocators\n");
    EXPECT_EQ(HeaderOf(p)->ownerWord & ~3ul, 0u) << "a heap block, as pooling is now off";
    QORSpecializedDelete(p, nullptr);
}

// The three switches, each value as people write it, in one process (ResetState between reads).
// Run with no variable set.
TEST(Configuration, SwitchesReadTheWaysPeopleWriteThem) {
    struct Row {
        const char* value; // null: unset
        bool on;
        bool reported;
    };
    const Row rows[] = {{"ON", true, false},     {"on", true, false},    {"1", true, false},
                        {"Yes", true, false},    {"true", true, false},  {"OFF", false, false},
                        {"off", false, false},   {"0", false, false},    {"no", false, false},
                        {"FALSE", false, false}, {"maybe", false, true}, {"", false, true},
                        {"ON ", false, true},    {nullptr, false, false}};
    const std::pair<const char*, bool ConfigurationFlags::*> switches[] = {
        {"QORSysAllocatorChecks", &ConfigurationFlags::checks},
        {"QORSysAllocatorReclaim", &ConfigurationFlags::reclaimOff},
        {"QORSysAllocatorThreadCache", &ConfigurationFlags::threadCacheOff}};
    for (const auto& [name, flag] : switches)
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(name) + "=" + (row.value ? row.value : "(unset)"));
            if (row.value != nullptr)
                setenv(name, row.value, 1);
            else
                unsetenv(name);
            ResetState();
            ::testing::internal::CaptureStderr();
            config::ConfigureIfPending();
            EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                      row.reported ? "Invalid value for " + std::string(name) +
                                         "\nValid values are ON or OFF\n"
                                   : "");
            // Checks is on when asked for; the other two are "off" flags, set when switched off.
            const bool unsetOrUnknown = row.value == nullptr || row.reported;
            const bool expected =
                flag == &ConfigurationFlags::checks ? row.on : !row.on && !unsetOrUnknown;
            EXPECT_EQ(State().config.*flag, expected);
            unsetenv(name);
        }
    ResetState();
}

// The second block needs an added chunk; only a walking destroy reports the chunks it flushes.
TEST(RecordingHooks, PoolEvents) {
    auto* pool = static_cast<PoolBase*>(QORSysCreatePool(0, 32768, "Grown"));
    void* first = QORSpecializedNew(20000, pool, nullptr, 0);
    void* second = QORSpecializedNew(20000, pool, nullptr, 0);
    auto* chunk = static_cast<SubPool*>(pool->chunk.next);
    const std::uint64_t poolFree = pool->chunk.free, chunkFree = chunk->chunk.free;
    EXPECT_EQ(QORSysFlushPool(pool, FLUSH_DESTROY | FLUSH_WALK), 0);
    EXPECT_EQ(Take(),
              Call("PoolCreation", pool, 32768, 0, "Grown", At(pool, 128), 32768 - 128) +
                  Allocated(first, 20000, pool) + Call("GetDelta", 20000, pool, 0, 0) +
                  Call("SubPoolCreation", pool, chunk, 65536 - 64, 0, At(chunk, 80), 65536 - 80) +
                  Call("Malloc", At(second, -kDelta), 20000, pool, 0, 0) +
                  Call("PoolFlush", pool, 3) +
                  Call("SubPoolFlushed", pool, pool, poolFree, 0, At(pool, 128), poolFree - 16) +
                  Call("SubPoolFlushed", pool, chunk, chunkFree, 0, At(chunk, 80), poolFree - 16));
    void* empty = QORSysCreatePool(0, 32768, "Empty");
    Take();
    EXPECT_EQ(QORSysFlushPool(empty, FLUSH_DESTROY_IF_EMPTY), 0);
    EXPECT_EQ(Take(), Call("PoolFlush", empty, 4));
}

// Despite the delta the pool gets back the very block it handed out: it heads the free list.
TEST(RecordingHooks, PoolGetsBackTheBlockItHandedOut) {
    void* user = QORSysCreatePool(0, 32768, "User");
    void* neighbour = QORSpecializedNew(100, user, nullptr, 0);
    const std::tuple<std::size_t, void*, void*> routes[] = {{100, Route::Permanent, nullptr},
                                                            {24, Route::Fast, nullptr},
                                                            {128, Route::Fast, nullptr},
                                                            {200, Route::Fast, nullptr},
                                                            {100, Route::ThreadSafe, nullptr},
                                                            {100, Route::InParam, user},
                                                            {100, user, nullptr},
                                                            {40, Route::BesideBlock, neighbour}};
    for (auto [size, pool, param] : routes) {
        void* keeper = QORSpecializedNew(size, pool, param, 0); // keeps the chunk in use
        Take();
        void* p = QORSpecializedNew(size, pool, param, 0);
        auto* owner = static_cast<PoolBase*>(QORSysGetAllocatorFromAddress(At(p, -kDelta)));
        QORSpecializedDelete(p, nullptr);
        EXPECT_EQ(Take(), Allocated(p, size, pool, param) + Released(p, owner));
        EXPECT_EQ(owner->chunk.freeList, reinterpret_cast<FreeArea*>(HeaderOf(At(p, -kDelta))));
        QORSpecializedDelete(keeper, nullptr);
    }
}

// Requests from no pool, a closed pool, beside a heap block, the heap with malloc failing; then
// releases of that block made foreign: owner word 0, and through a pool, owner 0xFF00.
TEST(RecordingHooks, FailuresAndInvalidPointers) {
    auto* closed = static_cast<PoolBase*>(QORSysCreatePool(NO_NEW_SUBPOOL, 32768, "Closed"));
    alignas(16) std::uintptr_t foreign[6] = {1, 48}; // a heap block's header, then kDelta bytes
    void* p = &foreign[4];
    Take();
    std::string expected;
    for (void* pool :
         {reinterpret_cast<void*>(3), reinterpret_cast<void*>(31), static_cast<void*>(closed),
          static_cast<void*>(Route::BesideBlock), static_cast<void*>(Route::Heap)}) {
        void* param = pool == Route::BesideBlock ? p : nullptr;
        if (pool == nullptr) platform::SetMallocFailureFilter([](std::size_t) { return true; });
        EXPECT_EQ(QORSpecializedNew(40000, pool, param, 5), nullptr);
        expected += Call("GetDelta", 40000, pool, param, 5) +
                    Call("MallocFailure", 0, 40000, pool, param, 5);
    }
    platform::SetMallocFailureFilter(nullptr);
    const std::uint64_t freeBefore = closed->chunk.free;
    foreign[0] = 0;
    QORSpecializedDelete(p, nullptr);
    foreign[0] = 0xFF01;
    QORSpecializedDelete(p, closed);
    EXPECT_EQ(closed->chunk.free, freeBefore);
    EXPECT_EQ(Take(), expected + Call("GetDelta", -1, 0, p, 0) +
                          Call("InvalidPtr", &foreign[2], -1, 0xFF00, 0, "PoolFromAddr") +
                          Call("InvalidPtr", &foreign[2], -1, 0xFF00, 0, "SpeDel") +
                          Released(p, closed) +
                          Call("InvalidPtr", &foreign[2], -1, closed, 0xFF00, "Deall"));
}

// The entry names the file that must be loaded (none: no hook) and the delta blocks must get.
TEST(HookLibrary, IsFoundByItsName) {
    const char* file = std::getenv("QOR_TEST_HOOK_FILE");
    const int delta = Expected("QOR_TEST_DELTA");
    void* p = QORSpecializedNew(100, nullptr, nullptr, 0);
    EXPECT_EQ(HeaderOf(At(p, -delta))->sizeWord, 116u + delta);
    QORSpecializedDelete(p, nullptr);
    if (file == nullptr) return;
    const std::string* log = LoadedHookLog(file);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(*log, delta ? Allocated(p, 100, nullptr) + Released(p, nullptr, 132)
                          : Call("Malloc", p, 100, 0, 0, 0));
}

std::string gExpectedAtExit;

void CheckLogAtExit() { std::_Exit(Take().ends_with(gExpectedAtExit) ? 0 : 1); }

// Makes fixed, threaded, application and paged pools; returns the flushes that a clean-up makes.
std::string UsePools() {
    for (void* pool : {Route::Permanent, Route::Fast, Route::ThreadSafe})
        QORSpecializedNew(pool == Route::Fast ? 24 : 100, pool, nullptr, 0);
    QORSpecializedNew(200, Route::Fast, nullptr, 0);
    QORSpecializedNew(100, QORSysCreatePool(0, 32768, "Mine"), nullptr, 0);
    void* paged = QORSysCreatePool(PAGED, 0, "Paged");
    Take();
    return Call("PoolFlush", State().fixedPools[0], 1) +
           Call("PoolFlush", State().fixedPools[3], 1) +
           Call("PoolFlush", State().fixedPools[kFastEntry], 1) + Call("PoolFlush", paged, 5);
}

// ReplayPurify with pools forced on. At exit (in a child) CheckLogAtExit runs last; registering
// again must not make a second run flush the permanent pool that an exit function makes anew.
TEST(ExitCleanup, DestroysTheFixedPoolsOnce) {
    EXPECT_EXIT(
        {
            std::atexit(CheckLogAtExit);
            gExpectedAtExit = UsePools();
            std::atexit([] { QORSpecializedNew(100, Route::Permanent, nullptr, 0); });
            platform::RegisterModuleExit(RunExitCleanup);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    const std::string flushes = UsePools();
    RunExitCleanup();
    EXPECT_EQ(Take(), flushes);
    EXPECT_EQ(std::vector(std::begin(State().fixedPools), std::end(State().fixedPools)),
              std::vector<GeneralPool*>(kFixedPoolEntries));
    EXPECT_NE(State().threadedPool, nullptr);
}

} // namespace
} // namespace qor
