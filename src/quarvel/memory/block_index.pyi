"""Size-ordered red-black tree of free memory blocks with best-fit search and lock-free readers."""

# Standard modules the module binds in its namespace.
import math as math
import threading as threading
import time as time
from typing import Final, TypedDict, type_check_only

from typing_extensions import NotRequired, disjoint_base

from quarvel.memory.memory_block import MemoryBlock

# True when AtomicCounter could be imported; the trees then count inserts and sampled inserts.
ATOMIC_AVAILABLE: Final[bool]
# Attempts a lock-free reader makes before it gives up and returns its empty result.
MAX_RETRIES: Final[int]

@type_check_only
class TreeStats(TypedDict):
    """What FastRedBlackTree.get_stats() returns (keys in this order)."""

    total_blocks: int
    total_insertions: int
    total_deletions: int
    total_searches: int
    bucket_hits: int
    tree_hits: int
    operation_count: int
    circuit_breaker_trips: NotRequired[int]  # present after reset_circuit_breaker()
    node_count: int
    height: int
    sampled_operations: int
    is_valid: bool

@disjoint_base
class FastRedBlackTree:
    """Free blocks keyed by size: one tree node per distinct size, equal sizes chained behind it."""

    def __init__(self, sample_rate: int = 100) -> None: ...
    @staticmethod
    def _sanitize_size(size: int) -> int: ...
    def insert(self, size: int, block: MemoryBlock) -> bool: ...
    def delete(self, size: int, block: MemoryBlock) -> bool: ...
    def clear(self) -> None: ...
    def size(self) -> int: ...
    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...
    def find_best_fit(self, size: int, alignment: int = 1) -> MemoryBlock | None: ...
    def find_all_exact(self, size: int) -> list[MemoryBlock]: ...
    def remove_ge(self, size: int) -> tuple[int, MemoryBlock] | tuple[None, None]: ...
    def get_size_distribution(self) -> dict[int, int]: ...
    def get_stats(self) -> TreeStats: ...
    def get_statistics(self) -> dict[int, list[float]]: ...
    def reset_circuit_breaker(self) -> None: ...
