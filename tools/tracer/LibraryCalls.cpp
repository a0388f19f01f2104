// Which copy of the library the sampler asks.
#include "LibraryCalls.h"

#include <cstdlib>

// Resolved when the tracer is loaded, against the process's global scope (the program's
// dependencies and preloaded objects); null when absent. Weak references rather than dlsym,
// which may allocate, and so call the hooks again under the tracer's lock.
[[gnu::weak]] void QORSysGetPoolInfo(void* pool, FILE* stream, QORPoolInfo* record, int options);
extern "C" [[gnu::weak]] long QORSysGetPoolMap(void* pool, QORPoolMapEntry* entries,
                                               std::size_t capacity);
extern "C" [[gnu::weak]] long QORSysGetSwapActivity(QORSysSwapActivity* out, std::size_t capacity);
extern "C" [[gnu::weak]] void* QORSysMallocFindCall(const char* name) noexcept;

namespace qor::tracer {

constinit LibraryCalls gCalls{};

namespace {

template <typename Fn> void FindInOverride(Fn& call, const char* name) {
    call = reinterpret_cast<Fn>(QORSysMallocFindCall(name));
}

} // namespace

void FindLibraryCalls() {
    // When both variables name the tracer, both copies call it; the override's serves malloc,
    // which is most of what a process allocates.
    if (QORSysMallocFindCall != nullptr && std::getenv("QORSysMallocInstrum") != nullptr) {
        FindInOverride(gCalls.getPoolInfo, "QORSysGetPoolInfo");
        FindInOverride(gCalls.getPoolMap, "QORSysGetPoolMap");
        FindInOverride(gCalls.getSwapActivity, "QORSysGetSwapActivity");
        FindInOverride(gCalls.sampleBytes, "SampleBytes");
        FindInOverride(gCalls.engineFigures, "ReadFigures");
        return;
    }
    gCalls = {QORSysGetPoolInfo, QORSysGetPoolMap, QORSysGetSwapActivity, nullptr, nullptr};
}

} // namespace qor::tracer
