#!/usr/bin/env bash
# The suite in the debug tier (QOR_DEBUG_FULL): every pool's checker after each of its operations,
# every swap file's after each public operation. Left out: the cases that damage a pool on purpose
# to see a later path meet the damage (the tier stops them at the damage itself: a tracked list
# shortened by hand before a merge, an overrun before checked mode names it), and two long churns
# (reclaim off; the fixed pools optimised) whose pools grow to thousands of pieces, each
# operation's check walking them all: 6 and 2 minutes here, against seconds for all the rest.
# And the tracer's programs of the machine under the override (a Python run checks the thread-safe
# pool after every one of its allocations: a minute; the override's own cases traced, where that
# pool holds every block, took more than 45) and the comparison of two traces, which
# names a leak by its source line: this tree is built without debug information, where every
# leak of the traced program is main's.
# Usage: tools/ci-debug-full.sh [build dir]   (default: build-debugfull, relative to the repository)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-debugfull}
jobs=${JOBS:-$(nproc)}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQOR_DEBUG_FULL=ON -DQOR_BUILD_EXAMPLES=OFF \
  -DQOR_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$jobs"
QOR_FUZZ_INPUTS=${QOR_FUZZ_INPUTS:-400} ctest --test-dir "$build" --output-on-failure \
  --no-tests=error -j "$jobs" \
  -E '^(GeneralPoolMergeMethod\.|Robustness\.Environment\.ForceOptMeth|Checked\.OverrunOfThePreviousBlockIsNamed$|GeneralPoolReclaim\.Off$|CxxRoutes\.NameTheFixedPoolsWhichThenOptimiseAndGiveMemoryBack$|ViewComparesTraces$|TracerUnderOverride\.|Traced(Every|Sampled)\.MallocOverride$|TracerInstalledCommands$)'
echo "ci-debug-full: the suite passes with every checker after every operation"
