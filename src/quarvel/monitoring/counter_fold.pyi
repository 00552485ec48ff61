"""Running count, mean, variance, min and max for numbered monitoring counters."""

# Standard modules the module binds in its namespace.
import threading as threading
from typing import TypedDict, type_check_only

from typing_extensions import disjoint_base

@type_check_only
class CounterStats(TypedDict):
    """What CounterAggregator.get_stats() returns (keys in this order)."""

    count: int
    mean: float
    variance: float  # population variance
    std: float
    min: float  # inf while the count is 0
    max: float  # -inf while the count is 0

@disjoint_base
class CounterAggregator:
    """A fixed number of counters; ids run from 0 to num_counters - 1 (IndexError otherwise)."""

    def __init__(self, num_counters: int = 1000) -> None: ...
    def update(self, counter_id: int, value: float) -> None: ...
    def get_stats(self, counter_id: int) -> CounterStats: ...
    def reset(self, counter_id: int) -> None: ...
    def reset_all(self) -> None: ...
    def get_all_stats(self) -> list[tuple[int, CounterStats]]: ...

def create_aggregator(num_counters: int = 1000) -> CounterAggregator: ...
