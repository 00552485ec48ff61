"""Benchmark rows for quarvel.monitoring.counter_fold.

The pure-Python equivalent is the natural one: a list of small records guarded by one
threading.Lock, folding and summarising exactly as the native aggregator does.
"""

from __future__ import annotations

import threading

INF = float("inf")


class PyCounterAggregator:
    """Running count, mean, variance, std, min and max per counter id, under one lock."""

    def __init__(self, num_counters: int = 1000) -> None:
        self._n = num_counters
        self._records = [[0, 0.0, 0.0, INF, -INF] for _ in range(num_counters)]
        self._lock = threading.Lock()

    def update(self, counter_id: int, value: float) -> None:
        if counter_id < 0 or counter_id >= self._n:
            raise IndexError(f"Counter ID {counter_id} out of range")
        value = float(value)
        with self._lock:
            r = self._records[counter_id]
            r[0] += 1
            r[1] += value
            r[2] += value * value
            if value < r[3]:
                r[3] = value
            if value > r[4]:
                r[4] = value

    def get_stats(self, counter_id: int) -> dict:
        if counter_id < 0 or counter_id >= self._n:
            raise IndexError(f"Counter ID {counter_id} out of range")
        with self._lock:
            count, total, total_sq, lo, hi = self._records[counter_id]
        if count == 0:
            return {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": lo, "max": hi}
        n = float(count)
        mean = total / n
        variance = total_sq / n - mean * mean
        if variance < 0.0:
            variance = 0.0
        return {"count": count, "mean": mean, "variance": variance, "std": variance ** 0.5,
                "min": lo, "max": hi}

    def get_all_stats(self) -> list:
        return [(i, self.get_stats(i)) for i, r in enumerate(self._records) if r[0]]


def register(suite):
    from quarvel.bench._floor import Floor
    from quarvel.monitoring.counter_fold import CounterAggregator

    agg, py = CounterAggregator(), PyCounterAggregator()
    sparse, py_sparse = CounterAggregator(), PyCounterAggregator()
    for a in (agg, py, sparse, py_sparse):
        a.update(5, 1.0)
        a.update(5, 2.5)
    for cid in (3, 17, 400, 999):
        sparse.update(cid, 1.0)
        py_sparse.update(cid, 1.0)
    stats = agg.get_stats(5)
    ns = {"a": agg, "p": py, "s": sparse, "ps": py_sparse, "v": 1.25,
          "f": Floor(value=2, fvalue=1.5, dict=stats, list=sparse.get_all_stats())}
    goal_update = "<=1.5x locked floor, >=5x python"
    suite.row("counter_fold", "CounterAggregator.update(id, float)", "a.update(5, v)",
              python="p.update(5, v)", floor="f.locked_none2(5, v)", floor_label="locked floor",
              ns=ns, goal=goal_update)
    suite.row("counter_fold", "CounterAggregator.update(id, int)", "a.update(5, 3)",
              python="p.update(5, 3)", floor="f.locked_none2(5, 3)", floor_label="locked floor",
              ns=ns, goal=goal_update)
    suite.row("counter_fold", "CounterAggregator.get_stats(id)", "a.get_stats(5)",
              python="p.get_stats(5)", floor="f.locked_dict1(5)", floor_label="locked floor",
              ns=ns)
    suite.row("counter_fold", "CounterAggregator.get_all_stats() 5/1000", "s.get_all_stats()",
              python="ps.get_all_stats()", floor="f.list0()", ns=ns)
