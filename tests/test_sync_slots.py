"""AtomicPointer and LockFreeStack of quarvel.memory.sync_kernel."""

import gc
import pickle
import sys
import threading
import types
import weakref

import pytest

import quarvel.memory.sync_kernel as sk
from helpers import SwitchingLock, run_threads
from quarvel.memory.sync_kernel import AtomicPointer, LockFreeStack


class Obj:
    pass


@pytest.fixture(params=["threading.Lock", "switching lock"])
def contended(request, monkeypatch):
    """Objects made inside the test take the module's threading.Lock or (the module reads its
    `threading` global when it constructs one) a SwitchingLock. Yields the scale of the run (the
    switching lock is slower)."""
    SwitchingLock.made = []
    if request.param == "switching lock":
        monkeypatch.setattr(sk, "threading", types.SimpleNamespace(Lock=SwitchingLock))
    yield 1 if request.param == "threading.Lock" else 8
    if request.param == "switching lock":
        assert SwitchingLock.made and all(lock.acquired for lock in SwitchingLock.made)
        assert all(lock.holder is None for lock in SwitchingLock.made)


def _run_threads(target, n):
    """target(k) on n threads (k = 0 .. n-1), switching threads as often as the interpreter allows."""
    run_threads([lambda k=k: target(k) for k in range(n)])


def _run_bounded(fn, seconds=5):
    """Runs fn in a daemon thread; fails instead of hanging if it deadlocks."""
    box = []
    t = threading.Thread(target=lambda: box.append(fn()), daemon=True)
    t.start()
    t.join(seconds)
    assert not t.is_alive(), "deadlocked"
    return box[0] if box else None


# ---- AtomicPointer ----

def test_pointer_store_load_version():
    p = AtomicPointer()
    assert p.load() is None and p.get_version() == 0
    x = Obj()
    p.store(x)
    assert p.load() is x and p.get_version() == 1
    p.store(None)
    assert p.load() is None and p.get_version() == 2
    p.store(x)
    p.store(x)                                  # same object again still counts as a write
    assert p.get_version() == 4
    assert AtomicPointer(x).load() is x and AtomicPointer(initial_value=x).get_version() == 0
    assert AtomicPointer(None).load() is None


def test_pointer_compare_and_swap_is_identity():
    a, b = [1], Obj()
    p = AtomicPointer(a)
    assert p.compare_and_swap([1], b) is False          # equal, not identical
    assert p.load() is a and p.get_version() == 0
    assert p.compare_and_swap(a, b) is True
    assert p.load() is b and p.get_version() == 1
    assert p.compare_and_swap(None, a) is False
    assert p.compare_and_swap(b, None) is True and p.load() is None
    assert p.compare_and_swap(None, a) is True and p.load() is a      # empty matches None
    assert p.get_version() == 3
    assert p.compare_and_swap(expected=a, new_value=b) is True


def test_pointer_reference_counts():
    a, b = Obj(), Obj()
    ra, rb = sys.getrefcount(a), sys.getrefcount(b)
    p = AtomicPointer(a)
    assert sys.getrefcount(a) == ra + 1
    assert p.compare_and_swap(a, a) is True and p.get_version() == 1
    assert sys.getrefcount(a) == ra + 1
    assert p.compare_and_swap(b, a) is False
    assert sys.getrefcount(a) == ra + 1 and sys.getrefcount(b) == rb
    p.store(b)
    assert sys.getrefcount(a) == ra and sys.getrefcount(b) == rb + 1
    got = p.load()
    assert sys.getrefcount(b) == rb + 2
    del got
    for _ in range(1000):
        p.store(a)
        p.compare_and_swap(a, b)
        p.load()
    assert sys.getrefcount(a) == ra and sys.getrefcount(b) == rb + 1
    del p
    assert sys.getrefcount(b) == rb


