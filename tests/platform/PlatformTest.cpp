// The platform layer: loading libraries with the ".dll" to ".so" fallback, aligned memory, the
// module exit list, the address format of the reports, and the chunk-size rule of the raw-memory
// primitive as the malloc seam sees it.
#include "platform/Platform.h"
#include "frontend/PoolInterface.h"
#include "platform/AddressFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace qor::platform {
namespace {

using ProbeAnswer = int (*)();

const std::string kProbeDirectory = QOR_PROBE_DIRECTORY;

TEST(Platform, LoadLibraryOfMissingNameFails) {
    EXPECT_EQ(LoadLibraryA("qor-no-such-library.dll"), nullptr);
    EXPECT_EQ(LoadLibraryA("qor-no-such-library.so"), nullptr);
    EXPECT_EQ(LoadLibraryA("qor-no-such-library"), nullptr);
    EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
    EXPECT_EQ(GetProcAddress(nullptr, "QORPlatformProbeAnswer"), nullptr);
    EXPECT_EQ(FreeLibrary(nullptr), 0);
}

TEST(Platform, DllNameFallsBackToSharedObject) {
    ModuleHandle module = LoadLibraryA((kProbeDirectory + "/qorplatformprobe.dll").c_str());
    ASSERT_NE(module, nullptr);
    auto answer = reinterpret_cast<ProbeAnswer>(GetProcAddress(module, "QORPlatformProbeAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(GetProcAddress(module, "QORPlatformProbeMissing"), nullptr);
    // A second load takes a second reference: both must be dropped.
    ModuleHandle again = LoadLibraryA((kProbeDirectory + "/qorplatformprobe.so").c_str());
    EXPECT_EQ(again, module);
    EXPECT_NE(FreeLibrary(again), 0);
    EXPECT_NE(FreeLibrary(module), 0);
}

TEST(Platform, AlignedMemoryHonoursAlignment) {
    for (std::size_t alignment : {16, 64, 4096}) {
        auto* memory = static_cast<unsigned char*>(_aligned_malloc(512 * 1024, alignment));
        ASSERT_NE(memory, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(memory) % alignment, 0u) << alignment;
        std::memset(memory, 0xC3, 512 * 1024);
        _aligned_free(memory);
    }
    _aligned_free(nullptr);
}

int gExitRuns = 0;
void PrintExitRun() { std::fprintf(stderr, "[module exit run %d]", ++gExitRuns); }
void OtherExitFunction() { std::fprintf(stderr, "[other exit function]"); }

TEST(PlatformDeathTest, ModuleExitRunsOnceAtProcessExit) {
    EXPECT_EXIT(
        {
            if (RegisterModuleExit(PrintExitRun) != 0) std::_Exit(3);
            // The same function again is accepted and still runs once; another is refused.
            if (RegisterModuleExit(PrintExitRun) != 0) std::_Exit(4);
            if (RegisterModuleExit(OtherExitFunction) == 0) std::_Exit(5);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^\\[module exit run 1\\]$");
}

std::string Formatted(const char* format, const void* address) {
    char text[64];
    std::snprintf(text, sizeof(text), format, AddressArg(address));
    return text;
}

TEST(Platform, AddressFormatPrintsSixteenUpperCaseDigits) {
    static constexpr AddressFormat kFormat("at 0x%p;");
    EXPECT_EQ(Formatted(kFormat.text, reinterpret_cast<void*>(0xABCDEF)), "at 0x0000000000ABCDEF;");
    EXPECT_EQ(Formatted(kFormat.text, nullptr), "at 0x0000000000000000;");
    EXPECT_EQ(Formatted(kFormat.text, reinterpret_cast<void*>(~std::uintptr_t{0})),
              "at 0xFFFFFFFFFFFFFFFF;");
    // A literal percent sign followed by p is not an address.
    static constexpr AddressFormat kPercent("100%%p %p");
    EXPECT_EQ(Formatted(kPercent.text, reinterpret_cast<void*>(0x10)), "100%p 0000000000000010");
}

std::size_t gLastRequest = 0;
bool gFailRequests = false;
bool RecordRequest(std::size_t bytes) {
    gLastRequest = bytes;
    return gFailRequests;
}

TEST(Platform, ChunkMemoryRequestSizes) {
    struct Case {
        std::size_t size;
        int mode;
        std::size_t requested;
    };
    SetMallocFailureFilter(RecordRequest);
    for (const Case& c :
         {Case{1000, 1, 32768}, Case{32767, 1, 32768}, Case{32768, 1, 32768}, Case{40000, 1, 39936},
          Case{33791, 1, 32768}, Case{88, 2, 88}, Case{40000, 0, 40000}}) {
        void* memory = AllocateChunkMemory(c.size, c.mode);
        EXPECT_NE(memory, nullptr);
        EXPECT_EQ(gLastRequest, c.requested) << c.size << " in mode " << c.mode;
        FreeIfNotNull(memory);
    }
    gFailRequests = true;
    EXPECT_EQ(AllocateChunkMemory(1000, 1), nullptr);
    SetMallocFailureFilter(nullptr);
    FreeIfNotNull(nullptr);
}

} // namespace
} // namespace qor::platform
