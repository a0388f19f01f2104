#!/usr/bin/env python3
"""Turns the results of tools/bench.sh into docs/BENCHMARKS.md and its SVG chart, then (through
tools/doc_figures.py) into benchmarks.json beside them and the figures the other docs quote.

Usage: bench_report.py <results dir> <markdown out> <svg out>
Every ratio is taken within one round (runs made at nearly the same time) and the median of the
rounds' ratios is reported, so that the machine's drift between rounds cancels out.
"""
import glob
import json
import math
import os
import re
import statistics
import sys
import textwrap
from collections import defaultdict

import doc_figures

results, markdown_path, svg_path = sys.argv[1:4]
THREADS = ["threads-2", "threads-4", "threads-8", "threads-16"]
WORKLOADS = ["churn-16", "churn-24-fifo"] + THREADS + ["producer-consumer"]
LONG_ROUTES = ["qor-arg4", "qor-arg32", "qor-cached32", "qor-plain", "qor-tracked", "qor-paged"]
PROGRAMS = ["server-style-2", "server-style-4", "map-program-4"]
# Unchanged programs under the override: name, what runs, limits on time and peak RSS x glibc.
UNCHANGED = [("python", "python3 alloc_heavy.py", 1.2, 1.3),
             ("realloc-mixed", "qor_realloc_mixed", 1.2, None),
             ("threads-cross", "qor_threads_cross", 1.0, None),
             ("cmake-build", "cmake configure and build", None, None)]
WINDOWS = ["1k", "10k", "100k", "1m"]


def load(path):
    with open(path) as stream:
        data = json.load(stream)
    rows = {}
    for bench in data["benchmarks"]:
        name = re.sub(r"/(real_time|threads:\d+|iterations:\d+)", "", bench["run_name"])
        rows[name] = bench
    return rows, data.get("context", {})


def label(route, peer):
    return f"malloc ({peer})" if route == "malloc" else "qor-routed" if route == "routed" else route


# ns[(workload, label)][round] and the glibc malloc figure of the same round.
ns = defaultdict(dict)
context = {}
for path in glob.glob(os.path.join(results, "main.*.json")):
    _, peer, round_, _ = os.path.basename(path).split(".")
    rows, context = load(path)
    for name, bench in rows.items():
        workload, route = name.split("/", 1)
        if "ns_per_pair" in bench:
            ns[(workload, label(route, peer))][round_] = bench["ns_per_pair"]

growth = defaultdict(dict)  # (window, label) -> round -> (ns, rss ratio)
for path in glob.glob(os.path.join(results, "growth.*.json")):
    _, window, route, peer, round_, _ = os.path.basename(path).split(".")
    rows, _ = load(path)
    for bench in rows.values():
        if "ns_per_pair" in bench:
            growth[(window, label(route, peer))][round_] = (bench["ns_per_pair"], bench["rss_ratio"])

instructions = {}
with open(os.path.join(results, "instructions.tsv")) as stream:
    for line in stream:
        name, peer, per_pair = line.rstrip("\n").split("\t")
        workload, route = name.split("/", 1)
        instructions[(workload, label(route, peer))] = float(per_pair)

# The long mixed churn and the peak workload: one qor_mixed_churn JSON line per process.
long_runs = defaultdict(dict)  # label -> round -> run
for path in glob.glob(os.path.join(results, "long.*.json")):
    _, route, peer, round_, _ = os.path.basename(path).split(".")
    with open(path) as stream:
        long_runs[label(route, peer)][round_] = json.load(stream)
peak_runs = {}  # label -> run
for path in glob.glob(os.path.join(results, "peak.*.json")):
    _, route, peer, _ = os.path.basename(path).split(".")
    with open(path) as stream:
        peak_runs[label(route, peer)] = json.load(stream)
# The interpreter replay: one qor_interpreter_replay JSON line per process.
interp_runs = defaultdict(dict)  # label -> round -> run
for path in glob.glob(os.path.join(results, "interp.*.json")):
    _, route, peer, round_, _ = os.path.basename(path).split(".")
    with open(path) as stream:
        interp_runs[label(route, peer)][round_] = json.load(stream)
# The whole programs: one JSON line per process, server.<threads>.* and map.<threads>.*.
program_runs = defaultdict(dict)  # (workload, label) -> round -> run
for path in glob.glob(os.path.join(results, "server.*.json")) + glob.glob(
        os.path.join(results, "map.*.json")):
    kind, threads, route, peer, round_, _ = os.path.basename(path).split(".")
    workload = ("server-style-" if kind == "server" else "map-program-") + threads
    with open(path) as stream:
        program_runs[(workload, label(route, peer))][round_] = json.load(stream)
# Unchanged programs: per program, route and round a JSON line (seconds, peak_rss, exit) and the
# program's output beside it; the routes are glibc, the peers and qor-override.
unchanged_runs = defaultdict(dict)  # (program, label) -> round -> run, with "output" and "error"
for path in glob.glob(os.path.join(results, "unchanged.*.json")):
    _, program, route, round_, _ = os.path.basename(path).split(".")
    with open(path) as stream:
        run = json.load(stream)
    for key, suffix in [("output", ".out"), ("error", ".err")]:
        with open(path[: -len(".json")] + suffix) as stream:
            run[key] = stream.read()
    name = route if route.startswith("qor") else label("malloc", route)
    unchanged_runs[(program, name)][round_] = run
python_version = ""
if os.path.exists(os.path.join(results, "python-version.txt")):
    with open(os.path.join(results, "python-version.txt")) as stream:
        python_version = stream.read().strip()
# Checked mode's cost: the same counts with QORSysAllocatorChecks=ON (the library's routes only).
checked_instructions = {}  # (workload, route) -> per pair
checked_tsv = os.path.join(results, "checked-instructions.tsv")
if os.path.exists(checked_tsv):
    with open(checked_tsv) as stream:
        for line in stream:
            name, _, per_pair = line.rstrip("\n").split("\t")
            checked_instructions[tuple(name.split("/", 1))] = float(per_pair)

