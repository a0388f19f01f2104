#!/usr/bin/env python3
"""Checks the comparison page and the run's index page that qor-view writes, as ctest entries.

  pages_test.py compares <qor-view> <work dir> <traced program> <tracer dir> <its source>
                         <fixture.json>
      ViewComparesTraces: the program traced twice, the second time leaking one more block from
      one line of its own; the comparison of the two traces shows that call site, and only it,
      grown (by that block), and only its pool changed. Of the fixture's sites changed by hand,
      the largest change comes first, whichever way, and a site only in one run is matched by
      nothing.
  pages_test.py indexes <qor-view> <work dir> <fixture.json>
      ViewIndexesProcesses: a run directory of three hand-made reports gives an index page that
      lists them largest first, with their parents and commands, linked to their pages where they
      exist and to their text reports otherwise; a run's index.json is followed as written.
  pages_test.py renders <qor-view> <work dir> <fixture.json>
      PagesRenderInBrowser: both pages draw in headless Chromium without a script error (skipped,
      status 77, without Chromium, unless CI is set).
"""
import json
import os
import re
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
from view_test import SKIP, check_rendered, fail, write_json  # noqa: E402

PAGE_DATA = re.compile(r'<script type="application/json" id="page-data">(.*?)</script>', re.S)
LEAKED = ["peakBytes", "peakBlocks", "leakedBytes", "leakedBlocks"]


def page_data(qor_view, arguments):
    """The page's path and the data embedded in it."""
    done = subprocess.run([sys.executable, qor_view] + arguments, capture_output=True, text=True,
                          check=True)
    path = done.stdout.split()[2]
    with open(path, encoding="utf-8") as file:
        match = PAGE_DATA.search(file.read())
    if not match:
        fail("%s holds no page-data element" % path)
    return path, json.loads(match.group(1))


def trace_program(program, tracer_dir, prefix, leak):
    env = dict(os.environ, QORSysAllocatorInstrum="QORSysTracer", LD_LIBRARY_PATH=tracer_dir,
               QORSysTracerOutput=prefix)
    env.pop("QOR_TRACED_LEAK", None)
    if leak:
        env["QOR_TRACED_LEAK"] = "1"
    subprocess.run([program], env=env, capture_output=True, check=True)
    return prefix + ".json"


def leak_line(source):
    with open(source, encoding="utf-8") as file:
        return next(number for number, line in enumerate(file, 1) if '"QOR_TRACED_LEAK")' in line)


def test_compares(qor_view, work, program, tracer_dir, source, fixture):
    baseline = trace_program(program, tracer_dir, os.path.join(work, "baseline"), False)
    leaking = trace_program(program, tracer_dir, os.path.join(work, "leaking"), True)
    _, data = page_data(qor_view, [baseline, leaking, "-o", os.path.join(work, "compared.html")])
    if [row["change"] for row in data["sites"]] != [[0, 0, 48, 1]] or not data["unchangedSites"]:
        fail("not one site grown by one leaked block of 48 bytes: %s" % data["sites"])
    site = data["sites"][0]["key"][0]
    if "TracedProgram.cpp:" in site and not site.endswith(":%d" % leak_line(source)):
        fail("the grown site is %r, not the leaking line %d" % (site, leak_line(source)))
    if [row["key"] for row in data["pools"]] != [["Scratch", "general"]]:
        fail("pools other than Scratch changed: %s" % data["pools"])
    if data["pools"][0]["change"][2:] != [48, 1]:
        fail("Scratch did not leak one more block of 48 bytes: %s" % data["pools"][0])
    check_order(qor_view, work, fixture)
    print("ViewComparesTraces: passed (%s)" % site)


def check_order(qor_view, work, fixture):
    with open(fixture, encoding="utf-8") as file:
        trace = json.load(file)
    write_json(os.path.join(work, "fixture-before.json"), trace)
    exits = trace["sites"]["exit"]
    exits[0][1] += 100          # stack 4 grows a little
    exits[1][1] -= 2000         # stack 1 shrinks more
    exits.append([3, 64, 1])    # stack 3 leaks, in this run only
    write_json(os.path.join(work, "fixture-after.json"), trace)
    _, data = page_data(qor_view, [os.path.join(work, "fixture-before"),
                                   os.path.join(work, "fixture-after")])
    order = [(row["key"][0], row["change"][2]) for row in data["sites"]]
    # Demangled or not, the first frame names its class.
    wanted = [("Session", -2000), ("Buffer", 100), ("Cache", 64)]
    if len(order) != len(wanted) or any(name not in label or change != want
                                        for (label, change), (name, want) in zip(order, wanted)):
        fail("the changed sites come as %s" % order)


def make_run(work, fixture):
    """Three reports of one run, the smallest first on disk, the middle one with its page."""
    with open(fixture, encoding="utf-8") as file:
        trace = json.load(file)
    run = os.path.join(work, "run")
    shutil.rmtree(run, ignore_errors=True)
    os.makedirs(run)
    for pid, parent, scale, command in ((301, 100, 1, "tail -n 2"), (302, 300, 3, "sort -r"),
                                        (300, 100, 2, "sh -c seq | sort")):
        report = dict(trace, pid=pid, parentPid=parent, command=command,
                      samples=[{"t": 0, "pools": [[1, 0, 0, 4096 * scale]]}])
        write_json(os.path.join(run, "%d.json" % pid), report)
    with open(os.path.join(run, "300.html"), "w", encoding="utf-8") as file:
        file.write("a page")
    return run


def check_index(data):
    rows = [(p["pid"], p["parentPid"], p["command"], p["peakHeldBytes"], p["link"])
            for p in data["processes"]]
    wanted = [(302, 300, "sort -r", 12288, "302.txt"), (300, 100, "sh -c seq | sort", 8192,
                                                        "300.html"),
              (301, 100, "tail -n 2", 4096, "301.txt")]
    if rows != wanted:
        fail("the index lists %s, not %s" % (rows, wanted))


def test_indexes(qor_view, work, fixture):
    run = make_run(work, fixture)
    path, data = page_data(qor_view, [run])
    if path != os.path.join(run, "index.html"):
        fail("the index page was written to %s" % path)
    check_index(data)
    write_json(os.path.join(run, "index.json"), {"command": ["sh", "-c", "seq | sort"],
                                                 "status": 3, "processes": data["processes"]})
    _, data = page_data(qor_view, [os.path.join(run, "index.json")])
    if data["status"] != 3:
        fail("the run's index.json was not the one followed: %s" % data)
    check_index(data)
    print("ViewIndexesProcesses: passed")


def test_renders(qor_view, work, fixture):
    if shutil.which("chromium") is None:
        if os.environ.get("CI"):
            fail("chromium is not installed (make deps installs it)")
        print("SKIP: chromium is not installed")
        sys.exit(SKIP)
    with open(fixture, encoding="utf-8") as file:
        trace = json.load(file)
    write_json(os.path.join(work, "before.json"), trace)
    trace["sites"]["exit"][0][1] += 4096
    write_json(os.path.join(work, "after.json"), trace)
    compared, _ = page_data(qor_view, [os.path.join(work, "before"), os.path.join(work, "after")])
    index, _ = page_data(qor_view, [make_run(work, fixture)])
    for page in (compared, index):
        check_rendered(page)
    print("PagesRenderInBrowser: passed")


def main(argv):
    mode, qor_view, work = argv[:3]
    os.makedirs(work, exist_ok=True)
    tests = {"compares": test_compares, "indexes": test_indexes, "renders": test_renders}
    tests[mode](qor_view, work, *argv[3:])


if __name__ == "__main__":
    main(sys.argv[1:])
