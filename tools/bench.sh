#!/usr/bin/env bash
# Runs every benchmark and rewrites docs/BENCHMARKS.md, its chart docs/benchmarks.svg, its figures
# docs/benchmarks.json and the figures the other docs quote from it (tools/doc_figures.py):
# - the churn and thread workloads (threads-2 to threads-16, producer-consumer), once with the process's own malloc (glibc) and once with each
#   installed peer malloc preloaded, in interleaved rounds (round r runs every peer before round
#   r+1 starts), so that every ratio compares runs made at nearly the same time;
# - the long mixed churn (qor_mixed_churn: 3e7 pairs over 10,000 live blocks, each route and peer
#   alone in a fresh process, peak RSS after 3e6 and 3e7 pairs), in the same rounds;
# - the interpreter replay (qor_interpreter_replay: 4e6 operations of headers, strings and tables
#   in 16 build-and-drop phases), each route and peer alone in a fresh process, in the same rounds;
# - the growth workload, each window and route alone in a fresh process (its peak RSS is the
#   process's);
# - the peak workload (10^6 live blocks, then 5e6 pairs), once: its figure is memory, and the same
#   draws give the same memory in every round;
# - the whole programs, each in a fresh process per round: the server-style churn at 2 and 4
#   threads (qor_server_style) and the map program at 4 threads (qor_map_program), their plain
#   builds with glibc and each peer, their routed builds (every global new and delete to the
#   thread-safe pool) once;
# - unchanged programs under the override, each a process tree of its own per round with glibc,
#   each peer and libQORSysMalloc.so (qor-override) preloaded: python3 on
#   bench/programs/alloc_heavy.py, the plain C programs qor_realloc_mixed, qor_threads_cross,
#   qor_table_resize and qor_spike (its output: the resident set at its peak, after the release
#   and while idle), and cmake configuring and building bench/programs/cmake_project (wall time,
#   peak RSS, exit status and output of each, through GNU time);
# - instructions per pair under callgrind (stable where wall time is not), and the library's routes
#   again in checked mode (QORSysAllocatorChecks=ON);
# - the swap file throughput against stdio, and the out-of-core visits (qor_out_of_core) through
#   a swap file against the same visits on heap objects, each mode in a process of its own; then
#   the same visits replayed under models of swap policies (qor_swap_policy_sim).
# A long churn or peak run stops after CHURN_SECONDS (default 10) of pairs, and a callgrind count
# after COUNT_SECONDS (default 20), so that a route that is pathologically slow shows as such (the
# report says where it stopped) without holding up the whole run; a route whose long churn stopped
# so in round 1 (slower than 330 ns per pair) is not run again in the later rounds.
# Usage: tools/bench.sh [build dir] [rounds] [min seconds per benchmark] [report dir, default docs]
set -euo pipefail

cd "$(dirname "$0")/.."
# The peers (preloaded mallocs, boost::pool), Google Benchmark, valgrind, python3 and jq are installed
# here, not by the CI set-up.
missing=()
for package in libbenchmark-dev libjemalloc-dev libmimalloc-dev libgoogle-perftools-dev \
  libboost-dev valgrind python3 jq time; do
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
report_dir=${4:-docs}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQOR_BUILD_TESTS=OFF \
  -DQOR_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target qor_allocator_benchmarks qor_swap_throughput \
  qor_mixed_churn qor_interpreter_replay qor_out_of_core qor_swap_policy_sim qor_server_style qor_server_style_routed \
  qor_map_program qor_map_program_routed qor_realloc_mixed qor_threads_cross qor_table_resize \
  qor_spike QORSysMalloc >/dev/null
binary=$build/bench/qor_allocator_benchmarks
churn=$build/bench/qor_mixed_churn
replay=$build/bench/qor_interpreter_replay
churn_seconds=${CHURN_SECONDS:-10}
count_seconds=${COUNT_SECONDS:-20}
qor_routes=(qor-arg4 qor-arg32 qor-cached32 qor-plain qor-tracked qor-paged)
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

# The override is preloaded as the peers are, for the unchanged programs only.
preload[qor-override]=$build/QORSysAllocator/libQORSysMalloc.so
# The interpreter itself, not a launcher script (pyenv's shims) that would run under the preload.
python=$(python3 -c 'import sys; print(sys.executable)')
"$python" --version >"$results/python-version.txt"

