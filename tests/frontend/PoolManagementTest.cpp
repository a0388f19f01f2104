// Pool management calls: creation, flush and optimise forwarding, which pools a report covers
// and with which options, free-space queries and the fixed answers. Every case runs in a fresh
// process, so the registry and the fixed pools start empty.
#include "frontend/Configuration.h"
#include "frontend/EntryPointsTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace qor::test {
namespace {

using QORSysPoolFlag::REPORT_ONE_LINE;

// A stream whose text the test can read back.
class CapturedStream {
public:
    CapturedStream() : stream(open_memstream(&data_, &length_)) {}
    ~CapturedStream() {
        std::fclose(stream);
        std::free(data_);
    }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;

    std::string Text() {
        std::fflush(stream);
        return std::string(data_, length_);
    }

    FILE* const stream;

private:
    char* data_ = nullptr;
    std::size_t length_ = 0;
};

// What a report prints first for a pool: the block heading, or the start of the one-line form.
std::string Address(const void* pool) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%016lX", reinterpret_cast<unsigned long>(pool));
    return text;
}
std::string BlockHeading(const void* pool) { return "[MEMORY POOL " + Address(pool) + "]"; }
std::string OneLine(const void* pool) { return "POOL:" + Address(pool) + " "; }

int Occurrences(const std::string& text, const std::string& what) {
    int found = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++found;
    return found;
}

TEST(PoolManagement, CreatePoolSizesFirstChunkAndRegistersNewestFirst) {
    MallocLog log;
    void* small = QORSysCreatePool(0, 1000);
    void* named = QORSysCreatePool(0, 40000, "named");
    void* locked = QORSysCreatePool(QORSysPoolFlag::LOCKED | QORSysPoolFlag::NO_NEW_SUBPOOL, 1000);
    ASSERT_NE(small, nullptr);
    ASSERT_NE(named, nullptr);
    ASSERT_NE(locked, nullptr);
    ASSERT_EQ(log.count, 3);
    EXPECT_EQ(log.sizes[0], 32768u);
    EXPECT_EQ(log.sizes[1], 39936u); // rounded down to 1024, not up
    EXPECT_EQ(FieldsOf(small)->size, 32768u);
    EXPECT_EQ(FieldsOf(named)->size, 39936u);
    EXPECT_EQ(FieldsOf(small)->flags, 0x11u);
    EXPECT_EQ(FieldsOf(locked)->flags, 0x8u | 0x200u | 0x11u);

    EXPECT_EQ(gPoolRegistry, locked);
    EXPECT_EQ(static_cast<PoolBase*>(locked)->nextPool, named);
    EXPECT_EQ(static_cast<PoolBase*>(named)->nextPool, small);
    EXPECT_EQ(static_cast<PoolBase*>(small)->nextPool, nullptr);
    // Creation is one of the calls that run the configuration.
    EXPECT_EQ(config::gConfigurationPending, 0);
    EXPECT_EQ(config::gCancelled, 0);
}

TEST(PoolManagement, PagedFlagCreatesPagedPoolAndIgnoresSize) {
    MallocLog log;
    void* paged = QORSysCreatePool(QORSysPoolFlag::PAGED, 1000);
    void* large = QORSysCreatePool(QORSysPoolFlag::PAGED, 1 << 24, "large");
    ASSERT_NE(paged, nullptr);
    ASSERT_NE(large, nullptr);
    ASSERT_EQ(log.count, 2);
    EXPECT_EQ(log.sizes[0], 88u);
    EXPECT_EQ(log.sizes[1], 88u);
    EXPECT_EQ(static_cast<PoolBase*>(paged)->GetStructSize(), 88u);
    EXPECT_EQ(FieldsOf(paged)->flags & QORSysPoolFlag::PAGED, QORSysPoolFlag::PAGED);
    EXPECT_EQ(gPoolRegistry, large);
    EXPECT_EQ(static_cast<PoolBase*>(large)->nextPool, paged);
}

TEST(PoolManagement, CreatePoolFailsWhenMallocFails) {
    MallocLog log(/*failAll=*/true);
    EXPECT_EQ(QORSysCreatePool(0, 1000), nullptr);
    EXPECT_EQ(QORSysCreatePool(0, 1000, "name"), nullptr);
    EXPECT_EQ(gPoolRegistry, nullptr);
}

