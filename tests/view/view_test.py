#!/usr/bin/env python3
"""Checks the page qor-view writes from a trace, as ctest entries.

  view_test.py embeds  <qor-view> <fixture.json> <work dir> <program with debug info>
      ViewEmbedsTrace: the page embeds the trace unchanged (plus "symbols"), loads nothing from
      the network, survives hostile pool names, and names a frame of a real program by function
      and line.
  view_test.py renders <qor-view> <fixture.json> <work dir> <traced program> <tracer dir>
      ViewRendersInBrowser: headless Chromium renders the page without a script error, also for
      a trace without the sampling keys, and every chart's box in a screenshot holds a drawing.
      Both flame graphs stand as the fixture's sites say (the root weighs them all, the largest
      site's frame is as wide as its share, frames shared by two stacks are drawn once), a click
      on a frame zooms to it and one on the root goes back; the traced program's graphs weigh
      what its report saw live at the peak and every allocation of its pools. The temporary
      allocations table gives each site's count, share of its allocations and bytes, largest
      first, and the traced program's churning site exactly its temporary allocations; the filter
      by pool and by call site leaves only the matching rows and stacks, says which tables the
      pool cannot narrow, and gives everything back once cleared.
      Without Chromium: skipped (status 77) locally, a failure under CI (the CI variable set).
"""
import html
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
import png_pixels  # noqa: E402

SKIP = 77
DATA = re.compile(r'<script type="application/json" id="trace-data">(.*?)</script>', re.S)
EXTERNAL = [re.compile(pattern, re.I) for pattern in (
    r"""\b(?:src|href)\s*=\s*["']?\s*(?:https?:)?//""", r"<script[^>]*\bsrc\s*=", r"<link\b",
    r"url\(\s*['\"]?\s*(?:https?:)?//", r"@import")]
NEW_KEYS = ["sampling", "samples", "swapFiles", "maps", "sizes", "stackDepth", "stacks", "sites",
            "leakSites", "temporary"]
# Charts the fixture fills, and the least share of their box that must be drawn on.
CHART_INK = {"memory-chart": 0.08, "pool-maps": 0.15, "size-histograms": 0.03, "swap-chart": 0.08}
WINDOW_WIDTH = 1280


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def write_json(path, value):
    with open(path, "w", encoding="utf-8") as file:
        json.dump(value, file)


def make_page(qor_view, trace, work, name):
    prefix = os.path.join(work, name)
    write_json(prefix + ".json", trace)
    subprocess.run([sys.executable, qor_view, prefix], check=True, stdout=subprocess.DEVNULL)
    with open(prefix + ".html", encoding="utf-8") as file:
        return prefix + ".html", file.read()


def embedded(page):
    match = DATA.search(page)
    if not match:
        fail("the page holds no trace-data element")
    return json.loads(match.group(1))


def check_embeds(page, trace):
    data = embedded(page)
    for key, value in trace.items():
        if data.get(key) != value:
            fail("the embedded trace differs from the trace at key %r" % key)
    if set(data) - set(trace) - {"symbols"}:
        fail("the page adds keys to the trace: %s" % sorted(set(data) - set(trace)))
    for pattern in EXTERNAL:
        if pattern.search(page):
            fail("the page refers to something outside it: %s" % pattern.search(page).group(0))


def main_offset(program):
    """The offset of main in the program, where addr2line looks it up."""
    symbols = subprocess.run(["nm", "--defined-only", program], capture_output=True, text=True,
                             check=True).stdout
    match = re.search(r"^([0-9a-f]+) T main$", symbols, re.M)
    if not match:
        fail("no symbol main in %s" % program)
    return int(match.group(1), 16)


def has_line_table(program):
    """False in a build without debug information (CMAKE_BUILD_TYPE=Release)."""
    sections = subprocess.run(["readelf", "-S", "-W", program], capture_output=True, text=True,
                              check=True).stdout
    return ".debug_line" in sections


