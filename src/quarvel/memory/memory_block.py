"""Stand-in for the runtime's ``quarvel.memory.memory_block`` module.

The real module belongs to the runtime, outside the native core; a deployment replaces this file
with it. The block index only imports ``MemoryBlock`` at load, stores block objects, returns them
and compares them with ``==``; this minimal record provides exactly that, so that the package
imports and can be tested on its own.
"""

from __future__ import annotations

__all__ = ["MemoryBlock"]


class MemoryBlock:
    """A contiguous free region: ``offset`` and ``size`` in bytes, equal by value."""

    __slots__ = ("offset", "size")

    def __init__(self, offset: int, size: int) -> None:
        self.offset = offset
        self.size = size

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, MemoryBlock):
            return NotImplemented
        return self.offset == other.offset and self.size == other.size

    def __hash__(self) -> int:
        return hash((self.offset, self.size))

    def __repr__(self) -> str:
        return f"MemoryBlock(offset={self.offset}, size={self.size})"
