"""Tests of quarvel.gpu.device_fit: the planner's results on hand-picked cases, a randomized
comparison with a pure-Python transcription of the rules, argument handling and the module frame.
The C++ core alone (saturation edges, the number formatter) is checked by test_cores.py."""

import math
import random
import sys
import textwrap
import threading

import pytest

from quarvel.bench.models.device_fit import CHUNKABLE, NOT_CHUNKABLE
from quarvel.bench.models.device_fit import calculate_memory_pressure as ref_pressure
from quarvel.bench.models.device_fit import calculate_optimal_chunks as ref_optimal_chunks
from quarvel.bench.models.device_fit import calculate_safe_limit as ref_safe_limit
from quarvel.bench.models.device_fit import compute_chunk_shapes as ref_chunk_shapes
from quarvel.bench.models.device_fit import decide_allocation_strategy as ref_strategy
from quarvel.bench.models.device_fit import estimate_allocation_bytes as ref_estimate
from quarvel.bench.models.device_fit import is_oom_error as ref_is_oom
from quarvel.bench.models.device_fit import recommend_headroom as ref_headroom
from quarvel.bench.models.device_fit import score_gpu_suitability as ref_suitability
from quarvel.gpu import device_fit as df

from helpers import retained_memory

U64 = 2**64 - 1
I63 = 2**63 - 1
I32 = 2**31 - 1


# ---------------------------------------------------------------------------------------------
# The native module

FUNCTIONS = ["estimate_allocation_bytes", "calculate_safe_limit", "decide_allocation_strategy",
             "compute_chunk_shapes", "calculate_optimal_chunks", "is_oom_error",
             "is_chunkable_operation", "score_gpu_suitability", "calculate_memory_pressure",
             "recommend_headroom"]


def test_load_logs_one_line_and_binds_the_documented_names(python_subprocess):
    code = textwrap.dedent("""
        import logging, sys
        records = []
        class H(logging.Handler):
            def emit(self, r):
                records.append((r.name, r.levelname, r.getMessage()))
        logging.getLogger().addHandler(H())
        logging.getLogger().setLevel(logging.DEBUG)
        import quarvel.gpu.device_fit as m
        print(records)
        print(sorted(k for k in vars(m) if not k.startswith("__")))
    """)
    out = python_subprocess(code)
    assert out.returncode == 0, out.stderr
    records, names = out.stdout.splitlines()
    assert eval(records) == [("quarvel.gpu.device_fit", "INFO",
                              "Quarvel Device Fit Cython module loaded - IP protected")]
    # the operation sets and the constant tuples stay private
    assert eval(names) == sorted(FUNCTIONS + ["logging", "logger"])
    assert df.logger.name == "quarvel.gpu.device_fit"


@pytest.mark.parametrize("available,headroom,expected", [
    (1000, 0.2, 800), (1000, -0.5, 1000), (1000, 1.5, 10), (0, 0.2, 0), (1000, 0.99, 10),
    (1000, float("nan"), 10),            # NaN is read as the most cautious headroom
    (1000, float("inf"), 10), (1000, float("-inf"), 1000),
    (U64, 0.0, U64),                     # (double)(2**64 - 1) rounds to 2**64: saturates
    (U64, 0.5, 2**63), (1, 0.0, 1), (1, 0.5, 0),
])
def test_safe_limit(available, headroom, expected):
    assert df.calculate_safe_limit(available, headroom) == expected


@pytest.mark.parametrize("args,expected", [
    (((1000, 1000), 8), 8_000_000), (((1000, 1000), 8, 1.5), 12_000_000),
    (((1000, 1000), 8, 0.5), 8_000_000), (((10, 0, 5), 4), 0), (((), 4), 4), (((), 4, 2.5), 10),
    (((I32, I32, I32), 8), I63), (((2**31 - 1,) * 2, 2**31 - 1), I63),
    (((2**20,), 2**30, 1e300), U64),      # the factor pushes past 2**64 - 1
    (((2**20,), 2**30, float("inf")), U64), (((2**20,), 2**30, float("nan")), 2**50),
    (((2**20,), 0, float("inf")), 0), (((5, -3), 4), 0), (((7,), 0), 0),
    (((3, 4.9, True), 2), 24),            # dimensions go through the integer conversion
])
def test_estimate_allocation_bytes(args, expected):
    assert df.estimate_allocation_bytes(*args) == expected


