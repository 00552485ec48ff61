"""FastRedBlackTree against a sorted list with bisect plus a dict of blocks, and SortedKeyList.

Each operation runs on trees of 1,000 and 100,000 blocks (about one size in ten holds two blocks).
The statements consume or add state, so every repeat runs a fixed number of calls and the setup
puts the structures back first: inserted blocks are taken out again, removed ones put back.
Writers of the pure-Python equivalents run under a threading.Lock, as the tree's writers do.
"""

from __future__ import annotations

import random
import threading
from bisect import bisect_left, insort

# Calls per repeat: enough to time, few enough that the tree keeps its size (within 10%).
CALLS = {1000: 100, 100000: 2000}


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


def _population(n: int, rng: random.Random):
    distinct = rng.sample(range(1, 1 << 40), n - n // 10)
    pairs = [(s, object()) for s in distinct] + [(s, object()) for s in rng.sample(distinct, n // 10)]
    rng.shuffle(pairs)
    return pairs


def _setup_for(n: int, SortedKeyList):
    calls = CALLS[n]
    from quarvel.memory.block_index import FastRedBlackTree

    rng = random.Random(n)
    pairs = _population(n, rng)
    singles = {s: b for s, b in pairs}
    counts: dict[int, int] = {}
    for s, _ in pairs:
        counts[s] = counts.get(s, 0) + 1
    present = [(s, singles[s]) for s in counts if counts[s] == 1]
    # Calls that add: fresh sizes. Calls that take out: existing single-block sizes (remove_ge(s) then
    # takes exactly that block, so the setup can put it back).
    taken = set(counts)
    fresh = []
    while len(fresh) < calls:
        s = rng.randrange(1, 1 << 40)
        if s not in taken:
            taken.add(s)
            fresh.append((s, object()))
    victims = rng.sample(present, calls)
    queries = [rng.randrange(1, 1 << 40) for _ in range(calls)]

    structures = {"t": FastRedBlackTree(), "p": BisectIndex()}
    if SortedKeyList is not None:
        structures["k"] = SortedIndex(SortedKeyList)
    for s, b in pairs:
        for x in structures.values():
            x.insert(s, b)

    def has(x, s, b):
        if isinstance(x, FastRedBlackTree):
            return any(y is b for y in x.find_all_exact(s))
        return x.has(s, b)

    def restore():
        for x in structures.values():
            for s, b in fresh:
                if has(x, s, b):
                    x.delete(s, b)
            for s, b in victims:
                if not has(x, s, b):
                    x.insert(s, b)

    ns = dict(structures)
    ns.update(calls=calls, restore=restore, fresh=fresh, victims=victims, queries=queries,
              fresh_sizes=[s for s, _ in fresh], victim_sizes=[s for s, _ in victims])
    return ns


def register(suite):
    from quarvel.bench._floor import Floor

    try:
        from sortedcontainers import SortedKeyList
    except ImportError:
        SortedKeyList = None

    g = "block_index"
    for n, label in ((1000, "1k"), (100000, "100k")):
        ns = _setup_for(n, SortedKeyList)
        ns["f"] = Floor(obj=(1, 2))
        others = [("p", "bisect+dict")] + ([("k", "SortedKeyList")] if SortedKeyList is not None else [])
        for who, what in others:
            common = dict(ns=ns, number=ns["calls"], floor_label="locked floor")
            suite.row(g, f"insert @{label} vs {what}", "t.insert(*next(it))", python=f"{who}.insert(*next(it))",
                      floor="f.locked_bool2(*next(it))", setup="restore(); it = iter(fresh)", **common,
                      goal="ahead of python")
            suite.row(g, f"find_best_fit @{label} vs {what}", "t.find_best_fit(next(it))",
                      python=f"{who}.find_best_fit(next(it))", floor="f.obj1(next(it))", ns=ns, number=ns["calls"],
                      setup="it = iter(queries)", goal="ahead of python")
            suite.row(g, f"remove_ge @{label} vs {what}", "t.remove_ge(next(it))",
                      python=f"{who}.remove_ge(next(it))", floor="f.locked_obj1(next(it))",
                      setup="restore(); it = iter(victim_sizes)", **common, goal="ahead of python")
            suite.row(g, f"delete @{label} vs {what}", "t.delete(*next(it))", python=f"{who}.delete(*next(it))",
                      floor="f.locked_bool2(*next(it))", setup="restore(); it = iter(victims)", **common,
                      goal="ahead of python")
