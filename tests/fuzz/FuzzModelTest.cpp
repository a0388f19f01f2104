// The fuzzers' models in every build (the harnesses build with clang only): each replays its
// fuzzer's corpus, then a seeded stream of random inputs. A failed check aborts the case, naming
// the input it ran.
#include "FuzzInput.h"
#include "Models.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

class FuzzModelTest : public testing::TestWithParam<const FuzzModel*> {
protected:
    void SetUp() override { GetParam()->prepare(); }
    void Run(const std::string& name, const std::vector<std::uint8_t>& input) {
        gFuzzInputName = name.c_str();
        GetParam()->run(input.data(), input.size());
        gFuzzInputName = nullptr;
    }
};
INSTANTIATE_TEST_SUITE_P(, FuzzModelTest,
                         testing::Values(&kGeneralPoolModel, &kPagedPoolModel, &kSwapFileModel,
                                         &kHeapModel),
                         [](const auto& info) { return std::string(info.param->name); });

TEST_P(FuzzModelTest, ReplaysTheCorpus) {
    std::vector<std::filesystem::path> inputs;
    const std::string name = GetParam()->name;
    for (const auto& entry :
         std::filesystem::directory_iterator(QOR_FUZZ_CORPUS "/" + name + "Fuzzer"))
        inputs.push_back(entry.path());
    std::ranges::sort(inputs);
    ASSERT_FALSE(inputs.empty());
    for (const auto& path : inputs) {
        std::ifstream file(path, std::ios::binary);
        Run(path.string(), {std::istreambuf_iterator<char>(file), {}});
    }
}

// Lengths up to 4 KiB, libFuzzer's bound for these corpora; QOR_FUZZ_SEED picks another stream,
// QOR_FUZZ_INPUTS another count (2000 unless set: the instrumented builds replay fewer, their
// sanitizers seeing the same models in the fuzzers' own coverage-guided runs).
TEST_P(FuzzModelTest, KeepsItsChecksOnSeededRandomInputs) {
    const char* seed = std::getenv("QOR_FUZZ_SEED");
    const char* count = std::getenv("QOR_FUZZ_INPUTS");
    std::mt19937 random(seed ? std::stoul(seed) : 1);
    const int inputs = count ? std::stoi(count) : 2000;
    for (int i = 0; i < inputs; ++i) {
        std::vector<std::uint8_t> input(random() % 4096);
        std::ranges::generate(input, [&] { return std::uint8_t(random()); });
        Run("random input " + std::to_string(i), input);
    }
}

} // namespace
