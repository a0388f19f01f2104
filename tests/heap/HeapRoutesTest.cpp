// The library's general-purpose routes over the heap engine: QORSysCachedNew on pool 32 and
// QORSysHeapNew serve engine blocks (no header; pool 32 through QORSpecializedNew stays the pool),
// QORSysGetHeapInfo and the all-pools report's last line give the engine's figures, and with
// QORSysHeapEngine=OFF every route is pool 32's again (QORSysHeapRoutesTest.EngineOff, its own
// process).
#include "QORSysAllocator.h"
#include "heap/Heap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

void* const kThreadSafe = reinterpret_cast<void*>(32);

QORHeapInfo Info() {
    QORHeapInfo info{};
    QORSysGetHeapInfo(&info, nullptr, 0);
    return info;
}

std::string AllPoolsReport() {
    std::FILE* stream = std::tmpfile();
    QORSysGetPoolInfo(nullptr, stream, nullptr, 0);
    std::string text(static_cast<std::size_t>(std::ftell(stream)), '\0');
    std::rewind(stream);
    text.resize(std::fread(text.data(), 1, text.size(), stream));
    std::fclose(stream);
    return text;
}

bool EngineOff() { return std::getenv("QORSysHeapEngine") != nullptr; }

} // namespace

TEST(HeapRoutes, CachedPool32AndHeapNewAreTheEnginesUnlessItIsOff) {
    void* direct = QORSpecializedNew(40, kThreadSafe, nullptr, 0); // the contract's pool 32
    ASSERT_NE(direct, nullptr);
    EXPECT_FALSE(qor::heap::Owns(direct));
    void* cached = QORSysCachedNew(40, kThreadSafe, nullptr);
    void* aligned = QORSysHeapNew(100, 256);
    ASSERT_TRUE(cached && aligned);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(aligned) % 256, 0u);
    EXPECT_EQ(qor::heap::Owns(cached), !EngineOff());
    EXPECT_EQ(qor::heap::Owns(aligned), !EngineOff());
    if (EngineOff()) { // the pools' blocks have a header that names their chunk
        EXPECT_NE(QORSysGetAllocatorFromAddress(cached), nullptr);
    }
    // Blocks cross threads: another thread releases them.
    std::thread([&] {
        QORSysCachedDelete(cached, 0);
        QORSysHeapDelete(aligned);
    }).join();
    QORSysHeapDelete(nullptr);
    QORSpecializedDelete(direct, nullptr);
}

TEST(HeapRoutes, FiguresAndTheReportLineFollowTheEngine) {
    const QORHeapInfo before = Info();
    void* blocks[100];
    for (void*& block : blocks)
        block = QORSysCachedNew(1000, kThreadSafe, nullptr);
    void* huge = QORSysHeapNew(std::size_t{1} << 20, 16);
    const QORHeapInfo during = Info();
    const std::string report = AllPoolsReport();
    if (EngineOff()) {
        EXPECT_EQ(during.bytesInUse, 0u);
        EXPECT_EQ(report.find("Heap engine:"), std::string::npos);
    } else {
        EXPECT_EQ(during.bytesInUse - before.bytesInUse,
                  100 * 1024 + (std::size_t{1} << 20) +
                      (during.hugeBytes - (std::size_t{1} << 20)));
        EXPECT_EQ(during.hugeBlocks, before.hugeBlocks + 1);
        EXPECT_GE(during.bytesResident, during.bytesInUse);
        EXPECT_GE(during.bytesHeld, during.bytesResident);
        QORHeapClassInfo classes[96];
        ASSERT_EQ(QORSysGetHeapInfo(nullptr, classes, 96), 96);
        const QORHeapClassInfo& ofOneKiB = classes[qor::heap::ClassOf(1000)];
        EXPECT_EQ(ofOneKiB.blockBytes, 1024u);
        EXPECT_GE(ofOneKiB.blocksInUse, 100u);
        const std::size_t line =
            report.find("Heap engine: " + std::to_string(during.bytesInUse) + " bytes in use");
        EXPECT_NE(line, std::string::npos) << report;
    }
    for (void* block : blocks)
        QORSysCachedDelete(block, 0);
    QORSysHeapDelete(huge);
    EXPECT_EQ(Info().bytesInUse, before.bytesInUse);
}
