// The fuzzers' models, one per subsystem: each decodes an input into operations on the library and
// checks it against what the operations must have done. The libFuzzer harnesses (FuzzerMain.cpp)
// and FuzzModelTest.cpp (every build: the corpora and seeded inputs) run the same models.
#pragma once

#include <cstddef>
#include <cstdint>

struct FuzzModel {
    const char* name;  // its corpus: tests/fuzz/corpus/<name>Fuzzer
    void (*prepare)(); // once per process, before the first input
    void (*run)(const std::uint8_t* data, std::size_t bytes); // a failed check aborts
};
extern const FuzzModel kGeneralPoolModel, kPagedPoolModel, kSwapFileModel, kHeapModel;