churn_instructions = {}  # label -> (per pair, loop's own per pair, pairs counted)
churn_tsv = os.path.join(results, "churn-instructions.tsv")
if os.path.exists(churn_tsv):
    with open(churn_tsv) as stream:
        for line in stream:
            route, peer, per_pair, own, pairs = line.rstrip("\n").split("\t")
            churn_instructions[label(route, peer)] = (float(per_pair), float(own), int(pairs))


def median_ratio(series, base):
    ratios = [series[r] / base[r] for r in series if r in base]
    return statistics.median(ratios) if ratios else float("nan")


def rows_of(workload):
    base = ns[(workload, "malloc (glibc)")]
    out = []
    for (w, name), series in ns.items():
        if w == workload:
            out.append((name, statistics.median(series.values()), median_ratio(series, base)))
    order = lambda row: (not row[0].startswith("malloc"), row[0].startswith("qor"), row[0])
    return sorted(out, key=order)


def growth_rows(window):
    base = {r: v[0] for r, v in growth[(window, "malloc (glibc)")].items()}
    out = []
    for (w, name), series in growth.items():
        if w == window:
            times = {r: v[0] for r, v in series.items()}
            rss = statistics.median(v[1] for v in series.values())
            out.append((name, statistics.median(times.values()), median_ratio(times, base), rss))
    return sorted(out, key=lambda row: (not row[0].startswith("malloc"), row[0]))


def long_rows():
    """(label, ns, ratio to glibc, rss 3e6, rss 3e7, growth, pairs done) per route, medians over
    the rounds. The RSS at the end counts only from runs that did every pair."""
    base = {r: run["ns_per_pair"] for r, run in long_runs.get("malloc (glibc)", {}).items()}
    out = []
    for name, runs in long_runs.items():
        times = {r: run["ns_per_pair"] for r, run in runs.items()}
        early = [run["rss_checkpoint"] for run in runs.values() if run["rss_checkpoint"] >= 0]
        complete = [run for run in runs.values() if run["complete"] and run["rss_checkpoint"] > 0]
        median = lambda values: statistics.median(values) if values else None
        out.append((name, statistics.median(times.values()), median_ratio(times, base),
                    median(early), median([run["rss_end"] for run in complete]),
                    median([run["rss_end"] / run["rss_checkpoint"] - 1 for run in complete]),
                    min(run["pairs_done"] for run in runs.values()),
                    max(run["pairs"] for run in runs.values())))
    return sorted(out, key=lambda row: (row[0].startswith("qor"), row[0] != "malloc (glibc)",
                                        LONG_ROUTES.index(row[0]) if row[0] in LONG_ROUTES else 0,
                                        row[0]))


def interp_rows():
    """(label, seconds, time x glibc, peak RSS, RSS x glibc, RSS after a drop, that x glibc)
    per route: medians over the rounds, each ratio taken within its round."""
    base = interp_runs.get("malloc (glibc)", {})
    field = lambda runs, key: {r: run[key] for r, run in runs.items()}
    median = lambda runs, key: statistics.median(run[key] for run in runs.values())
    out = []
    for name, runs in interp_runs.items():
        out.append((name, median(runs, "seconds"),
                    median_ratio(field(runs, "seconds"), field(base, "seconds")),
                    median(runs, "peak_rss"),
                    median_ratio(field(runs, "peak_rss"), field(base, "peak_rss")),
                    median(runs, "rss_after_drop"),
                    median_ratio(field(runs, "rss_after_drop"), field(base, "rss_after_drop"))))
    return sorted(out, key=lambda row: (row[0].startswith("qor"), row[0] != "malloc (glibc)",
                                        row[0]))


def program_rows(workload):
    """(label, seconds, time x glibc, operations/s, throughput x glibc, peak RSS, RSS x glibc,
    share of remote releases or None) per build and peer: medians over the rounds, each ratio
    taken within its round."""
    base = program_runs.get((workload, "malloc (glibc)"), {})
    field = lambda runs, key: {r: run[key] for r, run in runs.items()}
    median = lambda runs, key: statistics.median(run[key] for run in runs.values())
    out = []
    for (w, name), runs in program_runs.items():
        if w != workload:
            continue
        remote = median(runs, "remote_releases") if "remote_releases" in next(
            iter(runs.values())) else None
        out.append((name, median(runs, "seconds"),
                    median_ratio(field(runs, "seconds"), field(base, "seconds")),
                    median(runs, "operations_per_second"),
                    median_ratio(field(runs, "operations_per_second"),
                                 field(base, "operations_per_second")),
                    median(runs, "peak_rss"),
                    median_ratio(field(runs, "peak_rss"), field(base, "peak_rss")), remote))
    return sorted(out, key=lambda row: (row[0].startswith("qor"), row[0] != "malloc (glibc)",
                                        row[0]))


def unchanged_rows(program):
    """(label, seconds, time x glibc, peak RSS, RSS x glibc, failed rounds, rounds) per route:
    medians over the rounds whose run exited with 0 and printed what glibc's printed in the same
    round (a failed round is none of these), each ratio taken within its round."""
    base = {r: run for r, run in unchanged_runs.get((program, "malloc (glibc)"), {}).items()
            if run["exit"] == 0}
    out = []
    for (p, name), runs in unchanged_runs.items():
        if p != program:
            continue
        good = {r: run for r, run in runs.items()
                if run["exit"] == 0 and r in base and run["output"] == base[r]["output"]}
        field = lambda key, of=good: {r: run[key] for r, run in of.items()}
        median = lambda key: statistics.median(field(key).values()) if good else None
        ratio = lambda key: median_ratio(field(key), field(key, base))
        out.append((name, median("seconds"), ratio("seconds"), median("peak_rss"),
                    ratio("peak_rss"), sorted(set(runs) - set(good), key=int), len(runs)))
    return sorted(out, key=lambda row: (row[0].startswith("qor"), row[0] != "malloc (glibc)",
                                        row[0]))


def unchanged_failures(program, name, failed):
    """What went wrong in each failed round of a route: its exit status and first line of errors,
    or an output that differs from glibc's."""
    notes = []
    for round_ in failed:
        run = unchanged_runs[(program, name)][round_]
        error = (run["error"].strip().splitlines() or [""])[0][:120]
        notes.append(f"round {round_}: " + (f"exit status {run['exit']}" + (
            f" (`{error}`)" if error else "") if run["exit"] else "output differs from glibc's"))
    return "; ".join(notes)


