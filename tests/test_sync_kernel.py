"""quarvel.memory.sync_kernel: module frame, AtomicCounter and AtomicCounterWrapper."""

import copy
import os
import pickle
import sys
import threading

import pytest

import quarvel.memory.sync_kernel as sk
from quarvel.memory.sync_kernel import AtomicCounter, AtomicCounterWrapper, AtomicPointer

MAX = 2**63 - 1
MIN = -(2**63)
ALIASES = ["load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"]


def test_module_names_in_load_order():
    names = [n for n in vars(sk) if not n.startswith("__")]
    assert names == ["AtomicCounter", "AtomicPointer", "LockFreeStack", "LockFreeStatistics", "PerformanceTimer",
                     "threading", "time", "Optional", "TypeVar", "Generic", "AtomicCounterWrapper", "logging",
                     "logger", "CYTHON_ATOMICS_AVAILABLE"]
    assert sk.CYTHON_ATOMICS_AVAILABLE is True
    assert sk.logger.name == "quarvel.memory.sync_kernel"


def test_loaded_line_is_logged_once(python_subprocess):
    r = python_subprocess("""
        import logging
        logging.basicConfig(level=logging.INFO, format="%(levelname)s|%(name)s|%(message)s")
        import quarvel.memory.sync_kernel
        import quarvel.memory.sync_kernel
    """)
    assert r.returncode == 0, r.stderr
    assert r.stderr.splitlines() == [
        "INFO|quarvel.memory.sync_kernel|Quarvel Cython Sync Kernel loaded - C11 atomics active (10-20× speedup)"]


