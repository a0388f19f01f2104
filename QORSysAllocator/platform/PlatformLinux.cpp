// Linux implementation of the platform interface: dlopen for libraries, posix_memalign for
// aligned memory, the C runtime's exit registration for the module exit list, the auxiliary
// vector for secure execution.
#include "Platform.h"

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
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

ModuleHandle OpenLibrary(const char* fileName) {
    if (fileName == nullptr) return nullptr;
    void* module = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
    return module != nullptr ? module : LoadWithLinuxSuffix(fileName);
}

SymbolAddress FindSymbol(ModuleHandle module, const char* name) {
    return module == nullptr ? nullptr : dlsym(module, name);
}

bool CloseLibrary(ModuleHandle module) { return module != nullptr && dlclose(module) == 0; }

const char* LibraryError() { return dlerror(); }

bool IsMapped(const void* begin, std::size_t bytes) {
    const auto pageBytes = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto first = reinterpret_cast<std::uintptr_t>(begin) & ~(pageBytes - 1);
    const std::uintptr_t last =
        (reinterpret_cast<std::uintptr_t>(begin) + bytes - 1) & ~(pageBytes - 1);
    for (std::uintptr_t page = first; page <= last; page += pageBytes) {
        unsigned char resident;
        if (mincore(reinterpret_cast<void*>(page), 1, &resident) != 0) return false;
    }
    return true;
}

void BreakIntoDebugger() {
    if (DebuggerAttached()) std::raise(SIGTRAP);
}

bool DisableThreadNotifications(ModuleHandle) { return true; }

void* AlignedAllocate(std::size_t bytes, std::size_t alignment) {
    if (RefusedByFilter(bytes)) return nullptr;
    if (gOwnMemory) return OwnAllocate(bytes, alignment);
    void* memory = nullptr;
    return posix_memalign(&memory, alignment, bytes) == 0 ? memory : nullptr;
}

void AlignedFree(void* memory) { Free(memory); }

void* AllocateRegionMemory(std::size_t bytes) {
    if (!gOwnMemory) return AlignedAllocate(bytes, 4096);
    return RefusedByFilter(bytes) ? nullptr : OwnAllocateRegion(bytes);
}

int ProcessId() { return static_cast<int>(::getpid()); }

namespace {

// A thread-specific key whose destructor is a thread-exit call: the thread caches' and the heap
// engine's, each made once.
struct ThreadExitKey {
    pthread_key_t key;
    bool made;

    bool Register(void (*function)(void*)) {
        if (!made) made = pthread_key_create(&key, function) == 0;
        return made;
    }
    void Set(void* value) const {
        if (made) pthread_setspecific(key, value);
    }
};
ThreadExitKey gCachesExit{};
ThreadExitKey gHeapExit{};

} // namespace

bool RegisterThreadExit(void (*function)(void*)) { return gCachesExit.Register(function); }
void SetThreadExitValue(void* value) { gCachesExit.Set(value); }
bool RegisterHeapThreadExit(void (*function)(void*)) { return gHeapExit.Register(function); }
void SetHeapThreadExitValue(void* value) { gHeapExit.Set(value); }

void* MapMemory(std::size_t bytes, std::size_t alignment) {
    if (RefusedByFilter(bytes)) return nullptr;
    const std::size_t slack = alignment > kSystemPageBytes ? alignment : 0;
    if (bytes > SIZE_MAX - slack) return nullptr;
    void* mapped = mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    if (slack == 0) return mapped;
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + alignment - 1) & ~std::uintptr_t{alignment - 1};
    if (aligned > start) munmap(mapped, aligned - start);
    const std::uintptr_t end = aligned + bytes;
    if (start + bytes + slack > end)
        munmap(reinterpret_cast<void*>(end), start + bytes + slack - end);
    return reinterpret_cast<void*>(aligned);
}

void UnmapMemory(void* memory, std::size_t bytes) { munmap(memory, bytes); }

void PurgeMemory(void* memory, std::size_t bytes) { madvise(memory, bytes, MADV_DONTNEED); }

bool RemapMemory(void* memory, std::size_t oldBytes, std::size_t newBytes, void* into) {
    if (into == nullptr) return mremap(memory, oldBytes, newBytes, 0) != MAP_FAILED;
    return mremap(memory, oldBytes, newBytes, MREMAP_MAYMOVE | MREMAP_FIXED, into) != MAP_FAILED;
}

std::uint64_t MonotonicMilliseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