def count(value):
    """3e6, 2.96e6: a pair count as the tables write it."""
    mantissa, exponent = f"{value:.2e}".split("e")
    return f"{mantissa.rstrip('0').rstrip('.')}e{int(exponent)}"


def stopped(run_pairs, pairs):
    return "" if run_pairs >= pairs else f" (stopped at {count(run_pairs)} pairs)"


def lookup(table, name):
    return next((row for row in table if row[0] == name), None)


def mb(value):
    return None if value is None else value / 1e6


def fmt(value, digits=2):
    return "n/a" if value is None or (isinstance(value, float) and math.isnan(value)) else (
        f"{value:.{digits}f}")


# --- Targets, evaluated on the figures above.
targets = []


def target(text, met, measured):
    targets.append((text, "met" if met else "**not met**", measured))


for workload in ["churn-16", "churn-24-fifo"]:
    table = rows_of(workload)
    mi = lookup(table, "malloc (mimalloc)")
    for route in ["qor-arg4", "qor-paged"]:
        row = lookup(table, route)
        if row and mi:
            ir, ir_mi = instructions.get((workload, route)), instructions.get((workload, mi[0]))
            target(f"{workload}, {route}: no slower than mimalloc", row[2] <= mi[2],
                   f"{row[1]:.1f} ns vs {mi[1]:.1f} ns (ratio {row[2] / mi[2]:.2f})")
            target(f"{workload}, {route}: no more instructions per pair than mimalloc",
                   ir is not None and ir_mi is not None and ir <= ir_mi,
                   f"{fmt(ir, 0)} vs {fmt(ir_mi, 0)}")
long_table = long_rows()
for route, limit in [("qor-arg4", 1.0), ("qor-cached32", 1.2), ("qor-plain", 1.2),
                     ("qor-tracked", 3.0), ("qor-paged", 1.0)]:
    row = lookup(long_table, route)
    if row:
        target(f"long churn, {route}: at most {limit:.1f}x glibc's time per pair", row[2] <= limit,
               f"{row[2]:.2f}x ({row[1]:.1f} ns){stopped(row[6], row[7])}")
for route in ["qor-arg4", "qor-cached32"]:
    row = lookup(long_table, route)
    if row:
        target(f"long churn, {route}: RSS after 3e7 pairs within 10 % of RSS after 3e6",
               row[5] is not None and row[5] <= 0.10,
               f"{row[5] * 100:+.0f} % ({mb(row[3]):.1f} MB, then {mb(row[4]):.1f} MB)"
               if row[5] is not None else
               f"not measured{stopped(row[6], row[7])}; {fmt(mb(row[3]), 1)} MB after 3e6")
row = churn_instructions.get("qor-paged")
if row:
    target("long churn, qor-paged: at most 250 instructions per pair", row[0] <= 250,
           f"{row[0]:.0f} (the loop's own {row[1]:.0f})")


def glibc_target(workload, route, limit):
    """At most `limit` times glibc malloc's time per pair, the ratio taken within each round."""
    table = rows_of(workload)
    row, base = lookup(table, route), lookup(table, "malloc (glibc)")
    if row and base:
        target(f"{workload}, {route}: at most {limit:.1f}x glibc's time per pair",
               row[2] <= limit, f"{row[2]:.2f}x ({row[1]:.1f} ns vs {base[1]:.1f} ns)")


for route in ["qor-cached32", "qor-paged-locked-cached"]:
    glibc_target("threads-2", route, 1.0)
# ns per pair is each thread's: the aggregate rate of n threads is n / ns.
two = lookup(rows_of("threads-2"), "qor-cached32")
sixteen = lookup(rows_of("threads-16"), "qor-cached32")
if two and sixteen:
    ratio = (16 / sixteen[1]) / (2 / two[1])
    target("threads-16, qor-cached32: aggregate pairs per second at least 1.0x threads-2's",
           ratio >= 1.0, f"{ratio:.2f}x ({16e3 / sixteen[1]:.1f} vs {2e3 / two[1]:.1f} M pairs/s)")
glibc_target("threads-16", "qor-cached32", 1.5)
glibc_target("producer-consumer", "qor-cached32", 0.5)
glibc_target("churn-16", "qor-cached32", 1.0)
arg32_to_arg4 = median_ratio(ns[("churn-16", "qor-cached32")], ns[("churn-16", "qor-arg4")])
if not math.isnan(arg32_to_arg4):
    target("churn-16, qor-cached32: at most 1.2x qor-arg4's time per pair", arg32_to_arg4 <= 1.2,
           f"{arg32_to_arg4:.2f}x")
for route, limit in [("qor-arg4", 1.3), ("qor-cached32", 1.5), ("qor-paged", 1.15)]:
    run = peak_runs.get(route)
    if run:
        target(f"peak workload (10^6 live), {route}: peak RSS at most {limit}x requested",
               run["complete"] and run["rss_per_requested"] <= limit,
               f"{run['rss_per_requested']:.2f}{stopped(run['pairs_done'], run['pairs'])}")
paged, mi = peak_runs.get("qor-paged"), peak_runs.get("malloc (mimalloc)")
if paged and mi:
    target("peak workload (10^6 live), qor-paged: peak RSS / requested no higher than mimalloc's",
           paged["complete"] and paged["rss_per_requested"] <= mi["rss_per_requested"],
           f"{paged['rss_per_requested']:.2f} vs {mi['rss_per_requested']:.2f}")
for route in ["qor-arg4", "qor-paged", "qor-plain"]:
    row = lookup(interp_rows(), route)
    if row:
        target(f"interpreter replay, {route}: peak RSS at most 1.3x glibc's", row[4] <= 1.3,
               f"{row[4]:.2f}x ({mb(row[3]):.1f} MB), time {row[2]:.2f}x")
