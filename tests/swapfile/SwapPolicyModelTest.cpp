// The swap policies' model (bench/SwapPolicyModel.h) against the swap file itself. On traces
// whose blocks cannot fragment the zone (one block size, or large objects placed before any
// block is freed and never placed again) the model's page policy swaps the same objects in
// and out, in the same order, as the library; and there the furthest-next-visit rule moves no
// more objects than LRU, and LRU no more than the swap file's rules.
#include "SwapPolicyModel.h"

#include <QORSysSwapFile.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <random>
#include <vector>

namespace {

using qor::sim::Move;
using qor::sim::Policy;
using qor::sim::Trace;

constexpr std::uint32_t kSmallRequest = 1024 - 16;     // a 1 KiB block: eight records a page
constexpr std::uint32_t kLargeRequest = 9 * 1024 - 16; // a full page and a 1 KiB tail
constexpr std::size_t kZoneBytes = 200000;             // about 195 small or 21 large blocks
constexpr std::size_t kFileBytes = 1 << 26;

std::vector<Move>* gMoves = nullptr; // where the library's objects record their crossings

struct Recorded : QORSysSwappable {
    Recorded(QORSysSwapFile* file, std::uint32_t id) : QORSysSwappable(file, 0), id(id) {}
    long SwappedIn() override { return Record(true); }
    long SwappedOut() override { return Record(false); }
    long Record(bool in) {
        if (gMoves != nullptr) gMoves->push_back({id, in});
        return 0;
    }
    std::uint32_t id; // the n-th object created, as the model numbers them
};

struct RecordedRef : QORSysSwappable_hdl {
    using QORSysSwappable_hdl::QORSysSwappable_hdl;
    Recorded* Get() { return static_cast<Recorded*>(GetObject()); }
};

struct LibraryRun {
    std::vector<Move> moves;
    qor::sim::ZoneGeometry zone;
};

// The trace on a swap file, visits through handles and IsUsed as qor_out_of_core makes them.
LibraryRun RunLibrary(const Trace& trace) {
    QORSysSwapFile file;
    EXPECT_EQ(file.Initialize(0, kZoneBytes, kZoneBytes, kFileBytes), QORSysSwapSuccess);
    QORSysSwapStatistics statistics{};
    file.GetStatistics(&statistics);
    LibraryRun run{{}, {statistics.zoneCapacity, kFileBytes / 8192}};
    gMoves = &run.moves;
    std::uint32_t created = 0;
    const auto make = [&](std::uint32_t request) {
        void* memory = QORSysSwappable::operator new(request, &file, nullptr, 0);
        EXPECT_NE(memory, nullptr);
        return RecordedRef(::new (memory) Recorded(&file, created++));
    };
    std::vector<RecordedRef> refs;
    for (const std::uint32_t request : trace.requestBytes)
        refs.push_back(make(request));
    for (const qor::sim::TraceVisit& visit : trace.visits) {
        Recorded* object = refs[visit.slot].Get();
        EXPECT_NE(object, nullptr);
        if (object == nullptr) break;
        object->IsUsed();
        if (visit.newRequestBytes != 0) refs[visit.slot] = make(visit.newRequestBytes);
    }
    gMoves = nullptr; // the objects on disk come back to be destroyed: not part of the trace
    refs.clear();
    char path[4096];
    if (file.GetFilePath(path, sizeof path) == QORSysSwapSuccess) std::remove(path);
    return run;
}

// 300 objects, 600 visits near a locus that moves one object every four visits, from
// `firstVisited` on; a tenth rewrite, a fiftieth replace the object by one of `replacement`
// bytes.
Trace LocalTrace(std::vector<std::uint32_t> requests, std::uint32_t firstVisited,
                 std::uint32_t replacement) {
    std::mt19937 rng(7);
    Trace trace{std::move(requests), {}, 0};
    const auto visited = static_cast<std::uint32_t>(trace.requestBytes.size()) - firstVisited;
    for (std::uint32_t v = 0; v < 600; ++v) {
        const std::uint32_t action = rng() % 50;
        const auto slot = static_cast<std::uint32_t>(firstVisited + (v / 4 + rng() % 24) % visited);
        trace.visits.push_back({slot, action < 5, action == 5 ? replacement : 0});
    }
    return trace;
}

// Small objects after four large ones, made first and never visited: the small records that
// share their tail pages come back from the small side, the tails staying booked.
Trace SmallAfterLarge() {
    std::vector<std::uint32_t> requests(300, kSmallRequest);
    requests[0] = requests[2] = kLargeRequest;
    requests[1] = requests[3] = kLargeRequest + 1024; // a 2 KiB tail
    return LocalTrace(requests, 4, kSmallRequest);
}

// Large objects only: runs read back whole, their tail pages from a buffer or the file.
Trace LargeOnly() {
    return LocalTrace(std::vector<std::uint32_t>(300, kLargeRequest), 0, kLargeRequest);
}

std::size_t FirstDifference(const std::vector<Move>& a, const std::vector<Move>& b) {
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        ++i;
    return i;
}

TEST(SwapPolicyModel, PageReloadMovesWhatTheSwapFileMoves) {
    for (const Trace& trace : {SmallAfterLarge(), LargeOnly()}) {
        const LibraryRun library = RunLibrary(trace);
        std::vector<Move> model;
        qor::sim::Replay(Policy::Page, trace, library.zone, &model);
        const auto ins = std::count_if(library.moves.begin(), library.moves.end(),
                                       [](const Move& move) { return move.in; });
        ASSERT_GT(ins, 100) << "the visits must bring objects back";
        EXPECT_EQ(model.size(), library.moves.size());
        EXPECT_EQ(FirstDifference(model, library.moves), library.moves.size());
    }
}

TEST(SwapPolicyModel, BeladyMovesNoMoreThanLruAndLruNoMoreThanTheSwapFile) {
    const Trace trace = SmallAfterLarge();
    const qor::sim::ZoneGeometry zone = RunLibrary(trace).zone;
    std::uint64_t moved[4];
    for (const Policy policy : qor::sim::kPolicies) {
        const qor::sim::MoveCounts counts = qor::sim::Replay(policy, trace, zone);
        moved[static_cast<int>(policy)] = counts.objectsIn + counts.objectsOut;
    }
    EXPECT_LE(moved[static_cast<int>(Policy::Belady)], moved[static_cast<int>(Policy::Lru)]);
    EXPECT_LE(moved[static_cast<int>(Policy::Lru)], moved[static_cast<int>(Policy::Page)]);
    EXPECT_LE(moved[static_cast<int>(Policy::Object)], moved[static_cast<int>(Policy::Page)]);
}

} // namespace