// The expedited private command interrupts only the CPUs that run a thread of this process; the
// process must register for it once.
bool EnableProcessFence() {
    return syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
}

bool ProcessFence() {
    return syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0;
}

void ExitImmediately(int code) { ::_exit(code); }

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
namespace {
IoFaultFilter gIoFaultFilter = nullptr;

// The bytes the fault filter lets the next call move, at most `remaining` (all of them without a
// filter); -1 for a call that must fail as with EIO.
long AllowedBytes(bool write, std::size_t remaining) {
    if (__builtin_expect(gIoFaultFilter == nullptr, 1)) return static_cast<long>(remaining);
    const long answer = gIoFaultFilter(write, remaining);
    if (answer < 0) return -1;
    return static_cast<std::size_t>(answer) < remaining ? answer : static_cast<long>(remaining);
}

// Moves the cursor (`first`, the piece the next call starts with) past `moved` bytes: the pieces
// they fill are passed, the next one starts where they end.
void Advance(iovec* vector, int count, int& first, std::size_t moved) {
    while (first < count && moved >= vector[first].iov_len)
        moved -= vector[first++].iov_len;
    if (first < count) {
        vector[first].iov_base = static_cast<char*>(vector[first].iov_base) + moved;
        vector[first].iov_len -= moved;
    }
}

// Moves the pieces' bytes with as many calls as the kernel (or the fault filter) needs; answers
// the bytes moved. A call that fails (`failed` set) or moves nothing ends the transfer.
template <class Call>
std::size_t Transfer(bool write, int descriptor, std::uint64_t offset, const IoPiece* pieces,
                     int count, Call call, bool& failed) {
    iovec vector[kMaxIoPieces];
    std::size_t remaining = 0;
    for (int i = 0; i < count; ++i) {
        vector[i] = {pieces[i].bytes, pieces[i].length};
        remaining += pieces[i].length;
    }
    std::size_t done = 0;
    int first = 0;
    while (remaining > 0) {
        const long answer = AllowedBytes(write, remaining);
        if (answer < 0) {
            errno = EIO;
            failed = true;
            break;
        }
        const auto allowed = static_cast<std::size_t>(answer);
        // The call sees only the first `allowed` bytes: the pieces that hold them, the last one
        // cut short for the call and restored after it.
        int last = first;
        std::size_t covered = vector[first].iov_len;
        while (covered < allowed)
            covered += vector[++last].iov_len;
        const std::size_t cut = covered - allowed;
        vector[last].iov_len -= cut;
        const ssize_t moved =
            call(descriptor, vector + first, last - first + 1, static_cast<off_t>(offset + done));
        vector[last].iov_len += cut;
        if (moved < 0 && errno == EINTR) continue;
        failed = moved < 0;
        if (moved <= 0) break;
        done += static_cast<std::size_t>(moved);
        remaining -= static_cast<std::size_t>(moved);
        Advance(vector, count, first, static_cast<std::size_t>(moved));
    }
    return done;
}
} // namespace

namespace {
std::size_t TotalLength(const IoPiece* pieces, int count) {
    std::size_t length = 0;
    for (int i = 0; i < count; ++i)
        length += pieces[i].length;
    return length;
}
} // namespace

void SetIoFaultFilter(IoFaultFilter filter) { gIoFaultFilter = filter; }

bool WriteAt(std::FILE* file, std::uint64_t offset, const IoPiece* pieces, int count) {
    const std::size_t length = TotalLength(pieces, count);
    if (gWriteFailureFilter != nullptr && gWriteFailureFilter(length)) return false;
    bool failed = false;
    return Transfer(true, fileno(file), offset, pieces, count, pwritev, failed) == length;
}

bool WriteAt(std::FILE* file, std::uint64_t offset, const void* bytes, std::size_t length) {
    const IoPiece piece{const_cast<void*>(bytes), length};
    return WriteAt(file, offset, &piece, 1);
}

long ReadAt(std::FILE* file, std::uint64_t offset, const IoPiece* pieces, int count) {
    bool failed = false;
    const std::size_t got = Transfer(false, fileno(file), offset, pieces, count, preadv, failed);
    // A page never written reads as zeros.
    std::size_t before = 0;
    for (int i = 0; i < count; ++i) {
        const std::size_t length = pieces[i].length;
        if (before + length > got) {
            const std::size_t keep = got > before ? got - before : 0;
            std::memset(static_cast<char*>(pieces[i].bytes) + keep, 0, length - keep);
        }
        before += length;
    }
    return failed ? -1 : static_cast<long>(got);
}