for workload, time_limit, rss_limit in [("server-style-2", 1.0, 1.3), ("server-style-4", 1.0, 1.3),
                                        ("map-program-4", 1.2, 1.3)]:
    row = lookup(program_rows(workload), "qor-routed")
    if not row:
        continue
    if workload.startswith("server"):
        target(f"{workload}, routed global new/delete: at least 1.0x glibc's throughput",
               row[4] >= 1.0, f"{row[4]:.2f}x ({row[3] / 1e6:.2f} M operations/s)")
    else:
        target(f"{workload}, routed global new/delete: at most {time_limit:.1f}x glibc's time",
               row[2] <= time_limit, f"{row[2]:.2f}x ({row[1]:.2f} s)")
    target(f"{workload}, routed global new/delete: at most {rss_limit:.1f}x glibc's peak RSS",
           row[6] <= rss_limit, f"{row[6]:.2f}x ({mb(row[5]):.1f} MB)")
for program, command, time_limit, rss_limit in UNCHANGED:
    row = lookup(unchanged_rows(program), "qor-override")
    if not row:
        continue
    complete = f"{row[6] - len(row[5])} of {row[6]} rounds"
    failed = "" if not row[5] else f"; {unchanged_failures(program, row[0], row[5])}"
    if time_limit is None:
        target(f"{program} ({command}) under the override: exit status 0 and glibc's output",
               not row[5], f"in {complete}; {fmt(row[2])}x glibc's time{failed}")
    else:
        target(f"{program} ({command}) under the override: at most {time_limit:.1f}x glibc's "
               "time", not row[5] and row[2] <= time_limit,
               f"{fmt(row[2])}x ({fmt(row[1])} s), correct in {complete}{failed}")
    if rss_limit is not None:
        target(f"{program} ({command}) under the override: at most {rss_limit:.1f}x glibc's peak "
               "RSS", not row[5] and row[4] <= rss_limit,
               f"{fmt(row[4])}x ({fmt(mb(row[3]), 1)} MB)")
for route in ["qor-arg4", "qor-paged"]:
    times = [lookup(growth_rows(w), route) for w in WINDOWS]
    if all(times):
        spread = max(t[1] for t in times) / min(t[1] for t in times)
        target(f"growth, {route}: time per pair flat within 1.5x from 10^3 to 10^6",
               spread <= 1.5, f"{spread:.2f}x (" + ", ".join(f"{t[1]:.0f}" for t in times) +
               " ns)")
with open(os.path.join(results, "swap.md")) as stream:
    swap_table = stream.read().strip()
for line in swap_table.splitlines()[2:]:
    cells = [c.strip() for c in line.strip("|").split("|")]
    floor = 0.8 if cells[0].startswith("200 B") else 0.9
    objects = cells[0].replace(", alone", " objects, brought back alone") \
        if cells[0].endswith(", alone") else cells[0] + " objects"
    target(f"swap, {objects}: {floor} of stdio each way",
           float(cells[3]) >= floor and float(cells[6]) >= floor,
           f"out {cells[3]}, in {cells[6]}")
# What the swap-in direction can reach under the swap file's rule: it writes what it reads.
stdio_rates = [[float(c.strip()) for c in line.strip("|").split("|")[1:7]]
               for line in swap_table.splitlines()[2:3]][0]
swap_ceiling = 1 / (1 / stdio_rates[1] + 1 / stdio_rates[4]) / stdio_rates[4]
with open(os.path.join(results, "out_of_core.jsonl")) as stream:
    out_of_core = {run["mode"]: run for run in map(json.loads, stream)}
swap_run = out_of_core["swap"]
with open(os.path.join(results, "swap_policy.md")) as stream:
    policy_table = stream.read().strip()
# policy -> objects brought back per visit
policy_ins = {cells[0]: float(cells[3]) for cells in
              ([c.strip() for c in line.strip("|").split("|")]
               for line in policy_table.splitlines()[2:])}
target("out-of-core: CPU per swap-in (in+out) at most 1.5 us",
       swap_run["cpu_us_per_swap_in"] <= 1.5, f"{swap_run['cpu_us_per_swap_in']:.2f} us")
alone_run, memory_run = out_of_core["swap-alone"], out_of_core["memory"]
alone_ratio = alone_run["swap_ins_per_visit"] / policy_ins["lru"]
target("out-of-core, objects reloaded alone: objects brought back per visit within 1.2x of "
       "object-granular LRU's", alone_ratio <= 1.2,
       f"{alone_ratio:.2f}x ({alone_run['swap_ins_per_visit']:.3f} against "
       f"{policy_ins['lru']:.3f})")
time_ratio = alone_run["cpu_seconds"] / memory_run["cpu_seconds"]
rss_ratio = alone_run["peak_rss_mib"] / memory_run["peak_rss_mib"]
target("out-of-core, objects reloaded alone: at most 3x the in-memory time, peak RSS at most "
       "0.3x its", time_ratio <= 3 and rss_ratio <= 0.3,
       f"{time_ratio:.2f}x the time, {rss_ratio:.2f}x the peak RSS")
target("out-of-core: no malloc call per swapped page once warm (at most 1 in 10,000)",
       0 <= swap_run["malloc_calls_per_page"] <= 1e-4, f"{swap_run['malloc_calls_per_page']:.5f}")


