"""quarvel.memory.bucket_pool: size helpers, the bucket table, the slab header codec and the
allocator statistics, checked against small Python models of the same arithmetic."""

import gc
import logging
import pickle
import random
import struct
import threading
import time
import types
import weakref

import pytest

from quarvel.bench.models.bucket_pool import ModelAllocator, i32, model_align, model_bucket_size, model_can_fit
from quarvel.bench.models.bucket_pool import crc16 as py_crc16
import quarvel.memory.bucket_pool as bp
from helpers import SwitchingLock, retained_memory, run_threads

I32_MIN, I32_MAX = -(2**31), 2**31 - 1
U64_MAX = 2**64 - 1


# --- module frame -------------------------------------------------------------------------------

def test_module_names_and_loaded_line(python_subprocess):
    public = {n for n in dir(bp) if not n.startswith("_")}
    assert public == {"threading", "logging", "logger", "FastSlabHeaderOps", "FastBucketAllocator",
                      "FastStatsCollector", "fast_align_size", "fast_get_bucket_size",
                      "fast_bitmap_operations", "fast_can_fit_aligned"}
    assert bp.logger is logging.getLogger("quarvel.memory.bucket_pool")
    code = ("import logging; logging.basicConfig(level=logging.INFO, format='%(name)s|%(levelname)s|%(message)s');"
            "import quarvel.memory.bucket_pool")
    out = python_subprocess(code)
    assert out.returncode == 0, out.stderr
    assert out.stderr.splitlines() == [
        "quarvel.memory.bucket_pool|INFO|Quarvel Bucket Pool Cython module loaded - targeting 1.8-3× performance improvement"]


def test_docstrings():
    assert bp.fast_align_size.__doc__ == "Fast alignment calculation (Python interface)."
    assert bp.fast_can_fit_aligned.__doc__ == "Fast alignment check with exclusive boundary (Python interface)."
    assert bp.FastBucketAllocator.find_best_fit_bucket.__doc__ == "Find best fit bucket for allocation."
    assert bp.FastSlabHeaderOps.pack_header.__doc__ == "Pack header into bytes for storage."
    assert bp.FastStatsCollector.get_stats.__doc__ == "Get statistics dictionary."


@pytest.mark.parametrize("make", [bp.FastBucketAllocator, lambda: bp.FastSlabHeaderOps(1, 8), bp.FastStatsCollector])
def test_instances_refuse_pickling(make):
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(make())


def test_gc_participation():
    assert gc.is_tracked(bp.FastBucketAllocator()) and gc.is_tracked(bp.FastStatsCollector())
    assert not gc.is_tracked(bp.FastSlabHeaderOps(1, 8))

    class Cyclic(bp.FastBucketAllocator):
        pass
    c = Cyclic()
    c.me = c
    c.add_to_bucket(1, 8)
    ref = weakref.ref(c)
    del c
    gc.collect()
    assert ref() is None


# --- module functions ---------------------------------------------------------------------------

def test_align_size():
    assert bp.fast_align_size(13, 8) == 16
    assert bp.fast_align_size(16, 8) == 16
    assert bp.fast_align_size(size=0, alignment=1) == 0
    for bad in (0, 12, -8, I32_MIN):
        with pytest.raises(ValueError, match="^Alignment must be a power of 2$"):
            bp.fast_align_size(5, bad)
    assert bp.fast_align_size(I32_MAX, 8) == i32(I32_MAX + 7 & -8)  # wraps instead of overflowing
    assert bp.fast_align_size(13.9, 8.5) == 16                        # floats truncate


def test_get_bucket_size():
    assert [bp.fast_get_bucket_size(s) for s in (1, 8, 0, 9, -20)] == [8, 8, 0, 16, -8]
    assert bp.fast_get_bucket_size(100, 64) == 128
    assert bp.fast_get_bucket_size(size=100, step=64) == 128
    assert bp.fast_get_bucket_size(I32_MIN + 2, -1) == I32_MIN  # INT_MIN % -1 gives 0, no trap
    with pytest.raises(ZeroDivisionError, match="^integer division or modulo by zero$"):
        bp.fast_get_bucket_size(5, 0)


