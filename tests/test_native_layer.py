"""The shared native layer, reached through the test-only module quarvel._native_probe."""

import gc
import importlib
import importlib.util
import inspect
import os
import shutil
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

from helpers import SwitchingLock, run_threads

# The probe is a test-only module that no wheel ships. Without it this file is skipped, saying how to
# build it, and the rest of the suite still runs; a build that was asked for it (CI sets
# QUARVEL_TESTING=ON) fails instead of skipping.
try:
    import quarvel._native_probe as probe
except ModuleNotFoundError as e:
    if e.name != "quarvel._native_probe" or "QUARVEL_TESTING=ON" in os.environ.get("SKBUILD_CMAKE_DEFINE", ""):
        raise
    pytest.skip("quarvel._native_probe is a test-only module that only development builds contain; build it "
                "with tools/devbuild.sh _native_probe (then PYTHONPATH=src) or "
                "pip install -Ccmake.define.QUARVEL_TESTING=ON '.[test]'", allow_module_level=True)


class WithInt:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


class WithIndex:
    def __index__(self):
        return 7


class BadInt:
    def __int__(self):
        return "no"


@pytest.mark.parametrize(
    "fn, lo, hi, neg_msg",
    [
        (probe.to_i64, -(2**63), 2**63 - 1, None),
        (probe.to_i32, -(2**31), 2**31 - 1, None),
        (probe.to_u64, 0, 2**64 - 1, "can't convert negative value to uint64_t"),
        (probe.to_u32, 0, 2**32 - 1, "can't convert negative value to uint32_t"),
    ],
)
def test_integer_conversions_at_their_boundaries(fn, lo, hi, neg_msg):
    assert fn(lo) == lo and fn(hi) == hi
    with pytest.raises(OverflowError):
        fn(hi + 1)
    with pytest.raises(OverflowError) as exc:
        fn(lo - 1)
    if neg_msg:
        assert str(exc.value) == neg_msg
        with pytest.raises(OverflowError, match="can't convert negative value"):
            fn(-(2**70))
    # Far outside any width.
    with pytest.raises(OverflowError):
        fn(2**200)


@pytest.mark.parametrize("fn", [probe.to_i64, probe.to_i32, probe.to_u64, probe.to_u32])
def test_integer_conversion_protocol(fn):
    assert fn(2.9) == 2
    assert fn(True) == 1 and fn(False) == 0
    assert fn(WithInt(5)) == 5
    assert fn(WithIndex()) == 7
    for bad in (None, "1", b"1", [1], 1j):
        with pytest.raises(TypeError, match="an integer is required"):
            fn(bad)
    with pytest.raises(TypeError, match="__int__ returned non-int"):
        fn(BadInt())
    with pytest.raises((OverflowError, ValueError)):
        fn(float("inf"))
    with pytest.raises(ValueError):
        fn(float("nan"))


def test_negative_float_truncates_toward_zero():
    assert probe.to_i64(-2.9) == -2
    assert probe.to_u64(-0.5) == 0


def test_double_conversion():
    assert probe.to_double(3) == 3.0
    assert probe.to_double(True) == 1.0
    assert probe.to_double(WithIndex()) == 7.0
    with pytest.raises(TypeError):
        probe.to_double("1.0")
    with pytest.raises(OverflowError):
        probe.to_double(2**2000)


def test_int_parameter_convention():
    n = 12345678901234567890
    assert probe.arg_int(n) is n
    assert probe.arg_int(3.9) == 3 and type(probe.arg_int(True)) is int
    assert probe.arg_int(WithInt(4)) == 4
    with pytest.raises(TypeError) as exc:
        probe.arg_int("12")
    assert str(exc.value) == "Argument 'size' has incorrect type (expected int, got str)"


def test_exact_type_parameters_reject_subclasses():
    class S(str):
        pass

    assert probe.arg_str("x") == "x" and probe.arg_str(None) is None
    with pytest.raises(TypeError, match=r"^Argument 'code' has incorrect type \(expected str, got S\)$"):
        probe.arg_str(S("x"))
    with pytest.raises(TypeError, match=r"expected list, got tuple"):
        probe.arg_list((1,))


def test_bool_parameter_takes_truth_value():
    class Falsy:
        def __bool__(self):
            return False

    class Broken:
        def __bool__(self):
            raise RuntimeError("boom")

    assert probe.arg_bool([1]) is True and probe.arg_bool(Falsy()) is False and probe.arg_bool(None) is False
    with pytest.raises(RuntimeError):
        probe.arg_bool(Broken())


