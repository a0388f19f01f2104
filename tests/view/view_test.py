#!/usr/bin/env python3
"""Checks the page qor-view writes from a trace, as ctest entries.

  view_test.py embeds  <qor-view> <fixture.json> <work dir> <program with debug info>
      ViewEmbedsTrace: the page embeds the trace unchanged (plus "symbols"), loads nothing from
      the network, survives hostile pool names, and names a frame of a real program by function
      and line.
  view_test.py renders <qor-view> <fixture.json> <work dir>
      ViewRendersInBrowser: headless Chromium renders the page without a script error, also for
      a trace without the sampling keys, and every chart's box in a screenshot holds a drawing.
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
            "leakSites"]
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


def test_renders(qor_view, fixture, work):
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
    print("ViewRendersInBrowser: passed")


def main(argv):
    mode, qor_view, fixture, work = argv[:4]
    os.makedirs(work, exist_ok=True)
    if mode == "embeds":
        test_embeds(qor_view, fixture, work, argv[4])
    else:
        test_renders(qor_view, fixture, work)


if __name__ == "__main__":
    main(sys.argv[1:])
