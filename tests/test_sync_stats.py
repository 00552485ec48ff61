"""LockFreeStatistics and PerformanceTimer of quarvel.memory.sync_kernel."""

import gc
import pickle
import random
import sys
import threading
import time
import types
import weakref

import pytest

from helpers import run_threads
from quarvel.memory import sync_kernel as sk
from quarvel.memory.sync_kernel import AtomicCounter, LockFreeStatistics, PerformanceTimer

ATTRS = (
    "total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
    "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
    "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns",
    "total_deallocation_time_ns",
)
KEYS = (
    "total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
    "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
    "fallback_allocations", "bucketed_allocation_ratio", "alignment_padding_bytes",
    "average_allocation_time_ns", "average_deallocation_time_ns", "allocation_mode",
)


# ---- a plain-Python transcription of the class, the reference for the randomized comparisons ----

def _int_arg(value, name):
    if type(value) is int:
        return value
    if isinstance(value, (int, float)) or hasattr(type(value), "__int__") or hasattr(type(value), "__index__"):
        return int(value)
    raise TypeError(f"Argument '{name}' has incorrect type (expected int, got {type(value).__name__})")


def _i64(value):
    if not -2**63 <= value < 2**63:
        raise OverflowError("value too large to convert to int64_t")
    return value


class ModelStats:
    def __init__(self, counter_type=AtomicCounter):
        for name in ATTRS:
            setattr(self, name, counter_type(0))

    def record_allocation(self, size, is_bucketed=True, padding=0, time_ns=0):
        size = _int_arg(size, "size")
        is_bucketed = bool(is_bucketed)
        padding = _int_arg(padding, "padding")
        time_ns = _int_arg(time_ns, "time_ns")
        self.total_allocations.increment()
        self.current_allocations.increment()
        self.bytes_allocated.increment(size)
        if is_bucketed:
            self.bucketed_allocations.increment()
        else:
            self.fallback_allocations.increment()
        if padding > 0:
            self.alignment_padding_bytes.increment(padding)
        if time_ns > 0:
            self.total_allocation_time_ns.increment(time_ns)
        current_allocs = self.current_allocations.load()
        current_bytes = self.bytes_allocated.load()
        self._update_peaks(current_allocs, current_bytes)

    def record_deallocation(self, size, time_ns=0):
        size = _int_arg(size, "size")
        time_ns = _int_arg(time_ns, "time_ns")
        self.total_deallocations.increment()
        self.current_allocations.decrement()
        self.bytes_allocated.decrement(size)
        if time_ns > 0:
            self.total_deallocation_time_ns.increment(time_ns)

    def py_record_allocation(self, size, is_bucketed, padding=0, time_ns=0):
        size = _i64(_int_arg(size, "size"))
        is_bucketed = bool(is_bucketed)
        padding = _i64(_int_arg(padding, "padding"))
        time_ns = _i64(_int_arg(time_ns, "time_ns"))
        self.total_allocations.increment()
        self.current_allocations.increment()
        self.bytes_allocated.increment(size)

    def py_record_deallocation(self, size, time_ns=0):
        size = _i64(_int_arg(size, "size"))
        time_ns = _i64(_int_arg(time_ns, "time_ns"))
        self.total_deallocations.increment()
        self.current_allocations.decrement()
        self.bytes_allocated.decrement(size)

    def _update_peaks(self, current_allocs, current_bytes):
        current_allocs = _int_arg(current_allocs, "current_allocs")
        current_bytes = _int_arg(current_bytes, "current_bytes")
        while True:
            peak = self.peak_allocations.load()
            if current_allocs <= peak or self.peak_allocations.compare_and_swap(peak, current_allocs):
                break
        while True:
            peak = self.peak_bytes_allocated.load()
            if current_bytes <= peak or self.peak_bytes_allocated.compare_and_swap(peak, current_bytes):
                break

    def get_snapshot(self):
        (total, deallocs, current, nbytes, reserved, peak, peak_bytes, bucketed, fallback,
         padding, alloc_time, dealloc_time) = [getattr(self, name).load() for name in ATTRS]
        ratio = bucketed / total * 100.0 if total > 0 else 0.0
        avg_alloc = alloc_time / total if total > 0 else 0.0
        avg_dealloc = dealloc_time / deallocs if deallocs > 0 else 0.0
        return {
            "total_allocations": total, "total_deallocations": deallocs,
            "current_allocations": current, "bytes_allocated": nbytes, "bytes_reserved": reserved,
            "peak_allocations": peak, "peak_bytes_allocated": peak_bytes,
            "bucketed_allocations": bucketed, "fallback_allocations": fallback,
            "bucketed_allocation_ratio": format(ratio, ".1f") + "%",
            "alignment_padding_bytes": padding, "average_allocation_time_ns": avg_alloc,
            "average_deallocation_time_ns": avg_dealloc, "allocation_mode": "lock-free C11 atomics",
        }

    def reset(self):
        for name in ATTRS:
            getattr(self, name).store(0)