def test_can_fit_aligned_exclusive_end():
    assert bp.fast_can_fit_aligned(0, 64, 64, 8) is False
    assert bp.fast_can_fit_aligned(0, 64, 63, 8) is True
    assert bp.fast_can_fit_aligned(1, 64, 56, 8) is True
    assert bp.fast_can_fit_aligned(0, 0, 0, I32_MIN) is False  # alignment unchecked, still defined


def test_helpers_match_model_at_random():
    rng = random.Random(4321)
    edges = [I32_MIN, I32_MIN + 1, -65, -64, -1, 0, 1, 63, 64, I32_MAX - 1, I32_MAX]
    pick = lambda: rng.choice(edges) if rng.random() < 0.3 else rng.randint(I32_MIN, I32_MAX)
    for _ in range(3000):
        a, b, c, d = pick(), pick(), pick(), pick()
        alignment = 1 << rng.randrange(31)
        assert bp.fast_align_size(a, alignment) == model_align(a, alignment)
        if b:
            assert bp.fast_get_bucket_size(a, b) == model_bucket_size(a, b)
        assert bp.fast_can_fit_aligned(a, b, c, d) is model_can_fit(a, b, c, d)


@pytest.mark.parametrize("call", [
    lambda v: bp.fast_align_size(v, 8),
    lambda v: bp.fast_get_bucket_size(8, v),
    lambda v: bp.fast_can_fit_aligned(0, 0, 0, v),
    lambda v: bp.fast_bitmap_operations(0, v, "is_set"),
    lambda v: bp.FastBucketAllocator(v),
    lambda v: bp.FastBucketAllocator().add_to_bucket(v, 8),
    lambda v: bp.FastSlabHeaderOps(v, 8),
    lambda v: bp.FastSlabHeaderOps(1, 8).py_allocate_object_at(v),
    lambda v: bp.FastStatsCollector().py_record_allocation(8, v, True),
])
def test_int32_argument_bounds(call):
    call(I32_MIN)
    call(I32_MAX)
    call(True)
    for v in (I32_MAX + 1, I32_MIN - 1, 2**70):
        with pytest.raises(OverflowError):
            call(v)
    for v in ("8", None, b"x"):
        with pytest.raises(TypeError):
            call(v)


def test_bitmap_operations():
    op = bp.fast_bitmap_operations
    assert op(10, 1, "is_set") is True
    assert op(10, 2, "is_set") is False
    assert op(U64_MAX, 64, "is_set") is False
    assert op(0, 70, "set") == 0
    assert op(0, -1, "set") == 2**63
    assert op(0, -64, "set") == 1
    assert op(U64_MAX, 63, "clear") == 2**63 - 1
    assert op(U64_MAX, 100, "clear") == U64_MAX
    assert op(8, 0, "find_first") == 3
    assert op(0, 0, "find_first") == -1
    assert op(2**63, I32_MAX, "find_first") == 63
    assert op(bitmap=8, index=3, operation="clear") == 0
    assert op(0, 1, "".join(["s", "et"])) == 2  # equal but not the interned literal
    with pytest.raises(ValueError, match="^Unknown operation: flip$"):
        op(0, 0, "flip")
    with pytest.raises(ValueError, match="^Unknown operation: None$"):
        op(0, 0, None)
    with pytest.raises(TypeError):
        op(0, 0, 5)

    class S(str):
        pass
    with pytest.raises(TypeError):
        op(0, 0, S("set"))
    with pytest.raises(OverflowError, match="can't convert negative value to uint64_t"):
        op(-1, 0, "set")
    with pytest.raises(OverflowError):
        op(2**64, 0, "set")


