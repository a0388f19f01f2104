// Randomised model check of the paged pool over the region-list configurations, and two threads
// sharing one locked pool. The model holds every live block with its class and fill pattern; the
// pool must never hand out overlapping blocks, must keep their contents, and its counters must
// match the model (pages in use are exactly the pages that hold live blocks).
#include "pagedpool/PagedPoolTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace qor::test {
namespace {

struct LiveBlock {
    unsigned char* at;
    unsigned sizeClass;
    std::uint8_t seed;
};

void Fill(const LiveBlock& b) {
    for (unsigned i = 0; i < b.sizeClass; ++i)
        b.at[i] = static_cast<unsigned char>(b.seed + i);
}
bool Intact(const LiveBlock& b) {
    for (unsigned i = 0; i < b.sizeClass; ++i)
        if (b.at[i] != static_cast<unsigned char>(b.seed + i)) return false;
    return true;
}

class PagedPoolModel {
public:
    explicit PagedPoolModel(PagedPool* pool) : pool_(pool) {}

    // A request of `size` + `extra` bytes; classes no page can hold must be refused.
    void Allocate(std::size_t size, std::size_t extra, std::uint8_t seed) {
        const unsigned sizeClass = SizeClassOf(size + extra);
        auto* at = static_cast<unsigned char*>(pool_->Allocate(size, extra));
        if (sizeClass >= PagedPool::kFirstUnservedClass) {
            EXPECT_EQ(at, nullptr) << size << "+" << extra;
            return;
        }
        ASSERT_NE(at, nullptr) << size << "+" << extra;
        const PageObject* page = PageOf(at);
        ASSERT_EQ(page->owner, pool_);
        ASSERT_EQ(page->blockSize, sizeClass);
        ASSERT_EQ(pool_->GetBlockSize(at), sizeClass);
        const std::size_t offset = PageOffset(at);
        ASSERT_EQ(offset % sizeClass, 0u);
        ASSERT_GE(offset / sizeClass, static_cast<std::size_t>(ReservedCount(*page)));
        ASSERT_LE(offset + sizeClass, page->index == 0 ? kRegionDeltaOffset : kPageObjectOffset);

        auto after = byAddress_.lower_bound(Addr(at));
        ASSERT_TRUE(after == byAddress_.end() || after->first >= Addr(at) + sizeClass)
            << "overlaps the next block";
        if (after != byAddress_.begin()) {
            auto before = std::prev(after);
            ASSERT_LE(before->first + before->second, Addr(at)) << "overlaps the previous block";
        }
        byAddress_[Addr(at)] = sizeClass;
        live_.push_back({at, sizeClass, seed});
        Fill(live_.back());
        bytesInUse_ += sizeClass;
        CheckCounters();
    }

    void Release(std::size_t which) {
        const LiveBlock b = live_[which];
        live_[which] = live_.back();
        live_.pop_back();
        ASSERT_TRUE(Intact(b)) << "block at " << static_cast<void*>(b.at);
        byAddress_.erase(Addr(b.at));
        bytesInUse_ -= b.sizeClass;
        pool_->Free(b.at, nullptr);
        CheckCounters();
    }

    void CheckCounters() const {
        ASSERT_EQ(pool_->chunk.pieceCount, live_.size());
        ASSERT_EQ(pool_->chunk.largestFreeArea, bytesInUse_);
    }

    // Pages in use are those holding live blocks; `free` is their usable bytes not in use.
    void CheckAll() const {
        std::set<const PageObject*> pages;
        for (const LiveBlock& b : live_) {
            ASSERT_TRUE(Intact(b)) << "block at " << static_cast<void*>(b.at);
            pages.insert(PageOf(b.at));
        }
        std::uint64_t usable = 0;
        for (const PageObject* page : pages) {
            ASSERT_EQ(page->capacity, PageCapacity(*page));
            usable += std::uint64_t(page->capacity - ReservedCount(*page)) * page->blockSize;
        }
        ASSERT_EQ(pool_->chunk.size, pages.size() * kPageBytes);
        ASSERT_EQ(pool_->chunk.free, usable - bytesInUse_);
    }

