"""Tests for quarvel.monitoring.counter_fold, against a pure-Python model of the running sums."""

from __future__ import annotations

import gc
import math
import pickle
import random
import struct
import sys
import threading
import time
import weakref

import pytest

from quarvel.bench.models.counter_fold import ModelCounter
from quarvel.monitoring import counter_fold
from quarvel.monitoring.counter_fold import CounterAggregator, create_aggregator
from helpers import SwitchingLock, retained_memory, run_threads

INF = float("inf")


def same_stats(got, want):
    """Bit-exact comparison that treats NaN as equal to NaN and keeps the key order."""
    if list(got) != list(want):
        return False
    for key in want:
        a, b = got[key], want[key]
        if type(a) is not type(b):
            return False
        if isinstance(a, float) and struct.pack("<d", a) != struct.pack("<d", b):
            if not (math.isnan(a) and math.isnan(b)):
                return False
        elif not isinstance(a, float) and a != b:
            return False
    return True


def random_value(rng):
    kind = rng.random()
    if kind < 0.5:
        return rng.uniform(-1e3, 1e3)
    if kind < 0.7:
        return float(rng.randint(-5, 5))
    if kind < 0.8:
        return rng.choice([0.1, 0.2, 0.3, 1e-300, -0.0, 1e154, 7.25])
    if kind < 0.9:
        return rng.randint(-10**6, 10**6)  # ints are folded as floats
    if kind < 0.902:
        return rng.choice([math.nan, INF, -INF])
    return rng.uniform(-1e-9, 1e-9)


# --- the extension module --------------------------------------------------------------------
def test_module_surface():
    assert [n for n in vars(counter_fold) if not n.startswith("__")] == [
        "threading", "CounterAggregator", "create_aggregator"]
    assert create_aggregator.__doc__ == "Create a new CounterAggregator instance."
    assert not hasattr(counter_fold, "logger")


def test_default_size_and_range_check():
    for agg in (CounterAggregator(), create_aggregator(), CounterAggregator(num_counters=1000)):
        agg.update(999, 1.0)
        for bad in (1000, -1, 2**31 - 1, -(2**31)):
            for call in (lambda: agg.update(bad, 1.0), lambda: agg.get_stats(bad),
                         lambda: agg.reset(bad)):
                with pytest.raises(IndexError) as info:
                    call()
                assert str(info.value) == f"Counter ID {bad} out of range"
        assert [cid for cid, _ in agg.get_all_stats()] == [999]
    assert type(create_aggregator(3)) is CounterAggregator


def test_statistics_values():
    agg = CounterAggregator(10)
    assert agg.get_stats(0) == {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0,
                                "min": INF, "max": -INF}
    for v in (2.0, 4.0, 6.0):
        agg.update(0, v)
    st = agg.get_stats(0)
    assert list(st) == ["count", "mean", "variance", "std", "min", "max"]
    assert st == {"count": 3, "mean": 4.0, "variance": 2.666666666666668,
                  "std": 1.6329931618554525, "min": 2.0, "max": 6.0}
    agg.update(5, -3.5)
    assert agg.get_stats(5) == {"count": 1, "mean": -3.5, "variance": 0.0, "std": 0.0,
                                "min": -3.5, "max": -3.5}
    # std is variance ** 0.5 (pow), which differs from sqrt in the last bit for this variance
    for v in (59.0, 79.0, 48.0):
        agg.update(9, v)
    st = agg.get_stats(9)
    assert st["variance"] == 164.66666666666652 and st["std"] == 12.832251036613432
    # three equal values: the rounded variance would be about -1.7e-18; it is reported as 0.0
    for _ in range(3):
        agg.update(1, 0.1)
    st = agg.get_stats(1)
    assert st["variance"] == 0.0 and st["std"] == 0.0 and type(st["std"]) is float
    assert math.copysign(1.0, st["variance"]) == 1.0


def test_nan_and_infinities():
    agg = CounterAggregator(3)
    agg.update(0, 1.0)
    agg.update(0, math.nan)
    st = agg.get_stats(0)
    assert st["count"] == 2 and st["min"] == 1.0 and st["max"] == 1.0
    assert all(math.isnan(st[k]) for k in ("mean", "variance", "std"))
    agg.update(1, math.nan)  # a first NaN leaves the bounds at their initial infinities
    st = agg.get_stats(1)
    assert st["count"] == 1 and st["min"] == INF and st["max"] == -INF
    agg.update(2, INF)
    agg.update(2, 1.0)
    st = agg.get_stats(2)
    assert st["mean"] == INF and math.isnan(st["variance"]) and st["max"] == INF