def test_pointer_keeps_object_alive_and_releases_outside_lock():
    import weakref
    x = Obj()
    alive = weakref.ref(x)
    p = AtomicPointer()
    p.store(x)
    del x
    gc.collect()
    assert alive() is not None
    p.store(None)
    assert alive() is None

    # A finalizer that uses the pointer while its old content is being released.
    seen = []

    class Reentrant:
        def __del__(self):
            seen.append((p.load(), p.get_version(), p.compare_and_swap(None, None)))

    def scenario():
        p.store(Reentrant())
        p.store(None)                           # finalizer runs here
        p.store(Reentrant())
        p.compare_and_swap(p.load(), None)      # and here
        return True

    assert _run_bounded(scenario)
    assert len(seen) == 2


def test_pointer_arguments_gc_pickle():
    with pytest.raises(TypeError):
        AtomicPointer(1, 2)
    with pytest.raises(TypeError):
        AtomicPointer(value=1)
    p = AtomicPointer()
    with pytest.raises(TypeError):
        p.store()
    with pytest.raises(TypeError):
        p.compare_and_swap(1)
    with pytest.raises(TypeError):
        p.load(1)
    assert gc.is_tracked(p) and gc.is_tracked(LockFreeStack())
    for obj in (p, LockFreeStack()):
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            pickle.dumps(obj)
    assert AtomicPointer.load.__annotations__ == {"return": "Optional[object]"}
    assert AtomicPointer.compare_and_swap.__annotations__ == {"return": "bool"}
    assert AtomicPointer.get_version.__annotations__ == {"return": "int"}
    assert LockFreeStack.pop.__annotations__ == {"return": "Optional[object]"}
    assert LockFreeStack.size.__annotations__ == {"return": "int"}
    assert LockFreeStack.is_empty.__annotations__ == {"return": "bool"}

    class Sub(AtomicPointer):
        pass

    s = Sub(5)
    s.extra = 1
    assert s.load() == 5


def test_pointer_concurrent_swaps_count_every_write(contended):
    p = AtomicPointer(0)
    threads_n, per_thread = 4, 2000 // contended
    wins = [0] * threads_n
    tokens = [object() for _ in range(8)]

    def worker(k):
        for i in range(per_thread):
            cur = p.load()
            if p.compare_and_swap(cur, tokens[(k + i) % 8]):
                wins[k] += 1
            if i % 7 == 0:
                p.store(tokens[k])

    _run_threads(worker, threads_n)
    stores = threads_n * len(range(0, per_thread, 7))
    assert p.get_version() == sum(wins) + stores
    assert p.load() in tokens


def test_pointer_compare_and_swap_increments_are_exact(contended):
    # Every thread adds 1 to the held int by load + compare_and_swap until it wins: a swap that
    # compared outside the locked section would let two threads win with the same value.
    p = AtomicPointer(10**6)
    threads_n, per_thread = 4, 1500 // contended
    retries = [0] * threads_n

    def worker(k):
        for _ in range(per_thread):
            while True:
                cur = p.load()
                if p.compare_and_swap(cur, cur + 1):
                    break
                retries[k] += 1

    _run_threads(worker, threads_n)
    assert p.load() == 10**6 + threads_n * per_thread
    assert p.get_version() == threads_n * per_thread


def test_reinitialising_a_pointer_while_it_is_used(contended):
    tokens = [Obj() for _ in range(4)]
    counts = [sys.getrefcount(t) for t in tokens]
    p = AtomicPointer(tokens[0])
    per_thread = 1500 // contended

    def worker(k):
        for i in range(per_thread):
            if k == 0:
                AtomicPointer.__init__(p, tokens[i % 4])     # a concurrent __init__ replaces the content
            else:
                p.store(tokens[k])
                p.compare_and_swap(tokens[k], tokens[(k + 1) % 4])
                assert p.load() in tokens

    _run_threads(worker, 4)
    assert p.load() in tokens and p.get_version() <= 3 * 2 * per_thread
    del p
    assert [sys.getrefcount(t) for t in tokens] == counts


