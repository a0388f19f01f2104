#!/bin/sh
# Configures and builds bench/programs/cmake_project in <work dir> (emptied first) with the cmake,
# make and C compiler found on PATH, runs the program and checks the line it prints: tools/bench.sh
# runs this whole script with each malloc preloaded, so that every build tool runs on it.
# Usage: cmake_build.sh <work dir>
set -eu
project=$(dirname "$0")/cmake_project
work=${1:?usage: cmake_build.sh <work dir>}
expected="cmake_project: 10 words, longest 'allocation', squares to 100: 338350 (digit sum 22)"
rm -rf "$work"
cmake -S "$project" -B "$work" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work" >/dev/null
line=$("$work/probe")
if [ "$line" != "$expected" ]; then
  echo "cmake_build.sh: the program printed '$line', not '$expected'" >&2
  exit 1
fi
echo "$line"
