#!/usr/bin/env bash
# The report page of a long trace: 10^7 allocations of the mixed churn through the fast pools
# (pool argument 4, up to 17 pools), traced with the default sampling and call sites, then turned
# into a page. Prints the tracing times with sampling on and off (the same run otherwise), the
# page's size, the time the page's own script took to draw it, and the whole headless Chromium
# run that loaded it (browser start included).
# Usage: bench/trace_page.sh [bench build dir, default build-bench] [allocations, default 1e7]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
pairs=${2:-1e7}
cmake --build "$build" -j2 --target qor_mixed_churn QORSysTracer >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QORSysAllocatorInstrum=QORSysTracer LD_LIBRARY_PATH="$build/tools/tracer"

traced() { # <output prefix> <sampling> <stack depth>
  local start end
  start=$(date +%s.%N)
  QORSysTracerOutput="$1" QORSysTracerSample="$2" QORSysTracerStackDepth="$3" \
    "$build/bench/qor_mixed_churn" qor-arg4 "$pairs" >/dev/null 2>&1
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}
for depth in 0 4; do
  off=$(traced "$work/off" off "$depth")
  on=$(traced "$work/trace" 1024 "$depth")
  printf 'call sites %s frames: traced %.2f s with sampling, %.2f s without (%.3fx)\n' \
    "$depth" "$on" "$off" "$(awk -v a="$on" -v b="$off" 'BEGIN { print a / b }')"
done
tools/qor-view "$work/trace" >/dev/null
printf 'page: %d bytes (trace %d bytes)\n' "$(stat -c %s "$work/trace.html")" \
  "$(stat -c %s "$work/trace.json")"
browser=(chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run
  --disable-background-networking --disable-component-update --disable-sync
  --user-data-dir="$work/profile" --window-size=1280,1000)
start=$(date +%s.%N)
dom=$(env -u LD_PRELOAD -u QORSysAllocatorInstrum "${browser[@]}" --dump-dom "file://$work/trace.html" 2>/dev/null)
end=$(date +%s.%N)
printf 'browser: drawn in %s ms by the page; Chromium start to exit %.2f s; rendered=%s\n' \
  "$(grep -o 'data-render-ms="[0-9.]*"' <<<"$dom" | grep -o '[0-9.]*')" \
  "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')" "$(grep -o 'data-rendered="[a-z]*"' <<<"$dom")"
