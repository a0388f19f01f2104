// Blocks released as what they are not, unusable swap directories and hook libraries.
#include "QORSysSwapFile.h"
#include "core/Hooks.h"
#include "hooks/RecordingHooks.h"
#include "pagedpool/PagedPool.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

namespace qor {
namespace {

void* New(std::size_t size, void* pool) { return QORSpecializedNew(size, pool, nullptr, 0); }
std::uintptr_t Addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// The paged flag takes the owner from the page descriptor's place, which in a general pool's page
// holds any bytes: here the block's own. Regression: a size word there (48) was called through.
TEST(HostileInput, GeneralBlockReleasedAsPagedIsLeftAlone) {
    void* pool = QORSysCreatePool(0, 65536);
    void* other = QORSysCreatePool(0, 32768);
    char* block = nullptr;
    while (block == nullptr || reinterpret_cast<char*>(PageObjectOf(block)) < block)
        block = static_cast<char*>(New(8192, pool)); // until the place lies inside the block
    const std::uint64_t freeBytes = FieldsOf(pool)->free + FieldsOf(other)->free;
    static std::uintptr_t zeros[16];
    for (std::uintptr_t owner : {0ul, 48ul, HeaderOf(block)->ownerWord, Addr(zeros), Addr(other)}) {
        *reinterpret_cast<std::uintptr_t*>(PageObjectOf(block)) = owner;
        QORSpecializedDelete(block, nullptr, int(QORSysPoolFlag::PAGED));
        EXPECT_EQ(FieldsOf(pool)->free + FieldsOf(other)->free, freeBytes) << owner;
    }
    EXPECT_EQ(QORSysGetAllocatorFromAddress(block), pool) << "its header is intact";
}

TEST(HostileInput, SwapDirectoryThatIsAFileEndsTheProcess) {
    ::setenv("QPL_UVT_TMP", __FILE__, 1); // a regular file
    EXPECT_EXIT(QORSysSwapFile().Initialize(0, 4096, 4096, 8192), testing::ExitedWithCode(1),
                "^Unable to open swap file: Not a directory");
}

// Run naming a module without hooks: each of the nine look-ups loads it and lets it go again.
TEST(HookLibrary, WithoutEntryPointsIsLoadedAndLetGo) {
    void* p = New(100, nullptr);
    EXPECT_EQ(std::string(std::getenv("QOR_TEST_NO_HOOKS_LOADS")), "9");
    EXPECT_EQ(std::pair(State().instrumented, HeaderOf(p)->sizeWord), std::pair(true, 116ul));
    QORSpecializedDelete(p, nullptr);
}

// Run with the recording hooks named: a privileged process (QOR_TEST_SECURE 1) must not load them.
TEST(SecureExecution, InstrumentationVariableCountsAsAbsent) {
    platform::ForceSecureExecution(std::atoi(std::getenv("QOR_TEST_SECURE")));
    QORSpecializedDelete(New(100, nullptr), nullptr);
    const bool loaded = testhooks::LoadedHookLog(QOR_RECORDING_HOOKS ".dll") != nullptr;
    EXPECT_EQ(State().instrumented + loaded, platform::IsSecureExecution() ? 0 : 2); // both or none
}

} // namespace
} // namespace qor