class SubCounter(AtomicCounter):
    """Not an exact AtomicCounter: every call goes through the methods by name."""


class SwitchingCounter(AtomicCounter):
    """Hands the interpreter to another thread after every read, so that a read and the update
    that depends on it (the peaks' compare-and-swap loops) interleave with other threads."""

    def load(self):
        value = super().load()
        time.sleep(0)
        return value


def _with_counters(stats, counter_type):
    if counter_type is not AtomicCounter:
        for name in ATTRS:
            setattr(stats, name, counter_type(0))
    return stats


class Recorder:
    """A stand-in counter that logs every call made on it."""

    def __init__(self, name, log, value=0):
        self.name, self.log, self.value = name, log, value

    def increment(self, delta=1):
        self.log.append((self.name, "increment", delta))
        self.value += delta
        return self.value

    def decrement(self, delta=1):
        self.log.append((self.name, "decrement", delta))
        self.value -= delta
        return self.value

    def load(self):
        self.log.append((self.name, "load"))
        return self.value

    def store(self, value):
        self.log.append((self.name, "store", value))
        self.value = value

    def compare_and_swap(self, expected, new_value):
        self.log.append((self.name, "compare_and_swap", expected, new_value))
        if self.value == expected:
            self.value = new_value
            return True
        return False


def _outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except Exception as exc:  # the comparison is on type and message
        return (type(exc), str(exc))


def _random_ops(rng, n):
    values = [0, 1, -1, 7, 64, 4096, 2**31, 2**53 + 1, 2**62, 2**63 - 1, 2**63, -2**63, -2**64,
              3.9, -2.5, True, False]
    ops = []
    for _ in range(n):
        v = lambda: rng.choice(values) if rng.random() < 0.3 else rng.randrange(-50, 5000)
        kind = rng.randrange(8)
        if kind in (0, 1):
            args = [v()]
            for extra in range(rng.randrange(4)):
                args.append(rng.choice([True, False, 0, 1, "", "x", None]) if extra == 0 else v())
            ops.append(("record_allocation", tuple(args)))
        elif kind == 2:
            ops.append(("record_deallocation", tuple(v() for _ in range(rng.randrange(1, 3)))))
        elif kind == 3:
            ops.append(("py_record_allocation", (v(), rng.random() < 0.5) + tuple(v() for _ in range(rng.randrange(3)))))
        elif kind == 4:
            ops.append(("py_record_deallocation", tuple(v() for _ in range(rng.randrange(1, 3)))))
        elif kind == 5:
            ops.append(("_update_peaks", (v(), v())))
        elif kind == 6:
            ops.append(("get_snapshot", ()))
        else:
            ops.append(("reset", ()) if rng.random() < 0.1 else ("get_snapshot", ()))
    return ops


# ---- snapshot and recording ----

def test_fresh_snapshot():
    snap = LockFreeStatistics().get_snapshot()
    assert tuple(snap) == KEYS
    assert snap["bucketed_allocation_ratio"] == "0.0%"
    assert snap["allocation_mode"] == "lock-free C11 atomics"
    for key in ("average_allocation_time_ns", "average_deallocation_time_ns"):
        assert type(snap[key]) is float and snap[key] == 0.0
    assert all(snap[k] == 0 and type(snap[k]) is int for k in KEYS if k not in
               ("bucketed_allocation_ratio", "allocation_mode", "average_allocation_time_ns",
                "average_deallocation_time_ns"))
    assert all(type(getattr(LockFreeStatistics(), name)) is AtomicCounter for name in ATTRS)


