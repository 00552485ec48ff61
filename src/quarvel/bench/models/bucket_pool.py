"""quarvel.memory.bucket_pool in plain Python: the models the tests compare the module with (the
helpers' 32-bit wrap-around included) and the pure-Python equivalents the benchmark times: the bucket
table as a dict of lists (under a threading.Lock in the benchmark's version), the slab header packed
with struct and checked with a table-driven CRC-16/MODBUS, the statistics as counters under a lock."""

import struct
import threading


def i32(v):
    """Wrap to signed 32-bit two's complement."""
    v &= 0xFFFFFFFF
    return v - (1 << 32) if v & 0x80000000 else v


def trunc_rem(a, b):
    if b == -1:
        return 0
    r = abs(a) % abs(b)
    return -r if a < 0 else r


def model_align(size, alignment):
    if alignment <= 0 or alignment & (alignment - 1):
        raise ValueError("Alignment must be a power of 2")
    return i32((size + alignment - 1) & -alignment)


def model_bucket_size(size, step=8):
    return i32(size + step - trunc_rem(i32(size + step - 1), step) - 1)


def model_can_fit(off, bsize, asize, alignment):
    return i32(i32((off + alignment - 1) & -alignment) + asize) < i32(off + bsize)


def model_fits(off, bs, size, alignment):
    return i32(i32((off + alignment - 1) & -alignment) + size) <= i32(off + bs)


class ModelAllocator:
    """The bucket table as a dict of lists, keys scanned in sorted order."""

    def __init__(self, step=8, small=256, medium=4096):
        self.step, self.small, self.medium = step, small, medium
        self.buckets = {}
        for s in range(step, small + 1, step):
            self.buckets[s] = []
        for s in range(small + step, medium + 1, step):
            self.buckets[s] = []
        self.sorted_keys = sorted(self.buckets)  # the keys never change

    def bucket_of(self, size):
        if size > self.small and size > self.medium:
            return -1
        return model_bucket_size(size, self.step)

    def add(self, off, size):
        bs = self.bucket_of(size)
        if bs <= 0 or bs != size or bs not in self.buckets:
            return False
        self.buckets[bs].append(off)
        return True

    def remove(self, size):
        bs = self.bucket_of(size)
        if bs <= 0 or not self.buckets.get(bs):
            return None
        return self.buckets[bs].pop()

    def best_fit(self, size, alignment):
        bs = self.bucket_of(size)
        if bs <= 0:
            return None
        own = self.buckets.get(bs)
        if own and model_fits(own[-1], bs, size, alignment):
            return own.pop()
        for key in self.sorted_keys:
            lst = self.buckets[key]
            if key > bs and lst and model_fits(lst[-1], key, size, alignment):
                return lst.pop()
        return None


class LockedAllocator(ModelAllocator):
    """The model under a threading.Lock, with the native class's method names."""

    def __init__(self, bucket_size_step=8, small_block_max=256, medium_block_max=4096):
        super().__init__(bucket_size_step, small_block_max, medium_block_max)
        self.lock = threading.Lock()

    def add_to_bucket(self, offset, size):
        with self.lock:
            return self.add(offset, size)

    def remove_from_bucket(self, size):
        with self.lock:
            return self.remove(size)

    def find_best_fit_bucket(self, size, alignment):
        with self.lock:
            return self.best_fit(size, alignment)


def bitmap_operations(bitmap, index, operation):
    if operation == "is_set":
        return index < 64 and bool(bitmap >> (index & 63) & 1)
    if operation == "set":
        return bitmap | (1 << (index & 63)) if index < 64 else bitmap
    if operation == "clear":
        return bitmap & ~(1 << (index & 63)) if index < 64 else bitmap
    if operation == "find_first":
        return (bitmap & -bitmap).bit_length() - 1
    raise ValueError(f"Unknown operation: {operation}")


# --- slab header ---------------------------------------------------------------------------------

def _crc_table():
    table = []
    for i in range(256):
        crc = i
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
        table.append(crc)
    return table


CRC_TABLE = _crc_table()
HEADER = struct.Struct("<BBLHQ")
PREFIX = struct.Struct("<BBL")


def crc16(data, table=CRC_TABLE):
    crc = 0xFFFF
    for b in data:
        crc = (crc >> 8) ^ table[(crc ^ b) & 0xFF]
    return crc


class PySlabHeader:
    def __init__(self, size_class_index, objects_per_slab, crc=crc16):
        self.size_class_index = size_class_index & 0xFF
        self.flags = 0
        self.change_count = 0
        self.checksum = 0
        self.objects_per_slab = objects_per_slab
        self.free_bitmap = (1 << min(objects_per_slab, 64)) - 1 if objects_per_slab >= 0 else 0
        self.crc = crc

    def pack_header(self):
        self.checksum = self.crc(PREFIX.pack(self.size_class_index, self.flags, self.change_count))
        return HEADER.pack(self.size_class_index, self.flags, self.change_count, self.checksum, self.free_bitmap)

    def unpack_header(self, data):
        if len(data) != 16:
            raise ValueError("Invalid header size")
        self.size_class_index, self.flags, self.change_count, stored, self.free_bitmap = HEADER.unpack(data)
        computed = self.crc(PREFIX.pack(self.size_class_index, self.flags, self.change_count))
        if stored != computed:
            self.flags |= 0x80

    def py_is_object_free(self, i):
        return i < 64 and bool(self.free_bitmap >> (i & 63) & 1)

    def py_find_free_object(self):
        return (self.free_bitmap & -self.free_bitmap).bit_length() - 1

    def py_allocate_object_at(self, i):
        if i < 64:
            self.free_bitmap &= ~(1 << (i & 63))
        self.flags |= 0x10
        self.change_count = (self.change_count + 1) & 0xFFFFFFFF


# --- statistics -----------------------------------------------------------------------------------

class PyStatsCollector:
    def __init__(self):
        self.total_allocations = self.total_deallocations = 0
        self.bucketed_allocations = self.fallback_allocations = self.alignment_padding_bytes = 0
        self.lock = threading.Lock()

    def py_record_allocation(self, size, padding, is_bucketed):
        with self.lock:
            self.total_allocations += 1
            self.alignment_padding_bytes += padding
            if is_bucketed:
                self.bucketed_allocations += 1
            else:
                self.fallback_allocations += 1

    def get_stats(self):
        with self.lock:
            total = self.total_allocations
            ratio = self.bucketed_allocations / total * 100 if total > 0 else 0
            return {"total_allocations": total, "total_deallocations": self.total_deallocations,
                    "bucketed_allocations": self.bucketed_allocations,
                    "fallback_allocations": self.fallback_allocations,
                    "bucketed_allocation_ratio": f"{ratio:.1f}%",
                    "alignment_padding_bytes": self.alignment_padding_bytes}