class TestAtomicCounter:
    def test_operations(self):
        assert AtomicCounter().load() == 0
        c = AtomicCounter(5)
        assert c.increment() == 6
        assert c.decrement(2) == 4
        assert c.fetch_and_add(10) == 4
        assert c.load() == 14
        assert c.compare_and_swap(13, 0) is False and c.load() == 14
        assert c.compare_and_swap(14, 0) is True and c.load() == 0
        assert c.store(9) is None and c.load() == 9
        assert AtomicCounter(initial_value=3).load() == 3
        assert c.increment(delta=2) == 11 and c.compare_and_swap(expected=11, new_value=1) is True

    def test_negative_delta_is_plain_addition(self):
        a, b = AtomicCounter(10), AtomicCounter(10)
        assert a.increment(-3) == b.decrement(3) == 7
        assert a.decrement(-3) == 10 and a.fetch_and_add(-10) == 10 and a.load() == 0

    def test_wraps_around_at_64_bits(self):
        assert AtomicCounter(MAX).increment() == MIN
        assert AtomicCounter(MIN).decrement() == MAX
        assert AtomicCounter(MAX).fetch_and_add(MAX) == MAX
        c = AtomicCounter(MAX)
        c.fetch_and_add(MAX)
        assert c.load() == -2
        assert AtomicCounter(0).decrement(MIN) == MIN  # 0 - MIN wraps back to MIN
        assert AtomicCounter(MIN).increment(MIN) == 0

    def test_conversions(self):
        assert AtomicCounter(2.9).load() == 2
        assert AtomicCounter(-2.9).load() == -2
        c = AtomicCounter()
        c.store(True)
        assert c.load() == 1 and type(c.load()) is int
        c.store(MIN)
        assert c.load() == MIN

    @pytest.mark.parametrize("call", [
        lambda c: c.store(2**64), lambda c: c.store(MAX + 1), lambda c: c.store(MIN - 1),
        lambda c: c.increment(2**63), lambda c: c.compare_and_swap(0, 2**63),
        lambda c: c.compare_and_swap(2**63, 0), lambda c: c.fetch_and_add(-(2**64)),
    ])
    def test_overflow_leaves_the_counter_untouched(self, call):
        c = AtomicCounter(0)
        with pytest.raises(OverflowError):
            call(c)
        assert c.load() == 0

    def test_constructor_overflow(self):
        with pytest.raises(OverflowError):
            AtomicCounter(2**63)

    @pytest.mark.parametrize("bad", ["1", None, b"1", [], object()])
    def test_non_integers_are_rejected(self, bad):
        c = AtomicCounter(4)
        with pytest.raises(TypeError, match="^an integer is required$"):
            c.store(bad)
        with pytest.raises(TypeError, match="^an integer is required$"):
            c.increment(bad)
        with pytest.raises(TypeError, match="^an integer is required$"):
            AtomicCounter(bad)
        assert c.load() == 4

    def test_argument_errors(self):
        c = AtomicCounter()
        with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
            c.load(1)
        with pytest.raises(TypeError, match=r"unexpected keyword argument 'value'"):
            c.increment(value=1)
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'delta'"):
            c.fetch_and_add()
        with pytest.raises(TypeError):
            AtomicCounter(1, 2)
        with pytest.raises(TypeError, match="unexpected keyword argument 'value'"):
            AtomicCounter(value=1)

    def test_aliases_are_the_same_objects(self):
        for name in ALIASES:
            assert getattr(AtomicCounter, "py_" + name) is getattr(AtomicCounter, name)
            assert getattr(AtomicCounter, name).__name__ == name
        assert AtomicCounter(2).py_increment(3) == 5

    def test_annotations(self):
        for name in ("load", "increment", "decrement", "fetch_and_add"):
            assert getattr(AtomicCounter, name).__annotations__ == {"return": "int"}
        assert AtomicCounter.compare_and_swap.__annotations__ == {"return": "bool"}
        assert AtomicCounter.store.__annotations__ == {}

    def test_type_is_immutable_and_subclassable(self):
        with pytest.raises(TypeError):
            AtomicCounter.load = None

        class Named(AtomicCounter):
            def __init__(self, name, value=0):
                super().__init__(value)
                self.name = name

            def increment(self, delta=1):
                return super().increment(delta * 2)

        n = Named("x", 3)
        assert n.name == "x" and n.increment() == 5 and n.load() == 5
        assert AtomicCounter.load(n) == 5

    def test_every_call_shape_of_the_hot_methods(self):
        # The hot methods have entry points of their own for plain positional calls on the exact type;
        # keywords, subclass instances, defaults and argument errors must behave the same everywhere.
        class Plain(AtomicCounter):
            pass

        for c in (AtomicCounter(10), Plain(10)):
            assert c.increment() == 11 and c.increment(2) == 13 and c.increment(delta=3) == 16
            assert c.decrement() == 15 and AtomicCounter.decrement(c, delta=5) == 10
            assert AtomicCounter.increment(c) == 11 and c.fetch_and_add(1) == 11 and c.load() == 12
            with pytest.raises(TypeError, match=r"takes from 1 to 2 positional arguments but 3 were given"):
                c.increment(1, 2)
            with pytest.raises(TypeError, match=r"unexpected keyword argument 'step'"):
                c.increment(step=1)
            with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'value'"):
                c.store()
            with pytest.raises(TypeError):
                c.increment("1")
            assert c.load() == 12
        with pytest.raises(TypeError, match=r"descriptor 'increment' requires a"):
            AtomicCounter.increment(AtomicPointer())
        with pytest.raises(TypeError, match=r"descriptor 'load' requires a"):
            AtomicPointer.load(AtomicCounter())
        with pytest.raises(TypeError, match=r"descriptor 'store' requires a"):
            AtomicPointer.store(object(), 1)

    def test_pickling_is_refused(self):
        c = AtomicCounter(1)
        for attempt in (lambda: pickle.dumps(c), lambda: copy.copy(c), lambda: copy.deepcopy(c),
                        lambda: c.__reduce_ex__(2), lambda: c.__reduce__()):
            with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
                attempt()
        with pytest.raises(TypeError, match="non-trivial __cinit__"):
            pickle.dumps(AtomicCounterWrapper(1))

    def test_results_hold_no_hidden_references(self):
        c = AtomicCounter(10**15)
        before = sys.getrefcount(c)
        for _ in range(1000):
            c.increment()
            c.load()
            c.compare_and_swap(0, 1)
            c.py_fetch_and_add(1)
        assert sys.getrefcount(c) == before

    def test_exact_total_from_several_threads(self):
        c = AtomicCounter(0)
        n, threads = 20000, 4
        start = threading.Barrier(threads)

        def work():
            start.wait()
            for _ in range(n):
                c.increment()
                c.fetch_and_add(2)
                c.decrement()

        ts = [threading.Thread(target=work) for _ in range(threads)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        assert c.load() == n * threads * 2

    def test_compare_and_swap_loop_loses_nothing_across_threads(self):
        c = AtomicCounter(0)
        n, threads = 5000, 4
        sys_interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)  # force interleavings between the load and the swap
        try:
            def work():
                for _ in range(n):
                    while True:
                        v = c.load()
                        if c.compare_and_swap(v, v + 1):
                            break

            ts = [threading.Thread(target=work) for _ in range(threads)]
            for t in ts:
                t.start()
            for t in ts:
                t.join()
        finally:
            sys.setswitchinterval(sys_interval)
        assert c.load() == n * threads