def test_worked_sequence_and_ratios():
    s = LockFreeStatistics()
    s.record_allocation(100, True, 8, 50)
    s.record_allocation(200, False, 0, 150)
    s.record_deallocation(100, 40)
    snap = s.get_snapshot()
    expected = dict(total_allocations=2, total_deallocations=1, current_allocations=1,
                    bytes_allocated=200, bytes_reserved=0, peak_allocations=2,
                    peak_bytes_allocated=300, bucketed_allocations=1, fallback_allocations=1,
                    bucketed_allocation_ratio="50.0%", alignment_padding_bytes=8,
                    average_allocation_time_ns=100.0, average_deallocation_time_ns=40.0,
                    allocation_mode="lock-free C11 atomics")
    assert snap == expected

    s = LockFreeStatistics()
    s.record_allocation(64)
    s.record_allocation(64, False, 0, 0)
    s.record_allocation(64, 0, -5, -9)          # falsy bucket flag, non-positive padding/time
    snap = s.get_snapshot()
    assert (snap["bucketed_allocations"], snap["fallback_allocations"]) == (1, 2)
    assert snap["bucketed_allocation_ratio"] == "33.3%"
    assert snap["alignment_padding_bytes"] == 0 and snap["average_allocation_time_ns"] == 0.0
    s.record_allocation(1, "yes")
    s.record_deallocation(1, 0)
    s.record_deallocation(1, -3)
    s.record_deallocation(1, 10)
    snap = s.get_snapshot()
    assert snap["bucketed_allocation_ratio"] == "50.0%"
    assert snap["average_deallocation_time_ns"] == 10 / 3


def test_ratio_and_averages_match_python_arithmetic_on_large_values():
    # Past 2**53 the values are not exact doubles; the quotients must still be Python's.
    for total, bucketed, t in [(3, 2, 10), (2**53 + 1, 2**53 - 1, 2**62 + 3), (2**63 - 1, 1, 2**63 - 1),
                               (7, -2**63, -1), (5, 0, 0), (2**60 + 7, 2**59 + 13, 3)]:
        s = LockFreeStatistics()
        s.total_allocations.store(total)
        s.bucketed_allocations.store(bucketed)
        s.total_allocation_time_ns.store(t)
        s.total_deallocations.store(total)
        s.total_deallocation_time_ns.store(bucketed)
        snap = s.get_snapshot()
        assert snap["bucketed_allocation_ratio"] == format(bucketed / total * 100.0, ".1f") + "%"
        assert snap["average_allocation_time_ns"] == t / total
        assert snap["average_deallocation_time_ns"] == bucketed / total
    s = LockFreeStatistics()
    s.total_allocations.store(-4)
    s.bucketed_allocations.store(9)
    assert s.get_snapshot()["bucketed_allocation_ratio"] == "0.0%"
    # The ratio text is the interpreter's own formatting, ties (12.25 -> 12.2) and -0.0 included.
    rng = random.Random(404)
    pairs = [(b, t) for t in range(1, 160) for b in range(-2, t + 2)]
    pairs += [(rng.randrange(-2**63, 2**63), rng.randrange(1, 2**63)) for _ in range(2000)]
    for b, t in pairs:
        s.total_allocations.store(t)
        s.bucketed_allocations.store(b)
        assert s.get_snapshot()["bucketed_allocation_ratio"] == format(b / t * 100.0, ".1f") + "%", (b, t)