def test_bitmap_operations_random():
    rng = random.Random(99)
    for _ in range(2000):
        bm = rng.getrandbits(64)
        idx = rng.randint(-200, 200)
        bit = 1 << (idx & 63)
        ok = idx < 64
        assert bp.fast_bitmap_operations(bm, idx, "is_set") is (ok and bool(bm & bit))
        assert bp.fast_bitmap_operations(bm, idx, "set") == (bm | bit if ok else bm)
        assert bp.fast_bitmap_operations(bm, idx, "clear") == (bm & ~bit if ok else bm)
        low = (bm & -bm).bit_length() - 1
        assert bp.fast_bitmap_operations(bm, idx, "find_first") == low


# --- FastBucketAllocator ------------------------------------------------------------------------

def test_allocator_basics():
    a = bp.FastBucketAllocator()
    assert a.add_to_bucket(100, 16) is True
    assert a.add_to_bucket(100, 17) is False
    assert a.add_to_bucket(100, 8192) is False
    assert a.add_to_bucket(100, 0) is False
    assert a.remove_from_bucket(9) == 100
    assert a.remove_from_bucket(16) is None
    assert a.add_to_bucket(10, 32) and a.add_to_bucket(20, 32)
    assert a.remove_from_bucket(32) == 20
    assert a.remove_from_bucket(32) == 10
    assert a.remove_from_bucket(-5) is None
    assert a.find_best_fit_bucket(5000, 8) is None


def test_best_fit_inclusive_end_and_put_back():
    a = bp.FastBucketAllocator()
    a.add_to_bucket(8, 32)
    assert a.find_best_fit_bucket(24, 16) == 8
    a.add_to_bucket(20, 32)
    assert a.find_best_fit_bucket(24, 16) is None
    assert a.remove_from_bucket(32) == 20  # left where it was
    # Fallback: own bucket empty, first larger non-empty bucket that fits wins; only the newest
    # offset of each bucket is examined.
    a.add_to_bucket(0, 64)
    a.add_to_bucket(3, 64)       # newest of 64: aligned 64, 64 + 48 > 67 -> no fit
    a.add_to_bucket(1000, 4096)
    assert a.find_best_fit_bucket(48, 64) == 1000
    assert a.find_best_fit_bucket(48, 64) is None  # 0 in bucket 64 would fit but is not the newest
    assert a.remove_from_bucket(64) == 3


def test_allocator_matches_model_at_random():
    rng = random.Random(2024)
    for params in [(8, 256, 4096), (8, 100, 300), (16, -5, 200), (3, 5000, 100), (1, 40, 30000), (-8, 256, 4096)]:
        a, m = bp.FastBucketAllocator(*params), ModelAllocator(*params)
        keys = sorted(m.buckets) or [8]
        for _ in range(1500):
            size = rng.choice(keys) if rng.random() < 0.6 else rng.randint(-10, max(params[2], 10) + 20)
            r = rng.random()
            if r < 0.45:
                off = rng.randint(-100, 10000)
                assert a.add_to_bucket(off, size) is m.add(off, size)
            elif r < 0.7:
                assert a.remove_from_bucket(size) == m.remove(size)
            else:
                alignment = 1 << rng.randrange(8)
                assert a.find_best_fit_bucket(size, alignment) == m.best_fit(size, alignment)
        for key in keys:
            got = []
            while (v := a.remove_from_bucket(key)) is not None:
                got.append(v)
            assert got == m.buckets.get(key, [])[::-1]


