"""AtomicCounter against a counter under a threading.Lock and against the floor."""

import threading


class LockedCounter:
    """The pure-Python equivalent: an int guarded by a threading.Lock."""

    def __init__(self, value=0):
        self._value = value
        self._lock = threading.Lock()

    def increment(self, delta=1):
        with self._lock:
            self._value += delta
            return self._value

    def load(self):
        with self._lock:
            return self._value

    def compare_and_swap(self, expected, new_value):
        with self._lock:
            if self._value == expected:
                self._value = new_value
                return True
            return False


def register(suite):
    from quarvel.bench._floor import Floor
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
