"""The benchmark suite of the native core: ``python -m quarvel.bench [name ...]``.

Every hot path is timed in one run against its pure-Python equivalent and against the floor, the
cheapest native call of the same arity returning the same kind of result (``quarvel.bench._floor``).
One table collects the rows of every module.

Rows live in ``benchmarks/bench_<name>.py`` next to the source tree; each such file defines
``register(suite)`` and adds rows with :meth:`Suite.row`::

    def register(suite):
        from quarvel.memory.sync_kernel import AtomicCounter
        from quarvel.bench._floor import Floor
        ns = {"c": AtomicCounter(0), "f": Floor(value=1 << 40), "p": LockedCounter()}
        suite.row("sync_kernel", "AtomicCounter.increment()", "c.increment()",
                  python="p.increment()", floor="f.int0()", ns=ns, goal="<=1.5x floor, >=8x python")

Statements are timed with :mod:`timeit` (best of several repeats) in the namespace ``ns``.
"""

from __future__ import annotations

import importlib.util
import os
import sys
import timeit
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

__all__ = ["Suite", "Row", "bench_dir", "main"]


@dataclass
class Row:
    group: str
    name: str
    native: str
    python: str | None = None
    floor: str | None = None
    floor_label: str = "floor"
    ns: dict[str, Any] = field(default_factory=dict)
    setup: str = "pass"
    goal: str = ""
    number: int | None = None
    results: dict[str, float] = field(default_factory=dict)


class Suite:
    def __init__(self, repeat: int = 5, target_s: float = 0.02, only: list[str] | None = None) -> None:
        self.repeat = repeat
        self.target_s = target_s
        self.rows: list[Row] = []
        self.only = only

    def row(self, group: str, name: str, native: str, *, python: str | None = None, floor: str | None = None,
            floor_label: str = "floor", ns: dict[str, Any] | None = None, setup: str = "pass", goal: str = "",
            number: int | None = None) -> None:
        """Adds a row: ``native`` timed against ``python`` and ``floor`` (statements in ``ns``).

        ``floor_label`` names the floor in the table ("floor" or "locked floor"). ``setup`` runs
        before every repeat of every statement (e.g. to refill a structure that the statement
        consumes); give ``number`` to fix the calls per repeat when the statement consumes state.
        """
        self.rows.append(Row(group, name, native, python, floor, floor_label, dict(ns or {}), setup, goal, number))

    def _time(self, stmt: str, row: Row) -> float:
        timer = timeit.Timer(stmt, setup=row.setup, globals=row.ns)
        if row.number is not None:
            number = row.number
        else:
            number = 1
            while True:
                t = timer.timeit(number)
                if t >= self.target_s / 4 or number >= 1 << 24:
                    break
                number *= 4
            number = max(1, int(number * self.target_s / max(t, 1e-9)))
        best = min(timer.repeat(repeat=self.repeat, number=number))
        return best / number * 1e9

    def run(self, out=sys.stdout) -> None:
        for row in self.rows:
            row.results["native"] = self._time(row.native, row)
            if row.python:
                row.results["python"] = self._time(row.python, row)
            if row.floor:
                row.results["floor"] = self._time(row.floor, row)
            self._print_row(row, out)
            out.flush()

    header_done = False

    def _print_row(self, row: Row, out) -> None:
        if not self.header_done:
            out.write(f"{'module':<14} {'operation':<44} {'native ns':>10} {'python ns':>10} {'speedup':>8} "
                      f"{'floor ns':>9} {'vs floor':>9}  goal\n")
            out.write("-" * 128 + "\n")
            self.header_done = True
        r = row.results
        nat = r["native"]
        py = f"{r['python']:10.1f}" if "python" in r else f"{'-':>10}"
        sp = f"{r['python'] / nat:7.2f}x" if "python" in r else f"{'-':>8}"
        fl = f"{r['floor']:9.1f}" if "floor" in r else f"{'-':>9}"
        label = "" if row.floor_label == "floor" else " (locked)"
        vs = f"{nat / r['floor']:8.2f}x" if "floor" in r else f"{'-':>9}"
        out.write(f"{row.group:<14} {row.name[:44]:<44} {nat:10.1f} {py} {sp} {fl} {vs}  {row.goal}{label}\n")


def bench_dir() -> Path:
    env = os.environ.get("QUARVEL_BENCH_DIR")
    if env:
        return Path(env)
    return Path(__file__).resolve().parent / "rows"


def _load(path: Path):
    spec = importlib.util.spec_from_file_location(f"quarvel_bench_{path.stem}", path)
    mod = importlib.util.module_from_spec(spec)
    assert spec.loader is not None
    spec.loader.exec_module(mod)
    return mod


def main(argv: list[str] | None = None) -> int:
    import argparse

    ap = argparse.ArgumentParser(prog="python -m quarvel.bench", description=__doc__.splitlines()[0])
    ap.add_argument("names", nargs="*", help="benchmark files to run (bench_<name>.py); default all")
    ap.add_argument("--quick", action="store_true", help="fewer repeats and shorter timings")
    ap.add_argument("--list", action="store_true", help="list the benchmark files and exit")
    args = ap.parse_args(argv)
    d = bench_dir()
    files = sorted(f for f in d.glob("*.py") if not f.name.startswith("_"))
    if not files:
        print(f"no benchmark files in {d} (set QUARVEL_BENCH_DIR)", file=sys.stderr)
        return 2
    if args.list:
        for f in files:
            print(f.stem)
        return 0
    if args.names:
        wanted = set(args.names)
        files = [f for f in files if f.stem in wanted or any(
            f.stem.startswith(w) for w in wanted)]
    suite = Suite(repeat=3 if args.quick else 5, target_s=0.005 if args.quick else 0.02)
    print(f"quarvel benchmark: Python {sys.version.split()[0]}, ns per call (best of {suite.repeat}); "
          "speedup = python/native, vs floor = native/floor")
    for f in files:
        try:
            _load(f).register(suite)
        except Exception as e:  # a module that fails to load must not hide the others' rows
            print(f"{f.name}: skipped ({type(e).__name__}: {e})", file=sys.stderr)
    suite.run()
    return 0