TEST(PoolManagement, FlushAndOptimizeForwardToThePool) {
    EXPECT_EQ(QORSysFlushPool(nullptr, 0), -1);
    EXPECT_EQ(QORSysOptimizePool(nullptr, QORSysPoolFlag::OPTIMIZE_RELEASE_EMPTY), -1);

    auto* pool = static_cast<GeneralPool*>(QORSysCreatePool(0, 32768));
    NewFrom(100, pool);
    NewFrom(40000, pool);
    ASSERT_NE(pool->chunk.next, nullptr);
    EXPECT_EQ(QORSysFlushPool(pool, 0), 0);
    EXPECT_EQ(pool->chunk.next, nullptr);
    EXPECT_EQ(pool->chunk.free, FreeWhenEmpty(pool, GeneralPool::kPoolHeaderBytes));

    QORSpecializedDelete(NewFrom(40000, pool), nullptr);
    ASSERT_NE(pool->chunk.next, nullptr);
    EXPECT_EQ(QORSysOptimizePool(pool, QORSysPoolFlag::OPTIMIZE_RELEASE_EMPTY), 0);
    EXPECT_EQ(pool->chunk.next, nullptr);
    EXPECT_EQ(QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY), 0);
    EXPECT_EQ(gPoolRegistry, nullptr);
}

TEST(PoolManagement, ReportOfAllPoolsIsNewestFirstWithoutCallerOptions) {
    void* oldest = QORSysCreatePool(0, 65536);
    void* middle = QORSysCreatePool(0, 32768);
    void* newest = QORSysCreatePool(0, 32768);
    CapturedStream out;
    QORPoolInfo record{};
    QORSysGetPoolInfo(nullptr, out.stream, &record, REPORT_ONE_LINE);
    const std::string text = out.Text();
    const auto newestAt = text.find(BlockHeading(newest));
    const auto middleAt = text.find(BlockHeading(middle));
    const auto oldestAt = text.find(BlockHeading(oldest));
    ASSERT_NE(oldestAt, std::string::npos) << text;
    EXPECT_LT(newestAt, middleAt);
    EXPECT_LT(middleAt, oldestAt);
    EXPECT_EQ(Occurrences(text, "POOL:"), 0) << "options must not reach the pools";
    // Every pool writes the same record; the oldest writes last.
    EXPECT_EQ(record.totalSize, 65536u);
}

TEST(PoolManagement, PermanentPoolReportCreatesItWhenMissing) {
    CapturedStream out;
    QORPoolInfo record{};
    QORSysGetPoolInfo(Ptr(1), out.stream, &record, REPORT_ONE_LINE);
    GeneralPool* permanent = gFixedPools[0];
    ASSERT_NE(permanent, nullptr);
    EXPECT_EQ(permanent->chunk.size, 0x200000u);
    EXPECT_EQ(permanent->chunk.flags, 0x100000u | 0x200000u | 0x11u);
    EXPECT_EQ(out.Text().rfind(OneLine(permanent), 0), 0u) << out.Text();
    EXPECT_EQ(record.totalSize, 0x200000u);
    // A report never runs the configuration; asking again creates nothing new.
    EXPECT_EQ(config::gConfigurationPending, -1);
    QORSysGetPoolInfo(Ptr(1), nullptr, &record, 0);
    EXPECT_EQ(gPoolRegistry, permanent);
    EXPECT_EQ(permanent->nextPool, nullptr);
}

TEST(PoolManagement, PermanentPoolReportWithFailedCreationReportsNothing) {
    MallocLog log(/*failAll=*/true);
    CapturedStream out;
    QORPoolInfo record{};
    record.totalSize = 12345;
    QORSysGetPoolInfo(Ptr(1), out.stream, &record, 0);
    EXPECT_EQ(out.Text(), "");
    EXPECT_EQ(record.totalSize, 12345u);
    EXPECT_EQ(gFixedPools[0], nullptr);
}

TEST(PoolManagement, FastPoolReportListsSmallKeysInAscendingOrder) {
    ConfigureThroughHeapBlock();
    CapturedStream before;
    QORPoolInfo record{};
    record.totalSize = 12345;
    QORSysGetPoolInfo(Ptr(4), before.stream, &record, REPORT_ONE_LINE);
    EXPECT_EQ(before.Text(), "");
    EXPECT_EQ(record.totalSize, 12345u);

    // Created out of key order; keys 128 and 200 (the fast pool) are not part of this report.
    for (std::size_t size : {80, 8, 24, 121, 200})
        ASSERT_NE(NewFrom(size, 4), nullptr);
    ASSERT_EQ(CountFixedPools(), 5);
    CapturedStream out;
    QORSysGetPoolInfo(Ptr(4), out.stream, nullptr, REPORT_ONE_LINE);
    const std::string text = out.Text();
    EXPECT_EQ(Occurrences(text, "POOL:"), 3) << text;
    const auto key8 = text.find(OneLine(gFixedPools[1]));
    const auto key24 = text.find(OneLine(gFixedPools[3]));
    const auto key80 = text.find(OneLine(gFixedPools[10]));
    EXPECT_EQ(key8, 0u);
    EXPECT_LT(key8, key24);
    EXPECT_LT(key24, key80);
    EXPECT_NE(key80, std::string::npos);
}

