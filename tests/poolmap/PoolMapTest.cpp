// Pool maps: a general pool's stretches against a model built from its live blocks' addresses
// alone, a paged pool's pages against its blocks, the refusals and a short capacity, and the SVG
// drawing's shapes. Each case runs in a fresh process.
#include "TestSupport.h"
#include "core/PoolInterface.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <regex>
#include <tuple>
#include <vector>

namespace {

using namespace qor::test;
namespace Flag = QORSysPoolFlag;
namespace Kind = QORSysMapKind;

std::uint64_t Addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

std::vector<QORPoolMapEntry> MapOf(void* pool) {
    const long count = QORSysGetPoolMap(pool, nullptr, 0);
    EXPECT_GE(count, 0);
    std::vector<QORPoolMapEntry> map(static_cast<std::size_t>(count));
    EXPECT_EQ(QORSysGetPoolMap(pool, map.data(), map.size()), count);
    return map;
}

QORPoolInfo InfoOf(void* pool) {
    QORPoolInfo info{};
    QORSysGetPoolInfo(pool, nullptr, &info, 0);
    return info;
}

void* NewBlock(void* pool, std::size_t size) {
    return QORSpecializedNew(size, Route::InParam, pool, 0);
}

// kind, offset, bytes, blocks merged (0 for a free run: how many free areas a gap holds is the
// pool's business, checked in total against the pool's counters).
using Run = std::tuple<std::uint32_t, std::uint64_t, std::uint64_t, std::uint32_t>;

// What a chunk must show, from the addresses of its live blocks and their headers' piece sizes
// alone: its header, then the blocks, every gap between them free.
std::vector<Run> Expected(const QORPoolMapEntry& chunk, void* pool, std::vector<void*> blocks) {
    std::ranges::sort(blocks);
    std::vector<Run> runs{{Kind::HEADER, 0, chunk.start == Addr(pool) ? 112 : 64, 0}};
    std::uint64_t at = std::get<2>(runs[0]);
    for (void* block : blocks) {
        const std::uint64_t offset = Addr(block) - chunk.start - 16;
        const std::uint64_t bytes = qor::HeaderOf(block)->sizeWord;
        if (offset > at) runs.emplace_back(Kind::FREE, at, offset - at, 0);
        if (auto& [kind, start, length, count] = runs.back(); kind == Kind::BLOCKS) {
            length += bytes;
            ++count;
        } else {
            runs.emplace_back(Kind::BLOCKS, offset, bytes, 1);
        }
        at = offset + bytes;
    }
    if (at < chunk.bytes) runs.emplace_back(Kind::FREE, at, chunk.bytes - at, 0);
    return runs;
}

// The map of a general pool holding exactly `live` (no block elsewhere), chunk by chunk against
// Expected, and its sums against the pool's own report. Requires: a tracked pool (exact counts).
void ExpectGeneralMap(void* pool, const std::vector<void*>& live) {
    const std::vector<QORPoolMapEntry> map = MapOf(pool);
    ASSERT_FALSE(map.empty());
    std::map<std::uint64_t, std::vector<void*>> blocksOf; // by chunk address
    for (void* block : live)
        blocksOf[Addr(QORSysGetAllocatorFromAddress(block))].push_back(block);
    std::uint64_t totalBytes = 0, freeBytes = 0, chunks = 0, pieces = 0;
    for (std::size_t i = 0; i < map.size();) {
        const QORPoolMapEntry& chunk = map[i++];
        ASSERT_EQ(chunk.kind, Kind::CHUNK);
        std::vector<Run> runs;
        std::uint64_t chunkFree = 0, chunkPieces = 0;
        for (; i < map.size() && map[i].kind != Kind::CHUNK; ++i) {
            const QORPoolMapEntry& s = map[i];
            runs.emplace_back(s.kind, s.start, s.bytes, s.kind == Kind::FREE ? 0 : s.count);
            EXPECT_EQ(s.usedBytes, s.kind == Kind::FREE ? 0 : s.bytes);
            chunkFree += s.kind == Kind::FREE ? s.bytes : 0;
            chunkPieces += s.count;
        }
        EXPECT_EQ(runs, Expected(chunk, pool, blocksOf[chunk.start])) << "chunk " << chunks;
        EXPECT_EQ(chunk.usedBytes, chunk.bytes - chunkFree);
        EXPECT_EQ(chunk.count, chunkPieces);
        totalBytes += chunk.bytes;
        freeBytes += chunkFree;
        pieces += chunkPieces;
        ++chunks;
    }
    const QORPoolInfo info = InfoOf(pool);
    EXPECT_EQ(
        std::tuple(totalBytes, freeBytes, chunks, pieces),
        std::tuple(info.totalSize, info.freeSize, std::uint64_t{info.chunkCount}, info.blockTotal));
}

// Blocks of the given sizes; those at the indices in `holes` are released again.
std::vector<void*> Fill(void* pool, const std::vector<std::size_t>& sizes,
                        const std::vector<int>& holes, void (*release)(void*)) {
    std::vector<void*> blocks;
    for (std::size_t size : sizes)
        blocks.push_back(NewBlock(pool, size));
    for (int i : holes)
        release(blocks[i]);
    for (int i : holes)
        blocks[i] = nullptr;
    std::erase(blocks, nullptr);
    return blocks;
}

void Release(void* block) { QORSpecializedDelete(block, nullptr, 0); }
void ReleaseCached(void* block) { QORSysCachedDelete(block, 0); }

TEST(GeneralPoolMap, ShowsEachBlockAndHoleAtItsOffset) {
    void* pool = QORSysCreatePool(Flag::TRACKED_FREE_LIST, 32768);
    const auto live = Fill(pool, {40, 100, 24, 200, 64, 8, 500}, {1, 3, 6}, Release);
    ExpectGeneralMap(pool, live);
    // Neighbouring blocks form one run: the last blocks left (64 and 8 bytes) are one.
    const auto map = MapOf(pool);
    EXPECT_TRUE(std::ranges::any_of(
        map, [](const QORPoolMapEntry& e) { return e.kind == Kind::BLOCKS && e.count == 2; }));
}

TEST(GeneralPoolMap, ShowsEveryChunkOfTheChain) {
    void* pool = QORSysCreatePool(Flag::TRACKED_FREE_LIST, 32768);
    const auto live = Fill(pool, {30000, 20000, 5000, 16, 9000}, {2}, Release);
    ASSERT_NE(QORSysGetAllocatorFromAddress(live[1]), pool); // a second chunk
    ExpectGeneralMap(pool, live);
}

// Blocks a thread's cache keeps are in use in the pool's eyes: the map gives them back first.
TEST(GeneralPoolMap, ShowsCachedBlocksOfALockingPoolAsFree) {
    void* pool = QORSysCreatePool(Flag::TRACKED_FREE_LIST | Flag::LOCKED, 32768);
    const auto live = Fill(pool, {40, 100, 24, 200, 64}, {1, 3}, ReleaseCached);
    ExpectGeneralMap(pool, live);
}

TEST(PagedPoolMap, ShowsEachPageWithItsSlots) {
    void* pool = QORSysCreatePool(Flag::PAGED, 0);
    std::vector<void*> small, large;
    for (int i = 0; i < 400; ++i)
        small.push_back(NewBlock(pool, 24));
    for (int i = 0; i < 3; ++i)
        large.push_back(NewBlock(pool, 1000));
    auto pageOf = [](const void* b) { return Addr(b) & ~std::uint64_t{0xFFF}; };
    const std::uint64_t firstPage = pageOf(small[0]);
    const auto firstSlots = std::ranges::count(small, firstPage, pageOf);
    for (int i = 0; i < 10; ++i) // from the first page, which its class filled up
        QORSpecializedDelete(small[i], nullptr, Flag::PAGED);
    small.erase(small.begin(), small.begin() + 10);
    std::map<std::uint64_t, std::pair<std::uint32_t, std::uint32_t>> expected; // class, in use
    for (void* b : small)
        expected[pageOf(b)] = {24, expected[pageOf(b)].second + 1};
    for (void* b : large)
        expected[pageOf(b)] = {1000, expected[pageOf(b)].second + 1};

    const auto map = MapOf(pool);
    std::map<std::uint64_t, std::pair<std::uint32_t, std::uint32_t>> seen;
    std::uint64_t usedBytes = 0;
    for (std::size_t i = 0; i < map.size(); ++i) {
        const QORPoolMapEntry& page = map[i];
        EXPECT_EQ(std::tuple(page.kind, page.bytes, page.usedBytes),
                  std::tuple(Kind::PAGE, 4096u, std::uint64_t{page.usedSlots} * page.count));
        EXPECT_LE(std::uint64_t{page.slots} * page.count, 4096u - 48);
        EXPECT_TRUE(i == 0 || map[i - 1].start < page.start);
        EXPECT_TRUE(page.start != firstPage || page.slots == firstSlots) << page.slots;
        seen[page.start] = {page.count, page.usedSlots};
        usedBytes += page.usedBytes;
    }
    EXPECT_EQ(seen, expected);
    const QORPoolInfo info = InfoOf(pool);
    EXPECT_EQ(std::tuple(map.size() * 4096, usedBytes),
              std::tuple(info.totalSize, info.maxChunkFree));
}

TEST(PoolMap, WritesNoMoreThanItsCapacity) {
    void* pool = QORSysCreatePool(0, 32768);
    Fill(pool, {40, 100, 24}, {1}, Release);
    const auto full = MapOf(pool);
    ASSERT_EQ(full.size(), 6u); // chunk, header, block, hole, block, rest
    QORPoolMapEntry entries[5];
    std::memset(entries, 0xA5, sizeof entries);
    const QORPoolMapEntry sentinel = entries[3];
    EXPECT_EQ(QORSysGetPoolMap(pool, entries, 3), 6);
    EXPECT_EQ(std::memcmp(entries, full.data(), 3 * sizeof entries[0]), 0);
    EXPECT_EQ(std::memcmp(&entries[3], &sentinel, sizeof sentinel), 0);
    EXPECT_EQ(std::memcmp(&entries[4], &sentinel, sizeof sentinel), 0);
}

// A map is of one pool object: the fixed pools are reached through QORSysGetFixedPool.
TEST(PoolMap, RefusesNullAndPoolArgumentNumbers) {
    QORPoolMapEntry entry{};
    QORSpecializedNew(8, Route::Permanent, nullptr, 0);
    for (void* argument : {static_cast<void*>(Route::Heap), static_cast<void*>(Route::Permanent),
                           static_cast<void*>(Route::Fast), static_cast<void*>(Route::ThreadSafe),
                           static_cast<void*>(Route::InParam)}) {
        EXPECT_EQ(QORSysGetPoolMap(argument, &entry, 1), -1) << argument;
        EXPECT_EQ(QORSysWritePoolMap(argument, stdout), -1) << argument;
    }
    EXPECT_EQ(entry.kind, 0u);
    void* permanent = QORSysGetFixedPool(Route::Permanent, 0);
    EXPECT_GT(QORSysGetPoolMap(permanent, nullptr, 0), 2);
    EXPECT_EQ(QORSysWritePoolMap(permanent, nullptr), -1);
}

// Every shape's data attributes, in document order.
std::vector<std::vector<std::string>> Shapes(const std::string& svg, const std::string& pattern) {
    std::vector<std::vector<std::string>> shapes;
    const std::regex shape(pattern);
    for (std::sregex_iterator m(svg.begin(), svg.end(), shape), end; m != end; ++m)
        shapes.push_back(std::vector<std::string>(m->begin() + 1, m->end()));
    return shapes;
}

const char* KindName(std::uint32_t kind) {
    return kind == Kind::HEADER ? "header" : kind == Kind::BLOCKS ? "blocks" : "free";
}

TEST(PoolMapSvg, DrawsEachStretchWithItsOffset) {
    void* pool = QORSysCreatePool(0, 32768);
    NewBlock(pool, 40);
    void* freed = NewBlock(pool, 100);
    NewBlock(pool, 24);
    const std::string holeAt = std::to_string(Addr(freed) - 16 - Addr(pool));
    Release(freed);
    const std::string svg = Written([&](FILE* f) { EXPECT_EQ(QORSysWritePoolMap(pool, f), 0); });
    EXPECT_TRUE(svg.starts_with("<?xml")) << svg;
    EXPECT_TRUE(svg.ends_with("</svg>\n")) << svg;
    const auto stretches =
        Shapes(svg, R"re(<rect class="(\w+)" data-offset="(\d+)" data-bytes="(\d+)")re");
    std::vector<std::vector<std::string>> expected;
    for (const QORPoolMapEntry& e : MapOf(pool))
        if (e.kind != Kind::CHUNK)
            expected.push_back(
                {KindName(e.kind), std::to_string(e.start), std::to_string(e.bytes)});
    EXPECT_EQ(stretches, expected) << svg;
    EXPECT_TRUE(std::ranges::count(stretches, "free", [](const auto& s) { return s[0]; }) == 2 &&
                std::ranges::any_of(stretches, [&](const auto& s) { return s[1] == holeAt; }))
        << svg;
    char address[24];
    std::snprintf(address, sizeof address, "%#lx", static_cast<unsigned long>(Addr(pool)));
    EXPECT_EQ(Shapes(svg, R"re(<rect class="chunk" data-address="(0x[0-9a-f]+)")re"),
              std::vector<std::vector<std::string>>{{address}});
}

TEST(PoolMapSvg, DrawsEachPageOfAPagedPool) {
    void* pool = QORSysCreatePool(Flag::PAGED, 0);
    for (std::size_t size : {8, 24, 24, 1000})
        NewBlock(pool, size);
    const std::string svg = Written([&](FILE* f) { EXPECT_EQ(QORSysWritePoolMap(pool, f), 0); });
    const auto pages = Shapes(
        svg,
        R"re(<rect class="page" data-address="0x[0-9a-f]+" data-slot-bytes="(\d+)" data-slots="\d+" data-used-slots="(\d+)")re");
    std::vector<std::vector<std::string>> sorted(pages);
    std::ranges::sort(sorted);
    EXPECT_EQ(sorted,
              (std::vector<std::vector<std::string>>{{"1000", "1"}, {"24", "2"}, {"8", "1"}}))
        << svg;
    EXPECT_TRUE(svg.ends_with("</svg>\n"));
}

} // namespace
