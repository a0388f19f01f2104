// A scripted program for the sampling test: it grows and shrinks a general pool and a paged pool
// in steps and, after every allocation whose count is a multiple of QOR_SAMPLE_EVERY (and after
// the first), prints what QORSysGetPoolInfo says of each pool then: "<count> <pool name>
// <totalSize> <freeSize> <chunkCount>". The tracer's sample of that allocation is taken before
// the allocation returns, so both describe the same moment.
#include "QORSysAllocator.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Pool {
    const char* name;
    void* pool;
};

std::uint64_t gCount = 0;
std::uint64_t gEvery = 64;

void* New(std::size_t size, const Pool& pool, const Pool (&all)[2]) {
    void* block = QORSpecializedNew(size, reinterpret_cast<void*>(2), pool.pool, 0);
    if (block == nullptr) std::exit(2);
    if (++gCount % gEvery != 0 && gCount != 1) return block;
    for (const Pool& each : all) {
        QORPoolInfo info{};
        QORSysGetPoolInfo(each.pool, nullptr, &info, 0);
        std::printf("%" PRIu64 " %s %" PRIu64 " %" PRIu64 " %u\n", gCount, each.name,
                    info.totalSize, info.freeSize, info.chunkCount);
    }
    return block;
}

} // namespace

int main() {
    if (const char* every = std::getenv("QOR_SAMPLE_EVERY"))
        gEvery = std::strtoull(every, nullptr, 10);
    const Pool all[2] = {{"Growing", QORSysCreatePool(0, 32768, "Growing")},
                         {"Pages", QORSysCreatePool(QORSysPoolFlag::PAGED, 0, "Pages")}};
    struct Block {
        void* address;
        bool paged;
    };
    std::vector<Block> live;
    // Three waves: each grows both pools past their first chunk or page, then gives a third back.
    for (int wave = 1; wave <= 3; ++wave) {
        for (int i = 0; i < 900 * wave; ++i) {
            const bool paged = i % 2 != 0;
            live.push_back({New(paged ? 24 + i % 200 : 8 + i % 64, all[paged], all), paged});
        }
        std::vector<Block> kept;
        for (std::size_t i = 0; i < live.size(); ++i)
            if (i % 3 == 0)
                QORSpecializedDelete(live[i].address, nullptr,
                                     live[i].paged ? QORSysPoolFlag::PAGED : 0);
            else
                kept.push_back(live[i]);
        live.swap(kept);
    }
    return 0;
}
