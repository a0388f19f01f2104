// Test-side access to a loaded test hook library (tests/hooks): its state, found in the library
// that the front end loaded, and the calls recorded since a mark.
#pragma once

#include "ConfigurationTestEnvironment.h"
#include "hooks/RecordingHooks.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace qor::testenv {

using testhooks::Call;
using testhooks::Event;
using testhooks::HookState;

// The state of the hook library loaded under `fileName`, or null when no such library is loaded.
// RTLD_NOLOAD only finds a library that the process has already loaded.
inline HookState* LoadedHookState(const std::string& fileName) {
    void* library = dlopen(fileName.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return nullptr;
    auto accessor =
        reinterpret_cast<testhooks::StateAccessor>(dlsym(library, testhooks::kStateAccessorName));
    // The front end holds its own references: the library stays loaded.
    dlclose(library);
    return accessor != nullptr ? accessor() : nullptr;
}

inline bool IsLoaded(const std::string& fileName) {
    void* library = dlopen(fileName.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (library != nullptr) dlclose(library);
    return library != nullptr;
}

inline std::uintptr_t W(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

inline std::uintptr_t W(std::uint64_t value) { return static_cast<std::uintptr_t>(value); }

inline std::uintptr_t W(int value) {
    return static_cast<std::uintptr_t>(static_cast<std::intptr_t>(value));
}

inline std::uintptr_t W(unsigned value) { return value; }

// The calls recorded after Mark().
class HookLog {
public:
    explicit HookLog(HookState* state) : state_(state) {}

    void Mark() { mark_ = state_->callCount; }

    std::vector<Call> Since() const {
        return std::vector<Call>(state_->calls + mark_, state_->calls + state_->callCount);
    }

    HookState& State() { return *state_; }

private:
    HookState* state_;
    std::size_t mark_ = 0;
};

inline const char* EventName(Event event) {
    constexpr const char* kNames[] = {"QORGetDelta",
                                      "QORSignalMalloc",
                                      "QORSignalFree",
                                      "QORSignalMallocFailure",
                                      "QORSignalInvalidPtr",
                                      "QORSignalPoolCreation",
                                      "QORSignalSubPoolCreation",
                                      "QORSignalPoolFlush",
                                      "QORSignalSubPoolFlushed"};
    return kNames[static_cast<int>(event)];
}

// A call with its leading arguments (std::nullopt: any value); `text` is compared when not null.
struct Expected {
    Event event;
    std::vector<std::optional<std::uintptr_t>> args;
    const char* text = nullptr;
};

inline ::testing::AssertionResult Matches(const Call& call, const Expected& expected) {
    auto failure = [&]() {
        return ::testing::AssertionFailure() << "recorded " << EventName(call.event)
                                             << ", expected " << EventName(expected.event) << ": ";
    };
    if (call.event != expected.event) return failure() << "another hook";
    for (std::size_t i = 0; i < expected.args.size(); ++i)
        if (expected.args[i] && call.args[i] != *expected.args[i])
            return failure() << "argument " << i << " is 0x" << std::hex << call.args[i]
                             << ", expected 0x" << *expected.args[i];
    if (expected.text != nullptr && std::string(call.text) != expected.text)
        return failure() << "text \"" << call.text << "\", expected \"" << expected.text << "\"";
    return ::testing::AssertionSuccess();
}

// The calls, in order, are exactly the expected ones.
inline ::testing::AssertionResult CallsAre(const std::vector<Call>& calls,
                                           std::initializer_list<Expected> expected) {
    if (calls.size() != expected.size()) {
        auto failure = ::testing::AssertionFailure()
                       << calls.size() << " calls recorded, " << expected.size() << " expected:";
        for (const Call& call : calls)
            failure << " " << EventName(call.event);
        return failure;
    }
    std::size_t i = 0;
    for (const Expected& e : expected) {
        ::testing::AssertionResult result = Matches(calls[i], e);
        if (!result)
            return ::testing::AssertionFailure() << "call " << i << ": " << result.message();
        ++i;
    }
    return ::testing::AssertionSuccess();
}

} // namespace qor::testenv
