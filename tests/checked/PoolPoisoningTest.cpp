// In the pool-poisoning build (QOR_SANITIZE and QOR_POOL_POISONING), AddressSanitizer sees pool
// blocks: a write one byte past a block and a read after its release are reported, through pool
// 4, a private general pool (plain and tracked) and a paged pool; sound use reports nothing.
#include "QORSysAllocator.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

void* New(std::size_t size, void* pool) { return QORSpecializedNew(size, pool, nullptr, 0); }

constexpr int kPaged = int(QORSysPoolFlag::PAGED);
// ASan names a write into the poisoned end of a partly addressable 8-byte granule after what
// follows that granule: use-after-poison, or unknown-crash when a block's header follows.
constexpr const char* kReport = "AddressSanitizer: (use-after-poison|unknown-crash) on address";

struct Route {
    const char* name;
    void* pool;
    int releaseFlags;
};

std::vector<Route> Routes() {
    return {{"pool 4", reinterpret_cast<void*>(4), 0},
            {"general pool", QORSysCreatePool(0, 0), 0},
            {"tracked pool", QORSysCreatePool(int(QORSysPoolFlag::TRACKED_FREE_LIST), 0), 0},
            {"paged pool", QORSysCreatePool(kPaged, 0), kPaged}};
}

// The block is the last one carved, or one with a neighbour in use on each side.
void WriteOnePast(const Route& route, std::size_t size, bool betweenTwo) {
    void* before = betweenTwo ? New(size, route.pool) : nullptr;
    auto* block = static_cast<volatile char*>(New(size, route.pool));
    if (betweenTwo) New(size, route.pool);
    (void)before;
    block[size] = 1;
}

void ReadAfterRelease(const Route& route, std::size_t size) {
    New(size, route.pool); // keeps the chunk or page from being reset or given back
    auto* block = static_cast<volatile char*>(New(size, route.pool));
    QORSpecializedDelete(const_cast<char*>(block), nullptr, route.releaseFlags);
    (void)block[size - 1];
}

TEST(PoolPoisoning, OneBytePastABlockIsReported) {
    for (const Route& route : Routes()) {
        SCOPED_TRACE(route.name);
        EXPECT_DEATH(WriteOnePast(route, 20, false), kReport);
        EXPECT_DEATH(WriteOnePast(route, 20, true), kReport);
        EXPECT_DEATH(WriteOnePast(route, 24, false), kReport);
    }
}

TEST(PoolPoisoning, AReadAfterReleaseIsReported) {
    for (const Route& route : Routes()) {
        SCOPED_TRACE(route.name);
        EXPECT_DEATH(ReadAfterRelease(route, 24), kReport);
        EXPECT_DEATH(ReadAfterRelease(route, 200), kReport);
    }
}

// Every byte of every block handed out is usable, whatever route, reuse, split, reset or arena
// gave it.
TEST(PoolPoisoning, SoundUseIsNotReported) {
    for (const Route& route : Routes())
        for (int round = 0; round < 4; ++round) {
            std::vector<char*> blocks;
            for (std::size_t size = 0; size < 700; size += 13) {
                auto* block = static_cast<char*>(New(size, route.pool));
                for (std::size_t i = 0; i < size; ++i)
                    block[i] = char(i);
                blocks.push_back(block);
            }
            for (std::size_t i = round % 2; i < blocks.size(); i += 2)
                QORSpecializedDelete(blocks[i], nullptr, route.releaseFlags);
            for (std::size_t i = 1 - round % 2; i < blocks.size(); i += 2)
                QORSpecializedDelete(blocks[i], nullptr, route.releaseFlags);
        }
    void* pool = QORSysCreatePool(0, 0);
    auto* object =
        static_cast<char*>(QORSpecializedNew(40, pool, reinterpret_cast<void*>(16), 400));
    auto* beside =
        static_cast<char*>(QORSpecializedNew(100, reinterpret_cast<void*>(8), object, 0));
    for (int i = 0; i < 40; ++i)
        object[i] = 1;
    for (int i = 0; i < 100; ++i)
        beside[i] = 1;
    QORSpecializedDelete(beside, nullptr);
    EXPECT_EQ(QORSysFlushPool(pool, 0), 0);
    auto* again = static_cast<char*>(New(30000, pool));
    for (int i = 0; i < 30000; ++i)
        again[i] = 2;
}

} // namespace
