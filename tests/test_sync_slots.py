"""AtomicPointer and LockFreeStack of quarvel.memory.sync_kernel."""

import gc
import pickle
import sys
import threading

import pytest

from quarvel.memory.sync_kernel import AtomicPointer, LockFreeStack


class Obj:
    pass


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


def test_pointer_concurrent_swaps_count_every_write():
    p = AtomicPointer(0)
    threads_n, per_thread = 4, 2000
    wins = [0] * threads_n
    tokens = [object() for _ in range(8)]

    def worker(k):
        for i in range(per_thread):
            cur = p.load()
            if p.compare_and_swap(cur, tokens[(k + i) % 8]):
                wins[k] += 1
            if i % 7 == 0:
                p.store(tokens[k])

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        ts = [threading.Thread(target=worker, args=(k,)) for k in range(threads_n)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
    finally:
        sys.setswitchinterval(old)
    stores = threads_n * len(range(0, per_thread, 7))
    assert p.get_version() == sum(wins) + stores
    assert p.load() in tokens


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
    item = Obj()
    before = sys.getrefcount(item)
    messages = []
    for nth in range(8):                        # fail one allocation, the nth from now
        _testcapi.set_nomemory(nth, nth + 1)
        try:
            s.push(item)
        except MemoryError as exc:
            _testcapi.remove_mem_hooks()
            messages.append(str(exc))
            assert s.size() == 1 and sys.getrefcount(item) == before
        else:
            _testcapi.remove_mem_hooks()
            assert s.pop() is item
    assert "Failed to allocate stack node" in messages
    assert s.pop() == 1 and s.is_empty()


def test_stack_concurrent_push_pop_each_item_once():
    s = LockFreeStack()
    threads_n, per_thread = 4, 4000
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
            s.size()

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        ts = [threading.Thread(target=worker, args=(k,)) for k in range(threads_n)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
    finally:
        sys.setswitchinterval(old)
    taken = [item for out in popped for item in out]
    assert len(taken) == len(set(taken))
    assert s.size() == threads_n * per_thread - len(taken)
    while not s.is_empty():
        taken.append(s.pop())
    assert sorted(taken) == sorted((k, i) for k in range(threads_n) for i in range(per_thread))
    assert s.size() == 0