def test_argument_conversions():
    agg = CounterAggregator(4)
    agg.update(0, 2)  # int value folded as 2.0
    assert agg.get_stats(0)["mean"] == 2.0 and type(agg.get_stats(0)["mean"]) is float
    agg.update(2.9, 1.0)  # float id truncates toward zero
    assert agg.get_stats(2)["count"] == 1
    agg.update(True, 5)
    assert agg.get_stats(1)["max"] == 5.0

    class Floaty:
        def __float__(self):
            return 1.5

    agg.update(3, Floaty())
    assert agg.get_stats(3)["mean"] == 1.5
    before = [agg.get_stats(i) for i in range(4)]
    with pytest.raises(TypeError):
        agg.update(0, "x")
    with pytest.raises(TypeError, match="an integer is required"):
        agg.update("0", 1.0)
    with pytest.raises(OverflowError):
        agg.update(2**31, 1.0)
    with pytest.raises(OverflowError):
        agg.update(0, 10**400)
    with pytest.raises(OverflowError):
        CounterAggregator(2**40)
    with pytest.raises(TypeError):
        agg.update(0)
    with pytest.raises(TypeError):
        agg.get_stats()
    with pytest.raises(TypeError):
        agg.reset_all(1)
    with pytest.raises(TypeError):
        CounterAggregator(1, 2)
    assert [agg.get_stats(i) for i in range(4)] == before


def test_lock_factory_looked_up_at_construction(monkeypatch):
    import types

    made = []
    monkeypatch.setattr(counter_fold, "threading",
                        types.SimpleNamespace(Lock=lambda: made.append(1) or threading.RLock()))
    agg = CounterAggregator(2)
    agg.update(1, 3.0)
    assert made == [1] and agg.get_stats(1)["count"] == 1 and agg.get_all_stats()[0][0] == 1
    monkeypatch.setattr(counter_fold, "threading", types.SimpleNamespace())
    with pytest.raises(AttributeError):
        CounterAggregator(2)
    monkeypatch.delattr(counter_fold, "threading")
    with pytest.raises(NameError):
        CounterAggregator(2)


def test_construction_sizes():
    empty = CounterAggregator(0)
    assert empty.get_all_stats() == []
    for call in (lambda: empty.update(0, 1.0), lambda: empty.get_stats(0), lambda: empty.reset(0)):
        with pytest.raises(IndexError, match="Counter ID 0 out of range"):
            call()
    empty.reset_all()
    for n in (-1, -(2**31)):
        with pytest.raises(MemoryError) as info:
            CounterAggregator(n)
        assert str(info.value) == "Failed to allocate counter storage"
    with pytest.raises(MemoryError, match="Failed to allocate counter storage"):
        create_aggregator(-5)
    assert CounterAggregator(3.7).get_all_stats() == []
    with pytest.raises(IndexError):
        CounterAggregator(3.7).update(3, 1.0)


def test_reinitialisation_and_uninitialised_instances():
    agg = CounterAggregator(2)
    agg.update(1, 1.0)
    agg.__init__(5)  # a fresh set of counters
    assert agg.get_all_stats() == []
    agg.update(4, 1.0)
    with pytest.raises(MemoryError):
        agg.__init__(-1)
    assert agg.get_stats(4)["count"] == 1  # a failed re-initialisation changes nothing

    class NoInit(CounterAggregator):
        def __init__(self):
            pass

    for empty in (NoInit(), CounterAggregator.__new__(CounterAggregator)):
        with pytest.raises(IndexError, match="Counter ID 0 out of range"):
            empty.update(0, 1.0)
        assert empty.reset_all() is None and empty.get_all_stats() == []


