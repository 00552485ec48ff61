"""Allocation failure: every public callable raises MemoryError (or answers as it does without the
failure, e.g. the probe's fallback) and its objects keep working; nothing crashes.

The sweep itself (alloc_driver.py) runs in a subprocess per module, so that a crash fails the
module's test instead of ending the run. Here it is bounded (the first allocation points of each
call, a few first calls in a fresh state); tools/alloc_sweep.py runs it without bounds.
"""

import importlib
import json
import os
import subprocess
import sys

import pytest

import native_calls

try:
    import _testcapi
    _testcapi.set_nomemory  # noqa: B018
except (ImportError, AttributeError):
    _testcapi = None

pytestmark = pytest.mark.skipif(
    _testcapi is None, reason="needs _testcapi.set_nomemory to make allocations fail (this interpreter "
                              "was built without the _testcapi test module, as some distributions ship it)")

DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "alloc_driver.py")
CAP = 40                      # allocation points per call and mode
FRESH = "0,1,2,3,5,8,13,21"   # first calls with every allocation from the k-th on failing


def run_driver(module, *args, timeout=240):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, DRIVER, module, *args], capture_output=True, text=True,
                          timeout=timeout, env=env)


@pytest.mark.skipif(hasattr(sys, "gettotalrefcount"), reason=(
    "a debug build of CPython 3.11 fails its own assertions when an allocation fails while Python code "
    "or a builtin raises (sorted(1), logging's methods), which the sweep reaches; the release builds run it"))
@pytest.mark.parametrize("module", sorted(native_calls.MODULES))
def test_sweep(module):
    proc = run_driver(module, "--cap", str(CAP), "--fresh", FRESH)
    last = [line for line in proc.stderr.splitlines() if line.startswith("case")][-1:]
    assert proc.returncode == 0, f"status {proc.returncode} during {last}:\n{proc.stderr[-3000:]}"
    result = json.loads(proc.stdout.splitlines()[-1])
    assert result["failures"] == []
    assert result["points"] > result["calls"]


@pytest.mark.parametrize("module", sorted(native_calls.MODULES))
def test_sweep_covers_every_public_callable(module):
    assert native_calls.uncovered(importlib.import_module(module)) == []


REPRODUCERS = [
    # A wrapper's forwarding with every allocation failing (its method names were made on first use).
    """
    from quarvel.memory.sync_kernel import AtomicCounterWrapper
    w = AtomicCounterWrapper(3)
    _testcapi.set_nomemory(0, 0)
    try:
        w.load()
    except MemoryError:
        pass
    _testcapi.remove_mem_hooks()
    assert w.load() == 3
    """,
    # A constructor's first run (the lock factory's name) with all but the first allocation failing.
    """
    import quarvel.monitoring.counter_fold as cf
    _testcapi.set_nomemory(1, 0)
    try:
        cf.CounterAggregator(4)
    except MemoryError:
        pass
    _testcapi.remove_mem_hooks()
    assert cf.CounterAggregator(4).get_stats(0)["count"] == 0
    """,
    # The probe's path for failures, itself under failure: the fallback answer or MemoryError.
    """
    import quarvel.native.hardware_probe as hp
    hp.detect_capabilities()
    _testcapi.set_nomemory(0, 0)
    try:
        r = hp.detect_capabilities()
    except MemoryError:
        r = None
    _testcapi.remove_mem_hooks()
    assert r is None or r["detector"] == "native_fallback", r
    assert hp.detect_capabilities()["detector"] == "native"
    """,
]


@pytest.mark.parametrize("code", REPRODUCERS, ids=["wrapper", "aggregator", "probe"])
def test_everything_failing_raises_memory_error(python_subprocess, code):
    proc = python_subprocess("import _testcapi\n" + code.replace("\n    ", "\n"))
    assert proc.returncode == 0, proc.stderr


def test_probe_answers_with_its_fallback_when_one_allocation_fails(python_subprocess):
    proc = python_subprocess("""
        import _testcapi, sys
        import quarvel.native.hardware_probe as hp
        sys.path.insert(0, {tests!r})
        import native_calls
        exec(native_calls.MODULES["quarvel.native.hardware_probe"]["setup"], {{}})  # imports made beforehand
        hp.detect_capabilities()
        seen = set()
        for k in range(400):
            _testcapi.set_nomemory(k, k + 1)
            try:
                r = hp.detect_capabilities()
            except MemoryError:
                r = None
            finally:
                _testcapi.remove_mem_hooks()
            if r is not None:
                seen.add(r["detector"])
                if r["detector"] == "native_fallback":
                    assert len(r) == 17 and r["python_version"].count(".") == 1, r
        print(sorted(seen))
    """.format(tests=os.path.dirname(os.path.abspath(__file__))))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "['native', 'native_fallback']"

