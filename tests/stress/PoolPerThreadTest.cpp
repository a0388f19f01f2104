// One pool per thread, the pattern a user reaches for first: threads create unlocked pools of their
// own, fill them with their own pattern, check and destroy them, all at the same time, while
// another thread reports and checks every pool. The pools' regions, the registry and the first
// calls are shared; each pool is not. A report reads an unlocked pool without its lock, so the
// workers use their pools under a shared hold that the reporter takes alone; creation and
// destruction stay outside it and so meet the reports. Swap files, one per thread, last.
#include "QORSys.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <random>
#include <shared_mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kRounds = 60;  // pools each thread makes and destroys
constexpr int kBlocks = 300; // blocks per pool
constexpr int kThreads = 4;

struct Kind {
    const char* name;
    std::optional<QORSys::PagedPoolOptions> paged; // else general
    QORSys::GeneralPoolOptions general;
};

const Kind kKinds[] = {
    {"PagedShared", QORSys::PagedPoolOptions{}, {}},
    {"PagedSharedVolatile", QORSys::PagedPoolOptions{.volatileRegions = true}, {}},
    {"PagedFlushable", QORSys::PagedPoolOptions{.flushable = true}, {}},
    {"General", std::nullopt, {}},
    {"GeneralTracked", std::nullopt, {.tracked = true}},
};

struct Block {
    unsigned char* data;
    std::size_t bytes;
    unsigned char stamp;
};

// Every byte of every block holds its stamp: another thread's block at the same address, or a
// block handed out twice, shows as a wrong byte.
void ExpectIntact(const std::vector<Block>& blocks, int thread, int round) {
    for (const Block& b : blocks)
        for (std::size_t i = 0; i < b.bytes; ++i)
            if (b.data[i] != b.stamp) {
                ADD_FAILURE() << "thread " << thread << " round " << round << ": byte " << i
                              << " of a block of " << b.bytes << " holds another block's data";
                return;
            }
}

class PoolPerThread : public testing::TestWithParam<int> {};

// Kind -1: each thread takes another kind, so that every kind meets every other.
TEST_P(PoolPerThread, ThreadsMakeUseAndDestroyTheirOwnPoolsWhileAnotherReportsThemAll) {
    std::shared_mutex use; // shared: a worker uses its pool; alone: the reporter reads them all
    std::atomic<int> working{kThreads};
    auto work = [&](int thread) {
        const Kind& kind = kKinds[GetParam() >= 0 ? GetParam() : thread % std::size(kKinds)];
        std::mt19937 random(thread + 1);
        for (int round = 0; round < kRounds; ++round) {
            std::optional<QORSys::PagedPool> paged;
            std::optional<QORSys::GeneralPool> general;
            if (kind.paged)
                paged.emplace(*kind.paged);
            else
                general.emplace(kind.general);
            const QORSys::PoolRef pool = paged ? QORSys::PoolRef(*paged) : *general;
            std::vector<Block> blocks;
            {
                std::shared_lock hold(use);
                for (int i = 0; i < kBlocks; ++i) {
                    const std::size_t bytes = 1 + random() % (kind.paged ? 1024 : 3000);
                    auto* data = static_cast<unsigned char*>(pool.allocate(bytes));
                    ASSERT_NE(data, nullptr);
                    const auto stamp = static_cast<unsigned char>(thread * 61 + round * 7 + i);
                    std::memset(data, stamp, bytes);
                    blocks.push_back({data, bytes, stamp});
                }
                ExpectIntact(blocks, thread, round);
                // Half go back and come again, so that pages and areas are reused mid-round.
                for (std::size_t i = 0; i < blocks.size(); i += 2)
                    pool.release(blocks[i].data);
                for (std::size_t i = 0; i < blocks.size(); i += 2) {
                    blocks[i].data = static_cast<unsigned char*>(pool.allocate(blocks[i].bytes));
                    ASSERT_NE(blocks[i].data, nullptr);
                    std::memset(blocks[i].data, blocks[i].stamp, blocks[i].bytes);
                }
                ExpectIntact(blocks, thread, round);
                EXPECT_EQ(QORSysCheckPool(pool.get(), stderr), -1);
                for (const Block& b : blocks)
                    pool.release(b.data);
            }
            EXPECT_TRUE(!paged || paged->empty());
        } // the pool is destroyed here, outside the hold: it meets the reports
        --working;
    };
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(work, t);
    int reports = 0;
    while (working.load() > 0 || reports == 0) {
        std::unique_lock alone(use);
        QORPoolInfo record{};
        QORSysGetPoolInfo(nullptr, nullptr, &record, 0);
        EXPECT_EQ(QORSysCheckPool(nullptr, stderr), -1);
        ++reports;
    }
    threads.clear();
    QORPoolInfo record{};
    QORSysGetPoolInfo(nullptr, nullptr, &record, 0);
    EXPECT_EQ(QORSysCheckPool(nullptr, stderr), -1);
}

struct Note : QORSysSwappable {
    Note(QORSysSwapFile* file, int stamp) : QORSysSwappable(file, 0), stamp(stamp) {
        std::memset(text, stamp & 0xFF, sizeof text);
    }
    int stamp;
    unsigned char text[900];
    bool Intact() const { return std::count(text, text + sizeof text, stamp & 0xFF) == 900; }
};

// A swap file of its own on each thread: distinct files, zones and page tables, each object back
// from disk as it went.
TEST(SwapFilePerThread, EachThreadsObjectsComeBackFromItsOwnFile) {
    auto work = [](int thread) {
        for (int round = 0; round < 4; ++round) {
            QORSys::SwapFile file({.zoneBytes = 32 << 10, .capacityBytes = 8 << 20});
            std::vector<QORSys::SwapHandle<Note>> notes;
            for (int i = 0; i < 200; ++i) {
                notes.push_back(file.make<Note>(thread * 1000 + i));
                ASSERT_TRUE(notes.back());
            }
            EXPECT_TRUE(notes.front().swapped()) << "a zone of 32 KB holds a few dozen notes";
            for (int i = 0; i < 200; ++i)
                ASSERT_TRUE(notes[i]->stamp == thread * 1000 + i && notes[i]->Intact()) << i;
        }
    };
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(work, t);
}

INSTANTIATE_TEST_SUITE_P(Kinds, PoolPerThread, testing::Range(-1, int(std::size(kKinds))),
                         [](const auto& info) {
                             return info.param < 0 ? std::string("Mixed")
                                                   : std::string(kKinds[info.param].name);
                         });

} // namespace
