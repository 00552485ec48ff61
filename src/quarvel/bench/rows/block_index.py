"""FastRedBlackTree against a sorted list with bisect plus a dict of blocks, and SortedKeyList.

Each operation runs on trees of 1,000 and 100,000 blocks (about one size in ten holds two blocks).
The statements consume or add state, so every repeat runs a fixed number of calls and the setup
puts the structures back first: inserted blocks are taken out again, removed ones put back.
Writers of the pure-Python equivalents run under a threading.Lock, as the tree's writers do.
"""

from __future__ import annotations

import functools
import random

# Calls per repeat: enough to time, few enough that the tree keeps its size (within 10%).
CALLS = {1000: 100, 100000: 2000}


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

    from quarvel.bench.models.block_index import BisectIndex, SortedIndex

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

    sc = suite.peer("block_index", "sortedcontainers", "rows against SortedKeyList at 10^3 and 10^5 blocks")
    SortedKeyList = sc.SortedKeyList if sc is not None else None

    def prepared(n):
        # Built when the first of its rows is timed (not at all for --list), then shared by its rows.
        if n not in cache:
            cache[n] = _setup_for(n, SortedKeyList)
            cache[n]["f"] = Floor(obj=(1, 2))
        return cache[n]

    cache: dict = {}
    g = "block_index"
    for n, label in ((1000, "1k"), (100000, "100k")):
        ns = functools.partial(prepared, n)
        others = [("p", "bisect+dict", "python")]
        if SortedKeyList is not None:
            others.append(("k", "SortedKeyList", "SortedKeyList"))
        for who, what, ref in others:
            common = dict(ns=ns, number=CALLS[n], python_label=ref, goal=f">1x {ref}")
            locked = dict(common, floor_label="locked floor")
            suite.row(g, f"insert @{label} vs {what}", "t.insert(*next(it))", python=f"{who}.insert(*next(it))",
                      floor="f.locked_bool2(*next(it))", setup="restore(); it = iter(fresh)", **locked)
            suite.row(g, f"find_best_fit @{label} vs {what}", "t.find_best_fit(next(it))",
                      python=f"{who}.find_best_fit(next(it))", floor="f.obj1(next(it))",
                      setup="it = iter(queries)", **common)
            suite.row(g, f"remove_ge @{label} vs {what}", "t.remove_ge(next(it))",
                      python=f"{who}.remove_ge(next(it))", floor="f.locked_obj1(next(it))",
                      setup="restore(); it = iter(victim_sizes)", **locked)
            suite.row(g, f"delete @{label} vs {what}", "t.delete(*next(it))", python=f"{who}.delete(*next(it))",
                      floor="f.locked_bool2(*next(it))", setup="restore(); it = iter(victims)", **locked)
