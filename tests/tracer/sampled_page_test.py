"""The report page agrees with the pools' own statistics.

Runs the scripted program (SampledProgram.cpp) under the tracer, sampling every 64 allocations,
turns its trace into a page with qor-view, and reads the data embedded in the page: every sample
taken at an allocation count that the program also printed must hold, for each pool, exactly the
totalSize, freeSize and chunkCount that QORSysGetPoolInfo gave the program then, and for the swap
file the objects and bytes in its zone and the objects moved that its statistics gave; the end
map must cover each general pool's bytes held at the last sample, chunk by chunk.

With an interval of 1, the 5,400 samples overflow the table: what is left must be evenly
spaced at the doubled interval and still agree with the program.
The page also names the call sites of the leaks (the program's own function), counts every
request in the size histograms, and takes the peak maps within 1/16 of the highest bytes held.

Usage: sampled_page_test.py <program> <tracer dir> <qor-view> <interval in allocations>
"""
import json
import os
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "view"))
from view_test import embedded  # noqa: E402  the page's data, read as the page tests read it


def run_traced(program, tracer_dir, prefix, every):
    env = dict(os.environ, QORSysAllocatorInstrum="QORSysTracer", LD_LIBRARY_PATH=tracer_dir,
               QORSysTracerOutput=prefix, QORSysTracerSample=every, QOR_SAMPLE_EVERY=every)
    done = subprocess.run([program], env=env, capture_output=True, text=True, check=True)
    seen = {}
    for line in done.stdout.splitlines():
        count, name, *figures = line.split()
        seen[(int(count), name)] = tuple(int(figure) for figure in figures)
    return seen


def check_samples(trace, seen):
    names = {pool["id"]: pool["name"] for pool in trace["pools"]}
    compared = 0
    for sample in trace["samples"][:-1]:  # the last is taken at exit, after the program's end
        for pool, _live, _blocks, total, free, chunks in sample["pools"]:
            key = (sample["allocations"], names[pool])
            if key in seen:
                assert seen[key] == (total, free, chunks), (key, seen[key], sample)
                compared += 1
        for _file, objects, in_zone, _capacity, outs, ins in sample.get("swap", []):
            key = (sample["allocations"], "swap")
            if key in seen:
                assert seen[key] == (objects, in_zone, outs, ins), (key, seen[key], sample)
                compared += 1
    kept = {sample["allocations"] for sample in trace["samples"][:-1]}
    wanted = sum(1 for count, _name in seen if count in kept)
    assert compared == wanted and compared > 0, f"{compared} of {wanted} readings found in samples"
    moved = [row[4] for sample in trace["samples"] for row in sample.get("swap", [])]
    assert moved and moved[-1] > 0, "the swap file moved objects out, and the samples say so"
    return compared


def check_spacing(trace, asked):
    counts = [sample["allocations"] for sample in trace["samples"]]
    every = trace["sampling"]["every"]
    assert 1024 <= len(counts) <= 2048 or every == asked, (len(counts), every)
    # The first at the first allocation, the last at exit; between them, every multiple.
    steps = {b - a for a, b in zip(counts[1:-2], counts[2:-1])}
    assert steps == {every}, (steps, every)
    assert counts[1] == every, counts[:3]


def check_sizes_and_sites(trace):
    for sizes in trace["sizes"]:
        pool = next(p for p in trace["pools"] if p["id"] == sizes["pool"])
        assert sum(bucket[2] for bucket in sizes["buckets"]) == pool["allocations"], pool["name"]
    stacks = {stack["id"]: stack for stack in trace["stacks"]}
    leaked = trace["sites"]["exit"]
    assert leaked and sum(site[1] for site in leaked) == sum(p["liveBytes"] for p in trace["pools"])
    frame = stacks[leaked[0][0]]["frames"][0]
    assert os.path.basename(frame["module"]) == "QORSampledProgram", frame
    function = trace["symbols"][frame["module"]][frame["offset"]][0]
    assert function == "main" or "New(" in function, function  # New() when it is not inlined
    held = max(sum(pool[3] for pool in sample["pools"]) for sample in trace["samples"])
    peak = next(maps for maps in trace["maps"] if maps["moment"] == "peak")
    assert peak["heldBytes"] * 17 >= held * 16, (peak["heldBytes"], held)


def check_every_block_tracked(trace):
    """The live-block table grows past its first 4,096 slots while 4,300 blocks are live: every
    block stays tracked and every release finds its block."""
    assert trace["untrackedBlocks"] == 0 and trace["untrackedReleases"] == 0, trace
    live = sum(pool["liveBlocks"] for pool in trace["pools"])
    assert live == sum(site[2] for site in trace["sites"]["exit"]), live


def check_end_map(trace):
    last = {pool[0]: pool for pool in trace["samples"][-1]["pools"]}
    end = next(maps for maps in trace["maps"] if maps["moment"] == "end")
    for part in end["pools"]:
        if part["kind"] != "general":
            continue
        chunks = part["chunks"]
        assert sum(chunk["bytes"] for chunk in chunks) == last[part["pool"]][3]
        for chunk in chunks:
            stretches = chunk.get("runs", [])
            assert not stretches or sum(run[2] for run in stretches) == chunk["bytes"], chunk


def main():
    program, tracer_dir, viewer, every = sys.argv[1:5]
    with tempfile.TemporaryDirectory() as work:
        prefix = os.path.join(work, "trace")
        seen = run_traced(program, tracer_dir, prefix, every)
        subprocess.run([sys.executable, viewer, prefix, "-o", prefix + ".html"], check=True,
                       stdout=subprocess.DEVNULL)
        with open(prefix + ".html", encoding="utf-8") as page:
            trace = embedded(page.read())
        compared = check_samples(trace, seen)
        check_spacing(trace, int(every))
        check_sizes_and_sites(trace)
        check_every_block_tracked(trace)
        check_end_map(trace)
    print(f"{compared} pool readings agree with the page")


if __name__ == "__main__":
    main()
