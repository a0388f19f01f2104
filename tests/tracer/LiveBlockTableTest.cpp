// The tracer's live-block table against a model: every block inserted is found until it is erased,
// through its growths and the shifts of its erasures, and the largest table holds 7/8 of its
// slots.
#include "LiveBlockTable.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <unordered_set>
#include <vector>

namespace {

using qor::tracer::LiveBlock;
using qor::tracer::LiveBlockTable;

// Addresses 16-aligned like blocks, several per cache line of hash so that runs form.
std::uintptr_t Address(std::uint64_t n) { return 0x7f0000000000 + n * 16; }

TEST(LiveBlockTable, AgreesWithAModelThroughGrowthsAndErasures) {
    LiveBlockTable table;
    ASSERT_TRUE(table.Reserve(std::size_t{1} << 17));
    std::unordered_set<std::uintptr_t> model;
    std::vector<std::uintptr_t> live;
    std::mt19937_64 random(7);
    for (int step = 0; step < 400000; ++step) {
        // Grows to about 60,000 live blocks, then shrinks back: the runs of every size shift.
        const bool add = live.empty() || random() % 1000 < (step < 200000 ? 600u : 380u);
        if (add) {
            const std::uintptr_t pointer = Address(random() % (1u << 20));
            if (model.count(pointer) != 0) continue;
            LiveBlock* entry = table.Insert(pointer);
            ASSERT_NE(entry, nullptr) << step;
            entry->size = pointer >> 4;
            model.insert(pointer);
            live.push_back(pointer);
        } else {
            const std::size_t at = random() % live.size();
            const std::uintptr_t pointer = live[at];
            live[at] = live.back();
            live.pop_back();
            LiveBlock* entry = table.Find(pointer);
            ASSERT_NE(entry, nullptr) << step;
            ASSERT_EQ(entry->size, pointer >> 4) << "an entry moved without its fields";
            table.Erase(entry);
            model.erase(pointer);
            ASSERT_EQ(table.Find(pointer), nullptr);
        }
        ASSERT_EQ(table.Count(), model.size());
        if (step % 50000 != 0) continue;
        for (const std::uintptr_t pointer : live)
            ASSERT_NE(table.Find(pointer), nullptr) << step;
    }
    std::size_t visited = 0;
    table.ForEach([&](LiveBlock& entry) { visited += model.count(entry.pointer); });
    EXPECT_EQ(visited, model.size());
}

TEST(LiveBlockTable, TheLargestTableHoldsSevenEighthsOfItsSlots) {
    for (const std::size_t capacity : {std::size_t{1024}, std::size_t{1} << 14}) {
        LiveBlockTable table;
        ASSERT_TRUE(table.Reserve(capacity));
        std::size_t inserted = 0;
        while (table.Insert(Address(inserted)) != nullptr)
            ++inserted;
        EXPECT_EQ(inserted, capacity / 8 * 7) << capacity;
        for (std::size_t i = 0; i < inserted; ++i)
            ASSERT_NE(table.Find(Address(i)), nullptr) << i;
        table.Erase(table.Find(Address(0)));
        EXPECT_NE(table.Insert(Address(inserted)), nullptr) << "an erasure makes room again";
    }
}

} // namespace
