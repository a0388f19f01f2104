// Randomised model check: thousands of checksummed objects from a few bytes to 30 KB in a zone
// far smaller than their total, reached through smart handles in random order, marked used,
// swapped out, destroyed and replaced. After every step the page table keeps its run-length rule,
// firstFreePage and pageHighWater tell the truth, every live object is either in the age list
// exactly once or on a booked page, and every object read through its handle is intact.
// QOR_SOAK_STEPS raises the number of steps and QOR_SOAK_SEED changes the run, for manual runs.
#include "SwapFileTestSupport.h"

#include <random>
#include <unordered_map>

using namespace qor;
using namespace qor::test;

namespace {

struct Model {
    BlobRef ref;
    std::uint32_t seed = 0;
};

// The zone size: a roomy one, and one barely larger than the largest object, where a page read
// often runs short of room.
class SwapSoakTest : public SwapFileTest, public testing::WithParamInterface<std::size_t> {
protected:
    std::size_t RandomBlockBytes() {
        const unsigned kind = Pick(100);
        const std::size_t bytes = kind < 70   ? 80 + Pick(1000)
                                  : kind < 90 ? 1024 + Pick(7200)
                                              : 8192 + Pick(22000);
        return (bytes + 7) & ~std::size_t{7};
    }
    unsigned Pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }

    void Create() {
        const std::uint32_t seed = nextSeed_++;
        Blob* blob = MakeBlob(*file_, RandomBlockBytes(), seed);
        ASSERT_NE(blob, nullptr) << "seed " << seed;
        live_.push_back(Model{BlobRef(blob), seed});
    }
    Model& AnyLive() { return live_[Pick(static_cast<unsigned>(live_.size()))]; }

    // Every live object is in memory and listed once, or on disk on a booked page; the age list
    // holds nothing else and its links agree both ways.
    testing::AssertionResult ModelHolds() {
        std::unordered_map<std::uintptr_t, int> listed;
        QORSysSwappable* previous = nullptr;
        for (QORSysSwappable* o = SF::Oldest(*file_); o != nullptr; o = SF::Newer(o)) {
            if (SF::Older(o) != previous || ++listed[Addr(o)] > 1)
                return testing::AssertionFailure() << "age list broken at " << o;
            previous = o;
        }
        if (SF::Newest(*file_) != previous) return testing::AssertionFailure() << "newest";
        std::size_t inMemory = 0;
        for (Model& m : live_) {
            const std::uint64_t object = m.ref.Object();
            if (object & 1) {
                const int page = static_cast<int>(object >> 14);
                if (page >= SF::PageCount(*file_) || SF::PageIndex(*file_)[page] != 0)
                    return testing::AssertionFailure() << "seed " << m.seed << " on free page";
            } else if (listed.count(object) == 0) {
                return testing::AssertionFailure() << "seed " << m.seed << " not in the list";
            } else {
                ++inMemory;
            }
        }
        if (inMemory != listed.size())
            return testing::AssertionFailure() << listed.size() << " listed, " << inMemory;
        if (SF::ZoneUsed(*file_) > SF::ZoneCapacity(*file_))
            return testing::AssertionFailure() << "zoneUsed " << SF::ZoneUsed(*file_);
        return PageBookkeepingHolds(*file_);
    }

    QORSysSwapFile* file_ = nullptr;
    std::vector<Model> live_;
    std::mt19937 rng_{20240611};
    std::uint32_t nextSeed_ = 1;
};

TEST_P(SwapSoakTest, RandomUseKeepsEveryObjectAndThePageTableSound) {
    const char* steps = std::getenv("QOR_SOAK_STEPS");
    const long stepCount = steps != nullptr ? std::atol(steps) : 3000;
    if (const char* seed = std::getenv("QOR_SOAK_SEED")) rng_.seed(std::strtoul(seed, nullptr, 10));
    constexpr int kPopulation = 1500;
    // allocatedTotal is never lowered: the file capacity bounds every object ever made.
    const std::size_t capacity =
        std::min<std::size_t>(std::size_t{1} << 31, (kPopulation + stepCount) * 16384);
    file_ = &Open(GetParam(), 4096, capacity);

    for (int i = 0; i < kPopulation; ++i)
        ASSERT_NO_FATAL_FAILURE(Create());
    ASSERT_TRUE(ModelHolds());
    long reads = 0, readsFromDisk = 0;

    for (long step = 0; step < stepCount; ++step) {
        const unsigned action = Pick(100);
        if (action < 40 || live_.empty()) {
            if (live_.empty()) continue;
            Model& m = AnyLive();
            readsFromDisk += m.ref.OnDisk();
            Blob* blob = m.ref.Get();
            ASSERT_NE(blob, nullptr) << "step " << step << " seed " << m.seed;
            ASSERT_TRUE(blob->Intact(m.seed)) << "step " << step << " seed " << m.seed;
            ++reads;
        } else if (action < 50) {
            Model& m = AnyLive();
            if (!m.ref.OnDisk()) m.ref.Get()->IsUsed();
        } else if (action < 65) {
            const unsigned victim = Pick(static_cast<unsigned>(live_.size()));
            live_[victim] = std::move(live_.back()); // a copy: the count goes up, then down
            live_.pop_back();
        } else if (action < 90) {
            ASSERT_NO_FATAL_FAILURE(Create());
        } else if (action < 95) {
            ASSERT_EQ(file_->SwapOutObject(AnyLive().ref.Permanent()), 0) << "step " << step;
        } else if (SF::ZoneUsed(*file_) != 0) {
            const auto room = static_cast<unsigned>(SF::ZoneCapacity(*file_) / 2);
            ASSERT_EQ(file_->SwapOutOldestObjects(Pick(room)), 0) << "step " << step;
        }
        ASSERT_TRUE(ModelHolds()) << "after step " << step << ", action " << action;
        if (step % 50 != 0) continue;
        for (QORSysSwappable* o = SF::Oldest(*file_); o != nullptr; o = SF::Newer(o)) {
            auto* blob = static_cast<Blob*>(o);
            ASSERT_TRUE(blob->Intact(blob->seed)) << "after step " << step;
        }
    }
    EXPECT_GT(readsFromDisk, reads / 4); // the zone is small enough to keep the file busy

    for (Model& m : live_) {
        Blob* blob = m.ref.Get();
        ASSERT_NE(blob, nullptr) << "seed " << m.seed;
        ASSERT_TRUE(blob->Intact(m.seed)) << "seed " << m.seed;
    }
    const int destroyedBefore = Blob::destroyed;
    const std::size_t liveCount = live_.size();
    live_.clear(); // every last reference: brought back if needed and destroyed
    EXPECT_EQ(Blob::destroyed - destroyedBefore, static_cast<int>(liveCount));
    EXPECT_EQ(SF::Oldest(*file_), nullptr);
    EXPECT_TRUE(PageBookkeepingHolds(*file_));
    EXPECT_EQ(SF::FirstFreePage(*file_), 0);
}

INSTANTIATE_TEST_SUITE_P(Zones, SwapSoakTest, testing::Values(256 << 10, 40 << 10),
                         [](const auto& info) { return std::to_string(info.param >> 10) + "K"; });

} // namespace