class TestAtomicCounterWrapper:
    def test_forwards(self):
        w = AtomicCounterWrapper(7)
        assert w.increment() == 8
        assert AtomicCounterWrapper().load() == 0
        assert w.decrement(3) == 5 and w.fetch_and_add(5) == 5 and w.load() == 10
        assert w.compare_and_swap(10, 1) is True and w.compare_and_swap(10, 2) is False
        assert w.store(4) is None and w.load() == 4
        assert type(w._counter) is AtomicCounter

    def test_plain_class(self):
        assert type(AtomicCounterWrapper) is type
        assert AtomicCounterWrapper.__module__ == "quarvel.memory.sync_kernel"
        assert AtomicCounterWrapper.__doc__ == "Python wrapper for Cython AtomicCounter (backward compatibility)."
        assert AtomicCounterWrapper.increment.__annotations__ == {"delta": "int", "return": "int"}
        assert AtomicCounterWrapper.store.__annotations__ == {"value": "int"}

    def test_int_parameters(self):
        with pytest.raises(TypeError) as exc:
            AtomicCounterWrapper("x")
        assert str(exc.value) == "Argument 'initial_value' has incorrect type (expected int, got str)"
        w = AtomicCounterWrapper(2.5)
        assert w.load() == 2 and w.increment(1.9) == 3
        with pytest.raises(TypeError, match=r"Argument 'new_value' has incorrect type \(expected int, got NoneType\)"):
            w.compare_and_swap(3, None)
        with pytest.raises(OverflowError):
            w.store(2**63)
        assert w.load() == 3

    def test_uses_the_py_aliases_of_its_counter(self):
        calls = []

        class Spy:
            def py_increment(self, delta):
                calls.append(("py_increment", delta))
                return 42

            def increment(self, delta):  # never used by the wrapper
                raise AssertionError

        w = AtomicCounterWrapper()
        w._counter = Spy()
        assert w.increment(3) == 42 and calls == [("py_increment", 3)]



# ---- the native operation table, called from native loops on several threads at once ----
#
# The Python methods never release the interpreter lock around their atomic instruction, so thread
# tests through them cannot tell an atomic update from a plain one. The table is called here from a
# small C helper, with the interpreter lock released (ctypes releases it around foreign calls), so
# two threads really run the entries at the same time on two cores.

HAMMER_C = r"""
#include <stdint.h>
#include <stdbool.h>
typedef int64_t (*load_fn)(void*);
typedef int64_t (*add_fn)(void*, int64_t);
typedef bool (*cas_fn)(void*, int64_t, int64_t);

/* n times: add(+3), fetch_and_add(-1), subtract(1): +1 net each round */
void hammer_adds(void* c, add_fn inc, add_fn fetch_add, add_fn dec, long n) {
    for (long i = 0; i < n; ++i) { inc(c, 3); fetch_add(c, -1); dec(c, 1); }
}
/* n compare-and-swap increments */
void hammer_cas(void* c, load_fn load, cas_fn cas, long n) {
    for (long i = 0; i < n; ++i) { int64_t v; do { v = load(c); } while (!cas(c, v, v + 1)); }
}
"""


@pytest.fixture(scope="module")
def hammer(tmp_path_factory):
    import ctypes
    import shutil
    import subprocess
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler")
    d = tmp_path_factory.mktemp("hammer")
    (d / "hammer.c").write_text(HAMMER_C)
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer runtime in the compiler
    subprocess.run([cc, "-O2", "-shared", "-fPIC", "-o", str(d / "hammer.so"), str(d / "hammer.c")], check=True,
                   env=env)
    return ctypes.CDLL(str(d / "hammer.so"))


def _counter_table():
    import ctypes
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = get(AtomicCounter.__native_ops__, b"quarvel.memory.sync_kernel.AtomicCounter.__native_ops__")
    return list((ctypes.c_void_p * 6).from_address(table))


def _in_threads(*calls):
    start = threading.Barrier(len(calls))

    def run(f, *args):
        start.wait()
        f(*args)

    ts = [threading.Thread(target=run, args=call) for call in calls]
    for t in ts:
        t.start()
    for t in ts:
        t.join()


def test_counter_table_without_the_interpreter_lock(hammer):
    import ctypes
    load, store, inc, dec, cas, fetch_add = _counter_table()
    obj = ctypes.py_object
    i64 = ctypes.c_int64
    # the entries one by one, against the methods' results
    c = AtomicCounter(MAX)
    call = lambda fn, res, *args: ctypes.CFUNCTYPE(res, obj, *[i64] * len(args))(fn)(c, *args)
    assert call(inc, i64, 1) == MIN and call(dec, i64, 1) == MAX and call(fetch_add, i64, 2) == MAX
    assert call(load, i64) == MIN + 1 and call(cas, ctypes.c_bool, 0, 5) is False
    assert call(cas, ctypes.c_bool, MIN + 1, 5) is True and c.load() == 5
    call(store, None, -7)
    assert c.load() == -7

    hammer.hammer_adds.argtypes = [obj] + [ctypes.c_void_p] * 3 + [ctypes.c_long]
    hammer.hammer_cas.argtypes = [obj, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_long]
    n = 1_000_000
    c.store(0)
    _in_threads((hammer.hammer_adds, c, inc, fetch_add, dec, n), (hammer.hammer_adds, c, inc, fetch_add, dec, n),
                (hammer.hammer_cas, c, load, cas, n), (hammer.hammer_cas, c, load, cas, n))
    assert c.load() == 4 * n