def test_get_all_stats_and_resets():
    agg = CounterAggregator()
    assert agg.get_all_stats() == []
    agg.update(7, 1.0)
    agg.update(3, 2.0)
    agg.update(7, 3.0)
    all_stats = agg.get_all_stats()
    assert all_stats == [(3, agg.get_stats(3)), (7, agg.get_stats(7))]
    assert all(type(item) is tuple for item in all_stats)
    agg.reset(3)
    assert agg.get_stats(3) == CounterAggregator(1).get_stats(0)
    assert [cid for cid, _ in agg.get_all_stats()] == [7]
    agg.update(3, 9.0)  # a reset counter starts afresh: bounds are not remembered
    assert agg.get_stats(3)["min"] == 9.0 and agg.get_stats(3)["count"] == 1
    agg.reset_all()
    assert agg.get_all_stats() == []
    assert agg.reset(0) is None and agg.update(0, 1.0) is None and agg.reset_all() is None


def test_randomized_against_model():
    rng = random.Random(77)
    n = 40  # ids 16 apart share a slot of the recent results
    agg, model = CounterAggregator(n), [ModelCounter() for _ in range(n)]
    for step in range(6000):
        cid = rng.randrange(n)
        r = rng.random()
        if r < 0.9:
            v = random_value(rng)
            agg.update(cid, v)
            model[cid].fold(v)
        elif r < 0.93:
            agg.reset(cid)
            model[cid].reset()
        elif r < 0.935:
            agg.reset_all()
            for m in model:
                m.reset()
        else:
            got = agg.get_stats(cid)
            assert same_stats(got, model[cid].stats()), step
            got.clear()  # the caller's own dict: the next result is whole again
    got = agg.get_all_stats()
    assert [c for c, _ in got] == [i for i, m in enumerate(model) if m.count]
    for cid, st in got:
        assert same_stats(st, model[cid].stats())


def test_subclass_override_is_honoured():
    class Tagged(CounterAggregator):
        def __init__(self, n, tag):
            super().__init__(n)
            self.tag = tag

        def get_stats(self, counter_id):
            return (self.tag, counter_id, super().get_stats(counter_id)["count"])

    agg = Tagged(5, "t")
    agg.update(4, 1.0)
    agg.update(1, 1.0)
    agg.update(1, 1.0)
    assert agg.get_all_stats() == [(1, ("t", 1, 2)), (4, ("t", 4, 1))]

    # an override installed on the instance itself is honoured too
    agg.get_stats = lambda cid: cid * 10
    assert agg.get_all_stats() == [(1, 10), (4, 40)]
    del agg.get_stats

    class Failing(CounterAggregator):
        def get_stats(self, counter_id):
            raise KeyError(counter_id)

    bad = Failing(2)
    bad.update(1, 0.0)
    with pytest.raises(KeyError):
        bad.get_all_stats()

    class Plain(CounterAggregator):
        pass

    p = Plain(3)
    p.update(2, 4.0)
    assert p.get_all_stats() == [(2, p.get_stats(2))]


def test_subclass_resetting_during_walk():
    # get_all_stats tests each count without the lock, then asks get_stats: a counter reset in
    # between is listed with the count-0 dictionary; one reset before its turn is skipped.
    class Resetting(CounterAggregator):
        def get_stats(self, counter_id):
            self.reset(counter_id)
            if counter_id + 1 < 4:
                self.reset(counter_id + 1)
            return CounterAggregator.get_stats(self, counter_id)

    agg = Resetting(4)
    for i in range(4):
        agg.update(i, 1.0)
    empty = CounterAggregator(1).get_stats(0)
    assert agg.get_all_stats() == [(0, empty), (2, empty)]


def test_pickling_refused_and_gc():
    agg = CounterAggregator(2)
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            pickle.dumps(agg, proto)
    assert gc.is_tracked(agg)

    class Cyclic(CounterAggregator):
        pass

    c = Cyclic(4)
    c.me = c
    c.update(0, 1.0)
    del c
    gc.collect()


def test_no_leaks():
    agg = CounterAggregator(8)
    value, cid = float("1.25"), int("3")

    def churn():
        for i in range(20000):
            agg.update(i & 7, value)
            agg.update(cid, value)
            agg.get_stats(i & 7)
            agg.get_all_stats()
            CounterAggregator(50)

    assert retained_memory(churn) < 50_000
    refs = [sys.getrefcount(x) for x in (None, value, cid)]
    churn()
    assert [sys.getrefcount(x) for x in (None, value, cid)] == refs


