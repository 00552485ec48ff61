"""Builds and runs the checks of each pure C++ core alone, from tests/cores/<core>_core_test.cpp.

Every program is compiled with the same flags (C++20, all warnings as errors) under the address and
undefined-behaviour sanitizers, and the block tree's reader/writer run also under the thread
sanitizer. A program exits 0 and prints "OK" last when every check holds. The builds the selected
tests need start, at most two at a time, when the first of them runs.
"""

from __future__ import annotations

import math
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
from concurrent.futures import Future, ThreadPoolExecutor
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SRC = ROOT / "src"
PROGRAMS = ROOT / "tests" / "cores"

CXX = shutil.which("g++")
pytestmark = pytest.mark.skipif(CXX is None, reason="g++ is not available")

# The programs bring their own sanitizer runtimes: never hand them one preloaded into this process.
CHILD_ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}

FLAGS = ["-std=c++20", "-g0", "-Wall", "-Wextra", "-Werror", f"-I{SRC}", "-pthread"]
MODES = {
    "asan": ["-O0", "-fsanitize=address,undefined", "-fno-sanitize-recover=all"],
    "tsan": ["-O1", "-fsanitize=thread", "-Wno-tsan"],
}

# core: (folder of its header under src/quarvel, {sanitizer mode: program arguments})
CORES = {
    "block_tree": ("memory", {"asan": [], "tsan": ["concurrent"]}),
    "bucket": ("memory", {"asan": []}),
    "sync_kernel": ("memory", {"asan": [], "tsan": []}),
    "device_fit": ("gpu", {"asan": []}),
    "pool_planner": ("plugins/analyzer", {"asan": []}),
    "hardware_probe": ("native", {"asan": []}),
    "counter": ("monitoring", {"asan": []}),
    "compile_gate": ("jit", {"asan": []}),
    "task_profiler": ("plugins/analyzer", {"asan": []}),
}
LINUX_ONLY = {"hardware_probe"}  # its queries are the Linux ones

RUNS = [pytest.param((core, mode), id=f"{core}-{mode}") for core, (_, modes) in CORES.items() for mode in modes]


class Builds:
    """The programs of the selected tests, compiled in the background."""

    def __init__(self, wanted: list[tuple[str, str]]) -> None:
        self._pool = ThreadPoolExecutor(max_workers=max(1, min(2, os.cpu_count() or 1)))
        self._out = Path(tempfile.mkdtemp(prefix="quarvel-cores-"))
        self._jobs: dict[tuple[str, str], Future] = {}
        for build in dict.fromkeys(wanted):
            self._jobs[build] = self._pool.submit(self._compile, *build)

    def _compile(self, core: str, mode: str) -> tuple[Path, subprocess.CompletedProcess]:
        folder, _ = CORES[core]
        exe = self._out / f"{core}-{mode}"
        cmd = [CXX, *FLAGS, *MODES[mode], f"-I{SRC / 'quarvel' / folder}", str(PROGRAMS / f"{core}_core_test.cpp"),
               "-o", str(exe)]
        return exe, subprocess.run(cmd, capture_output=True, text=True, timeout=300, env=CHILD_ENV)

    def program(self, core: str, mode: str) -> Path:
        if (core, mode) not in self._jobs:
            self._jobs[(core, mode)] = self._pool.submit(self._compile, core, mode)
        exe, proc = self._jobs[(core, mode)].result()
        if proc.returncode != 0:
            if "cannot find" in proc.stderr and "san" in proc.stderr:
                pytest.skip(f"the {mode} runtime is not installed")
            pytest.fail(f"compiling the {core} checks ({mode}) failed:\n{proc.stderr}")
        return exe

    def close(self) -> None:
        self._pool.shutdown(wait=True)
        shutil.rmtree(self._out, ignore_errors=True)


@pytest.fixture(scope="module")
def builds(request):
    # Every program this module's selected tests need starts compiling when the first of them runs
    # (not earlier: compiling in the background of other modules' tests would disturb their memory
    # and timing measurements).
    wanted = [item.callspec.params["build"] for item in request.session.items
              if item.path.name == "test_cores.py" and hasattr(item, "callspec") and "build" in item.callspec.params]
    b = Builds(wanted)
    yield b
    b.close()


def run(exe: Path, *args: str, stdin: str | None = None) -> subprocess.CompletedProcess:
    return subprocess.run([str(exe), *args], input=stdin, capture_output=True, text=True, timeout=120, env=CHILD_ENV)


@pytest.mark.parametrize("build", RUNS)
def test_core_alone(build, builds):
    core, mode = build
    if core in LINUX_ONLY and not sys.platform.startswith("linux"):
        pytest.skip("Linux only")
    proc = run(builds.program(core, mode), *CORES[core][1][mode])
    report = proc.stdout + proc.stderr
    assert proc.returncode == 0, report
    assert proc.stdout.strip().endswith("OK"), report
    assert "Sanitizer" not in proc.stderr and "runtime error" not in proc.stderr, report


def _formatter_doubles():
    ties = [k / 20 for k in range(-41, 42, 2)]  # x.x5 in decimal, just off a tie in binary
    exact_ties = [k / 4 for k in range(-9, 10)]  # x.25 / x.75: true ties, half to even
    edges = [0.0, -0.0, -0.04, 0.049999999999999996, 0.05000000000000001, 2.5e-8, 5e-324, -5e-324,
             sys.float_info.min, 66.66666666666667, 99.95, 999999999999999.9, 1e15, 2.0**52 + 0.5,
             2.0**53 - 1, 2.0**53, 2.0**53 + 2, 2.0**64 - 2048, 2.0**64, 1e300, sys.float_info.max,
             -sys.float_info.max, math.inf, -math.inf, math.nan, -math.nan]
    rng = random.Random(7)
    spread = [math.ldexp(rng.random(), rng.randrange(-40, 60)) * rng.choice((1, -1)) for _ in range(3000)]
    any_bits = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(1000)]
    return ties + exact_ties + edges + spread + any_bits


@pytest.mark.parametrize("build", [pytest.param(("device_fit", "asan"), id="device_fit-asan")])
def test_number_formatter_writes_what_python_writes(build, builds):
    u64 = 2**64 - 1
    doubles = _formatter_doubles()
    ints = [0, 9, 10, 10**19 - 1, 10**19, u64] + [random.Random(3).getrandbits(64) for _ in range(200)]
    lines = ["%016x" % struct.unpack("<Q", struct.pack("<d", x))[0] for x in doubles] + [f"u{i}" for i in ints]
    proc = run(builds.program(*build), "format", stdin="\n".join(lines) + "\n")
    assert proc.returncode == 0, proc.stderr
    expected = [format(x, ".1f") + "%" for x in doubles] + [str(i) for i in ints]
    got = proc.stdout.splitlines()
    assert len(got) == len(expected)
    wrong = [(x, g, e) for x, g, e in zip(doubles + ints, got, expected) if g != e]
    assert not wrong, wrong[:5]