def test_estimate_allocation_bytes_rejects_bad_input():
    with pytest.raises(ValueError, match="^element_size must not be negative$"):
        df.estimate_allocation_bytes((4, 4), -1)
    with pytest.raises(TypeError, match="object of type 'NoneType' has no len()"):
        df.estimate_allocation_bytes(None, 4)
    with pytest.raises(TypeError, match=r"expected tuple, got list"):
        df.estimate_allocation_bytes([4], 4)
    with pytest.raises(OverflowError):
        df.estimate_allocation_bytes((2**31,), 4)
    with pytest.raises(TypeError, match="an integer is required"):
        df.estimate_allocation_bytes((4, "x"), 4)
    # a settled estimate stops reading dimensions, as the loop returns at once
    assert df.estimate_allocation_bytes((0, "x"), 4) == 0
    assert df.estimate_allocation_bytes((I32, I32, I32, "x"), 4) == I63


def test_allocation_strategy():
    no_mem = df.decide_allocation_strategy(100, 0, 0.2, True)
    assert no_mem == (2, 0, 1, "No GPU memory available")
    fits = df.decide_allocation_strategy(800, 1000, 0.2, False)
    assert fits == (0, 0, 1, "Allocation fits in GPU memory")
    cpu = df.decide_allocation_strategy(801, 1000, 0.2, False)
    assert cpu == (2, 0, 1, "Operation not chunkable, falling back to CPU")
    assert df.decide_allocation_strategy(2000, 1000, 0.2, True) == (1, 800, 3, "Chunking into 3 GPU passes")
    # the three fixed answers are built once and handed out as they are
    assert df.decide_allocation_strategy(5, 0, 0.0, False) is no_mem
    assert df.decide_allocation_strategy(0, 10, 0.0, True) is fits
    assert df.decide_allocation_strategy(11, 10, 0.0, []) is cpu
    assert df.decide_allocation_strategy(U64, 1, 0.0, "yes") == (1, 1, U64, f"Chunking into {U64} GPU passes")
    assert df.decide_allocation_strategy(U64, U64, 0.0, False) is fits


def test_compute_chunk_shapes():
    assert df.compute_chunk_shapes((10, 4), 4, 40) == [(2, 4)] * 5
    assert df.compute_chunk_shapes((10,), 8, 24) == [(3,), (3,), (3,), (1,)]
    assert df.compute_chunk_shapes((10, 100), 8, 10) == [(1, 100)] * 10
    empty = ()
    out = df.compute_chunk_shapes(empty, 4, 100)
    assert out == [()] and out[0] is empty
    assert df.compute_chunk_shapes((0, 5), 4, 100) == []
    assert df.compute_chunk_shapes((-3, 5), 4, 100) == []
    # the trailing items are passed through unchanged, whatever number type they are
    marker = 4.5
    shape = (7, marker, True)
    out = df.compute_chunk_shapes(shape, 2, 17)
    assert out == [(2, 4.5, True)] * 3 + [(1, 4.5, True)]
    assert all(c[1] is marker for c in out)
    # a huge limit is one chunk, rows of zero bytes are one chunk, enormous rows go one at a time
    assert df.compute_chunk_shapes((5,), 1, U64) == [(5,)]
    assert df.compute_chunk_shapes((I32,), 1, U64) == [(I32,)]
    assert df.compute_chunk_shapes((10, 0), 4, 100) == [(10, 0)]
    assert df.compute_chunk_shapes((10, 3, 0, 2**40), 4, 1) == [(10, 3, 0, 2**40)]
    assert df.compute_chunk_shapes((3, 2**32, 2**32), 8, U64) == [(1, 2**32, 2**32)] * 3


def test_compute_chunk_shapes_rejects_bad_input():
    with pytest.raises(ValueError, match="^element_size must be positive$"):
        df.compute_chunk_shapes((10,), 0, 100)
    with pytest.raises(ValueError, match="^element_size must be positive$"):
        df.compute_chunk_shapes(None, -4, 0)      # checked before the shape or the limit
    with pytest.raises(ValueError, match="^max_chunk_bytes must be positive$"):
        df.compute_chunk_shapes(None, 4, 0)
    with pytest.raises(TypeError, match="object of type 'NoneType' has no len()"):
        df.compute_chunk_shapes(None, 4, 10)
    with pytest.raises(OverflowError, match="can't convert negative value to uint64_t"):
        df.compute_chunk_shapes((10, -1), 4, 10)
    with pytest.raises(OverflowError):
        df.compute_chunk_shapes((2**31, 1), 4, 10)
    with pytest.raises(OverflowError):
        df.compute_chunk_shapes((10, 2**64), 4, 10)
    with pytest.raises(TypeError, match="an integer is required"):
        df.compute_chunk_shapes((None, 1), 4, 10)
    with pytest.raises(OverflowError, match="can't convert negative value to uint64_t"):
        df.compute_chunk_shapes((10,), 4, -1)


