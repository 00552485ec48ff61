"""Helpers shared by the tests: threads for the stress tests, memory growth for the leak tests."""

import gc
import sys
import threading
import time
import tracemalloc

_real_lock = threading.Lock  # tests rebind modules' `threading`, never this one


class SwitchingLock:
    """A lock written in Python (what a rebound `threading` may supply) that hands the interpreter
    to other threads when it is made, inside every acquire and around every release, so that other
    threads meet it taken; checks that only its holder releases it and counts what happened.
    Every instance is remembered in `SwitchingLock.made` (reset it at the start of a test)."""

    made = []

    def __init__(self):
        time.sleep(0)
        self._lock = _real_lock()
        self.holder = None
        self.acquired = self.released = self.contended = 0
        SwitchingLock.made.append(self)

    def acquire(self, blocking=True, timeout=-1):
        time.sleep(0)
        if self._lock.locked():
            self.contended += 1
        if not self._lock.acquire(blocking, timeout):
            return False
        assert self.holder is None
        self.holder = threading.get_ident()
        self.acquired += 1
        time.sleep(0)
        return True

    def release(self):
        assert self.holder == threading.get_ident()
        time.sleep(0)
        self.holder = None
        self.released += 1
        self._lock.release()
        time.sleep(0)

    def locked(self):
        return self._lock.locked()

    def __enter__(self):
        return self.acquire()

    def __exit__(self, *exc):
        self.release()


def run_threads(targets, interval=1e-6, timeout=120.0):
    """Runs each callable on its own daemon thread with a tiny switch interval; re-raises the first
    error of any of them, and fails (instead of hanging the suite) when one never finishes."""
    errors = []

    def guarded(target):
        def run():
            try:
                target()
            except BaseException as exc:  # reported by the calling thread
                errors.append(exc)
        return run

    threads = [threading.Thread(target=guarded(t), daemon=True) for t in targets]
    old = sys.getswitchinterval()
    sys.setswitchinterval(interval)
    try:
        for t in threads:
            t.start()
        deadline = time.monotonic() + timeout
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()))
    finally:
        sys.setswitchinterval(old)
    assert not any(t.is_alive() for t in threads), "a thread is stuck (deadlock)"
    if errors:
        raise errors[0]


def retained_memory(run, warmup=None, unit="bytes"):
    """What stays allocated after `run()`, once `warmup()` (by default `run` itself) has filled the
    caches and free lists the calls use, the collector run after each: traced bytes ("bytes", with
    tracemalloc) or the interpreter's allocated blocks ("blocks", sys.getallocatedblocks, which
    costs nothing per allocation, for long loops). A leak of one object per call shows up as growth
    proportional to the calls in `run`.

    In bytes, `run` is measured twice and the smaller growth counts: a table of the interpreter's
    that happens to double during one run (the interned strings, after the rest of the suite
    filled it) is one large allocation that a leak would repeat and a resize does not."""
    (warmup or run)()
    gc.collect()
    if unit == "blocks":
        before = sys.getallocatedblocks()
        run()
        gc.collect()
        return sys.getallocatedblocks() - before
    assert unit == "bytes", unit
    grown = []
    tracemalloc.start()
    try:
        for _ in range(2):
            before = tracemalloc.get_traced_memory()[0]
            run()
            gc.collect()
            grown.append(tracemalloc.get_traced_memory()[0] - before)
    finally:
        tracemalloc.stop()
    return min(grown)
