// Every kind of block released through every release entry point ends exactly where the release
// that decodes the block step by step ends: the owner word or the page names the owner, and
// ReleaseThroughOwner hands the block to its pool's Free. The fast paths decode a block once and
// call the pool themselves, so this table holds them to the plain route: for each pair, two forked
// children of one parent state release the same block, one each way, and their pools' records,
// maps and next placements must agree field by field.
#include "TestSupport.h"
#include "core/PoolArgument.h"
#include "core/PoolInterface.h"
#include "generalpool/GeneralBlocks.h"
#include "pagedpool/PagedBlocks.h"
#include "pagedpool/PagedPool.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace qor {
namespace {

void* Ptr(std::uintptr_t value) { return reinterpret_cast<void*>(value); }
void* New(std::size_t size, void* pool, void* param = nullptr, int n = 0) {
    return QORSpecializedNew(size, pool, param, n);
}

// One block to release, the pool whose state shows the release (null for a heap block) and the
// request that the released room may serve next.
struct Scenario {
    void* block = nullptr;
    void* pool = nullptr;
    int flags = 0;
    std::size_t nextSize = 0;
    void* nextPool = nullptr;
    void* nextParam = nullptr;
    std::array<void*, 2> neighbours{}; // blocks around it, when a heap's blocks must not be lost
};

// What a release left: the owning pool's record and map, and where the next three requests go.
struct Observation {
    QORPoolInfo record{};
    std::array<QORPoolMapEntry, 48> map{};
    long mapEntries = 0;
    std::array<std::uintptr_t, 3> next{};
};

Observation Observe(const Scenario& scenario) {
    Observation seen;
    if (scenario.pool != nullptr) {
        QORSysGetPoolInfo(scenario.pool, nullptr, &seen.record, 0);
        seen.mapEntries = QORSysGetPoolMap(scenario.pool, seen.map.data(), seen.map.size());
    }
    const std::size_t sizes[] = {scenario.nextSize, scenario.nextSize, scenario.nextSize / 2 + 8};
    for (std::size_t i = 0; i < seen.next.size(); ++i)
        seen.next[i] =
            reinterpret_cast<std::uintptr_t>(New(sizes[i], scenario.nextPool, scenario.nextParam));
    return seen;
}

// The release decoded step by step, as the route without fast paths makes it.
void StepByStepRelease(const Scenario& scenario) {
    void* block = scenario.block;
    if (scenario.flags & QORSysPoolFlag::PAGED)
        return ReleaseThroughOwner(paged::OwnerOf(block), block);
    void* owner = QORSysGetAllocatorFromAddress(block);
    if (owner == nullptr) return std::free(HeaderOf(block));
    ReleaseThroughOwner(owner, block);
}

// A release entry point; `flagged`: it can pass the paged flag.
struct Entry {
    const char* name;
    bool flagged;
    std::function<void(const Scenario&)> release;
};

const std::vector<Entry>& Entries() {
    static const std::vector<Entry> entries = {
        {"QORSpecializedDelete(block, null)", false,
         [](const Scenario& s) { QORSpecializedDelete(s.block, nullptr); }},
        {"QORSpecializedDelete(block, null, flags)", true,
         [](const Scenario& s) { QORSpecializedDelete(s.block, nullptr, s.flags); }},
        {"QORSpecializedDelete(block, owner, flags)", true,
         [](const Scenario& s) {
             // The heap has no pool object to name: its blocks go by their header.
             QORSpecializedDelete(s.block, s.pool, s.pool != nullptr ? s.flags : 0);
         }},
        {"QORSysCachedDelete(block, flags)", true,
         [](const Scenario& s) { QORSysCachedDelete(s.block, s.flags); }},
        {"QORSysCachedDelete(block, flags, pointer)", true,
         [](const Scenario& s) { QORSysCachedDelete(s.block, s.flags, s.block); }},
    };
    return entries;
}

// Runs `work` in a forked child and returns the observation it wrote back.
Observation InChild(const std::function<void()>& release, const Scenario& scenario) {
    int pipeEnds[2];
    EXPECT_EQ(pipe(pipeEnds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeEnds[0]);
        release();
        const Observation seen = Observe(scenario);
        const bool written = write(pipeEnds[1], &seen, sizeof seen) == sizeof seen;
        _exit(written ? 0 : 1);
    }
    close(pipeEnds[1]);
    Observation seen;
    std::size_t got = 0;
    while (got < sizeof seen) {
        const ssize_t n =
            read(pipeEnds[0], reinterpret_cast<char*>(&seen) + got, sizeof seen - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(pipeEnds[0]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child did not finish";
    EXPECT_EQ(got, sizeof seen);
    return seen;
}

#define EXPECT_FIELD(field) EXPECT_EQ(entry.field, reference.field) << #field
void ExpectSame(const Observation& entry, const Observation& reference) {
    EXPECT_EQ(entry.record, reference.record); // field by field (TestSupport.h)
    ASSERT_EQ(entry.mapEntries, reference.mapEntries);
    for (long i = 0; i < entry.mapEntries && i < static_cast<long>(entry.map.size()); ++i) {
        SCOPED_TRACE("map entry " + std::to_string(i));
        EXPECT_FIELD(map[i].start);
        EXPECT_FIELD(map[i].bytes);
        EXPECT_FIELD(map[i].usedBytes);
        EXPECT_FIELD(map[i].kind);
        EXPECT_FIELD(map[i].count);
        EXPECT_FIELD(map[i].usedSlots);
    }
    for (std::size_t i = 0; i < entry.next.size(); ++i)
        EXPECT_FIELD(next[i]) << " (request " << i << ")";
}
#undef EXPECT_FIELD

// Scenarios: a block with neighbours in use (its release is a push), and, for the kinds whose
// fast path hands the release on, the last block of its chunk or page (its release resets it).
struct Kind {
    const char* name;
    std::function<Scenario()> make;
};

Scenario Released(void* block, void* pool, std::size_t nextSize, void* nextPool,
                  void* nextParam = nullptr, int flags = 0) {
    return Scenario{block, pool, flags, nextSize, nextPool, nextParam};
}

// A pool argument's pool object: itself, or the fixed pool it names (none for the heap).
void* PoolOf(void* poolArgument, std::size_t size) {
    return IsPoolNumber(poolArgument) ? QORSysGetFixedPool(poolArgument, size) : poolArgument;
}

// Blocks around the one released, so that its room is neither the first nor the last.
Scenario Among(void* poolArgument, std::size_t size, int flags = 0) {
    void* before = New(size + 40, poolArgument);
    void* block = New(size, poolArgument);
    Scenario s = Released(block, PoolOf(poolArgument, size), size, poolArgument, nullptr, flags);
    s.neighbours = {before, New(size + 8, poolArgument)};
    return s;
}

Scenario Alone(void* pool, std::size_t size, int flags = 0) {
    return Released(New(size, pool), pool, size, pool, nullptr, flags);
}

void* Created(int flags, std::size_t size = 0x10000) {
    return QORSysCreatePool(flags, size, "release table");
}

const std::vector<Kind>& Kinds() {
    using namespace QORSysPoolFlag;
    static const std::vector<Kind> kinds = {
        {"heap", [] { return Among(Ptr(0), 40); }},
        {"single-size fixed pool", [] { return Among(Ptr(4), 24); }},
        {"fast pool", [] { return Among(Ptr(4), 200); }},
        {"permanent pool", [] { return Among(Ptr(1), 100); }},
        {"thread-safe pool", [] { return Among(Ptr(32), 64); }},
        {"private plain pool", [] { return Among(Created(0), 72); }},
        {"private tracked pool",
         [] { return Among(Created(TRACKED_FREE_LIST | CURRENT_SUBPOOL_HINT), 72); }},
        {"private locked pool", [] { return Among(Created(LOCKED), 72); }},
        {"private plain pool, its last block", [] { return Alone(Created(0), 72); }},
        {"private tracked pool, its last block",
         [] { return Alone(Created(TRACKED_FREE_LIST), 72); }},
        {"private locked pool, its last block", [] { return Alone(Created(LOCKED), 72); }},
        {"a further chunk's only block",
         [] {
             void* p = Created(0, 0x8000);
             void* block;
             do
                 block = New(1000, p);
             while (QORSysGetAllocatorFromAddress(block) == p);
             return Released(block, p, 1000, p);
         }},
        {"arena carrier",
         [] {
             void* p = Created(0);
             void* carrier = New(100, p, Ptr(16), 1000);
             void* neighbour = New(50, Ptr(8), carrier);
             New(20, p);
             return Released(carrier, p, 100, Ptr(8), neighbour);
         }},
        {"block in an arena",
         [] {
             void* p = Created(TRACKED_FREE_LIST);
             void* carrier = New(100, p, Ptr(16), 1000);
             New(40, Ptr(8), carrier);
             void* block = New(60, Ptr(8), carrier);
             New(30, Ptr(8), carrier);
             return Released(block, p, 60, Ptr(8), carrier);
         }},
        {"paged pool", [] { return Among(Created(PAGED), 48, PAGED); }},
        {"locked paged pool", [] { return Among(Created(PAGED | LOCKED), 48, PAGED); }},
        {"paged pool, its page's last block", [] { return Alone(Created(PAGED), 48, PAGED); }},
        {"locked paged pool, its page's last block",
         [] { return Alone(Created(PAGED | LOCKED), 48, PAGED); }},
    };
    return kinds;
}

TEST(ReleaseRoutes, EveryKindThroughEveryEntryEndsAsTheStepByStepRelease) {
    int compared = 0;
    for (const Kind& kind : Kinds()) {
        const Scenario scenario = kind.make();
        ASSERT_NE(scenario.block, nullptr) << kind.name;
        for (const Entry& entry : Entries()) {
            if ((scenario.flags & QORSysPoolFlag::PAGED) && !entry.flagged) continue;
            SCOPED_TRACE(std::string(kind.name) + " through " + entry.name);
            // Both children fork from the same state, the heap's included.
            const Observation reference = InChild([&] { StepByStepRelease(scenario); }, scenario);
            ExpectSame(InChild([&] { entry.release(scenario); }, scenario), reference);
            ++compared;
        }
        // The parent's own copy of the scenario ends too: a heap's blocks are nobody else's.
        for (void* block : {scenario.block, scenario.neighbours[0], scenario.neighbours[1]})
            QORSpecializedDelete(block, nullptr, scenario.flags);
    }
    EXPECT_EQ(compared, 18 * 5 - 4); // the two-argument form cannot name a paged block
}

// The released room is really reused: the fast path's result is not merely the same as a wrong
// reference. A pushed block serves the next request of its size; a reset chunk serves from its
// start.
TEST(ReleaseRoutes, ReleasedRoomServesTheNextRequest) {
    void* pool = Created(0);
    const Scenario s = Among(pool, 72);
    QORSpecializedDelete(s.block, nullptr);
    EXPECT_EQ(New(72, pool), s.block);

    void* alone = Created(0);
    void* first = New(72, alone);
    QORSpecializedDelete(first, nullptr);
    QORPoolInfo info{};
    QORSysGetPoolInfo(alone, nullptr, &info, 0);
    EXPECT_EQ(info.freeSize + general::kPoolHeaderBytes, info.totalSize);
    EXPECT_EQ(New(72, alone), first);
}

} // namespace
} // namespace qor
