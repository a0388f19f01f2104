// The library calls that sampling makes, taken from the copy of the library whose hooks call the
// tracer: the malloc override's own copy when the override loaded the tracer
// (QORSysMallocInstrum; that copy exports none of the library's names, so its calls are found by
// QORSysMallocFindCall), else the library the process loaded in its global scope.
// Invariant: set once by FindLibraryCalls before the first sample; each call may be null.
#pragma once

#include "QORSysAllocator.h"
#include "QORSysSwapFile.h"
#include "override/Override.h"

#include <cstddef>
#include <cstdio>

namespace qor::tracer {

struct LibraryCalls {
    void (*getPoolInfo)(void* pool, FILE* stream, QORPoolInfo* record, int options);
    long (*getPoolMap)(void* pool, QORPoolMapEntry* entries, std::size_t capacity);
    long (*getSwapActivity)(QORSysSwapActivity* out, std::size_t capacity);
    // The malloc override's only (null otherwise): the bytes between two requests the hooks see
    // (0: they see all), and the heap engine's figures, which serves the requests they do not.
    std::uint32_t (*sampleBytes)();
    override::Figures (*engineFigures)();
};

extern LibraryCalls gCalls;

// Requires: gState.lock held (called by Start). Allocates nothing.
void FindLibraryCalls();

} // namespace qor::tracer