TEST(PoolManagement, ThreadedPoolReportNeedsTheThreadedPool) {
    ConfigureThroughHeapBlock();
    CapturedStream before;
    QORSysGetPoolInfo(Ptr(32), before.stream, nullptr, REPORT_ONE_LINE);
    EXPECT_EQ(before.Text(), "");
    EXPECT_EQ(gThreadedPool, nullptr);

    ASSERT_NE(NewFrom(64, 32), nullptr);
    CapturedStream out;
    QORSysGetPoolInfo(Ptr(32), out.stream, nullptr, REPORT_ONE_LINE);
    EXPECT_EQ(out.Text().rfind(OneLine(gThreadedPool), 0), 0u) << out.Text();
}

TEST(PoolManagement, PoolObjectReportReceivesTheCallerOptions) {
    void* pool = QORSysCreatePool(0, 32768);
    NewFrom(100, pool);
    CapturedStream block;
    QORPoolInfo record{};
    QORSysGetPoolInfo(pool, block.stream, &record, 0);
    EXPECT_NE(block.Text().find(BlockHeading(pool)), std::string::npos) << block.Text();
    EXPECT_EQ(record.freeSize, FieldsOf(pool)->free);
    CapturedStream line;
    QORSysGetPoolInfo(pool, line.stream, nullptr, REPORT_ONE_LINE);
    EXPECT_EQ(line.Text().rfind(OneLine(pool), 0), 0u) << line.Text();
}

TEST(PoolManagement, FreeSpaceWritesOnlyThroughNonNullPointers) {
    std::size_t freeBytes = 7;
    std::size_t largest = 9;
    EXPECT_EQ(QORSysPoolGetFreeSpace(nullptr, &freeBytes, &largest), 0);
    EXPECT_EQ(freeBytes, 7u);
    EXPECT_EQ(largest, 9u);

    auto* pool = static_cast<GeneralPool*>(QORSysCreatePool(0, 32768));
    NewFrom(40000, pool);
    NewFrom(3000, pool);
    const ChunkFields& own = pool->chunk;
    const ChunkFields& added = *FieldsOf(own.next);
    EXPECT_EQ(QORSysPoolGetFreeSpace(pool, nullptr, &largest), -1);
    EXPECT_EQ(largest, std::max(own.free, added.free));
    EXPECT_EQ(QORSysPoolGetFreeSpace(pool, &freeBytes, nullptr), -1);
    EXPECT_EQ(freeBytes, own.free + added.free);

    // Fixed-pool numbers are accepted as for a report.
    ASSERT_NE(NewFrom(64, 32), nullptr);
    EXPECT_EQ(QORSysPoolGetFreeSpace(Ptr(32), &freeBytes, nullptr), -1);
    EXPECT_EQ(freeBytes, gThreadedPool->chunk.free);
}

TEST(PoolManagement, FixedAnswers) {
    void* pool = QORSysCreatePool(0, 1000);
    for (int n : {0, 1, 4, -1})
        for (void* p : {static_cast<void*>(nullptr), Ptr(32), pool})
            EXPECT_EQ(QORSysPoolGetAllocAddedSize(n, p), 8);

    std::size_t a = 1;
    std::size_t b = 2;
    std::size_t c = 3;
    QORSysAllGetStructInfos(nullptr, &b, &c);
    EXPECT_EQ(b, 2u);
    EXPECT_EQ(c, 3u);
    QORSysAllGetStructInfos(&a, &b, &c);
    EXPECT_EQ(a, 112u);
    EXPECT_EQ(b, 80u);
    EXPECT_EQ(c, 64u);
}

TEST(PoolManagement, ActivityStatusIsActiveByDefaultAndNeverConfigures) {
    EXPECT_EQ(QORSysGetPoolActivityStatus(), -1);
    EXPECT_EQ(config::gConfigurationPending, -1);
    ConfigureThroughHeapBlock();
    EXPECT_EQ(config::gConfigurationPending, 0);
    EXPECT_EQ(QORSysGetPoolActivityStatus(), -1);
}

} // namespace
} // namespace qor::test
