// Linux implementation of the platform interface: dlopen for libraries, posix_memalign for
// aligned memory, the C runtime's exit registration for the module exit list.
#include "Platform.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

// Provided by the C runtime: the handle that identifies this module, and the registration that
// ties an exit function to it.
extern "C" void* __dso_handle;
extern "C" int __cxa_atexit(void (*)(void*), void*, void*);

namespace qor::platform {

namespace {
constexpr char kWindowsSuffix[] = ".dll";
constexpr char kLinuxSuffix[] = ".so";

// Retries a ".dll" name as ".so". Names that do not fit the buffer are not retried.
void* LoadWithLinuxSuffix(const char* fileName) {
    const std::size_t length = std::strlen(fileName);
    const std::size_t suffix = sizeof(kWindowsSuffix) - 1;
    char alternative[4096];
    if (length < suffix || std::strcmp(fileName + length - suffix, kWindowsSuffix) != 0 ||
        length - suffix + sizeof(kLinuxSuffix) > sizeof(alternative))
        return nullptr;
    std::memcpy(alternative, fileName, length - suffix);
    std::memcpy(alternative + length - suffix, kLinuxSuffix, sizeof(kLinuxSuffix));
    return dlopen(alternative, RTLD_NOW | RTLD_LOCAL);
}

// A debugger shows up as a non-zero TracerPid in /proc/self/status.
bool DebuggerAttached() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return false;
    char line[256];
    bool attached = false;
    while (std::fgets(line, sizeof(line), status) != nullptr) {
        if (std::strncmp(line, "TracerPid:", 10) == 0) {
            attached = std::strtol(line + 10, nullptr, 10) != 0;
            break;
        }
    }
    std::fclose(status);
    return attached;
}

using ExitFunction = void (*)();
ExitFunction gExitFunction = nullptr;
bool gExitRan = false;

void RunModuleExitOnce(void*) {
    if (gExitRan || gExitFunction == nullptr) return;
    gExitRan = true;
    gExitFunction();
}
} // namespace

ModuleHandle LoadLibraryA(const char* fileName) {
    if (fileName == nullptr) return nullptr;
    void* module = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
    return module != nullptr ? module : LoadWithLinuxSuffix(fileName);
}

ProcAddress GetProcAddress(ModuleHandle module, const char* name) {
    return module == nullptr ? nullptr : dlsym(module, name);
}

int FreeLibrary(ModuleHandle module) { return module != nullptr && dlclose(module) == 0; }

void DebugBreak() {
    if (DebuggerAttached()) std::raise(SIGTRAP);
}

int DisableThreadLibraryCalls(ModuleHandle) { return 1; }

void* _aligned_malloc(std::size_t bytes, std::size_t alignment) {
    void* memory = nullptr;
    return posix_memalign(&memory, alignment, bytes) == 0 ? memory : nullptr;
}

void _aligned_free(void* memory) { std::free(memory); }

int _getpid() { return static_cast<int>(::getpid()); }

void _exit(int code) { ::_exit(code); }

// __cxa_atexit with this module's handle runs the function at exit() or at dlclose() of this
// module, whichever comes first; one registration only, so it cannot run twice.
int RegisterModuleExit(void (*function)()) {
    if (gExitFunction != nullptr) return gExitFunction == function ? 0 : 1;
    gExitFunction = function;
    return __cxa_atexit(RunModuleExitOnce, nullptr, &__dso_handle);
}

ModuleHandle CurrentModule() { return &__dso_handle; }

MallocFailureFilter gMallocFailureFilter = nullptr;

void* MallocFiltered(std::size_t bytes) {
    return gMallocFailureFilter(bytes) ? nullptr : std::malloc(bytes);
}

void SetMallocFailureFilter(MallocFailureFilter filter) { gMallocFailureFilter = filter; }

namespace {
WriteFailureFilter gWriteFailureFilter = nullptr;
}

void SetWriteFailureFilter(WriteFailureFilter filter) { gWriteFailureFilter = filter; }

bool WriteAt(std::FILE* file, std::uint64_t offset, const void* bytes, std::size_t length) {
    if (gWriteFailureFilter != nullptr && gWriteFailureFilter(length)) return false;
    if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
    const bool written = std::fwrite(bytes, 1, length, file) == length;
    return std::fflush(file) == 0 && written;
}

std::size_t ReadAt(std::FILE* file, std::uint64_t offset, void* bytes, std::size_t length) {
    std::size_t got = 0;
    if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0)
        got = std::fread(bytes, 1, length, file);
    std::memset(static_cast<char*>(bytes) + got, 0, length - got);
    return got;
}

} // namespace qor::platform