def test_py_record_functions():
    s = LockFreeStatistics()
    s.py_record_allocation(64, True)
    s.py_record_allocation(size=36, is_bucketed=False, padding=4, time_ns=9)
    snap = s.get_snapshot()
    assert (snap["total_allocations"], snap["current_allocations"], snap["bytes_allocated"]) == (2, 2, 100)
    assert snap["bucketed_allocations"] == snap["fallback_allocations"] == 0
    assert snap["peak_allocations"] == snap["peak_bytes_allocated"] == 0
    assert snap["alignment_padding_bytes"] == 0 and snap["average_allocation_time_ns"] == 0.0
    s.py_record_deallocation(64, 5)
    snap = s.get_snapshot()
    assert (snap["total_deallocations"], snap["current_allocations"], snap["bytes_allocated"]) == (1, 1, 36)
    assert snap["average_deallocation_time_ns"] == 0.0

    before = s.get_snapshot()
    for call in [lambda: s.py_record_allocation(2**63, True), lambda: s.py_record_allocation(1, True, 0, 2**64),
                 lambda: s.py_record_deallocation(1, -2**63 - 1)]:
        with pytest.raises(OverflowError):
            call()
    with pytest.raises(TypeError, match=r"Argument 'padding' has incorrect type \(expected int, got str\)"):
        s.py_record_allocation(1, True, "8")
    with pytest.raises(TypeError):
        s.py_record_allocation(1)               # is_bucketed is required here
    assert s.get_snapshot() == before
    s.py_record_allocation(2.9, True)
    assert s.get_snapshot()["bytes_allocated"] == 38

    # Each snapshot is a dict of its own: changing one, or a stand-in attribute meanwhile, leaves the
    # next one as the counters say.
    first = s.get_snapshot()
    first["total_allocations"] = -1
    second = s.get_snapshot()
    second.clear()
    s.total_allocations = types.SimpleNamespace(load=lambda: 7.5)
    assert s.get_snapshot()["total_allocations"] == 7.5
    s.total_allocations = AtomicCounter(3)
    third = s.get_snapshot()
    assert third is not first and third["total_allocations"] == 3 and len(third) == len(before)
    assert {k: v for k, v in third.items() if k != "total_allocations"} == {
        k: v for k, v in s.get_snapshot().items() if k != "total_allocations"}


def test_method_objects_and_annotations():
    C = LockFreeStatistics
    assert C.py_record_allocation is not C.record_allocation
    assert C.py_record_allocation.__name__ == C.record_allocation.__name__ == "record_allocation"
    assert C.py_record_deallocation.__name__ == C.record_deallocation.__name__ == "record_deallocation"
    assert C.record_allocation.__annotations__ == {
        "size": "int", "is_bucketed": "bool", "padding": "int", "time_ns": "int", "return": "None"}
    assert C.py_record_allocation.__annotations__ == {
        "size": "int", "is_bucketed": "bool", "padding": "int", "time_ns": "int"}
    assert C.record_deallocation.__annotations__ == {"size": "int", "time_ns": "int", "return": "None"}
    assert C._update_peaks.__annotations__ == {"current_allocs": "int", "current_bytes": "int", "return": "None"}
    assert C.get_snapshot.__annotations__ == {"return": "dict"}
    assert PerformanceTimer.elapsed_ns.__annotations__ == {"return": "int"}
    assert PerformanceTimer.elapsed_ms.__annotations__ == {"return": "float"}
    assert PerformanceTimer.__doc__ == "High-resolution timer for performance measurement."


def test_argument_conventions():
    s = LockFreeStatistics()
    with pytest.raises(TypeError, match=r"Argument 'size' has incorrect type \(expected int, got str\)"):
        s.record_allocation("64")
    with pytest.raises(TypeError, match="Argument 'time_ns' has incorrect type"):
        s.record_deallocation(1, None)
    with pytest.raises(TypeError, match="Argument 'current_bytes' has incorrect type"):
        s._update_peaks(1, [])
    assert s.get_snapshot()["total_allocations"] == 0      # conversions fail before any step
    s.record_allocation(7.9, padding=2.5)
    assert s.get_snapshot()["bytes_allocated"] == 7 and s.get_snapshot()["alignment_padding_bytes"] == 2
    with pytest.raises(TypeError):
        s.record_allocation()
    with pytest.raises(TypeError):
        s.record_allocation(1, True, 0, 0, 0)
    with pytest.raises(TypeError):
        s.record_deallocation(1, bogus=2)
    with pytest.raises(TypeError):
        LockFreeStatistics(1)


def test_update_peaks_only_raises():
    s = LockFreeStatistics()
    s.peak_allocations.store(5)
    s.peak_bytes_allocated.store(8)
    s._update_peaks(1, 10)
    assert (s.peak_allocations.load(), s.peak_bytes_allocated.load()) == (5, 10)
    s._update_peaks(current_allocs=9, current_bytes=-2**70)
    assert (s.peak_allocations.load(), s.peak_bytes_allocated.load()) == (9, 10)
    with pytest.raises(OverflowError):          # above the peak, and too wide for the counter
        s._update_peaks(2**64, 0)
    assert s.peak_allocations.load() == 9