def test_cycles_through_held_objects_are_collected():
    # A held object that refers back to its container (a node that knows its owner).
    class Node:
        pass

    class OwnPointer(AtomicPointer):
        pass

    class OwnStack(LockFreeStack):
        pass

    gc.collect()
    refs = []
    for _ in range(300):
        p, s = AtomicPointer(), LockFreeStack()
        a, b = Node(), Node()
        a.owner, b.owner = p, s
        p.store(a)
        s.push(1)
        s.push(b)
        s.push(None)
        p2, s2 = OwnPointer(), OwnStack()
        p2.store(p2)                            # each holds itself
        s2.push(s2)
        refs += [weakref.ref(o) for o in (a, b, p2, s2)]
    del p, s, a, b, p2, s2
    gc.collect()
    assert all(r() is None for r in refs)

    # A collected stack releases what it held, also items outside the cycle.
    outside = Obj()
    before = sys.getrefcount(outside)
    s = LockFreeStack()
    s.push(outside)
    s.push(s)
    s.push(outside)
    del s
    gc.collect()
    assert sys.getrefcount(outside) == before


def test_objects_under_construction_are_out_of_the_collectors_reach(python_subprocess):
    # The constructors make their lock through the module's `threading`, which may run the caller's
    # code. Meanwhile the half-made object must not be reachable (through gc.get_objects) and usable.
    r = python_subprocess("""
        import gc, threading, types
        import quarvel.memory.sync_kernel as sk
        kinds = (sk.AtomicPointer, sk.LockFreeStack, sk.LockFreeStatistics)
        complete, reached = set(), []

        class Lock:
            def __init__(self):
                self._lock = threading.Lock()
                for o in gc.get_objects():
                    if type(o) in kinds and id(o) not in complete:
                        reached.append(type(o).__name__)
                        o.load() if type(o) is kinds[0] else o.pop() if type(o) is kinds[1] else o.reset()

            def acquire(self, blocking=True, timeout=-1):
                return self._lock.acquire(blocking, timeout)

            def release(self):
                self._lock.release()

        sk.threading = types.SimpleNamespace(Lock=Lock)
        made = []
        for kind in kinds * 2:
            made.append(kind())
            complete.add(id(made[-1]))
        made[0].store(1); made[1].push(2); made[2].record_allocation(3); made[2].reset()
        print(reached, made[0].load(), made[1].pop())
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["[]", "1", "2"]


@pytest.mark.parametrize("when", ["acquire", "release"])
def test_callbacks_from_the_lock_into_the_same_object_are_refused(monkeypatch, when):
    # A lock class of the caller's runs Python code while the object takes or leaves its section; a
    # call from there back into the same object raises instead of waiting for itself, and changes
    # nothing. Other objects stay usable from there.
    class CallbackLock:
        callback = None

        def __init__(self):
            self._lock = threading.Lock()

        def acquire(self, blocking=True, timeout=-1):
            ok = self._lock.acquire(blocking, timeout)
            if when == "acquire":
                self._call()
            return ok

        def release(self):
            if when == "release":
                self._call()
            self._lock.release()

        @staticmethod
        def _call():
            callback, CallbackLock.callback = CallbackLock.callback, None
            if callback is not None:
                callback()

    monkeypatch.setattr(sk, "threading", types.SimpleNamespace(Lock=CallbackLock))
    from quarvel.memory.sync_kernel import LockFreeStatistics
    p, other, s, st = AtomicPointer("a"), AtomicPointer(), LockFreeStack(), LockFreeStatistics()
    s.push("x")
    refused = []

    def attempt(call):
        def callback():
            try:
                call()
            except RuntimeError as exc:
                refused.append(str(exc))
        return callback

    def run(outer, inner):
        CallbackLock.callback = attempt(inner)
        return _run_bounded(outer)

    assert run(p.load, lambda: p.store("b")) == "a"
    assert run(lambda: p.compare_and_swap("a", "c"), p.get_version) is True
    assert run(p.get_version, lambda: other.store(p)) == 1 and other.load() is p
    assert run(s.pop, lambda: s.push("y")) == "x"
    assert run(lambda: s.push("z"), s.is_empty) is None
    assert run(s.is_empty, s.pop) is False
    st.record_allocation(5)
    assert run(st.reset, st.reset) is None
    assert [m.split(":")[0] for m in refused] == [
        "re-entrant call to AtomicPointer.store", "re-entrant call to AtomicPointer.get_version",
        "re-entrant call to LockFreeStack.push", "re-entrant call to LockFreeStack.is_empty",
        "re-entrant call to LockFreeStack.pop", "re-entrant call to LockFreeStatistics.reset"]
    assert (p.load(), p.get_version(), s.pop(), s.pop(), s.size()) == ("c", 1, "z", None, 0)
    assert st.get_snapshot()["total_allocations"] == 0


# ---- LockFreeStack ----

def test_stack_lifo_and_none_items():
    s = LockFreeStack()
    assert s.is_empty() is True and s.size() == 0 and s.pop() is None
    for i in (1, 2, 3):
        s.push(i)
    got = []
    for expected_size in (2, 1, 0):
        got.append(s.pop())
        assert s.size() == expected_size
    assert got == [3, 2, 1] and s.pop() is None and s.is_empty() is True
    s.push(None)
    assert s.size() == 1 and s.is_empty() is False
    assert s.pop() is None and s.is_empty() is True and s.size() == 0
    with pytest.raises(TypeError):
        s.push()
    with pytest.raises(TypeError):
        s.pop(1)
    with pytest.raises(TypeError):
        LockFreeStack(1)


def test_stack_reference_counts_and_deallocation():
    x = Obj()
    before = sys.getrefcount(x)
    s = LockFreeStack()
    for _ in range(1000):
        s.push(x)
    assert sys.getrefcount(x) == before + 1000
    for _ in range(999):
        s.pop()
    assert sys.getrefcount(x) == before + 1
    got = s.pop()
    assert got is x and sys.getrefcount(x) == before + 1
    del got
    assert sys.getrefcount(x) == before

    import weakref
    items = [Obj() for _ in range(100)]
    refs = [weakref.ref(o) for o in items]
    s = LockFreeStack()
    for o in items:
        s.push(o)
    s.push(x)
    del items, o
    del s
    assert all(r() is None for r in refs) and sys.getrefcount(x) == before


def test_stack_release_outside_lock_and_deep_nesting():
    s = LockFreeStack()

    class Reentrant:
        def __del__(self):
            s.push("from finalizer")
            s.is_empty()

    def scenario():
        s.push(Reentrant())
        s.pop()
        return s.pop()

    assert _run_bounded(scenario) == "from finalizer"

    # Deallocating a long chain of containers must not exhaust the C stack.
    head = LockFreeStack()
    for _ in range(200_000):
        outer = LockFreeStack()
        outer.push(head)
        head = outer
    del outer
    del head
    p = AtomicPointer()
    for _ in range(200_000):
        p = AtomicPointer(p)
    del p


def test_stack_push_out_of_memory():
    _testcapi = pytest.importorskip("_testcapi")
    s = LockFreeStack()
    s.push(1)
    messages = []
    for nth in range(8):                        # fail one allocation, the nth from now
        item = Obj()
        alive = weakref.ref(item)
        _testcapi.set_nomemory(nth, nth + 1)
        try:
            s.push(item)
        except MemoryError as exc:
            _testcapi.remove_mem_hooks()
            messages.append(str(exc))
        else:
            _testcapi.remove_mem_hooks()
            assert s.pop() is item
        assert s.size() == 1
        # A failed push keeps no reference: the item dies with the last name bound to it. (Counts
        # from sys.getrefcount taken at different places in the code do not compare from 3.14 on.)
        del item
        assert alive() is None
    assert "Failed to allocate stack node" in messages
    assert s.pop() == 1 and s.is_empty()


def test_stack_concurrent_push_pop_each_item_once(contended):
    s = LockFreeStack()
    threads_n, per_thread = 4, 4000 // contended
    popped = [[] for _ in range(threads_n)]
    barrier = threading.Barrier(threads_n)

    def worker(k):
        barrier.wait()
        out = popped[k]
        for i in range(per_thread):
            s.push((k, i))
            if i % 3 != 2:
                item = s.pop()
                if item is not None:
                    out.append(item)
            assert 0 <= s.size() <= threads_n * per_thread

    _run_threads(worker, threads_n)
    taken = [item for out in popped for item in out]
    assert len(taken) == len(set(taken))
    assert s.size() == threads_n * per_thread - len(taken)
    while not s.is_empty():
        taken.append(s.pop())
    assert sorted(taken) == sorted((k, i) for k in range(threads_n) for i in range(per_thread))
    assert s.size() == 0