def check_symbols_and_hostile_names(qor_view, trace, work, program):
    """A frame of the traced program in a position-independent build names main and its file and
    line (its offset is looked up, not its run-time address); a pool name that closes the script
    element, or holds the template's markers, comes back as it was."""
    trace = json.loads(json.dumps(trace))
    hostile = "</script><script>document.body.dataset.error='injected'</script>/*DATA*/"
    trace["pools"][0]["name"] = hostile
    offset = main_offset(program) + 4
    trace["stacks"].append({"id": 99, "frames": [{"address": hex(0x555555554000 + offset),
                                                  "module": program, "offset": hex(offset),
                                                  "symbol": "main"}]})
    _, page = make_page(qor_view, trace, work, "symbols")
    data = embedded(page)
    if data["pools"][0]["name"] != hostile:
        fail("a pool name with markup did not survive embedding")
    named = data.get("symbols", {}).get(program, {}).get(hex(offset))
    if not named or named[0] != "main":
        fail("the program's frame was named %r, not main" % (named,))
    if has_line_table(program) and "TracedProgram.cpp:" not in named[1]:
        fail("the program's frame has no line in TracedProgram.cpp: %r" % (named,))


def test_embeds(qor_view, fixture, work, program):
    with open(fixture, encoding="utf-8") as file:
        trace = json.load(file)
    _, page = make_page(qor_view, trace, work, "fixture")
    check_embeds(page, trace)
    check_symbols_and_hostile_names(qor_view, trace, work, program)
    print("ViewEmbedsTrace: passed")


def chromium(arguments):
    """Runs headless Chromium in a fresh profile. The suite may run with a malloc override
    preloaded; the browser is not what is under test, so it runs without it."""
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    with tempfile.TemporaryDirectory() as profile:
        command = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                   "--no-first-run", "--disable-background-networking",
                   "--disable-component-update", "--disable-sync", "--hide-scrollbars",
                   "--user-data-dir=" + profile] + arguments
        return subprocess.run(command, capture_output=True, text=True, timeout=120,
                              env=environment, check=False).stdout


def body_data(page_path, height):
    """The body's data-* attributes once the page's script has run."""
    dom = chromium(["--window-size=%d,%d" % (WINDOW_WIDTH, height), "--virtual-time-budget=5000",
                    "--dump-dom", "file://" + page_path])
    body = re.search(r"<body([^>]*)>", dom)
    if not body:
        fail("Chromium returned no document for %s" % page_path)
    return {name: html.unescape(value)
            for name, value in re.findall(r'data-([\w-]+)="([^"]*)"', body.group(1))}


def check_rendered(page_path):
    data = body_data(page_path, 1000)
    if "error" in data or data.get("rendered") != "ok":
        fail("%s did not render: %s" % (os.path.basename(page_path), data.get("error", data)))
    return data


def check_screenshot(page_path, data, work):
    height = int(data["height"])
    shot = os.path.join(work, "fixture.png")
    chromium(["--window-size=%d,%d" % (WINDOW_WIDTH, height), "--virtual-time-budget=5000",
              "--screenshot=" + shot, "file://" + page_path])
    image = png_pixels.read_png(shot)
    rects = json.loads(data["rects"])
    for section, least in CHART_INK.items():
        if section not in rects:
            fail("no chart drawn in #%s" % section)
        box = rects[section]
        share = png_pixels.inked_share(image, (box["x"], box["y"], box["width"], box["height"]),
                                       (255, 255, 255))
        print("%s: %.0f%% of its box drawn" % (section, 100 * share))
        if share < least:
            fail("#%s is nearly blank in the screenshot (%.1f%% drawn)" % (section, 100 * share))


# Run after the page's script: reads each flame graph's bars as laid out (shares of the graph's
# width), clicks the bar named by the test in the peak graph, then that graph's root, and leaves
# the three states in body[data-flames].
FLAME_PROBE = """<script>
const probeBars = () => Object.fromEntries([...document.querySelectorAll(".flame")].map((graph) => {
  const box = graph.getBoundingClientRect();
  return [graph.id, [...graph.children].map((bar) => {
    const r = bar.getBoundingClientRect();
    return { name: bar.dataset.name, value: Number(bar.dataset.value), depth: Number(bar.dataset.depth),
             title: bar.title, left: (r.left - box.left) / box.width, width: r.width / box.width,
             bottom: box.bottom - r.bottom };
  })];
}));
const probeClick = (name) => [...document.querySelectorAll("#flame-peak > div")].find((bar) => bar.dataset.name === name).click();
const probeStates = { initial: probeBars() };
probeClick(%s); probeStates.zoomed = probeBars();
probeClick("all stacks"); probeStates.back = probeBars();
document.body.dataset.flames = JSON.stringify(probeStates);
</script>
"""
ROW = 18  # a flame bar's height in CSS pixels
SHARE_SLACK = 0.002  # a bar's width against its share: a pixel or two of rounding at 1280 pixels