@pytest.mark.parametrize("args,expected", [
    ((2000, 1000, 0.2), 3), ((100, 1000, 0.2), 1), ((100, 1000, 0.2, 2), 2),
    ((10**9, 1000, 0.2), 1000), ((100, 0, 0.2), 1000), ((100, 0, 0.2, 5, 3), 3),
    ((0, 1000, 0.2), 1), ((0, 1000, 0.2, 0), 0),
    ((100, 1000, 0.2, 5, 2), 5),           # crossed bounds: the minimum wins
    ((U64, 1, 0.0), 1000), ((U64, 1, 0.0, 1, I32), I32), ((U64, 1, 0.0, 1, -7), -7),
])
def test_optimal_chunks(args, expected):
    assert df.calculate_optimal_chunks(*args) == expected


@pytest.mark.parametrize("message,type_name,expected", [
    ("CUDA Out Of Memory while allocating", "RuntimeError", True),
    ("", "cupy.cuda.memory.OutOfMemoryError", True), ("", "OUTOFMEMORYERROR", True),
    ("Allocation FAILED", "Exception", True), ("could not allocate: failed", "", True),
    ("memory", "RuntimeError", False), ("", "", False), ("failed", "MemoryError", False),
    ("cuda memory", "", True), ("Insufficient device Memory", "", True), ("GPU memory low", "", True),
    ("gpu error", "OutOfMemory", False),
    ("Ошибка: CUDA MEMORY", "", True), ("ΣGPU ΣMEMORY", "", True), ("Émoire", "ÖutOfMemory", False),
    ("\ud800 out of memory", "", True),    # lone surrogates are fine: no encoding happens
    ("ou\0t of memory", "", False),
])
def test_is_oom_error(message, type_name, expected):
    assert df.is_oom_error(message, type_name) is expected
    assert ref_is_oom(message, type_name) is expected


def test_is_oom_error_rejects_none_and_str_subclasses():
    class S(str):
        def lower(self):
            return "out of memory"
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'lower'"):
        df.is_oom_error(None, "x")
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'lower'"):
        df.is_oom_error("out of memory", None)
    with pytest.raises(TypeError, match=r"Argument 'error_message' has incorrect type \(expected str, got S\)"):
        df.is_oom_error(S("x"), "x")
    with pytest.raises(TypeError, match="Argument 'error_type'"):
        df.is_oom_error("x", b"x")


def test_operation_sets_and_suitability():
    for op in CHUNKABLE:
        assert df.is_chunkable_operation(op) is True
    for op in NOT_CHUNKABLE | {"Zeros", "zeros ", "", None, "random", "zéros", "zeros\0"}:
        assert df.is_chunkable_operation(op) is False
    with pytest.raises(TypeError, match="expected str, got int"):
        df.is_chunkable_operation(3)
    assert df.score_gpu_suitability(800, "zeros", 1000, 0.0) == pytest.approx(0.9)
    assert df.score_gpu_suitability(2000, "matmul", 1000, 0.0) == pytest.approx(0.35)
    assert df.score_gpu_suitability(400, "foo", 1000, 0.0) == pytest.approx(0.25)
    assert df.score_gpu_suitability(400, None, 0, 0.0) == 0.0
    assert df.score_gpu_suitability(0, "zeros", 1000, 0.0) == 0.0
    assert df.score_gpu_suitability(U64, "sort", 1, 0.0) == 0.7 / 2.0**64


def test_pressure_and_headroom():
    assert df.calculate_memory_pressure(5, 0) == 1.0
    assert df.calculate_memory_pressure(1500, 1000) == 1.0
    assert df.calculate_memory_pressure(250, 1000) == 0.25
    assert df.calculate_memory_pressure(0, U64) == 0.0
    cases = [((0.9,), 0.8), ((0.7,), 0.6), ((0.5,), 0.5), ((0.1,), 0.4), ((0.1, 0.35), 0.3),
             ((0.5, 0.95), 0.8), ((0.5, 0.1), 0.3), ((0.8,), 0.65), ((0.6,), 0.5), ((0.3,), 0.4),
             ((float("nan"),), 0.4), ((float("inf"),), 0.8), ((0.1, float("nan")), 0.3)]
    for args, expected in cases:
        assert df.recommend_headroom(*args) == pytest.approx(expected), args
    assert math.isnan(df.recommend_headroom(0.5, float("nan")))


