// What the library needs of the operating system and C runtime, stated once.
// Only PlatformLinux.cpp and OwnMemoryLinux.cpp call the OS and the C runtime's allocator; every
// other file reaches them through these functions.
// Error convention: a null handle, a null address or false for failure (RegisterModuleExit
// answers a status, 0 when done); nothing here prints or throws.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace qor::platform {

using ModuleHandle = void*;
using SymbolAddress = void*;

// Loads a shared library by file name through the platform's usual search path (no directory is
// prepended). A name ending in ".dll" that cannot be loaded is tried again with ".so" in its place.
// Returns null on failure. Every successful call takes one load reference.
ModuleHandle OpenLibrary(const char* fileName);

// Why the calling thread's last OpenLibrary failed, as the platform words it (for the ".so" retry
// when there was one); null when it did not fail or the text was taken already.
const char* LibraryError();

// The address of an exported C symbol, or null.
SymbolAddress FindSymbol(ModuleHandle module, const char* name);

// Drops one load reference. True on success.
bool CloseLibrary(ModuleHandle module);

// Traps into an attached debugger; does nothing when none is attached, so that a fatal stop that
// follows it still ends in abort.
void BreakIntoDebugger();

// Turns off per-thread attach and detach notifications for a module. There are none on this
// platform; answers true (success).
bool DisableThreadNotifications(ModuleHandle module);

// Memory aligned at `alignment` (a power of two), released with AlignedFree. Null on failure
// (the failure filter below included).
void* AlignedAllocate(std::size_t bytes, std::size_t alignment);
void AlignedFree(void* memory);
// The memory of a paged pools' region (4096-aligned), released with AlignedFree; with the
// library's own memory, a span that SpanKindOf names a region.
void* AllocateRegionMemory(std::size_t bytes);

// True when every page of [begin, begin + bytes) is mapped (it may still be unreadable, when it is
// mapped without access). One system call per page: for diagnoses, not for every call.
bool IsMapped(const void* begin, std::size_t bytes);

// Thread exit. RegisterThreadExit gives the one function that runs when a thread ends with a
// non-null value set by SetThreadExitValue; the function receives that value. False when the
// platform has no room for it (the function then never runs). The value is the calling thread's
// own; a thread that never sets one is not called back.
bool RegisterThreadExit(void (*function)(void* value));
void SetThreadExitValue(void* value);

// A full memory barrier run on every thread of the process, now, on behalf of the caller: after
// it returns, each other thread's earlier stores are visible to the caller and each other thread's
// later loads see the caller's earlier stores. This is what lets a thread-private fast path use
// plain stores where a rare other party must know whether the thread is inside it. False when the
// kernel does not offer it (nothing is done; the fast path must then fence itself).
bool EnableProcessFence();
bool ProcessFence();

// The process id (it names the swap file).
int ProcessId();

// Ends the process at once with `code`: no exit list, no stream flush.
[[noreturn]] void ExitImmediately(int code);

// Adds `function` to the module's exit list: it runs once, when the process exits or when this
// module is unloaded, whichever comes first. Returns 0 on success, nonzero when it could not be
// registered.
int RegisterModuleExit(void (*function)());

// The module's own handle (for the entry point).
ModuleHandle CurrentModule();

// True when the process runs with more privilege than the user who started it (set-user-ID or
// set-group-ID, file capabilities): its environment then comes from a less trusted party and
// must not choose code to load into it.
bool IsSecureExecution();
// Tests: forces the answer (0 or 1); a negative value returns to the process's own.
void ForceSecureExecution(int answer);

// Every allocation of the library goes through this layer: Malloc (chunks, tables, heap blocks),
// AlignedAllocate (regions) and AllocateObjectMemory (region lists, the swap file's page table,
// page buffers and permanent handles). Each asks one failure filter first, so that a test can
// make any chosen request fail, or the n-th one by counting calls. A filter returns true for a
// request that must fail. Cost when no filter is set: one predictable branch.
using MallocFailureFilter = bool (*)(std::size_t bytes);
extern MallocFailureFilter gMallocFailureFilter;
void SetMallocFailureFilter(MallocFailureFilter filter);

inline bool RefusedByFilter(std::size_t bytes) {
    return __builtin_expect(gMallocFailureFilter != nullptr, 0) && gMallocFailureFilter(bytes);
}