def probed(page_path, probe, argument, key):
    """What `probe` (a script given `argument` as JSON) left in the body's data-`key` once a copy of
    the page with the probe at its end was rendered."""
    with open(page_path, encoding="utf-8") as file:
        page = file.read()
    copy = page_path[:-5] + "-" + key + ".html"
    with open(copy, "w", encoding="utf-8") as file:
        file.write(page.replace("</body>", probe % json.dumps(argument) + "</body>"))
    data = check_rendered(copy)
    if key not in data:
        fail("the %s probe did not run: %s" % (key, data))
    return json.loads(data[key])


def flame_states(page_path, zoom_to):
    """The flame graphs' bars as drawn, zoomed to the bar named zoom_to and back."""
    return probed(page_path, FLAME_PROBE, zoom_to, "flames")


def bar_named(bars, words, graph):
    """The one bar whose name holds every word."""
    found = [bar for bar in bars if all(word in bar["name"] for word in words)]
    if len(found) != 1:
        fail("%s: %d bars named %s, not one" % (graph, len(found), words))
    return found[0]


def check_flame_shape(bars, graph):
    """The root spans the graph at the bottom; every other bar stands on a bar one row down whose
    span holds its own, and siblings do not overlap."""
    root = [bar for bar in bars if bar["depth"] == 0]
    if len(root) != 1 or abs(root[0]["width"] - 1) > SHARE_SLACK or root[0]["bottom"] > 1:
        fail("%s: the root bar does not span the bottom of the graph: %s" % (graph, root))
    for bar in bars:
        if abs(bar["bottom"] - bar["depth"] * ROW) > 1:
            fail("%s: %s is drawn %.0f px up, not on row %d" % (graph, bar["name"], bar["bottom"],
                                                                bar["depth"]))
        if bar["depth"] and not any(
                below["depth"] == bar["depth"] - 1 and below["left"] - SHARE_SLACK <= bar["left"]
                and bar["left"] + bar["width"] <= below["left"] + below["width"] + SHARE_SLACK
                for below in bars):
            fail("%s: %s stands on no caller's bar" % (graph, bar["name"]))
    for row in {bar["depth"] for bar in bars}:
        spans = sorted((bar["left"], bar["left"] + bar["width"]) for bar in bars
                       if bar["depth"] == row)
        if any(right > left + SHARE_SLACK for (_, right), (left, _) in zip(spans, spans[1:])):
            fail("%s: bars overlap on row %d: %s" % (graph, row, spans))


def check_flame(bars, rows, stacks, graph, unit):
    """The graph of rows [stack id, value]: the root weighs them all, and the largest stack's own
    frame (frame 0) is drawn as high as the stack is deep, as wide as its share of the whole."""
    check_flame_shape(bars, graph)
    total = sum(value for _, value in rows)
    root = bar_named(bars, ["all stacks"], graph)
    if root["value"] != total:
        fail("%s: the root weighs %d, the sites %d" % (graph, root["value"], total))
    stack, value = max(rows, key=lambda row: row[1])
    frames = stacks[stack]["frames"]
    top = bar_named(bars, [frames[0]["symbol"]], graph)
    share = value / total
    if top["value"] != value or top["depth"] != len(frames) or abs(top["width"] - share) > SHARE_SLACK:
        fail("%s: the largest site's frame is %s, not %d %s at depth %d, %.4f of the width" % (
            graph, top, value, unit, len(frames), share))
    if "%.1f %%" % (100 * share) not in top["title"] or top["name"] not in top["title"]:
        fail("%s: the title %r does not give the frame and its share" % (graph, top["title"]))


