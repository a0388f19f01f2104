#!/usr/bin/env python3
"""Keeps the benchmark figures quoted in the prose docs equal to docs/BENCHMARKS.md.

Usage: doc_figures.py update|check <docs dir>
- update: reads the tables of <docs dir>/BENCHMARKS.md into <docs dir>/benchmarks.json and
  rewrites every marked figure of the prose docs from it (tools/bench_report.py calls it after
  each run).
- check: fails when benchmarks.json differs from BENCHMARKS.md's tables, when a marked figure
  differs from benchmarks.json or names none of its figures, or when a prose doc holds an
  unmarked figure that looks like a benchmark's (a time, an instruction count, a throughput or a
  ratio to glibc).

The prose docs are the other *.md files of <docs dir> and the READMEs beside it. A figure is
marked by the comment just before it, which names a table, a row and a column of
benchmarks.json:  <!--fig churn-16/qor-arg4/ns-->10.6 ns.  Rendered, only the figure shows.
Invariant: every figure in benchmarks.json is the first number of its cell in BENCHMARKS.md (or
"n/a"), as printed there, so a doc quotes it byte for byte.
"""
import json
import os
import re
import sys

FIGURE = r"n/a|[+-]?\d[\d,]*(?:\.\d+)?"
MARKER = re.compile(r"<!--fig ([^/>]+)/([^/>]+)/([^/>]+)-->(" + FIGURE + ")?")
# Columns that name a row; the other columns hold figures, under these keys.
KEY_COLUMNS = {"workload", "route", "build", "live blocks", "objects", "mode", "policy"}
COLUMNS = {
    "median ns/pair": "ns", "ns/pair": "ns", "instructions/pair": "instructions",
    "ratio to glibc": "x", "x glibc": "x", "throughput x glibc": "x", "time x glibc": "x",
    "RSS after 3e6 (MB)": "rss-3e6", "RSS after 3e7 (MB)": "rss-3e7", "growth 3e6->3e7": "growth",
    "peak workload RSS / requested": "peak-rss", "peak RSS / requested": "rss-per-requested",
    "operations/s (M)": "mops", "peak RSS (MB)": "rss", "RSS x glibc": "rss-x",
    "releases of another thread's block": "remote", "seconds": "seconds",
    "swap-out MB/s": "out", "stdio write MB/s": "stdio-out", "swap-in MB/s": "in",
    "stdio read MB/s": "stdio-in", "CPU s": "cpu-s", "swap-ins per visit": "swap-ins",
    "us per swap-in": "us-per-swap-in", "I/O calls per page": "io-per-page",
    "malloc calls per page": "malloc-per-page", "peak RSS MiB": "rss-mib",
    "checked instructions/pair": "checked", "objects in": "objects-in",
    "objects out": "objects-out", "in per visit": "in-per-visit", "out per visit": "out-per-visit",
    "pages read": "pages-read", "pages written": "pages-written", "MiB read": "mib-read",
    "MiB written": "mib-written", "MiB written, changed only": "mib-written-changed",
}
# A figure with one of these units, or a ratio like 1.93x, is a benchmark's unless marked.
STRAY = re.compile(r"(?<![\w.,])\d[\d,]*(?:(?:\.\d+)?\s*(?:ns|instructions|MB/s|M operations/s)\b"
                   r"|\.\d+(?:x\b|×))")
READMES = ["../README.md", "../QORSysAllocator/README.md"]


def cells(line):
    return [cell.strip() for cell in line.strip().strip("|").split("|")]


def figure_of(cell):
    match = re.match(FIGURE, cell)
    return match.group(0) if match else "n/a"


def column_keys(headers):
    """A column "ratio" compares the two before it: its key is the first one's, plus "-x"."""
    keys = []
    for header in headers:
        if header != "ratio" and header not in COLUMNS:
            raise ValueError(f"BENCHMARKS.md: column {header!r} has no key in doc_figures.py")
        keys.append(keys[-2] + "-x" if header == "ratio" else COLUMNS[header])
    return keys