class TestArgumentParsing:
    def test_positional_keyword_defaults(self):
        assert probe.echo(1) == (1, 2, None)
        assert probe.echo(1, 5, 6) == (1, 5, 6)
        assert probe.echo(c=3, a=0) == (0, 2, 3)
        assert probe.echo(1, **{"b": 9}) == (1, 9, None)

    def test_errors_use_the_interpreter_wording(self):
        def py_echo(a, b=2, c=None):
            pass

        cases = [(), (1, 2, 3, 4)]
        for args in cases:
            with pytest.raises(TypeError) as ours:
                probe.echo(*args)
            with pytest.raises(TypeError) as theirs:
                py_echo(*args)
            assert str(ours.value).replace("echo", "X") == str(theirs.value).replace(
                "TestArgumentParsing.test_errors_use_the_interpreter_wording.<locals>.py_echo", "X")
        with pytest.raises(TypeError, match=r"^echo\(\) got an unexpected keyword argument 'd'$"):
            probe.echo(1, d=1)
        with pytest.raises(TypeError, match=r"^echo\(\) got multiple values for argument 'a'$"):
            probe.echo(1, a=1)
        with pytest.raises(TypeError, match=r"^echo\(\) missing 1 required positional argument: 'a'$"):
            probe.echo(b=1)


class TestFunctionObject:
    @pytest.mark.parametrize("field", ["__name__", "__qualname__"])
    def test_names_take_only_strings(self, field):
        with pytest.raises(TypeError, match=f"^{field} must be set to a string object$"):
            setattr(probe.echo, field, 42)
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'a'"):
            probe.echo()  # the argument error still formats the unchanged name

    def test_metadata_and_signature(self):
        f = probe.echo
        assert f.__name__ == "echo" and f.__qualname__ == "echo"
        assert f.__module__ == "quarvel._native_probe" and f.__doc__ == "Return (a, b, c)."
        assert f.__annotations__ == {"b": "int", "return": "tuple"}
        assert f.__defaults__ == (2, None)
        assert str(inspect.signature(f)) == "(a, b: 'int' = 2, c=None) -> 'tuple'"

    def test_method_binding_alias_and_signature(self):
        from quarvel.memory.sync_kernel import AtomicCounter, AtomicCounterWrapper

        c = AtomicCounter(1)
        assert AtomicCounter.__dict__["increment"] is AtomicCounter.py_increment
        bound = c.increment
        assert bound.__self__ is c and bound.__func__ is AtomicCounter.increment
        assert bound(2) == 3
        assert str(inspect.signature(AtomicCounter.increment)) == "(self, delta=1) -> 'int'"
        assert str(inspect.signature(c.increment)) == "(delta=1) -> 'int'"
        assert str(inspect.signature(AtomicCounter)) == "(initial_value=0)"
        # On a plain Python class the functions bind the same way.
        w = AtomicCounterWrapper(1)
        assert w.increment.__self__ is w
        assert str(inspect.signature(AtomicCounterWrapper.increment)) == "(self, delta: 'int' = 1) -> 'int'"
        with pytest.raises(TypeError, match="requires a 'quarvel.memory.sync_kernel.AtomicCounter' object"):
            AtomicCounter.load(object())

    def test_every_entry_point_checks_self_and_the_count(self):
        # Calls are dispatched by parameter count and by which parameters the call gives; each way
        # in must take subclass instances, refuse other objects and count arguments alike.
        from quarvel.memory.sync_kernel import AtomicCounter

        class Sub(AtomicCounter):
            pass

        for c in (AtomicCounter(1), Sub(1)):
            assert AtomicCounter.increment(c) == 2 and AtomicCounter.increment(c, 3) == 5 and c.increment() == 6
            assert AtomicCounter.load(c) == 6 and AtomicCounter.compare_and_swap(c, 6, 0) is True
            assert AtomicCounter.increment(c, delta=2) == 2
        for name, args in [("increment", ()), ("increment", (1,)), ("load", ()), ("compare_and_swap", (1, 2))]:
            with pytest.raises(TypeError, match=f"^descriptor '{name}' requires a 'quarvel.memory.sync_kernel."
                                                "AtomicCounter' object but received a 'object'$"):
                getattr(AtomicCounter, name)(object(), *args)
        with pytest.raises(TypeError, match=r"^AtomicCounter.increment\(\) missing 1 required positional argument: "
                                            "'self'$"):
            AtomicCounter.increment()
        with pytest.raises(TypeError, match=r"^AtomicCounter.increment\(\) takes from 1 to 2 positional arguments "
                                            "but 3 were given$"):
            AtomicCounter(0).increment(1, 2)
        assert probe.echo(1, 2) == (1, 2, None) and probe.echo(1, c=5) == (1, 2, 5)


