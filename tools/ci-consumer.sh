#!/usr/bin/env bash
# The installed package as an application sees it: installs the build to a temporary prefix,
# checks what was installed, builds examples/ on its own against it (find_package) with the build
# tools running on the installed malloc override, installs and runs that demo (quick run), then
# builds and runs a one-file program with the flags pkg-config gives.
# Usage: tools/ci-consumer.sh [build dir]   (default: build, relative to the repository)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
jobs=${JOBS:-$(nproc)}
cxx=${CXX:-c++}

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() {
  echo "ci-consumer: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$prefix" >/dev/null
library=$(find "$prefix" -name 'libQORSysAllocator.so.0' | head -n 1)
[ -n "$library" ] || fail "no libQORSysAllocator.so.0 under $prefix"
libdir=$(dirname "$library")
for file in libQORSysAllocator.so libQORSysMalloc.so cmake/QORSysAllocator/QORSysAllocatorConfig.cmake \
            cmake/QORSysAllocator/QORSysAllocatorConfigVersion.cmake pkgconfig/QORSysAllocator.pc \
            pkgconfig/QORSysMalloc.pc; do
  [ -e "$libdir/$file" ] || fail "missing $libdir/$file"
done
for header in QORSysAllocator/include/*.h QORSysAllocator/include/*.hpp QORSysVersion.h; do
  [ -f "$prefix/include/$(basename "$header")" ] || fail "header $(basename "$header") not installed"
done
# The tracing hook library, when the build has it, is a plug-in under <libdir>/QORSysAllocator.
if [ -n "$(find "$build" -name QORSysTracer.so -print -quit)" ]; then
  [ -f "$libdir/QORSysAllocator/QORSysTracer.so" ] ||
    fail "QORSysTracer.so not installed in $libdir/QORSysAllocator"
fi
if readelf -d "$library" | grep -qE '\((RPATH|RUNPATH)\)'; then
  fail "the installed library keeps a run-time path: $(readelf -d "$library" | grep PATH)"
fi
# Only the library, its headers, its package files, plug-ins and the three trace commands: no other
# program, no test.
if [ -e "$prefix/bin" ]; then
  programs=$(ls "$prefix/bin" | tr '\n' ' ')
  [ "$programs" = "qor-replay qor-trace qor-view " ] || fail "programs were installed: $programs"
fi

# The demo as a consumer project, installed beside the library; cmake, the compiler and make run
# with their malloc served by the installed libQORSysMalloc.so.
export LD_PRELOAD=$libdir/libQORSysMalloc.so
cmake -S examples -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$work/consumer" -j "$jobs" >/dev/null
unset LD_PRELOAD
cmake --install "$work/consumer" >/dev/null
mkdir "$work/swap"
if ! QPL_UVT_TMP="$work/swap" "$prefix/bin/qor_demo" --quick --chart "$work/chart.svg" \
    >"$work/demo.log" 2>&1; then
  cat "$work/demo.log"
  fail "the installed demo failed"
fi
grep -q '^<svg' "$work/chart.svg" || fail "the installed demo wrote no chart"

# A one-file program built with pkg-config alone.
cat >"$work/hello.cpp" <<'END'
#include <QORSysAllocator.h>

#include <cstdio>
#include <cstring>

int main() {
    void* pool = QORSysCreatePool(QORSysPoolFlag::TRACKED_FREE_LIST, 64 * 1024, "hello");
    auto* text = static_cast<char*>(QORSpecializedNew(32, pool, nullptr, 0));
    std::strcpy(text, "hello from a private pool");
    std::puts(text);
    QORSpecializedDelete(text, nullptr);
    return QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY_IF_EMPTY) == 0 ? 0 : 1;
}
END
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046 # the flags are meant to split into words
"$cxx" -std=c++17 -Wall -Wextra -Werror "$work/hello.cpp" -o "$work/hello" \
  $(pkg-config --cflags --libs QORSysAllocator)
[ "$(LD_LIBRARY_PATH="$(pkg-config --variable=libdir QORSysAllocator)" "$work/hello")" = \
  "hello from a private pool" ] || fail "the pkg-config program failed"

echo "ci-consumer: installed package $(pkg-config --modversion QORSysAllocator): find_package" \
  "consumer built, installed demo and pkg-config program ran"
