"""Benchmark rows for quarvel.memory.sync_kernel: AtomicCounter, LockFreeStatistics, AtomicPointer and
LockFreeStack against lock-guarded Python (quarvel.bench.models.sync_kernel) and the floors; with the
bench extra installed, AtomicCounter also against the atomics package's atomic integer, and the counter,
AtomicPointer and LockFreeStack against the atomic types of ft-utils (ft_utils.concurrency) and
cereggii, the two packages built for free-threaded CPython (each only where it has a wheel for the
running interpreter)."""

import sys


def register(suite):
    _counter_rows(suite)
    _slot_rows(suite)
    _free_threading_peer_rows(suite)


def _counter_rows(suite):
    from quarvel.bench._floor import Floor
    from quarvel.bench.models.sync_kernel import LockedCounter
    from quarvel.memory.sync_kernel import AtomicCounter, AtomicCounterWrapper

    big = 1 << 40  # results outside the small-int cache, as real counters are
    ns = {"c": AtomicCounter(big), "p": LockedCounter(big), "f": Floor(value=big), "w": AtomicCounterWrapper(big)}
    g = "sync_kernel"
    suite.row(g, "AtomicCounter.increment()", "c.increment()", python="p.increment()", floor="f.int0()", ns=ns,
              goal="<=1.5x floor, >=8x python")
    suite.row(g, "AtomicCounter.increment(3)", "c.increment(3)", python="p.increment(3)", floor="f.int1(3)", ns=ns,
              goal="<=1.5x floor")
    suite.row(g, "AtomicCounter.load()", "c.load()", python="p.load()", floor="f.int0()", ns=ns,
              goal="<=1.5x floor, >=8x python")
    suite.row(g, "AtomicCounter.compare_and_swap(0, 1)", "c.compare_and_swap(0, 1)",
              python="p.compare_and_swap(0, 1)", floor="f.bool2(0, 1)", ns=ns)
    suite.row(g, "AtomicCounterWrapper.increment()", "w.increment()", python="p.increment()", floor="f.int0()",
              ns=ns)

    atomics = suite.peer(g, "atomics", "AtomicCounter rows against the atomics package's atomic integer")
    # Peer rows name the native class's method; the reference is the atomics package's 8-byte integer.
    if atomics is not None:
        # A signed 64-bit atomic integer: fetch_inc is its one atomic read-modify-write returning a value.
        ns["ai"] = atomics.atomic(width=8, atype=atomics.INT)
        ns["ai"].store(big)
        peer = dict(python_label="atomics", ns=ns)
        suite.row(g, "increment() vs atomics fetch_inc()", "c.increment()", python="ai.fetch_inc()",
                  floor="f.int0()", goal=">1x atomics", **peer)
        suite.row(g, "increment(3) vs atomics fetch_add(3)", "c.increment(3)",
                  python="ai.fetch_add(3)", floor="f.int1(3)", goal=">1x atomics", **peer)
        suite.row(g, "load() vs atomics load()", "c.load()", python="ai.load()", floor="f.int0()",
                  goal=">1x atomics", **peer)
        suite.row(g, "compare_and_swap(0, 1) vs atomics cmpxchg_strong", "c.compare_and_swap(0, 1)",
                  python="ai.cmpxchg_strong(0, 1)", floor="f.bool2(0, 1)", goal=">1x atomics", **peer)


def _slot_rows(suite):
    from quarvel.bench._floor import Floor
    from quarvel.bench.models.sync_kernel import LockedPointer, LockedStack, LockedStats
    from quarvel.memory.sync_kernel import AtomicPointer, LockFreeStack, LockFreeStatistics

    stats, pstats = LockFreeStatistics(), LockedStats()
    for s in (stats, pstats):
        for i in range(100):
            s.record_allocation(64 + i, i % 3 != 0, 8, 120)
    snap = stats.get_snapshot()
    x, y = object(), object()
    ns = {
        "s": stats, "ps": pstats, "f": Floor(value=1 << 40, dict=snap, obj=x), "fs": Floor(value=10),
        "ptr": AtomicPointer(x), "pptr": LockedPointer(x), "x": x, "y": y,
        "LockFreeStack": LockFreeStack, "LockedStack": LockedStack,
        "stk": LockFreeStack(), "pstk": LockedStack(),
    }
    for _ in range(10):
        ns["stk"].push(x)
        ns["pstk"].push(x)
    g = "sync_kernel"
    suite.row(g, "LockFreeStatistics.record_allocation(64)", "s.record_allocation(64)",
              python="ps.record_allocation(64)", floor="f.none1(64)", ns=ns, goal="<=3x floor, >=10x python")
    suite.row(g, "LockFreeStatistics.record_allocation(64,T,8,50)", "s.record_allocation(64, True, 8, 50)",
              python="ps.record_allocation(64, True, 8, 50)", floor="f.none4(64, True, 8, 50)", ns=ns,
              goal="<=3x floor, >=10x python")
    suite.row(g, "LockFreeStatistics.py_record_allocation(64,T)", "s.py_record_allocation(64, True)",
              python="ps.py_record_allocation(64, True)", floor="f.none2(64, True)", ns=ns)
    suite.row(g, "LockFreeStatistics.get_snapshot()", "s.get_snapshot()", python="ps.get_snapshot()",
              floor="f.dict0()", ns=ns, goal="<=500 ns")

    suite.row(g, "AtomicPointer.load()", "ptr.load()", python="pptr.load()", floor="f.locked_obj0()",
              floor_label="locked floor", ns=ns, goal="<=1.5x locked floor, >=1.5x python")
    suite.row(g, "AtomicPointer.store(x)", "ptr.store(x)", python="pptr.store(x)", floor="f.locked_none1(x)",
              floor_label="locked floor", ns=ns, goal="<=1.5x locked floor, >=1.5x python")
    suite.row(g, "AtomicPointer.compare_and_swap(x, x)", "ptr.compare_and_swap(x, x)",
              python="pptr.compare_and_swap(x, x)", floor="f.locked_bool2(x, x)", floor_label="locked floor",
              ns=ns, goal="<=1.5x locked floor, >=1.5x python")
    suite.row(g, "AtomicPointer.compare_and_swap(y, x) miss", "ptr.compare_and_swap(y, x)",
              python="pptr.compare_and_swap(y, x)", floor="f.locked_bool2(y, x)", floor_label="locked floor",
              ns=ns)

    n = 100_000  # push and pop change the stack: fixed calls per repeat, fresh stack each repeat
    suite.row(g, "LockFreeStack.push(x)", "stk.push(x)", python="pstk.push(x)", floor="f.locked_none1(x)",
              floor_label="locked floor", ns=ns, setup="stk = LockFreeStack(); pstk = LockedStack()", number=n,
              goal="<=1.5x locked floor, >=1.5x python")
    fill = (f"stk = LockFreeStack(); pstk = LockedStack()\nfor _ in range({n}):\n"
            "    stk.push(x); pstk.push(x)")
    suite.row(g, "LockFreeStack.pop()", "stk.pop()", python="pstk.pop()", floor="f.locked_obj0()",
              floor_label="locked floor", ns=ns, setup=fill, number=n, goal="<=1.5x locked floor, >=1.5x python")
    suite.row(g, "LockFreeStack.size()", "stk.size()", python="pstk.size()", floor="fs.int0()", ns=ns,
              goal="<=1.5x floor")
    suite.row(g, "LockFreeStack.push(x) + pop()", "stk.push(x); stk.pop()", python="pstk.push(x); pstk.pop()",
              floor="f.locked_none1(x); f.locked_obj0()", floor_label="locked floor", ns=ns)