def test_argument_conversions_and_counts():
    assert df.calculate_safe_limit(1000.9, 1) == 10   # 1000 bytes, headroom 1 capped at 0.99
    assert df.calculate_safe_limit(True, 0) == 1
    assert df.calculate_safe_limit(available_bytes=1000, headroom_ratio=0.5) == 500
    assert df.calculate_optimal_chunks(2000, 1000, 0.2, max_chunks=2) == 2
    assert df.recommend_headroom(base_headroom=0.4, current_pressure=0.5) == 0.4
    assert df.estimate_allocation_bytes(shape=(2, 3), element_size=4.7) == 24
    with pytest.raises(OverflowError, match="can't convert negative value to uint64_t"):
        df.calculate_safe_limit(-1, 0.2)
    with pytest.raises(OverflowError):
        df.calculate_memory_pressure(2**64, 1)
    with pytest.raises(OverflowError):
        df.calculate_optimal_chunks(1, 1, 0.2, 2**31)
    with pytest.raises(OverflowError):
        df.compute_chunk_shapes((4,), 2**31, 10)
    with pytest.raises(TypeError, match="an integer is required"):
        df.calculate_memory_pressure("1", 2)
    with pytest.raises(TypeError):
        df.calculate_safe_limit(10, "0.5")
    with pytest.raises(TypeError, match=r"takes from 3 to 5 positional arguments but 6 were given"):
        df.calculate_optimal_chunks(1, 2, 0.3, 1, 2, 3)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'headroom_ratio'"):
        df.calculate_safe_limit(10)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        df.is_chunkable_operation("zeros", x=1)
    # a failing truth value is reported, not swallowed
    class Bad:
        def __bool__(self):
            raise RuntimeError("no truth")
    with pytest.raises(RuntimeError, match="no truth"):
        df.decide_allocation_strategy(2000, 1000, 0.2, Bad())


def test_matches_reference_on_random_inputs():
    rng = random.Random(1234)

    def u64():
        return rng.choice([0, 1, rng.randrange(1, 10**4), rng.randrange(1, 2**32), rng.randrange(2**64),
                           U64 - rng.randrange(4096), 2**63 + rng.randrange(-5, 5)])

    def ratio():
        return rng.choice([rng.uniform(-0.5, 1.5), rng.random(), 0.0, 0.99, 1.0, 0.2])

    for _ in range(3000):
        a, b, h = u64(), u64(), ratio()
        assert df.calculate_safe_limit(a, h) == ref_safe_limit(a, h)
        chunkable = rng.random() < 0.5
        assert df.decide_allocation_strategy(a, b, h, chunkable) == ref_strategy(a, b, h, chunkable)
        lo, hi = rng.randrange(-5, 50), rng.choice([1000, rng.randrange(-5, 2**31)])
        assert df.calculate_optimal_chunks(a, b, h, lo, hi) == ref_optimal_chunks(a, b, h, lo, hi)
        op = rng.choice(sorted(CHUNKABLE | NOT_CHUNKABLE) + ["other", "Zeros"])
        assert df.score_gpu_suitability(a, op, b, h) == ref_suitability(a, op, b, h)
        assert df.calculate_memory_pressure(a, b) == ref_pressure(a, b)
        p, base = rng.uniform(-0.2, 1.2), rng.uniform(0.0, 1.0)
        assert df.recommend_headroom(p, base) == ref_headroom(p, base)

        ndim = rng.randrange(0, 5)
        shape = tuple(rng.choice([rng.randrange(-2, 40), rng.randrange(1, 2**31), 1, 0])
                      for _ in range(ndim))
        es = rng.choice([0, 1, 2, 4, 8, rng.randrange(1, 2**31)])
        factor = rng.choice([1.0, 0.5, rng.uniform(1.0, 3.0), 1e20])
        assert df.estimate_allocation_bytes(shape, es, factor) == ref_estimate(shape, es, factor)

        small = tuple(rng.randrange(0, 30) if i == 0 else rng.choice([0, 1, 2, 3, 7, 2**40])
                      for i in range(rng.randrange(1, 4)))
        es, limit = rng.randrange(1, 17), rng.choice([1, rng.randrange(1, 4096), 2**40, U64])
        assert df.compute_chunk_shapes(small, es, limit) == ref_chunk_shapes(small, es, limit)

    pieces = ["out of memory", "OUT OF", "cuda", "CUDA", "Memory", "alloc", "ALLOCAT", "failed",
              "insufficient", "gpu", "GPU", "error", " ", "é", "İ", "ß", "Σ", "x"]
    for _ in range(2000):
        msg = "".join(rng.choice(pieces) for _ in range(rng.randrange(0, 5)))
        typ = rng.choice(["", "RuntimeError", "OutOfMemoryError", "cuda.OUTOFMEMORYERROR", "Öut"])
        assert df.is_oom_error(msg, typ) is ref_is_oom(msg, typ), (msg, typ)


