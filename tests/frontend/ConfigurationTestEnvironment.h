// Environment checks and small probes shared by the configuration, hook and exit clean-up tests.
// Each of their cases runs in a process of its own whose environment is set by its ctest entry;
// a case first asserts that environment, so that an entry registered with the wrong variables
// fails instead of testing another row.
#pragma once

#include "frontend/PoolInterface.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace qor::testenv {

inline constexpr const char kPoolAllocator[] = "QORSysPoolAllocator";
inline constexpr const char kReplayPurify[] = "ReplayPurify";
inline constexpr const char kInstrumentation[] = "QORSysAllocatorInstrum";

// Asserts that `variable` is absent (expected null) or has exactly the expected value.
inline ::testing::AssertionResult VariableIs(const char* variable, const char* expected) {
    const char* actual = std::getenv(variable);
    if (expected == nullptr && actual == nullptr) return ::testing::AssertionSuccess();
    if (expected != nullptr && actual != nullptr && std::strcmp(expected, actual) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << variable << " is " << (actual ? "\"" + std::string(actual) + "\"" : "absent")
           << ", the ctest entry should make it "
           << (expected ? "\"" + std::string(expected) + "\"" : "absent");
}

inline ::testing::AssertionResult ReplayPurifyIs(bool present) {
    const bool actual = std::getenv(kReplayPurify) != nullptr;
    if (actual == present) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "ReplayPurify is " << (actual ? "set" : "absent")
           << ", the ctest entry should make it " << (present ? "set" : "absent");
}

// Sizes of the raw mallocs that the library requests while RecordMallocRequests is installed
// as the malloc failure filter (it never makes a request fail).
inline std::vector<std::size_t> gMallocRequests;

inline bool RecordMallocRequests(std::size_t bytes) {
    gMallocRequests.push_back(bytes);
    return false;
}

inline std::uintptr_t OwnerWordOf(void* block) { return HeaderOf(block)->ownerWord; }

inline void* Address(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

} // namespace qor::testenv
