"""Tests of quarvel.memory.block_index.FastRedBlackTree."""

from __future__ import annotations

import gc
import math
import random
import sys
import threading
import time

import pytest

from quarvel.memory import block_index as bi
from quarvel.memory.block_index import FastRedBlackTree
from quarvel.memory.memory_block import MemoryBlock

from helpers import SwitchingLock, retained_memory, run_threads

U64_MAX = 2**64 - 1


def blk(size: int, tag: int = 0) -> MemoryBlock:
    return MemoryBlock(tag, size)


def height_bound(n: int) -> float:
    return 2 * math.log2(n + 1)


# ---------------------------------------------------------------------------------------------
# Reference models


class ChainModel:
    """Sizes to lists of blocks in the tree's order: head, then newest to oldest."""

    def __init__(self) -> None:
        self.sizes: dict[int, list] = {}

    def insert(self, size, block):
        chain = self.sizes.setdefault(size, [])
        chain.insert(1 if chain else 0, block)

    def delete(self, size, block):
        chain = self.sizes.get(size)
        if chain is None:
            return False
        for i, b in enumerate(chain):
            if b == block:
                del chain[i]
                if not chain:
                    del self.sizes[size]
                return True
        return False

    def best_size(self, size):
        fits = [s for s in self.sizes if s >= size]
        return min(fits) if fits else None

    def remove_ge(self, size):
        s = self.best_size(size)
        if s is None:
            return (None, None)
        chain = self.sizes[s]
        b = chain.pop(0)
        if not chain:
            del self.sizes[s]
        return (s, b)

    def count(self):
        return sum(len(c) for c in self.sizes.values())


def insert_shape(sizes):
    """Pre-order (size, count) pairs and height of the tree the documented insert algorithm builds."""
    # Nodes are lists [size, left, right, parent, red, count]; sides 1 and 2 are left and right.
    root = None

    def rotate(x, side):  # side 2: rotate left (the right child rises), side 1: rotate right
        nonlocal root
        y = x[side]
        x[side] = y[3 - side]
        if y[3 - side]:
            y[3 - side][3] = x
        y[3] = x[3]
        if x[3] is None:
            root = y
        else:
            x[3][1 if x is x[3][1] else 2] = y
        y[3 - side] = x
        x[3] = y

    for size in sizes:
        n, p = root, None
        while n is not None and n[0] != size:
            p, n = n, n[1 if size < n[0] else 2]
        if n is not None:
            n[5] += 1
            continue
        z = [size, None, None, p, True, 1]
        if p is None:
            root = z
        else:
            p[1 if size < p[0] else 2] = z
        while z[3] is not None and z[3][4]:
            p, g = z[3], z[3][3]
            side = 1 if p is g[1] else 2
            u = g[3 - side]
            if u is not None and u[4]:
                p[4] = u[4] = False
                g[4] = True
                z = g
                continue
            if z is p[3 - side]:
                z = p
                rotate(z, 3 - side)
            z[3][4] = False
            z[3][3][4] = True
            rotate(z[3][3], side)
        root[4] = False

    def walk(n):
        return [] if n is None else [(n[0], n[5])] + walk(n[1]) + walk(n[2])

    def height(n):
        return 0 if n is None else 1 + max(height(n[1]), height(n[2]))

    return walk(root), height(root)


# ---------------------------------------------------------------------------------------------
# Module and construction


def test_module_names_and_constants():
    names = [k for k in vars(bi) if not k.startswith("__")]
    assert names == ["threading", "time", "math", "List", "Optional", "Tuple", "Dict", "Any", "MemoryBlock",
                     "AtomicCounter", "ATOMIC_AVAILABLE", "FastRedBlackTree", "MAX_RETRIES"]
    assert bi.ATOMIC_AVAILABLE is True and bi.MAX_RETRIES == 100
    from quarvel.memory.sync_kernel import AtomicCounter
    assert bi.AtomicCounter is AtomicCounter and bi.MemoryBlock is MemoryBlock


