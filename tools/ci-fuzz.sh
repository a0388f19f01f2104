#!/usr/bin/env bash
# CI fuzzing: builds the three libFuzzer harnesses of tests/fuzz with clang and runs each for a
# bounded time on a scratch copy of its seed corpus (the repository's corpus stays as it is). A
# crash, a leak, a failed model check or a hang fails the run; the input that caused it is kept
# in the build directory. Installs nothing: clang and its fuzzing runtime (libclang-rt-14-dev)
# come from tools/install-deps.sh.
#   tools/ci-fuzz.sh [build directory, default build-fuzz]
#   QOR_FUZZ_SECONDS: the time of each run (default 15: the suite already replays each model's
#   corpus and 2,000 seeded inputs in every build, so these runs only search for new inputs). The
#   general pool's fuzzer runs twice, since its merge method is fixed once per process: chosen
#   chunk by chunk, then sort-merge. The swap file's fuzzer runs twice too: plain, then with short
#   and failing file I/O. The general and paged pools' fuzzers run once more in checked mode
#   (QORSysAllocatorChecks=ON), where they also make mistakes and expect the process to stop with
#   checked mode's message.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-fuzz}
seconds=${QOR_FUZZ_SECONDS:-15}

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DQOR_FUZZ=ON -DQOR_BUILD_TESTS=OFF \
  -DQOR_BUILD_EXAMPLES=OFF -DQOR_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target GeneralPoolFuzzer PagedPoolFuzzer SwapFileFuzzer

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
# fuzzer:merge method (QORSysAllocatorForceOptMeth; 0 chooses per chunk), fuzzer:io (faults) or
# fuzzer:checked (checked mode).
for run in GeneralPoolFuzzer:0 GeneralPoolFuzzer:1 PagedPoolFuzzer:0 SwapFileFuzzer:0 \
  SwapFileFuzzer:io GeneralPoolFuzzer:checked PagedPoolFuzzer:checked; do
  fuzzer=${run%:*} method=${run#*:} faults=0 checks=OFF
  [ "$method" != io ] || faults=1 method=0
  [ "$method" != checked ] || checks=ON method=0
  [ -d "$scratch/$fuzzer" ] || cp -r "tests/fuzz/corpus/$fuzzer" "$scratch/$fuzzer"
  log="$build/$fuzzer-${run#*:}.log"
  label=$fuzzer
  [ "$fuzzer" != GeneralPoolFuzzer ] || label+=", merge method $method"
  [ "$faults" = 0 ] || label+=", short and failing I/O"
  [ "$checks" = OFF ] || label+=", checked mode"
  echo "== $label: ${seconds}s"
  # -len_control=0: long inputs from the start, since states such as a full zone need many steps.
  if QORSysAllocatorChecks=$checks QORSysAllocatorForceOptMeth=$method QOR_FUZZ_IO_FAULTS=$faults \
    "$build/tests/fuzz/$fuzzer" \
    -max_total_time="$seconds" -len_control=0 -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$build/$fuzzer-" "$scratch/$fuzzer" >"$log" 2>&1; then
    grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units)' "$log" || true
  else
    tail -n 40 "$log"
    echo "$fuzzer FAILED: the input is in $build/$fuzzer-*, the log in $log"
    status=1
  fi
done
exit "$status"