def guarded(kind):
    """A probe object with one lock: the native one, or a real threading.Lock (returned too)."""
    lock = None if kind == "native" else threading.Lock()
    return probe.Guarded(lock), lock


KINDS = ["native", "threading.Lock"]


class TestLockedSections:
    def test_python_level_lock_is_held_inside_and_released(self):
        lock = probe.new_lock()
        assert type(lock) is type(threading.Lock())
        g = probe.Guarded(lock)
        for _ in range(3):
            assert g.run(lambda: (lock.locked(), lock.acquire(blocking=False))) == (True, False)
            assert not lock.locked() and lock.acquire(blocking=False)
            lock.release()
        with pytest.raises(RuntimeError, match="release unlocked lock"):
            lock.release()

    @pytest.mark.parametrize("kind", KINDS)
    def test_released_on_error(self, kind):
        g, lock = guarded(kind)

        def boom():
            assert g.held_by_me()
            raise KeyError("x")

        with pytest.raises(KeyError):
            g.run(boom)
        assert not g.held_by_me() and not (lock and lock.locked())
        assert g.run(lambda: 7) == 7

    def test_waits_for_a_python_level_holder_without_blocking_the_interpreter(self):
        lock = probe.new_lock()
        g = probe.Guarded(lock)
        order = []
        lock.acquire()
        t = threading.Thread(target=lambda: g.run(lambda: order.append("inside")))
        t.start()
        t.join(0.05)
        order.append("before release")  # the waiting thread let this thread run
        lock.release()
        t.join(5)
        assert order == ["before release", "inside"]

    def test_a_replaced_threading_lock_is_used_by_objects_made_meanwhile(self, monkeypatch):
        # The modules make no lock object while `threading.Lock` is the standard one; replacing it
        # (not only rebinding a module's `threading`) must reach every module's constructors.
        from quarvel.jit.compile_gate import CompileGate
        from quarvel.memory.block_index import FastRedBlackTree
        from quarvel.memory.sync_kernel import AtomicPointer, LockFreeStack
        from quarvel.monitoring.counter_fold import CounterAggregator

        monkeypatch.setattr(SwitchingLock, "made", [])
        with monkeypatch.context() as m:
            m.setattr(threading, "Lock", SwitchingLock)
            p, s, t, c, g = AtomicPointer(1), LockFreeStack(), FastRedBlackTree(), CounterAggregator(4), CompileGate()
            assert len(SwitchingLock.made) == 6  # the tree has two
            p.store(2), s.push(1), t.insert(8, "b"), c.update(1, 2.0), g.get_threshold("f")
            # A callback from the lock's own acquire into its object is refused, not waited for.
            SwitchingLock.made[0].acquire = lambda *args: p.load()
            with pytest.raises(RuntimeError, match="^re-entrant call to AtomicPointer.load"):
                p.load()
            del SwitchingLock.made[0].acquire
        # The pointer's lock also guarded its __init__; the tree's statistics lock was not needed.
        assert [lock.acquired for lock in SwitchingLock.made] == [2, 1, 1, 0, 1, 1]
        assert all(lock.released == lock.acquired and lock.holder is None for lock in SwitchingLock.made)
        assert SwitchingLock.made[0] in gc.get_referents(p)
        q = AtomicPointer(3)  # the standard lock again: no lock object made or seen
        q.store(4)
        assert len(SwitchingLock.made) == 6 and gc.get_referents(q) == [4]

    def test_native_sections_exclude_each_other_under_switching_threads(self):
        # Each section reads, yields the interpreter to the other threads, then writes: any
        # overlap of two sections loses an increment.
        g = probe.Guarded()
        box = [0]

        def bump():
            v = box[0]
            time.sleep(0)
            box[0] = v + 1

        def work():
            for _ in range(300):
                g.run(bump)

        run_threads([work] * 4)
        assert box[0] == 1200


def run_in_subinterpreter(code: str) -> str:
    """Runs `code` in a new subinterpreter through whichever private module this version has;
    returns the str the code leaves in `result`."""
    try:
        import _interpreters as interpreters  # 3.13
    except ImportError:
        import _xxsubinterpreters as interpreters  # 3.11, 3.12
    read_fd, write_fd = os.pipe()
    interp = interpreters.create()
    try:
        failure = interpreters.run_string(
            interp, code + f"import os\nos.write({write_fd}, result.encode())\nos.close({write_fd})\n")
        assert failure is None, failure  # 3.13 returns the error instead of raising it
        with os.fdopen(read_fd, "rb") as f:
            return f.read().decode()
    finally:
        interpreters.destroy(interp)


