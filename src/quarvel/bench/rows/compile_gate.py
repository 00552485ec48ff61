"""Benchmark rows for quarvel.jit.compile_gate.

The pure-Python equivalent is the natural one: slotted record classes and a gate class doing the
same work under a threading.Lock, logging its update line through the module's logger. Both gates
are handed a store whose get_metrics returns a ready record, so the store's cost is in both
figures.
"""

from __future__ import annotations

import time


def register(suite):
    from quarvel.bench._floor import Floor
    from quarvel.bench.models.compile_gate import PyCompileGate, PyFunctionMetrics, PyPolicyConfig, ReadyStore
    from quarvel.jit.compile_gate import CompileGate, FunctionMetrics, PolicyConfig

    gate, py = CompileGate(), PyCompileGate()
    now = time.time()
    # Learned thresholds for "hot"; "cold" has none and falls back to the configuration.
    hot = FunctionMetrics(call_count=5000, compile_count=3, avg_speedup=3.0, last_compiled=now - 10)
    py_hot = PyFunctionMetrics(5000, 3, 3.0, 0.0, now - 10)
    store, py_store = ReadyStore(hot), ReadyStore(py_hot)
    gate.update("hot", store)
    py.update("hot", py_store)
    ns = {"g": gate, "p": py, "s": store, "ps": py_store, "f": Floor(value=100),
          "PolicyConfig": PolicyConfig, "PyPolicyConfig": PyPolicyConfig}

    suite.row("compile_gate", "CompileGate.get_threshold(learned)", "g.get_threshold('hot')",
              python="p.get_threshold('hot')", floor="f.locked_int1('hot')", floor_label="locked floor",
              ns=ns, goal="<=1.5x locked floor, >=2x python")
    suite.row("compile_gate", "CompileGate.get_threshold(initial)", "g.get_threshold('cold')",
              python="p.get_threshold('cold')", floor="f.locked_int1('cold')", floor_label="locked floor",
              ns=ns, goal="<=1.5x locked floor, >=2x python")
    suite.row("compile_gate", "CompileGate.should_compile()", "g.should_compile('hot', s)",
              python="p.should_compile('hot', ps)", floor="f.locked_bool2('hot', s)",
              floor_label="locked floor", ns=ns, goal=">=3x python (store included)")
    suite.row("compile_gate", "CompileGate.update()", "g.update('hot', s)",
              python="p.update('hot', ps)", floor="f.locked_none2('hot', s)", floor_label="locked floor",
              ns=ns, goal=">=3x python (store included)")
    suite.row("compile_gate", "PolicyConfig()", "PolicyConfig()", python="PyPolicyConfig()", ns=ns,
              goal=">1x python")
    suite.row("compile_gate", "PolicyConfig(200, 20, 2000, 0.2, 1.5)", "PolicyConfig(200, 20, 2000, 0.2, 1.5)",
              python="PyPolicyConfig(200, 20, 2000, 0.2, 1.5)", ns=ns, goal=">1x python")
