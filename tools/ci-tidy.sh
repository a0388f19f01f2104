#!/usr/bin/env bash
# Runs clang-tidy with the repository's .clang-tidy over the library's and the mutex's sources,
# using the compile commands of a build directory of its own (a Debug one: clang does not take
# the link-time optimisation flags of the other builds). Any finding fails.
# Usage: tools/ci-tidy.sh [build dir]   (default: build-tidy, relative to the repository)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-tidy}
jobs=${JOBS:-$(nproc)}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DQOR_BUILD_TESTS=OFF -DQOR_BUILD_EXAMPLES=OFF >/dev/null
# The version header is generated at build time; configuring alone does not write it.
cmake --build "$build" -j "$jobs" >/dev/null
find QORSysAllocator QORSysMultiThreading -name '*.cpp' -print0 | sort -z |
  xargs -0 -P "$jobs" -n 4 clang-tidy -p "$build" --quiet
echo "ci-tidy: no findings"
