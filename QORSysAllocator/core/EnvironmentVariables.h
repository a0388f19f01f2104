// Every environment variable the library reads, in one table: name, values, effect. Code reads a
// variable only through ReadVariable, so the table cannot miss one; docs/CONFIGURATION.md and the
// README are checked against it by the test suite. An on/off switch also takes on/off, 1/0,
// true/false and yes/no in any case; any other value is reported once and counts as unset.
#pragma once

#include "../platform/Platform.h"

namespace qor {

struct EnvironmentVariable {
    const char* name;
    const char* values;
    const char* effect;
};

enum class Variable {
    PoolAllocator,
    ReplayPurify,
    Instrumentation,
    ForceMergeMethod,
    Reclaim,
    Checks,
    ThreadCache,
    MallocInstrumentation,
    SwapChargesGivenBack,
    SwapObjectReload,
    SwapMappedReads,
    SwapDirectory1,
    SwapDirectory2,
    SwapDirectory3,
    HeapEngine,
    HeapPurgeDelay,
    MallocInstrumentationSample,
};

inline constexpr EnvironmentVariable kEnvironmentVariables[] = {
    {"QORSysPoolAllocator", "ON, OFF or CANCELED",
     "forces pooling on, off, or off with bare malloc and free"},
    {"ReplayPurify", "any (only presence counts)",
     "registers the exit clean-up; unless pooling is forced, also turns pooling off and cancels "
     "headers"},
    {"QORSysAllocatorInstrum", "base name of the hook library (63 characters at most)",
     "loads <name>.dll and calls its hooks on every allocation, release and pool event"},
    {"QORSysAllocatorForceOptMeth", "0, 1 or 2",
     "merge method of QORSysOptimizePool: automatic, sort-merge, address walk"},
    {"QORSysAllocatorReclaim", "ON or OFF (unset: ON)",
     "OFF: a general pool grows as soon as no listed area fits, without merging its free areas "
     "first, and keeps every page of its chunks resident (reclaim gives the whole pages inside "
     "the areas it merges back to the system)"},
    {"QORSysAllocatorChecks", "ON or OFF (unset: OFF)",
     "ON: every release and every call that names a pool proves what it names first, and a "
     "mistake stops the process with a message (docs/checked-mode.md)"},
    {"QORSysAllocatorThreadCache", "ON or OFF (unset: ON)",
     "OFF: the thread-safe pool and the pools created with the lock flag serve every request "
     "under their lock, with no per-thread cache in front (docs/thread-safety.md)"},
    {"QORSysMallocInstrum", "base name of the hook library (63 characters at most)",
     "libQORSysMalloc.so loads <name>.dll and calls its hooks on every malloc and free of the "
     "process; its copy of the library reads this instead of QORSysAllocatorInstrum and ignores "
     "QORSysPoolAllocator and ReplayPurify, which are the program's own (docs/malloc-override.md)"},
    {"QORSysSwapFileGiveBack", "ON or OFF (unset: OFF)",
     "ON: a swap file initialised from then on gives an object's charge against its capacity "
     "back when the object is destroyed, so that only the objects alive count "
     "(QORSysSwapFile::GiveBackCharges; the C++ layer's SwapFile does so by default)"},
    {"QORSysSwapFileObjectReload", "ON or OFF (unset: OFF)",
     "ON: a swap file initialised from then on brings an object back from disk alone, leaving "
     "the other objects of its page on disk until they are asked for "
     "(QORSysSwapFile::ReloadObjectsAlone; docs/swap-file.md says when it pays)"},
    {"QORSysSwapFileMappedReads", "ON or OFF (unset: OFF)",
     "ON: a swap file initialised from then on reads its records through a read-only mapping of "
     "the file, without a system call per read; the file's pages then count in the process's "
     "resident memory (docs/swap-file.md)"},
    {"QPL_UVT_TMP", "directory", "swap files go there; first choice"},
    {"QORSwapFileDir", "directory", "second choice"},
    {"QORTemp", "directory",
     "third choice; with none of the three set, `/tmp`. A variable set to an empty value counts "
     "as set"},
    {"QORSysHeapEngine", "ON or OFF (unset: ON)",
     "OFF: the malloc override, the routed global new/delete, the adapters' default and "
     "QORSysCachedNew on pool 32 are served as before the heap engine: pool 32 through the "
     "per-thread caches, the override's small requests from a paged pool and its large ones from "
     "the C runtime (docs/heap-engine.md)"},
    {"QORSysHeapPurgeDelay", "milliseconds, 0 to 60000 (unset: 10)",
     "how long a free slice of the heap engine stays resident for the next page before it is "
     "given back to the system; a heap that holds more than 8 MiB of such slices gives them back "
     "at once"},
    {"QORSysMallocInstrumSample", "bytes, 0 to 4294967295 (unset: 0)",
     "with QORSysMallocInstrum: the hook library sees about one malloc request in this many bytes "
     "asked for, drawn at random, and the heap engine serves the others unseen (a tracer's call "
     "sites then estimate the whole from the requests seen); 0: it sees every request, and the "
     "thread-safe pool serves them all (docs/malloc-override.md)"},
};

inline constexpr const char* NameOf(Variable variable) {
    return kEnvironmentVariables[static_cast<int>(variable)].name;
}

// The variable's value, or null when it is not set.
inline const char* ReadVariable(Variable variable) {
    return platform::EnvironmentValue(NameOf(variable));
}

} // namespace qor