// The library's own memory where the library serves the process's malloc (libQORSysMalloc.so):
// after UseOwnMemory(), every allocation of this layer takes the C runtime's allocator by its own
// name, never the malloc the process sees (which would come back into the library), and a request
// of kSpanBytes or more is a span of whole 64 KB granules that SpanKindOf recognises from any
// address inside it. Requires: UseOwnMemory is called before the library's first allocation.
extern bool gOwnMemory;
void UseOwnMemory();
constexpr std::size_t kSpanBytes = 0x8000;
constexpr std::size_t kSpanGranuleBytes = 0x10000;
// Null on failure. `alignment` a power of two; a span is aligned at a granule at least.
void* OwnAllocate(std::size_t bytes, std::size_t alignment);
// A span that SpanKindOf names a region (the paged pools' memory; see AllocateRegionMemory).
void* OwnAllocateRegion(std::size_t bytes);
void OwnFree(void* memory);

// The map behind SpanKindOf: one leaf of two bits per granule per 4 GB of the 47-bit address
// space, made on first need. Lock-free: a span's bits are set before its memory is handed out.
constexpr unsigned kSpanLeafShift = 32;
constexpr std::size_t kSpanLeafCount = std::size_t{1} << (47 - kSpanLeafShift);
extern std::atomic<std::uint64_t*> gSpanLeaves[kSpanLeafCount];
constexpr unsigned kSpanOwn = 1;    // in a span of the library's own memory
constexpr unsigned kSpanRegion = 2; // ... that is a region of the paged pools

// kSpanOwn, kSpanOwn | kSpanRegion, or 0 for an address outside every span. Cost: two dependent
// loads.
inline unsigned SpanKindOf(const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    if ((at >> 47) != 0) return 0;
    const std::uint64_t* leaf = gSpanLeaves[at >> kSpanLeafShift].load(std::memory_order_acquire);
    if (leaf == nullptr) return 0;
    const std::size_t bit = 2 * ((at >> 16) & ((std::size_t{1} << (kSpanLeafShift - 16)) - 1));
    return (__atomic_load_n(&leaf[bit >> 6], __ATOMIC_RELAXED) >> (bit & 63)) & 3;
}

// The C runtime's allocator by its own name, for memory that the library does not own (what the
// process allocated before the library served its malloc, or while it was starting to).
void* RuntimeAllocate(std::size_t bytes);
void* RuntimeAllocateAligned(std::size_t alignment, std::size_t bytes);
void* RuntimeAllocateZeroed(std::size_t bytes);
void* RuntimeReallocate(void* memory, std::size_t bytes);
void RuntimeFree(void* memory);
// The C library's own malloc_usable_size, asked of the C library itself rather than by the
// process's name for it, which is the override's and, in a program that links an allocator of its
// own, may lead to that allocator. 0 when the C library does not have it.
std::size_t RuntimeUsableBytes(void* memory);

// Anonymous memory straight from the kernel, for the heap engine: whole pages, zero on first
// touch, readable and writable. MapMemory aligns the mapping's start at `alignment` (a power of
// two, at least the page size) by mapping more and unmapping the ends. Null on failure (the
// failure filter included).
constexpr std::size_t kSystemPageBytes = 4096;
void* MapMemory(std::size_t bytes, std::size_t alignment);
void UnmapMemory(void* memory, std::size_t bytes);
// Gives the pages of [memory, memory + bytes) back to the kernel; they stay mapped and read as
// zero when touched again. Requires: page-aligned.
void PurgeMemory(void* memory, std::size_t bytes);
// Resizes a mapping: in place when the pages behind it are free (`into` null), else moves its
// pages without copying them to `into` (a mapping of at least `newBytes` made by MapMemory, which
// the move replaces). False, nothing changed, when the kernel refuses.
bool RemapMemory(void* memory, std::size_t oldBytes, std::size_t newBytes, void* into);

// Milliseconds of a clock that never goes back, at a few milliseconds' resolution: cheap enough
// to read whenever a page is given up.
std::uint64_t MonotonicMilliseconds();

// A second thread-exit call of its own for the heap engine (see RegisterThreadExit), so that the
// engine's per-thread heap and the thread caches end independently.
bool RegisterHeapThreadExit(void (*function)(void* value));
void SetHeapThreadExitValue(void* value);

// Functions run around fork() (pthread_atfork): before it in the parent, after it in the parent
// and in the child. False when they cannot be registered.
bool RegisterForkHandlers(void (*prepare)(), void (*parent)(), void (*child)());

