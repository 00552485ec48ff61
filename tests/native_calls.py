"""Every public callable of the nine modules, called with valid and with failing arguments.

Shared by the allocation-failure sweep (test_alloc_failure.py, tools/alloc_sweep.py) and the
reference-leak check (tools/refleak.py). For each module:

- `setup`: statements run once in a fresh interpreter, binding the objects the calls use;
- `calls`: expressions with valid arguments. Each leaves the objects as it found them (a call
  that adds something also takes it out again), so that repeating it grows nothing;
- `bad`: expressions that raise (wrong types, out-of-range values, refused operations).

`uncovered(module, ns)` names the public callables no expression mentions, so that a callable
added later without a case here fails the sweep's coverage test.
"""

import re

MODULES = {
    "quarvel.memory.sync_kernel": dict(
        setup="""
from quarvel.memory.sync_kernel import *
from quarvel.memory import sync_kernel as m
c = AtomicCounter(5)
p = AtomicPointer("x")
s = LockFreeStack()
st = LockFreeStatistics()
t = PerformanceTimer()
w = AtomicCounterWrapper(3)
class SubStats(LockFreeStatistics): pass
class SubTimer(PerformanceTimer): pass
class SubWrapper(AtomicCounterWrapper): pass
sst = SubStats()
stm = SubTimer()
sw = SubWrapper(2)
st2 = LockFreeStatistics()
st2.total_allocations = m.AtomicCounterWrapper(0)
big = 2**40
""",
        calls=[
            "AtomicCounter(7)", "c.load()", "c.store(5)", "(c.increment(), c.decrement())",
            "(c.increment(big), c.decrement(big))", "c.compare_and_swap(5, 5)", "(c.fetch_and_add(2), c.store(5))",
            "c.py_load()", "c.py_store(5)", "(c.py_increment(), c.py_decrement())",
            "c.py_compare_and_swap(5, 5)", "(c.py_fetch_and_add(1), c.py_store(5))",
            "AtomicPointer([1])", "p.load()", "p.store('x')", "p.compare_and_swap('x', 'x')", "p.get_version()",
            "LockFreeStack()", "(s.push(1), s.pop())", "s.pop()", "s.is_empty()", "s.size()",
            "LockFreeStatistics()",
            "(st.record_allocation(64, True, 8, 100), st.record_deallocation(64, 50))",
            "(st.py_record_allocation(64, False), st.py_record_deallocation(64))",
            "st._update_peaks(3, 100)", "st.get_snapshot()", "st.reset()",
            "(st.total_allocations, st.total_deallocations, st.current_allocations, st.bytes_allocated,"
            " st.bytes_reserved, st.peak_allocations, st.peak_bytes_allocated, st.bucketed_allocations,"
            " st.fallback_allocations, st.alignment_padding_bytes, st.total_allocation_time_ns,"
            " st.total_deallocation_time_ns)",
            "(sst.record_allocation(64), sst.record_deallocation(64))", "sst.get_snapshot()", "sst.reset()",
            "(st2.record_allocation(8), st2.record_deallocation(8))", "st2.get_snapshot()",
            "PerformanceTimer()", "t.start()", "t.elapsed_ns()", "t.elapsed_us()", "t.elapsed_ms()",
            "stm.start()", "stm.elapsed_us()", "stm.elapsed_ms()",
            "AtomicCounterWrapper(1)", "w.load()", "w.store(3)", "(w.increment(), w.decrement())",
            "w.compare_and_swap(3, 3)", "(w.fetch_and_add(1), w.store(3))",
            "sw.load()", "(sw.increment(2), sw.decrement(2))",
        ],
        bad=[
            "AtomicCounter('x')", "c.store(2**64)", "c.increment(None)", "c.compare_and_swap(1.5j, 1)",
            "c.py_fetch_and_add('a')", "p.store()", "s.push()", "st.record_allocation('a')",
            "st._update_peaks(None, 1)", "w.store('x')", "w.increment(2**70)", "t.elapsed_ns(1)",
            "c.__reduce__()",
        ],
    ),
    "quarvel.memory.block_index": dict(
        setup="""
from quarvel.memory.block_index import *
from quarvel.memory.memory_block import MemoryBlock
tree = FastRedBlackTree(1)
blocks = [MemoryBlock(i, 64 * (i % 5 + 1)) for i in range(20)]
for b in blocks: tree.insert(b.size, b)
b1 = MemoryBlock(999, 4096)
""",
        calls=[
            "FastRedBlackTree(10)", "FastRedBlackTree._sanitize_size(64)", "(tree.insert(4096, b1), tree.delete(4096, b1))",
            "tree.size()", "tree.find_best_fit(100)", "tree.find_best_fit(100, 64)", "tree.find_all_exact(128)",
            "(tree.insert(4096, b1), tree.remove_ge(4096))", "tree.get_size_distribution()", "tree.get_stats()",
            "tree.get_statistics()", "tree.reset_circuit_breaker()", "FastRedBlackTree(5).clear()",
            "repr(tree)", "bool(tree)", "len(tree)",
        ],
        bad=[
            "FastRedBlackTree(-1)", "FastRedBlackTree._sanitize_size(-5)", "tree.insert(-1, b1)",
            "tree.insert('a', b1)", "tree.delete(2**64, b1)", "tree.find_best_fit(None)",
            "tree.find_all_exact('x')", "tree.remove_ge([])", "tree.__reduce__()",
        ],
    ),
    "quarvel.memory.bucket_pool": dict(
        setup="""
from quarvel.memory.bucket_pool import *
h = FastSlabHeaderOps(1, 64)
packed = h.pack_header()
a = FastBucketAllocator()
sc = FastStatsCollector()
""",
        calls=[
            "FastSlabHeaderOps(2, 32)", "h.pack_header()", "h.unpack_header(packed)", "h.py_is_object_free(3)",
            "h.py_find_free_object()", "(h.py_allocate_object_at(5), h.py_deallocate_object_at(5))",
            "FastBucketAllocator(16, 128, 1024)", "a._init_buckets()",
            "(a.add_to_bucket(0, 64), a.remove_from_bucket(64))", "a.find_best_fit_bucket(40, 8)",
            "FastStatsCollector()", "(sc.py_record_allocation(64, 8, True), sc.py_record_deallocation())",
            "sc.get_stats()", "sc.reset_stats()",
            "fast_align_size(13, 8)", "fast_get_bucket_size(100)", "fast_get_bucket_size(100, 16)",
            "fast_bitmap_operations(5, 1, 'set')", "fast_bitmap_operations(5, 0, 'find_first')",
            "fast_can_fit_aligned(3, 100, 40, 16)",
        ],
        bad=[
            "FastSlabHeaderOps('a', 1)", "h.unpack_header(b'short')", "h.unpack_header(None)",
            "h.py_is_object_free('a')", "a.add_to_bucket('x', 1)", "a.find_best_fit_bucket(1, 2**70)",
            "sc.py_record_allocation(None, 1, True)", "fast_align_size(1, 3)", "fast_get_bucket_size('x')",
            "fast_bitmap_operations(1, 1, 'bogus')", "fast_can_fit_aligned(1, 2, 3, 2**40)", "h.__reduce__()",
        ],
    ),
    "quarvel.jit.compile_gate": dict(
        setup="""
from quarvel.jit.compile_gate import *
from quarvel.jit import compile_gate as m
cfg = PolicyConfig()
fm = FunctionMetrics(call_count=500, compile_count=1, avg_speedup=3.0)
class Store:
    def get_metrics(self, func_id):
        return fm
store = Store()
gate = CompileGate(cfg)
gate.should_compile("f", store)
g = get_compile_gate()
""",
        calls=[
            "PolicyConfig(50, 5, 500, 0.2, 1.5)", "(cfg.initial_threshold, cfg.min_threshold, cfg.max_threshold,"
            " cfg.learning_rate, cfg.target_speedup)",
            "setattr(cfg, 'initial_threshold', 100)", "setattr(cfg, 'learning_rate', 0.1)",
            "FunctionMetrics(call_count=3)", "(fm.call_count, fm.compile_count, fm.avg_speedup,"
            " fm.total_execution_time_ms, fm.last_compiled, fm.last_compile_time)",
            "setattr(fm, 'avg_speedup', 3.0)", "setattr(fm, 'call_count', 500)",
            "CompileGate()", "CompileGate(cfg)", "gate.config", "gate.should_compile('f', store)",
            "gate.get_threshold('f')", "gate.get_threshold('unseen')", "gate.update('f', store)",
            "gate.get_statistics()",
            "get_compile_gate()", "(reset_compile_gate(), get_compile_gate())",
            "create_function_metrics(1, 2, 1.5, 3.0, 4.0)", "create_policy_config(10, 1, 100, 0.5, 2.0)",
            "m._policy_lock.acquire(False) and m._policy_lock.release()",
        ],
        bad=[
            "PolicyConfig('a')", "setattr(cfg, 'max_threshold', 2**70)", "delattr(cfg, 'min_threshold')",
            "FunctionMetrics(avg_speedup='x')", "cfg.__setstate__({})", "fm.__setstate__({})",
            "gate.__setstate__({})", "gate.should_compile('f', None)", "gate.update('f', 5)",
            "create_function_metrics('x')", "create_policy_config(None)", "gate.__reduce__()",
        ],
    ),
    "quarvel.native.hardware_probe": dict(
        setup="""
from quarvel.native.hardware_probe import *
# What the calls import, imported beforehand: the import system itself can hang in its module
# locks when an allocation fails inside them (plain `import` statements do the same).
import subprocess, quarvel.gpu.backend_registry
# Where there is no _xxsubinterpreters (3.13 on), each detect_python_version() runs a whole failing
# import, and CPython 3.13.0's import system crashes when an allocation fails in there: the same
# ImportError, without the import system.
import importlib.util, sys
if sys.version_info >= (3, 12) and importlib.util.find_spec("_xxsubinterpreters") is None:
    sys.modules["_xxsubinterpreters"] = None
""",
        calls=[
            "detect_physical_cores()", "detect_numa_nodes()", "detect_gpu_backends()", "detect_python_version()",
            "detect_capabilities()",
        ],
        bad=[
            "detect_physical_cores(1)", "detect_numa_nodes(x=1)", "detect_gpu_backends(None)",
            "detect_python_version(1, 2)", "detect_capabilities(1)",
        ],
    ),
    "quarvel.plugins.analyzer.task_profiler": dict(
        setup="""
from quarvel.plugins.analyzer.task_profiler import *
code = "import numpy as np\\nfor i in range(10):\\n    x = np.dot(a, b)\\n    df.groupby('k')\\n"
""",
        calls=[
            "quick_framework_score(code, 'numpy')", "calculate_gpu_suitability(0.5, 0.5, 0.3, True, '8.0')",
            "estimate_gpu_speedup(0.6, 0.7, True)", "calculate_parallelization_potential(0.5, 0.2, 0.1, 0.3)",
            "score_indicators(code, 'compute')", "normalize_scores(3, 2, 1, 4, 5)", "score_framework_patterns(code)",
            "determine_workload_pattern(0.5, 0.4, 0.3, 0.2, 0.1, 0.6, 0.1, 0.0, 1, 2, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, True)",
            "update_adaptive_threshold(0.5, 0.8, 0.1, 0.1, 0.9)",
        ],
        bad=[
            "quick_framework_score(1, 'numpy')", "calculate_gpu_suitability('a', 0.5, 0.3, True, '8.0')",
            "estimate_gpu_speedup(0.6)", "score_indicators(code, 5)", "normalize_scores('a', 2, 1, 4, 5)",
            "normalize_scores(2**40, 2, 1, 4, 5)", "score_framework_patterns(b'x')",
            "update_adaptive_threshold(None, 0.8, 0.1, 0.1, 0.9)",
        ],
    ),
    "quarvel.plugins.analyzer.pool_planner": dict(
        setup="""
from quarvel.plugins.analyzer.pool_planner import *
perf = [(float(t), 80.0 + t) for t in range(10)]
prof = [{"parallelization_potential": 0.5, "cpu_intensity": 0.4 + i / 10, "memory_intensity": 0.5} for i in range(6)]
pats = ["cpu", "io", "cpu", "cpu", "gpu", "cpu"]
allocs = [(i * 1.0, 1000.0 + i) for i in range(12)]
""",
        calls=[
            "detect_performance_degradation(perf, 100.0, 0.15, 0.0)", "calculate_performance_trend(perf, 0.0)",
            "detect_workload_characteristics_change(prof)", "detect_workload_characteristics_change(prof, 0.1)",
            "detect_dominant_pattern(pats)", "detect_dominant_pattern(pats, 3)",
            "is_adaptation_beneficial('thread', 'process', 0.9, 0.8, 0.5, 1)",
            "should_skip_adaptation(1.0, 100.0, 30.0)", "detect_memory_pressure(0.7, 0.9)",
            "detect_fragmentation_threshold(0.4)", "calculate_adaptation_urgency(0.2, 0.5, 0.1, True)",
            "score_pool_recommendation(0.5, 0.6, 0.7, 0.8)", "predict_resource_requirements(allocs, 10.0)",
        ],
        bad=[
            "detect_performance_degradation((1,), 1.0, 0.1, 0.0)", "calculate_performance_trend([(1,)] * 6, 0.0)",
            "detect_workload_characteristics_change([1] * 6)", "detect_dominant_pattern(('a',))",
            "detect_dominant_pattern(['a'], 2**31)", "is_adaptation_beneficial(1, 'p', 0.9, 0.8, 0.5, 1)",
            "should_skip_adaptation('a', 1.0, 1.0)", "predict_resource_requirements([('a', 'b')] * 12, 1.0)",
        ],
    ),
    "quarvel.monitoring.counter_fold": dict(
        setup="""
from quarvel.monitoring.counter_fold import *
agg = CounterAggregator(4)
agg.update(1, 2.5)
class SubAgg(CounterAggregator):
    def get_stats(self, counter_id):
        return super().get_stats(counter_id)
sub = SubAgg(3)
""",
        calls=[
            "CounterAggregator(8)", "agg.update(1, 3.5)", "agg.get_stats(1)", "agg.reset(2)", "agg.reset_all()",
            "agg.get_all_stats()", "create_aggregator(5)", "sub.update(0, 1.0)", "sub.get_all_stats()",
        ],
        bad=[
            "CounterAggregator(-1)", "CounterAggregator('x')", "agg.update(9, 1.0)", "agg.update(0, 'x')",
            "agg.get_stats(-1)", "agg.reset(None)", "create_aggregator(2**40)", "agg.__reduce__()",
        ],
    ),
    "quarvel.gpu.device_fit": dict(
        setup="""
from quarvel.gpu.device_fit import *
""",
        calls=[
            "estimate_allocation_bytes((100, 200), 8)", "estimate_allocation_bytes((10,), 4, 1.5)",
            "calculate_safe_limit(10**9, 0.2)", "decide_allocation_strategy(10**8, 10**9, 0.2, True)",
            "compute_chunk_shapes((10, 4), 4, 40)", "calculate_optimal_chunks(10**9, 10**8, 0.1)",
            "calculate_optimal_chunks(10**9, 10**8, 0.1, 2, 50)", "is_oom_error('CUDA out of memory', 'RuntimeError')",
            "is_chunkable_operation('matmul')", "score_gpu_suitability(10**7, 'matmul', 10**9, 0.2)",
            "calculate_memory_pressure(3 * 10**8, 10**9)", "recommend_headroom(0.6)", "recommend_headroom(0.6, 0.3)",
        ],
        bad=[
            "estimate_allocation_bytes(None, 4)", "estimate_allocation_bytes((4, 4), -1)", "calculate_safe_limit('a', 0.2)",
            "decide_allocation_strategy(1, 2, 0.1)", "compute_chunk_shapes((10,), 0, 40)", "is_oom_error(None, 'x')",
            "is_chunkable_operation(5)", "calculate_memory_pressure(2**70, 1)",
        ],
    ),
}

# Class attributes that are not callables of the module's own (inherited plumbing).
_SKIP = {"__init__", "__new__", "__reduce__", "__dict__", "__weakref__", "__doc__", "__module__", "__setstate__",
         "__native_ops__"}


def public_callables(module):
    """(qualified name, attribute name) of every public function, class, method and property of
    `module`; underscore names count when they are callable (`_sanitize_size`, `_policy_lock`)."""
    out = []
    for name, value in vars(module).items():
        if name.startswith("__"):
            continue
        if isinstance(value, type) and value.__module__ == module.__name__:
            out.append((name, name))
            for attr, member in vars(value).items():
                if attr in _SKIP:
                    continue
                out.append((f"{name}.{attr}", attr))
        elif callable(value) and getattr(value, "__module__", None) == module.__name__:
            out.append((name, name))
        elif name == "_policy_lock":
            out.append((name, name))
    return out


def uncovered(module):
    """Public callables of `module` that no expression of its entry mentions."""
    text = "\n".join(MODULES[module.__name__]["calls"] + MODULES[module.__name__]["bad"])
    return [q for q, attr in public_callables(module)
            if not re.search(r"\b%s\b" % re.escape(attr.strip("_") if attr.startswith("__") else attr), text)]
