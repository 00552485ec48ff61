"""Benchmark rows for quarvel.memory.bucket_pool.

The pure-Python equivalents (quarvel.bench.models.bucket_pool) are the natural ones: the helpers as
plain functions, the bucket table as a dict of lists under a threading.Lock whose fallback scans the
sorted keys, the slab header packed with struct and checked with a table-driven CRC-16, the
statistics as counters under a threading.Lock. With the bench extra installed, the header is also
timed against struct plus a native CRC-16 (fastcrc's CRC-16/MODBUS, checked to give our checksums).
"""

import random


def _check_same_crc(bp, m, crc):
    """The peer CRC must be the slab header's own CRC-16 variant: same checksums on the same bytes, and
    the same header bytes as the native codec, or its rows would time a different computation."""
    rng = random.Random(16)
    for data in [b"", b"123456789", bytes(6), bytes(range(256))] + [rng.randbytes(rng.randrange(1, 40))
                                                                   for _ in range(50)]:
        if crc(data) != m.crc16(data):
            raise AssertionError(f"peer CRC-16 differs on {data!r}: {crc(data):#06x} != {m.crc16(data):#06x}")
    for size_class, objects, allocs in [(3, 8, 0), (3, 8, 5), (255, 64, 63), (0, 1, 1), (17, 40, 1000)]:
        h, ph = bp.FastSlabHeaderOps(size_class, objects), m.PySlabHeader(size_class, objects, crc=crc)
        for k in range(allocs):
            h.py_allocate_object_at(k % 64)
            ph.py_allocate_object_at(k % 64)
        if h.pack_header() != ph.pack_header():
            raise AssertionError(f"struct + peer CRC header differs: {h.pack_header()!r} != {ph.pack_header()!r}")


def register(suite):
    from quarvel.bench import _floor
    from quarvel.bench._floor import Floor
    from quarvel.bench.models import bucket_pool as m
    from quarvel.memory import bucket_pool as bp

    g = "bucket_pool"
    bm = 0x0123_4567_89AB_CDEF
    stats = {"total_allocations": 10**6, "total_deallocations": 10**6, "bucketed_allocations": 10**6,
             "fallback_allocations": 1000, "bucketed_allocation_ratio": "99.9%", "alignment_padding_bytes": 10**7}
    f = Floor(value=bm, obj=b"\0" * 16, dict=stats)
    _floor.set_value(bm, 1.5, None)
    ns = {"bp": bp, "f": f, "fl": _floor, "bm": bm,
          "py_align_size": m.model_align, "py_get_bucket_size": m.model_bucket_size,
          "py_bitmap_operations": m.bitmap_operations, "py_can_fit_aligned": m.model_can_fit}

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
    ns_a = {"a": bp.FastBucketAllocator(), "p": m.LockedAllocator(), "f": f}
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
              floor="f.locked_int2(16, 8); f.locked_bool2(5000, 4096)", floor_label="locked floor", ns=ns_a)
    big = bp.FastBucketAllocator(8, 256, 8 << 20)  # about a million buckets
    big.add_to_bucket(5000, 8 << 20)
    suite.row(g, "add + find_best_fit_bucket (scan, 1M buckets)",
              "big.find_best_fit_bucket(16, 8); big.add_to_bucket(5000, 8 << 20)",
              floor="f.locked_int2(16, 8); f.locked_bool2(5000, 4096)", floor_label="locked floor",
              ns={"big": big, "f": f}, goal='<=1.3x row "add + find_best_fit_bucket (scan, 512 buckets)"')
    suite.row(g, "find_best_fit_bucket (no fit, 512 buckets)", "a.find_best_fit_bucket(4000, 4096)",
              python="p.find_best_fit_bucket(4000, 4096)", floor="f.locked_none2(4000, 4096)",
              floor_label="locked floor", ns=ns_a)

    # Slab header.
    h = bp.FastSlabHeaderOps(3, 8)
    ph = m.PySlabHeader(3, 8)
    data = h.pack_header()
    ns_h = {"h": h, "ph": ph, "data": data, "f": f}
    suite.row(g, "FastSlabHeaderOps.pack_header()", "h.pack_header()", python="ph.pack_header()",
              floor="f.obj0()", ns=ns_h, goal=">=5x python")
    suite.row(g, "FastSlabHeaderOps.unpack_header(data)", "h.unpack_header(data)", python="ph.unpack_header(data)",
              floor="f.none1(data)", ns=ns_h, goal=">=5x python")
    fastcrc = suite.peer(g, "fastcrc", "slab header rows against struct + a native CRC-16")
    if fastcrc is not None:
        crc = fastcrc.crc16.modbus
        _check_same_crc(bp, m, crc)
        ns_c = dict(ns_h, pc=m.PySlabHeader(3, 8, crc=crc))
        peer = dict(python_label="struct+fastcrc", ns=ns_c, goal=">1x struct+fastcrc")
        suite.row(g, "pack_header() vs struct + fastcrc", "h.pack_header()", python="pc.pack_header()",
                  floor="f.obj0()", **peer)
        suite.row(g, "unpack_header(data) vs struct + fastcrc", "h.unpack_header(data)",
                  python="pc.unpack_header(data)", floor="f.none1(data)", **peer)
    suite.row(g, "FastSlabHeaderOps.py_is_object_free(3)", "h.py_is_object_free(3)", python="ph.py_is_object_free(3)",
              floor="f.bool1(3)", ns=ns_h, goal="<=1.5x floor")
    suite.row(g, "FastSlabHeaderOps.py_find_free_object()", "h.py_find_free_object()",
              python="ph.py_find_free_object()", floor="f.int0()", ns=ns_h, goal="<=1.5x floor")
    suite.row(g, "FastSlabHeaderOps.py_allocate_object_at(3)", "h.py_allocate_object_at(3)",
              python="ph.py_allocate_object_at(3)", floor="f.none1(3)", ns=ns_h, goal="<=1.5x floor")

    # Statistics.
    s = bp.FastStatsCollector()
    ps = m.PyStatsCollector()
    for o in (s, ps):
        o.py_record_allocation(64, 8, True)
    ns_s = {"s": s, "ps": ps, "f": f}
    suite.row(g, "FastStatsCollector.py_record_allocation(64, 8, True)", "s.py_record_allocation(64, 8, True)",
              python="ps.py_record_allocation(64, 8, True)", floor="f.locked_none3(64, 8, True)",
              floor_label="locked floor", ns=ns_s)
    suite.row(g, "FastStatsCollector.get_stats()", "s.get_stats()", python="ps.get_stats()",
              floor="f.locked_dict0()", floor_label="locked floor", ns=ns_s)
