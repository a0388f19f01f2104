#!/usr/bin/env bash
# How close qor-replay comes to the program it recorded: the mixed churn is recorded once through
# pool argument 4, then, round after round, run on each route and replayed on the same route,
# each in a process of its own. Times are the routes' own: the program's less its loop with no
# allocator (route loop-only), the replay's less its own loop (its "loop seconds"). Peaks are the
# resident growth over the run. Prints the medians and the replay's ratio to the program.
# Usage: bench/replay_agreement.sh [bench build dir, default build-bench] [pairs, default 5e6]
#          [window, default 1000000] [rounds, default 5] [routes, default "qor-arg4 malloc
#          qor-tracked qor-paged"]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
pairs=${2:-5e6}
window=${3:-1000000}
rounds=${4:-5}
routes=${5:-qor-arg4 malloc qor-tracked qor-paged}
cmake --build "$build" -j2 --target qor_mixed_churn qor-replay QORSysTracer >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
churn() { "$build/bench/qor_mixed_churn" "$1" "$pairs" --window="$window"; }
field() { grep -o "\"$1\":[0-9.]*" | cut -d: -f2; }

# The table must hold every live block, or their releases would be missing from the recording.
QORSysAllocatorInstrum=QORSysTracer LD_LIBRARY_PATH="$build/tools/tracer" QORSysTracerRecord=1 \
  QORSysTracerStackDepth=0 QORSysTracerCapacity=$((window * 4)) QORSysTracerOutput="$work/" \
  "$build/bench/qor_mixed_churn" qor-arg4 "$pairs" --window="$window" >/dev/null 2>&1
events=$(ls "$work"/*.events)

for ((round = 0; round < rounds; ++round)); do
  loop=$(churn loop-only | field ns_per_pair)
  for route in $routes; do
    program=$(churn "$route")
    read -r _ seconds _ loopSeconds _ peak _ < <("$build/bin/qor-replay" --child="$route" "$events")
    echo "$route $(field ns_per_pair <<<"$program") $loop $(field rss_end <<<"$program")" \
      "$seconds $loopSeconds $peak"
  done
done | awk -v pairs="$pairs" '
  function median(list, n,   sorted, i, j, t) {
    for (i = 1; i <= n; ++i) sorted[i] = list[i]
    for (i = 2; i <= n; ++i)
      for (j = i; j > 1 && sorted[j - 1] > sorted[j]; --j) {
        t = sorted[j]; sorted[j] = sorted[j - 1]; sorted[j - 1] = t
      }
    return n % 2 ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2
  }
  {
    n = ++count[$1]; order[$1] = order[$1] ? order[$1] : ++routes; name[order[$1]] = $1
    programTime[$1, n] = ($2 - $3) * pairs / 1e9; programPeak[$1, n] = $4
    replayTime[$1, n] = $5 - $6; replayPeak[$1, n] = $7
  }
  END {
    printf "%-12s %14s %14s %7s %16s %16s %7s\n", "route", "program s", "replay s", "ratio",
           "program MiB", "replay MiB", "ratio"
    for (r = 1; r <= routes; ++r) {
      route = name[r]; n = count[route]
      for (i = 1; i <= n; ++i) {
        a[i] = programTime[route, i]; b[i] = replayTime[route, i]
        c[i] = programPeak[route, i]; d[i] = replayPeak[route, i]
      }
      pt = median(a, n); rt = median(b, n); pp = median(c, n) / 1048576; rp = median(d, n) / 1048576
      printf "%-12s %14.3f %14.3f %7.3f %16.2f %16.2f %7.3f\n", route, pt, rt, rt / pt, pp, rp,
             rp / pp
    }
  }'