class TestReentry:
    @pytest.mark.parametrize("kind", KINDS)
    def test_same_thread_reentry_raises_and_releases_once(self, kind):
        g, lock = guarded(kind)
        seen = []

        def inner():
            seen.append(g.held_by_me())
            return g.run(lambda: "never")

        with pytest.raises(RuntimeError, match=r"^re-entrant call to Guarded\.run: this thread is "
                                               r"already inside a locked section of the same object$"):
            g.run(inner)
        assert seen == [True] and not g.held_by_me() and not (lock and lock.locked())
        assert g.run(lambda: 7) == 7  # the holder record was cleared

    @pytest.mark.parametrize("where", ["acquire", "release"])
    def test_callback_from_a_python_level_lock_is_a_reentry(self, where):
        # The lock's own acquire/release (Python code) calls back into the same object while the
        # real lock inside is held: refused instead of waiting for itself.
        errors = []

        class CallbackLock:
            def __init__(self):
                self.inner = threading.Lock()
                self.armed = True

            def callback(self):
                if self.armed:
                    self.armed = False
                    try:
                        g.run(lambda: None)
                    except RuntimeError as e:
                        errors.append(str(e))

            def acquire(self, *args):
                self.inner.acquire()
                if where == "acquire":
                    self.callback()
                return True

            def release(self):
                if where == "release":
                    self.callback()
                self.inner.release()

        lock = CallbackLock()
        g = probe.Guarded(lock)
        assert g.run(lambda: 5) == 5
        assert len(errors) == 1 and errors[0].startswith("re-entrant call to Guarded.run")
        assert not lock.inner.locked()

    @pytest.mark.parametrize("kind", KINDS)
    def test_other_threads_wait_instead(self, kind):
        # The holder gives the interpreter up inside its section; the second thread must wait for
        # the section without keeping the interpreter (or this thread and the holder would stall).
        g, _ = guarded(kind)
        inside = threading.Event()
        go = threading.Event()
        results = []

        def holder():
            g.run(lambda: (inside.set(), go.wait(5)))

        t = threading.Thread(target=holder)
        t.start()
        inside.wait(5)
        t2 = threading.Thread(target=lambda: results.append(g.run(lambda: "second")))
        t2.start()
        t2.join(0.05)
        assert t2.is_alive()  # waiting, not refused
        go.set()
        t.join(5)
        t2.join(5)
        assert results == ["second"]


class TestModuleFrame:
    def test_second_interpreter_is_refused(self):
        # 3.12+ refuses the import itself (the module declares no multiple-interpreter support);
        # 3.11 reaches the module's own check.
        importlib.import_module("quarvel.memory.sync_kernel")
        message = run_in_subinterpreter(
            "try:\n"
            "    import quarvel.memory.sync_kernel\n"
            "except ImportError as e:\n"
            "    result = str(e)\n"
            "else:\n"
            "    result = 'imported twice'\n")
        if sys.version_info >= (3, 12):
            assert "does not support loading in subinterpreters" in message
        else:
            assert message == ("Interpreter change detected - this module can only be loaded into one "
                               "interpreter per process.")

    def test_failed_first_import_can_be_retried(self, python_subprocess):
        proc = python_subprocess("""
            import sys
            sys.modules["quarvel.memory.memory_block"] = None   # the tree's import of it fails
            for attempt in range(2):
                try:
                    import quarvel.memory.block_index
                except ImportError as e:
                    assert "quarvel.memory.memory_block" in str(e), e
                else:
                    raise AssertionError("imported without MemoryBlock")
            del sys.modules["quarvel.memory.memory_block"]
            from quarvel.memory.block_index import FastRedBlackTree
            t = FastRedBlackTree()
            assert t.insert(64, object()) and len(t) == 1
            import importlib.util
            found = importlib.util.find_spec("quarvel.memory.block_index")
            try:
                found.loader.exec_module(importlib.util.module_from_spec(found))
            except RuntimeError as e:
                print(e)
        """)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == ("Module 'block_index' has already been imported. "
                                       "Re-initialisation is not supported.")

    @pytest.mark.parametrize("name", ["quarvel.memory.sync_kernel", "quarvel._native_probe"])
    def test_reinitialisation_is_refused(self, name):
        mod = importlib.import_module(name)
        found = importlib.util.find_spec(name)
        fresh = importlib.util.module_from_spec(found)
        with pytest.raises(RuntimeError) as exc:
            found.loader.exec_module(fresh)
        short = name.rsplit(".", 1)[1]
        assert str(exc.value) == f"Module '{short}' has already been imported. Re-initialisation is not supported."
        assert importlib.import_module(name) is mod



