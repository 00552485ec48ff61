"""The benchmark runner: row files, interleaved timing, goals, the table, JSON results and comparisons.

A row file (``quarvel/bench/rows/<module>.py``) defines ``register(suite)`` and adds rows with
:meth:`Suite.row`. Each row names up to three statements run in the namespace ``ns``: the native
call, a reference (the pure-Python equivalent, or a peer library's call) and the floor (the cheapest
native call of the same arity returning the same kind of result, from ``quarvel.bench._floor``).

Timing. The statements of one row are timed in interleaved rounds: every round times each statement
once (``number`` calls, chosen so that one sample takes about ``target_s``), and the order rotates
from round to round, so that drift of the machine (frequency, other load) hits all of them alike.
Each statement's samples give a median, an interquartile range (IQR) and a minimum, in ns per call.
The default clock is the timing thread's CPU time, which leaves out the time the thread spends
waiting for a CPU while other processes run (on a shared machine, most of what makes wall-clock
samples scatter); ``--clock wall`` times elapsed time instead, for statements that wait.

Goals. A row's goal is a comma-separated list of clauses, all of which must hold for "met":

    clause := OP NUMBER "x" REF [NOTE]      a ratio of medians
            | OP NUMBER UNIT [NOTE]         the native median itself; UNIT is ns, us, ms or s
    OP     := "<=" | ">=" | "<" | ">"
    REF    := "floor" | "locked floor"      native / floor (how many floors the native call costs);
                                            the word must match the row's floor label
            | "python" | PEER               reference / native (how many times faster native is);
                                            the word must match the row's reference label
            | "row" '"' NAME '"'            native / the native median of row NAME of the same module
    NOTE   := "(" free text ")"             shown, not checked

for example ``<=1.5x floor, >=8x python`` or ``<=500 ns`` or ``<=1.3x row "find (512 buckets)"``.
A goal that does not parse, or that refers to a statement the row does not have, fails the run
before anything is timed.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.util
import json
import os
import platform
import re
import statistics
import sys
import time
import timeit
import traceback
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Callable, TextIO

__all__ = ["BenchError", "Clause", "Row", "Suite", "main", "parse_goal", "rows_dir"]

KINDS = ("native", "python", "floor")
UNITS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
OPS = {"<=": lambda a, b: a <= b, ">=": lambda a, b: a >= b, "<": lambda a, b: a < b, ">": lambda a, b: a > b}
JSON_FORMAT = 1
CLOCKS = {"cpu": (time.thread_time, "thread CPU time"), "wall": (time.perf_counter, "wall clock")}


class BenchError(Exception):
    """A row file, a goal or an option that cannot be used; the run fails with its message."""


def rows_dir() -> Path:
    return Path(__file__).resolve().parent / "rows"


# --- goals ----------------------------------------------------------------------------------------

@dataclass(frozen=True)
class Clause:
    op: str
    bound: float
    ref: str            # "floor", "locked floor", a reference label, "row", or "abs"
    row: str | None = None
    unit: str | None = None
    note: str | None = None

    def text(self) -> str:
        if self.ref == "abs":
            s = f"{self.op}{self.bound:g} {self.unit}"
        elif self.ref == "row":
            s = f'{self.op}{self.bound:g}x row "{self.row}"'
        else:
            s = f"{self.op}{self.bound:g}x {self.ref}"
        return s + (f" ({self.note})" if self.note else "")


_CLAUSE = re.compile(
    r"""(?P<op><=|>=|<|>)\s*(?P<num>\d+(?:\.\d+)?)\s*
        (?:(?P<unit>ns|us|ms|s)\b
          |x\s+(?:row\s+"(?P<row>[^"]+)"|(?P<ref>locked\s+floor|[A-Za-z_][\w.+-]*)))
        \s*(?:\((?P<note>[^()]*)\))?\s*""", re.VERBOSE)


def _split_clauses(goal: str) -> list[str]:
    parts, depth, quoted, start = [], 0, False, 0
    for i, ch in enumerate(goal):
        if ch == '"':
            quoted = not quoted
        elif not quoted and ch == "(":
            depth += 1
        elif not quoted and ch == ")":
            depth -= 1
        elif ch == "," and not quoted and depth == 0:
            parts.append(goal[start:i])
            start = i + 1
    parts.append(goal[start:])
    return parts


def parse_goal(goal: str) -> list[Clause]:
    """The clauses of ``goal`` (empty for an empty goal); BenchError for anything else."""
    if not goal.strip():
        return []
    clauses = []
    for part in _split_clauses(goal):
        m = _CLAUSE.fullmatch(part.strip())
        if m is None:
            raise BenchError(f"goal {goal!r}: cannot read {part.strip()!r} (expected e.g. '<=1.5x floor', "
                             "'>=2x python', '<=500 ns' or '<=1.2x row \"NAME\"')")
        bound = float(m["num"])
        if bound <= 0:
            raise BenchError(f"goal {goal!r}: the bound in {part.strip()!r} must be positive")
        note = m["note"].strip() if m["note"] else None
        if m["unit"]:
            clauses.append(Clause(m["op"], bound, "abs", unit=m["unit"], note=note))
        elif m["row"]:
            clauses.append(Clause(m["op"], bound, "row", row=m["row"], note=note))
        else:
            clauses.append(Clause(m["op"], bound, " ".join(m["ref"].split()), note=note))
    return clauses


# --- rows -----------------------------------------------------------------------------------------

@dataclass
class Row:
    group: str
    name: str
    native: str
    python: str | None = None
    floor: str | None = None
    floor_label: str = "floor"
    python_label: str = "python"
    ns: dict[str, Any] | Callable[[], dict[str, Any]] = field(default_factory=dict)
    setup: str = "pass"
    goal: str = ""
    number: int | None = None
    clauses: list[Clause] = field(default_factory=list)
    samples: dict[str, list[float]] = field(default_factory=dict)
    numbers: dict[str, int] = field(default_factory=dict)

    @property
    def peer(self) -> bool:
        return self.python_label != "python"

    def statements(self) -> list[tuple[str, str]]:
        return [(k, s) for k, s in (("native", self.native), ("python", self.python), ("floor", self.floor)) if s]

    def summary(self, kind: str) -> dict[str, float] | None:
        xs = self.samples.get(kind)
        if not xs:
            return None
        if len(xs) >= 2:
            q1, _, q3 = statistics.quantiles(xs, n=4, method="inclusive")
        else:
            q1 = q3 = xs[0]
        return {"median": statistics.median(xs), "q1": q1, "q3": q3, "iqr": q3 - q1, "min": min(xs),
                "rounds": len(xs), "number": self.numbers[kind]}

    def median(self, kind: str) -> float | None:
        s = self.summary(kind)
        return s["median"] if s else None


@dataclass
class Skip:
    group: str
    what: str
    package: str
    reason: str = ""  # why the package cannot be here; empty: it is simply not installed

    def message(self) -> str:
        if self.reason:
            return f"skipped: {self.group} {self.what}: {self.reason}"
        return (f"skipped: {self.group} {self.what}: package '{self.package}' is not installed "
                "(pip install 'quarvel[bench]')")


class Suite:
    def __init__(self, repeat: int = 25, target_s: float = 0.002, clock: str = "cpu") -> None:
        self.repeat = repeat
        self.target_s = target_s
        self.clock = clock
        self.rows: list[Row] = []
        self.skipped: list[Skip] = []

    def row(self, group: str, name: str, native: str, *, python: str | None = None, floor: str | None = None,
            floor_label: str = "floor", python_label: str = "python",
            ns: dict[str, Any] | Callable[[], dict[str, Any]] | None = None,
            setup: str = "pass", goal: str = "", number: int | None = None) -> None:
        """Adds a row: ``native`` timed against ``python`` and ``floor`` (statements in ``ns``).

        ``python_label`` names the reference when it is a peer library rather than plain Python;
        ``floor_label`` names the floor ("floor" or "locked floor"). ``setup`` runs before every
        sample of every statement (e.g. to refill a structure that the statement consumes); give
        ``number`` to fix the calls per sample when the statement consumes state. ``ns`` may be a
        function returning the namespace, called only when the row is timed (for costly set-ups).
        """
        row = Row(group, name, native, python, floor, floor_label, python_label,
                  ns if callable(ns) else dict(ns or {}), setup, goal, number)
        if any(r.group == group and r.name == name for r in self.rows):
            raise BenchError(f"{group}: two rows named {name!r}")
        row.clauses = parse_goal(goal)
        for c in row.clauses:
            if c.ref in ("floor", "locked floor") and (row.floor is None or c.ref != floor_label):
                raise BenchError(f"{group} / {name}: goal {goal!r} refers to the {c.ref}, but the row's floor is "
                                 f"{'missing' if row.floor is None else repr(floor_label)}")
            if c.ref not in ("floor", "locked floor", "abs", "row") and (row.python is None or c.ref != python_label):
                raise BenchError(f"{group} / {name}: goal {goal!r} refers to {c.ref!r}, but the row's reference is "
                                 f"{'missing' if row.python is None else repr(python_label)}")
        self.rows.append(row)

    def peer(self, group: str, package: str, what: str, unavailable: str = ""):
        """The module ``package`` for the peer rows ``what`` of ``group``, or None (the rows are then
        reported as skipped, naming the missing package). ``unavailable``: the reason the package
        cannot be installed on this interpreter (no wheel for it), reported instead of the hint to
        install it when the package is missing."""
        try:
            return importlib.import_module(package)
        except ImportError:
            self.skipped.append(Skip(group, what, package, unavailable))
            return None

    def check_row_refs(self) -> None:
        names = {(r.group, r.name) for r in self.rows}
        for r in self.rows:
            for c in r.clauses:
                if c.ref == "row" and (r.group, c.row) not in names:
                    raise BenchError(f"{r.group} / {r.name}: goal refers to row {c.row!r}, which {r.group} lacks")

    # --- timing -----------------------------------------------------------------------------------

    def _calibrate(self, timer: timeit.Timer) -> int:
        number = 1
        while True:
            t = timer.timeit(number)
            if t >= self.target_s / 4 or number >= 1 << 24:
                break
            number *= 4
        return max(1, int(number * self.target_s / max(t, 1e-9)))

    def time_row(self, row: Row) -> None:
        stmts = row.statements()
        ns = row.ns() if callable(row.ns) else row.ns
        timer = CLOCKS[self.clock][0]
        timers = {k: timeit.Timer(s, setup=row.setup, timer=timer, globals=ns) for k, s in stmts}
        for k, t in timers.items():
            if row.number is not None:
                row.numbers[k] = row.number
                t.timeit(row.number)  # warm-up
            else:
                row.numbers[k] = self._calibrate(t)
            row.samples[k] = []
        kinds = [k for k, _ in stmts]
        for r in range(self.repeat):
            i = r % len(kinds)
            for k in kinds[i:] + kinds[:i]:
                n = row.numbers[k]
                row.samples[k].append(timers[k].timeit(n) / n * 1e9)

    # --- goals ------------------------------------------------------------------------------------

    def clause_values(self, row: Row) -> list[tuple[Clause, float | None, bool | None]]:
        """Each clause of the row's goal with the measured value it bounds (ns for an absolute bound,
        else the ratio) and whether it holds; None for both when a row it refers to was not measured."""
        native = row.median("native")
        assert native is not None
        found: list[tuple[Clause, float | None, bool | None]] = []
        for c in row.clauses:
            value: float | None
            if c.ref == "abs":
                value, bound = native, c.bound * UNITS[c.unit or "ns"]
            elif c.ref == "row":
                other = next(r for r in self.rows if r.group == row.group and r.name == c.row).median("native")
                value, bound = (native / other if other else None), c.bound  # None: not measured
            elif c.ref in ("floor", "locked floor"):
                value, bound = native / (row.median("floor") or float("nan")), c.bound
            else:
                value, bound = (row.median("python") or float("nan")) / native, c.bound
            found.append((c, value, None if value is None else OPS[c.op](value, bound)))
        return found

    def goal_met(self, row: Row) -> bool | None:
        """True when every clause holds, False when one fails, None without a goal or a verdict."""
        if not row.clauses:
            return None
        held = [ok for _, _, ok in self.clause_values(row)]
        if False in held:
            return False
        return None if None in held else True


# --- output ---------------------------------------------------------------------------------------

def _machine() -> dict[str, Any]:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo", encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"python": sys.version.split()[0], "implementation": platform.python_implementation(),
            "platform": platform.platform(), "arch": platform.machine(), "cpu": cpu, "cpus": os.cpu_count()}


WIDTH = 120  # the table fits a terminal of this many columns
# (header, width) of the numeric columns after the operation; "vs old" only with --compare.
NUMBERS = (("native ns", 9), ("IQR", 6), ("min", 8), ("{ref} ns", 9), ("speedup", 8), ("floor ns", 8),
           ("vs floor", 8))
OLD_COLUMN = ("vs old", 7)
STATUS = 5  # the goal column: "met", "SHORT" or "-"


def _operation_width(compare: bool) -> int:
    """The operation column (names wrap within it) takes what the numbers leave of the line."""
    return WIDTH - 2 - sum(w + 1 for _, w in _columns(compare)) - 2 - STATUS


def _f(v: float | None, width: int, fmt: str = ".1f", suffix: str = "") -> str:
    """``v`` right-aligned in ``width`` columns: without decimals, and then in thousands (k) or
    millions (M), when it would not fit otherwise."""
    if v is None:
        return f"{'-':>{width}}"
    text = format(v, fmt) + suffix
    for scale, unit in ((1.0, ""), (1e3, "k"), (1e6, "M"), (1e9, "G")):
        if len(text) <= width:
            break
        text = f"{v / scale:.0f}{unit}{suffix}"
    return f"{text:>{width}}"


def _wrap(text: str, width: int) -> list[str]:
    """``text`` in lines of at most ``width`` characters, broken at spaces. A word longer than a line
    is broken after one of ``.,(`` (between the parts of a dotted name or of an argument list), never
    inside an identifier or a number; a word without such a point stays whole, however long."""
    pieces: list[tuple[str, bool]] = []  # (piece, glued to the one before: no space between)
    for word in text.split():
        glued = False
        while len(word) > width:
            cut = max(word.rfind(ch, 0, width) for ch in ".,(")
            if cut <= 0:
                break
            pieces.append((word[:cut + 1], glued))
            word, glued = word[cut + 1:], True
        pieces.append((word, glued))
    lines: list[str] = []
    for piece, glued in pieces:
        joined = (lines[-1] if lines else "") + ("" if glued else " ") + piece
        if lines and len(joined) <= width:
            lines[-1] = joined
        else:
            lines.append(piece)
    return lines or [""]


def _ratios(row: Row, old: dict[tuple[str, str], float] | None) -> dict[str, float | None]:
    nat = row.median("native")
    py, fl = row.median("python"), row.median("floor")
    prev = old.get((row.group, row.name)) if old is not None else None
    return {"speedup": py / nat if py and nat else None,
            "vs_floor": nat / fl if fl and nat else None,
            "vs_old": nat / prev if prev and nat else None}


def _columns(compare: bool) -> list[tuple[str, int]]:
    return list(NUMBERS) + ([OLD_COLUMN] if compare else [])


def _header(out: TextIO, ref: str, compare: bool) -> None:
    cells = "".join(f" {h.format(ref=ref):>{w}}" for h, w in _columns(compare))
    out.write(f"  {'operation':<{_operation_width(compare)}}{cells}  goal\n")


def _group(out: TextIO, group: str) -> None:
    out.write(f"{group}\n")


def _line(suite: Suite, row: Row, old: dict[tuple[str, str], float] | None, out: TextIO) -> None:
    nat = row.summary("native")
    assert nat is not None
    r = _ratios(row, old)
    met = suite.goal_met(row)
    status = "" if not row.clauses else "-" if met is None else "met" if met else "SHORT"
    locked = row.floor is not None and row.floor_label != "floor"
    values = [_f(nat["median"], 9), _f(nat["iqr"], 6), _f(nat["min"], 8), _f(row.median("python"), 9),
              _f(r["speedup"], 8, ".2f", "x"), _f(row.median("floor"), 8), _f(r["vs_floor"], 8, ".2f", "x")]
    if old is not None:
        values.append(_f(r["vs_old"], 7, ".2f", "x"))
    width = _operation_width(old is not None)
    names = _wrap(row.name, width - 2)  # room for the deeper indent of continued lines
    if locked:
        if len(names[-1]) + len(" [locked floor]") <= width - 2:
            names[-1] += " [locked floor]"
        else:
            names.append("[locked floor]")
    out.write(f"  {names[0]:<{width}} {' '.join(values)}  {status}".rstrip() + "\n")
    out.write("".join(f"    {name}\n" for name in names[1:]))  # continued: indented further
    out.flush()


def _shortfalls(suite: Suite, rows: list[Row], out: TextIO) -> None:
    """Each row short of its goal, with what was measured against each clause."""
    short = [r for r in rows if suite.goal_met(r) is False]
    if not short:
        return
    out.write("\nshort of their goals (measured value after each clause; ratios as in the table):\n")
    for row in short:
        parts = []
        for c, value, ok in suite.clause_values(row):
            shown = "-" if value is None else f"{value:.1f} ns" if c.ref == "abs" else f"{value:.2f}x"
            parts.append(f"{c.text()}: {shown}{'' if ok else ' SHORT'}")
        first, *rest = _wrap(f"{row.group} / {row.name}: " + "; ".join(parts), WIDTH - 2)
        out.write(f"  {first}\n" + "".join(f"    {line}\n" for line in rest))


def _legend(out: TextIO, ref: str, clock: str, repeat: int, compare: str | None) -> None:
    lines = [
        f"ns per call ({CLOCKS[clock][1]}): native ns is the median of {repeat} interleaved rounds, IQR its "
        "interquartile range, min its fastest round (k, M: thousands, millions, where a column is too narrow);",
        f"{ref} ns: the same work in pure Python (or, in the peer table, in the named library); "
        "speedup = reference / native (above 1x: native is faster);",
        "floor: the cheapest native call of the same arity returning the same kind of result "
        "(quarvel.bench._floor);",
        "vs floor = native / floor (how many floors the operation costs); [locked floor]: the row's floor "
        "also takes and releases a threading.Lock, as the operation must;",
        "goal: met, SHORT (the median misses the row's goal; listed below the table with the goal and what was "
        "measured; --fail-on-short makes it a failing exit) or - (a row the goal refers to was not measured); "
        "python -m quarvel.bench --list shows every goal.",
    ]
    if compare:
        lines.append(f"vs old = native / native of {compare} (below 1x: faster than before).")
    for line in lines:
        first, *rest = _wrap(line, WIDTH - 2)
        out.write(first + "\n" + "".join(f"  {part}\n" for part in rest))


def _row_json(suite: Suite, row: Row, old: dict[tuple[str, str], float] | None) -> dict[str, Any]:
    return {
        "module": row.group, "operation": row.name, "goal": row.goal, "goal_met": suite.goal_met(row),
        "labels": {"python": row.python_label, "floor": row.floor_label},
        "statements": {k: s for k, s in row.statements()},
        "timings": {k: row.summary(k) for k, _ in row.statements()},
        "ratios": _ratios(row, old),
    }


def _load_old(path: str) -> dict[tuple[str, str], float]:
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        return {(r["module"], r["operation"]): r["timings"]["native"]["median"] for r in data["rows"]}
    except (OSError, ValueError, KeyError, TypeError) as e:
        raise BenchError(f"--compare {path}: not a result file of this runner ({type(e).__name__}: {e})") from e


# --- loading --------------------------------------------------------------------------------------

def _row_files(d: Path) -> list[Path]:
    return sorted(f for f in d.glob("*.py") if not f.name.startswith("_"))


def _load(path: Path, suite: Suite) -> None:
    name = f"quarvel.bench.rows.{path.stem}"
    found = importlib.util.spec_from_file_location(name, path)
    if found is None or found.loader is None:
        raise BenchError(f"{path}: cannot be loaded")
    mod = importlib.util.module_from_spec(found)
    sys.modules[name] = mod
    try:
        found.loader.exec_module(mod)
        register = getattr(mod, "register", None)
        if register is None:
            raise BenchError(f"{path}: defines no register(suite)")
        register(suite)
    except BenchError:
        raise
    except Exception as e:
        raise BenchError(f"row file {path} failed to load:\n{traceback.format_exc().rstrip()}") from e


def _selected(files: list[Path], names: list[str]) -> list[Path]:
    if not names:
        return files
    known = {f.stem: f for f in files}
    unknown = [n for n in names if n not in known]
    if unknown:
        raise BenchError(f"no rows for {', '.join(unknown)} (modules: {', '.join(known)})")
    return [known[n] for n in dict.fromkeys(names)]


QUICK = {"repeat": 5, "target_ms": 0.5}  # --quick: a check that everything runs, not a measurement


def main(argv: list[str] | None = None, out: TextIO | None = None) -> int:
    """Runs the benchmark; returns the exit status: 0, 1 (a goal short, with --fail-on-short),
    2 (a row file, goal or option that cannot be used) or 130 (interrupted)."""
    out = out or sys.stdout
    ap = argparse.ArgumentParser(
        prog="python -m quarvel.bench",
        description="Times every native hot path against its pure-Python equivalent, the floor and, with "
                    "the 'bench' extra installed, peer libraries; checks each row's goal.")
    ap.add_argument("modules", nargs="*", help="modules to run (same as --only)")
    ap.add_argument("--only", action="append", default=[], metavar="MODULE",
                    help="run only these modules (repeatable, or a comma-separated list)")
    ap.add_argument("--repeat", type=int, metavar="N",
                    help="interleaved rounds per row (default 25; more rounds, steadier medians)")
    ap.add_argument("--target-ms", type=float, metavar="MS",
                    help="time of one sample of one statement (default 2 ms)")
    ap.add_argument("--quick", action="store_true",
                    help=f"a fast pass that shows every row runs ({QUICK['repeat']} rounds of "
                         f"{QUICK['target_ms']:g} ms samples unless --repeat/--target-ms say otherwise); "
                         "too short for figures worth keeping")
    ap.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                    help="cpu: the timing thread's CPU time (default; steady on a busy machine); wall: elapsed time")
    ap.add_argument("--json", metavar="FILE", help="write the results as JSON to FILE")
    ap.add_argument("--compare", metavar="OLD.json", help="show each row's native median against an earlier run")
    ap.add_argument("--fail-on-short", action="store_true",
                    help="exit with status 1 when any row falls short of its goal")
    ap.add_argument("--list", action="store_true", help="load the rows, check their goals, list them; time nothing")
    ap.add_argument("--rows", metavar="DIR", help=argparse.SUPPRESS)  # another directory of row files (tests)
    args = ap.parse_args(argv)
    if args.repeat is None:
        args.repeat = QUICK["repeat"] if args.quick else 25
    if args.target_ms is None:
        args.target_ms = QUICK["target_ms"] if args.quick else 2.0
    try:
        return _run(args, out)
    except BenchError as e:
        print(f"python -m quarvel.bench: error: {e}", file=sys.stderr)
        return 2


def _check_writable(path: str) -> None:
    """Fails now, before anything is timed, if the results could not be written to ``path`` later."""
    target = Path(path)
    if target.is_dir():
        raise BenchError(f"--json {path}: is a directory")
    if not target.parent.is_dir():
        raise BenchError(f"--json {path}: directory {str(target.parent)!r} does not exist")
    existed = target.exists()
    try:
        with open(target, "a", encoding="utf-8"):  # creates nothing that stays, truncates nothing
            pass
    except OSError as e:
        raise BenchError(f"--json {path}: cannot write there ({e.strerror or e})") from e
    if not existed:
        target.unlink()


def _package_version() -> str:
    import quarvel

    return str(getattr(quarvel, "__version__", "unknown"))


def _now() -> str:
    return datetime.now(timezone.utc).isoformat(timespec="seconds")


def _run(args: argparse.Namespace, out: TextIO) -> int:
    if args.repeat < 1:
        raise BenchError("--repeat must be at least 1")
    if args.target_ms <= 0:
        raise BenchError("--target-ms must be positive")
    if args.json:
        _check_writable(args.json)
    names = [n.strip() for n in args.modules + [x for o in args.only for x in o.split(",")] if n.strip()]
    d = Path(args.rows) if args.rows else rows_dir()
    files = _row_files(d)
    if not files:
        raise BenchError(f"no row files in {d}")
    files = _selected(files, names)
    old = _load_old(args.compare) if args.compare else None
    suite = Suite(repeat=args.repeat, target_s=args.target_ms / 1000, clock=args.clock)
    for f in files:
        _load(f, suite)
    suite.check_row_refs()
    if args.list:
        for r in suite.rows:
            first, *rest = _wrap(f"{r.name}{'  ' + r.goal if r.goal else ''}", WIDTH - 15)
            out.write(f"{r.group:<14} {first}\n" + "".join(f"{'':<14} {line}\n" for line in rest))
        for s in suite.skipped:
            need = s.reason or f"needs package '{s.package}'"
            out.write(f"{s.group:<14} skipped: {s.what} ({need})\n")
        return 0

    m = _machine()
    started_at = _now()
    title = (f"quarvel {_package_version()} benchmark: {m['implementation']} {m['python']} on {m['cpu']} "
             f"({m['cpus']} CPUs), {m['platform']}")
    out.write("".join(f"{line}\n" for line in _wrap(title, WIDTH)))
    _legend(out, "python", suite.clock, suite.repeat, args.compare)
    out.write("\n")
    started = time.perf_counter()
    own = [r for r in suite.rows if not r.peer]
    peers = [r for r in suite.rows if r.peer]
    interrupted = False
    try:
        for title, rows, ref in (("", own, "python"),
                                 ("peer libraries (reference = the named library)", peers, "peer")):
            if not rows:
                continue
            if title:
                out.write(f"\n{title}\n")
            _header(out, ref, old is not None)
            group = None
            for row in rows:
                if row.group != group:
                    group = row.group
                    _group(out, group)
                try:
                    suite.time_row(row)
                except KeyboardInterrupt:
                    row.samples.clear()  # half-timed: reported as not measured
                    row.numbers.clear()
                    raise
                _line(suite, row, old, out)
    except KeyboardInterrupt:
        interrupted = True
    measured = [r for r in suite.rows if r.samples]
    for line in dict.fromkeys(s.message() for s in suite.skipped):
        first, *rest = _wrap(line, WIDTH - 2)
        out.write(first + "\n" + "".join(f"  {part}\n" for part in rest))
    _shortfalls(suite, measured, out)
    met = [suite.goal_met(r) for r in measured]
    if interrupted:
        out.write(f"\ninterrupted: {len(measured)} of {len(suite.rows)} rows measured\n")
    out.write(f"\ngoals: {met.count(True)} met, {met.count(False)} short, {met.count(None)} rows without a "
              f"verdict; {time.perf_counter() - started:.0f} s\n")
    if args.json:
        result = {"format": JSON_FORMAT,
                  "package": {"name": "quarvel", "version": _package_version()},
                  "interpreter": {"implementation": m["implementation"], "version": sys.version,
                                  "executable": sys.executable},
                  "machine": m, "started": started_at, "finished": _now(), "interrupted": interrupted,
                  "clock": suite.clock, "repeat": suite.repeat, "target_ms": args.target_ms,
                  "compared_with": args.compare, "rows": [_row_json(suite, r, old) for r in measured],
                  "skipped": [{"module": s.group, "rows": s.what, "missing": s.package} for s in suite.skipped]}
        with open(args.json, "w", encoding="utf-8") as fh:
            json.dump(result, fh, indent=1)
            fh.write("\n")
        out.write(f"results written to {args.json}\n")
    if interrupted:
        return 130
    if args.fail_on_short and False in met:
        out.write("failing: a goal is short (--fail-on-short)\n")
        return 1
    return 0
