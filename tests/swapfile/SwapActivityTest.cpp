// The list of swap files for samplers (QORSysGetSwapActivity): its counters against the walks of
// GetStatistics, and which files it lists through creation, assignment and destruction.
#include "SwapFileAccess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>
#include <vector>

namespace {

using SF = QORSysSwapFileTestAccess;

struct Blob : QORSysSwappable {
    explicit Blob(QORSysSwapFile* file) : QORSysSwappable(file, 0) {}
};
struct Ref : QORSysSwappable_hdl {
    using QORSysSwappable_hdl::QORSysSwappable_hdl;
    QORSysSwappable* Get() { return GetObject(); }
};

std::vector<QORSysSwapActivity> Listed() {
    std::vector<QORSysSwapActivity> listed(64);
    listed.resize(static_cast<std::size_t>(QORSysGetSwapActivity(listed.data(), listed.size())));
    return listed;
}

class SwapActivityTest : public testing::Test {
protected:
    SwapActivityTest() {
        EXPECT_EQ(::setenv("QPL_UVT_TMP", mkdtemp(dir), 1), 0);
        EXPECT_EQ(file.Initialize(0, 65536, 4096, 4 << 20), 0);
    }
    ~SwapActivityTest() override { std::filesystem::remove_all(dir); }
    char dir[24] = "/tmp/qorswaptest.XXXXXX";
    QORSysSwapFile file;
};

TEST_F(SwapActivityTest, CountersAgreeWithTheWalksThroughCreationsMovesAndDeletions) {
    std::mt19937 random(7);
    std::vector<Ref> refs;
    for (int step = 0; step < 400; ++step) {
        const unsigned choice = random() % 8;
        if (choice < 3 || refs.empty()) { // up to 9 KB: several fill the zone, and large records
            void* memory = QORSysSwappable::operator new(64 + random() % 9000, &file, nullptr, 0);
            ASSERT_NE(memory, nullptr);
            refs.emplace_back(::new (memory) Blob(&file));
        } else if (choice == 3) { // fails when every object is on disk already
            file.SwapOutOldestObjects(random() % 20000);
        } else if (choice == 4) { // the last reference destroys it, from disk or from the zone
            refs.erase(refs.begin() + random() % refs.size());
        } else { // brought back when on disk, then made the newest
            QORSysSwappable* used = refs[random() % refs.size()].Get();
            ASSERT_NE(used, nullptr);
            used->IsUsed();
        }
        QORSysSwapStatistics walked{};
        ASSERT_EQ(file.GetStatistics(&walked), 0);
        const std::vector<QORSysSwapActivity> listed = Listed();
        ASSERT_EQ(listed.size(), 1u);
        ASSERT_EQ(listed[0].objectsInZone, walked.objectsInZone) << "step " << step;
        ASSERT_EQ(listed[0].bytesInZone, walked.bytesInZone) << "step " << step;
        ASSERT_EQ(listed[0].swapOuts, walked.swapOuts) << "step " << step;
        ASSERT_EQ(listed[0].swapIns, walked.swapIns) << "step " << step;
    }
    const QORSysSwapActivity only = Listed()[0];
    EXPECT_EQ(only.swapFile, &file);
    EXPECT_EQ(only.zonePool, SF::Pool(file));
    EXPECT_EQ(only.zoneCapacity, SF::ZoneCapacity(file));
    EXPECT_GT(only.swapIns, 50u); // the script did move objects both ways
    EXPECT_EQ(SF::Broken(file), "");
    refs.clear();
    EXPECT_EQ(Listed()[0].objectsInZone, 0u);
}

TEST_F(SwapActivityTest, EachInitialisedFileIsListedUntilItsDestructionAndAtMost64) {
    QORSysSwapFile unused;
    EXPECT_EQ(QORSysGetSwapActivity(nullptr, 0), 1);
    EXPECT_EQ(file.Initialize(0, 65536, 4096, 8192), QORSysSwapFailure); // not listed twice
    std::vector<std::unique_ptr<QORSysSwapFile>> more(64);
    for (auto& another : more) {
        another = std::make_unique<QORSysSwapFile>();
        ASSERT_EQ(another->Initialize(0, 4096, 4096, 8192), 0);
    }
    std::vector<QORSysSwapActivity> two(3);
    two[1].swapFile = nullptr;
    EXPECT_EQ(QORSysGetSwapActivity(two.data(), 1), 64); // the 65th is not listed
    EXPECT_EQ(two[0].swapFile, &file);
    EXPECT_EQ(two[1].swapFile, nullptr); // nothing written beyond the capacity
    more.erase(more.begin() + 2, more.end());
    EXPECT_EQ(QORSysGetSwapActivity(two.data(), 3), 3);
    EXPECT_EQ(two[1].swapFile, more[0].get());
    EXPECT_EQ(two[2].swapFile, more[1].get());
    EXPECT_EQ(two[2].zonePool, SF::Pool(*more[1]));
    more.erase(more.begin());
    EXPECT_EQ(Listed().size(), 2u);
    EXPECT_EQ(Listed()[1].swapFile, more[0].get());
}

TEST_F(SwapActivityTest, FilesSharingAZoneAreListedOnceEachAndLeaveTogether) {
    const QORSysSwapFile blank;
    auto copy = std::make_unique<QORSysSwapFile>();
    *copy = file;
    *copy = file;
    const std::vector<QORSysSwapActivity> both = Listed();
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[1].swapFile, copy.get());
    EXPECT_EQ(both[1].zonePool, both[0].zonePool);
    *copy = blank; // no longer initialised
    EXPECT_EQ(Listed().size(), 1u);
    *copy = file;
    copy.reset(); // the shared zone and page table are gone: neither may still be listed
    EXPECT_EQ(QORSysGetSwapActivity(nullptr, 0), 0);
    file = blank; // what the fixture would destroy a second time
}

} // namespace