def parse_report(text):
    """{table: {"columns": {key: header}, "rows": {row: {key: figure}}}} from BENCHMARKS.md's
    tables whose first column names a row; a table is named after its heading."""
    tables, heading, lines = {}, "", text.splitlines()
    for number, line in enumerate(lines):
        if line.startswith("#"):
            heading = re.sub(r"\s+", "-", line.lstrip("#").strip().lower())
        elif line.startswith("|---") and number > 0:
            headers = cells(lines[number - 1])
            width = next(i for i, h in enumerate(headers + [""]) if h not in KEY_COLUMNS)
            if width == 0:
                continue
            keys = column_keys(headers[width:])
            table = tables.setdefault(heading, {"columns": {}, "rows": {}})
            table["columns"].update(zip(keys, headers[width:]))
            for row in lines[number + 1:]:
                if not row.startswith("|"):
                    break
                values = cells(row)
                name = " ".join(values[:width])
                if name in table["rows"]:
                    raise ValueError(f"BENCHMARKS.md: row {name!r} twice in {heading}")
                table["rows"][name] = dict(zip(keys, map(figure_of, values[width:])))
    return tables


def lookup(tables, table, row, column):
    return tables.get(table, {}).get("rows", {}).get(row, {}).get(column)


def prose_docs(docs):
    names = sorted(n for n in os.listdir(docs) if n.endswith(".md") and n != "BENCHMARKS.md")
    paths = [os.path.join(docs, n) for n in names] + [os.path.join(docs, r) for r in READMES]
    return [os.path.normpath(p) for p in paths if os.path.exists(p)]


def marker_problems(path, text, tables):
    problems = []
    for match in MARKER.finditer(text):
        want = lookup(tables, *match.group(1, 2, 3))
        where = f"{path}:{text.count(chr(10), 0, match.start()) + 1}"
        if want is None:
            problems.append(f"{where}: {match.group(0)} names no figure of benchmarks.json")
        elif match.group(4) != want:
            problems.append(f"{where}: {match.group(0)} should read {want}")
    return problems


def stray_problems(path, text):
    # Marked figures become filler of the same length, so that the line numbers stay.
    unmarked = MARKER.sub(lambda match: "#" * len(match.group(0)), text)
    return [f"{path}:{unmarked.count(chr(10), 0, match.start()) + 1}: unmarked figure "
            f"{match.group(0)!r}: mark it (<!--fig table/row/column-->) or quote it without a unit"
            for match in STRAY.finditer(unmarked)]


def rewrite(text, tables):
    """Every marked figure from `tables`; a marker with no figure after it gets one."""
    def figure(match):
        want = lookup(tables, *match.group(1, 2, 3))
        if want is None:
            raise ValueError(f"{match.group(0)} names no figure of benchmarks.json")
        return match.group(0)[: len(match.group(0)) - len(match.group(4) or "")] + want
    return MARKER.sub(figure, text)


def read(path):
    with open(path) as stream:
        return stream.read()


def update(docs):
    tables = parse_report(read(os.path.join(docs, "BENCHMARKS.md")))
    with open(os.path.join(docs, "benchmarks.json"), "w") as stream:
        json.dump({"tables": tables}, stream, indent=1)
        stream.write("\n")
    # Every doc is rewritten in memory first, so that a marker naming no figure changes none.
    texts = {path: read(path) for path in prose_docs(docs)}
    rewritten = {path: rewrite(text, tables) for path, text in texts.items()}
    for path, text in rewritten.items():
        if text != texts[path]:
            with open(path, "w") as stream:
                stream.write(text)


def check(docs):
    tables = json.loads(read(os.path.join(docs, "benchmarks.json")))["tables"]
    problems = []
    if parse_report(read(os.path.join(docs, "BENCHMARKS.md"))) != tables:
        problems.append(f"{docs}/benchmarks.json differs from BENCHMARKS.md's tables: "
                        "run tools/doc_figures.py update")
    for path in prose_docs(docs):
        text = read(path)
        problems += marker_problems(path, text, tables) + stray_problems(path, text)
    return problems


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("update", "check"):
        sys.exit(__doc__)
    if sys.argv[1] == "update":
        try:
            update(sys.argv[2])
        except ValueError as error:
            sys.exit(f"doc_figures.py: {error}")
    else:
        found = check(sys.argv[2])
        print("\n".join(found) or "every marked figure matches docs/benchmarks.json")
        sys.exit(1 if found else 0)
