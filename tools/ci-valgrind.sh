#!/usr/bin/env bash
# Valgrind memcheck over the demo and the entry-point tests (one process per case, as ctest runs
# them): any memory error, or any definitely lost block, fails the run. Indirect, possible and
# still-reachable blocks are not errors: the fixed pools and the registry live until exit.
# Usage: tools/ci-valgrind.sh [build dir]   (default: build, relative to the repository; it must
# be built without sanitizers, which valgrind cannot run)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
jobs=${JOBS:-$(nproc)}

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" >/dev/null
if grep -q '^QOR_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "ci-valgrind: $build is a sanitizer build; valgrind needs a plain one" >&2
  exit 2
fi
cmake --build "$build" -j "$jobs" --target qor_demo QOREntryPointsTest >/dev/null

build=$(cd "$build" && pwd)

log=$(mktemp)
suppressions=$(mktemp)
# The demo's swap file stays on disk after it ends: it goes to a directory of this run.
QPL_UVT_TMP=$(mktemp -d)
export QPL_UVT_TMP
trap 'rm -rf "$log" "$suppressions" "$QPL_UVT_TMP"' EXIT

# A swap record is an object's block as it is, padding and bytes its class never sets included;
# a page's bytes after its last record are zeroed before it is written. So the bytes the swap
# file writes may be undefined only where the application's object is: not an error of the
# library. pwritev names the piece (up to 16) that holds them, and the name takes no wildcard.
: >"$suppressions"
for piece in $(seq 0 15); do
  cat >>"$suppressions" <<END
{
   swap-records-hold-their-objects-bytes-as-they-are-$piece
   Memcheck:Param
   pwritev(vector[$piece])
   fun:pwritev*
   ...
   fun:_ZN3qor8platform*Transfer*
}
END
done

memcheck=(valgrind --tool=memcheck --error-exitcode=1 --leak-check=full
          --show-leak-kinds=definite --errors-for-leak-kinds=definite --track-origins=yes
          --suppressions="$suppressions" -q)

# Runs one program under memcheck; shows its output only when memcheck or the program fails.
check() {
  if ! "${memcheck[@]}" "$@" >"$log" 2>&1; then
    cat "$log"
    echo "ci-valgrind: failed: $*" >&2
    exit 1
  fi
}

# The demo's quick run: its full run takes minutes under memcheck.
check "$build/examples/qor_demo" --quick
tests="$build/tests/frontend/QOREntryPointsTest"
cases=$("$tests" --gtest_list_tests | awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }')
for case in $cases; do
  check "$tests" --gtest_filter="$case"
done
echo "ci-valgrind: the demo and $(wc -w <<<"$cases") test cases: no memory errors, no definite leaks"

# The memcheck build (QOR_VALGRIND: pool blocks announced through client requests), in a directory
# of its own beside the plain build: the demo stays clean there too, and the four mistakes of
# tests/checked/MemcheckMistakes.cpp are exactly four errors.
memcheckBuild=$build-memcheck
cmake -S . -B "$memcheckBuild" -DQOR_VALGRIND=ON -DQOR_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$memcheckBuild" -j "$jobs" --target qor_demo QORMemcheckMistakes >/dev/null
check "$memcheckBuild/examples/qor_demo" --quick
valgrind --tool=memcheck "$memcheckBuild/tests/checked/QORMemcheckMistakes" >"$log" 2>&1 || true
grep -q "ERROR SUMMARY: 4 errors from 4 contexts" "$log" || {
  cat "$log"
  echo "ci-valgrind: memcheck did not report the four pool mistakes, exactly" >&2
  exit 1
}
echo "ci-valgrind: memcheck build: the demo clean, the four pool mistakes reported"