def check_flames(page_path, trace):
    """Both graphs drawn from the fixture's sites, frames shared by two stacks drawn once for
    both, and a zoom to that shared frame that spreads its callees over the width and back."""
    stacks = {stack["id"]: stack for stack in trace["stacks"]}
    shared = stacks[1]["frames"][1]["address"]  # stacks 1 and 5 share their two outer frames
    states = flame_states(page_path, "(no symbol) " + shared)
    peak = [[stack, value] for stack, value, _ in trace["sites"]["peak"]]
    counts = [[stack, count] for stack, _, count in trace["sites"]["allocations"]]
    for graph, rows, unit in (("flame-peak", peak, "bytes"), ("flame-allocations", counts,
                                                               "allocations")):
        check_flame(states["initial"][graph], rows, stacks, graph, unit)
        caller = bar_named(states["initial"][graph], [shared], graph)
        if caller["value"] != sum(value for stack, value in rows if stack in (1, 5)):
            fail("%s: the frame both stacks share weighs %d, not their sum" % (graph,
                                                                                caller["value"]))
    zoomed = states["zoomed"]["flame-peak"]
    check_flame_shape(zoomed, "zoomed flame-peak")
    names = {bar["name"] for bar in zoomed}
    if any(word in name for name in names for word in ("proto_packet_new", "Cache", "Buffer")):
        fail("the zoomed graph still shows other stacks: %s" % sorted(names))
    inside = bytes_of(trace, 1) + bytes_of(trace, 5)
    for stack, word in ((1, "Session"), (5, "Logger")):  # demangled or not, their class
        bar = bar_named(zoomed, [word], "zoomed flame-peak")
        if abs(bar["width"] - bytes_of(trace, stack) / inside) > SHARE_SLACK:
            fail("zoomed: %s spans %.4f of the width, not its share of the zoomed frame" % (
                bar["name"], bar["width"]))
    if states["back"] != states["initial"] or states["zoomed"]["flame-allocations"] != states[
            "initial"]["flame-allocations"]:
        fail("a click on the root did not bring back the whole graph, or the zoom moved the other")


def bytes_of(trace, stack):
    return next(value for site, value, _ in trace["sites"]["peak"] if site == stack)


# Run after the page's script: the rows of every filtered part and the flame graphs' roots and
# frames, at each of the filters the test names, left in body[data-filtered].
FILTER_PROBE = """<script>
const probeParts = () => Object.fromEntries([...document.querySelectorAll(".part")].map((box) => [box.dataset.title, {
  rows: [...box.querySelectorAll("tbody tr:not(.stack)")].map((tr) => [...tr.cells].map((td) => td.textContent)),
  notes: [...box.querySelectorAll("p")].map((p) => p.textContent) }]));
const probeFlames = () => Object.fromEntries([...document.querySelectorAll(".flame")].map((graph) => [graph.id,
  [...graph.children].map((bar) => [bar.dataset.name, Number(bar.dataset.value), Number(bar.dataset.depth)])]));
const probeFilter = ([pool, words]) => {
  const select = document.getElementById("filter-pool"), input = document.getElementById("filter-words");
  select.value = pool; select.dispatchEvent(new Event("change"));
  input.value = words; input.dispatchEvent(new Event("input"));
  return { parts: probeParts(), flames: probeFlames(),
           total: (document.getElementById("temporary-total") || {}).textContent };
};
document.body.dataset.filtered = JSON.stringify(%s.map(probeFilter));
</script>
"""
TEMPORARY = "Temporary allocations by call site"
SITE_PARTS = {"Live at the peak, by call site": "peak", "Leaks at exit, by call site": "exit",
              "Allocations by call site": "allocations", TEMPORARY: "temporary"}
POOL_ONLY = "Filtered by call site only"
NO_MATCH = "Nothing here matches the filter."


def filter_states(page_path, filters):
    """The page's parts and flame graphs under each filter [pool id or "", words], in turn."""
    return probed(page_path, FILTER_PROBE, filters, "filtered")


def expected_temporary(trace, stacks):
    """The temporary table's first three cells for the sites of `stacks`, as the page writes them."""
    allocations = {site: count for site, _, count in trace["sites"]["allocations"]}
    def share(count, total):
        value = 100 * count / total
        return ("%.2f %%" if value < 10 else "%.1f %%") % value
    def size(value):  # formatBytes (util.js) for the sizes the fixture and the program have
        return "%d B" % value if value < 1024 else "%.1f KiB" % (value / 1024) if value < 102400 \
            else "%d KiB" % round(value / 1024)
    return [["{:,}".format(count), share(count, allocations[site]), size(value)]
            for site, value, count in sorted(trace["sites"]["temporary"], key=lambda row: -row[2])
            if site in stacks]


