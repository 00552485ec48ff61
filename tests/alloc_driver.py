"""Allocation-failure sweep over one module's public callables, run in its own interpreter:

    python alloc_driver.py MODULE [--cap N] [--fresh K,K,...]

For every expression of native_calls.MODULES[MODULE] (valid and failing arguments), and for
k = 0, 1, 2, ... (at most --cap):

- "from" mode: every allocation from the k-th of the call on fails (_testcapi.set_nomemory(k, 0)),
  until the call makes fewer than k allocations;
- "at" mode: only the k-th allocation fails (set_nomemory(k, k + 1)), for each k the call reached,
  so that error paths run with memory to spare (and fallbacks can answer).

The call must raise MemoryError or end as it does without a failure (same result type, or the same
exception type); then the same call, without failure, must give its usual outcome (the same value
where the call is deterministic): the objects still work. With --fresh, each valid call is also
made as the first call of a forked copy of the interpreter taken right after the setup (so state
created on first use is created under the failure), with every allocation from k on failing.

Prints one JSON line: {"failures": [...], "points": allocation points tried, "calls": n}. A crash
kills this process: the caller sees a signal instead of the JSON line, and the last "case" line on
stderr names the call.
"""

import json
import os
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _testcapi  # noqa: E402

from native_calls import MODULES  # noqa: E402


def outcome(fn):
    try:
        return ("ok", fn())
    except MemoryError:
        return ("memory", None)
    except Exception as exc:
        return ("raised", type(exc), str(exc))


def kind(o):
    return (o[0], type(o[1]) if o[0] == "ok" else o[1])


# CPython itself (3.11 at least) may lose an exception it is raising when an allocation fails at
# one point of the raise, and then reports this instead; only accepted where the call raises anyway.
LOST_EXCEPTION = ("raised", SystemError, "error return without exception set")
# threading.Lock() itself reports a failed allocation of its native lock so (constructors make one).
LOCK_FAILED = ("raised", RuntimeError, "can't allocate lock")


def import_system_lost_exception(got):
    """CPython 3.13's import system (a failing import the probe makes on every call there) losing
    the exception it raises when an allocation fails in it."""
    return got[:2] == ("raised", SystemError) and got[2].startswith("<function _find_and_load ") and \
        got[2].endswith(" returned NULL without setting an exception")


def acceptable(got, ref):
    """The outcome of a call under failure: MemoryError, or the outcome it has without one."""
    if got[0] == "memory" or kind(got) == kind(ref) or got == LOCK_FAILED or import_system_lost_exception(got):
        return True
    return ref[0] in ("raised", "memory") and got == LOST_EXCEPTION


def same_value(a, b):
    try:
        return bool(a == b)
    except Exception:
        return False


class Sweep:
    def __init__(self, module, cap):
        self.module = module
        self.cap = cap
        self.failures = []
        self.points = 0

    def fail(self, expr, mode, k, what):
        self.failures.append(f"{expr} [{mode} k={k}]: {what}")

    def check_after(self, expr, mode, k, fn, ref, deterministic):
        after = outcome(fn)
        if kind(after) != kind(ref):
            self.fail(expr, mode, k, f"afterwards {kind(after)} instead of {kind(ref)}")
            return False
        if deterministic and after[0] == "ok" and not same_value(after[1], ref[1]):
            self.fail(expr, mode, k, f"afterwards {after[1]!r} instead of {ref[1]!r}")
            return False
        return True

    def under_failure(self, fn, start, stop):
        """Runs fn with allocations failing from `start` (to `stop`, 0: no end); returns its outcome
        and whether the call stayed short of allocation `start` (nothing failed in it)."""
        _testcapi.set_nomemory(start, stop)
        try:
            got = outcome(fn)
            short = False
            if stop == 0:
                try:
                    bytearray(16)
                    short = True
                except MemoryError:
                    pass
        finally:
            _testcapi.remove_mem_hooks()
        return got, short

    def run(self, expr, ns):
        sys.stderr.write(f"case {expr}\n")
        sys.stderr.flush()
        fn = eval("lambda: " + expr, ns)
        ref = outcome(fn)
        # A call that changes state in two steps (the tuples of native_calls) may fail between them.
        deterministic = not expr.startswith("(") and (same_value(outcome(fn)[1], ref[1]) if ref[0] == "ok" else True)
        reached = self.cap
        for k in range(self.cap):
            got, short = self.under_failure(fn, k, 0)
            if short:
                reached = k
                break
            self.points += 1
            if not acceptable(got, ref):
                self.fail(expr, "from", k, f"{got[1:]} instead of MemoryError or {kind(ref)}")
            if not self.check_after(expr, "from", k, fn, ref, deterministic):
                return
        for k in range(reached):
            got, _ = self.under_failure(fn, k, k + 1)
            self.points += 1
            if not acceptable(got, ref):
                self.fail(expr, "at", k, f"{got[1:]} instead of MemoryError or {kind(ref)}")
            if not self.check_after(expr, "at", k, fn, ref, deterministic):
                return

    def fresh(self, expr, ns, ks):
        """First calls in a forked copy of the interpreter, for each k."""
        sys.stderr.write(f"case (first call) {expr}\n")
        sys.stderr.flush()
        for k in ks:
            pid = os.fork()
            if pid == 0:
                code = 0
                signal.alarm(60)  # a hang fails the case instead of the whole run
                try:
                    fn = eval("lambda: " + expr, ns)
                    got, _ = self.under_failure(fn, k, 0)
                    after = outcome(fn)
                    if after[0] == "memory" or not acceptable(got, after):
                        os.write(2, f"first call {expr} [k={k}]: {kind(got)}, then {kind(after)}\n".encode())
                        code = 3
                finally:
                    os._exit(code)
            _, status = os.waitpid(pid, 0)
            self.points += 1
            if os.WIFSIGNALED(status):
                self.fail(expr, "first call", k, f"killed by signal {os.WTERMSIG(status)}")
            elif os.WEXITSTATUS(status) != 0:
                self.fail(expr, "first call", k, f"exit status {os.WEXITSTATUS(status)}")


def main(argv):
    module = argv[1]
    cap = 10**9
    fresh = []
    if "--cap" in argv:
        cap = int(argv[argv.index("--cap") + 1])
    if "--fresh" in argv:
        fresh = [int(k) for k in argv[argv.index("--fresh") + 1].split(",") if k]
    entry = MODULES[module]
    ns = {}
    exec(entry["setup"], ns)
    sweep = Sweep(module, cap)
    if fresh:
        for expr in entry["calls"]:
            sweep.fresh(expr, ns, fresh)
    for expr in entry["calls"] + entry["bad"]:
        sweep.run(expr, ns)
    print(json.dumps({"failures": sweep.failures, "points": sweep.points,
                      "calls": len(entry["calls"]) + len(entry["bad"])}))


if __name__ == "__main__":
    main(sys.argv)