# run <peer> <filter> <output json>
run() {
  LD_PRELOAD=${preload[$1]} "$binary" --benchmark_filter="$2" --benchmark_min_time="$min_time" \
    --benchmark_out="$3" --benchmark_out_format=json >/dev/null 2>"$results/last-run.log" ||
    { cat "$results/last-run.log" >&2; exit 1; }
}

# solo <peer> <output> <command> [arguments]: one process, its JSON line to <output>.
solo() {
  LD_PRELOAD=${preload[$1]} "${@:3}" >"$2" 2>"$results/last-run.log" ||
    { cat "$results/last-run.log" >&2; exit 1; }
}

# churn_run <peer> <route> <output json> <pairs> [options]: one qor_mixed_churn process.
churn_run() {
  solo "$1" "$3" "$churn" "$2" "$4" --seconds="$churn_seconds" "${@:5}"
}

# programs <peer> <build: malloc or routed> <round>: the whole programs, 2e7 operations in all at
# either thread count, and 150 maps of 10,000 entries per thread (about 2e7 allocations).
programs() {
  local suffix=""
  [ "$2" = malloc ] || suffix=_$2
  for threads in 2 4; do
    solo "$1" "$results/server.$threads.$2.$1.$3.json" "$build/bench/qor_server_style$suffix" \
      "$threads" $((20000000 / threads))
  done
  solo "$1" "$results/map.4.$2.$1.$3.json" "$build/bench/qor_map_program$suffix" 4 150
}

# unchanged <route> <program> <round> <command> [arguments]: one process tree with the route's
# malloc preloaded (GNU time and env stay outside it); its output to
# unchanged.<program>.<route>.<round>.out, and its wall time, peak RSS (the largest process's) and
# exit status as a JSON line beside it. A run that fails is recorded, not fatal: the report says so.
unchanged() {
  local out=$results/unchanged.$2.$1.$3 status=0 seconds kb
  /usr/bin/time -q -o "$out.time" -f '%e %M' env LD_PRELOAD="${preload[$1]}" "${@:4}" \
    >"$out.out" 2>"$out.err" || status=$?
  read -r seconds kb < <(tail -n 1 "$out.time")
  printf '{"seconds":%s,"peak_rss":%d,"exit":%d}\n' "$seconds" $((kb * 1024)) "$status" >"$out.json"
  rm -f "$out.time"
}

# unchanged_programs <route> <round>: python3 on a script of dicts, strings and lists; realloc-grown
# buffers among mixed sizes; 4 threads releasing each other's blocks; a table doubled by realloc
# from 16 B to 1 MiB, 1e6 reallocs in all; 4e6 small blocks released at once, then idle; a cmake
# configure and build.
unchanged_programs() {
  unchanged "$1" python "$2" "$python" bench/programs/alloc_heavy.py
  unchanged "$1" realloc-mixed "$2" "$build/bench/programs/qor_realloc_mixed"
  unchanged "$1" threads-cross "$2" "$build/bench/programs/qor_threads_cross"
  unchanged "$1" table-resize "$2" "$build/bench/programs/qor_table_resize"
  unchanged "$1" spike "$2" "$build/bench/programs/qor_spike"
  unchanged "$1" cmake-build "$2" sh bench/programs/cmake_build.sh "$results/cmake-project"
}