def test_allocator_construction_and_reinit():
    with pytest.raises(ValueError):
        bp.FastBucketAllocator(0)
    neg = bp.FastBucketAllocator(-8)
    assert neg.add_to_bucket(0, 8) is False and neg.find_best_fit_bucket(8, 8) is None
    a = bp.FastBucketAllocator(bucket_size_step=16, small_block_max=64, medium_block_max=128)
    assert a.add_to_bucket(1, 16) and a.add_to_bucket(2, 128) and not a.add_to_bucket(3, 8)
    assert a._init_buckets() is None
    assert a.remove_from_bucket(16) is None and a.remove_from_bucket(128) is None
    # A huge key range is fine: untouched buckets cost nothing.
    big = bp.FastBucketAllocator(1, 2**22, 2**23)
    assert big.add_to_bucket(7, 2**23) and big.add_to_bucket(9, 2**22 + 1)
    assert big.find_best_fit_bucket(5, 1) == 9 and big.find_best_fit_bucket(5, 1) == 7


def test_allocator_subclass_init_override():
    calls = []

    class Lazy(bp.FastBucketAllocator):
        def _init_buckets(self):
            calls.append(self)

    lz = Lazy()
    assert calls == [lz]
    assert lz.add_to_bucket(0, 8) is False  # no buckets were made
    bp.FastBucketAllocator._init_buckets(lz)
    assert lz.add_to_bucket(0, 8) is True and lz.remove_from_bucket(8) == 0

    class ZeroStep(bp.FastBucketAllocator):
        def _init_buckets(self):
            pass

    z = ZeroStep(0)  # the base table would refuse a zero step
    with pytest.raises(ZeroDivisionError):
        z.add_to_bucket(0, 8)


# --- FastSlabHeaderOps --------------------------------------------------------------------------

FRESH = bytes.fromhex("03 00 00 00 00 00 00 28 FF 00 00 00 00 00 00 00")
AFTER_ALLOC = bytes.fromhex("03 10 01 00 00 00 C0 17 FE 00 00 00 00 00 00 00")


def test_header_example_bytes():
    h = bp.FastSlabHeaderOps(3, 8)
    assert h.py_find_free_object() == 0
    assert h.py_is_object_free(7) is True and h.py_is_object_free(8) is False
    assert h.pack_header() == FRESH
    h.py_allocate_object_at(0)
    assert h.py_find_free_object() == 1
    assert h.pack_header() == AFTER_ALLOC
    h.py_deallocate_object_at(0)
    data = h.pack_header()
    assert data[1] == 0 and struct.unpack("<BBLHQ", data)[2] == 2
    assert py_crc16(b"123456789") == 0x4B37


def test_header_sizes_and_indices():
    h = bp.FastSlabHeaderOps(size_class_index=300, objects_per_slab=64)
    data = h.pack_header()
    assert data[0] == 44 and struct.unpack("<Q", data[8:])[0] == U64_MAX
    h.py_allocate_object_at(64)  # no bit, but flagged and counted
    assert struct.unpack("<BBLHQ", h.pack_header())[1:3] == (0x10, 1)
    h.py_allocate_object_at(-1)  # bit 63
    assert h.py_is_object_free(-1) is False and h.py_is_object_free(63) is False
    assert bp.FastSlabHeaderOps(0, 0).py_find_free_object() == -1
    neg = bp.FastSlabHeaderOps(-1, -3)
    assert neg.pack_header()[0] == 255 and neg.py_find_free_object() == -1
    neg.py_deallocate_object_at(2)
    assert neg.py_find_free_object() == 2
    top = struct.pack("<BBL", 1, 0, 2**32 - 1)
    h.unpack_header(top + struct.pack("<HQ", py_crc16(top), 0))
    h.py_allocate_object_at(0)  # the change counter wraps at 2**32
    assert struct.unpack("<BBLHQ", h.pack_header())[2] == 0


def test_header_matches_struct_at_random():
    rng = random.Random(7)
    for _ in range(300):
        fields = (rng.getrandbits(8), rng.getrandbits(7), rng.getrandbits(32), 0, rng.getrandbits(64))
        prefix = struct.pack("<BBL", *fields[:3])
        good = struct.pack("<BBLHQ", *fields[:3], py_crc16(prefix), fields[4])
        h = bp.FastSlabHeaderOps(rng.randint(-5, 5), rng.randint(-5, 80))
        h.unpack_header(good)
        assert h.pack_header() == good


