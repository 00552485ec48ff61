"""Compile policy: per-function self-adjusting call-count thresholds and a process-wide gate."""

# Standard modules the module binds in its namespace.
import logging as logging
import threading as threading
import time as time
from typing import Protocol, TypedDict, type_check_only

from typing_extensions import disjoint_base

logger: logging.Logger
# Guards the process-wide gate of get_compile_gate() and reset_compile_gate().
_policy_lock: threading.Lock

@disjoint_base
class PolicyConfig:
    """Configuration for compile gate."""

    # Validated when constructed (ValueError); the setters convert but do not validate.
    initial_threshold: int
    min_threshold: int
    max_threshold: int
    learning_rate: float
    target_speedup: float
    def __init__(
        self,
        initial_threshold: int = 100,
        min_threshold: int = 10,
        max_threshold: int = 10000,
        learning_rate: float = 0.1,
        target_speedup: float = 2.0,
    ) -> None: ...

@disjoint_base
class FunctionMetrics:
    """Execution and compilation figures of one function; last_compiled and last_compile_time are one field."""

    call_count: int
    compile_count: int
    avg_speedup: float
    total_execution_time_ms: float
    last_compiled: float
    last_compile_time: float
    def __init__(
        self,
        call_count: int = 0,
        compile_count: int = 0,
        avg_speedup: float = 1.0,
        total_execution_time_ms: float = 0.0,
        last_compile_time: float = 0.0,
        last_compiled: float = -1.0,
    ) -> None: ...

@type_check_only
class TelemetryMetrics(Protocol):
    """The per-function figures the gate reads; last_compiled is optional (0.0 when missing)."""

    @property
    def call_count(self) -> int: ...
    @property
    def compile_count(self) -> int: ...
    @property
    def avg_speedup(self) -> float: ...

@type_check_only
class TelemetrySource(Protocol):
    """What should_compile and update need of the runtime's telemetry store."""

    def get_metrics(self, func_id: str, /) -> TelemetryMetrics: ...

@type_check_only
class GateStatistics(TypedDict):
    """What CompileGate.get_statistics() returns (keys in this order).

    With no learned threshold yet, avg_threshold is the configured initial threshold (an int) and the
    bounds are the configured ones; otherwise the mean, minimum and maximum of the learned thresholds.
    """

    tracked_functions: int
    avg_threshold: float
    min_threshold: int
    max_threshold: int

@disjoint_base
class CompileGate:
    """Decides when a function is worth compiling; learns one threshold per function identifier."""

    # None gives the default configuration; any other non-PolicyConfig object is read by attribute.
    def __init__(self, config: PolicyConfig | object | None = None) -> None: ...
    @property
    def config(self) -> PolicyConfig:
        """Get policy configuration."""

    def should_compile(self, func_id: str | None, telemetry_store: TelemetrySource) -> bool: ...
    def get_threshold(self, func_id: str | None) -> int: ...
    def update(self, func_id: str | None, telemetry_store: TelemetrySource) -> None: ...
    def get_statistics(self) -> GateStatistics: ...

def get_compile_gate() -> CompileGate: ...
def reset_compile_gate() -> None: ...
def create_policy_config(
    initial_threshold: int = 100,
    min_threshold: int = 10,
    max_threshold: int = 10000,
    learning_rate: float = 0.1,
    target_speedup: float = 2.0,
) -> PolicyConfig: ...
def create_function_metrics(
    call_count: int = 0,
    compile_count: int = 0,
    avg_speedup: float = 1.0,
    total_execution_time_ms: float = 0.0,
    last_compile_time: float = 0.0,
) -> FunctionMetrics: ...
