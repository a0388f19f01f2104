#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's archive when any is missing.
set -euo pipefail

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
command -v make >/dev/null || missing+=(make)
# The docs' figures test (tools/doc_figures.py).
command -v python3 >/dev/null || missing+=(python3)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || missing+=(libgmock-dev)
command -v clang-format >/dev/null || missing+=(clang-format)
command -v clang-tidy >/dev/null || missing+=(clang-tidy)
# The consumer check of CI builds a program with the flags of the installed .pc file.
command -v pkg-config >/dev/null || missing+=(pkg-config)
# The tracer unwinds call sites with libunwind.
pkg-config --exists libunwind 2>/dev/null || missing+=(libunwind-dev)
# Fuzzing (libFuzzer comes with clang's runtime) and the memcheck run of CI.
command -v clang++ >/dev/null || missing+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  missing+=(libclang-rt-14-dev)
command -v valgrind >/dev/null || missing+=(valgrind)
# Programs that link an allocator of their own, run under the malloc override (tests/heap,
# tests/override): test programs linked with jemalloc and tcmalloc, and a database server.
[ -f /usr/include/jemalloc/jemalloc.h ] || missing+=(libjemalloc-dev)
[ -f /usr/include/gperftools/tcmalloc.h ] || missing+=(libgoogle-perftools-dev)
command -v redis-server >/dev/null || missing+=(redis-server)
# The report page's test (tests/view) renders it in headless Chromium.
command -v chromium >/dev/null || missing+=(chromium)

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
