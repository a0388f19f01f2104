// The module entry point: turns off per-thread notifications and does nothing else. All other
// set-up is lazy, so the library may be called before or during static initialisation.
#include "../platform/Platform.h"

namespace qor {
namespace {

constexpr unsigned long kProcessAttach = 1;

bool ModuleEntryPoint(platform::ModuleHandle module, unsigned long reason, void*) {
    if (reason == kProcessAttach) platform::DisableThreadNotifications(module);
    return true;
}

[[gnu::constructor]] void OnModuleLoad() {
    ModuleEntryPoint(platform::CurrentModule(), kProcessAttach, nullptr);
}

} // namespace
} // namespace qor
