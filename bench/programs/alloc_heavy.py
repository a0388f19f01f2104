#!/usr/bin/env python3
"""An allocation-heavy Python program for the benchmark of unchanged programs (tools/bench.sh runs
it with each malloc preloaded): records of dicts, strings and lists built, indexed, rewritten and
dropped, with a bounded cache that keeps some tens of MB live, so that the interpreter's own
allocator and the process's malloc both work (strings, lists and dict tables beyond 512 bytes come
from malloc). Deterministic: the same rounds print the same checksum line whatever the malloc.

Usage: alloc_heavy.py [rounds, default 8]
"""
import random
import sys
import zlib

WORDS = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "iota", "kappa",
         "lambda", "mu", "nu", "xi", "omicron", "pi", "rho", "sigma", "tau", "upsilon"]


def record(draw, key):
    """A record as a parser would build it: a few scalars, a tag list, a text of 10-500 words."""
    words = [WORDS[draw.randrange(len(WORDS))] for _ in range(int(10 * 50 ** draw.random()))]
    return {"key": key, "id": draw.getrandbits(32), "score": draw.random(),
            "tags": words[: draw.randrange(1, 12)], "text": " ".join(words),
            "parts": [w.upper() for w in words[:: draw.randrange(1, 6)]]}


def build(draw, count, prefix):
    return {f"{prefix}:{i}:{draw.getrandbits(20):05x}": record(draw, i) for i in range(count)}


def transform(table):
    """Rewrites every record into new objects: a reversed text, a word index, a summary line."""
    out = {}
    for key, rec in table.items():
        words = rec["text"].split(" ")
        index = {}
        for position, word in enumerate(words):
            index.setdefault(word, []).append(position)
        out[key.upper()] = {"summary": f"{rec['id']:08x}/{len(words)}/{rec['score']:.4f}",
                            "reversed": " ".join(reversed(words)),
                            "index": index, "joined": ",".join(sorted(rec["tags"]))}
    return out


def digest(table, crc):
    for key, rec in table.items():
        crc = zlib.crc32(key.encode(), crc)
        crc = zlib.crc32(rec["summary"].encode(), crc)
        crc = zlib.crc32(rec["reversed"][:64].encode(), crc)
        crc = zlib.crc32(str(sorted((w, len(p)) for w, p in rec["index"].items())).encode(), crc)
    return crc


def main(rounds):
    draw = random.Random(25)
    cache, crc, objects = {}, 0, 0
    for round_ in range(rounds):
        table = build(draw, 3000, f"r{round_}")
        derived = transform(table)
        crc = digest(derived, crc)
        objects += len(table) + len(derived)
        # The cache keeps the newest records of every round and drops the oldest beyond 12,000,
        # so that old and new blocks interleave in the heap.
        for key in list(table)[::2]:
            cache[key] = derived[key.upper()]
        for key in list(cache)[: max(0, len(cache) - 12000)]:
            del cache[key]
        # Lists grown and cut, and strings glued, as a log or a report would be.
        lines = []
        for rec in list(table.values())[::3]:
            lines.append(rec["text"][: 40 + rec["id"] % 400] + "\n")
        crc = zlib.crc32("".join(lines).encode(), crc)
        del table, derived, lines
    print(f"alloc_heavy: {rounds} rounds, {objects} records, {len(cache)} cached, "
          f"checksum {crc:08x}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 8)