@pytest.mark.skipif(sys.version_info < (3, 12), reason="dictionary watchers are new in 3.12")
def test_all_modules_share_one_dictionary_watcher(python_subprocess):
    # An interpreter has eight watcher slots; loading every module may take one of them, not one each.
    r = python_subprocess("""
        import ctypes, importlib
        api = ctypes.pythonapi
        api.PyDict_AddWatcher.restype = ctypes.c_int
        api.PyDict_ClearWatcher.argtypes = [ctypes.c_int]
        CB = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object)
        cb = CB(lambda *args: 0)
        api.PyDict_AddWatcher.argtypes = [CB]

        def free_slots():
            ids = []
            while True:
                try:
                    i = api.PyDict_AddWatcher(cb)  # raises once no slot is left
                except Exception:
                    break
                ids.append(i)
            for i in ids:
                api.PyDict_ClearWatcher(i)
            return len(ids)

        before = free_slots()
        for name in ("quarvel.memory.sync_kernel", "quarvel.memory.block_index", "quarvel.memory.bucket_pool",
                     "quarvel.jit.compile_gate", "quarvel.native.hardware_probe",
                     "quarvel.plugins.analyzer.task_profiler", "quarvel.plugins.analyzer.pool_planner",
                     "quarvel.monitoring.counter_fold", "quarvel.gpu.device_fit"):
            importlib.import_module(name)
        print(before, free_slots())
    """)
    assert r.returncode == 0, r.stderr
    before, after = map(int, r.stdout.split())
    assert before - after <= 1


# --- parameters by name ---------------------------------------------------------------------------

def test_named_parameters_make_the_declared_function():
    sig = inspect.signature(probe.named)
    assert str(sig) == ("(a: 'int', b: 'float' = 0.5, c: 'int' = -3, d: 'bool' = True, e: 'str' = 'text', f=None)"
                        " -> 'tuple'")
    assert probe.named(7) == (7, 0.5, -3, True, "text", None)
    assert probe.named(f=[], e=None, a=2.9, b=1) == (2, 1.0, -3, True, None, [])
    with pytest.raises(TypeError, match=r"^Argument 'e' has incorrect type \(expected str, got int\)$"):
        probe.named(1, e=5)
    with pytest.raises(TypeError, match=r"^Argument 'a' has incorrect type \(expected int, got str\)$"):
        probe.named("1")
    g = probe.Guarded(None)
    assert g.pair(5) == (g, 5, "pair")
    assert str(inspect.signature(probe.Guarded.pair)) == "(self, value) -> 'tuple'"
    with pytest.raises(TypeError, match="requires a 'quarvel._native_probe.Guarded' object"):
        probe.Guarded.pair(object(), 1)


PARAMS_SOURCE = r"""
#include "native/qn.hpp"
constexpr auto kP = qn::params(qn::arg("x", "double"), CASE_EXTRA);
PyObject* body(CASE_ARGS a) {
    double v;
    return a.get<CASE_NAME>(v) ? nullptr : nullptr;
}
int install(PyObject* m) { return qn::add_function<body>(m, "body") ? 0 : -1; }
"""


@pytest.mark.parametrize("extra, args, name, error", [
    ('qn::opt("y", "int", 3)', "qn::Args<kP>", '"y"', None),
    ('qn::opt("y", "int", 3)', "qn::Args<kP>", '"z"', "no parameter of that name"),
    ('qn::opt("x", "int", 3)', "qn::Args<kP>", '"x"', "parameter names must be distinct"),
    ('qn::opt("y", "int", 3), qn::arg("w")', "qn::Args<kP>", '"y"', "defaults must come last"),
    ('qn::arg("y")', "qn::MethodArgs<kP>", '"y"', "a module function takes qn::Args"),
], ids=["valid", "unknown-name", "duplicate", "required-after-default", "method-as-function"])
def test_parameter_mistakes_do_not_compile(tmp_path, extra, args, name, error):
    cxx = shutil.which("g++")
    if cxx is None:
        pytest.skip("g++ is not available")
    src = tmp_path / "params.cpp"
    src.write_text(PARAMS_SOURCE)
    root = os.path.join(os.path.dirname(__file__), "..", "src")
    proc = subprocess.run([cxx, "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror", f"-I{root}",
                           f"-I{sysconfig.get_paths()['include']}", f"-DCASE_EXTRA={extra}", f"-DCASE_ARGS={args}",
                           f"-DCASE_NAME={name}", str(src)], capture_output=True, text=True, timeout=300)
    if error is None:
        assert proc.returncode == 0, proc.stderr
    else:
        assert proc.returncode != 0 and error in proc.stderr, proc.stderr