def check_temporary(state, trace, stacks, graph):
    rows = [row[:3] for row in state["parts"][TEMPORARY]["rows"]]
    if rows != expected_temporary(trace, stacks):
        fail("%s: the temporary table reads %s, not %s" % (graph, rows,
                                                           expected_temporary(trace, stacks)))
    total = trace["temporary"]
    if not state["total"] or not state["total"].startswith(
            "{:,} temporary allocations".format(total["allocations"])):
        fail("%s: the total of temporary allocations reads %r" % (graph, state["total"]))


def site_rows(trace, key, stacks):
    return [row for row in trace["sites"][key] if row[0] in stacks]


def check_narrowed(state, trace, stacks, pool, what):
    """Each site table and flame graph holds the rows of `stacks` in `pool` (None: any) alone, as do
    the leaks by call site; the leaks by pool those of `pool`. A report whose stacks carry no pool
    narrows the site tables and graphs by `stacks` only, and says so while a pool is chosen."""
    by_pool = all("pool" in stack for stack in trace["stacks"])
    kept = {stack["id"] for stack in trace["stacks"] if stack["id"] in stacks and (
        pool is None or not by_pool or stack["pool"] == pool)}
    for title, key in SITE_PARTS.items():
        part = state["parts"][title]
        expected = site_rows(trace, key, kept)
        if len(part["rows"]) != len(expected) or (not expected and NO_MATCH not in part["notes"]):
            fail("%s: %s shows %d rows, not %d" % (what, title, len(part["rows"]), len(expected)))
        if (pool is not None and not by_pool) != any(POOL_ONLY in note for note in part["notes"]):
            fail("%s: %s says %s" % (what, title, part["notes"]))
    names = {p["id"]: p["name"] for p in trace["pools"]}
    leaks = [s for s in trace["leakSites"] if s["stack"] in stacks and pool in (None, s["pool"])]
    shown = state["parts"]["Leaks by call site, pool and size"]["rows"]
    if sorted(row[3] for row in shown) != sorted(names[s["pool"]] for s in leaks):
        fail("%s: the leaks by call site are %s, not those of %s" % (what, shown, leaks))
    by_pool_rows = state["parts"]["Leaks by pool and size"]["rows"]
    if sorted(row[0] for row in by_pool_rows) != sorted(
            l["pool"] for l in trace["leaks"] if pool is None or l["pool"] == names[pool]):
        fail("%s: the leaks by pool are %s" % (what, by_pool_rows))
    for graph, key, column in (("flame-peak", "peak", 1), ("flame-allocations", "allocations", 2)):
        rows = site_rows(trace, key, kept)
        roots = [bar[1] for bar in state["flames"].get(graph, []) if bar[2] == 0]
        if roots != ([sum(row[column] for row in rows)] if rows else []):
            fail("%s: %s's root weighs %s, not the rows of stacks %s" % (what, graph, roots, kept))


def check_filter(page_path, trace, legacy_page_path, legacy_trace):
    """The fixture's page under no filter, the words of one class (each in one stack: 5 is the
    Logger's, 1 the Session's), a pool (2, whose stacks are 1 and 3), both, a pool and words that
    share no stack, and cleared; then a pool on the fixture whose stacks carry no pool."""
    every = {stack["id"] for stack in trace["stacks"]}
    cases = [["", ""], ["", "logger"], ["2", ""], ["2", "Session"], ["3", "Session"], ["", ""]]
    states = filter_states(page_path, cases)
    check_temporary(states[0], trace, every, "fixture")
    check_temporary(states[1], trace, {5}, "filtered by logger")
    for state, stacks, pool, what in zip(states, (every, {5}, every, {1}, {1}, every),
                                         (None, None, 2, 2, 3, None), map(str, cases)):
        check_narrowed(state, trace, stacks, pool, what)
    if states[-1] != states[0]:
        fail("clearing the filter did not bring back every row and bar")
    legacy = filter_states(legacy_page_path, [["2", ""]])[0]
    check_narrowed(legacy, legacy_trace, every, 2, "stacks without pools, pool 2")