def test_partial_steps_stay_applied():
    s = LockFreeStatistics()
    with pytest.raises(OverflowError):
        s.record_allocation(2**63)              # the byte counter refuses it
    snap = s.get_snapshot()
    assert (snap["total_allocations"], snap["current_allocations"], snap["bytes_allocated"]) == (1, 1, 0)
    assert snap["bucketed_allocations"] == 0

    del s.bucketed_allocations
    assert s.bucketed_allocations is None
    with pytest.raises(AttributeError):
        s.record_allocation(1)
    assert s.total_allocations.load() == 2 and s.bytes_allocated.load() == 1
    with pytest.raises(AttributeError):
        s.get_snapshot()
    del s.total_allocations
    with pytest.raises(AttributeError):
        s.record_allocation(1)
    s.bucketed_allocations = s.total_allocations = AtomicCounter(0)   # one object in two places
    s.record_allocation(3)
    assert s.total_allocations.load() == 2
    s.total_allocations = "anything"
    assert s.total_allocations == "anything"


def test_subclass_override_of_update_peaks_is_used():
    calls = []

    class Tracking(LockFreeStatistics):
        def _update_peaks(self, current_allocs, current_bytes):
            calls.append((current_allocs, current_bytes))

    t = Tracking()
    t.record_allocation(10)
    t.record_allocation(5)
    assert calls == [(1, 10), (2, 15)]
    assert t.get_snapshot()["peak_allocations"] == 0

    shared = AtomicCounter(100)

    class Redirected(LockFreeStatistics):           # an attribute found through the subclass
        total_allocations = property(lambda self: shared)

    r = Redirected()
    r.record_allocation(1)
    r.py_record_allocation(1, True)
    assert shared.load() == 102 and r.get_snapshot()["total_allocations"] == 102
    r.reset()
    assert shared.load() == 0


def test_internal_counters_through_native_table():
    import ctypes
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = get(LockFreeStatistics.__native_ops__, b"quarvel.memory.sync_kernel.LockFreeStatistics.__native_ops__")
    entry = ctypes.CFUNCTYPE(ctypes.c_int64, ctypes.py_object, ctypes.c_int64)
    raise_allocs, raise_bytes = (entry(p) for p in (ctypes.c_void_p * 2).from_address(table))

    s = LockFreeStatistics()
    s.py_record_allocation(100, True)
    s.py_record_allocation(50, False)
    s.py_record_deallocation(100)
    s.py_record_allocation(10, True, 4, 9)
    s.record_allocation(10**6)                     # the public version leaves them alone
    assert (raise_allocs(s, 0), raise_bytes(s, 0)) == (2, 150)
    assert raise_allocs(s, 7) == 2 and raise_allocs(s, 0) == 7    # returns the last value read
    s.reset()
    assert (raise_allocs(s, -1), raise_bytes(s, -1)) == (0, 0)


@pytest.mark.parametrize("counter_type", [AtomicCounter, SubCounter], ids=["exact", "subclass"])
def test_randomized_against_model(counter_type):
    rng = random.Random(6061)
    for _ in range(30):
        native, model = _with_counters(LockFreeStatistics(), counter_type), ModelStats(counter_type)
        for name, args in _random_ops(rng, 40):
            got = _outcome(getattr(native, name), *args)
            want = _outcome(getattr(model, name), *args)
            assert got == want, (name, args)
        assert native.get_snapshot() == model.get_snapshot()


def test_calls_reach_counters_by_name_in_order():
    rng = random.Random(77)
    ops = _random_ops(rng, 300)
    native_log, model_log = [], []
    native, model = LockFreeStatistics(), ModelStats()
    for name in ATTRS:
        setattr(native, name, Recorder(name, native_log))
        setattr(model, name, Recorder(name, model_log))
    for name, args in ops:
        assert _outcome(getattr(native, name), *args) == _outcome(getattr(model, name), *args), (name, args)
        assert native_log == model_log, (name, args)
    assert len(native_log) > 500