def test_unpack_corruption_flag_and_warning(caplog):
    src = bp.FastSlabHeaderOps(5, 16)
    src.py_allocate_object_at(3)
    good = src.pack_header()
    dst = bp.FastSlabHeaderOps(1, 2)
    with caplog.at_level(logging.WARNING, logger="quarvel.memory.bucket_pool"):
        dst.unpack_header(good)
        assert dst.pack_header() == good and not caplog.records
        for pos in range(8, 16):  # the bitmap is outside the checksum
            bad = bytearray(good)
            bad[pos] ^= 0xFF
            dst.unpack_header(bytes(bad))
        assert not caplog.records
        for pos in range(8):
            bad = bytearray(good)
            bad[pos] ^= 0x01
            caplog.clear()
            dst.unpack_header(bytes(bad))
            stored = struct.unpack("<H", bad[6:8])[0]
            computed = py_crc16(bytes([bad[0], bad[1]]) + bad[2:6])
            assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
                ("WARNING", f"Header corruption detected: stored={stored:04x}, computed={computed:04x}")]
            assert dst.pack_header()[1] & 0x80
    dst.unpack_header(good)  # flags without 0x80 clear it again
    assert dst.pack_header() == good


def test_unpack_warns_through_current_module_logger(monkeypatch):
    seen = []

    class Recorder:
        def warning(self, msg):
            seen.append(msg)
    monkeypatch.setattr(bp, "logger", Recorder())
    h = bp.FastSlabHeaderOps(0, 1)
    h.unpack_header(bytes(16))
    assert seen == [f"Header corruption detected: stored=0000, computed={py_crc16(bytes(6)):04x}"]


def test_unpack_rejects_bad_data():
    h = bp.FastSlabHeaderOps(3, 8)
    for n in (0, 14, 15, 17):
        with pytest.raises(ValueError):
            h.unpack_header(bytes(n))
    for bad in (bytearray(16), memoryview(bytes(16)), "x" * 16, None):
        with pytest.raises(TypeError):
            h.unpack_header(bad)

    class B(bytes):
        pass
    with pytest.raises(TypeError):
        h.unpack_header(B(16))
    assert h.pack_header() == FRESH  # nothing changed


# --- FastStatsCollector -------------------------------------------------------------------------

def test_stats_ratios_and_padding():
    s = bp.FastStatsCollector()
    assert s.get_stats() == {"total_allocations": 0, "total_deallocations": 0, "bucketed_allocations": 0,
                             "fallback_allocations": 0, "bucketed_allocation_ratio": "0.0%",
                             "alignment_padding_bytes": 0}
    s.py_record_allocation(64, 8, True)
    s.py_record_allocation(64, -3, False)
    s.py_record_allocation(8, 0, 1)
    st = s.get_stats()
    assert list(st) == ["total_allocations", "total_deallocations", "bucketed_allocations",
                        "fallback_allocations", "bucketed_allocation_ratio", "alignment_padding_bytes"]
    assert st["bucketed_allocation_ratio"] == "66.7%" and st["alignment_padding_bytes"] == 5
    st.clear()  # the caller's own dict: the next result is whole
    s.py_record_deallocation()
    st = s.get_stats()
    assert st["bucketed_allocation_ratio"] == "66.7%" and (st["total_allocations"], st["total_deallocations"]) == (3, 1)
    s.reset_stats()
    assert s.get_stats()["total_allocations"] == 0 and s.get_stats()["bucketed_allocation_ratio"] == "0.0%"
    for bucketed in (1,) + (0,) * 7:
        s.py_record_allocation(1, 0, bucketed)
    assert s.get_stats()["bucketed_allocation_ratio"] == "12.5%"
    s.reset_stats()
    s.py_record_allocation(1, -1, True)
    assert s.get_stats()["alignment_padding_bytes"] == U64_MAX  # modulo 2**64
    assert s.get_stats()["bucketed_allocation_ratio"] == "100.0%"