def test_no_references_leak_on_success_or_error():
    rest = int("30001")
    shape = (50, rest, 4)
    before_rest = sys.getrefcount(rest)
    calls = [
        lambda: df.compute_chunk_shapes(shape, 8, 1000),
        lambda: df.compute_chunk_shapes((), 8, 1000),
        lambda: df.estimate_allocation_bytes(shape, 8, 1.5),
        lambda: df.decide_allocation_strategy(2000, 1000, 0.2, True),
        lambda: df.decide_allocation_strategy(20, 1000, 0.2, True),
        lambda: df.is_oom_error("CUDA error: Out Of Memory", "RuntimeError"),
        lambda: df.is_oom_error("ÉCHEC: gpu memory" * 40, "RuntimeError"),
        lambda: df.is_oom_error("x" * 2000, "RuntimeError"),
        lambda: df.score_gpu_suitability(400, "zeros", 1000, 0.1),
        lambda: df.calculate_optimal_chunks(2000, 1000, 0.2),
    ]
    failing = [
        lambda: df.compute_chunk_shapes((10, -1), 8, 100),
        lambda: df.compute_chunk_shapes((2**31, 1), 8, 100),
        lambda: df.estimate_allocation_bytes((1, "x"), 8),
        lambda: df.is_oom_error("x", None),
        lambda: df.calculate_safe_limit(-1, 0.5),
    ]

    def run(n):
        for _ in range(n):
            for c in calls:
                c()
            for c in failing:
                try:
                    c()
                except (TypeError, ValueError, OverflowError, AttributeError):
                    pass

    assert retained_memory(lambda: run(3000), warmup=lambda: run(200), unit="blocks") < 50
    assert sys.getrefcount(rest) == before_rest


def test_failed_allocations_raise_memory_error_and_leave_the_module_working(python_subprocess):
    # In a fresh interpreter, so that calls made for the first time (lazily made objects included)
    # meet the failures: each call runs with its k-th allocation failing, for every k in turn.
    proc = python_subprocess("""
        import _testcapi
        from quarvel.gpu import device_fit as df
        calls = [
            lambda: df.is_oom_error("\u00c9CHEC: GPU memory", "RuntimeError"),
            lambda: df.is_oom_error("x" * 300, "OutOfMemoryError"),
            lambda: df.compute_chunk_shapes((10, 3, 2), 8, 100),
            lambda: df.estimate_allocation_bytes((10, 3), 8, 1.5),
            lambda: df.decide_allocation_strategy(2000, 1000, 0.2, True),
            lambda: df.score_gpu_suitability(400, "zeros", 1000, 0.1),
            lambda: df.calculate_optimal_chunks(2000, 1000, 0.2),
            lambda: df.calculate_safe_limit(2**64 - 1, 0.2),
        ]
        for call in calls:
            for k in range(30):
                _testcapi.set_nomemory(k, k + 1)
                try:
                    call()
                except MemoryError:
                    pass
                finally:
                    _testcapi.remove_mem_hooks()
        assert df.is_oom_error("\u00c9CHEC: GPU memory", "RuntimeError") is True
        assert df.decide_allocation_strategy(2000, 1000, 0.2, True) == (1, 800, 3, "Chunking into 3 GPU passes")
        print("ok")
    """)
    if "No module named '_testcapi'" in proc.stderr:
        pytest.skip("this interpreter has no _testcapi")
    assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stderr


def test_threads_share_the_module_safely():
    cases = [((n, 7, 3), 4, 100 + n) for n in range(1, 60)]
    expected = [ref_chunk_shapes(*c) for c in cases]
    errors = []
    start = threading.Barrier(4)

    def worker(k):
        start.wait()
        for i in range(1500):
            j = (i * 7 + k) % len(cases)
            if df.compute_chunk_shapes(*cases[j]) != expected[j]:
                errors.append(cases[j])
            if df.is_oom_error("GPU Memory exhausted", "RuntimeError") is not True:
                errors.append("oom")

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