def test_mixed_counters_fast_and_named_paths():
    # Only some attributes are exact counters; the others must still see their calls.
    log = []
    s, m = LockFreeStatistics(), ModelStats()
    for obj in (s, m):
        obj.peak_bytes_allocated = Recorder("peak_bytes_allocated", log if obj is s else [], 0)
        obj.alignment_padding_bytes = SubCounter(0)
    for args in [(10, True, 2, 3), (20, False, 0, 1), (5,)]:
        s.record_allocation(*args)
        m.record_allocation(*args)
    assert s.get_snapshot() == m.get_snapshot()
    assert [entry[1] for entry in log].count("compare_and_swap") == 3


def test_reset():
    s = LockFreeStatistics()
    s.record_allocation(100, True, 8, 50)
    s.py_record_allocation(5, False)
    s.bytes_reserved.store(4096)
    s.reset()
    assert s.get_snapshot() == LockFreeStatistics().get_snapshot()

    class FailingStore(AtomicCounter):
        def store(self, value):
            raise RuntimeError("store refused")

    s.fallback_allocations = FailingStore(3)
    with pytest.raises(RuntimeError, match="store refused"):
        s.reset()
    assert s.bucketed_allocations.load() == 0
    s.fallback_allocations = AtomicCounter(3)
    done = threading.Event()
    worker = threading.Thread(target=lambda: (s.reset(), done.set()), daemon=True)
    worker.start()
    assert done.wait(5), "reset left its lock held after a failing store"
    assert s.fallback_allocations.load() == 0


def test_reset_calls_the_counters_outside_its_lock(monkeypatch):
    # A stand-in counter's store() may call back into the same object: a reset from inside it
    # must neither wait for the lock its caller holds nor fail.
    s = LockFreeStatistics()
    nested = []

    class Reentrant(AtomicCounter):
        def store(self, value):
            super().store(value)
            if not nested:
                nested.append(True)
                s.reset()

    s.bytes_reserved = Reentrant(5)
    s.record_allocation(10, True, 4, 7)
    done = threading.Event()
    threading.Thread(target=lambda: (s.reset(), done.set()), daemon=True).start()
    assert done.wait(5), "reset deadlocked on a call back from a counter's store()"
    assert nested and s.get_snapshot() == LockFreeStatistics().get_snapshot()

    # The lock is the module's threading.Lock(), made by the constructor; no store() runs under it.
    made = []

    class RecordingLock:
        def __init__(self):
            self._lock, self.held, self.entries = threading.Lock(), False, 0
            made.append(self)

        def acquire(self, blocking=True, timeout=-1):
            ok = self._lock.acquire(blocking, timeout)
            self.held, self.entries = ok, self.entries + ok
            return ok

        def release(self):
            self.held = False
            self._lock.release()

    monkeypatch.setattr(sk, "threading", types.SimpleNamespace(Lock=RecordingLock))
    s = LockFreeStatistics()
    seen = []

    class Probe(AtomicCounter):
        def store(self, value):
            seen.append(made[0].held)
            super().store(value)

    s.total_allocations = s.peak_bytes_allocated = Probe(3)
    s.reset()
    assert len(made) == 1 and made[0].entries == 1 and seen == [False, False]
    assert s.total_allocations.load() == 0


def test_gc_pickle_and_lifetime():
    s = LockFreeStatistics()
    assert gc.is_tracked(s)
    for obj in (s, PerformanceTimer()):
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            pickle.dumps(obj)

    class Marker:
        pass

    marker = Marker()
    alive = weakref.ref(marker)
    marker.stats = s
    s.bytes_reserved = marker
    del s, marker
    gc.collect()
    assert alive() is None                      # the cycle through a public attribute is collected


def _run_watched(workers, watch):
    """Runs each worker on its own thread and `watch()` over and over on one more until they are done
    (switching threads as often as the interpreter allows)."""
    left, done, lock = [len(workers)], threading.Event(), threading.Lock()

    def finishing(work):
        def run():
            try:
                work()
            finally:
                with lock:
                    left[0] -= 1
                    if left[0] == 0:
                        done.set()
        return run

    def watcher():
        while not done.is_set():
            watch()

    run_threads([finishing(w) for w in workers] + [watcher])


