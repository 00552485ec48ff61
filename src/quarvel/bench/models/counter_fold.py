"""quarvel.monitoring.counter_fold in plain Python: the running statistics of one counter (the model the
tests compare the native aggregator with, bit for bit) and the aggregators the benchmark times: the same
model per counter under one threading.Lock, and, for the peer rows, the same statistics kept with the
standard library's statistics module and with NumPy arrays."""

import math
import statistics
import threading

INF = float("inf")


class ModelCounter:
    """The same running sums, folded and summarised by the interpreter's own float arithmetic."""

    def __init__(self):
        self.reset()

    def reset(self):
        self.count, self.sum, self.sum_sq, self.min, self.max = 0, 0.0, 0.0, INF, -INF

    def fold(self, value):
        value = float(value)
        self.count += 1
        self.sum += value
        self.sum_sq += value * value
        if value < self.min:
            self.min = value
        if value > self.max:
            self.max = value

    def stats(self):
        if self.count == 0:
            return {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": INF, "max": -INF}
        n = float(self.count)
        mean = self.sum / n
        variance = self.sum_sq / n - mean * mean
        if variance < 0.0:  # rounding below zero is reported as exactly zero
            variance = 0.0
        return {"count": self.count, "mean": mean, "variance": variance, "std": variance ** 0.5,
                "min": self.min, "max": self.max}


class PyCounterAggregator:
    """One ModelCounter per counter id, under one lock: the natural pure-Python aggregator."""

    def __init__(self, num_counters=1000):
        self._n = num_counters
        self._counters = [ModelCounter() for _ in range(num_counters)]
        self._lock = threading.Lock()

    def _check(self, counter_id):
        if counter_id < 0 or counter_id >= self._n:
            raise IndexError(f"Counter ID {counter_id} out of range")

    def update(self, counter_id, value):
        self._check(counter_id)
        value = float(value)
        with self._lock:
            self._counters[counter_id].fold(value)

    def get_stats(self, counter_id):
        self._check(counter_id)
        with self._lock:
            return self._counters[counter_id].stats()

    def get_all_stats(self):
        with self._lock:
            return [(i, c.stats()) for i, c in enumerate(self._counters) if c.count]


class StatisticsAggregator:
    """Every value kept, summarised by the statistics module when asked (exact, and slower the more
    values a counter has)."""

    def __init__(self, num_counters=1000):
        self._values = [[] for _ in range(num_counters)]
        self._lock = threading.Lock()

    def update(self, counter_id, value):
        with self._lock:
            self._values[counter_id].append(float(value))

    def clear(self, counter_id):
        with self._lock:
            self._values[counter_id].clear()

    def get_stats(self, counter_id):
        with self._lock:
            xs = list(self._values[counter_id])
        if not xs:
            return {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": INF, "max": -INF}
        variance = statistics.pvariance(xs)
        return {"count": len(xs), "mean": statistics.fmean(xs), "variance": variance, "std": math.sqrt(variance),
                "min": min(xs), "max": max(xs)}


class NumpyAggregator:
    """The running sums in NumPy arrays, one slot per counter id; update_many folds a batch at once."""

    def __init__(self, np, num_counters=1000):
        self.np = np
        self.count = np.zeros(num_counters, dtype=np.int64)
        self.sum = np.zeros(num_counters)
        self.sum_sq = np.zeros(num_counters)
        self.min = np.full(num_counters, INF)
        self.max = np.full(num_counters, -INF)
        self._lock = threading.Lock()

    def update(self, counter_id, value):
        value = float(value)
        with self._lock:
            self.count[counter_id] += 1
            self.sum[counter_id] += value
            self.sum_sq[counter_id] += value * value
            if value < self.min[counter_id]:
                self.min[counter_id] = value
            if value > self.max[counter_id]:
                self.max[counter_id] = value

    def update_many(self, counter_ids, values):
        np = self.np
        with self._lock:
            np.add.at(self.count, counter_ids, 1)
            np.add.at(self.sum, counter_ids, values)
            np.add.at(self.sum_sq, counter_ids, values * values)
            np.minimum.at(self.min, counter_ids, values)
            np.maximum.at(self.max, counter_ids, values)

    def get_stats(self, counter_id):
        with self._lock:
            count = int(self.count[counter_id])
            total, total_sq = float(self.sum[counter_id]), float(self.sum_sq[counter_id])
            lo, hi = float(self.min[counter_id]), float(self.max[counter_id])
        if count == 0:
            return {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": lo, "max": hi}
        mean = total / count
        variance = max(total_sq / count - mean * mean, 0.0)
        return {"count": count, "mean": mean, "variance": variance, "std": variance ** 0.5, "min": lo, "max": hi}
