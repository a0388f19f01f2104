// Linux implementation of the platform interface: dlopen for libraries, posix_memalign for
// aligned memory, the C runtime's exit registration for the module exit list, the auxiliary
// vector for secure execution.
#include "Platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/auxv.h>
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
    if (RefusedByFilter(bytes)) return nullptr;
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

namespace {
int gForcedSecureExecution = -1;
}

// The kernel sets AT_SECURE for exactly the cases the dynamic loader treats as secure (it then
// ignores LD_LIBRARY_PATH and LD_PRELOAD): the library follows the same rule.
bool IsSecureExecution() {
    if (gForcedSecureExecution >= 0) return gForcedSecureExecution != 0;
    return getauxval(AT_SECURE) != 0;
}

void ForceSecureExecution(int answer) { gForcedSecureExecution = answer < 0 ? -1 : answer; }

MallocFailureFilter gMallocFailureFilter = nullptr;

void SetMallocFailureFilter(MallocFailureFilter filter) { gMallocFailureFilter = filter; }

namespace {
WriteFailureFilter gWriteFailureFilter = nullptr;
}

void SetWriteFailureFilter(WriteFailureFilter filter) { gWriteFailureFilter = filter; }

// Positioned system calls on the stream's descriptor: no seek, and no stdio buffer to flush, so
// a record is in the file (the kernel's page cache) when WriteAt returns. The library never uses
// stdio's own buffered calls on this stream.
bool WriteAt(std::FILE* file, std::uint64_t offset, const void* bytes, std::size_t length) {
    if (gWriteFailureFilter != nullptr && gWriteFailureFilter(length)) return false;
    const int descriptor = fileno(file);
    const char* next = static_cast<const char*>(bytes);
    while (length > 0) {
        const ssize_t written = pwrite(descriptor, next, length, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        next += written;
        offset += static_cast<std::uint64_t>(written);
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

std::FILE* CreatePrivateFile(const char* path) {
    const int descriptor = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (descriptor < 0) return nullptr;
    std::FILE* file = fdopen(descriptor, "w+b");
    if (file == nullptr) close(descriptor);
    return file;
}

std::size_t ReadAt(std::FILE* file, std::uint64_t offset, void* bytes, std::size_t length) {
    const int descriptor = fileno(file);
    std::size_t got = 0;
    while (got < length) {
        const ssize_t read = pread(descriptor, static_cast<char*>(bytes) + got, length - got,
                                   static_cast<off_t>(offset + got));
        if (read < 0 && errno == EINTR) continue;
        if (read <= 0) break;
        got += static_cast<std::size_t>(read);
    }
    std::memset(static_cast<char*>(bytes) + got, 0, length - got);
    return got;
}

} // namespace qor::platform
