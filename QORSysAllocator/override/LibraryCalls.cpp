// The one way into the override's own copy of the library: a hook library that this copy loaded
// (QORSysMallocInstrum) samples the pools behind malloc, and those pools are known only to this
// copy, as are the engine's figures and the sampling it does for the hooks. The copy exports the C
// allocator's names alone (exports.map), so that a program linking libQORSysAllocator.so keeps that
// library's names; the read-only calls a sampler needs are handed out here by name instead.
#include "Override.h"
#include "QORSysAllocator.h"
#include "QORSysSwapFile.h"

#include <cstring>

namespace {

struct NamedCall {
    const char* name;
    void* address;
};

// The public declarations' signatures hold for each, and Override.h's for the override's own:
// the caller casts back to them.
const NamedCall kCalls[] = {
    {"SampleBytes", reinterpret_cast<void*>(&qor::override::SampleBytes)},
    {"ReadFigures", reinterpret_cast<void*>(&qor::override::ReadFigures)},
    {"QORSysGetPoolInfo", reinterpret_cast<void*>(&QORSysGetPoolInfo)},
    {"QORSysGetPoolMap", reinterpret_cast<void*>(&QORSysGetPoolMap)},
    {"QORSysGetSwapActivity", reinterpret_cast<void*>(&QORSysGetSwapActivity)},
};

} // namespace

// This copy's function of that public name, or null for a name not handed out. Allocates
// nothing, so a hook may call it while it holds its own lock.
extern "C" [[gnu::visibility("default")]] void* QORSysMallocFindCall(const char* name) noexcept {
    for (const NamedCall& call : kCalls)
        if (std::strcmp(call.name, name) == 0) return call.address;
    return nullptr;
}
