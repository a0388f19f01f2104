// What the general pool's tests share: pools owned by a case, made directly or through the public
// call, which reads the configuration (reclaim on or off) first.
#pragma once

#include "generalpool/GeneralPool.h"

#include <cstdlib>
#include <memory>
#include <string>

namespace qor::test {

// The pool's destructor is private: a destroying flush ends it.
using Pool = std::unique_ptr<GeneralPool, decltype([](GeneralPool* p) { p->Flush(1); })>;

inline Pool Make(std::uint32_t flags = 0, std::size_t bytes = 32768) {
    return Pool(CreateGeneralPool(bytes, flags, "test"));
}
inline Pool MakeConfigured(std::uint32_t flags, std::size_t bytes) {
    return Pool(static_cast<GeneralPool*>(QORSysCreatePool(static_cast<int>(flags), bytes, "t")));
}

// Whether this process runs with QORSysAllocatorReclaim=OFF (ctest entries of its own).
inline bool ReclaimOff() {
    const char* value = std::getenv("QORSysAllocatorReclaim");
    return value != nullptr && std::string(value) == "OFF";
}

inline std::uintptr_t Addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

} // namespace qor::test