def test_stats_ratio_text_matches_float_formatting():
    s = bp.FastStatsCollector()
    rng = random.Random(5)
    bucketed = total = 0
    for _ in range(4000):
        b = rng.random() < 0.7
        s.py_record_allocation(1, 0, b)
        bucketed += b
        total += 1
        assert s.get_stats()["bucketed_allocation_ratio"] == f"{bucketed / total * 100:.1f}%"


def test_stats_failed_record_counts_nothing():
    s = bp.FastStatsCollector()

    class Bad:
        def __bool__(self):
            raise RuntimeError("no truth")
    with pytest.raises(RuntimeError):
        s.py_record_allocation(1, 1, Bad())
    with pytest.raises(OverflowError):
        s.py_record_allocation(2**31, 1, True)
    with pytest.raises(TypeError):
        s.py_record_allocation(1, 1)
    assert s.get_stats()["total_allocations"] == 0


# --- locks, callbacks and threads -----------------------------------------------------------------

@pytest.fixture
def python_locks(monkeypatch):
    """Rebinds the module's `threading` so that new objects get SwitchingLock locks; yields the
    list of locks made."""
    made = []

    def make():
        made.append(SwitchingLock())
        return made[-1]
    monkeypatch.setattr(bp, "threading", types.SimpleNamespace(Lock=make))
    yield made


def test_locks_made_by_module_threading_at_construction(python_locks):
    a, s = bp.FastBucketAllocator(), bp.FastStatsCollector()
    assert len(python_locks) == 2
    a_lock, s_lock = python_locks
    assert a.add_to_bucket(0, 8) and a.find_best_fit_bucket(8, 8) == 0 and a.remove_from_bucket(8) is None
    assert not a.add_to_bucket(1, 9)  # not a bucket size: decided without the lock
    s.py_record_allocation(8, 0, True)
    s.py_record_deallocation()
    s.get_stats()
    s.reset_stats()
    assert (a_lock.acquired, a_lock.released) == (3, 3) and a_lock.holder is None
    assert (s_lock.acquired, s_lock.released) == (4, 4) and s_lock.holder is None


def test_half_made_objects_are_hidden_from_the_collector(monkeypatch):
    # The substituted factory runs while an object is made, before it has its lock.
    seen = []

    def probing_lock():
        seen.extend(o for o in gc.get_objects() if isinstance(o, (bp.FastBucketAllocator, bp.FastStatsCollector)))
        return SwitchingLock()
    monkeypatch.setattr(bp, "threading", types.SimpleNamespace(Lock=probing_lock))
    for cls in (bp.FastBucketAllocator, bp.FastStatsCollector):
        seen.clear()
        made = cls()
        assert all(o is not made for o in seen) and gc.is_tracked(made)


def test_failing_lock_changes_nothing_and_leaves_no_owner(monkeypatch):
    class Flaky:
        def __init__(self):
            self._lock = threading.Lock()
            self.fail_acquire = self.fail_release = False

        def acquire(self):
            if self.fail_acquire:
                raise KeyError("acquire")
            return self._lock.acquire()

        def release(self):
            self._lock.release()
            if self.fail_release:
                raise KeyError("release")

        __enter__ = acquire

        def __exit__(self, *exc):
            self.release()
    made = []
    monkeypatch.setattr(bp, "threading", types.SimpleNamespace(Lock=lambda: made.append(Flaky()) or made[-1]))
    a, s = bp.FastBucketAllocator(), bp.FastStatsCollector()
    a.add_to_bucket(1, 8)
    s.py_record_allocation(8, 1, True)
    # Acquiring fails: nothing changes, and the next call is not taken for a re-entry.
    for lock in made:
        lock.fail_acquire = True
    for call in (lambda: a.add_to_bucket(2, 8), lambda: a.remove_from_bucket(8), lambda: a.find_best_fit_bucket(8, 8),
                 lambda: s.py_record_allocation(8, 1, False), s.py_record_deallocation, s.get_stats, s.reset_stats):
        with pytest.raises(KeyError, match="acquire"):
            call()
    for lock in made:
        lock.fail_acquire = False
    assert s.get_stats()["total_allocations"] == 1 and s.get_stats()["total_deallocations"] == 0
    assert a.remove_from_bucket(8) == 1 and a.remove_from_bucket(8) is None
    # Releasing fails (after letting go): the error propagates as from a `with` block and the
    # object is free for the next call.
    for lock in made:
        lock.fail_release = True
    with pytest.raises(KeyError, match="release"):
        a.add_to_bucket(3, 8)
    with pytest.raises(KeyError, match="release"):
        s.py_record_deallocation()
    for lock in made:
        lock.fail_release = False
    assert a.remove_from_bucket(8) == 3
    assert s.get_stats()["total_deallocations"] == 1


