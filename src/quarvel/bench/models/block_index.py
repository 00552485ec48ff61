"""Pure-Python equivalents of quarvel.memory.block_index's tree for the benchmark: a sorted list of
distinct sizes with bisect plus a dict of blocks, and the same on a SortedKeyList (sortedcontainers,
passed in). Writers run under a threading.Lock, as the tree's writers do. Blocks of one size are kept
in the tree's order: the first inserted (the head), then newest to oldest."""

from __future__ import annotations

import threading
from bisect import bisect_left, insort


class BisectIndex:
    """The natural pure-Python equivalent: sorted distinct sizes plus size -> [head, newest..oldest]."""

    def __init__(self) -> None:
        self.keys: list[int] = []
        self.blocks: dict[int, list] = {}
        self.lock = threading.Lock()

    def insert(self, size, block):
        with self.lock:
            chain = self.blocks.get(size)
            if chain is None:
                insort(self.keys, size)
                self.blocks[size] = [block]
            else:
                chain.insert(1, block)
            return True

    def find_best_fit(self, size):
        i = bisect_left(self.keys, size)
        return self.blocks[self.keys[i]][0] if i < len(self.keys) else None

    def _drop(self, size, chain, i):
        del chain[i]
        if not chain:
            del self.blocks[size]
            del self.keys[bisect_left(self.keys, size)]

    def remove_ge(self, size):
        with self.lock:
            i = bisect_left(self.keys, size)
            if i == len(self.keys):
                return (None, None)
            s = self.keys[i]
            chain = self.blocks[s]
            b = chain[0]
            self._drop(s, chain, 0)
            return (s, b)

    def delete(self, size, block):
        with self.lock:
            chain = self.blocks.get(size)
            if chain is not None:
                for i, b in enumerate(chain):
                    if b == block:
                        self._drop(size, chain, i)
                        return True
            return False

    def has(self, size, block):
        return any(b is block for b in self.blocks.get(size, ()))


class SortedIndex:
    """The same on sortedcontainers.SortedKeyList of [size, block] entries."""

    def __init__(self, SortedKeyList) -> None:
        self.items = SortedKeyList(key=lambda e: e[0])
        self.lock = threading.Lock()

    def insert(self, size, block):
        with self.lock:
            self.items.add((size, block))
            return True

    def find_best_fit(self, size):
        i = self.items.bisect_key_left(size)
        return self.items[i][1] if i < len(self.items) else None

    def remove_ge(self, size):
        with self.lock:
            i = self.items.bisect_key_left(size)
            if i == len(self.items):
                return (None, None)
            return self.items.pop(i)

    def delete(self, size, block):
        with self.lock:
            for e in self.items.irange_key(size, size):
                if e[1] == block:
                    self.items.remove(e)
                    return True
            return False

    def has(self, size, block):
        return any(e[1] is block for e in self.items.irange_key(size, size))
