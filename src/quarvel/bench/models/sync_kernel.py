"""Pure-Python equivalents of quarvel.memory.sync_kernel for the benchmark: an int, statistics, an object
slot and a stack, each guarded by a threading.Lock."""

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