def _free_threading_peer_rows(suite):
    """The same operations on ft-utils' and cereggii's atomic types: a row per operation and peer,
    each peer's closest call (the result kinds match: a new int, a bool, the stored object)."""
    from quarvel.bench._floor import Floor
    from quarvel.memory.sync_kernel import AtomicCounter, AtomicPointer, LockFreeStack

    g = "sync_kernel"
    big = 1 << 40
    x, y = object(), object()
    ns = {"c": AtomicCounter(big), "ptr": AtomicPointer(x), "stk": LockFreeStack(), "x": x, "y": y,
          "f": Floor(value=big, obj=x)}
    for _ in range(10):
        ns["stk"].push(x)
    ops = [  # (row, our statement, floor, locked floor?, {peer: its statement})
        ("counter increment()", "c.increment()", "f.int0()", False,
         {"ft-utils": "fi.incr()", "cereggii": "ci.increment_and_get()"}),
        ("counter load()", "c.load()", "f.int0()", False, {"ft-utils": "fi.get()", "cereggii": "ci.get()"}),
        ("counter compare_and_swap(0, 1)", "c.compare_and_swap(0, 1)", "f.bool2(0, 1)", False,
         {"cereggii": "ci.compare_and_set(0, 1)"}),
        ("AtomicPointer.load()", "ptr.load()", "f.locked_obj0()", True,
         {"ft-utils": "fr.get()", "cereggii": "cr.get()"}),
        ("AtomicPointer.store(x)", "ptr.store(x)", "f.locked_none1(x)", True,
         {"ft-utils": "fr.set(x)", "cereggii": "cr.set(x)"}),
        ("AtomicPointer.compare_and_swap(x, x)", "ptr.compare_and_swap(x, x)", "f.locked_bool2(x, x)", True,
         {"ft-utils": "fr.compare_exchange(x, x)", "cereggii": "cr.compare_and_set(x, x)"}),
        ("LockFreeStack.push(x) + pop()", "stk.push(x); stk.pop()", "f.locked_none1(x); f.locked_obj0()", True,
         {"ft-utils": "fd.append(x); fd.pop()"}),
    ]
    # ft-utils publishes wheels for CPython 3.12-3.14 only (see the bench extra).
    ft_wheel = sys.implementation.name == "cpython" and (3, 12) <= sys.version_info[:2] < (3, 15)
    ft = suite.peer(g, "ft_utils.concurrency", "rows against ft-utils' AtomicInt64, AtomicReference, ConcurrentDeque",
                    unavailable="" if ft_wheel else "ft-utils publishes no wheel for this interpreter")
    if ft is not None:
        ns["fi"] = ft.AtomicInt64(big)
        ns["fr"] = ft.AtomicReference(x)
        ns["fd"] = ft.ConcurrentDeque([x] * 10)
    cg = suite.peer(g, "cereggii", "rows against cereggii's AtomicInt64 and AtomicRef")
    if cg is not None:
        ns["ci"] = cg.AtomicInt64(big)
        ns["cr"] = cg.AtomicRef(x)
    for name, stmt, floor, locked, peers in ops:
        for peer, pstmt in peers.items():
            if (ft if peer == "ft-utils" else cg) is None:
                continue
            suite.row(g, f"{name} vs {peer}", stmt, python=pstmt, python_label=peer, floor=floor,
                      floor_label="locked floor" if locked else "floor", ns=ns)