std::size_t ReadAt(std::FILE* file, std::uint64_t offset, void* bytes, std::size_t length) {
    const IoPiece piece{bytes, length};
    const long got = ReadAt(file, offset, &piece, 1);
    return got < 0 ? 0 : static_cast<std::size_t>(got);
}

namespace {

// Set only while a view read runs on this thread: where a fault on a page cut off the file
// resumes it.
thread_local sigjmp_buf* tViewRead __attribute__((tls_model("initial-exec"))) = nullptr;
struct sigaction gBusErrorBefore;

void OnBusError(int signal, siginfo_t* info, void* context) {
    if (sigjmp_buf* resume = tViewRead) siglongjmp(*resume, 1);
    if (gBusErrorBefore.sa_flags & SA_SIGINFO)
        return gBusErrorBefore.sa_sigaction(signal, info, context);
    if (gBusErrorBefore.sa_handler != SIG_DFL && gBusErrorBefore.sa_handler != SIG_IGN)
        return gBusErrorBefore.sa_handler(signal);
    // Not a view's fault and nobody else's: the default action, when the access faults again.
    std::signal(SIGBUS, SIG_DFL);
}

bool CatchCutPages() {
    static const bool caught = [] {
        struct sigaction action {};
        action.sa_sigaction = OnBusError;
        // No mask to restore on the jump back: the signal is not blocked while it is handled.
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        return sigaction(SIGBUS, &action, &gBusErrorBefore) == 0;
    }();
    return caught;
}

// Copies the view's bytes from `offset` into the pieces and touches `probe`; false when a page
// of them faulted (nothing can be said of the pieces then).
bool CopyFromView(const FileView& view, std::uint64_t offset, const IoPiece* pieces, int count,
                  const char* probe) {
    sigjmp_buf resume;
    if (sigsetjmp(resume, 0) != 0) {
        tViewRead = nullptr;
        return false;
    }
    tViewRead = &resume;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const char* from = view.bytes + offset;
    for (int i = 0; i < count; ++i) {
        std::memcpy(pieces[i].bytes, from, pieces[i].length);
        from += pieces[i].length;
    }
    static_cast<void>(*static_cast<const volatile char*>(probe));
    std::atomic_signal_fence(std::memory_order_seq_cst);
    tViewRead = nullptr;
    return true;
}

} // namespace

// A view is of no use without the handler: a cut page would end the process.
FileView MapFile(std::FILE* file, std::uint64_t length) {
    if (!CatchCutPages()) return {nullptr, 0};
    void* bytes = mmap(nullptr, length, PROT_READ, MAP_SHARED, fileno(file), 0);
    if (bytes == MAP_FAILED) return {nullptr, 0};
    return {static_cast<const char*>(bytes), length};
}

void UnmapFile(const FileView& view) {
    if (view.bytes != nullptr) munmap(const_cast<char*>(view.bytes), view.length);
}

long ReadAt(std::FILE* file, const FileView& view, std::uint64_t fileBytes, std::uint64_t offset,
            const IoPiece* pieces, int count) {
    const std::uint64_t end = offset + TotalLength(pieces, count);
    // The file may end inside the last page read, where the view shows zeros and no fault: a
    // touch of the next page proves the file reaches past it.
    const std::uint64_t probe = (end + kSystemPageBytes - 1) & ~(kSystemPageBytes - 1);
    const bool served = view.bytes != nullptr && probe < fileBytes && probe < view.length;
    if (!served) return ReadAt(file, offset, pieces, count);
    if (AllowedBytes(false, end - offset) < 0) {
        for (int i = 0; i < count; ++i)
            std::memset(pieces[i].bytes, 0, pieces[i].length);
        return -1;
    }
    if (!CopyFromView(view, offset, pieces, count, view.bytes + probe))
        return ReadAt(file, offset, pieces, count);
    return static_cast<long>(end - offset);
}

std::FILE* CreatePrivateFile(const char* path) {
    const int descriptor = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (descriptor < 0) return nullptr;
    std::FILE* file = fdopen(descriptor, "w+b");
    if (file == nullptr) close(descriptor);
    return file;
}

void CloseFile(std::FILE* file) { std::fclose(file); }

const char* EnvironmentValue(const char* name) { return std::getenv(name); }

} // namespace qor::platform