start=$SECONDS
for round in $(seq 1 "$rounds"); do
  echo "round $round of $rounds ($((SECONDS - start)) s)" >&2
  for peer in "${peers[@]}"; do
    churn_run "$peer" malloc "$results/long.malloc.$peer.$round.json" 3e7
  done
  for route in "${qor_routes[@]}"; do
    if [ "$round" -eq 1 ] || [ "$(jq -r .complete "$results/long.$route.glibc.1.json")" = true ]; then
      churn_run glibc "$route" "$results/long.$route.glibc.$round.json" 3e7
    fi
  done
  for peer in "${peers[@]}"; do
    solo "$peer" "$results/interp.malloc.$peer.$round.json" "$replay" malloc 4e6
  done
  for route in qor-arg4 qor-paged qor-plain qor-tracked; do
    solo glibc "$results/interp.$route.glibc.$round.json" "$replay" "$route" 4e6
  done
  if [ "$round" -eq 1 ]; then
    for peer in "${peers[@]}"; do
      churn_run "$peer" malloc "$results/peak.malloc.$peer.json" 5e6 --window=1e6
    done
    for route in "${qor_routes[@]}"; do
      churn_run glibc "$route" "$results/peak.$route.glibc.json" 5e6 --window=1e6
    done
  fi
  for peer in "${peers[@]}"; do
    programs "$peer" malloc "$round"
  done
  programs glibc routed "$round"
  for route in "${peers[@]}" qor-override; do
    unchanged_programs "$route" "$round"
  done
  run glibc '^(churn|threads|producer)' "$results/main.glibc.$round.json"
  for peer in "${peers[@]:1}"; do
    run "$peer" '^(churn|threads|producer)[^/]*/malloc(/|$)' "$results/main.$peer.$round.json"
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
count() { # <peer> <benchmark name> [file of results, default instructions.tsv]
  local out=$results/callgrind.out
  LD_PRELOAD=${preload[$1]} valgrind --tool=callgrind --callgrind-out-file="$out" \
    --collect-atstart=no --toggle-collect='*TimedPairs*' "$binary" \
    --qor_iterations=$iterations --benchmark_filter="^$2(/iterations:.*)?\$" >/dev/null 2>&1
  local total
  total=$(callgrind_annotate "$out" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
  printf '%s\t%s\t%s\n' "$2" "$1" "$(awk -v t="$total" -v n=$((iterations * 1000)) \
    'BEGIN {printf "%.1f", t / n}')" >>"$results/${3:-instructions.tsv}"
  rm -f "$out"
}
routes=$(jq -r '.benchmarks[].name' "$results/main.glibc.1.json" | grep '^churn' | sort -u)
for name in $routes; do
  count glibc "$name"
done
# Checked mode's cost: the library's routes again, with every release proved.
for name in $(grep '/qor-' <<<"$routes"); do
  QORSysAllocatorChecks=ON count glibc "$name" checked-instructions.tsv
done
for peer in "${peers[@]:1}"; do
  for workload in churn-16 churn-24-fifo; do
    count "$peer" "$workload/malloc"
  done
done

# The long churn's loop over 3e6 pairs after the fill (fewer when a route outruns COUNT_SECONDS:
# the count divides by the pairs done); also the loop's own instructions (the draw, bookkeeping
# and store), which every route's figure includes. awk reads to the end: leaving early would
# stop callgrind_annotate with SIGPIPE, which pipefail makes fatal.
count_churn() { # <peer> <route>
  local out=$results/callgrind.out json=$results/count.json
  LD_PRELOAD=${preload[$1]} valgrind --tool=callgrind --callgrind-out-file="$out" \
    --collect-atstart=no --toggle-collect='*TimedPairs*' "$churn" "$2" 3e6 \
    --seconds="$count_seconds" >"$json" 2>/dev/null
  local total own pairs
  total=$(callgrind_annotate "$out" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
  own=$(callgrind_annotate --inclusive=no --threshold=100 "$out" 2>/dev/null |
    awk '/TimedPairs/ && !seen {gsub(",", "", $1); print $1; seen = 1}')
  pairs=$(jq -r .pairs_done "$json")
  printf '%s\t%s\t%s\t%s\t%s\n' "$2" "$1" "$(awk -v t="$total" -v n="$pairs" \
    'BEGIN {printf "%.1f", t / n}')" "$(awk -v t="$own" -v n="$pairs" \
    'BEGIN {printf "%.1f", t / n}')" "$pairs" >>"$results/churn-instructions.tsv"
  rm -f "$out" "$json"
}
for peer in "${peers[@]}"; do
  count_churn "$peer" malloc
done
for route in "${qor_routes[@]}"; do
  count_churn glibc "$route"
done

echo "swap file ($((SECONDS - start)) s)" >&2
"$build/bench/qor_swap_throughput" "$rounds" 32 >"$results/swap.md"
echo "out-of-core ($((SECONDS - start)) s)" >&2
for mode in swap swap-alone memory; do
  "$build/bench/qor_out_of_core" "$mode"
done >"$results/out_of_core.jsonl"
"$build/bench/qor_swap_policy_sim" >"$results/swap_policy.md"

mkdir -p "$report_dir"
python3 tools/bench_report.py "$results" "$report_dir/BENCHMARKS.md" "$report_dir/benchmarks.svg"
echo "$report_dir/BENCHMARKS.md, benchmarks.svg, benchmarks.json and the docs' figures rewritten" \
  "in $((SECONDS - start)) s" >&2
