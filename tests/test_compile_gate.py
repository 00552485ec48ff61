"""Tests for quarvel.jit.compile_gate: policy records, the compile gate and the process-wide gate."""

from __future__ import annotations

import logging
import math
import pickle
import random
import sys
import threading
import time
import types

import pytest

from quarvel.bench.models.compile_gate import model_next_threshold
from quarvel.jit import compile_gate as cg
from quarvel.jit.compile_gate import (CompileGate, FunctionMetrics, PolicyConfig,
                                      create_function_metrics, create_policy_config,
                                      get_compile_gate, reset_compile_gate)
from quarvel.jit.telemetry_store import FunctionTelemetry, TelemetryStore
from helpers import SwitchingLock, _real_lock, retained_memory

INT32_MAX = 2**31 - 1


class Store:
    """A store handing out one prepared metrics object, counting calls."""

    def __init__(self, metrics=None, **fields):
        self.metrics = metrics if metrics is not None else FunctionMetrics(**fields)
        self.calls = 0

    def get_metrics(self, func_id):
        self.calls += 1
        return self.metrics


class FakeClock:
    def __init__(self, now):
        self.now = now

    def time(self):
        return self.now


def metrics_ns(**kw):
    """A foreign metrics object read only by attribute."""
    import types
    return types.SimpleNamespace(**kw)


# --- PolicyConfig ---------------------------------------------------------------------------------

def test_policy_config_defaults_and_factory():
    for c in (PolicyConfig(), create_policy_config()):
        assert (c.initial_threshold, c.min_threshold, c.max_threshold,
                c.learning_rate, c.target_speedup) == (100, 10, 10000, 0.1, 2.0)
        assert type(c.initial_threshold) is int and type(c.learning_rate) is float
    c = PolicyConfig(50, 5, 500, 0.5, 3)
    assert (c.initial_threshold, c.min_threshold, c.max_threshold,
            c.learning_rate, c.target_speedup) == (50, 5, 500, 0.5, 3.0)
    with pytest.raises(TypeError):
        PolicyConfig(1, 2, 3, 4, 5, 6)
    with pytest.raises(TypeError):
        PolicyConfig(bogus=1)


@pytest.mark.parametrize("kwargs, message", [
    (dict(min_threshold=0, max_threshold=0), "min_threshold must be positive"),
    (dict(min_threshold=-5, learning_rate=0.0), "min_threshold must be positive"),
    (dict(min_threshold=50, max_threshold=50, initial_threshold=50),
     "max_threshold must be greater than min_threshold"),
    (dict(max_threshold=5, learning_rate=7.0), "max_threshold must be greater than min_threshold"),
    (dict(learning_rate=0.0), "learning_rate must be in (0, 1]"),
    (dict(learning_rate=-0.1), "learning_rate must be in (0, 1]"),
    (dict(learning_rate=1.0000001), "learning_rate must be in (0, 1]"),
    (dict(learning_rate=float("nan")), "learning_rate must be in (0, 1]"),
    (dict(learning_rate=2.0, target_speedup=0.0), "learning_rate must be in (0, 1]"),
    (dict(target_speedup=0.0), "target_speedup must be positive"),
    (dict(target_speedup=-1, initial_threshold=5), "target_speedup must be positive"),
    (dict(initial_threshold=5), "initial_threshold must be within bounds"),
    (dict(initial_threshold=10001), "initial_threshold must be within bounds"),
])
def test_policy_config_validation_order(kwargs, message):
    with pytest.raises(ValueError) as exc:
        PolicyConfig(**kwargs)
    assert str(exc.value) == message
    with pytest.raises(ValueError) as exc:
        create_policy_config(**kwargs)
    assert str(exc.value) == message


def test_policy_config_accepted_edges_and_conversion():
    assert PolicyConfig(learning_rate=1.0).learning_rate == 1.0
    assert math.isnan(PolicyConfig(target_speedup=float("nan")).target_speedup)
    assert PolicyConfig(initial_threshold=10).initial_threshold == 10
    assert PolicyConfig(initial_threshold=10000).initial_threshold == 10000
    assert PolicyConfig(initial_threshold=150.9).initial_threshold == 150
    assert PolicyConfig(initial_threshold=True, min_threshold=True, max_threshold=2).initial_threshold == 1
    # conversion failures are raised before any validation
    with pytest.raises(OverflowError):
        PolicyConfig(max_threshold=INT32_MAX + 1, min_threshold=0)
    with pytest.raises(TypeError, match="an integer is required"):
        PolicyConfig(min_threshold="5", learning_rate=0.0)
    with pytest.raises(ValueError, match="NaN"):
        PolicyConfig(initial_threshold=float("nan"))
    with pytest.raises(OverflowError):
        FunctionMetrics(call_count=float("inf"))
    with pytest.raises(TypeError):
        PolicyConfig(learning_rate="0.5", min_threshold=0)
    assert PolicyConfig(max_threshold=INT32_MAX, initial_threshold=INT32_MAX).max_threshold == INT32_MAX


def test_policy_config_setters_convert_without_validating():
    c = PolicyConfig()
    c.min_threshold = 0
    c.learning_rate = 5.0
    c.max_threshold = 7.9
    c.target_speedup = 3
    assert (c.min_threshold, c.learning_rate, c.max_threshold, c.target_speedup) == (0, 5.0, 7, 3.0)
    assert type(c.target_speedup) is float
    with pytest.raises(OverflowError):
        c.initial_threshold = -2**31 - 1
    with pytest.raises(TypeError):
        c.initial_threshold = None
    with pytest.raises(TypeError):
        c.learning_rate = "x"
    assert c.initial_threshold == 100 and c.learning_rate == 5.0   # failed sets change nothing
    for name in ("initial_threshold", "min_threshold", "max_threshold", "learning_rate",
                 "target_speedup"):
        with pytest.raises(NotImplementedError, match="__del__"):
            delattr(c, name)


# --- FunctionMetrics ------------------------------------------------------------------------------

