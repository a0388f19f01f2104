// A bare ".dll" name is found through the platform's search path (LD_LIBRARY_PATH here, set by
// the test's environment): no directory is prepended, and the ".so" fallback applies.
#include "platform/Platform.h"

#include <gtest/gtest.h>

namespace qor::platform {
namespace {

TEST(PlatformSearchPath, BareDllNameLoadsSharedObjectFromSearchPath) {
    ModuleHandle module = LoadLibraryA("qorplatformprobe.dll");
    ASSERT_NE(module, nullptr);
    auto answer = reinterpret_cast<int (*)()>(GetProcAddress(module, "QORPlatformProbeAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_NE(FreeLibrary(module), 0);
}

} // namespace
} // namespace qor::platform
