#!/usr/bin/env bash
# ThreadSanitizer run: builds the thread stress tests (one shared pool; a pool per thread), the
# mutex test and the four binaries with
# concurrent cases (entry points, paged pool, per-thread caches, heap engine) with
# -fsanitize=thread and runs their threaded cases through ctest.
# Any race or lock-order report ends the process at once (halt_on_error) and fails the run.
# Usage: tools/ci-tsan.sh [build dir]   (default: build-tsan, relative to the repository)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-tsan}
jobs=${JOBS:-$(nproc)}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_TSAN=ON \
  -DQOR_SANITIZE=OFF -DQOR_BUILD_EXAMPLES=OFF -DQOR_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target QORStressTest QORMutexTest \
  QOREntryPointsTest QORPagedPoolTest QORThreadCacheTest QORHeapTest

# Only the cases that run threads (the lock stress among them): the other binaries are not built, and their single-threaded
# cases (death tests among them) gain nothing from the race detector.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" \
  -R '^(Pools/ThreadStress|QORMutex|Threads/QORMutexStress|EntryPointsConcurrency|Kinds/PoolPerThread|SwapFilePerThread|Cached/ThreadCache(Traffic|Exit|Flush)|ThreadCacheStart|HeapThreads)\.'
