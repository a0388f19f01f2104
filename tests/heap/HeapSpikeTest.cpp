// A spike of small blocks: four million blocks of 64 to 256 bytes, then every one released. The
// engine must not keep the peak: within a second of going idle its resident figure and the
// process's resident set fall to a tenth of the peak or less.
#include "heap/Heap.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

using namespace qor::heap;

namespace {

std::uint64_t ProcessResidentBytes() {
    unsigned long size = 0, resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0;
    const int read = std::fscanf(statm, "%lu %lu", &size, &resident);
    std::fclose(statm);
    return read == 2 ? resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) : 0;
}

std::uint64_t EngineResidentBytes() {
    Figures figures;
    GetFigures(&figures);
    return figures.bytesResident;
}

TEST(HeapSpike, ResidentMemoryFallsAfterTheBlocksGoBack) {
    constexpr std::size_t kBlocks = 4'000'000;
    // The pointers live in a mapping of their own, given back before the measure.
    const std::size_t tableBytes = kBlocks * sizeof(void*);
    void* table =
        mmap(nullptr, tableBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(table, MAP_FAILED);
    auto** blocks = static_cast<unsigned char**>(table);
    for (std::size_t i = 0; i < kBlocks; ++i) {
        const std::size_t bytes = 64 + (i * 2654435761u >> 7) % 193;
        blocks[i] = static_cast<unsigned char*>(Allocate(bytes));
        ASSERT_NE(blocks[i], nullptr);
        blocks[i][0] = static_cast<unsigned char>(i);
        blocks[i][bytes - 1] = static_cast<unsigned char>(i);
    }
    const std::uint64_t enginePeak = EngineResidentBytes();
    const std::uint64_t processPeak = ProcessResidentBytes();
    EXPECT_GE(enginePeak, kBlocks * 64);
    // Every other block first, so that no page empties before the second pass.
    for (std::size_t start : {0, 1})
        for (std::size_t i = start; i < kBlocks; i += 2) {
            ASSERT_EQ(blocks[i][0], static_cast<unsigned char>(i)) << i;
            Release(blocks[i]);
        }
    munmap(table, tableBytes);
    Figures figures;
    GetFigures(&figures);
    EXPECT_EQ(figures.bytesInUse, 0u);

    const auto idle = std::chrono::steady_clock::now();
    std::uint64_t engine = 0, process = 0;
    do {
        engine = EngineResidentBytes();
        process = ProcessResidentBytes();
        if (engine * 10 <= enginePeak && process * 10 <= processPeak) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() - idle < std::chrono::seconds(1));
    EXPECT_LE(engine * 10, enginePeak)
        << "engine resident " << engine << " of a peak of " << enginePeak;
    EXPECT_LE(process * 10, processPeak)
        << "process resident " << process << " of a peak of " << processPeak;
}

} // namespace
