#!/usr/bin/env bash
# Runs the allocator benchmarks once per peer malloc (the process's own, then each installed peer
# through LD_PRELOAD), 5 repetitions each, and prints a markdown table of the median ns per
# allocate+release pair with the ratio to glibc malloc measured in the same run.
# Usage: tools/bench.sh [build dir] [min time per repetition, seconds]
set -euo pipefail

cd "$(dirname "$0")/.."
# The peers (preloaded mallocs, boost::pool) and jq are installed here, not by the CI set-up.
missing=()
for package in libbenchmark-dev libjemalloc-dev libmimalloc-dev libgoogle-perftools-dev libboost-dev jq; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build=${1:-build-bench}
min_time=${2:-0.1}
binary=$build/bench/qor_allocator_benchmarks
if [ ! -x "$binary" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j "$(nproc)" --target qor_allocator_benchmarks
fi
command -v jq >/dev/null || { echo "jq is needed to read the results" >&2; exit 1; }

libdir=/usr/lib/x86_64-linux-gnu
peers=(glibc)
declare -A preload=([glibc]="")
for candidate in jemalloc:libjemalloc.so.2 mimalloc:libmimalloc.so.2 tcmalloc:libtcmalloc_minimal.so.4; do
  name=${candidate%%:*}
  library=$libdir/${candidate#*:}
  if [ -f "$library" ]; then
    peers+=("$name")
    preload[$name]=$library
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for peer in "${peers[@]}"; do
  echo "running with $peer malloc" >&2
  LD_PRELOAD=${preload[$peer]} "$binary" --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true --benchmark_min_time="$min_time" \
    --benchmark_out="$work/$peer.json" --benchmark_out_format=json >/dev/null
  # One line per benchmark: name <tab> median ns per pair.
  jq -r '.benchmarks[] | select(.aggregate_name == "median")
         | "\(.run_name)\t\(.ns_per_pair)"' "$work/$peer.json" |
    sed -e 's|/real_time||' -e 's|/threads:2||' >"$work/$peer.tsv"
done

# One row per workload and route of the plain run, the peers' malloc rows after glibc's; every
# ratio is to glibc's malloc on the same workload.
echo "| workload | route | median ns/pair | ratio to glibc malloc |"
echo "|---|---|---|---|"
cut -f1 "$work/glibc.tsv" | cut -d/ -f1 | awk '!seen[$0]++' | while read -r workload; do
  base=$(awk -F'\t' -v n="$workload/malloc" '$1 == n {print $2}' "$work/glibc.tsv")
  {
    awk -F'\t' -v w="$workload" 'index($1, w "/") == 1 {
        route = substr($1, length(w) + 2)
        print (route == "malloc" ? "malloc (glibc)" : route) "\t" $2
        if (route == "malloc") print "PEERS"
      }' "$work/glibc.tsv"
  } | while IFS=$'\t' read -r route ns; do
    if [ "$route" = PEERS ]; then
      for peer in "${peers[@]:1}"; do
        peer_ns=$(awk -F'\t' -v n="$workload/malloc" '$1 == n {print $2}' "$work/$peer.tsv")
        [ -n "$peer_ns" ] && printf '| %s | malloc (%s) | %.1f | %.2f |\n' "$workload" "$peer" \
          "$peer_ns" "$(awk -v a="$peer_ns" -v b="$base" 'BEGIN {print a / b}')"
      done
      continue
    fi
    printf '| %s | %s | %.1f | %.2f |\n' "$workload" "$route" "$ns" \
      "$(awk -v a="$ns" -v b="$base" 'BEGIN {print a / b}')"
  done
done