// Gives the processor to another thread for a moment.
void Yield();

inline void* Malloc(std::size_t bytes) {
    if (RefusedByFilter(bytes)) return nullptr;
    return __builtin_expect(gOwnMemory, 0) ? OwnAllocate(bytes, 16) : std::malloc(bytes);
}

inline void Free(void* memory) {
    if (__builtin_expect(gOwnMemory, 0))
        OwnFree(memory);
    else
        std::free(memory);
}

// Memory for the library's small bookkeeping objects (global operator new, never throwing);
// null on failure. Released with ReleaseObjectMemory, null included.
inline void* AllocateObjectMemory(std::size_t bytes) {
    if (RefusedByFilter(bytes)) return nullptr;
    return gOwnMemory ? OwnAllocate(bytes, 16) : ::operator new(bytes, std::nothrow);
}

inline void ReleaseObjectMemory(void* memory) {
    if (gOwnMemory)
        OwnFree(memory);
    else
        ::operator delete(memory);
}

// Files. Paths are built with this separator; this is the directory of last resort for
// temporary files.
constexpr char kPathSeparator = '/';
constexpr const char* kDefaultTempDirectory = "/tmp";

// Positioned whole-buffer file access (offsets beyond 2 GB included). WriteAt answers true when
// every byte reached the file; ReadAt answers the bytes read and fills the
// rest of the buffer with zeros (a page never written reads as zeros). Tests can make writes fail
// with a filter that returns true for a write that must fail.
using WriteFailureFilter = bool (*)(std::size_t bytes);
void SetWriteFailureFilter(WriteFailureFilter filter);
bool WriteAt(std::FILE* file, std::uint64_t offset, const void* bytes, std::size_t length);
std::size_t ReadAt(std::FILE* file, std::uint64_t offset, void* bytes, std::size_t length);

// The same with pieces of memory that lie back to back in the file, from `offset` on: one system
// call (pwritev, preadv) when the kernel moves every byte at once. WriteAt answers as above;
// ReadAt answers the bytes read, or -1 when a call failed (an error, not the end of the file),
// and either way fills what was not read with zeros. Requires: 1 <= count <= kMaxIoPieces.
struct IoPiece {
    void* bytes;
    std::size_t length;
};
constexpr int kMaxIoPieces = 16;
bool WriteAt(std::FILE* file, std::uint64_t offset, const IoPiece* pieces, int count);
long ReadAt(std::FILE* file, std::uint64_t offset, const IoPiece* pieces, int count);

// A read-only view of a file's first `length` bytes, shared with it: what is written to the file
// is in the view at once, with no call. Its pages are the file's page cache: they count in the
// process's resident memory while they stay mapped. {nullptr, 0} when it cannot be had.
struct FileView {
    const char* bytes;
    std::uint64_t length;
};
FileView MapFile(std::FILE* file, std::uint64_t length);
void UnmapFile(const FileView& view);

// ReadAt served from the view, with no call, when the file is known to hold every byte asked
// for and the page after them (`fileBytes`: the length the caller wrote): otherwise, or when a
// page of them was cut off the file since, with the calls. The answers are ReadAt's. The fault
// filter below is asked once for a read from the view: a negative answer fails it, any other
// lets it move every byte (a view has no short transfers). A view read that a cut-off page
// stopped (SIGBUS) goes on with the calls: the first view installs the handler that catches it,
// and hands every other SIGBUS to the handler it found.
long ReadAt(std::FILE* file, const FileView& view, std::uint64_t fileBytes, std::uint64_t offset,
            const IoPiece* pieces, int count);

// Tests: asked before every positioned read or write system call with the bytes the call would
// move; answers how many it may move. All of them: the call runs as asked; fewer: it moves only
// those (a short transfer, which the functions above continue); a negative answer: it fails as
// with EIO. Null (the default) costs one predictable branch per call.
using IoFaultFilter = long (*)(bool write, std::size_t bytes);
void SetIoFaultFilter(IoFaultFilter filter);

// Creates (or truncates) a file for reading and writing, readable by its owner only: a swap file
// holds object bytes. Null with errno set when it cannot be opened.
std::FILE* CreatePrivateFile(const char* path);
// Closes a file that CreatePrivateFile opened; the file stays on disk.
void CloseFile(std::FILE* file);

// The value of an environment variable, or null when it is not set.
const char* EnvironmentValue(const char* name);

} // namespace qor::platform
