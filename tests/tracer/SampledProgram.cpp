// A scripted program for the sampling test: it grows and shrinks a general pool and a paged pool
// in steps, and keeps creating and revisiting objects of a swap file with a small zone. After
// every allocation whose count is a multiple of QOR_SAMPLE_EVERY (and after the first) it prints
// what QORSysGetPoolInfo says of each pool then, "<count> <pool name> <totalSize> <freeSize>
// <chunkCount>", and what the swap file's statistics say, "<count> swap <objectsInZone>
// <bytesInZone> <swapOuts> <swapIns>". The tracer's sample of that allocation is taken before
// the allocation returns, so both describe the same moment.
#include "QORSysAllocator.h"
#include "QORSysSwapFile.h"

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
// Never destroyed: the tracer's last sample, at exit, still sees it.
QORSysSwapFile* gSwapFile = new QORSysSwapFile;

struct Item : QORSysSwappable {
    explicit Item(QORSysSwapFile* file) : QORSysSwappable(file, 0) {}
    char payload[1000] = {};
};

// A handle that can ask for its object (brought back from disk when it is there).
struct ItemRef : QORSysSwappable_hdl {
    using QORSysSwappable_hdl::QORSysSwappable_hdl;
    QORSysSwappable* get() { return GetObject(); }
};

void PrintSwapFile() {
    QORSysSwapStatistics figures{};
    gSwapFile->GetStatistics(&figures);
    std::printf("%" PRIu64 " swap %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", gCount,
                figures.objectsInZone, figures.bytesInZone, figures.swapOuts, figures.swapIns);
}

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
    PrintSwapFile();
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
    if (gSwapFile->Initialize(0, 32 << 10, 32 << 10, 8 << 20) != QORSysSwapSuccess) return 3;
    std::vector<ItemRef> items;
    // Three waves: each grows both pools past their first chunk or page, then gives a third back.
    for (int wave = 1; wave <= 3; ++wave) {
        for (int i = 0; i < 900 * wave; ++i) {
            const bool paged = i % 2 != 0;
            live.push_back({New(paged ? 24 + i % 200 : 8 + i % 64, all[paged], all), paged});
            // Every 8th step a new object; every 16th an old one asked for, back from disk.
            if (i % 8 == 0) items.emplace_back(new (gSwapFile, nullptr, 0) Item(gSwapFile));
            if (i % 16 == 0 && items[items.size() / 3].get() == nullptr) return 4;
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