def check_traced_temporary(qor_view, work, program, tracer_dir):
    """The traced program's churning site: its 7 temporary allocations of 40 bytes are all of its
    allocations; the site that keeps its blocks has none."""
    page_path, trace = traced_page(qor_view, work, program, tracer_dir, QOR_TRACED_TEMPORARY="1",
                                   QORSysTracerStackDepth="1")
    state = filter_states(page_path, [["", ""]])[0]
    rows = [row[:3] for row in state["parts"][TEMPORARY]["rows"]]
    if rows != [["7", "100.0 %", "280 B"]]:
        fail("traced: the temporary table reads %s, not one site of 7" % rows)
    if not (state["total"] or "").startswith("7 temporary allocations (280 B)"):
        fail("traced: the total reads %r" % state["total"])


def traced_page(qor_view, work, program, tracer_dir, **mode):
    """The traced program's report, sampled at every allocation (so that its peak map comes late,
    with several blocks live), and its page; `mode`: the program's variables (TracedProgram.cpp)."""
    prefix = os.path.join(work, "traced" + "".join("-" + name for name in mode))
    env = dict(os.environ, QORSysAllocatorInstrum="QORSysTracer", LD_LIBRARY_PATH=tracer_dir,
               QORSysTracerOutput=prefix, QORSysTracerSample="1", **mode)
    subprocess.run([program], env=env, capture_output=True, check=True)
    subprocess.run([sys.executable, qor_view, prefix], check=True, stdout=subprocess.DEVNULL)
    with open(prefix + ".json", encoding="utf-8") as file:
        return prefix + ".html", json.load(file)


def check_traced_flames(qor_view, work, program, tracer_dir):
    """The program's own graphs: the peak graph's root weighs what the samples saw live at the
    peak map's moment, the allocation graph's root every allocation the pools counted, and, every
    request being made in main, main's bar spans both graphs."""
    page_path, trace = traced_page(qor_view, work, program, tracer_dir)
    states = flame_states(page_path, "main")
    moment = next(m["t"] for m in trace["maps"] if m["moment"] == "peak")
    live = sum(row[1] for sample in trace["samples"] if sample["t"] == moment
               for row in sample["pools"])
    allocations = sum(pool["allocations"] for pool in trace["pools"])
    for graph, total in (("flame-peak", live), ("flame-allocations", allocations)):
        bars = states["initial"][graph]
        check_flame_shape(bars, graph)
        root = bar_named(bars, ["all stacks"], graph)
        main = [bar for bar in bars if bar["name"] == "main"]
        if not live or root["value"] != total:
            fail("traced %s: the root weighs %d, the report %d" % (graph, root["value"], total))
        if has_line_table(program) and (len(main) != 1 or abs(main[0]["width"] - 1) > SHARE_SLACK):
            fail("traced %s: main is not one bar across the graph: %s" % (graph, main))
    zoomed = [bar for bar in states["zoomed"]["flame-peak"] if bar["name"] == "main"]
    if len(zoomed) != 1 or abs(zoomed[0]["width"] - 1) > SHARE_SLACK or states["back"] != states[
            "initial"]:
        fail("traced: the zoom to main and back drew %s" % states)


def test_renders(qor_view, fixture, work, program, tracer_dir):
    if shutil.which("chromium") is None:
        message = "chromium is not installed (make deps installs it)"
        if os.environ.get("CI"):
            fail(message)
        print("SKIP: " + message)
        sys.exit(SKIP)
    with open(fixture, encoding="utf-8") as file:
        trace = json.load(file)
    page_path, _ = make_page(qor_view, trace, work, "fixture")
    data = check_rendered(page_path)
    print("rendered in %s ms" % data.get("render-ms"))
    old = {key: value for key, value in trace.items() if key not in NEW_KEYS}
    check_rendered(make_page(qor_view, old, work, "old-trace")[0])
    check_screenshot(page_path, data, work)
    check_flames(page_path, trace)
    legacy = dict(trace, stacks=[{k: v for k, v in stack.items() if k != "pool"}
                                 for stack in trace["stacks"]])
    check_filter(page_path, trace, make_page(qor_view, legacy, work, "stacks-without-pools")[0],
                 legacy)
    check_traced_flames(qor_view, work, program, tracer_dir)
    check_traced_temporary(qor_view, work, program, tracer_dir)
    print("ViewRendersInBrowser: passed")


def main(argv):
    mode, qor_view, fixture, work = argv[:4]
    os.makedirs(work, exist_ok=True)
    if mode == "embeds":
        test_embeds(qor_view, fixture, work, argv[4])
    else:
        test_renders(qor_view, fixture, work, *argv[4:6])


if __name__ == "__main__":
    main(sys.argv[1:])