@pytest.mark.parametrize("counter_type", [AtomicCounter, SwitchingCounter], ids=["exact", "switching"])
def test_concurrent_recording_exact_totals_and_peaks(counter_type):
    s = _with_counters(LockFreeStatistics(), counter_type)
    threads_n, per_thread = 4, 3000 if counter_type is AtomicCounter else 400
    seen_peaks = []

    def worker(k):
        for i in range(per_thread):
            if k % 2:
                s.record_allocation(8, i % 3 == 0, 1, 2)
            else:
                s.py_record_allocation(8, True)
            if i % 4 == 3:
                s.record_deallocation(8, 1)
            if i % 500 == 0:
                s.get_snapshot()

    _run_watched([lambda k=k: worker(k) for k in range(threads_n)],
                 lambda: seen_peaks.append(s.peak_allocations.load()))
    snap = s.get_snapshot()
    allocs = threads_n * per_thread
    deallocs = threads_n * (per_thread // 4)
    assert snap["total_allocations"] == allocs
    assert snap["total_deallocations"] == deallocs
    assert snap["current_allocations"] == allocs - deallocs
    assert snap["bytes_allocated"] == 8 * (allocs - deallocs)
    assert snap["bucketed_allocations"] + snap["fallback_allocations"] == allocs // 2
    assert snap["fallback_allocations"] == (allocs // 2) - (threads_n // 2) * len(range(0, per_thread, 3))
    assert snap["alignment_padding_bytes"] == allocs // 2
    assert snap["average_allocation_time_ns"] == 2 * (allocs // 2) / allocs
    assert snap["average_deallocation_time_ns"] == 1.0
    assert seen_peaks == sorted(seen_peaks)             # a peak never goes down
    assert max(seen_peaks, default=0) <= snap["peak_allocations"] <= allocs


@pytest.mark.parametrize("counter_type", [AtomicCounter, SwitchingCounter], ids=["exact", "switching"])
def test_concurrent_peaks_reach_the_final_count(counter_type):
    # Only allocations: a peak never goes down, and the last thread to raise the count reads the
    # final count and must leave it as the peak, whatever the other threads' loops did meanwhile.
    s = _with_counters(LockFreeStatistics(), counter_type)
    per_thread = 2500 if counter_type is AtomicCounter else 500
    drops, last = [], [0]

    def worker():
        for _ in range(per_thread):
            s.record_allocation(3)

    def watch():                                # reads the peak natively, without raising it
        peak = AtomicCounter.load(s.peak_allocations)
        if peak < last[0]:
            drops.append((last[0], peak))
        last[0] = peak

    _run_watched([worker] * 4, watch)
    assert drops == []
    snap = s.get_snapshot()
    assert snap["peak_allocations"] == snap["current_allocations"] == 4 * per_thread
    assert snap["peak_bytes_allocated"] == snap["bytes_allocated"] == 3 * 4 * per_thread


# ---- timer ----

def test_timer_readings():
    import time
    t = PerformanceTimer()
    lo = time.perf_counter_ns()
    raw = t.elapsed_ns()
    assert lo <= raw <= time.perf_counter_ns()          # no start yet: the raw clock
    t.start()
    e = t.elapsed_ns()
    assert type(e) is int and 0 <= e < 10**10
    assert type(t.elapsed_us()) is float and type(t.elapsed_ms()) is float
    t.start()
    assert t.elapsed_ns() < raw


def test_timer_uses_module_time_and_named_elapsed(monkeypatch):
    class FakeTime:
        now = 5_000_000

        def perf_counter_ns(self):
            return self.now

    fake = FakeTime()
    monkeypatch.setattr(sk, "time", fake)
    t = PerformanceTimer()
    t.start()
    fake.now = 5_000_000 + 1_234_567
    assert t.elapsed_ns() == 1_234_567
    assert t.elapsed_us() == 1234.567 and t.elapsed_ms() == 1.234567

    class Fixed(PerformanceTimer):
        def elapsed_ns(self):
            return 2500

    assert (Fixed().elapsed_us(), Fixed().elapsed_ms()) == (2.5, 0.0025)

    fake.now = 2**63
    with pytest.raises(OverflowError):
        t.start()
    assert t.elapsed_ns() == 2**63 - 5_000_000          # the start reading was left alone
    names, saved = vars(sk), dict(vars(sk))
    try:
        del names["time"]
        with pytest.raises(NameError, match="name 'time' is not defined"):
            t.start()
    finally:                                    # put the module back in its own order
        names.clear()
        names.update(saved)
