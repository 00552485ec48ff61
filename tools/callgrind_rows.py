#!/usr/bin/env python3
"""Instructions per call of the benchmark rows, counted by callgrind (deterministic on a busy machine).

    tools/callgrind_rows.py [MODULE ...] [--all] [-k TEXT] [--calls N] [--python] [--no-floor] [--json FILE]

Runs the interpreter that runs this script under ``valgrind --tool=callgrind`` (``PYTHONHASHSEED=0``,
the collector off), loads the rows of ``python -m quarvel.bench`` from ``src/quarvel/bench/rows`` and
counts, for each statement of each selected row, the instructions of a loop of N calls and of 2N calls
(the timeit loop, with the row's namespace and setup; the setup runs outside the counted region).
Instructions per call = (count(2N) - count(N)) / N, minus the same figure for an empty loop body.
Rows that fix their calls per sample (they consume state) run N = half that number.

Printed per row: the native statement, the floor (a bare native method of the same arity; leave out
with --no-floor) and, for rows against a peer library, the peer's statement; plain-Python references
only with --python. Default modules: those with state (sync_kernel, block_index, bucket_pool,
compile_gate, counter_fold); --all for every module, or name modules. -k keeps rows whose
name contains TEXT (repeatable).

Needs valgrind with its headers (callgrind.h) and a C compiler: the start/stop client requests are
issued from a tiny helper library built on the fly. Takes a few minutes for the default modules.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import itertools
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_MODULES = ["sync_kernel", "block_index", "bucket_pool", "compile_gate", "counter_fold"]

HELPER_C = r"""
#include <valgrind/callgrind.h>
void qn_cg_toggle(void) { CALLGRIND_TOGGLE_COLLECT; }
void qn_cg_dump(const char* label) { CALLGRIND_DUMP_STATS_AT(label); }
"""

TEMPLATE = """
def inner(_it, _toggle):
    {setup}
    _toggle()
    for _i in _it:
        {stmt}
    _toggle()