def finishes(body):
    """Runs `body` on a daemon thread; False if it never returns (a thread waiting for itself)."""
    errors = []
    th = threading.Thread(target=lambda: errors.extend(_call_collecting(body)), daemon=True)
    th.start()
    th.join(60)
    if errors:
        raise errors[0]
    return not th.is_alive()


def _call_collecting(body):
    try:
        body()
    except BaseException as e:
        return [e]
    return []


def test_callbacks_reach_the_same_object_again():
    a, s, h = bp.FastBucketAllocator(), bp.FastStatsCollector(), bp.FastSlabHeaderOps(3, 8)

    class Reentrant:
        """An integer argument whose conversion uses the object it is passed to."""

        def __init__(self, value, hook):
            self.value, self.hook = value, hook

        def __index__(self):
            self.hook()
            return self.value

    seen = []

    class Handler(logging.Handler):
        def emit(self, record):
            seen.append((a.add_to_bucket(96, 32), s.get_stats()["total_allocations"], h.pack_header()[1] & 0x80))

    def body():
        assert a.add_to_bucket(Reentrant(16, lambda: a.add_to_bucket(8, 16)), 16)
        assert a.remove_from_bucket(Reentrant(16, lambda: a.find_best_fit_bucket(4096, 8))) == 16
        assert a.find_best_fit_bucket(Reentrant(16, lambda: a.remove_from_bucket(4096)), 1) == 8
        s.py_record_allocation(Reentrant(8, s.get_stats), Reentrant(2, s.reset_stats), True)
        assert s.get_stats()["alignment_padding_bytes"] == 2
        handler = Handler()
        bp.logger.addHandler(handler)
        try:
            h.unpack_header(bytes(16))  # checksum 0 is wrong for six zero bytes
        finally:
            bp.logger.removeHandler(handler)

    assert finishes(body)
    assert seen == [(True, 1, 0x80)]
    assert a.remove_from_bucket(32) == 96


def test_cycle_through_the_lock_is_collected(python_locks):
    class Sentinel:
        pass
    for make in (bp.FastBucketAllocator, bp.FastStatsCollector):
        obj = make()
        python_locks[-1].owner, python_locks[-1].sentinel = obj, Sentinel()  # lock -> object -> lock
        ref = weakref.ref(python_locks.pop().sentinel)
        SwitchingLock.made.clear()
        del obj
        gc.collect()
        assert ref() is None


