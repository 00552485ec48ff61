"""Stand-in for the runtime's ``quarvel.jit.telemetry_store`` module.

The real store belongs to the runtime, outside the native core; a deployment replaces this file
with it. The compile gate does not import this module: it is handed a store and calls only
``get_metrics(func_id)``, reading ``call_count``, ``compile_count``, ``avg_speedup`` and
``last_compiled`` from the record it returns. This one keeps its records in memory.
"""

from __future__ import annotations

import threading
import time
from dataclasses import dataclass

__all__ = ["FunctionTelemetry", "TelemetryStore"]


@dataclass
class FunctionTelemetry:
    call_count: int = 0
    compile_count: int = 0
    avg_speedup: float = 1.0
    total_execution_time_ms: float = 0.0
    last_compiled: float = 0.0


class TelemetryStore:
    """Per-function call and compilation records."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._records: dict[str, FunctionTelemetry] = {}
        self._speedups: dict[str, list[float]] = {}

    def record_call(self, func_id: str, execution_time_ms: float = 0.0) -> None:
        with self._lock:
            rec = self._records.setdefault(func_id, FunctionTelemetry())
            rec.call_count += 1
            rec.total_execution_time_ms += execution_time_ms

    def record_compilation(self, func_id: str, speedup: float = 1.0) -> None:
        with self._lock:
            rec = self._records.setdefault(func_id, FunctionTelemetry())
            speedups = self._speedups.setdefault(func_id, [])
            speedups.append(speedup)
            rec.compile_count += 1
            rec.avg_speedup = sum(speedups) / len(speedups)
            rec.last_compiled = time.time()

    def get_metrics(self, func_id: str) -> FunctionTelemetry:
        """A copy of the record of ``func_id`` (all zero for an unknown function)."""
        with self._lock:
            rec = self._records.get(func_id)
            if rec is None:
                return FunctionTelemetry()
            return FunctionTelemetry(rec.call_count, rec.compile_count, rec.avg_speedup,
                                     rec.total_execution_time_ms, rec.last_compiled)