def test_loads_without_sync_kernel(python_subprocess):
    proc = python_subprocess("""
        import sys
        sys.modules["quarvel.memory.sync_kernel"] = None   # makes the import fail with ImportError
        from quarvel.memory import block_index as bi
        t = bi.FastRedBlackTree(sample_rate=1)
        for s in range(10):
            t.insert(s, object())
        st = t.get_stats()
        t.clear()
        print(bi.ATOMIC_AVAILABLE, bi.AtomicCounter, st["sampled_operations"], st["operation_count"], len(t))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["False", "None", "0", "10", "0"]


def test_import_fails_without_memory_block(python_subprocess):
    proc = python_subprocess("""
        import sys
        sys.modules["quarvel.memory.memory_block"] = None
        try:
            import quarvel.memory.block_index
        except ImportError:
            print("ImportError")
    """)
    assert proc.stdout.strip() == "ImportError", proc.stderr


def test_constructor_sample_rate_conversion():
    with pytest.raises(OverflowError, match="can't convert negative value to uint32_t"):
        FastRedBlackTree(sample_rate=-1)
    with pytest.raises(OverflowError):
        FastRedBlackTree(2**32)
    with pytest.raises(TypeError, match="an integer is required"):
        FastRedBlackTree("100")
    for rate, expected in ((2.9, 5), (2**32 - 1, 0), (0, 0), (True, 10)):
        t = FastRedBlackTree(rate)
        for s in range(10):
            t.insert(s, None)
        st = t.get_stats()
        assert (st["sampled_operations"], st["operation_count"]) == (expected, 10), rate


def test_repr_len_bool_and_pickling():
    import pickle

    t = FastRedBlackTree()
    assert repr(t) == "FastRedBlackTree(blocks=0, native=True)" and len(t) == 0 and not t
    t.insert(5, None)
    t.insert(5, None)
    assert repr(t) == "FastRedBlackTree(blocks=2, native=True)" and len(t) == 2 and t and t.size() == 2
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(t)


def test_subclass_hooks_are_reached_through_self():
    class Doubling(FastRedBlackTree):
        @staticmethod
        def _sanitize_size(size):
            if size > 1000:
                raise ValueError("too big")
            return size * 2

        def size(self):
            return 7

    t = Doubling()
    t.insert(5, "a")
    assert t.find_all_exact(5) == ["a"]  # looked up as 10
    assert t.get_size_distribution() == {10: 1}
    assert t.find_best_fit(2000) is None and t.remove_ge(2000) == (None, None) and not t.delete(2000, "a")
    with pytest.raises(ValueError, match="too big"):
        t.insert(2000, "a")
    assert len(t) == 7 and bool(t) and repr(t) == "FastRedBlackTree(blocks=1, native=True)"


# ---------------------------------------------------------------------------------------------
# Sizes


def test_size_argument_conversion():
    t = FastRedBlackTree()
    assert t.insert(0, "zero") is True
    t.insert(3.9, "three")
    t.insert(True, "one")
    t.insert(U64_MAX, "max")
    assert t.get_size_distribution() == {0: 1, 3: 1, 1: 1, U64_MAX: 1}
    with pytest.raises(ValueError) as e:
        t.insert(-1, "neg")
    assert str(e.value) == "Invalid size: -1"
    with pytest.raises(TypeError, match=r"Argument 'size' has incorrect type \(expected int, got str\)"):
        t.insert("8", "x")
    assert FastRedBlackTree._sanitize_size(7.5) == 7 and FastRedBlackTree._sanitize_size(0) == 0
    with pytest.raises(ValueError, match="Invalid size: -3"):
        FastRedBlackTree._sanitize_size(-3)


def test_negative_and_oversized_sizes_change_nothing():
    t = FastRedBlackTree(sample_rate=1)
    t.insert(10, "a")
    before = t.get_stats()
    assert t.delete(-1, "a") is False
    assert t.find_best_fit(-1) is None and t.find_all_exact(-5) == [] and t.remove_ge(-2) == (None, None)
    for call in (lambda: t.insert(2**64, "x"), lambda: t.delete(2**64, "a"), lambda: t.find_best_fit(2**64),
                 lambda: t.find_all_exact(2**70), lambda: t.remove_ge(2**64)):
        with pytest.raises(OverflowError):
            call()
    with pytest.raises(TypeError):
        t.find_best_fit(10, alignment="page")
    assert t.get_stats() == before  # not searched, not counted, not sampled


# ---------------------------------------------------------------------------------------------
# Chains, searches and removal


def test_equal_sizes_chain_order():
    t = FastRedBlackTree()
    b1, b2, b3 = blk(64, 1), blk(64, 2), blk(64, 3)
    for b in (b1, b2, b3):
        t.insert(64, b)
    assert t.size() == 3 and t.get_size_distribution() == {64: 3}
    assert t.find_all_exact(64) == [b1, b3, b2] and t.find_best_fit(1) is b1
    assert t.delete(64, blk(64, 1)) is True  # equal, not identical
    assert t.find_all_exact(64) == [b3, b2]
    assert t.delete(64, b2) and t.find_all_exact(64) == [b3]
    assert t.delete(64, b3) and t.find_all_exact(64) == [] and t.get_size_distribution() == {}

    for b in (b1, b2, b3):
        t.insert(64, b)
    assert [t.remove_ge(60) for _ in range(4)] == [(64, b1), (64, b3), (64, b2), (None, None)]


def test_best_fit_and_remove_ge():
    t = FastRedBlackTree()
    assert t.find_best_fit(10) is None and t.find_all_exact(10) == [] and t.remove_ge(10) == (None, None)
    b32, b64, b128 = blk(32), blk(64), blk(128)
    for s, b in ((32, b32), (64, b64), (128, b128)):
        t.insert(s, b)
    assert t.find_best_fit(33) is b64 and t.find_best_fit(129) is None and t.find_best_fit(0) is b32
    assert t.find_best_fit(10, alignment=4096) is b32 and t.find_best_fit(64) is b64
    assert t.remove_ge(65) == (128, b128) and t.size() == 2
    # Unsigned order at the top of the range.
    t.insert(2**63, "mid")
    t.insert(U64_MAX, "top")
    assert t.find_best_fit(65) == "mid" and t.find_best_fit(2**63 + 1) == "top"
    assert t.remove_ge(U64_MAX) == (U64_MAX, "top")


def test_delete_compares_with_equality_only():
    class Never:
        def __eq__(self, other):
            return False

    class Boom:
        def __eq__(self, other):
            raise RuntimeError("eq failed")

    t = FastRedBlackTree()
    n = Never()
    t.insert(8, n)
    assert t.delete(8, n) is False  # no identity shortcut
    assert t.delete(9, n) is False
    before = t.get_stats()
    t.insert(16, Boom())
    with pytest.raises(RuntimeError, match="eq failed"):
        t.delete(16, "x")
    assert t.size() == 2 and t.get_stats()["total_deletions"] == before["total_deletions"]
    assert t.insert(17, "still usable") and t.remove_ge(17) == (17, "still usable")  # lock was released
    # A plain stored object against one whose class defines __eq__: the reflected __eq__ decides.
    class Always:
        def __eq__(self, other):
            return True

    t.insert(24, object())
    assert t.delete(24, object()) is False and t.delete(24, Always()) is True


def test_insert_shape_matches_reference_algorithm():
    rng = random.Random(77)
    sizes = [rng.randrange(500) for _ in range(2000)] + list(range(600, 1600))
    t = FastRedBlackTree()
    for s in sizes:
        t.insert(s, None)
    preorder, height = insert_shape(sizes)
    assert list(t.get_size_distribution().items()) == preorder
    assert t.get_stats()["height"] == height

    asc = FastRedBlackTree()
    for s in range(1, 1001):
        asc.insert(s, None)
    assert asc.get_stats()["height"] <= 19
    small = FastRedBlackTree()
    for s in (50, 30, 70):
        small.insert(s, None)
    assert list(small.get_size_distribution()) == [50, 30, 70]


def test_randomized_against_model():
    rng = random.Random(4242)
    t, m = FastRedBlackTree(sample_rate=3), ChainModel()
    inserts = deletes = searches = 0
    pool = [blk(0, i) for i in range(40)]
    for step in range(20000):
        op = rng.random()
        size = rng.randrange(300) if rng.random() < 0.9 else rng.choice([0, U64_MAX, 2**63, rng.randrange(2**64)])
        if op < 0.40:
            b = rng.choice(pool)
            assert t.insert(size, b) is True
            m.insert(size, b)
            inserts += 1
        elif op < 0.55:
            b = rng.choice(pool)
            if m.sizes and rng.random() < 0.7:
                size = rng.choice(list(m.sizes))
            got = t.delete(size, b)
            assert got == m.delete(size, b)
            deletes += got
        elif op < 0.70:
            got = t.remove_ge(size)
            assert got == m.remove_ge(size)
            deletes += got[0] is not None
        elif op < 0.85:
            s = m.best_size(size)
            got = t.find_best_fit(size)
            assert got is (None if s is None else m.sizes[s][0])
            searches += 1
        else:
            got = t.find_all_exact(size)
            assert got == m.sizes.get(size, []) and all(x is y for x, y in zip(got, m.sizes.get(size, [])))
            searches += 1
        if step % 500 == 0:
            assert t.get_size_distribution() == {s: len(c) for s, c in m.sizes.items()}
            st = t.get_stats()
            assert st["node_count"] == st["total_blocks"] == m.count() == len(t)
            assert (st["total_insertions"], st["total_deletions"], st["total_searches"]) == (inserts, deletes, searches)
            assert st["height"] <= height_bound(len(m.sizes))
            assert st["sampled_operations"] == inserts // 3
        if step == 12000:
            t.clear()
            m = ChainModel()
            inserts = deletes = searches = 0


def test_height_stays_red_black_under_removals():
    # Random inserts mixed with best-fit removals: the pattern that unbalances a tree whose deletion
    # skips the repair for childless black nodes.
    rng = random.Random(1331)
    t = FastRedBlackTree(sample_rate=0)
    for step in range(100000):
        if rng.random() < 0.55:
            t.insert(rng.randrange(1 << 20), None)
        else:
            t.remove_ge(rng.randrange(1 << 20))
        if step % 5000 == 4999:
            nodes = len(t.get_size_distribution())
            assert t.get_stats()["height"] <= height_bound(nodes)
    assert len(t) > 1000


# ---------------------------------------------------------------------------------------------
# Statistics


def test_statistics_keys_and_resets():
    keys = ["total_blocks", "total_insertions", "total_deletions", "total_searches", "bucket_hits", "tree_hits",
            "operation_count", "node_count", "height", "sampled_operations", "is_valid"]
    t = FastRedBlackTree(sample_rate=2)
    st = t.get_stats()
    assert list(st) == keys and st["is_valid"] is True and st["height"] == 0
    for s in range(10):
        t.insert(s, None)
    t.find_best_fit(1000)
    t.find_all_exact(1000)
    t.find_best_fit(-1)
    st = t.get_stats()
    assert (st["sampled_operations"], st["operation_count"], st["total_searches"]) == (5, 10, 2)
    t.reset_circuit_breaker()
    st = t.get_stats()
    assert list(st) == keys[:7] + ["circuit_breaker_trips"] + keys[7:]
    assert (st["operation_count"], st["circuit_breaker_trips"], st["total_insertions"]) == (0, 0, 10)
    t.clear()
    st = t.get_stats()
    assert list(st) == keys and all(st[k] == 0 for k in keys[:10]) and len(t) == 0
    t.insert(1, None)
    t.insert(2, None)
    assert t.get_stats()["sampled_operations"] == 1  # counters start again at 0
    a, b = t.get_statistics(), t.get_statistics()
    assert a == {} and b == {} and a is not b
    assert t.get_stats() is not t.get_stats()


# ---------------------------------------------------------------------------------------------
# References, memory and finalizers


def test_reference_counts_of_blocks():
    t = FastRedBlackTree()
    bs = [blk(100 + i % 3, i) for i in range(9)]

    def counts():
        return [sys.getrefcount(bs[i]) for i in range(9)]

    base = counts()
    for i in range(9):
        t.insert(bs[i].size, bs[i])
    assert counts() == [n + 1 for n in base]
    assert t.delete(100, bs[0]) and t.delete(101, bs[4])  # a head (promotion) and a chain entry
    after = counts()
    assert after[0] == base[0] and after[4] == base[4]
    found = t.find_all_exact(102)
    assert found == [bs[2], bs[8], bs[5]]
    assert [counts()[i] for i in (2, 8, 5)] == [base[i] + 2 for i in (2, 8, 5)]
    del found
    size, got = t.remove_ge(102)
    held = counts()[2]
    assert (size, held) == (102, base[2] + 1) and got == bs[2]  # the tree's reference went to the result
    del got
    assert counts()[2] == base[2]
    t.clear()
    assert counts() == base
    for i in range(9):
        t.insert(bs[i].size, bs[i])
    del t
    gc.collect()
    assert counts() == base


def test_node_memory_is_returned():
    big = 10**30  # size objects are converted, never kept
    before_big = sys.getrefcount(big)
    t = FastRedBlackTree()

    def churn():
        for rnd in range(2):
            for s in range(6000):
                t.insert(s % 4000, None)
            for s in range(0, 4000, 2):
                t.delete(s, None)
            while t.remove_ge(0) != (None, None):
                pass
            for s in range(3000):
                t.insert(s, None)
            t.clear()

    assert retained_memory(churn, warmup=lambda: (t.insert(5, None), t.clear())) < 16 * 1024
    with pytest.raises(OverflowError):
        t.insert(big, None)
    assert sys.getrefcount(big) == before_big


def test_allocation_failures_leave_tree_unchanged():
    _testcapi = pytest.importorskip("_testcapi")
    t = FastRedBlackTree()
    for s in range(40):
        t.insert(s * 10, blk(s * 10))
    # Fail each allocation of one insert in turn (the k-th from the call on) until the insert gets
    # through: every failure leaves the tree as it was, and one of them is the node's own
    # allocation. How many allocations come before it depends on the interpreter version.
    dist = t.get_size_distribution()
    item = blk(1000)
    messages = []
    for k in range(200):
        _testcapi.set_nomemory(k, k + 1)
        try:
            t.insert(1000, item)
        except MemoryError as e:
            messages.append(str(e))
        else:
            break
        finally:
            _testcapi.remove_mem_hooks()
        assert t.get_size_distribution() == dist and len(t) == 40
    else:
        pytest.fail("insert failed at every allocation")
    assert "Failed to allocate RB node" in messages
    assert t.get_size_distribution() == {**dist, 1000: 1} and len(t) == 41
    for k in range(8):
        n = len(t)
        _testcapi.set_nomemory(k, k + 1)
        try:
            got = t.remove_ge(2**40 + 1)   # nothing that large: only the result is allocated
            got2 = t.remove_ge(2**35)       # takes a block of size 1000+ (a big int result)
        except MemoryError:
            got = got2 = None
        finally:
            _testcapi.remove_mem_hooks()
        assert len(t) == n - (got2 is not None and got2[0] is not None)


def test_finalizers_may_use_the_tree():
    t = FastRedBlackTree()
    log = []

    class Reentrant:
        def __init__(self, size):
            self.size = size

        def __del__(self):
            # Writers and readers of the same tree, from inside the release of a block.
            t.insert(self.size + 1, "from finalizer")
            log.append((t.find_best_fit(self.size), len(t), t.get_stats()["node_count"]))

    def scenario():
        t.insert(10, Reentrant(10))
        t.delete(10, t.find_best_fit(10))
        t.insert(20, Reentrant(20))
        t.remove_ge(20)  # result dropped at once
        t.insert(30, Reentrant(30))
        t.insert(30, Reentrant(31))
        t.clear()
        other = FastRedBlackTree()
        other.insert(40, Reentrant(40))
        del other

    th = threading.Thread(target=scenario, daemon=True)
    th.start()
    th.join(20)
    assert not th.is_alive(), "a finalizer deadlocked on the tree"
    assert len(log) == 5 and log[0] == ("from finalizer", 1, 1)
    assert t.find_all_exact(41) == ["from finalizer"]


def test_cycles_through_subclass_instances_are_collected():
    class Tree(FastRedBlackTree):
        pass

    b = blk(5)
    base = sys.getrefcount(b)
    t = Tree()
    t.me = t
    t.insert(5, b)
    del t
    gc.collect()
    assert sys.getrefcount(b) == base


# ---------------------------------------------------------------------------------------------
# Threads


def test_concurrent_readers_and_writers_on_a_large_tree():
    rng = random.Random(5)
    t = FastRedBlackTree()
    sizes = rng.sample(range(1, 1 << 30), 80000)  # above the size from which walks release the GIL
    for s in sizes:
        t.insert(s, blk(s))
    stop = threading.Event()
    errors: list[str] = []
    counts = {"inserted": 0, "removed": 0, "found": 0}

    def reader(k):
        r = random.Random(k)
        while not stop.is_set():
            q = r.randrange(1 << 30)
            b = t.find_best_fit(q)
            if b is not None:
                counts["found"] += 1
                if b.size < q:
                    errors.append(f"best fit {b.size} < {q}")
            for x in t.find_all_exact(r.choice(sizes)):
                if not isinstance(x, MemoryBlock):
                    errors.append(f"bad block {x!r}")

    def writer(k):
        r = random.Random(100 + k)
        for i in range(6000):
            s = r.randrange(1, 1 << 30)
            t.insert(s, blk(s))
            counts["inserted"] += 1
            if i % 2:
                size, b = t.remove_ge(r.randrange(1 << 30))
                if size is not None:
                    counts["removed"] += 1
                    if b.size != size:
                        errors.append(f"removed {b.size} as {size}")
            if i % 500 == 0:
                t.delete(s, blk(s))
                counts["removed"] += 1

    readers = [threading.Thread(target=reader, args=(k,)) for k in range(2)]
    writers = [threading.Thread(target=writer, args=(k,)) for k in range(2)]
    for th in readers + writers:
        th.start()
    for th in writers:
        th.join(60)
    stop.set()
    for th in readers:
        th.join(10)
    assert not errors, errors[:5]
    assert counts["found"] > 0
    assert len(t) == 80000 + counts["inserted"] - counts["removed"]
    dist = t.get_size_distribution()
    assert sum(dist.values()) == len(t)
    assert t.get_stats()["height"] <= height_bound(len(dist))


def test_module_globals_are_read_when_used(monkeypatch):
    calls = []

    class FakeTime:
        @staticmethod
        def perf_counter_ns():
            calls.append("ns")
            return 5

    class Counter:
        made = 0

        def __init__(self, value):
            Counter.made += 1
            self.value = value

        def increment(self):
            self.value += 1
            return self.value

        def load(self):
            return self.value

    monkeypatch.setattr(bi, "time", FakeTime)
    monkeypatch.setattr(bi, "AtomicCounter", Counter)
    t = FastRedBlackTree(sample_rate=2)
    assert Counter.made == 2
    for s in (1, 1, 2):
        t.insert(s, None)
    assert calls == ["ns"] * 3  # one clock reading per record
    assert t.get_stats()["sampled_operations"] == 1
    t.clear()
    assert Counter.made == 4 and t.get_stats()["sampled_operations"] == 0
    monkeypatch.setattr(bi, "ATOMIC_AVAILABLE", False)
    u = FastRedBlackTree(sample_rate=1)
    u.insert(1, None)
    assert u.get_stats()["sampled_operations"] == 0 and Counter.made == 4


@pytest.fixture
def sleeps(monkeypatch):
    """The module's `time` replaced by one that records the readers' back-off sleeps."""
    recorded = []

    class CountingTime:
        perf_counter_ns = staticmethod(time.perf_counter_ns)

        @staticmethod
        def sleep(seconds):
            recorded.append(seconds)
            time.sleep(seconds)

    monkeypatch.setattr(bi, "time", CountingTime)
    return recorded


def test_reader_gives_up_while_a_write_stays_open(sleeps):
    t = FastRedBlackTree()
    inside, done = threading.Event(), threading.Event()

    class Slow:
        def __eq__(self, other):
            inside.set()
            done.wait(10)  # Python code inside delete's section, with the interpreter lock released
            return False

    t.insert(8, Slow())
    t.insert(4, "four")
    th = threading.Thread(target=t.delete, args=(8, "x"))
    th.start()
    assert inside.wait(5)
    searches = t.get_stats()["total_searches"]
    assert t.find_best_fit(1) is None and t.find_all_exact(4) == []  # sequence stayed odd: empty results
    assert sleeps == [0.0001] * (2 * bi.MAX_RETRIES)
    done.set()
    th.join(5)
    assert t.get_stats()["total_searches"] == searches
    assert t.find_best_fit(1) == "four" and t.get_stats()["total_searches"] == searches + 1


# ---------------------------------------------------------------------------------------------
# Re-entry, garbage collection, deallocation and interpreter exit


def test_reentry_from_a_block_comparison_raises(sleeps):
    t = FastRedBlackTree(sample_rate=1)
    seen = []

    class Probe:
        """Calls back into the tree from inside delete's write section."""

        def __init__(self, action):
            self.action = action

        def __eq__(self, other):
            gc.collect()  # the collector walks the tree's blocks mid-section
            try:
                self.action()
            except RuntimeError as e:
                seen.append(str(e))
                raise
            return False

    actions = {
        "insert": lambda: t.insert(5, "x"),
        "delete": lambda: t.delete(4, "four"),
        "remove_ge": lambda: t.remove_ge(1),
        "clear": lambda: t.clear(),
        "find_best_fit": lambda: t.find_best_fit(1),
        "find_all_exact": lambda: t.find_all_exact(4),
        "get_size_distribution": lambda: t.get_size_distribution(),
    }

    def scenario():
        t.insert(4, "four")
        for name, action in actions.items():
            t.insert(8, Probe(action))
            before = (t.get_stats(), t.get_size_distribution())
            with pytest.raises(RuntimeError, match=f"re-entrant call to FastRedBlackTree.{name}: "):
                t.delete(8, "x")
            assert (t.get_stats(), t.get_size_distribution()) == before, name
            assert t.remove_ge(8)[0] == 8  # the section was closed and the lock released

    th = threading.Thread(target=scenario, daemon=True)
    th.start()
    th.join(30)
    assert not th.is_alive(), "a call from inside the write section waited for itself"
    assert len(seen) == len(actions) and sleeps == []  # raised at once, no back-off
    assert t.find_best_fit(1) == "four" and t.get_stats()["total_searches"] == 1


def test_other_threads_wait_for_a_section_held_by_a_callback():
    t = FastRedBlackTree()
    inside, go = threading.Event(), threading.Event()
    results = []

    class Gate:
        def __eq__(self, other):
            inside.set()
            go.wait(10)  # other threads run now; they must wait for the section, not raise
            return True

    t.insert(8, Gate())
    t.insert(16, "sixteen")
    deleter = threading.Thread(target=lambda: results.append(("delete", t.delete(8, "x"))))
    deleter.start()
    assert inside.wait(10)
    others = [threading.Thread(target=lambda: results.append(("insert", t.insert(9, "nine")))),
              threading.Thread(target=lambda: results.append(("remove_ge", t.remove_ge(10))))]
    for th in others:
        th.start()
    time.sleep(0.05)
    assert results == []  # still waiting
    go.set()
    for th in [deleter] + others:
        th.join(10)
    assert sorted(results) == [("delete", True), ("insert", True), ("remove_ge", (16, "sixteen"))]
    assert t.find_all_exact(9) == ["nine"] and len(t) == 1


def test_cycles_through_blocks_are_collected():
    import weakref

    class Owned:
        """A block that knows its tree."""

        def __init__(self, tree):
            self.tree = tree

    class Noisy(Owned):
        def __del__(self):
            # Runs while the collector empties the tree: the tree must be consistent and usable.
            self.tree.insert(1, "late")
            self.tree.find_best_fit(0)

    gc.collect()
    refs = []
    for i in range(20000):
        t = FastRedBlackTree()
        b = (Noisy if i % 100 == 0 else Owned)(t)
        t.insert(i % 7, b)
        t.insert(i % 7, Owned(t))  # a chain entry as well
        refs.append(weakref.ref(b))
    del t, b
    gc.collect()
    assert sum(r() is not None for r in refs) == 0


def test_half_made_tree_is_hidden_from_the_collector(monkeypatch):
    # A substituted lock factory runs Python code while a tree is made, before its writer lock and
    # counters exist: the collector must not hand that tree out (through gc.get_objects, say).
    import types

    seen = []

    def probing_lock():
        seen.extend(o for o in gc.get_objects() if isinstance(o, FastRedBlackTree))
        return SwitchingLock()

    monkeypatch.setattr(SwitchingLock, "made", [])
    monkeypatch.setattr(bi, "threading", types.SimpleNamespace(Lock=probing_lock))
    t = FastRedBlackTree()
    assert len(SwitchingLock.made) == 2 and all(o is not t for o in seen)
    assert t.insert(5, "x") and SwitchingLock.made[0].acquired == 1
    assert gc.is_tracked(t) and t.get_stats()["operation_count"] == 1


def test_deep_chain_of_trees_is_released(python_subprocess):
    proc = python_subprocess("""
        from quarvel.memory.block_index import FastRedBlackTree
        head = None
        for i in range(300000):
            t = FastRedBlackTree()
            if head is not None:
                t.insert(1, head)
            head = t
        del t
        head = None
        print("released")
    """)
    assert proc.returncode == 0 and proc.stdout.strip() == "released", proc.stderr[-2000:]


def test_daemon_threads_inside_released_walks_at_exit(python_subprocess):
    # The interpreter ends threads that want its lock back while it finalises; those inside a walk
    # with the lock released (the tree is above the size from which walks release it), or inside
    # Python code the tree called (a size's __index__), must not run anything that touches Python
    # objects on their way out, nor pass a frame that cannot be unwound.
    script = """
        import random, sys, threading, time
        from quarvel.memory.block_index import FastRedBlackTree
        t = FastRedBlackTree()
        for s in random.Random(1).sample(range(1, 1 << 40), 70000):
            t.insert(s, object())
        started = threading.Barrier(6)
        class Size:
            def __index__(self):
                time.sleep(0.0005)
                return 12345
            __int__ = __index__
        def converter():
            started.wait()
            while True:
                t.insert(Size(), "converted")
        def reader():
            r = random.Random()
            started.wait()
            while True:
                t.find_best_fit(r.randrange(1 << 40))
                t.find_all_exact(r.randrange(1 << 40))
        def remover():
            r = random.Random()
            started.wait()
            while True:
                t.remove_ge(r.randrange(1 << 40))
                t.insert(r.randrange(1 << 40), object())
        for target in (reader, reader, reader, remover, converter):
            threading.Thread(target=target, daemon=True).start()
        started.wait()
        time.sleep(0.02)
        print("exiting")
    """
    for run in range(6):
        proc = python_subprocess(script)
        assert proc.returncode == 0 and proc.stdout.strip() == "exiting", (run, proc.returncode, proc.stderr[-2000:])


@pytest.mark.parametrize("lock_kind", ["threading.Lock", "Python-level lock"])
def test_stress_threads_keep_exact_accounts(lock_kind, monkeypatch):
    # Writers and readers with a tiny switch interval and a block comparison that hands the
    # interpreter to other threads from inside delete's write section. With real locks the tree is
    # large enough that walks give up the interpreter lock; otherwise its locks are Python-level
    # ones that switch threads, made through the module's `threading` global. Every block must end
    # up either removed exactly once or still indexed exactly once, under its own size, and the
    # statistics must agree with the contents.
    python_locks = lock_kind != "threading.Lock"
    if python_locks:
        import types

        monkeypatch.setattr(SwitchingLock, "made", [])
        monkeypatch.setattr(bi, "threading", types.SimpleNamespace(Lock=SwitchingLock))

    class Block:
        __slots__ = ("size", "tag")

        def __init__(self, size, tag):
            self.size, self.tag = size, tag

        def __eq__(self, other):
            time.sleep(0)
            return self is other

        __hash__ = object.__hash__

    rng = random.Random(2024)
    span = 1 << 24
    n_initial, ops = (3000, 800) if python_locks else (70000, 1500)
    t = FastRedBlackTree(sample_rate=3)
    if python_locks:
        assert len(SwitchingLock.made) == 2
    initial = [Block(s, ("init", i)) for i, s in enumerate(rng.sample(range(span), n_initial))]
    initial += [Block(b.size, ("dup", i)) for i, b in enumerate(initial[: n_initial // 14])]
    for b in initial:
        t.insert(b.size, b)
    inserted = {k: [] for k in range(4)}
    removed = {k: [] for k in range(4)}

    def worker(k):
        r = random.Random(k)
        mine = []
        for i in range(ops):
            op = r.random()
            if op < 0.45:
                b = Block(r.randrange(span) if r.random() < 0.7 else r.choice(initial).size, (k, i))
                t.insert(b.size, b)
                inserted[k].append(b)
                mine.append(b)
            elif op < 0.65 and mine:
                b = mine.pop(r.randrange(len(mine)))
                if t.delete(b.size, b):
                    removed[k].append(b)
            elif op < 0.9:
                q = r.randrange(span)
                size, b = t.remove_ge(q)
                if size is not None:
                    removed[k].append(b)
                    assert b.size == size >= q, (q, size, b.size)
            else:
                q = r.randrange(span)
                b = t.find_best_fit(q)
                assert b is None or b.size >= q, (q, b.size)

    def reader(k):
        r = random.Random(99 + k)
        for _ in range(2 * ops):
            s = r.choice(initial).size
            assert all(b.size == s for b in t.find_all_exact(s)), s
            b = t.find_best_fit(s)
            assert b is None or b.size >= s, (s, b.size)

    run_threads([lambda k=k: worker(k) for k in range(4)] + [lambda k=k: reader(k) for k in range(2)])

    dist = t.get_size_distribution()
    remaining = [b for s in dist for b in t.find_all_exact(s)]
    assert all(b.size == s for s in dist for b in t.find_all_exact(s))
    gone = [b for k in removed for b in removed[k]]
    every = initial + [b for k in inserted for b in inserted[k]]
    assert len({id(b) for b in gone + remaining}) == len(gone) + len(remaining)  # nothing twice
    assert {id(b) for b in gone + remaining} == {id(b) for b in every}  # nothing lost
    st = t.get_stats()
    assert len(t) == st["node_count"] == st["total_blocks"] == len(remaining) == sum(dist.values())
    assert (st["total_insertions"], st["total_deletions"]) == (len(every), len(gone))
    assert st["sampled_operations"] == len(every) // 3 and st["operation_count"] == len(every)
    assert st["height"] <= height_bound(len(dist))
    if python_locks:
        writer_lock, stats_lock = SwitchingLock.made
        assert writer_lock.acquired == writer_lock.released > len(every) and writer_lock.holder is None
        assert stats_lock.acquired == stats_lock.released == 1