@pytest.mark.parametrize("locks", ["real", "switching"])
def test_allocator_threads(request, locks):
    """Threads add and take offsets of one allocator: with the real lock every offset comes out
    exactly once; through a lock that switches threads, with one thread re-running __init__ (which
    drops what the buckets hold), none comes out twice or without having gone in."""
    switching = locks == "switching"
    python_locks = request.getfixturevalue("python_locks") if switching else None
    a = bp.FastBucketAllocator()
    sizes = [8, 64, 256, 264, 4096]
    n_threads, per_thread = 4, 400 if switching else 3000
    taken = [[] for _ in range(n_threads)]

    def worker(t):
        rng = random.Random(t)
        for i in range(per_thread):
            off = t * per_thread + i
            assert a.add_to_bucket(off, rng.choice(sizes))
            got = a.remove_from_bucket(rng.choice(sizes)) if i % 2 else a.find_best_fit_bucket(rng.choice(sizes), 8)
            if got is not None:
                taken[t].append(got)
            if switching and t == 0 and i % 100 == 99:
                a.__init__()

    run_threads([lambda t=t: worker(t) for t in range(n_threads)])
    rest = []
    for size in sizes:
        while (v := a.remove_from_bucket(size)) is not None:
            rest.append(v)
    out = sum(taken, []) + rest
    if switching:
        assert len(out) == len(set(out)) and set(out) <= set(range(n_threads * per_thread))
        lock = python_locks[0]
        assert lock.holder is None and lock.acquired == lock.released and lock.contended
    else:
        assert sorted(out) == list(range(n_threads * per_thread))


@pytest.mark.parametrize("locks", ["real", "switching"])
def test_stats_threads_exact_totals(request, locks):
    python_locks = request.getfixturevalue("python_locks") if locks == "switching" else None
    s = bp.FastStatsCollector()
    n_threads, per_thread = 4, 1500 if locks == "real" else 300
    bad = []

    def worker(t):
        for i in range(per_thread):
            s.py_record_allocation(8, 1 if i % 2 else -1, (i + t) % 3 == 0)
            if i % 3 == 0:
                s.py_record_deallocation()
            if i % 25 == 0:
                st = s.get_stats()
                if st["total_allocations"] != st["bucketed_allocations"] + st["fallback_allocations"]:
                    bad.append(st)
                s.__init__()

    run_threads([lambda t=t: worker(t) for t in range(n_threads)])
    st = s.get_stats()
    assert not bad
    bucketed = sum((i + t) % 3 == 0 for t in range(n_threads) for i in range(per_thread))
    assert st["total_allocations"] == n_threads * per_thread
    assert st["bucketed_allocations"] == bucketed and st["fallback_allocations"] == n_threads * per_thread - bucketed
    assert st["alignment_padding_bytes"] == 0
    assert st["total_deallocations"] == n_threads * len(range(0, per_thread, 3))
    if python_locks:
        lock = python_locks[0]
        assert lock.holder is None and lock.acquired == lock.released and lock.contended


# --- ownership ----------------------------------------------------------------------------------

def test_no_leaks_on_hot_paths():
    a = bp.FastBucketAllocator()
    h = bp.FastSlabHeaderOps(3, 8)
    s = bp.FastStatsCollector()
    data = h.pack_header()
    bad = data[:2] + b"\xff" + data[3:]

    def run(n):
        for i in range(n):
            h.unpack_header(bad)  # corrupt: formats and hands a warning to the (disabled) logger
            for call in (lambda: a.add_to_bucket(2**40, 8), lambda: h.unpack_header(data[:5]),
                         lambda: s.py_record_allocation(1, "x", True)):
                try:
                    call()
                except (OverflowError, ValueError, TypeError):
                    pass
            a.add_to_bucket(i, 64)
            a.find_best_fit_bucket(60, 8)
            a.remove_from_bucket(1 << 20)
            h.unpack_header(data)
            h.pack_header()
            s.py_record_allocation(i & 0xFFFF, 1, True)
            s.get_stats()
            bp.fast_bitmap_operations(i, 3, "set")
            try:
                bp.fast_bitmap_operations(i, 3, "nope")
            except ValueError:
                pass

    bp.logger.disabled = True
    try:
        grown = retained_memory(lambda: run(20000), warmup=lambda: run(1000), unit="blocks")
    finally:
        bp.logger.disabled = False
    assert grown < 100