def test_function_metrics_fields_and_alias():
    m = FunctionMetrics()
    assert (m.call_count, m.compile_count, m.avg_speedup, m.total_execution_time_ms,
            m.last_compile_time, m.last_compiled) == (0, 0, 1.0, 0.0, 0.0, 0.0)
    m = FunctionMetrics(5, 2, 3.5, 12.25, 4.0)
    assert (m.call_count, m.compile_count, m.avg_speedup, m.total_execution_time_ms,
            m.last_compiled) == (5, 2, 3.5, 12.25, 4.0)
    for kwargs, expected in [(dict(last_compile_time=3.0), 3.0),
                             (dict(last_compile_time=3.0, last_compiled=5.0), 5.0),
                             (dict(last_compile_time=3.0, last_compiled=-0.5), 3.0),
                             (dict(last_compile_time=3.0, last_compiled=0.0), 0.0),
                             (dict(last_compiled=0.0), 0.0),
                             (dict(last_compile_time=-4.0), -4.0)]:
        m = FunctionMetrics(**kwargs)
        assert m.last_compile_time == expected and m.last_compiled == expected, kwargs
    assert FunctionMetrics(0, 0, 1.0, 0.0, 3.0, 9.0).last_compile_time == 9.0
    m.last_compiled = 7.5
    assert m.last_compile_time == 7.5
    m.last_compile_time = 8
    assert m.last_compiled == 8.0 and type(m.last_compiled) is float
    assert "TelemetryStore" in type(m).last_compiled.__doc__
    assert "backward compatibility" in type(m).last_compile_time.__doc__
    with pytest.raises(TypeError):
        FunctionMetrics(1, 2, 3, 4, 5, 6, 7)


def test_function_metrics_unsigned_conversions():
    with pytest.raises(OverflowError, match="can't convert negative value to uint64_t"):
        FunctionMetrics(call_count=-1)
    with pytest.raises(OverflowError, match="can't convert negative value to uint32_t"):
        FunctionMetrics(compile_count=-1)
    with pytest.raises(OverflowError):
        FunctionMetrics(call_count=2**64)
    m = FunctionMetrics(call_count=2**64 - 1)
    assert m.call_count == 2**64 - 1
    with pytest.raises(OverflowError):
        m.compile_count = 4294967296
    m.compile_count = 4294967295
    assert m.compile_count == 4294967295
    with pytest.raises(OverflowError, match="can't convert negative value to uint64_t"):
        m.call_count = -3
    assert m.call_count == 2**64 - 1
    m.call_count = 9.99
    assert m.call_count == 9
    with pytest.raises(TypeError, match="an integer is required"):
        m.call_count = "1"
    with pytest.raises(TypeError):
        m.avg_speedup = "2.0"
    for name in ("call_count", "compile_count", "avg_speedup", "total_execution_time_ms",
                 "last_compiled", "last_compile_time"):
        with pytest.raises(NotImplementedError, match="__del__"):
            delattr(m, name)


def test_function_metrics_factory():
    m = create_function_metrics()
    assert (m.call_count, m.compile_count, m.avg_speedup, m.last_compiled) == (0, 0, 1.0, 0.0)
    assert create_function_metrics(call_count=2.9).call_count == 2
    assert create_function_metrics(call_count=True).call_count == 1
    m = create_function_metrics(avg_speedup=2)
    assert m.avg_speedup == 2.0 and type(m.avg_speedup) is float
    assert create_function_metrics(1, 2, 3.0, 4.0, 5.0).last_compiled == 5.0
    with pytest.raises(TypeError):
        create_function_metrics(call_count=None)
    with pytest.raises(TypeError):
        create_function_metrics(compile_count="3")
    with pytest.raises(TypeError):
        create_function_metrics(avg_speedup="3")
    with pytest.raises(TypeError):
        create_function_metrics(last_compiled=1.0)
    with pytest.raises(OverflowError, match="uint64_t"):
        create_function_metrics(call_count=-1)


def test_factory_annotations_and_docs():
    assert create_policy_config.__annotations__ == {
        "initial_threshold": "int", "min_threshold": "int", "max_threshold": "int",
        "learning_rate": "float", "target_speedup": "float", "return": "PolicyConfig"}
    assert create_function_metrics.__annotations__ == {
        "call_count": "int", "compile_count": "int", "avg_speedup": "float",
        "total_execution_time_ms": "float", "last_compile_time": "float",
        "return": "FunctionMetrics"}
    assert create_policy_config.__doc__.startswith("Factory function to create PolicyConfig.")
    assert PolicyConfig.__doc__ == "Configuration for compile gate."
    assert CompileGate.get_threshold.__annotations__ == {"return": "int"}
    assert CompileGate.should_compile.__annotations__ == {"return": "bool"}
    assert CompileGate.get_statistics.__annotations__ == {"return": "Dict"}
    assert get_compile_gate.__annotations__ == {"return": "CompileGate"}
    assert CompileGate.config.__doc__ == "Get policy configuration."


def test_records_and_gate_refuse_pickling():
    import copy
    for obj in (PolicyConfig(), FunctionMetrics(), CompileGate()):
        for refuse in (pickle.dumps, copy.copy, lambda o: o.__setstate__({})):
            with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
                refuse(obj)


def test_records_are_subclassable():
    class Metrics(FunctionMetrics):
        pass

    class Config(PolicyConfig):
        pass

    m = Metrics(call_count=3, last_compiled=2.0)
    assert (m.call_count, m.last_compile_time) == (3, 2.0)
    c = Config(initial_threshold=20)
    assert CompileGate(c).config is c


# --- module frame ---------------------------------------------------------------------------------

def test_module_attributes():
    import time as time_module
    import typing
    assert cg.time is time_module and cg.logging is logging and cg.threading is threading
    assert cg.Dict is typing.Dict and cg.Optional is typing.Optional
    assert cg.logger.name == "quarvel.jit.compile_gate"
    assert type(cg._policy_lock) is type(threading.Lock())
    assert not hasattr(cg, "_gate_instance")
    names = ["PolicyConfig", "FunctionMetrics", "CompileGate", "time", "logging", "threading", "Dict",
             "Optional", "logger", "_policy_lock", "get_compile_gate", "reset_compile_gate",
             "create_function_metrics", "create_policy_config"]
    assert [k for k in vars(cg) if k in names] == names


