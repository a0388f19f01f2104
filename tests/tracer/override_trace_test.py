"""Programs of the machine, unchanged, traced under the malloc override through qor-trace.

  override_trace_test.py python <qor-trace>
      Python on an allocation-heavy script: its report has memory over time, the maps at the peak
      and at exit, and the live bytes by call site at the peak; its page draws them (headless
      Chromium; without it the drawing is not checked locally, and is a failure under CI).
  override_trace_test.py sampled <qor-trace>
      The same script with the hooks seeing a sample of the requests (--sample): the heap engine's
      row in every sample, and call sites whose estimated live bytes at the peak come within a
      quarter of the bytes in use then (engine and seen blocks together).
  override_trace_test.py pipeline <qor-trace>
      A shell pipeline: one report per process, each a JSON document (coreutils close stderr
      before the tracer writes), listed largest first in index.json and on qor-trace's output.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "view"))
from view_test import check_rendered, chromium, embedded, fail  # noqa: E402

# Strings and lists beyond 512 bytes come from malloc, not from the interpreter's own allocator;
# a table of them grows and is dropped in halves, so the peak is not the end.
SCRIPT = """
table = {}
for i in range(60000):
    table[i] = "x" * (600 + i % 3000)
    if i % 20000 == 19999:
        for key in list(table)[: len(table) // 2]:
            del table[key]
"""
SCRIPTS = re.compile(r"<(script|style)\b.*?</\1>", re.S)
NOT_RECORDED = ["Not recorded", "not recorded", "nothing was live at the peak"]


def trace(qor_trace, work, command, options=(), env=None):
    """qor-trace's printed lines and the run's index (and its stderr when `env` is given)."""
    output = os.path.join(work, "run")
    done = subprocess.run([sys.executable, qor_trace, "-o", output] + list(options) + ["--"] +
                          command,
                          capture_output=True, text=True, check=False,
                          env=dict(os.environ, **env) if env else None)
    if done.returncode != 0:
        fail("qor-trace %s: status %d\n%s" % (command, done.returncode, done.stderr[-2000:]))
    with open(os.path.join(output, "index.json"), encoding="utf-8") as file:
        index = json.load(file)
    if env:
        return output, done.stdout.splitlines(), index, done.stderr
    return output, done.stdout.splitlines(), index


def check_over_time(report, maps=True):
    samples = report.get("samples", [])
    if len(samples) < 3 or not all(row[3] > 0 for s in samples[1:] for row in s["pools"]):
        fail("too few samples, or a sample without the pools' bytes held: %s" % samples[:3])
    moments = {maps["moment"]: maps for maps in report.get("maps", [])}
    for moment in ("peak", "end") if maps else ():
        chunks = [c for part in moments.get(moment, {}).get("pools", []) for c in part["chunks"]]
        if not chunks:
            fail("no %s map of the pool behind malloc" % moment)
    if maps and moments["peak"]["heldBytes"] * 17 < max(sum(r[3] for r in s["pools"])
                                                         for s in samples) * 16:
        fail("the peak maps are not within 1/16 of the highest bytes held")
    peak = report["sites"]["peak"]
    stacks = {stack["id"]: stack for stack in report["stacks"]}
    if not peak or peak[0][1] < 1 << 20 or not stacks[peak[0][0]]["frames"]:
        fail("no call site holds the live bytes at the peak: %s" % peak[:3])


def check_page(page_path, says=()):
    if shutil.which("chromium") is None:
        message = "chromium is not installed (make deps installs it)"
        if os.environ.get("CI"):
            fail(message)
        print("not drawn: " + message)
        return
    check_rendered(page_path)
    dom = chromium(["--virtual-time-budget=5000", "--dump-dom", "file://" + page_path])
    shown = SCRIPTS.sub("", dom)  # the page's own script holds these texts too
    missing = [text for text in NOT_RECORDED if text in shown]
    if missing:
        fail("the page says %s" % missing)
    absent = [text for text in says if text not in shown]
    if absent:
        fail("the page does not say %s" % absent)


def test_python(qor_trace, work):
    output, _, index = trace(qor_trace, work, [sys.executable, "-c", SCRIPT])
    largest = index["processes"][0]
    page_path = os.path.join(output, largest["page"])
    with open(page_path, encoding="utf-8") as page:
        report = embedded(page.read())
    if "-c" not in report["command"]:
        fail("the largest process is not the script: %s" % report["command"])
    check_over_time(report)
    check_page(page_path)
    print("python: %d samples, peak held %d bytes, %d call sites at the peak" % (
        len(report["samples"]), largest["peakHeldBytes"], len(report["sites"]["peak"])))


def test_sampled(qor_trace, work):
    # A recording of the seen requests alone would replay a program that never ran: refused.
    output, _, index, errors = trace(qor_trace, work, [sys.executable, "-c", SCRIPT],
                                     ["--sample", "65536"], {"QORSysTracerRecord": "1"})
    if "QORSysTracerRecord=1 ignored" not in errors or any(
            name.endswith(".events") for name in os.listdir(output)):
        fail("a sampled run recorded its events: %s" % errors[-500:])
    page_path = os.path.join(output, index["processes"][0]["page"])
    with open(page_path, encoding="utf-8") as page:
        report = embedded(page.read())
    if report.get("sampleBytes") != 65536 or "temporary" in report:
        fail("not a sampled report: %s" % {k: report.get(k) for k in ("sampleBytes", "temporary")})
    engine = [p["id"] for p in report["pools"] if p["kind"] == "engine"]
    samples = report["samples"]
    if len(engine) != 1 or not all(any(r[0] == engine[0] for r in s["pools"]) for s in samples):
        fail("the heap engine is not in every sample: %s" % samples[:2])
    check_over_time(report, maps=False)
    # The peak sites were kept at the sample that held the most; the live bytes then, all pools.
    peak = max(samples, key=lambda s: sum(r[3] for r in s["pools"]))
    live = sum(row[1] for row in peak["pools"])
    estimated = sum(site[1] for site in report["sites"]["peak"])
    if not 0.75 * live <= estimated <= 1.25 * live:
        fail("the call sites estimate %d live bytes at the peak, %d were in use" % (estimated, live))
    check_page(page_path, ["Call sites are estimates", "heap engine"])
    print("sampled: %d samples, %d bytes estimated live at the peak, %d in use" % (
        len(samples), estimated, live))


def test_pipeline(qor_trace, work):
    output, printed, index = trace(qor_trace, work,
                                   ["sh", "-c", "seq 1 30000 | sort -r | tail -n 2"])
    processes = index["processes"]
    programs = {entry["command"].split()[0] for entry in processes}
    if not {"seq", "sort", "tail"} <= programs:
        fail("missing reports: %s" % programs)
    held = [entry["peakHeldBytes"] for entry in processes]
    if held != sorted(held, reverse=True):
        fail("not largest first: %s" % held)
    pages = [line.split()[0] for line in printed if line.startswith(output)]
    if pages != [os.path.join(output, name) for name in
                 ["index.html"] + [entry["page"] for entry in processes]]:
        fail("qor-trace printed %s" % printed)
    for page in pages[1:]:
        with open(page, encoding="utf-8") as file:
            embedded(file.read())  # every report was one JSON document
    print("pipeline: %d processes, largest %s" % (len(processes), processes[0]["command"]))


def main(argv):
    mode, qor_trace = argv[:2]
    with tempfile.TemporaryDirectory() as work:
        {"python": test_python, "sampled": test_sampled, "pipeline": test_pipeline}[mode](
            qor_trace, work)


if __name__ == "__main__":
    main(sys.argv[1:])
