"""The benchmark suite of the native core: ``python -m quarvel.bench [--only MODULE] [--repeat N] ...``.

Every hot path is timed against its pure-Python equivalent and against the floor, the cheapest
native call of the same arity returning the same kind of result (``quarvel.bench._floor``); with the
``bench`` extra installed, some rows also run against peer libraries. One table collects the rows of
every module, with medians, spreads and whether each row's goal is met.

Rows live in ``quarvel/bench/rows/<module>.py``; each such file defines ``register(suite)`` and adds
rows with :meth:`Suite.row`::

    def register(suite):
        from quarvel.memory.sync_kernel import AtomicCounter
        from quarvel.bench._floor import Floor
        from quarvel.bench.models.sync_kernel import LockedCounter
        ns = {"c": AtomicCounter(0), "f": Floor(value=1 << 40), "p": LockedCounter()}
        suite.row("sync_kernel", "AtomicCounter.increment()", "c.increment()",
                  python="p.increment()", floor="f.int0()", ns=ns, goal="<=1.5x floor, >=8x python")

The pure-Python equivalents live in ``quarvel.bench.models``, shared with the test suite, which checks
the native modules against them. See :mod:`quarvel.bench.runner` for the timing and the goal grammar.
"""

from quarvel.bench.runner import BenchError, Row, Suite, main, parse_goal, rows_dir

__all__ = ["BenchError", "Row", "Suite", "main", "parse_goal", "rows_dir"]
