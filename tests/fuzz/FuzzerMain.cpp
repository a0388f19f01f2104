// A libFuzzer harness over one model of Models.h, named by QOR_FUZZ_MODEL (CMakeLists.txt).
#include "Models.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return QOR_FUZZ_MODEL.prepare(), 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t bytes) {
    return QOR_FUZZ_MODEL.run(data, bytes), 0;
}
