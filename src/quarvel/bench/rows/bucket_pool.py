"""Benchmark rows for quarvel.memory.bucket_pool.

The pure-Python equivalents are the natural ones: the helpers as plain functions, the bucket
table as a dict of lists under a threading.Lock whose fallback scans the sorted keys, the slab
header packed with struct and checked with a table-driven CRC-16, the statistics as counters
under a threading.Lock. When crcmod is installed, the header is also timed against struct plus
that native CRC-16.
"""

from __future__ import annotations

import struct
import threading


# --- helpers --------------------------------------------------------------------------------------

def py_align_size(size, alignment):
    if alignment <= 0 or alignment & (alignment - 1):
        raise ValueError("Alignment must be a power of 2")
    return (size + alignment - 1) & -alignment


def py_get_bucket_size(size, step=8):
    return size + step - ((size + step - 1) % step) - 1


def py_can_fit_aligned(block_offset, block_size, alloc_size, alignment):
    aligned = (block_offset + alignment - 1) & -alignment
    return aligned + alloc_size < block_offset + block_size


def py_bitmap_operations(bitmap, index, operation):
    if operation == "is_set":
        return index < 64 and bool(bitmap >> (index & 63) & 1)
    if operation == "set":
        return bitmap | (1 << (index & 63)) if index < 64 else bitmap
    if operation == "clear":
        return bitmap & ~(1 << (index & 63)) if index < 64 else bitmap
    if operation == "find_first":
        return (bitmap & -bitmap).bit_length() - 1
    raise ValueError(f"Unknown operation: {operation}")


# --- bucket table ---------------------------------------------------------------------------------

class PyBucketAllocator:
    def __init__(self, bucket_size_step=8, small_block_max=256, medium_block_max=4096):
        self.step, self.small, self.medium = bucket_size_step, small_block_max, medium_block_max
        self.buckets = {}
        self.lock = threading.Lock()
        for s in range(bucket_size_step, small_block_max + 1, bucket_size_step):
            self.buckets[s] = []
        for s in range(small_block_max + bucket_size_step, medium_block_max + 1, bucket_size_step):
            self.buckets[s] = []

    def _bucket(self, size):
        if size > self.small and size > self.medium:
            return -1
        return size + self.step - ((size + self.step - 1) % self.step) - 1

    def add_to_bucket(self, offset, size):
        bs = self._bucket(size)
        if bs <= 0 or bs != size:
            return False
        with self.lock:
            lst = self.buckets.get(bs)
            if lst is None:
                return False
            lst.append(offset)
            return True

    def remove_from_bucket(self, size):
        bs = self._bucket(size)
        if bs <= 0:
            return None
        with self.lock:
            lst = self.buckets.get(bs)
            if lst:
                return lst.pop()
            return None

    def find_best_fit_bucket(self, size, alignment):
        bs = self._bucket(size)
        if bs <= 0:
            return None
        with self.lock:
            lst = self.buckets.get(bs)
            if lst:
                off = lst.pop()
                if ((off + alignment - 1) & -alignment) + size <= off + bs:
                    return off
                lst.append(off)
            for key in sorted(self.buckets):
                if key > bs:
                    lst = self.buckets[key]
                    if lst:
                        off = lst.pop()
                        if ((off + alignment - 1) & -alignment) + size <= off + key:
                            return off
                        lst.append(off)
            return None


# --- slab header ----------------------------------------------------------------------------------

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


def py_crc16(data, table=CRC_TABLE):
    crc = 0xFFFF
    for b in data:
        crc = (crc >> 8) ^ table[(crc ^ b) & 0xFF]
    return crc


class PySlabHeader:
    def __init__(self, size_class_index, objects_per_slab, crc=py_crc16):
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


