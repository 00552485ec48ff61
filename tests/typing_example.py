"""A short program using every module, checked with `mypy --strict` and also run (tests/test_stubs.py).

assert_type pins what the stubs promise: a stub that loosened a result to Any or dict, or lost a
TypedDict key, fails the type check here.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, assert_type

from quarvel.gpu import device_fit
from quarvel.jit.compile_gate import CompileGate, create_function_metrics, get_compile_gate, reset_compile_gate
from quarvel.jit.telemetry_store import TelemetryStore
from quarvel.memory.block_index import MAX_RETRIES, FastRedBlackTree
from quarvel.memory.bucket_pool import FastSlabHeaderOps, FastStatsCollector, fast_bitmap_operations
from quarvel.memory.memory_block import MemoryBlock
from quarvel.memory.sync_kernel import AtomicCounter, AtomicPointer, LockFreeStatistics, PerformanceTimer
from quarvel.monitoring.counter_fold import CounterAggregator
from quarvel.native.hardware_probe import detect_capabilities, detect_python_version
from quarvel.plugins.analyzer import pool_planner, task_profiler

if TYPE_CHECKING:
    from quarvel.memory.block_index import TreeStats
    from quarvel.monitoring.counter_fold import CounterStats


def largest_mean(stats: list[tuple[int, CounterStats]]) -> float:
    return max((s["mean"] for _, s in stats), default=0.0)


def main() -> None:
    counter = AtomicCounter(5)
    assert_type(counter.increment(), int)
    assert_type(counter.py_compare_and_swap(6, 0), bool)

    stats = LockFreeStatistics()
    stats.record_allocation(64, padding=8)
    snapshot = stats.get_snapshot()
    assert_type(snapshot["bucketed_allocation_ratio"], str)
    assert_type(snapshot["average_allocation_time_ns"], float)
    timer = PerformanceTimer()
    timer.start()
    assert_type(timer.elapsed_us(), float)
    slot = AtomicPointer()
    slot.store("x")
    assert_type(slot.get_version(), int)

    tree = FastRedBlackTree(sample_rate=MAX_RETRIES)
    tree.insert(64, MemoryBlock(0, 64))
    block = tree.find_best_fit(33)
    assert block is not None and block.size == 64
    removed = tree.remove_ge(1)
    if removed[0] is not None:
        assert_type(removed[1], MemoryBlock)
    tree_stats: TreeStats = tree.get_stats()
    assert tree_stats["node_count"] == 0 and "circuit_breaker_trips" not in tree_stats

    header = FastSlabHeaderOps(3, 8)
    assert_type(header.pack_header(), bytes)
    assert_type(fast_bitmap_operations(10, 1, "is_set"), bool)
    assert_type(fast_bitmap_operations(0, 3, "set"), int)
    assert_type(FastStatsCollector().get_stats()["total_allocations"], int)

    store = TelemetryStore()
    store.record_call("f")
    gate = CompileGate()
    assert_type(gate.should_compile("f", store), bool)
    assert_type(gate.get_statistics()["avg_threshold"], float)
    assert_type(get_compile_gate().config.learning_rate, float)
    reset_compile_gate()
    assert create_function_metrics(call_count=3).call_count == 3

    caps = detect_capabilities()
    if caps["detector"] == "native_fallback":
        assert_type(caps["error"], str)
    version, subinterpreters = detect_python_version()
    assert_type(subinterpreters, bool)

    numpy_score, pandas_score, sklearn_score = task_profiler.score_framework_patterns("np.dot(a, b)")
    assert_type(numpy_score, float)
    assert_type(task_profiler.score_indicators("for x in xs: pass", "loop")[6], int)

    changed, *_ = pool_planner.detect_workload_characteristics_change([])
    assert_type(changed, bool)
    assert_type(pool_planner.detect_dominant_pattern(["cpu", None, "cpu"]), str | None)
    assert_type(pool_planner.predict_resource_requirements([(0.0, 64.0)], 1.0), tuple[int, int, float])

    aggregator = CounterAggregator(4)
    aggregator.update(1, 2.5)
    assert largest_mean(aggregator.get_all_stats()) == 2.5

    strategy, chunk_size, chunk_count, message = device_fit.decide_allocation_strategy(10**9, 2**30, 0.2, True)
    assert_type(message, str)
    assert_type(device_fit.compute_chunk_shapes((10, 4), 4, 40), list[tuple[int, ...]])


if __name__ == "__main__":
    main()