    std::size_t LiveCount() const { return live_.size(); }

private:
    PagedPool* pool_;
    std::vector<LiveBlock> live_;
    std::map<std::uintptr_t, unsigned> byAddress_;
    std::uint64_t bytesInUse_ = 0;
};

class PagedPoolModelTest : public testing::TestWithParam<std::uint32_t> {};

TEST_P(PagedPoolModelTest, RandomAllocationsAndReleasesKeepThePoolConsistent) {
    PagedPoolHandle handle(GetParam());
    PagedPool* pool = handle.get();
    PagedPoolModel model(pool);
    std::mt19937 random(0x5eed + GetParam());
    auto below = [&](std::uint32_t n) { return static_cast<std::uint32_t>(random() % n); };

    constexpr int kOperations = 30000;
    for (int op = 0; op < kOperations; ++op) {
        const std::size_t live = model.LiveCount();
        const bool allocate = live == 0 || below(100) < (live < 1500 ? 60u : 35u);
        if (allocate) {
            const std::uint32_t kind = below(100);
            std::size_t total = kind < 45   ? below(65)
                                : kind < 75 ? 65 + below(448)
                                : kind < 97 ? 513 + below(3528)
                                            : 4041 + below(70000);
            const std::size_t extra =
                below(4) == 0 ? below(static_cast<std::uint32_t>(total) + 1) : 0;
            ASSERT_NO_FATAL_FAILURE(
                model.Allocate(total - extra, extra, static_cast<std::uint8_t>(random())));
        } else {
            ASSERT_NO_FATAL_FAILURE(model.Release(below(static_cast<std::uint32_t>(live))));
        }
        if (op % 2000 == 0) {
            ASSERT_NO_FATAL_FAILURE(model.CheckAll());
        }
    }
    EXPECT_GT(AccessorEntryCount(*pool), 100) << "many classes, many rebuilds";
    while (model.LiveCount() != 0)
        ASSERT_NO_FATAL_FAILURE(
            model.Release(below(static_cast<std::uint32_t>(model.LiveCount()))));

    EXPECT_EQ(pool->chunk.size, 0u) << "every page went back";
    EXPECT_EQ(pool->chunk.free, 0u);
    EXPECT_EQ(pool->IsEmpty(), -1);
    handle.Release();
    EXPECT_EQ(pool->Flush(Flag::FLUSH_DESTROY), 0);
    EXPECT_FALSE(IsRegistered(pool));
}

INSTANTIATE_TEST_SUITE_P(RegionLists, PagedPoolModelTest,
                         testing::Values(0u, 0x40u, 0x20u, 0x60u, 0x8u, 0x48u),
                         [](const testing::TestParamInfo<std::uint32_t>& info) {
                             return "Flags" + std::to_string(info.param);
                         });

// Blocks cross from one thread to the other before they are released.
TEST(PagedPoolThreadsTest, TwoThreadsShareALockedPool) {
    PagedPoolHandle handle(Flag::LOCKED); // the first library call, before any thread
    PagedPool* pool = handle.get();
    std::mutex exchangeLock;
    std::deque<LiveBlock> exchange;
    std::atomic<int> damaged{0}, failed{0};

    auto work = [&](std::uint32_t seed) {
        std::mt19937 random(seed);
        std::vector<LiveBlock> own;
        for (int i = 0; i < 6000; ++i) {
            const std::size_t size = random() % 3 == 0 ? random() % 2000 : random() % 100;
            auto* at = static_cast<unsigned char*>(pool->Allocate(size, 0));
            if (at == nullptr) {
                ++failed;
                continue;
            }
            own.push_back({at, SizeClassOf(size), static_cast<std::uint8_t>(random())});
            Fill(own.back());
            if (random() % 2 == 0) {
                std::lock_guard<std::mutex> guard(exchangeLock);
                exchange.push_back(own.back());
                own.pop_back();
            }
            if (own.size() > 200 || random() % 3 == 0) {
                LiveBlock b;
                {
                    std::lock_guard<std::mutex> guard(exchangeLock);
                    if (exchange.empty()) continue;
                    b = exchange.front();
                    exchange.pop_front();
                }
                if (!Intact(b)) ++damaged;
                pool->Free(b.at, nullptr);
                if (!own.empty() && random() % 2 == 0) {
                    if (!Intact(own.back())) ++damaged;
                    pool->Free(own.back().at, nullptr);
                    own.pop_back();
                }
            }
        }
        for (const LiveBlock& b : own) {
            if (!Intact(b)) ++damaged;
            pool->Free(b.at, nullptr);
        }
    };
    std::thread first(work, 1u), second(work, 2u);
    first.join();
    second.join();
    for (const LiveBlock& b : exchange) {
        if (!Intact(b)) ++damaged;
        pool->Free(b.at, nullptr);
    }
    EXPECT_EQ(damaged.load(), 0);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(pool->chunk.pieceCount, 0u);
    EXPECT_EQ(pool->chunk.size, 0u);
    EXPECT_EQ(pool->Flush(Flag::FLUSH_DESTROY | Flag::FLUSH_DESTROY_IF_EMPTY), 0);
    handle.Release();
}

} // namespace
} // namespace qor::test