def register(suite):
    from quarvel.bench import _floor
    from quarvel.bench._floor import Floor
    from quarvel.memory import bucket_pool as bp

    g = "bucket_pool"
    bm = 0x0123_4567_89AB_CDEF
    stats = {"total_allocations": 10**6, "total_deallocations": 10**6, "bucketed_allocations": 10**6,
             "fallback_allocations": 1000, "bucketed_allocation_ratio": "99.9%", "alignment_padding_bytes": 10**7}
    f = Floor(value=bm, obj=b"\0" * 16, dict=stats)
    _floor.set_value(bm, 1.5, None)
    ns = {"bp": bp, "f": f, "fl": _floor, "bm": bm,
          "py_align_size": py_align_size, "py_get_bucket_size": py_get_bucket_size,
          "py_bitmap_operations": py_bitmap_operations, "py_can_fit_aligned": py_can_fit_aligned}

    # Module helpers against the module-level floors of the same arity.
    suite.row(g, "fast_align_size(13, 8)", "bp.fast_align_size(13, 8)", python="py_align_size(13, 8)",
              floor="fl.fn_int2(13, 8)", ns=ns, goal="<=1.5x floor")
    suite.row(g, "fast_get_bucket_size(100, 64)", "bp.fast_get_bucket_size(100, 64)",
              python="py_get_bucket_size(100, 64)", floor="fl.fn_int2(100, 64)", ns=ns, goal="<=1.5x floor")
    suite.row(g, "fast_get_bucket_size(100) (default step)", "bp.fast_get_bucket_size(100)",
              python="py_get_bucket_size(100)", floor="fl.fn_int1(100)", ns=ns, goal="<=1.5x floor")
    suite.row(g, "fast_can_fit_aligned(1, 64, 56, 8)", "bp.fast_can_fit_aligned(1, 64, 56, 8)",
              python="py_can_fit_aligned(1, 64, 56, 8)", floor="fl.fn_bool4(1, 64, 56, 8)", ns=ns,
              goal="<=1.5x floor")
    suite.row(g, "fast_bitmap_operations(bm, 5, 'set')", "bp.fast_bitmap_operations(bm, 5, 'set')",
              python="py_bitmap_operations(bm, 5, 'set')", floor="fl.fn_int3(bm, 5, 'set')", ns=ns,
              goal="<=1.5x floor")
    suite.row(g, "fast_bitmap_operations(bm, 5, 'is_set')", "bp.fast_bitmap_operations(bm, 5, 'is_set')",
              python="py_bitmap_operations(bm, 5, 'is_set')", floor="fl.fn_bool3(bm, 5, 'is_set')", ns=ns,
              goal="<=1.5x floor")
    suite.row(g, "fast_bitmap_operations(bm, 0, 'find_first')", "bp.fast_bitmap_operations(bm, 0, 'find_first')",
              python="py_bitmap_operations(bm, 0, 'find_first')", floor="fl.fn_int3(bm, 0, 'find_first')", ns=ns,
              goal="<=1.5x floor")

    # Bucket table: each statement puts one offset in and takes it out again, so the state is
    # the same before and after; the floor is the same two calls of a no-op under a lock.
    ns_a = {"a": bp.FastBucketAllocator(), "p": PyBucketAllocator(), "f": f}
    for o in (ns_a["a"], ns_a["p"]):
        o.add_to_bucket(5000, 4096)  # something to find in the largest bucket
    suite.row(g, "add_to_bucket + remove_from_bucket", "a.add_to_bucket(70000, 64); a.remove_from_bucket(64)",
              python="p.add_to_bucket(70000, 64); p.remove_from_bucket(64)",
              floor="f.locked_bool2(70000, 64); f.locked_int1(64)", floor_label="locked floor", ns=ns_a,
              goal="<=1.5x locked floor")
    suite.row(g, "add_to_bucket + find_best_fit_bucket (own)", "a.add_to_bucket(70000, 64); a.find_best_fit_bucket(60, 8)",
              python="p.add_to_bucket(70000, 64); p.find_best_fit_bucket(60, 8)",
              floor="f.locked_bool2(70000, 64); f.locked_int2(60, 8)", floor_label="locked floor", ns=ns_a)
    suite.row(g, "add + find_best_fit_bucket (scan, 512 buckets)",
              "a.find_best_fit_bucket(16, 8); a.add_to_bucket(5000, 4096)",
              python="p.find_best_fit_bucket(16, 8); p.add_to_bucket(5000, 4096)",
              floor="f.locked_int2(16, 8); f.locked_bool2(5000, 4096)", floor_label="locked floor", ns=ns_a,
              goal="same as 1M buckets")
    big = bp.FastBucketAllocator(8, 256, 8 << 20)  # about a million buckets
    big.add_to_bucket(5000, 8 << 20)
    suite.row(g, "add + find_best_fit_bucket (scan, 1M buckets)",
              "big.find_best_fit_bucket(16, 8); big.add_to_bucket(5000, 8 << 20)",
              floor="f.locked_int2(16, 8); f.locked_bool2(5000, 4096)", floor_label="locked floor",
              ns={"big": big, "f": f}, goal="same as 512 buckets")
    suite.row(g, "find_best_fit_bucket (no fit, 512 buckets)", "a.find_best_fit_bucket(4000, 4096)",
              python="p.find_best_fit_bucket(4000, 4096)", floor="f.locked_none2(4000, 4096)",
              floor_label="locked floor", ns=ns_a)

    # Slab header.
    h = bp.FastSlabHeaderOps(3, 8)
    ph = PySlabHeader(3, 8)
    data = h.pack_header()
    ns_h = {"h": h, "ph": ph, "data": data, "f": f}
    suite.row(g, "FastSlabHeaderOps.pack_header()", "h.pack_header()", python="ph.pack_header()",
              floor="f.obj0()", ns=ns_h, goal=">=5x python")
    suite.row(g, "FastSlabHeaderOps.unpack_header(data)", "h.unpack_header(data)", python="ph.unpack_header(data)",
              floor="f.none1(data)", ns=ns_h, goal=">=5x python")
    try:
        import crcmod.predefined
    except ImportError:
        pass
    else:
        ns_c = dict(ns_h, pc=PySlabHeader(3, 8, crc=crcmod.predefined.mkCrcFun("modbus")))
        suite.row(g, "pack_header() vs struct + crcmod", "h.pack_header()", python="pc.pack_header()",
                  floor="f.obj0()", ns=ns_c)
        suite.row(g, "unpack_header(data) vs struct + crcmod", "h.unpack_header(data)",
                  python="pc.unpack_header(data)", floor="f.none1(data)", ns=ns_c)
    suite.row(g, "FastSlabHeaderOps.py_is_object_free(3)", "h.py_is_object_free(3)", python="ph.py_is_object_free(3)",
              floor="f.bool1(3)", ns=ns_h, goal="<=1.5x floor")
    suite.row(g, "FastSlabHeaderOps.py_find_free_object()", "h.py_find_free_object()",
              python="ph.py_find_free_object()", floor="f.int0()", ns=ns_h, goal="<=1.5x floor")
    suite.row(g, "FastSlabHeaderOps.py_allocate_object_at(3)", "h.py_allocate_object_at(3)",
              python="ph.py_allocate_object_at(3)", floor="f.none1(3)", ns=ns_h, goal="<=1.5x floor")

    # Statistics.
    s = bp.FastStatsCollector()
    ps = PyStatsCollector()
    for o in (s, ps):
        o.py_record_allocation(64, 8, True)
    ns_s = {"s": s, "ps": ps, "f": f}
    suite.row(g, "FastStatsCollector.py_record_allocation(64, 8, True)", "s.py_record_allocation(64, 8, True)",
              python="ps.py_record_allocation(64, 8, True)", floor="f.locked_none3(64, 8, True)",
              floor_label="locked floor", ns=ns_s)
    suite.row(g, "FastStatsCollector.get_stats()", "s.get_stats()", python="ps.get_stats()",
              floor="f.locked_dict0()", floor_label="locked floor", ns=ns_s)