"""


def build_helper(d: Path) -> Path:
    src, lib = d / "cg_helper.c", d / "cg_helper.so"
    src.write_text(HELPER_C)
    subprocess.run([os.environ.get("CC", "cc"), "-O1", "-shared", "-fPIC", "-o", str(lib), str(src)], check=True)
    return lib


# --- child: runs under callgrind --------------------------------------------------------------------

class Counter:
    def __init__(self, lib: Path, outdir: Path) -> None:
        self.lib = ctypes.CDLL(str(lib))
        self.lib.qn_cg_dump.argtypes = [ctypes.c_char_p]
        self.outdir = outdir
        self.dumps = 0

    def count(self, fn, n: int) -> int:
        """Instructions of fn(itertools.repeat(None, n), toggle) between its two toggles."""
        it = itertools.repeat(None, n)
        fn(it, self.lib.qn_cg_toggle)
        self.dumps += 1
        self.lib.qn_cg_dump(b"m%d" % self.dumps)
        return self._read_last()

    def _read_last(self) -> int:
        files = [p for p in self.outdir.iterdir() if p.name.startswith("cg.out")]
        newest = max(files, key=lambda p: p.stat().st_mtime_ns)
        total = None
        with open(newest, encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith(("summary:", "totals:")):
                    total = int(line.split()[1])
        for p in files:
            p.unlink()
        if total is None:
            raise RuntimeError(f"{newest}: no totals line")
        return total


def compile_loop(stmt: str, setup: str, ns: dict):
    def indent(s: str, n: int) -> str:
        return s.replace("\n", "\n" + " " * n)

    code = TEMPLATE.format(stmt=indent(stmt, 8), setup=indent(setup, 4))
    local: dict = {}
    exec(compile(code, "<callgrind row>", "exec"), ns, local)
    return local["inner"]


def per_call(counter: Counter, stmt: str, setup: str, ns: dict, n: int) -> float:
    fn = compile_loop(stmt, setup, ns)
    fn(itertools.repeat(None, min(n, 50)), lambda: None)  # warm-up: caches, specialisation, lazy state
    a = counter.count(fn, n)
    b = counter.count(fn, 2 * n)
    return (b - a) / n


def child(args: argparse.Namespace) -> int:
    gc.disable()
    sys.path.insert(0, str(ROOT / "src"))
    from quarvel.bench import runner

    suite = runner.Suite()
    files = runner._selected(runner._row_files(runner.rows_dir()), args.modules)
    for f in files:
        runner._load(f, suite)
    counter = Counter(Path(args.helper), Path(args.outdir))
    bare = {}
    cache: dict = {}
    results = []
    for row in suite.rows:
        if args.k and not any(k in row.name for k in args.k):
            continue
        ns = row.ns() if callable(row.ns) else row.ns
        n = max(1, row.number // 2) if row.number else args.calls
        if n not in bare:
            bare[n] = per_call(counter, "pass", "pass", {}, n)
        out = {"module": row.group, "operation": row.name, "calls": n, "reference_label": row.python_label}
        for kind, stmt in row.statements():
            if kind == "python" and not (row.peer or args.python):
                continue
            if kind == "floor" and args.no_floor:
                continue
            key = (id(ns), row.setup, stmt, n)
            if key not in cache:
                try:
                    cache[key] = round(per_call(counter, stmt, row.setup, ns, n) - bare[n], 1)
                except Exception as e:  # a peer or model call that fails here: say so, go on
                    cache[key] = f"{type(e).__name__}: {e}"
            out[kind] = cache[key]
        results.append(out)
        print(json.dumps(out), flush=True)
    for s in suite.skipped:
        print(json.dumps({"skipped": f"{s.group} {s.what}: package '{s.package}' is not installed"}), flush=True)
    return 0


# --- parent: starts the child, prints the table -------------------------------------------------------

def fmt(v) -> str:
    if v is None:
        return "-"
    if isinstance(v, str):
        return "error"
    return f"{v:.0f}"


def parent(args: argparse.Namespace) -> int:
    modules = args.modules or ([] if args.all else DEFAULT_MODULES)
    with tempfile.TemporaryDirectory(prefix="callgrind-rows-") as tmp:
        d = Path(tmp)
        helper = build_helper(d)
        cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--dump-line=no", "--dump-instr=no",
               f"--callgrind-out-file={d}/cg.out", "--quiet",
               sys.executable, str(Path(__file__).resolve()), "--child", "--helper", str(helper), "--outdir", str(d),
               "--calls", str(args.calls)]
        cmd += [f"-k{k}" for k in args.k] + (["--python"] if args.python else [])
        cmd += ["--no-floor"] if args.no_floor else []
        cmd += modules
        env = dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=os.pathsep.join(
            [str(ROOT / "src")] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
        print(f"callgrind instructions per call, CPython {sys.version.split()[0]} ({sys.executable}); "
              f"loops of N and 2N calls, empty loop subtracted, PYTHONHASHSEED=0, gc off", flush=True)
        print(f"{'module':<14} {'operation':<52} {'native':>8} {'floor':>7} {'reference':>10}  reference is",
              flush=True)
        rows, skipped = [], []
        errf = open(d / "stderr", "w+", encoding="utf-8")
        with errf, subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=errf, text=True) as p:
            assert p.stdout is not None
            for line in p.stdout:
                if not line.startswith("{"):
                    continue
                r = json.loads(line)
                if "skipped" in r:
                    skipped.append(r["skipped"])
                    continue
                rows.append(r)
                ref = r.get("python")
                print(f"{r['module']:<14} {r['operation'][:52]:<52} {fmt(r.get('native')):>8} "
                      f"{fmt(r.get('floor')):>7} {fmt(ref):>10}  {r['reference_label'] if ref is not None else ''}"
                      + (f"  [{ref}]" if isinstance(ref, str) else "")
                      + (f"  [native: {r['native']}]" if isinstance(r.get("native"), str) else ""), flush=True)
            p.wait()
            errf.seek(0)
            err = errf.read()
        for s in skipped:
            print(f"skipped: {s}")
        # valgrind's own notes start with ==pid==; anything else is the child's (a traceback)
        sys.stderr.write("".join(ln for ln in err.splitlines(True) if not ln.startswith("==")))
        if p.returncode != 0:
            print(f"callgrind run failed (exit {p.returncode})", file=sys.stderr)
            return 1
    if args.json:
        with open(args.json, "w", encoding="utf-8") as fh:
            json.dump({"python": sys.version.split()[0], "rows": rows, "skipped": skipped}, fh, indent=1)
            fh.write("\n")
    return 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("modules", nargs="*", help="modules whose rows to count (default: the modules with state)")
    ap.add_argument("--all", action="store_true", help="every module's rows")
    ap.add_argument("-k", action="append", default=[], metavar="TEXT", help="only rows whose name contains TEXT")
    ap.add_argument("--calls", type=int, default=1000, metavar="N", help="N (default 1000)")
    ap.add_argument("--python", action="store_true", help="also count the plain-Python references")
    ap.add_argument("--no-floor", action="store_true", help="leave out the floors")
    ap.add_argument("--json", metavar="FILE", help="also write the figures as JSON")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--helper", help=argparse.SUPPRESS)
    ap.add_argument("--outdir", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.calls < 1:
        ap.error("--calls must be at least 1")
    return child(args) if args.child else parent(args)


if __name__ == "__main__":
    sys.exit(main())
