#!/usr/bin/env python3
"""Compiles and runs every complete program (a ```cpp block with a main function) of the README
and the guides in docs/, against the built library, so that no example rots.

Usage: doc_examples.py <source dir> <work dir> <compiler> <library file> <include dir>... -- <flags>
A program passes when it compiles without warnings and exits with 0."""
import glob
import os
import re
import subprocess
import sys


def main():
    source, work, compiler, library = sys.argv[1:5]
    rest = sys.argv[5:]
    split = rest.index("--")
    includes, flags = rest[:split], rest[split + 1:]
    os.makedirs(work, exist_ok=True)
    documents = [os.path.join(source, "README.md")] + sorted(
        glob.glob(os.path.join(source, "docs", "*.md")))
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(library), QPL_UVT_TMP=work)
    failures, programs = [], 0
    for document in documents:
        with open(document, encoding="utf-8") as text:
            blocks = re.findall(r"^```cpp\n(.*?)^```", text.read(), re.S | re.M)
        for number, block in enumerate(blocks):
            if not re.search(r"^int main\(", block, re.M):
                continue
            programs += 1
            name = f"{os.path.basename(document)[:-3]}-{number}"
            path = os.path.join(work, name + ".cpp")
            with open(path, "w", encoding="utf-8") as out:
                out.write(block)
            binary = os.path.join(work, name)
            command = [compiler, *flags, *[f"-I{d}" for d in includes], path, library,
                       f"-Wl,-rpath,{os.path.dirname(library)}", "-o", binary]
            built = subprocess.run(command, capture_output=True, text=True)
            if built.returncode != 0:
                failures.append(f"{name}: does not compile\n{built.stderr}")
                continue
            ran = subprocess.run([binary], capture_output=True, text=True, env=env, cwd=work,
                                 timeout=60)
            if ran.returncode != 0:
                failures.append(f"{name}: exit code {ran.returncode}\n{ran.stdout}{ran.stderr}")
    print(f"{programs} example programs, {len(failures)} failed")
    for failure in failures:
        print(failure)
    return 1 if failures or programs == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
