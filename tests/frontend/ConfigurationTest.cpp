// The configuration decision: every row of the table (QORSysPoolAllocator crossed with
// ReplayPurify) in a process of its own, and which calls run the configuration.
// Each case checks the text printed by the first call, byte for byte, the flags, the activity
// status, the exit clean-up registration and how requests are then routed.
#include "ConfigurationTestEnvironment.h"

#include "QORSysAllocator.h"
#include "frontend/Configuration.h"
#include "frontend/FixedPools.h"
#include "pagedpool/PagedPool.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace qor {
namespace {

using namespace testenv;

constexpr char kActivation[] = "! FORCED ACTIVATION FOR QORSysAllocators\n";
constexpr char kInactivation[] = "! FORCED INACTIVATION FOR QORSysAllocators\n";
constexpr char kInvalid[] = "Invalid value for QORSysPoolAllocator\nValid values are ON , OFF or "
                            "CANCELED";

enum class Routing { Pooled, HeapWithHeader, BareMalloc };

struct Row {
    const char* name;
    const char* poolAllocator; // null: the variable is absent
    bool replayPurify;
    const char* message;
    int inactive;
    int cancelled;
    int exitCleanup;
    Routing routing;
};

const Row kRows[] = {
    {"AbsentAlone", nullptr, false, "", 0, 0, 0, Routing::Pooled},
    {"AbsentWithReplay", nullptr, true, "", -1, -1, -1, Routing::BareMalloc},
    {"OnAlone", "ON", false, kActivation, 0, 0, 0, Routing::Pooled},
    {"OnWithReplay", "ON", true, kActivation, 0, 0, -1, Routing::Pooled},
    {"OffAlone", "OFF", false, kInactivation, -1, 0, 0, Routing::HeapWithHeader},
    {"OffWithReplay", "OFF", true, kInactivation, -1, 0, 0, Routing::HeapWithHeader},
    {"CanceledAlone", "CANCELED", false, kInactivation, -1, -1, 0, Routing::BareMalloc},
    {"CanceledWithReplay", "CANCELED", true, kInactivation, -1, -1, 0, Routing::BareMalloc},
    {"LowerCaseAlone", "on", false, kInvalid, 0, 0, 0, Routing::Pooled},
    {"LowerCaseWithReplay", "on", true, kInvalid, -1, -1, -1, Routing::BareMalloc},
    {"TrailingBlankAlone", "ON ", false, kInvalid, 0, 0, 0, Routing::Pooled},
    {"TrailingBlankWithReplay", "ON ", true, kInvalid, -1, -1, -1, Routing::BareMalloc},
    {"EmptyAlone", "", false, kInvalid, 0, 0, 0, Routing::Pooled},
};

void* Number(std::uintptr_t poolArgument) { return Address(poolArgument); }

std::uintptr_t ChunkOf(void* block) { return OwnerWordOf(block) & ~kOwnerBits; }

void ExpectHeapBlock(void* block, std::size_t size) {
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(OwnerWordOf(block), 1u);
    EXPECT_EQ(HeaderOf(block)->sizeWord, size + kBlockHeaderBytes);
}

bool NoFixedPoolExists() {
    for (GeneralPool* pool : gFixedPools)
        if (pool != nullptr) return false;
    return gThreadedPool == nullptr;
}

// Pools on: the pool argument picks the pool, a pool object is used as given.
void CheckPooledRoutes(void* first, PoolBase* pool) {
    ASSERT_NE(gFixedPools[kPermanentEntry], nullptr);
    EXPECT_EQ(ChunkOf(first), reinterpret_cast<std::uintptr_t>(gFixedPools[kPermanentEntry]));

    void* inParam = QORSpecializedNew(50, Number(2), pool, 0);
    void* direct = QORSpecializedNew(50, pool, nullptr, 0);
    void* fast = QORSpecializedNew(24, Number(4), nullptr, 0);
    EXPECT_EQ(ChunkOf(inParam), reinterpret_cast<std::uintptr_t>(pool));
    EXPECT_EQ(ChunkOf(direct), reinterpret_cast<std::uintptr_t>(pool));
    EXPECT_EQ(ChunkOf(fast), reinterpret_cast<std::uintptr_t>(gFixedPools[3]));
    EXPECT_EQ(QORSpecializedNew(10, Number(3), nullptr, 0), nullptr);
    for (void* block : {first, inParam, direct, fast})
        QORSpecializedDelete(block, nullptr);
}

// Pools inactive: every pool argument but 2 means the heap with a header, even one that names
// no pool or is a pool object; pool argument 2 still reaches the pool.
void CheckHeapRoutes(void* first, PoolBase* pool) {
    ExpectHeapBlock(first, 100);
    const std::uint64_t poolFree = pool->chunk.free;

    void* inParam = QORSpecializedNew(50, Number(2), pool, 0);
    EXPECT_EQ(ChunkOf(inParam), reinterpret_cast<std::uintptr_t>(pool));
    EXPECT_LT(pool->chunk.free, poolFree);
    QORSpecializedDelete(inParam, nullptr);
    EXPECT_EQ(pool->chunk.free, poolFree);

    void* direct = QORSpecializedNew(50, pool, nullptr, 0);
    ExpectHeapBlock(direct, 50);
    EXPECT_EQ(pool->chunk.free, poolFree);
    std::vector<void*> blocks{first, direct};
    for (std::uintptr_t poolArgument : {0, 3, 4, 8, 32}) {
        void* block = QORSpecializedNew(24, Number(poolArgument), nullptr, 0);
        ExpectHeapBlock(block, 24);
        blocks.push_back(block);
    }
    EXPECT_TRUE(NoFixedPoolExists());
    for (void* block : blocks)
        QORSpecializedDelete(block, nullptr);
}

// Pools cancelled: malloc of exactly the size asked, free of exactly the pointer given, whatever
// the pool arguments say.
void CheckBareRoutes(void* first, PoolBase* pool) {
    EXPECT_EQ(gMallocRequests, std::vector<std::size_t>{100});
    const std::uint64_t poolFree = pool->chunk.free;

    gMallocRequests.clear();
    platform::SetMallocFailureFilter(RecordMallocRequests);
    void* inParam = QORSpecializedNew(50, Number(2), pool, 0);
    void* direct = QORSpecializedNew(51, pool, nullptr, 0);
    void* fast = QORSpecializedNew(24, Number(4), nullptr, 0);
    void* none = QORSpecializedNew(10, Number(3), nullptr, 0);
    platform::SetMallocFailureFilter(nullptr);
    EXPECT_EQ(gMallocRequests, (std::vector<std::size_t>{50, 51, 24, 10}));
    EXPECT_EQ(pool->chunk.free, poolFree);
    EXPECT_TRUE(NoFixedPoolExists());

    // A header read or a pool release here would touch memory in front of a malloc result.
    QORSpecializedDelete(inParam, pool);
    QORSpecializedDelete(direct, pool, QORSysPoolFlag::PAGED);
    for (void* block : {first, fast, none})
        QORSpecializedDelete(block, nullptr);
    EXPECT_EQ(pool->chunk.free, poolFree);
}

class DecisionTable : public ::testing::TestWithParam<Row> {};

TEST_P(DecisionTable, FirstAllocationDecides) {
    const Row& row = GetParam();
    ASSERT_TRUE(VariableIs(kPoolAllocator, row.poolAllocator));
    ASSERT_TRUE(ReplayPurifyIs(row.replayPurify));
    ASSERT_TRUE(VariableIs(kInstrumentation, nullptr));

    EXPECT_EQ(QORSysGetPoolActivityStatus(), -1);
    EXPECT_EQ(config::gConfigurationPending, -1);
    EXPECT_EQ(config::gInactive, 0);
    EXPECT_EQ(config::gCancelled, -1);

    gMallocRequests.clear();
    platform::SetMallocFailureFilter(RecordMallocRequests);
    ::testing::internal::CaptureStderr();
    void* first = QORSpecializedNew(100, Number(1), nullptr, 0);
    const std::string printed = ::testing::internal::GetCapturedStderr();
    platform::SetMallocFailureFilter(nullptr);
    ASSERT_NE(first, nullptr);

    EXPECT_EQ(printed, row.message);
    EXPECT_EQ(config::gConfigurationPending, 0);
    EXPECT_EQ(config::gFirstAllocationDone, -1);
    EXPECT_EQ(config::gInactive, row.inactive);
    EXPECT_EQ(config::gCancelled, row.cancelled);
    EXPECT_EQ(config::gExitCleanupRegistered, row.exitCleanup);
    EXPECT_EQ(QORSysGetPoolActivityStatus(), row.inactive ? 0 : -1);

    // The first pool creation finds the configuration done: nothing is printed again, and pools
    // can be created whatever the decision.
    ::testing::internal::CaptureStderr();
    auto* pool = static_cast<PoolBase*>(QORSysCreatePool(0, 1000, "Row"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ASSERT_NE(pool, nullptr);

    switch (row.routing) {
    case Routing::Pooled:
        CheckPooledRoutes(first, pool);
        break;
    case Routing::HeapWithHeader:
        CheckHeapRoutes(first, pool);
        break;
    case Routing::BareMalloc:
        CheckBareRoutes(first, pool);
        break;
    }
    EXPECT_EQ(QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY), 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, DecisionTable, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             return std::string(info.param.name);
                         });

// Run with QORSysPoolAllocator=OFF: a configuration that ran would print its message.
TEST(ConfigurationTrigger, OnlyAllocationOrPoolCreationConfigures) {
    ASSERT_TRUE(VariableIs(kPoolAllocator, "OFF"));
    ASSERT_TRUE(ReplayPurifyIs(false));
    ASSERT_TRUE(VariableIs(kInstrumentation, nullptr));

    ::testing::internal::CaptureStderr();
    // Before the configuration a release is a plain free: the pointer has no header in front of
    // it, so reading one would fault (or be reported by the address sanitizer). The block is too
    // large for the allocator's thread cache, so its release shows in the heap statistics (which
    // stay flat under the sanitizer's own allocator).
    const std::size_t inUseBefore = mallinfo2().uordblks;
    QORSpecializedDelete(std::malloc(4096), nullptr);
    EXPECT_LE(mallinfo2().uordblks, inUseBefore);
    QORSpecializedDelete(nullptr, nullptr, QORSysPoolFlag::PAGED);
    EXPECT_EQ(QORSysGetPoolActivityStatus(), -1);
    QORPoolInfo record{};
    QORSysGetPoolInfo(nullptr, nullptr, &record, 0);
    QORSysGetPoolInfo(Number(4), nullptr, &record, 0);
    // Pool number 1 creates the permanent pool for its report, still without configuring.
    QORSysGetPoolInfo(Number(1), nullptr, &record, 0);
    EXPECT_NE(gFixedPools[kPermanentEntry], nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(config::gConfigurationPending, -1);
    EXPECT_EQ(config::gCancelled, -1);
    EXPECT_EQ(QORSysGetPoolActivityStatus(), -1);

    ::testing::internal::CaptureStderr();
    void* pool = QORSysCreatePool(0, 1000);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), kInactivation);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(config::gConfigurationPending, 0);
    EXPECT_EQ(config::gFirstPoolCreation, 0);
    EXPECT_EQ(config::gFirstAllocationDone, 0);
    EXPECT_EQ(config::gInactive, -1);
    EXPECT_EQ(config::gCancelled, 0);
    EXPECT_EQ(QORSysGetPoolActivityStatus(), 0);

    // The first allocation does not configure a second time; the permanent pool that the report
    // created is bypassed like every pool while pools are inactive.
    ::testing::internal::CaptureStderr();
    void* block = QORSpecializedNew(100, Number(1), nullptr, 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ExpectHeapBlock(block, 100);
    QORSpecializedDelete(block, nullptr);
    EXPECT_EQ(QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY), 0);
}

// The first paged pool configures by itself: its constructor is the third trigger.
TEST(ConfigurationTrigger, FirstPagedPoolConfigures) {
    ASSERT_TRUE(VariableIs(kPoolAllocator, "OFF"));
    ASSERT_TRUE(ReplayPurifyIs(false));
    ASSERT_TRUE(VariableIs(kInstrumentation, nullptr));

    ::testing::internal::CaptureStderr();
    PagedPool* paged = CreatePagedPool(QORSysPoolFlag::PAGED, "First");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), kInactivation);
    ASSERT_NE(paged, nullptr);
    EXPECT_EQ(config::gFirstPagedPool, 0);
    EXPECT_EQ(config::gFirstPoolCreation, -1);
    EXPECT_EQ(config::gInactive, -1);

    ::testing::internal::CaptureStderr();
    void* pool = QORSysCreatePool(QORSysPoolFlag::PAGED, 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY), 0);
    EXPECT_EQ(paged->Flush(QORSysPoolFlag::FLUSH_DESTROY), 0);
}

} // namespace
} // namespace qor
