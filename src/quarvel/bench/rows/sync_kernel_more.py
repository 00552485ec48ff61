"""LockFreeStatistics, AtomicPointer and LockFreeStack against lock-guarded Python and the floors."""

import threading


class LockedStats:
    """The pure-Python equivalent of the statistics: plain ints guarded by one threading.Lock."""

    def __init__(self):
        self._lock = threading.Lock()
        self.total_allocations = self.total_deallocations = self.current_allocations = 0
        self.bytes_allocated = self.bytes_reserved = self.peak_allocations = 0
        self.peak_bytes_allocated = self.bucketed_allocations = self.fallback_allocations = 0
        self.alignment_padding_bytes = self.total_allocation_time_ns = self.total_deallocation_time_ns = 0

    def record_allocation(self, size, is_bucketed=True, padding=0, time_ns=0):
        with self._lock:
            self.total_allocations += 1
            self.current_allocations += 1
            self.bytes_allocated += size
            if is_bucketed:
                self.bucketed_allocations += 1
            else:
                self.fallback_allocations += 1
            if padding > 0:
                self.alignment_padding_bytes += padding
            if time_ns > 0:
                self.total_allocation_time_ns += time_ns
            if self.current_allocations > self.peak_allocations:
                self.peak_allocations = self.current_allocations
            if self.bytes_allocated > self.peak_bytes_allocated:
                self.peak_bytes_allocated = self.bytes_allocated

    def py_record_allocation(self, size, is_bucketed, padding=0, time_ns=0):
        with self._lock:
            self.total_allocations += 1
            self.current_allocations += 1
            self.bytes_allocated += size

    def get_snapshot(self):
        with self._lock:
            total = self.total_allocations
            deallocs = self.total_deallocations
            ratio = self.bucketed_allocations / total * 100.0 if total > 0 else 0.0
            return {
                "total_allocations": total, "total_deallocations": deallocs,
                "current_allocations": self.current_allocations, "bytes_allocated": self.bytes_allocated,
                "bytes_reserved": self.bytes_reserved, "peak_allocations": self.peak_allocations,
                "peak_bytes_allocated": self.peak_bytes_allocated,
                "bucketed_allocations": self.bucketed_allocations,
                "fallback_allocations": self.fallback_allocations,
                "bucketed_allocation_ratio": format(ratio, ".1f") + "%",
                "alignment_padding_bytes": self.alignment_padding_bytes,
                "average_allocation_time_ns": self.total_allocation_time_ns / total if total > 0 else 0.0,
                "average_deallocation_time_ns":
                    self.total_deallocation_time_ns / deallocs if deallocs > 0 else 0.0,
                "allocation_mode": "lock-free C11 atomics",
            }


class LockedPointer:
    """An object slot with a version, guarded by a threading.Lock."""

    def __init__(self, value=None):
        self._lock = threading.Lock()
        self._value = value
        self._version = 0

    def load(self):
        with self._lock:
            return self._value

    def store(self, value):
        with self._lock:
            self._value = value
            self._version += 1

    def compare_and_swap(self, expected, new_value):
        with self._lock:
            if self._value is expected:
                self._value = new_value
                self._version += 1
                return True
            return False


class LockedStack:
    """A list used as a stack, guarded by a threading.Lock; the size is read without it."""

    def __init__(self):
        self._lock = threading.Lock()
        self._items = []

    def push(self, item):
        with self._lock:
            self._items.append(item)

    def pop(self):
        with self._lock:
            if self._items:
                return self._items.pop()
            return None

    def size(self):
        return len(self._items)


def register(suite):
    from quarvel.bench._floor import Floor
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
              floor="f.dict0()", ns=ns, goal="under 500 ns")

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
