"""The long allocation-failure sweep: what tests/test_alloc_failure.py does, without its bounds.

    python tools/alloc_sweep.py [MODULE ...]        (default: the nine modules; PYTHONPATH as for
                                                     the tests, e.g. PYTHONPATH=src after devbuild)

Every allocation point of every call (valid and failing arguments) in both modes, and first calls
in a fresh interpreter with every allocation from k on failing for k up to 200. Each module in its
own interpreter; prints the failures and the number of allocation points tried (on a release build:
a debug build of CPython 3.11 fails its own assertions under such failures). Exit status 1 on
any failure or crash.
"""

import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(HERE, "..", "tests")
sys.path.insert(0, TESTS)

from native_calls import MODULES  # noqa: E402

FRESH = ",".join(str(k) for k in range(201))


def main(argv):
    modules = argv[1:] or list(MODULES)
    points = failed = 0
    t0 = time.monotonic()
    for module in modules:
        proc = subprocess.run([sys.executable, os.path.join(TESTS, "alloc_driver.py"), module, "--fresh", FRESH],
                              capture_output=True, text=True)
        if proc.returncode != 0:
            failed += 1
            last = [line for line in proc.stderr.splitlines() if line.startswith("case")][-1:]
            print(f"== {module}: status {proc.returncode} during {last}\n{proc.stderr[-3000:]}")
            continue
        result = json.loads(proc.stdout.splitlines()[-1])
        points += result["points"]
        print(f"== {module}: {result['calls']} calls, {result['points']} allocation points, "
              f"{len(result['failures'])} failures")
        for f in result["failures"]:
            print("  " + f)
        failed += bool(result["failures"])
    print(f"== {points} allocation points in {time.monotonic() - t0:.0f} s: {'FAILED' if failed else 'no failure'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
