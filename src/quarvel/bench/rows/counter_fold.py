"""Benchmark rows for quarvel.monitoring.counter_fold.

The pure-Python equivalent (quarvel.bench.models.counter_fold) is the natural one: one record per
counter under one threading.Lock, folding and summarising exactly as the native aggregator does.
Peer rows keep the same statistics with the statistics module (every value kept, summarised on
request) and with NumPy arrays (per call, and a batch folded with ufunc.at).
"""

from __future__ import annotations


def register(suite):
    from quarvel.bench._floor import Floor
    from quarvel.bench.models.counter_fold import NumpyAggregator, PyCounterAggregator, StatisticsAggregator
    from quarvel.monitoring.counter_fold import CounterAggregator

    g = "counter_fold"
    agg, py = CounterAggregator(), PyCounterAggregator()
    sparse, py_sparse = CounterAggregator(), PyCounterAggregator()
    for a in (agg, py, sparse, py_sparse):
        a.update(5, 1.0)
        a.update(5, 2.5)
    for cid in (3, 17, 400, 999):
        sparse.update(cid, 1.0)
        py_sparse.update(cid, 1.0)
    stats = agg.get_stats(5)
    ns = {"a": agg, "p": py, "s": sparse, "ps": py_sparse, "v": 1.25,
          "f": Floor(value=2, fvalue=1.5, dict=stats, list=sparse.get_all_stats())}
    goal_update = "<=1.5x locked floor, >=5x python"
    suite.row(g, "CounterAggregator.update(id, float)", "a.update(5, v)",
              python="p.update(5, v)", floor="f.locked_none2(5, v)", floor_label="locked floor",
              ns=ns, goal=goal_update)
    suite.row(g, "CounterAggregator.update(id, int)", "a.update(5, 3)",
              python="p.update(5, 3)", floor="f.locked_none2(5, 3)", floor_label="locked floor",
              ns=ns, goal=goal_update)
    suite.row(g, "CounterAggregator.get_stats(id)", "a.get_stats(5)",
              python="p.get_stats(5)", floor="f.locked_dict1(5)", floor_label="locked floor",
              ns=ns)
    suite.row(g, "CounterAggregator.get_all_stats() 5/1000", "s.get_all_stats()",
              python="ps.get_all_stats()", floor="f.list0()", ns=ns)

    # Peers. get_stats reads a counter that has folded 100 values.
    values = [((i * 7919) % 1000) / 8.0 for i in range(100)]
    st, agg100 = StatisticsAggregator(), CounterAggregator()
    for x in values:
        st.update(7, x)
        agg100.update(7, x)
    ns_st = dict(ns, st=st, a100=agg100)
    peer = dict(python_label="statistics", floor_label="locked floor", goal=">1x statistics")
    suite.row(g, "update(id, float) vs statistics (values kept)", "a.update(5, v)", python="st.update(6, v)",
              floor="f.locked_none2(5, v)", setup="st.clear(6)", ns=ns_st, **peer)
    suite.row(g, "get_stats(id), 100 values, vs statistics", "a100.get_stats(7)", python="st.get_stats(7)",
              floor="f.locked_dict1(7)", ns=ns_st, **peer)

    np = suite.peer(g, "numpy", "rows against the same statistics in NumPy arrays")
    if np is None:
        return
    na = NumpyAggregator(np)
    for x in values:
        na.update(7, x)
    rng = np.random.default_rng(5)
    ids = rng.integers(0, 1000, 1000)
    vals = rng.random(1000) * 100.0
    ns_np = dict(ns, na=na, a100=agg100, ids_list=ids.tolist(), vals_list=vals.tolist(), ids=ids, vals=vals,
                 pairs=list(zip(ids.tolist(), vals.tolist())))
    peer = dict(python_label="numpy", ns=ns_np, goal=">1x numpy")
    suite.row(g, "update(id, float) vs NumPy arrays", "a.update(5, v)", python="na.update(5, v)",
              floor="f.locked_none2(5, v)", floor_label="locked floor", **peer)
    suite.row(g, "get_stats(id) vs NumPy arrays", "a100.get_stats(7)", python="na.get_stats(7)",
              floor="f.locked_dict1(7)", floor_label="locked floor", **peer)
    # A batch: the native aggregator has no batch call, so 1000 calls from a loop against one
    # vectorised fold of the same 1000 (id, value) pairs.
    suite.row(g, "1000 updates (loop) vs NumPy batch (ufunc.at)", "for i, x in pairs: a.update(i, x)",
              python="na.update_many(ids, vals)", python_label="numpy", ns=ns_np)