def test_threads_lose_no_update():
    agg = CounterAggregator(4)
    threads_n, per_thread = 4, 20000
    barrier = threading.Barrier(threads_n + 1)
    seen_bad = []

    def writer(k):
        barrier.wait()
        for i in range(per_thread):
            agg.update(i & 1, float(k))

    def reader():
        barrier.wait()
        for _ in range(3000):
            for cid in (0, 1):
                st = agg.get_stats(cid)
                # each record is seen between two updates: the sums and the count agree
                if st["count"] and not (0.0 <= st["mean"] <= threads_n - 1):
                    seen_bad.append(st)
            agg.get_all_stats()

    run_threads([lambda k=k: writer(k) for k in range(threads_n)] + [reader], interval=1e-5)
    assert not seen_bad
    total = threads_n * per_thread
    s0, s1 = agg.get_stats(0), agg.get_stats(1)
    assert s0["count"] + s1["count"] == total
    assert s0["count"] == s1["count"] == total // 2
    assert s0["min"] == 0.0 and s0["max"] == threads_n - 1.0
    assert s0["mean"] == sum(range(threads_n)) / threads_n


# --- re-initialisation while other calls are under way ----------------------------------------
class PyLock:
    """A lock written in Python (the module's `threading` may be rebound to supply one)."""

    def __init__(self):
        self._lock = threading.Lock()

    def acquire(self, blocking=True, timeout=-1):
        return self._lock.acquire(blocking, timeout)

    def release(self):
        self._lock.release()

    def __enter__(self):
        return self.acquire()

    def __exit__(self, *exc):
        self.release()


class HandoffLock(PyLock):
    """A lock written in Python whose acquire, once, lets another thread run a call to the end.

    `arm(fn)` makes the next acquire on the calling thread run `fn` on a new thread and wait for
    it before acquiring: whatever `fn` does to the aggregator happens while the first call is in
    the middle of taking the lock it found. Every instance made is remembered (weakly).
    """

    made = []
    _armed = {}

    def __init__(self):
        super().__init__()
        HandoffLock.made.append(weakref.ref(self))

    @classmethod
    def arm(cls, fn):
        cls._armed[threading.get_ident()] = fn

    def acquire(self, blocking=True, timeout=-1):
        fn = HandoffLock._armed.pop(threading.get_ident(), None)
        if fn is not None:
            errors = []

            def run():
                try:
                    fn()
                except BaseException as exc:  # reported by the waiting call
                    errors.append(exc)

            t = threading.Thread(target=run)
            t.start()
            t.join()
            if errors:
                raise errors[0]
        return super().acquire(blocking, timeout)


@pytest.fixture
def handoff(monkeypatch):
    import types

    HandoffLock.made.clear()
    HandoffLock._armed.clear()
    monkeypatch.setattr(counter_fold, "threading", types.SimpleNamespace(Lock=HandoffLock))
    yield HandoffLock
    HandoffLock._armed.clear()


def live_locks():
    gc.collect()
    return [r() for r in HandoffLock.made if r() is not None]


def test_reinit_while_another_reinit_waits_for_the_lock(handoff):
    # Both calls found the same old array and lock; the first to get the lock swaps them, the
    # other must not free that array (or lock) a second time. A large array is returned to the
    # system when freed, so a second free of it crashes outright.
    agg = CounterAggregator(100_000)
    agg.update(99_999, 2.0)
    handoff.arm(lambda: agg.__init__(100_000))
    agg.__init__(50_000)
    assert agg.get_all_stats() == []
    agg.update(49_999, 1.0)
    assert agg.get_stats(49_999)["count"] == 1
    with pytest.raises(IndexError):
        agg.update(50_000, 1.0)
    assert len(live_locks()) == 1  # the two replaced locks are gone, the current one is kept


@pytest.mark.parametrize("call", [
    lambda a: a.update(7, 5.0), lambda a: a.get_stats(7), lambda a: a.reset(7),
    lambda a: a.reset_all(), lambda a: a.get_all_stats()])
