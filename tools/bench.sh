#!/usr/bin/env bash
# Runs every benchmark and rewrites docs/BENCHMARKS.md and its chart docs/benchmarks.svg:
# - the churn and thread workloads, once with the process's own malloc (glibc) and once with each
#   installed peer malloc preloaded, in interleaved rounds (round r runs every peer before round
#   r+1 starts), so that every ratio compares runs made at nearly the same time;
# - the growth workload, each window and route alone in a fresh process (its peak RSS is the
#   process's);
# - instructions per pair under callgrind (stable where wall time is not);
# - the swap file throughput against stdio.
# Usage: tools/bench.sh [build dir] [rounds] [min seconds per benchmark]
set -euo pipefail

cd "$(dirname "$0")/.."
# The peers (preloaded mallocs, boost::pool), Google Benchmark, valgrind, python3 and jq are installed
# here, not by the CI set-up.
missing=()
for package in libbenchmark-dev libjemalloc-dev libmimalloc-dev libgoogle-perftools-dev \
  libboost-dev valgrind python3 jq; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build=${1:-build-bench}
rounds=${2:-5}
min_time=${3:-0.1}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQOR_BUILD_TESTS=OFF \
  -DQOR_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target qor_allocator_benchmarks qor_swap_throughput >/dev/null
binary=$build/bench/qor_allocator_benchmarks
results=$build/bench-results
rm -rf "$results"
mkdir -p "$results"

libdir=/usr/lib/x86_64-linux-gnu
peers=(glibc)
declare -A preload=([glibc]="")
for candidate in jemalloc:libjemalloc.so.2 mimalloc:libmimalloc.so.2 tcmalloc:libtcmalloc_minimal.so.4; do
  name=${candidate%%:*}
  if [ -f "$libdir/${candidate#*:}" ]; then
    peers+=("$name")
    preload[$name]=$libdir/${candidate#*:}
  fi
done

# run <peer> <filter> <output json>
run() {
  LD_PRELOAD=${preload[$1]} "$binary" --benchmark_filter="$2" --benchmark_min_time="$min_time" \
    --benchmark_out="$3" --benchmark_out_format=json >/dev/null 2>"$results/last-run.log" ||
    { cat "$results/last-run.log" >&2; exit 1; }
}

start=$SECONDS
for round in $(seq 1 "$rounds"); do
  echo "round $round of $rounds ($((SECONDS - start)) s)" >&2
  run glibc '^(churn|threads)' "$results/main.glibc.$round.json"
  for peer in "${peers[@]:1}"; do
    run "$peer" '^(churn|threads)[^/]*/malloc(/|$)' "$results/main.$peer.$round.json"
  done
  for window in 1k 10k 100k 1m; do
    for peer in "${peers[@]}"; do
      run "$peer" "^growth-$window/malloc\$" "$results/growth.$window.malloc.$peer.$round.json"
    done
    for route in qor-arg4 qor-paged; do
      run glibc "^growth-$window/$route\$" "$results/growth.$window.$route.glibc.$round.json"
    done
  done
done

# Instructions per pair: callgrind counts the timed loops alone over a fixed number of pairs.
echo "instruction counts ($((SECONDS - start)) s)" >&2
iterations=100 # of 1000 pairs each
count() { # <peer> <benchmark name>
  local out=$results/callgrind.out
  LD_PRELOAD=${preload[$1]} valgrind --tool=callgrind --callgrind-out-file="$out" \
    --collect-atstart=no --toggle-collect='*TimedPairs*' "$binary" \
    --qor_iterations=$iterations --benchmark_filter="^$2(/iterations:.*)?\$" >/dev/null 2>&1
  local total
  total=$(callgrind_annotate "$out" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
  printf '%s\t%s\t%s\n' "$2" "$1" "$(awk -v t="$total" -v n=$((iterations * 1000)) \
    'BEGIN {printf "%.1f", t / n}')" >>"$results/instructions.tsv"
  rm -f "$out"
}
routes=$(jq -r '.benchmarks[].name' "$results/main.glibc.1.json" | grep '^churn' | sort -u)
for name in $routes; do
  count glibc "$name"
done
for peer in "${peers[@]:1}"; do
  for workload in churn-16 churn-24-fifo churn-mixed; do
    count "$peer" "$workload/malloc"
  done
done

echo "swap file ($((SECONDS - start)) s)" >&2
"$build/bench/qor_swap_throughput" "$rounds" 32 >"$results/swap.md"

python3 tools/bench_report.py "$results" docs/BENCHMARKS.md docs/benchmarks.svg
echo "docs/BENCHMARKS.md and docs/benchmarks.svg rewritten in $((SECONDS - start)) s" >&2
