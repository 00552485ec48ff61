"""quarvel.jit.compile_gate in plain Python: the threshold arithmetic of one update (the model the tests
hold the native gate to) and the equivalent the benchmark times: slotted record classes and a gate
doing the same work under a threading.Lock, logging its update line through a logger."""

from __future__ import annotations

import logging
import math
import threading
import time

logger = logging.getLogger("quarvel.bench.compile_gate")
CONFIG_FIELDS = ("initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup")


def model_next_threshold(current, compile_count, avg_speedup, cfg):
    """What one update should store, written the plain way (cfg: the configuration's fields by name)."""
    target = 1.0 if cfg["target_speedup"] <= 0 else cfg["target_speedup"]
    lr = cfg["learning_rate"]
    adjustment = -lr if avg_speedup / target > 1.0 else lr
    confidence = min(compile_count / 10.0, 1.0)
    new_value = (1.0 - confidence) * (adjustment * current) + current
    if math.isnan(new_value):
        return current
    if cfg["min_threshold"] > new_value:
        return cfg["min_threshold"]
    if new_value > cfg["max_threshold"]:
        return cfg["max_threshold"]
    return int(new_value)


class PyPolicyConfig:
    __slots__ = ("initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup")

    def __init__(self, initial_threshold: int = 100, min_threshold: int = 10, max_threshold: int = 10000,
                 learning_rate: float = 0.1, target_speedup: float = 2.0) -> None:
        initial_threshold = int(initial_threshold)
        min_threshold = int(min_threshold)
        max_threshold = int(max_threshold)
        learning_rate = float(learning_rate)
        target_speedup = float(target_speedup)
        if min_threshold <= 0:
            raise ValueError("min_threshold must be positive")
        if max_threshold <= min_threshold:
            raise ValueError("max_threshold must be greater than min_threshold")
        if not (0 < learning_rate <= 1):
            raise ValueError("learning_rate must be in (0, 1]")
        if target_speedup <= 0:
            raise ValueError("target_speedup must be positive")
        if not (min_threshold <= initial_threshold <= max_threshold):
            raise ValueError("initial_threshold must be within bounds")
        self.initial_threshold = initial_threshold
        self.min_threshold = min_threshold
        self.max_threshold = max_threshold
        self.learning_rate = learning_rate
        self.target_speedup = target_speedup


class PyFunctionMetrics:
    __slots__ = ("call_count", "compile_count", "avg_speedup", "total_execution_time_ms", "last_compiled")

    def __init__(self, call_count=0, compile_count=0, avg_speedup=1.0, total_execution_time_ms=0.0,
                 last_compiled=0.0) -> None:
        self.call_count = call_count
        self.compile_count = compile_count
        self.avg_speedup = avg_speedup
        self.total_execution_time_ms = total_execution_time_ms
        self.last_compiled = last_compiled


class PyCompileGate:
    def __init__(self, config=None) -> None:
        self.config = config if config is not None else PyPolicyConfig()
        self._thresholds: dict[str, int] = {}
        self._lock = threading.Lock()
        self._recompile_interval = 600.0
        self._cfg = {k: getattr(self.config, k) for k in CONFIG_FIELDS}

    def get_threshold(self, func_id: str) -> int:
        with self._lock:
            t = self._thresholds.get(func_id)
            return t if t is not None else self.config.initial_threshold

    def should_compile(self, func_id: str, telemetry_store) -> bool:
        current_time = time.time()
        with self._lock:
            threshold = self._thresholds.get(func_id, self.config.initial_threshold)
            metrics = telemetry_store.get_metrics(func_id)
            call_count = metrics.call_count
            compile_count = metrics.compile_count
            last_compiled = getattr(metrics, "last_compiled", 0.0)
        if call_count < threshold:
            return False
        if compile_count == 0:
            return True
        return current_time - last_compiled >= self._recompile_interval

    def update(self, func_id: str, telemetry_store) -> None:
        with self._lock:
            metrics = telemetry_store.get_metrics(func_id)
            if metrics.compile_count == 0:
                return
            cfg = self.config
            current = self._thresholds.get(func_id, cfg.initial_threshold)
            speedup = metrics.avg_speedup
            new = model_next_threshold(current, metrics.compile_count, speedup, self._cfg)
            self._thresholds[func_id] = new
        logger.debug(f"Updated threshold for {func_id}: {current} -> {new} (speedup: {speedup:.2f}x)")


class ReadyStore:
    """A telemetry store that hands out one prepared record."""

    def __init__(self, metrics) -> None:
        self.metrics = metrics

    def get_metrics(self, func_id):
        return self.metrics