def test_module_loads_once_and_logs_its_line():
    import subprocess
    code = ("import logging, sys; logging.basicConfig(level=logging.DEBUG, format='%(name)s "
            "%(levelname)s %(message)s'); import quarvel.jit.compile_gate\n"
            "del sys.modules['quarvel.jit.compile_gate']\n"
            "try:\n    import quarvel.jit.compile_gate\nexcept RuntimeError as e:\n    print(e)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env={**__import__("os").environ, "PYTHONPATH": ":".join(sys.path)})
    assert out.returncode == 0, out.stderr
    assert out.stderr.splitlines() == [
        "quarvel.jit.compile_gate INFO Quarvel Compile Gate Cython module loaded - IP protected"]
    assert out.stdout.strip() == ("Module 'compile_gate' has already been imported. "
                                  "Re-initialisation is not supported.")


# --- CompileGate ----------------------------------------------------------------------------------

def test_new_gate_threshold_and_statistics():
    g = CompileGate()
    assert g.get_threshold("f") == 100 and g.get_threshold(None) == 100
    assert g.get_statistics() == {"tracked_functions": 0, "avg_threshold": 100,
                                  "min_threshold": 10, "max_threshold": 10000}
    assert list(g.get_statistics()) == ["tracked_functions", "avg_threshold", "min_threshold",
                                        "max_threshold"]
    with pytest.raises(AttributeError):
        g.config = PolicyConfig()
    with pytest.raises(TypeError):
        CompileGate(None, None)


def test_gate_config_sources():
    c = PolicyConfig(initial_threshold=42)
    assert CompileGate(c).config is c
    assert CompileGate(config=c).get_threshold("x") == 42
    # a mapping is not read by key
    assert CompileGate(config={"initial_threshold": 5}).config.initial_threshold == 100

    class Foreign:
        initial_threshold = 5
    with pytest.raises(ValueError, match="initial_threshold must be within bounds"):
        CompileGate(Foreign())

    class Full:
        initial_threshold = 30
        min_threshold = 3
        max_threshold = 300.5
        learning_rate = 1
        target_speedup = 4
    g = CompileGate(Full())
    c = g.config
    assert type(c) is PolicyConfig
    assert (c.initial_threshold, c.min_threshold, c.max_threshold, c.learning_rate,
            c.target_speedup) == (30, 3, 300, 1.0, 4.0)

    class Raising:
        @property
        def min_threshold(self):
            raise RuntimeError("boom")
    with pytest.raises(RuntimeError, match="boom"):
        CompileGate(Raising())


def test_func_id_must_be_exact_str_or_none():
    class S(str):
        pass
    g = CompileGate()
    store = Store(call_count=500)
    for bad in (123, b"f", S("f")):
        for call in (lambda: g.get_threshold(bad), lambda: g.should_compile(bad, store),
                     lambda: g.update(bad, store)):
            with pytest.raises(TypeError):
                call()
    assert store.calls == 0
    assert g.should_compile(None, store) is True


def test_should_compile_threshold_and_interval(monkeypatch):
    g = CompileGate()
    assert g.should_compile("f", Store(call_count=99)) is False
    assert g.should_compile("f", Store(call_count=100)) is True
    clock = FakeClock(10_000.0)
    monkeypatch.setattr(cg, "time", clock)
    recent = Store(call_count=100, compile_count=1, last_compiled=10_000.0 - 100)
    assert g.should_compile("f", recent) is False
    recent.metrics.last_compiled = 10_000.0 - 599.999
    assert g.should_compile("f", recent) is False
    for speed in (0.1, 1.0, 50.0):
        recent.metrics.avg_speedup = speed
        recent.metrics.last_compiled = 10_000.0 - 600
        assert g.should_compile("f", recent) is True
        clock.now += 1000
    # a foreign record without last_compiled measures from 0.0
    assert g.should_compile("f", Store(metrics_ns(call_count=100, compile_count=1,
                                                   avg_speedup=1.0))) is True
    clock.now = 500.0
    assert g.should_compile("f", Store(metrics_ns(call_count=100, compile_count=1,
                                                   avg_speedup=1.0))) is False
    # the telemetry store's own record type works too
    clock.now = 2000.0
    assert g.should_compile("f", Store(FunctionTelemetry(100, 2, 1.0, 0.0, 1000.0))) is True


def test_should_compile_reads_the_clock_at_call_time(monkeypatch):
    import time as time_module
    g = CompileGate()
    rec = FunctionMetrics(call_count=100, compile_count=1)
    store = Store(rec)
    before = time_module.time()
    rec.last_compiled = before - 600.0
    assert g.should_compile("f", store) is True
    # the clock read natively agrees with time.time() to well under a tenth of a second
    rec.last_compiled = time_module.time() - 600.0 + 0.1
    assert g.should_compile("f", store) is False
    # the standard module's own function, rebound, is honoured as well
    monkeypatch.setattr(time_module, "time", lambda: before + 10_000.0)
    assert g.should_compile("f", store) is True
    monkeypatch.setattr(time_module, "time", lambda: "noon")
    with pytest.raises(TypeError):
        g.should_compile("f", store)
    monkeypatch.undo()
    assert g.should_compile("f", store) is False


def test_should_compile_unsigned_comparison():
    g = CompileGate()
    g.config.initial_threshold = -1           # widens to 2**64 - 1
    assert g.should_compile("f", Store(call_count=2**63)) is False
    assert g.should_compile("f", Store(call_count=2**64 - 1)) is True
    g.config.initial_threshold = 0
    assert g.should_compile("f", Store(call_count=0)) is True


def test_update_worked_values(caplog):
    caplog.set_level(logging.DEBUG, logger="quarvel.jit.compile_gate")
    g = CompileGate()
    g.update("a", Store(compile_count=1, avg_speedup=3.0))
    g.update("b", Store(compile_count=1, avg_speedup=2.0))
    g.update("c", Store(compile_count=1, avg_speedup=1.5))
    g.update("d", Store(compile_count=5, avg_speedup=3.0))
    g.update("e", Store(compile_count=10, avg_speedup=3.0))
    g.update("h", Store(compile_count=4294967295, avg_speedup=0.1))
    assert [g.get_threshold(k) for k in "abcdeh"] == [91, 109, 109, 95, 100, 100]
    msgs = [r.getMessage() for r in caplog.records if r.name == "quarvel.jit.compile_gate"]
    assert msgs[0] == "Updated threshold for a: 100 -> 91 (speedup: 3.00x)"
    assert msgs[4] == "Updated threshold for e: 100 -> 100 (speedup: 3.00x)"
    assert all(r.levelno == logging.DEBUG for r in caplog.records
               if r.name == "quarvel.jit.compile_gate")
    g2 = CompileGate()
    g2.update("a", Store(compile_count=1, avg_speedup=3.0))
    g2.update("b", Store(compile_count=1, avg_speedup=2.0))
    assert g2.get_statistics() == {"tracked_functions": 2, "avg_threshold": 100.0,
                                   "min_threshold": 91, "max_threshold": 109}
    assert type(g2.get_statistics()["avg_threshold"]) is float


def test_equal_identifiers_share_one_entry():
    g = CompileGate()
    a, b = "func", "".join(["fu", "nc"])
    assert a == b and a is not b
    store = Store(compile_count=1, avg_speedup=3.0)
    assert g.get_threshold(a) == 100
    g.update(b, store)
    assert g.get_threshold(a) == 91 and g.get_threshold(b) == 91
    g.update(a, store)
    assert g.get_threshold(b) == 82
    assert g.should_compile(b, Store(call_count=81)) is False
    assert g.should_compile(a, Store(call_count=82)) is True
    g.__init__()
    assert g.get_threshold(a) == 100 and g.get_threshold(b) == 100
    assert g.get_statistics()["tracked_functions"] == 0


def test_update_debug_line_formats(caplog):
    caplog.set_level(logging.DEBUG, logger="quarvel.jit.compile_gate")
    g = CompileGate()
    g.update(None, Store(compile_count=1, avg_speedup=1.005))
    g.update("é∂", Store(compile_count=1, avg_speedup=float("inf")))
    g.update("n", Store(compile_count=1, avg_speedup=float("nan")))
    msgs = [r.getMessage() for r in caplog.records if r.name == "quarvel.jit.compile_gate"]
    assert msgs == ["Updated threshold for None: 100 -> 109 (speedup: 1.00x)",
                    "Updated threshold for é∂: 100 -> 91 (speedup: infx)",
                    "Updated threshold for n: 100 -> 109 (speedup: nanx)"]
    assert g.get_threshold(None) == 109


def test_update_logs_through_the_module_logger_at_call_time(monkeypatch):
    lines = []

    class Recorder:
        def debug(self, text):
            lines.append(text)

    monkeypatch.setattr(cg, "logger", Recorder())
    g = CompileGate()
    g.update("f", Store(compile_count=1, avg_speedup=3.0))
    g.update("f", Store(compile_count=0, avg_speedup=3.0))
    assert lines == ["Updated threshold for f: 100 -> 91 (speedup: 3.00x)"]

    class Broken:
        def debug(self, text):
            raise RuntimeError("sink down")

    monkeypatch.setattr(cg, "logger", Broken())
    with pytest.raises(RuntimeError, match="sink down"):
        g.update("f", Store(compile_count=1, avg_speedup=3.0))
    assert g.get_threshold("f") == 82     # stored before logging


def test_update_debug_line_follows_the_logging_configuration(monkeypatch):
    # The line goes out exactly when logger.isEnabledFor(DEBUG) says so at that update, however the
    # configuration changed since the last one.
    log = logging.getLogger("quarvel.jit.compile_gate")
    seen = []

    class Sink(logging.Handler):
        def emit(self, record):
            seen.append(record.getMessage())

    g, fast = CompileGate(), Store(compile_count=1, avg_speedup=3.0)

    def emitted():
        seen.clear()
        g.update("f", fast)
        return bool(seen)

    sink = Sink(logging.DEBUG)
    log.addHandler(sink)
    saved = log.level, log.propagate, log.disabled
    log.propagate = False
    try:
        log.setLevel(logging.DEBUG)
        assert emitted() and emitted()
        log.setLevel(logging.INFO)
        assert not emitted() and not emitted()
        log.setLevel(logging.DEBUG)
        assert emitted()
        log.disabled = True
        assert not emitted()
        log.disabled = False
        logging.disable(logging.DEBUG)
        assert not emitted()
        logging.disable(logging.NOTSET)
        assert emitted()
        log.setLevel(logging.INFO)
        assert not emitted()
        log._cache[logging.DEBUG] = 1   # a cached answer that is not a bool is the method's to give
        assert emitted()
        log.setLevel(logging.INFO)
        assert not emitted()            # (the logger's cache now holds the answer)
        with monkeypatch.context() as m:  # a replaced method on the class is the one asked
            m.setattr(logging.Logger, "isEnabledFor", lambda self, level: True)
            assert emitted()
        assert not emitted()
    finally:
        logging.disable(logging.NOTSET)
        log.removeHandler(sink)
        log.setLevel(saved[0])
        log.propagate, log.disabled = saved[1:]


def test_update_without_compilation_does_nothing(caplog):
    caplog.set_level(logging.DEBUG, logger="quarvel.jit.compile_gate")
    g = CompileGate()
    g.update("f", Store(compile_count=0, avg_speedup=9.0))
    # the zero test is a Python equality, so 0.0 and False count as zero too
    g.update("f", Store(metrics_ns(compile_count=0.0, avg_speedup=9.0)))
    g.update("f", Store(metrics_ns(compile_count=False)))
    assert g.get_statistics()["tracked_functions"] == 0
    assert not [r for r in caplog.records if r.name == "quarvel.jit.compile_gate"]


def test_threshold_walks_to_the_bounds():
    g = CompileGate()
    down = Store(compile_count=1, avg_speedup=10.0)
    seen = [g.get_threshold("f")]
    for _ in range(40):
        g.update("f", down)
        seen.append(g.get_threshold("f"))
    assert seen[:5] == [100, 91, 82, 74, 67]
    assert seen[-1] == 10 and seen.count(10) > 5
    # truncation keeps a threshold of 10 from ever rising again (10 * 1.09 -> 10)
    g.update("f", Store(compile_count=1, avg_speedup=0.5))
    assert g.get_threshold("f") == 10
    up = Store(compile_count=1, avg_speedup=0.5)
    seen = []
    for _ in range(80):
        g.update("g", up)
        seen.append(g.get_threshold("g"))
    assert seen[:3] == [109, 118, 128]
    assert seen[-1] == 10000 and seen.count(10000) > 5


def test_update_with_unvalidated_configuration():
    g = CompileGate()
    g.config.target_speedup = 0
    g.update("f", Store(compile_count=1, avg_speedup=1.5))     # 1.5 / 1.0 > 1: lowered
    assert g.get_threshold("f") == 91
    # NaN result keeps the current threshold
    g.config.learning_rate = float("nan")
    g.update("f", Store(compile_count=1, avg_speedup=1.5))
    assert g.get_threshold("f") == 91
    # infinities go through the clamp
    g.config.learning_rate = float("inf")
    g.update("f", Store(compile_count=1, avg_speedup=0.5))
    assert g.get_threshold("f") == 10000
    g.update("f", Store(compile_count=1, avg_speedup=5.0))
    assert g.get_threshold("f") == 10
    g.update("f", Store(compile_count=10, avg_speedup=5.0))   # 0 * inf is NaN: kept
    assert g.get_threshold("f") == 10
    # crossed bounds: below the minimum gives the minimum, anything else the maximum
    g.config.learning_rate = 0.1
    g.config.min_threshold, g.config.max_threshold = 500, 50
    g.update("f", Store(compile_count=1, avg_speedup=0.5))
    assert g.get_threshold("f") == 500
    g.update("f", Store(compile_count=1, avg_speedup=0.5))
    assert g.get_threshold("f") == 50
    g.config.min_threshold, g.config.max_threshold = -2**31, INT32_MAX
    g.config.learning_rate = 1e300
    g.update("f", Store(compile_count=1, avg_speedup=0.5))
    assert g.get_threshold("f") == INT32_MAX
    # an update whose result is zero still creates the entry
    z = CompileGate()
    z.config.min_threshold = z.config.initial_threshold = 0
    z.update("z", Store(compile_count=1, avg_speedup=3.0))
    assert z.get_statistics() == {"tracked_functions": 1, "avg_threshold": 0.0, "min_threshold": 0,
                                  "max_threshold": 0}


def test_update_matches_model_randomized():
    rng = random.Random(4242)
    edge_values = [0.0, -0.0, 1.0, 2.0, float("inf"), float("-inf"), float("nan"), 1e-300, -3.0]
    for _ in range(3000):
        cfg = PolicyConfig()
        vals = dict(min_threshold=rng.randint(-50, 2000), max_threshold=rng.randint(-50, 20000),
                    learning_rate=rng.choice(edge_values + [rng.uniform(-2, 2)] * 6),
                    target_speedup=rng.choice(edge_values + [rng.uniform(-1, 5)] * 6))
        for k, v in vals.items():
            setattr(cfg, k, v)
        g = CompileGate(cfg)
        cur = g.get_threshold("f")
        for _ in range(3):
            cc = rng.choice([1, 2, 5, 9, 10, 11, rng.randint(0, 2**32 - 1)])
            sp = rng.choice(edge_values + [rng.uniform(0, 6)] * 6)
            g.update("f", Store(compile_count=cc, avg_speedup=sp))
            if cc:
                cur = model_next_threshold(cur, cc, sp, vals)
            assert g.get_threshold("f") == cur, (vals, cc, sp)


def test_store_errors_propagate_and_leave_gate_usable(caplog):
    caplog.set_level(logging.DEBUG, logger="quarvel.jit.compile_gate")

    class Boom:
        def get_metrics(self, func_id):
            raise KeyError(func_id)

    g = CompileGate()
    g.update("f", Store(compile_count=1, avg_speedup=3.0))
    caplog.clear()
    for call in (g.should_compile, g.update):
        with pytest.raises(KeyError):
            call("f", Boom())
    bad_records = [
        (metrics_ns(compile_count=1), AttributeError),                     # no avg_speedup
        (metrics_ns(call_count=5, avg_speedup=1.0), AttributeError),       # no compile_count
        (metrics_ns(compile_count=-1, avg_speedup=1.0), OverflowError),
        (metrics_ns(compile_count=2**32, avg_speedup=1.0), OverflowError),
        (metrics_ns(compile_count=1, avg_speedup="fast"), TypeError),
        (metrics_ns(compile_count="1", avg_speedup=1.0), TypeError),
    ]
    for rec, exc in bad_records:
        with pytest.raises(exc):
            g.update("f", Store(rec))
    with pytest.raises(OverflowError, match="can't convert negative value to uint64_t"):
        g.should_compile("f", Store(metrics_ns(call_count=-1, compile_count=0, avg_speedup=1.0)))
    with pytest.raises(TypeError):
        g.should_compile("f", Store(metrics_ns(call_count=200, compile_count=1, avg_speedup=1.0,
                                               last_compiled="yesterday")))
    with pytest.raises(ZeroDivisionError):
        class BadAttr:
            call_count = 200
            compile_count = 1
            avg_speedup = 1.0

            @property
            def last_compiled(self):
                return 1 / 0
        g.should_compile("f", Store(BadAttr()))
    assert g.get_threshold("f") == 91
    assert g.get_statistics()["tracked_functions"] == 1
    assert not [r for r in caplog.records if r.name == "quarvel.jit.compile_gate"]
    # the lock was released on every path
    assert g.should_compile("f", Store(call_count=91)) is True
    g.update("f", Store(compile_count=1, avg_speedup=3.0))
    assert g.get_threshold("f") == 82


def test_get_threshold_honours_overridden_property():
    class Config(PolicyConfig):
        @property
        def initial_threshold(self):
            return 7

    g = CompileGate(Config())
    assert g.get_threshold("f") == 7
    # the hot paths read the native field (100)
    assert g.should_compile("f", Store(call_count=50)) is False
    g.update("f", Store(compile_count=1, avg_speedup=3.0))
    assert g.get_threshold("f") == 91


def test_reference_counts_are_exact():
    g = CompileGate()
    fid = "refcounted-" + str(random.random())
    m = FunctionMetrics(call_count=1000, compile_count=1, avg_speedup=3.0, last_compiled=0.0)
    ns = metrics_ns(call_count=1000, compile_count=1, avg_speedup=3.0, last_compiled=0.0)
    stores = (Store(m), Store(ns))
    g.update(fid, stores[0])
    before = [sys.getrefcount(x) for x in (fid, m, ns, g.config, None)]
    for _ in range(20000):
        for s in stores:
            g.should_compile(fid, s)
            g.update(fid, s)
        g.get_threshold(fid)
        g.get_statistics()
    after = [sys.getrefcount(x) for x in (fid, m, ns, g.config, None)]
    assert before[:4] == after[:4]
    assert abs(after[4] - before[4]) < 100


def test_no_memory_growth_over_many_calls():
    g = CompileGate()
    stores = [Store(call_count=500, compile_count=1, avg_speedup=3.0, last_compiled=1.0),
              Store(metrics_ns(call_count=500, compile_count=2, avg_speedup=0.5))]
    fids = [f"fn{i}" for i in range(50)]

    def burst(n):
        for i in range(n):
            s = stores[i & 1]
            fid = fids[i % 50]
            g.should_compile(fid, s)
            g.update(fid, s)
            g.get_threshold(fid)
            if i % 100 == 0:
                g.get_statistics()

    assert retained_memory(lambda: burst(100000), warmup=lambda: burst(20000), unit="blocks") < 200


# --- threads --------------------------------------------------------------------------------------

def test_concurrent_calls_on_one_gate():
    g = CompileGate()
    store = TelemetryStore()
    names = [f"fn{i}" for i in range(8)]
    errors = []
    barrier = threading.Barrier(4)

    def worker(k):
        try:
            barrier.wait()
            rng = random.Random(k)
            for i in range(3000):
                name = names[rng.randrange(len(names))]
                store.record_call(name)
                if g.should_compile(name, store):
                    store.record_compilation(name, speedup=rng.choice([0.5, 3.0]))
                    g.update(name, store)
                if i % 50 == 0:
                    g.get_statistics()
        except BaseException as exc:    # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not errors
    stats = g.get_statistics()
    assert stats["tracked_functions"] == len(names)
    assert 10 <= stats["min_threshold"] <= stats["max_threshold"] <= 10000


def test_reinitialising_a_gate_while_it_is_in_use():
    # A store that yields the interpreter lock while the gate's lock is held lets another thread
    # re-run __init__ in the middle of a call; every call must still finish on consistent state.
    import time as time_module

    class YieldingStore:
        def get_metrics(self, func_id):
            time_module.sleep(0)
            return FunctionMetrics(call_count=1000, compile_count=1, avg_speedup=3.0)

    g = CompileGate()
    stop = threading.Event()
    errors = []

    def user():
        try:
            store = YieldingStore()
            while not stop.is_set():
                g.should_compile("f", store)
                g.update("f", store)
                g.get_threshold("f")
                g.get_statistics()
        except BaseException as exc:    # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=user) for _ in range(3)]
    for t in threads:
        t.start()
    for i in range(300):
        g.__init__(PolicyConfig(initial_threshold=50 + i % 7))
        time_module.sleep(0)
    stop.set()
    for t in threads:
        t.join(timeout=30)
    assert not errors
    assert g.config.initial_threshold == 50 + 299 % 7
    g.__init__()
    assert g.get_statistics()["tracked_functions"] == 0


def test_concurrent_updates_are_not_lost():
    # Every update of one function moves it by a known amount; interleaved updates must compose.
    g = CompileGate(PolicyConfig(initial_threshold=10000, min_threshold=1, max_threshold=10000,
                                 learning_rate=1.0))
    # speedup 10, compile_count 9: new = 0.1 * (-1.0 * cur) + cur = 0.9 * cur, truncated
    store = Store(compile_count=9, avg_speedup=10.0)
    per_thread, nthreads = 10, 4
    barrier = threading.Barrier(nthreads)

    def worker():
        barrier.wait()
        for _ in range(per_thread):
            g.update("f", store)

    threads = [threading.Thread(target=worker) for _ in range(nthreads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    expected = 10000
    for _ in range(per_thread * nthreads):
        expected = model_next_threshold(expected, 9, 10.0, dict(
            min_threshold=1, max_threshold=10000, learning_rate=1.0, target_speedup=2.0))
    assert g.get_threshold("f") == expected


def test_process_wide_gate_created_once_under_contention():
    for _ in range(20):
        reset_compile_gate()
        barrier = threading.Barrier(6)
        results = []

        def worker():
            barrier.wait()
            results.append(get_compile_gate())

        threads = [threading.Thread(target=worker) for _ in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=30)
        assert len(results) == 6 and all(r is results[0] for r in results)
    g = get_compile_gate()
    assert type(g) is CompileGate and g is get_compile_gate()
    assert reset_compile_gate() is None
    g2 = get_compile_gate()
    assert g2 is not g and g2.get_statistics()["tracked_functions"] == 0
    # a holder of the old gate keeps a working object
    g.update("f", Store(compile_count=1, avg_speedup=3.0))
    assert g.get_threshold("f") == 91 and g2.get_threshold("f") == 100
    reset_compile_gate()


def test_process_wide_lock_is_looked_up_at_call_time(monkeypatch):
    events = []

    class RecordingLock:
        def __init__(self):
            self._lock = threading.Lock()

        def __enter__(self):
            self._lock.acquire()
            events.append("enter")
            return self

        def __exit__(self, *exc):
            events.append("exit")
            self._lock.release()
            return False

    monkeypatch.setattr(cg, "_policy_lock", RecordingLock())
    g = get_compile_gate()
    reset_compile_gate()
    assert get_compile_gate() is not g
    assert events == ["enter", "exit"] * 3
    monkeypatch.setattr(cg, "_policy_lock", object())
    with pytest.raises(TypeError):
        get_compile_gate()
    monkeypatch.undo()
    reset_compile_gate()


# --- re-entry, re-initialisation and contention -----------------------------------------------------

def bounded(fn, *args):
    """Runs fn(*args) on a daemon thread and returns its result or raises its exception; a call
    that never returns (a thread waiting for a lock it holds itself) fails the test instead of
    hanging the suite."""
    box = {}

    def run():
        try:
            box["result"] = fn(*args)
        except BaseException as exc:    # noqa: BLE001 - re-raised below
            box["error"] = exc

    t = threading.Thread(target=run, daemon=True)
    t.start()
    t.join(60)
    assert not t.is_alive(), "deadlocked"
    if "error" in box:
        raise box["error"]
    return box["result"]


def run_concurrently(*groups):
    """Runs each (function, thread count) group on that many threads, passing each its index in the
    group, until all have returned; re-raises the first error any of them raised. A group given
    as (function, count, "until others finish") is stopped through the Event it receives instead
    of an index once every other group is done."""
    errors, stop, waiting, endless = [], threading.Event(), [], []

    def guarded(fn, arg):
        try:
            fn(arg)
        except BaseException as exc:    # noqa: BLE001 - re-raised below
            errors.append(exc)

    for fn, count, *until in groups:
        for k in range(count):
            t = threading.Thread(target=guarded, args=(fn, stop if until else k), daemon=True)
            (endless if until else waiting).append(t)
    for t in waiting + endless:
        t.start()
    for t in waiting:
        t.join(120)
    stop.set()
    for t in endless:
        t.join(120)
    assert not any(t.is_alive() for t in waiting + endless), "deadlocked"
    if errors:
        raise errors[0]




@pytest.fixture(params=["threading.Lock", "Python-level lock"])
def contended(request, monkeypatch):
    """Gates made inside the test lock with threading.Lock or (a gate takes the module's
    `threading.Lock` when it is initialised) a SwitchingLock, and threads switch as often as the
    interpreter allows. Yields how many rounds a stress loop may run."""
    SwitchingLock.made = []
    python_level = request.param != "threading.Lock"
    if python_level:
        monkeypatch.setattr(cg, "threading", types.SimpleNamespace(Lock=SwitchingLock))
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield 150 if python_level else 400
    finally:
        sys.setswitchinterval(old)
    if python_level:
        assert any(lock.acquired for lock in SwitchingLock.made)
        assert all(lock.holder is None for lock in SwitchingLock.made)


class CallbackStore:
    """A store whose get_metrics first runs `callback(func_id)` (recording what it raised)."""

    def __init__(self, callback, **fields):
        self.callback = callback
        self.metrics = FunctionMetrics(**fields)
        self.raised = []

    def get_metrics(self, func_id):
        try:
            self.callback(func_id)
        except RuntimeError as exc:
            self.raised.append(str(exc))
        return self.metrics


def test_store_calling_back_into_the_same_gate_is_refused():
    g = CompileGate()
    g.update("f", Store(compile_count=1, avg_speedup=3.0))
    other = CompileGate()
    inner_calls = {
        "get_threshold": lambda fid: g.get_threshold(fid),
        "should_compile": lambda fid: g.should_compile(fid, Store(call_count=1)),
        "update": lambda fid: g.update(fid, Store(compile_count=1, avg_speedup=0.5)),
        "get_statistics": lambda fid: g.get_statistics(),
    }
    for outer in ("should_compile", "update"):
        for name, inner in inner_calls.items():
            store = CallbackStore(inner, call_count=500, compile_count=1, avg_speedup=3.0)
            before = (g.get_threshold("f"), g.get_statistics())
            bounded(getattr(g, outer), "f", store)
            assert store.raised == [f"re-entrant call to CompileGate.{name}: this thread is already "
                                    f"inside a locked section of the same object"], (outer, name)
            if outer == "should_compile":
                assert (g.get_threshold("f"), g.get_statistics()) == before
    # the four outer updates went through; the re-entrant ones changed nothing
    assert g.get_threshold("f") == 60
    # another gate is a different object: calling it from the store is fine
    store = CallbackStore(lambda fid: other.update(fid, Store(compile_count=1, avg_speedup=3.0)),
                          compile_count=1, avg_speedup=3.0)
    bounded(g.update, "f", store)
    assert store.raised == [] and other.get_threshold("f") == 91 and g.get_threshold("f") == 54


def test_configuration_property_calling_back_into_the_gate_is_refused():
    class Config(PolicyConfig):
        @property
        def initial_threshold(self):
            gate.get_threshold("x")
            return 7

    gate = CompileGate(Config())
    with pytest.raises(RuntimeError, match="re-entrant call to CompileGate.get_threshold"):
        bounded(gate.get_threshold, "f")
    with pytest.raises(RuntimeError, match="re-entrant call to CompileGate.get_threshold"):
        bounded(gate.get_statistics)
    gate.update("f", Store(compile_count=1, avg_speedup=3.0))     # the hot paths read the field
    assert gate.get_threshold("f") == 91


def test_other_threads_wait_for_a_store_running_under_the_lock():
    g = CompileGate()
    inside, go = threading.Event(), threading.Event()

    def slow(func_id):
        inside.set()
        go.wait(60)

    store = CallbackStore(slow, compile_count=1, avg_speedup=3.0)
    updater = threading.Thread(target=g.update, args=("f", store))
    updater.start()
    inside.wait(60)
    seen = []
    reader = threading.Thread(target=lambda: seen.append(g.get_threshold("f")))
    reader.start()
    time.sleep(0.05)       # let the reader reach the lock; the outcome does not depend on it
    go.set()
    updater.join(60)
    reader.join(60)
    assert seen == [91] and store.raised == []


def test_reentry_is_detected_on_the_lock_of_a_reinitialised_gate():
    # Thread A is inside the gate's locked section when the gate is re-initialised; thread B then
    # enters the new section and its store calls back into the gate after A has left the old
    # section. B must be refused, not left waiting for itself.
    g = CompileGate()
    a_inside, a_go, b_inside, b_go = (threading.Event() for _ in range(4))

    def hold_a(func_id):
        a_inside.set()
        a_go.wait(60)

    def hold_b(func_id):
        b_inside.set()
        b_go.wait(60)
        g.get_threshold(func_id)

    store_a = CallbackStore(hold_a, compile_count=1, avg_speedup=3.0)
    store_b = CallbackStore(hold_b, compile_count=1, avg_speedup=3.0)
    a = threading.Thread(target=g.update, args=("f", store_a), daemon=True)
    a.start()
    a_inside.wait(60)
    g.__init__()
    b = threading.Thread(target=g.update, args=("f", store_b), daemon=True)
    b.start()
    b_inside.wait(60)
    a_go.set()
    a.join(60)
    b_go.set()
    b.join(60)
    assert not a.is_alive() and not b.is_alive(), "deadlocked"
    assert store_b.raised and "CompileGate.get_threshold" in store_b.raised[0]
    assert g.get_threshold("f") == 91        # A stored into the state __init__ replaced


def test_failed_reinitialisation_leaves_the_gate_as_it_was(monkeypatch):
    c = PolicyConfig(initial_threshold=40)
    g = CompileGate(c)
    g.update("f", Store(compile_count=1, avg_speedup=3.0))

    class Bad:
        min_threshold = 0

    with pytest.raises(ValueError):
        g.__init__(Bad())

    def no_lock():
        raise OSError("no locks left")

    monkeypatch.setattr(cg, "threading", types.SimpleNamespace(Lock=no_lock))
    with pytest.raises(OSError):
        g.__init__()
    with pytest.raises(OSError):
        CompileGate()
    assert g.config is c and g.get_threshold("f") == 36
    monkeypatch.undo()
    g.__init__()
    assert g.get_threshold("f") == 100


def test_gate_being_made_is_not_among_the_collected_objects(monkeypatch):
    # A substituted lock factory runs Python code while a gate is made: the collector must not
    # hand out the unfinished gate (it has no state yet).
    import gc
    seen = []

    def peeking_lock():
        seen.extend(o.config for o in gc.get_objects() if isinstance(o, CompileGate))
        return _real_lock()

    monkeypatch.setattr(cg, "threading", types.SimpleNamespace(Lock=peeking_lock))
    g = CompileGate()
    assert None not in seen
    assert g.get_threshold("f") == 100 and g in gc.get_objects()


def test_process_wide_gate_refuses_reentry_from_inside_its_lock(monkeypatch):
    # Creating the gate runs the module's threading.Lock: a factory that reaches the process-wide
    # functions again is refused, and the slot is left empty.
    reset_compile_gate()
    raised = []

    def reentrant_lock_factory():
        for fn in (get_compile_gate, reset_compile_gate):
            try:
                fn()
            except RuntimeError as exc:
                raised.append(str(exc))
        return _real_lock()

    monkeypatch.setattr(cg, "threading", types.SimpleNamespace(Lock=reentrant_lock_factory))
    g = bounded(get_compile_gate)
    assert raised == [f"re-entrant call to {name}: this thread is already inside a locked section "
                      f"of the same object" for name in ("get_compile_gate", "reset_compile_gate")]
    assert g is get_compile_gate()
    monkeypatch.undo()

    # A rebound lock whose own methods call back in.
    class CallingLock:
        def __init__(self):
            self.lock = _real_lock()

        def __enter__(self):
            self.lock.acquire()
            try:
                get_compile_gate()
            except RuntimeError as exc:
                raised.append(exc)

        def __exit__(self, *exc):
            self.lock.release()
            reset_compile_gate()

    monkeypatch.setattr(cg, "_policy_lock", CallingLock())
    raised.clear()
    with pytest.raises(RuntimeError, match="re-entrant call to reset_compile_gate"):
        bounded(get_compile_gate)
    assert len(raised) == 1
    monkeypatch.undo()
    assert get_compile_gate() is g       # nothing was reset
    reset_compile_gate()


def test_finalizer_run_while_the_process_wide_gate_is_created():
    # On 3.11 a collection runs inside the allocation of the new gate, under _policy_lock; its
    # finalizers may call get_compile_gate. On later versions they run after the call.
    import gc
    reset_compile_gate()
    seen = []

    class Cycle:
        def __init__(self):
            self.me = self

        def __del__(self):
            try:
                seen.append(get_compile_gate())
            except RuntimeError as exc:
                seen.append(exc)

    def create():
        gc.collect()
        old = gc.get_threshold()
        try:
            for _ in range(3):
                Cycle()
            gc.set_threshold(gc.get_count()[0] + 1)
            return get_compile_gate()
        finally:
            gc.set_threshold(*old)

    g = bounded(create)
    gc.collect()
    assert len(seen) == 3 and g is get_compile_gate()
    assert all(s is g or (isinstance(s, RuntimeError) and "get_compile_gate" in str(s)) for s in seen)
    reset_compile_gate()


def test_reinitialising_while_every_method_runs(contended):
    # __init__ re-runs from two threads while others call every method; each call must finish on
    # one consistent state: a threshold is an initial one of some configuration or a learned one.
    rounds = contended
    g = CompileGate()
    configs = [PolicyConfig(initial_threshold=50 + i) for i in range(7)]
    possible = set()                  # every threshold on a walk down from an initial one
    for start in [c.initial_threshold for c in configs] + [100]:
        while start not in possible:
            possible.add(start)
            start = model_next_threshold(start, 1, 3.0, dict(min_threshold=10, max_threshold=10000,
                                                             learning_rate=0.1, target_speedup=2.0))
    def user(stop):
        store = Store(call_count=1000, compile_count=1, avg_speedup=3.0)
        fid = f"f{threading.get_ident() % 2}"
        while not stop.is_set():
            assert g.get_threshold(fid) in possible
            assert g.should_compile(fid, store) is True
            g.update(fid, store)
            assert g.get_statistics()["tracked_functions"] in (0, 1, 2)

    def reinit(k):
        for i in range(rounds // 4):
            g.__init__(configs[(i + k) % 7])

    run_concurrently((reinit, 2), (user, 3, "until others finish"))
    assert g.config in configs
    assert g.get_statistics()["tracked_functions"] <= 2


def test_stress_decisions_and_updates_stay_consistent(contended):
    # The store's get_metrics runs under the gate's lock, so it can keep its own model of every
    # threshold in step with the gate: each update moves the model exactly as the gate moves its
    # threshold, and each decision is made on metrics placed right at the modelled threshold.
    rounds = contended
    g = CompileGate()
    model = {}
    calls = {"should": 0, "update": 0}
    local = threading.local()
    rng_lock = _real_lock()
    rng = random.Random(77)
    cfg = dict(min_threshold=10, max_threshold=10000, learning_rate=0.1, target_speedup=2.0)

    class ModelStore:
        def __init__(self, updating):
            self.updating = updating

        def get_metrics(self, func_id):
            time.sleep(0)
            current = model.get(func_id, 100)
            with rng_lock:
                count, speedup, below = rng.choice([1, 3, 9, 12]), rng.choice([0.5, 3.0]), rng.random() < 0.5
            if self.updating:
                calls["update"] += 1
                model[func_id] = model_next_threshold(current, count, speedup, cfg)
                return FunctionMetrics(compile_count=count, avg_speedup=speedup)
            calls["should"] += 1
            local.expected = not below
            return FunctionMetrics(call_count=current - 1 if below else current)

    def worker(k):
        decide, update = ModelStore(False), ModelStore(True)
        for i in range(rounds):
            fid = "shared" if i % 2 else f"own{k}"
            assert g.should_compile(fid, decide) is local.expected
            g.update(fid, update)

    run_concurrently((worker, 4))
    assert calls == {"should": 4 * rounds, "update": 4 * rounds}
    assert {fid: g.get_threshold(fid) for fid in model} == model
    stats = g.get_statistics()
    assert stats["tracked_functions"] == 5
    assert (stats["min_threshold"], stats["max_threshold"]) == (min(model.values()), max(model.values()))


def test_failed_first_import_can_be_retried(python_subprocess):
    out = python_subprocess("""
        import logging
        real = logging.getLogger

        def refusing(name=None):
            if name == "quarvel.jit.compile_gate":
                raise LookupError("no logger today")
            return real(name)

        logging.getLogger = refusing
        try:
            import quarvel.jit.compile_gate
        except LookupError as exc:
            print("first:", exc)
        logging.getLogger = real
        from quarvel.jit import compile_gate as cg
        g = cg.get_compile_gate()
        print(g.get_threshold("f"), g.get_statistics()["tracked_functions"],
              cg.create_policy_config().initial_threshold, cg.FunctionMetrics(last_compiled=2.0).last_compile_time)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["first: no logger today", "100 0 100 2.0"]
