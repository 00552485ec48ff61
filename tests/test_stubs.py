"""The installed type stubs agree with the installed modules, and type-check a program using all nine."""

import os
import runpy
import site
import subprocess
import sys
from pathlib import Path

import pytest

import quarvel

pytest.importorskip("mypy", reason="mypy is part of the test extra (pip install '.[test]')")

MODULES = [
    "quarvel.memory.sync_kernel",
    "quarvel.memory.block_index",
    "quarvel.memory.bucket_pool",
    "quarvel.jit.compile_gate",
    "quarvel.native.hardware_probe",
    "quarvel.plugins.analyzer.task_profiler",
    "quarvel.plugins.analyzer.pool_planner",
    "quarvel.monitoring.counter_fold",
    "quarvel.gpu.device_fit",
]
EXAMPLE = Path(__file__).with_name("typing_example.py")


def _mypy_env():
    """mypy finds a regular install in site-packages by itself. An editable install serves the
    package through an import hook that mypy cannot follow, so point it at the package's directory."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)  # stubtest imports what this test sees
    env.pop("MYPYPATH", None)
    home = str(Path(quarvel.__file__).resolve().parents[1])
    installed = {str(Path(p).resolve()) for p in site.getsitepackages() + [site.getusersitepackages()]}
    if home not in installed:
        env["MYPYPATH"] = home
    return env


def _run(args, tmp_path):
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\ncache_dir = {tmp_path / 'mypy-cache'}\n")
    option = "--mypy-config-file" if args[0] == "mypy.stubtest" else "--config-file"
    proc = subprocess.run([sys.executable, "-m", *args, option, str(config)],
                          cwd=tmp_path, env=_mypy_env(), capture_output=True, text=True, timeout=600)
    return proc.returncode, proc.stdout + proc.stderr


def test_stubtest_finds_no_difference(tmp_path):
    # No allowlist: every difference between a stub and its module is an error.
    code, out = _run(["mypy.stubtest", *MODULES], tmp_path)
    assert code == 0, out


def test_typed_example_passes_strict_mypy_and_runs(tmp_path):
    code, out = _run(["mypy", "--strict", "--warn-unreachable", str(EXAMPLE)], tmp_path)
    assert code == 0, out
    # The same program runs against the modules (assert_type is a no-op at run time).
    runpy.run_path(str(EXAMPLE), run_name="__main__")


def test_stubs_reject_misuse(tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(
        "from quarvel.memory.block_index import FastRedBlackTree\n"
        "from quarvel.monitoring.counter_fold import CounterAggregator\n"
        "from quarvel.jit.compile_gate import CompileGate\n"
        "FastRedBlackTree().find_best_fit('64')\n"
        "CounterAggregator().get_stats(0)['median']\n"
        "CompileGate().config = None\n"
        "CompileGate().should_compile('f', object())\n")
    code, out = _run(["mypy", "--strict", str(misuse)], tmp_path)
    assert code == 1
    assert sorted({line.split(":")[1] for line in out.splitlines() if ": error:" in line}) == ["4", "5", "6", "7"], out