# --- The chart: ratio to glibc malloc per route, one group per workload, log scale. A whole
# program's ratio is its run's time over glibc's, the same operations in both.
def chart():
    groups = [("long churn", [(r[0], r[1], r[2]) for r in long_rows()])] + [
        (w, rows_of(w)) for w in WORKLOADS] + [
        ("growth-1m", [(r[0], r[1], r[2]) for r in growth_rows("1m")])] + [
        (w, [(r[0], r[1], r[2]) for r in program_rows(w)]) for w in PROGRAMS] + [
        (p, [(r[0], r[1], r[2]) for r in unchanged_rows(p)]) for p, *_ in UNCHANGED]
    bar, gap, left, width = 13, 16, 170, 560
    low, high = math.log2(1 / 8), math.log2(64)
    x = lambda ratio: left + width * (min(max(math.log2(ratio), low), high) - low) / (high - low)
    height = 40 + sum(len(rows) * bar + gap + 16 for _, rows in groups) + 30
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{left + width + 80}" '
           f'height="{height}" font-family="sans-serif" font-size="11">',
           f'<text x="{left}" y="16" font-size="13" font-weight="bold">Time per allocate+release '
           'pair, ratio to glibc malloc (log scale; shorter is faster)</text>']
    y = 34
    for workload, rows in groups:
        out.append(f'<text x="4" y="{y + 10}" font-weight="bold">{workload}</text>')
        y += 16
        for name, _, ratio in rows:
            if math.isnan(ratio):
                continue
            colour = "#2b6cb0" if name.startswith("qor") else "#a0aec0"
            out.append(f'<text x="{left - 6}" y="{y + 10}" text-anchor="end">{name}</text>')
            out.append(f'<rect x="{left}" y="{y + 1}" width="{x(ratio) - left:.1f}" '
                       f'height="{bar - 3}" fill="{colour}"/>')
            out.append(f'<text x="{x(ratio) + 4:.1f}" y="{y + 10}">{ratio:.2f}</text>')
            y += bar
        y += gap
    for tick in [0.125, 0.25, 0.5, 1, 2, 4, 8, 16, 32, 64]:
        style = 'stroke="#333"' if tick == 1 else 'stroke="#ddd"'
        out.append(f'<line x1="{x(tick):.1f}" y1="26" x2="{x(tick):.1f}" y2="{y}" {style}/>')
        out.append(f'<text x="{x(tick):.1f}" y="{y + 14}" text-anchor="middle">{tick:g}</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


with open(svg_path, "w") as stream:
    stream.write(chart())

rounds = len({os.path.basename(p).split(".")[2] for p in glob.glob(f"{results}/main.glibc.*")})
lines = ["# Benchmarks", "",
         "Generated by `tools/bench.sh` (do not edit by hand), with the figures of its tables in",
         "[benchmarks.json](benchmarks.json), from which `tools/doc_figures.py` rewrites those that",
         "the other docs quote. The machines are shared and noisy:",
         "every ratio is taken between runs of the same round, and the median over the rounds is",
         "shown; absolute times are for orientation only. Instruction counts come from callgrind",
         "over the timed loop alone (100,000 pairs; 3e6 pairs after the fill for the long churn)",
         "and do not depend on the machine's load.", "",
         f"Machine: {context.get('num_cpus', '?')} CPUs at {context.get('mhz_per_cpu', '?')} MHz, "
         f"{rounds} interleaved rounds, {context.get('date', '')[:10]}.", "",
         "![ratio to glibc malloc](benchmarks.svg)", "", "## Targets", "",
         "| target | result | measured |", "|---|---|---|"]
lines += [f"| {t} | {m} | {v} |" for t, m, v in targets]
lines += ["", "### Where the targets stand, and why", "",
          "- Fixed-size churn: every block carries the 16-byte header that names its chunk, and",
          "  every release keeps the chunk's exact counters (free bytes, areas, largest area) and",
          "  the test that resets an emptied chunk; a paged release checks that the pointer is a",
          "  position its page handed out. Those are the library's rules, and they are the",
          "  instructions between our fast paths and a size-class allocator's few dozen.",
          "- Mixed churn, general pools: plain placement is first fit over per-chunk lists, and",
          "  the areas that a fit passes drop out of the list until the chunk empties or is",
          "  merged; tracked placement never joins neighbours. Without help, a long churn made",
          "  such a pool grow for ever (pool 4: about 32 bytes per pair, 974 MB after 3e7 pairs for",
          "  1 MB in use). *Reclaim* stops that: before a pool adds a chunk, and when a placement",
          "  first reaches into the untouched end of its last chunk, a pool whose touched memory",
          "  holds at least 64 KiB and an eighth of its bytes in use free merges its chain by the",
          "  address walk (every free area listed again, joined with its neighbours), at most once",
          "  per bytesInUse/256 placements through its search (`QORSysAllocatorReclaim=OFF`",
          "  turns it off; docs/general-pools.md). What it cannot remove is the rules' own",
          "  cost: the 16-byte header and a first fit whose passed areas leave the list, so that",
          "  a pool keeps more free bytes (and a larger working set than the L2 cache) than a",
          "  size-class allocator, and each merge walks every piece of the chain.",
          "- Mixed churn, paged pool: one size class per 4 KB page, no header; the page lists of",
          "  a class and the release's position check are its cost.",
          "- Threads, uncached (`qor-arg32`, `qor-paged-locked`): one pool behind one mutex;",
          "  every pair moves the lock word and the pool's lines between the cores (about 230 ns",
          "  each on this machine), and an uncontended lock and unlock cost two atomic",
          "  read-modify-writes. The cached routes (`qor-cached32`, `qor-paged-locked-cached`,",
          "  the pair the adapters and the routed global new use) keep a cache per thread: a hit",
          "  touches only the thread's own lines, and the pool's lock is taken once per batch.",
          "- Where the cached route is still behind: in the server-style and map programs most",
          "  requests still reach the pool. Their sizes spread over 125 classes of 8 bytes, so a",
          "  thread's bins empty and fill often, and a refill that the pool's central lists",
          "  cannot serve is the general pool's first fit over mixed sizes; perf puts the",
          "  pool's merge (reclaim's address walk) and first fit at 25 % of the server-style time.",
          "  Their peak RSS is the general pool's growth: chunks double (512 KB, 1, 2, 4, 8,",
          "  16 MB), and first fit reaches into each new chunk before the old ones are full.",
          "- Unchanged programs under the override: a first design served every request up to",
          "  256 KB from the general thread-safe pool, and its first fit under realloc growth",
          "  (each step a new block, the last one a hole the next step does not fit) held 8.8",
          "  times glibc's peak RSS in realloc-mixed and 1.6 times in python; perf put the extra",
          "  time on reclaim's address walk and the page faults of new chunks. Requests up to",
          "  3.5 KB now go to a paged pool at size classes, larger ones to the C runtime.",
          "- threads-2 to threads-16, cached: perf puts two thirds of the release's time on the",
          "  load of the released block's header (a random block of the thread's window, as",
          "  malloc's release reads its chunk header), and a fifth on the chunk's and the pool's",
          "  header lines (owner, flags), which the other threads' batch moves have written. With",
          "  more threads than cores, refills and spills meet on the pool's one lock and its",
          "  central lists.",
          "- Growth: every route, the peers included, slows down as the live blocks outgrow the",
          "  caches (the workload writes each block it gets); compare the growth of each route",
          "  with the peers' rather than with a flat line.",
          "- Swap file, throughput: reading every object back through a zone that holds a tenth",
          "  of them writes nine objects out for every ten read in, and under the swap file's rule",
          "  a page comes back as records and is freed once all of them are back: the read",
          "  direction writes as many bytes as it reads where the stdio peer only reads, so its",
          f"  ceiling is stdio's write and read rates combined ({swap_ceiling:.2f} of the read rate in",
          "  this run). Objects brought back alone go out again unwritten when unchanged (6 MB",
          "  written instead of 87 MB while 64 MB of 200-byte objects come back), but each is",
          "  fingerprinted twice (a tenth of the time for 20 KB objects) and a record of 512 bytes",
          "  or more is read on its own. The swap-out direction counts the creation of each object",
          "  (its zone block, its permanent handle from operator new, the benchmark's fill of its",
          "  bytes) against pages that the stdio peer writes unfilled. The kernel's page-cache",
          "  copies are most of the time in both directions.",
          "- Out of core, objects brought back alone: perf puts half the time in the kernel",
          "  copying records out of the page cache (one read per object visited that is on disk),",
          "  a tenth in the fingerprints, and a sixth in joining the zone's free pieces and",
          "  choosing the object whose release opens room; the in-memory run only checks bytes.",
          "", "## Allocation workloads", "",
          "Every block is written in full once after its allocation. `churn-16`: batches of 1000",
          "blocks of 16 bytes released newest first; `churn-24-fifo`: 24 bytes, oldest first;",
          "`threads-2`: two threads at once on one shared route, each with a window of 10,000",
          "live blocks of the mixed stream of the long churn below (a seed per thread), each pair",
          "releasing a random block and allocating its replacement (each thread's wall time per",
          "pair); `threads-4/8/16`: the same with more threads than the machine's two cores;",
          "`producer-consumer`: one thread allocates blocks of the mixed sizes and hands them",
          "through a ring to a second thread, which releases them (time per block).",
          "Routes: `malloc (peer)` is the peer",
          "preloaded with `LD_PRELOAD`; `pmr-unsync`/`pmr-sync` the standard pool resources;",
          "`boost-pool` (fixed sizes only); `qor-arg0/4/32` pool arguments 0, 4 and 32; `qor-cached32` pool argument 32 and `qor-paged-locked-cached` the locked paged pool through the per-thread caches (`QORSysCachedNew`/`QORSysCachedDelete`, the adapters' and the routed global new's pair);",
          "`qor-plain`/`qor-tracked` a private general pool; `qor-paged` a paged pool on the shared",
          "region list, `qor-paged-locked` a locked paged pool with its own list;",
          "`qor-paged-per-thread`/`qor-plain-per-thread` (thread workloads) an unlocked paged or",
          "plain general pool of its own on each thread.", ""]
for workload in WORKLOADS:
    lines += [f"### {workload}", "",
              "| route | median ns/pair | ratio to glibc | instructions/pair |", "|---|---|---|---|"]
    for name, value, ratio in rows_of(workload):
        lines.append(f"| {name} | {value:.1f} | {fmt(ratio)} | "
                     f"{fmt(instructions.get((workload, name)), 0)} |")
    lines.append("")
if checked_instructions:
    lines += ["### Checked mode", "",
              "The same instruction counts with `QORSysAllocatorChecks=ON` (docs/checked-mode.md):",
              "every request takes the full route and every release is proved first.", "",
              "| workload | route | instructions/pair | checked instructions/pair | ratio |",
              "|---|---|---|---|---|"]
    for (workload, name), checked in sorted(checked_instructions.items()):
        plain = instructions.get((workload, name))
        lines.append(f"| {workload} | {name} | {fmt(plain, 0)} | {checked:.0f} | "
                     f"{fmt(checked / plain if plain else None)} |")
    lines.append("")
lines += ["## Long mixed churn", "",
          "`qor_mixed_churn`: a window of 10,000 live blocks of 8-512 bytes (60 % 8-64,",
          "25 % 65-128, 10 % 129-256, 5 % 257-512); each pair releases a random live block and",
          "allocates a new one in its slot, and each new block gets one 8-byte store. Sizes and",
          "slots are drawn in the loop from one 64-bit generator (never repeating, the same seed",
          "and draws for every route), 3e7 pairs in one process per route and round. RSS is the",
          "process's peak (VmHWM, less the resident memory before the window was filled) after",
          "3e6 and after 3e7 pairs, in MB of 10^6 bytes; the requested bytes peak at "
          + fmt(mb(max((run["requested_peak"] for runs in long_runs.values()
                        for run in runs.values()), default=None)), 2) + " MB.",
          "Instructions per pair from callgrind over 3e6 pairs after the fill; they include the",
          "loop's own work (the draw, the bookkeeping, the store): "
          + ("n/a" if not churn_instructions else
             "-".join(f"{v:.0f}" for v in sorted({min(r[1] for r in churn_instructions.values()),
                                                   max(r[1] for r in churn_instructions.values())})))
          + " instructions.",
          "The peak workload: 10^6 live blocks of the same mix, then 5e6 pairs (every block",
          "replaced about five times); its peak RSS over the peak requested bytes.",
          "A run stops once its pairs have taken the time limit of `tools/bench.sh` (10 s unless",
          "CHURN_SECONDS says otherwise; 20 s under callgrind, COUNT_SECONDS), and a route whose",
          "long churn stopped so in round 1 runs in round 1 only; its figures then cover the pairs",
          "it did, as noted.", "",
          "| route | ns/pair | x glibc | instructions/pair | RSS after 3e6 (MB) | "
          "RSS after 3e7 (MB) | growth 3e6->3e7 | peak workload RSS / requested |",
          "|---|---|---|---|---|---|---|---|"]
notes = []
for name, value, ratio, early, late, growth_, done, pairs in long_table:
    counted, peak = churn_instructions.get(name), peak_runs.get(name)
    instruction_cell = "n/a" if counted is None else f"{counted[0]:.0f}" + (
        f" (over {count(counted[2])} pairs)" if counted[2] < 3e6 else "")
    peak_cell = "n/a" if peak is None else f"{peak['rss_per_requested']:.2f}" + stopped(
        peak["pairs_done"], peak["pairs"])
    lines.append(f"| {name} | {value:.1f}{stopped(done, pairs)} | {fmt(ratio)} | "
                 f"{instruction_cell} | {fmt(mb(early), 1)} | {fmt(mb(late), 1)} | "
                 f"{'n/a' if growth_ is None else f'{growth_ * 100:+.0f} %'} | {peak_cell} |")
    if early and late and growth_ is not None and growth_ > 0.10:
        notes.append(f"- {name}: peak RSS grew by {(late - early) / 1e6:.2f} MB between 3e6 and 3e7 "
                     f"pairs, {(late - early) / (pairs - pairs / 10):.2g} bytes per pair.")
lines += [""] + notes + ([""] if notes else [])
interp_run = next(iter(interp_runs.get("malloc (glibc)", {}).values()), None)
lines += ["## Interpreter replay", "",
          "`qor_interpreter_replay`: an interpreter's allocation stream from one seeded generator:",
          "object headers of 16-64 B, strings (70 % 8-40 B, 25 % to 256 B, 5 % to 4 KiB), tables of",
          "8-byte slots grown by doubling (the larger block allocated, the slots copied, the old",
          "block released) and halved when they shrink, temporaries in a ring of 64, and a",
          "long-lived set; 16 phases of varied length each build, then drop nine tenths of what",
          "they built. One process per route and round; the paged pool's requests above 3.5 KiB go",
          "to malloc. Peak RSS is VmHWM and the RSS after a drop the largest VmRSS after one, both",
          "less the resident memory before the first phase, in MB of 10^6 bytes"
          + ("" if interp_run is None else
             f"; the requested bytes peak at {mb(interp_run['requested_peak']):.1f} MB and reach "
             f"{mb(interp_run['requested_after_drop']):.1f} MB after a drop") + ".", "",
          "| route | seconds | time x glibc | peak RSS (MB) | x glibc | RSS after a drop (MB) | "
          "x glibc |", "|---|---|---|---|---|---|---|"]
for name, seconds, ratio, rss, rss_ratio, dropped, dropped_ratio in interp_rows():
    lines.append(f"| {name} | {seconds:.2f} | {fmt(ratio)} | {mb(rss):.1f} | {fmt(rss_ratio)} | "
                 f"{mb(dropped):.1f} | {fmt(dropped_ratio)} |")
lines.append("")
server_run = next(iter(program_runs.get(("server-style-2", "malloc (glibc)"), {}).values()),
                  {"slots": 0, "threads": 1, "operations": 0})
map_run = next(iter(program_runs.get(("map-program-4", "malloc (glibc)"), {}).values()),
               {"entries": 0, "threads": 1, "operations": 0})
lines += ["## Whole programs", "",
          "Two builds of each program: the plain one allocates through the process's malloc",
          "(glibc, or the peer preloaded with `LD_PRELOAD`), `qor-routed` expands",
          "`QOR_SYS_ROUTE_GLOBAL_NEW_DELETE()` so that every global `new` and `delete` goes to the",
          "thread-safe pool (pool argument 32); both allocate through `new` and `delete` alone.",
          "One process per build, peer and round; time from the moment every thread is ready to",
          "the last one's end, peak RSS the process's VmHWM (its binary and libraries included),",
          "in MB of 10^6 bytes.", "",
          "`qor_server_style`: 2 or 4 threads replacing random blocks of one shared table of",
          f"{server_run['slots'] // server_run['threads']:,} slots per thread "
          f"({count(server_run['operations'])} operations in all), each operation a release and an",
          "allocation of 8-1000 bytes; a slot is claimed by an atomic exchange, its block's",
          "pattern checked, and the new block written in full. A thread skips (up to three times",
          "in a row) slots whose block it allocated, so that most releases are of another",
          "thread's block (the share is in the table).", ""]
for workload in PROGRAMS[:2]:
    lines += [f"### {workload}", "",
              "| build | operations/s (M) | throughput x glibc | peak RSS (MB) | RSS x glibc | "
              "releases of another thread's block |", "|---|---|---|---|---|---|"]
    for name, _, _, rate, rate_ratio, rss, rss_ratio, remote in program_rows(workload):
        lines.append(f"| {name} | {rate / 1e6:.2f} | {fmt(rate_ratio)} | {mb(rss):.1f} | "
                     f"{fmt(rss_ratio)} | {fmt(remote)} |")
    lines.append("")
lines += ["### map-program-4", "",
          "`qor_map_program`: 4 threads, each building "
          f"{map_run['operations'] // map_run['threads']} times a",
          f"`std::map<std::string, std::vector<int>>` of {map_run['entries']:,} entries (keys of "
          "5-32 characters,",
          "about 60 % beyond the small-string buffer; vectors of 0-47 ints grown by `push_back`),",
          "reading it through (each key and value checked) and dropping it.", "",
          "| build | seconds | time x glibc | peak RSS (MB) | RSS x glibc |",
          "|---|---|---|---|---|"]
for name, seconds, ratio, _, _, rss, rss_ratio, _ in program_rows("map-program-4"):
    lines.append(f"| {name} | {seconds:.2f} | {fmt(ratio)} | {mb(rss):.1f} | {fmt(rss_ratio)} |")
lines.append("")
first_output = lambda program: next(
    (run["output"].strip() for _, run in sorted(unchanged_runs.get(
        (program, "malloc (glibc)"), {}).items()) if run["exit"] == 0), "n/a")
lines += ["## Unchanged programs under the override", "",
          "Programs that know nothing of the library, each run whole (a process tree of its own",
          "per route and round) with the route's malloc preloaded with `LD_PRELOAD`:",
          "`malloc (peer)` is glibc's malloc or the peer, `qor-override` is",
          "`libQORSysMalloc.so` (the malloc family and every global `new` and `delete`: requests",
          "up to 3.5 KB served by the override's locked paged pool through the per-thread caches,",
          "larger ones by the C runtime). Time is the tree's wall time and peak RSS its largest process's",
          "(GNU time: `ru_maxrss`), in MB of 10^6 bytes; medians over the rounds whose run exited",
          "with 0 and printed what glibc's run printed in the same round, each ratio taken within",
          "its round.", "",
          f"- `python`: {python_version or 'python3'} on `bench/programs/alloc_heavy.py`: records",
          "  of dicts, strings and lists built, rewritten into new objects (a word index, a",
          "  reversed text) and dropped, round after round, with a cache of the newest kept live.",
          "  The interpreter's own small-object allocator serves blocks up to 512 bytes; malloc",
          "  the larger strings, lists and dict tables, and the small allocator's arenas come",
          "  from mmap. It printed `" + first_output("python") + "`.",
          "- `realloc-mixed`: `qor_realloc_mixed`, plain C linked with the C runtime alone: each",
          "  step grows one of 256 buffers by realloc (exact appends or doubled capacity, towards",
          "  targets of 16 B to 1 MB; a quarter shrunk before their release) and replaces three",
          "  of 4096 blocks of 16 B to 8 KB (one in eight from calloc), checking the contents",
          "  each carried over. It printed `" + first_output("realloc-mixed") + "`.",
          "- `threads-cross`: `qor_threads_cross`, plain C: 4 threads in a ring, each allocating",
          "  batches of 512 blocks (16 B to 16 KB, most under 256 B) that the next thread checks",
          "  and releases, and replacing 256 blocks of a window of 2048 of its own per batch. It",
          "  printed `" + first_output("threads-cross") + "`.",
          "- `cmake-build`: `bench/programs/cmake_build.sh`: cmake configures",
          "  `bench/programs/cmake_project` (three C files, two static libraries) for Unix",
          "  Makefiles, make builds it and the program runs; sh, cmake, make, the compiler,",
          "  assembler and linker all run with the route preloaded. The script fails unless the",
          "  program prints `" + first_output("cmake-build") + "`.", ""]
for program, *_ in UNCHANGED:
    lines += [f"### {program}", "",
              "| route | seconds | x glibc | peak RSS (MB) | RSS x glibc |",
              "|---|---|---|---|---|"]
    failures = []
    for name, seconds, ratio, rss, rss_ratio, failed, total in unchanged_rows(program):
        lines.append(f"| {name} | {fmt(seconds)} | {fmt(ratio)} | {fmt(mb(rss), 1)} | "
                     f"{fmt(rss_ratio)} |")
        if failed:
            failures.append(f"- {name}, failed in {len(failed)} of {total} rounds: "
                            + unchanged_failures(program, name, failed) + ".")
    lines += [""] + failures + ([""] if failures else [])
lines += ["## Growth", "",
          "The mixed churn with 10^3 to 10^6 live blocks, each window and route alone in a fresh",
          "process: time per pair, its ratio to glibc, and the process's peak resident memory",
          "(VmHWM, less the resident memory before the window was filled) over the peak of the",
          "bytes requested for live blocks.", "",
          "| live blocks | route | median ns/pair | ratio to glibc | peak RSS / requested |",
          "|---|---|---|---|---|"]
for window in WINDOWS:
    for name, value, ratio, rss in growth_rows(window):
        lines.append(f"| {window} | {name} | {value:.1f} | {fmt(ratio)} | {rss:.2f} |")
lines += ["", "## Swap file", "",
          "Objects of 200 bytes and of 20 KB pushed through a swap file whose zone holds a tenth of",
          "them (swap-out), then all read back through their handles (swap-in), against plain",
          "stdio writes and reads of the same bytes in 8192-byte pages; median of the rounds.", "",
          swap_table, "",
          "Out of core: objects of 200 B to 20 KiB (log-uniform), 30 times what the zone holds,",
          "visited 85 % near a slowly wandering locus and 15 % anywhere; each visit checks the",
          "object's bytes, 10 % rewrite part of it and 2 % replace it. The same visits on heap",
          "objects (glibc) for comparison, each mode in a process of its own. I/O calls and malloc",
          "calls are counted by the benchmark, per 8 KiB page moved; malloc calls leave out one per",
          "replaced object (its permanent handle). The figures cover the visits after a warm-up of",
          "a tenth of them. swap-alone: the swap file with objects brought back alone",
          "(QORSysSwapFileObjectReload=ON).", "",
          "| mode | CPU s | swap-ins per visit | us per swap-in | I/O calls per page |"
          " malloc calls per page | peak RSS MiB |", "|---|---|---|---|---|---|---|"]
for mode in ["swap", "swap-alone", "memory"]:
    run = out_of_core[mode]
    lines.append(f"| {mode} | {run['cpu_seconds']:.2f} | {run['swap_ins_per_visit']:.2f} | "
                 f"{run['cpu_us_per_swap_in']:.2f} | {run['io_calls_per_page']:.2f} | "
                 f"{run['malloc_calls_per_page']:.5f} | {run['peak_rss_mib']:.1f} |")
policy_intro = ("The same objects and visits replayed by a model (qor_swap_policy_sim) with the "
                "same zone and blocks, its zone pool taken never to fragment: the swap file's "
                "rules (page, a page read back whole), reloading only the record visited (object), object-granular LRU "
                "and the furthest-next-visit rule (belady), after the same warm-up. The last "
                "column writes only the objects new or rewritten since they came in.")
policy_finding = (f"Under the swap file's own rules {policy_ins['page']:.2f} objects per visit "
                  f"come back where the swap file brings back {swap_run['swap_ins_per_visit']:.2f}: "
                  "the rest is the zone pool's placement (the model moves what the swap file moves, "
                  "object for object, where blocks cannot fragment), blocks of many sizes leaving "
                  "free bytes that the next block cannot use, so that each failed placement swaps "
                  "one more object out. Reloading only the record visited brings back "
                  f"{policy_ins['object']:.2f} per visit, object-granular LRU "
                  f"{policy_ins['lru']:.2f} and the furthest-next-visit rule "
                  f"{policy_ins['belady']:.2f}: whole-page reload, not the choice of victim, is what "
                  "the rules cost.")
lines += ["", *textwrap.wrap(policy_intro, 95, break_on_hyphens=False), "", policy_table, "",
          *textwrap.wrap(policy_finding, 95, break_on_hyphens=False), ""]
with open(markdown_path, "w") as stream:
    stream.write("\n".join(lines))
doc_figures.update(os.path.dirname(os.path.abspath(markdown_path)))