def test_reinit_while_a_call_waits_for_the_lock(handoff, call):
    # __init__ replaces (and drops its references to) the lock and the array the waiting call
    # found, and shrinks the object below that call's id. The call finishes on what it found, as
    # if it had completed just before the re-initialisation: it raises nothing, and leaves the new
    # counters alone.
    agg = CounterAggregator(8)
    agg.update(7, 1.0)
    handoff.arm(lambda: agg.__init__(2))
    call(agg)
    assert agg.get_all_stats() == []
    with pytest.raises(IndexError):
        agg.update(7, 1.0)
    agg.update(1, 3.0)
    assert agg.get_stats(1)["count"] == 1
    assert len(live_locks()) == 1


def test_failed_reinit_changes_nothing(handoff):
    agg = CounterAggregator(4)
    agg.update(3, 1.0)

    def failing_acquire():
        raise OSError("no lock today")

    handoff.arm(failing_acquire)  # the old lock's acquire fails inside __init__
    with pytest.raises(OSError, match="no lock today"):
        agg.__init__(10)
    assert [cid for cid, _ in agg.get_all_stats()] == [3]
    with pytest.raises(IndexError):
        agg.update(4, 1.0)
    assert len(live_locks()) == 1  # the lock made for the failed attempt is released


# --- stress ------------------------------------------------------------------------------------
@pytest.mark.parametrize("python_lock", [False, True])
def test_stress_shared_and_private_counters_agree_with_reference(monkeypatch, python_lock):
    # Values are multiples of 0.25 small enough that every sum and sum of squares is exact in any
    # order, so the folded statistics must equal the reference's bit for bit.
    import types

    if python_lock:
        monkeypatch.setattr(counter_fold, "threading", types.SimpleNamespace(Lock=SwitchingLock))
    writers, per_writer = 4, 3000
    agg = CounterAggregator(writers + 2)  # one private counter per writer, shared ids 4 and 5
    rng = random.Random(2024)
    inputs = [[(k if rng.random() < 0.5 else writers + rng.randrange(2), rng.randint(-4000, 4000) / 4)
               for _ in range(per_writer)] for k in range(writers)]
    bad = []

    def writer(k):
        def run():
            for cid, v in inputs[k]:
                agg.update(cid, v)
        return run

    def reader():
        for _ in range(400):
            for cid, st in agg.get_all_stats():
                if not (st["count"] > 0 and st["min"] <= st["mean"] <= st["max"] and st["variance"] >= 0):
                    bad.append((cid, st))

    run_threads([writer(k) for k in range(writers)] + [reader])
    assert not bad
    model = [ModelCounter() for _ in range(writers + 2)]
    for seq in inputs:
        for cid, v in seq:
            model[cid].fold(v)
    for cid in range(writers + 2):
        assert same_stats(agg.get_stats(cid), model[cid].stats()), cid


def test_stress_reinit_against_every_method(monkeypatch):
    # Two threads re-initialise (to alternating sizes) while others update, read, reset and walk,
    # all through a Python-level lock that switches threads inside acquire.
    import types

    monkeypatch.setattr(counter_fold, "threading", types.SimpleNamespace(Lock=SwitchingLock))
    agg = CounterAggregator(64)

    def reinit(sizes):
        def body():
            for i in range(300):
                agg.__init__(sizes[i % 2])
        return body

    def worker(k):
        def body():
            rng = random.Random(k)
            for _ in range(1500):
                cid, r = rng.randrange(64), rng.random()
                try:
                    if r < 0.6:
                        agg.update(cid, rng.randint(-8, 8))
                    elif r < 0.75:
                        st = agg.get_stats(cid)
                        assert st["count"] == 0 or st["min"] <= st["mean"] <= st["max"]
                    elif r < 0.85:
                        agg.reset(cid)
                    elif r < 0.9:
                        agg.reset_all()
                    else:
                        for _, st in agg.get_all_stats():
                            assert st["count"] == 0 or st["min"] <= st["mean"] <= st["max"]
                except IndexError:
                    pass  # the object was shrunk below this id
        return body

    run_threads([reinit((16, 64)), reinit((64, 8))] + [worker(s) for s in range(3)])
    n = len([i for i in range(64) if not _raises_index(agg, i)])
    assert n in (8, 16, 64)
    agg.reset_all()
    agg.update(n - 1, 1.0)
    assert [cid for cid, _ in agg.get_all_stats()] == [n - 1]


def _raises_index(agg, cid):
    try:
        agg.get_stats(cid)
    except IndexError:
        return True
    return False
