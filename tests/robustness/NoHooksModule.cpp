// A hook library with none of the hooks. QOR_TEST_NO_HOOKS_LOADS starts as "0123456789": each load
// drops its first digit, so that the first digit left counts the loads.
#include <cstdlib>

__attribute__((constructor)) static void CountLoad() {
    const char* loads = std::getenv("QOR_TEST_NO_HOOKS_LOADS");
    if (loads != nullptr && loads[0] != '\0') setenv("QOR_TEST_NO_HOOKS_LOADS", loads + 1, 1);
}
