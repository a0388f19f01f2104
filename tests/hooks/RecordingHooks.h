// Shared by the test hook libraries (RecordingHooks.cpp) and the tests that read their log: one
// line per call, "<hook> <argument>...", each argument a signed word or, for text, the text.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <string>

namespace qor::testhooks {

constexpr int kDelta = 16; // every block's delta, with the libraries that export QORGetDelta

inline std::string Word(const char* text) { return text != nullptr ? text : "(null)"; }

template <typename T> std::string Word(T value) { return std::to_string(std::intptr_t(value)); }

template <typename... Args> std::string Call(const char* hook, Args... args) {
    return (std::string(hook) + ... + (' ' + Word(args))) + '\n';
}

// The log of the library loaded as `fileName`, or null; the front end keeps the library loaded.
inline std::string* LoadedHookLog(const char* fileName) {
    void* library = dlopen(fileName, RTLD_NOW | RTLD_NOLOAD);
    return library ? reinterpret_cast<std::string* (*)()>(dlsym(library, "QORTestHookLog"))()
                   : nullptr;
}

} // namespace qor::testhooks
