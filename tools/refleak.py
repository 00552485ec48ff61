"""Reference-leak check on a debug interpreter, in the manner of CPython's own -R runs, and a clean
exit after importing each module.

    python3.11-dbg tools/refleak.py [MODULE ...]        (default: the nine modules)

For every expression of tests/native_calls.py (each public callable with valid and with failing
arguments): warm up, then several runs of a batch of calls, each run measured by the change of
sys.gettotalrefcount() and sys.getallocatedblocks(). A leak is growth in every run (the smallest
growth over the runs is above zero), as CPython's regression tests judge it. Each module is checked
in its own interpreter, which must then exit with status 0 (a debug interpreter checks reference
counts of its static objects at finalisation); a bare import of each module must exit cleanly too.

Needs an interpreter built with Py_DEBUG (sys.gettotalrefcount); elsewhere it says so and exits 0.
Exit status 1 when anything leaks or an interpreter does not exit cleanly.
"""

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from native_calls import MODULES  # noqa: E402

WARMUP = 3
RUNS = 4
BATCH = 20


def measure(fn):
    import gc
    rc, blocks = [], []
    for i in range(WARMUP + RUNS):
        gc.collect()
        r0, b0 = sys.gettotalrefcount(), sys.getallocatedblocks()
        for _ in range(BATCH):
            try:
                fn()
            except Exception:
                pass
        gc.collect()
        r1, b1 = sys.gettotalrefcount(), sys.getallocatedblocks()
        if i >= WARMUP:
            rc.append(r1 - r0)
            blocks.append(b1 - b0)
    return rc, blocks


def check_module(module):
    """In this interpreter: every expression of `module`; prints the leaks, returns their number."""
    entry = MODULES[module]
    ns = {}
    exec(entry["setup"], ns)
    leaks = 0
    for expr in entry["calls"] + entry["bad"]:
        fn = eval("lambda: " + expr, ns)
        rc, blocks = measure(fn)
        if min(rc) > 0 or min(blocks) > 0:
            leaks += 1
            print(f"  LEAK {expr}: references {rc}, memory blocks {blocks}", flush=True)
    return leaks


def main(argv):
    if len(argv) > 2 and argv[1] == "--in-process":
        sys.exit(1 if check_module(argv[2]) else 0)
    if not hasattr(sys, "gettotalrefcount"):
        print("== refleak: needs a debug interpreter (Py_DEBUG), skipped")
        return 0
    modules = argv[1:] or list(MODULES)
    failed = 0
    t0 = time.monotonic()
    for module in modules:
        bare = subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True, text=True)
        if bare.returncode != 0:
            failed += 1
            print(f"== {module}: import and exit gave status {bare.returncode}\n{bare.stderr[-2000:]}")
        run = subprocess.run([sys.executable, os.path.abspath(__file__), "--in-process", module],
                             capture_output=True, text=True)
        n = len(MODULES[module]["calls"]) + len(MODULES[module]["bad"])
        print(f"== {module}: {n} variants, status {run.returncode}")
        if run.stdout:
            print(run.stdout, end="")
        if run.returncode != 0:
            failed += 1
            print(run.stderr[-4000:])
    print(f"== refleak: {'FAILED' if failed else 'no leak, clean exits'} ({time.monotonic() - t0:.0f} s)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
