// The platform layer: loading, aligned and chunk memory, module exit list, address format.
#include "platform/Platform.h"
#include "core/PoolInterface.h"
#include "platform/AddressFormat.h"

#include <gtest/gtest.h>

namespace qor {
namespace {
using namespace platform;

TEST(Platform, OpenLibraryFallsBackFromDllToSo) {
    EXPECT_EQ(OpenLibrary("qor-no-such-library.dll"), nullptr);
    ModuleHandle module = OpenLibrary("qorplatformprobe.dll"); // ctest puts it on the search path
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(reinterpret_cast<int (*)()>(FindSymbol(module, "QORPlatformProbeAnswer"))(), 42);
}

std::vector<std::size_t> gRequests;

TEST(Platform, AlignedAndChunkMemory) {
    void* page = AlignedAllocate(8192, 4096);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(page) % 4096, 0u);
    AlignedFree(page);
    SetMallocFailureFilter(
        [](std::size_t bytes) { return gRequests.push_back(bytes), bytes == 88; });
    for (std::size_t size : {1000, 32768, 33791, 40000}) // mode 1: at least 32 KB, else 1024s
        FreeIfNotNull(AllocateChunkMemory(size, 1));
    EXPECT_EQ(AllocateChunkMemory(88, 2), nullptr); // other modes: exactly the size
    SetMallocFailureFilter(nullptr);
    EXPECT_EQ(gRequests, (std::vector<std::size_t>{32768, 32768, 32768, 39936, 88}));
}

void PrintExitRun() { std::fputs("[exit run]", stderr); }

TEST(PlatformDeathTest, ModuleExitRunsOnceAtProcessExit) {
    EXPECT_EXIT((RegisterModuleExit(PrintExitRun), RegisterModuleExit(PrintExitRun), std::exit(0)),
                ::testing::ExitedWithCode(0), "^\\[exit run\\]$");
}

TEST(Platform, AddressFormatPrintsSixteenUpperCaseDigits) {
    char text[64];
    std::snprintf(text, sizeof(text), AddressFormat("0x%p 100%%p").text,
                  AddressArg(reinterpret_cast<void*>(0xABCDEF)));
    EXPECT_STREQ(text, "0x0000000000ABCDEF 100%p");
}

} // namespace
} // namespace qor
