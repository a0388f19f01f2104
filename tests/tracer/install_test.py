"""The commands where users look: `cmake --install` to a temporary prefix puts qor-view and
qor-trace in bin/ (the page template under share/), qor-view answers --help, and qor-trace, found
on the PATH, traces a small program with the installed override and tracer and prints its page.

Usage: install_test.py <cmake> <build dir>
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "view"))
from view_test import embedded, fail  # noqa: E402


def install(cmake, build, prefix):
    for component in ("Runtime", "Tools"):
        subprocess.run([cmake, "--install", build, "--prefix", prefix, "--component", component],
                       check=True, stdout=subprocess.DEVNULL)
    for command in ("qor-view", "qor-trace"):
        if not os.access(os.path.join(prefix, "bin", command), os.X_OK):
            fail("bin/%s is not installed" % command)
    if not os.path.isfile(os.path.join(prefix, "share", "QORSysAllocator", "view", "view.html")):
        fail("the page template is not installed under share/")


def main(argv):
    cmake, build = argv[:2]
    with tempfile.TemporaryDirectory() as prefix:
        install(cmake, build, prefix)
        env = dict(os.environ, PATH=os.path.join(prefix, "bin") + os.pathsep + os.environ["PATH"])
        helped = subprocess.run(["qor-view", "--help"], env=env, capture_output=True, text=True)
        if helped.returncode != 0 or "usage: qor-view" not in helped.stdout:
            fail("qor-view --help: %s" % helped)
        if shutil.which("qor-trace", path=env["PATH"]) != os.path.join(prefix, "bin", "qor-trace"):
            fail("qor-trace is not the installed one on the PATH")
        run = os.path.join(prefix, "run")
        done = subprocess.run(["qor-trace", "-o", run, "sh", "-c", "seq 1 20000 | sort -r >/dev/null"],
                              env=env, capture_output=True, text=True, cwd=prefix)
        if done.returncode != 0:
            fail("qor-trace: status %d\n%s" % (done.returncode, done.stderr[-2000:]))
        printed = [line.split()[0] for line in done.stdout.splitlines() if line.strip()]
        if printed[:1] != [os.path.join(run, "index.html")] or not printed[1:2] or \
                not printed[1].startswith(run):
            fail("qor-trace printed %r" % done.stdout)
        page = printed[1]
        with open(page, encoding="utf-8") as file:
            trace = embedded(file.read())
        if not trace.get("samples") or not trace.get("maps"):
            fail("the page of %s has no samples or no maps" % trace.get("command"))
    print("installed: bin/qor-view, bin/qor-trace; traced page %s" % os.path.basename(page))


if __name__ == "__main__":
    main(sys.argv[1:])
