// The exit clean-up, registered with ReplayPurify while QORSysPoolAllocator=ON keeps the pools
// active. What happens at exit is seen in a child process: the recording hook library prints the
// pool flushes that it saw when it is unloaded, after the program's exit list has run.
#include "ConfigurationTestEnvironment.h"
#include "HooksTestLog.h"

#include "QORSysAllocator.h"
#include "frontend/Configuration.h"
#include "frontend/ExitCleanup.h"
#include "frontend/FixedPools.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace qor {
namespace {

using namespace testenv;

constexpr char kHookFile[] = QOR_RECORDING_HOOKS ".dll";

void* Number(std::uintptr_t poolArgument) { return Address(poolArgument); }

std::string DumpOf(std::initializer_list<const char*> lines) {
    std::string text = testhooks::kDumpBegin;
    for (const char* line : lines)
        text += std::string(line) + "\n";
    return text + testhooks::kDumpEnd;
}

void ExpectEnvironment() {
    ASSERT_TRUE(ReplayPurifyIs(true));
    ASSERT_TRUE(VariableIs(kPoolAllocator, "ON"));
    ASSERT_TRUE(VariableIs(kInstrumentation, QOR_RECORDING_HOOKS));
}

// Creates the permanent pool, the single-size pools for 24 and 128, the fast pool, the threaded
// pool and an application's general pool, each holding a block, and an empty paged pool.
void UsePools() {
    QORSpecializedNew(100, Number(1), nullptr, 0);
    QORSpecializedNew(24, Number(4), nullptr, 0);
    QORSpecializedNew(128, Number(4), nullptr, 0);
    QORSpecializedNew(200, Number(4), nullptr, 0);
    QORSpecializedNew(100, Number(32), nullptr, 0);
    QORSysCreatePool(static_cast<int>(QORSysPoolFlag::PAGED), 0, "Paged");
    QORSpecializedNew(100, QORSysCreatePool(0, 32768, "Mine"), nullptr, 0);
}

// In a child: from now on, the hook library prints the pool flushes it sees when it is unloaded.
void DumpFlushesAtExit() {
    HookState* state = LoadedHookState(kHookFile);
    if (state == nullptr) {
        std::fputs("hook library not loaded\n", stderr);
        std::_Exit(2);
    }
    state->dumpFrom = state->callCount;
    state->dumpFlushesAtExit = 1;
}

TEST(ExitCleanup, DestroysPermanentAndFastPoolsButNotTheThreadedPool) {
    ASSERT_NO_FATAL_FAILURE(ExpectEnvironment());
    EXPECT_EXIT(
        {
            UsePools();
            if (config::gExitCleanupRegistered != -1) std::_Exit(3);
            DumpFlushesAtExit();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        DumpOf({"PoolFlush Default 0x100000 1", "PoolFlush FastSglAllocs 0xc0 1",
                "PoolFlush FastSglAllocs 0xc0 1", "PoolFlush FastAllocs 0x40 1",
                "PoolFlush Paged 0x400000 5"}));
}

void AllocateFromPermanentPool() { QORSpecializedNew(100, Number(1), nullptr, 0); }

// An exit function registered between two registrations of the clean-up would run between its
// two runs and give it a permanent pool to destroy a second time.
TEST(ExitCleanup, RunsOnceEvenWhenRegisteredAgain) {
    ASSERT_NO_FATAL_FAILURE(ExpectEnvironment());
    EXPECT_EXIT(
        {
            AllocateFromPermanentPool();
            std::atexit(AllocateFromPermanentPool);
            if (platform::RegisterModuleExit(RunExitCleanup) != 0) std::_Exit(3);
            DumpFlushesAtExit();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), DumpOf({"PoolFlush Default 0x100000 1"}));
}

TEST(ExitCleanup, DirectRunClearsTheFixedPoolsAndKeepsTheThreadedPool) {
    ASSERT_NO_FATAL_FAILURE(ExpectEnvironment());
    UsePools();
    HookState* state = LoadedHookState(kHookFile);
    ASSERT_NE(state, nullptr);
    ASSERT_EQ(config::gExitCleanupRegistered, -1);
    std::array<GeneralPool*, kFixedPoolEntries> fixed{};
    std::copy(std::begin(gFixedPools), std::end(gFixedPools), fixed.begin());
    GeneralPool* threaded = gThreadedPool;
    ASSERT_NE(threaded, nullptr);
    PoolBase* application = gPoolRegistry; // the newest pool
    PoolBase* paged = application->nextPool;
    ASSERT_TRUE(paged != nullptr && (paged->chunk.flags & QORSysPoolFlag::PAGED));
    std::vector<std::pair<std::uintptr_t, std::uintptr_t>> expectedFlushes;
    for (GeneralPool* pool : fixed)
        if (pool != nullptr) expectedFlushes.emplace_back(W(pool), 1);
    ASSERT_EQ(expectedFlushes.size(), 4u);
    expectedFlushes.emplace_back(W(paged), 5);

    HookLog log(state);
    log.Mark();
    RunExitCleanup();

    for (int entry = 0; entry < kFixedPoolEntries; ++entry)
        EXPECT_EQ(gFixedPools[entry], nullptr) << "entry " << entry;
    EXPECT_EQ(gThreadedPool, threaded);
    std::vector<std::pair<std::uintptr_t, std::uintptr_t>> flushes;
    for (const Call& call : log.Since())
        if (call.event == Event::PoolFlush) flushes.emplace_back(call.args[0], call.args[1]);
    EXPECT_EQ(flushes, expectedFlushes);
    // Only the threaded pool and the application's general pool are left.
    ASSERT_EQ(gPoolRegistry, application);
    ASSERT_NE(application->nextPool, nullptr);
    EXPECT_EQ(application->nextPool, threaded);
    EXPECT_EQ(threaded->nextPool, nullptr);

    // The threaded pool still serves; a fixed pool is created anew on demand.
    void* block = QORSpecializedNew(10, Number(32), nullptr, 0);
    EXPECT_EQ(QORSysGetAllocatorFromAddress(static_cast<char*>(block) - 16), threaded);
    QORSpecializedDelete(block, nullptr);
    block = QORSpecializedNew(24, Number(4), nullptr, 0);
    EXPECT_NE(gFixedPools[3], nullptr);
    QORSpecializedDelete(block, nullptr);
}

// After a direct run, the registered clean-up still runs at exit and destroys what was created
// since, and nothing else.
TEST(ExitCleanup, RunsAtExitAfterADirectRun) {
    ASSERT_NO_FATAL_FAILURE(ExpectEnvironment());
    EXPECT_EXIT(
        {
            UsePools();
            RunExitCleanup();
            DumpFlushesAtExit();
            QORSpecializedNew(100, Number(1), nullptr, 0);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), DumpOf({"PoolFlush Default 0x100000 1"}));
}

} // namespace
} // namespace qor
