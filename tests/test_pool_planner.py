"""Tests of quarvel.plugins.analyzer.pool_planner: the orchestrator's detectors and gates."""

import gc
import math
import random
import sys
import threading

import pytest

from quarvel.bench.models.pool_planner import KEYS
from quarvel.bench.models.pool_planner import calculate_adaptation_urgency as ref_urgency
from quarvel.bench.models.pool_planner import calculate_performance_trend as ref_trend
from quarvel.bench.models.pool_planner import detect_dominant_pattern as ref_dominant
from quarvel.bench.models.pool_planner import detect_fragmentation_threshold as ref_fragmentation
from quarvel.bench.models.pool_planner import detect_memory_pressure as ref_pressure
from quarvel.bench.models.pool_planner import detect_performance_degradation as ref_degradation
from quarvel.bench.models.pool_planner import detect_workload_characteristics_change as ref_change
from quarvel.bench.models.pool_planner import is_adaptation_beneficial as ref_beneficial
from quarvel.bench.models.pool_planner import predict_resource_requirements as ref_predict
from quarvel.bench.models.pool_planner import score_pool_recommendation as ref_score
from quarvel.bench.models.pool_planner import should_skip_adaptation as ref_skip
from quarvel.plugins.analyzer import pool_planner as pp

from helpers import retained_memory


def same(a, b):
    """Equality that also tells floats apart bit for bit (and NaN equals NaN)."""
    if isinstance(a, tuple):
        return isinstance(b, tuple) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        return type(b) is float and (a == b or (a != a and b != b)) and math.copysign(1, a) == math.copysign(1, b)
    return type(a) is type(b) and a == b


# ---------------------------------------------------------------------------------------------
# Module frame


def test_module_loads_once_with_its_line_and_attributes(python_subprocess):
    code = (
        "import logging, sys\n"
        "logging.basicConfig(level=logging.INFO, stream=sys.stdout, format='%(name)s|%(levelname)s|%(message)s')\n"
        "from quarvel.plugins.analyzer import pool_planner as pp\n"
        "import quarvel.plugins.analyzer.pool_planner\n"
        "print(list(k for k in vars(pp) if not k.startswith('__')))\n"
        "print(pp.logging is logging, pp.logger is logging.getLogger(pp.__name__))\n"
    )
    proc = python_subprocess(code)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.splitlines()
    assert out[0] == ("quarvel.plugins.analyzer.pool_planner|INFO|"
                      "Quarvel Pool Planner Cython module loaded - IP protected")
    assert eval(out[1]) == [
        "detect_performance_degradation", "calculate_performance_trend",
        "detect_workload_characteristics_change", "detect_dominant_pattern",
        "is_adaptation_beneficial", "should_skip_adaptation", "detect_memory_pressure",
        "detect_fragmentation_threshold", "calculate_adaptation_urgency",
        "score_pool_recommendation", "predict_resource_requirements", "logging", "logger"]
    assert out[2] == "True True"
    assert len(out) == 3


def test_signatures_defaults_and_argument_conventions():
    import inspect
    sig = inspect.signature(pp.is_adaptation_beneficial)
    assert [p.name for p in sig.parameters.values()][-2:] == ["min_improvement_ratio", "min_confidence"]
    assert sig.parameters["min_confidence"].default == 0.6
    assert pp.detect_dominant_pattern.__annotations__["window_size"] == "int"
    # keywords, defaults
    assert pp.detect_memory_pressure(current_usage=900, peak_usage=1000) is True
    assert pp.detect_fragmentation_threshold(0.31) is True
    # exact list or None only
    with pytest.raises(TypeError, match="expected list, got tuple"):
        pp.detect_dominant_pattern(("a",))
    with pytest.raises(TypeError):
        pp.calculate_performance_trend(type("L", (list,), {})([(0, 1)] * 3), 0.0)
    with pytest.raises(TypeError):
        pp.is_adaptation_beneficial(b"a", "b", 1.0, 1.0, 0.0, 0)
    with pytest.raises(TypeError):
        pp.detect_memory_pressure("1", 2.0)
    # 32-bit int arguments
    with pytest.raises(OverflowError):
        pp.detect_dominant_pattern(["a"], 2**31)
    with pytest.raises(OverflowError):
        pp.is_adaptation_beneficial("a", "b", 1.0, 1.0, 0.0, -(2**31) - 1)
    assert pp.is_adaptation_beneficial("a", "b", 0.51, 1.0, 0.0, 0.9) is True  # 0.9 -> trigger 0
    for call in (lambda: pp.detect_dominant_pattern(["a"], "5"),
                 lambda: pp.is_adaptation_beneficial("a", "b", 1.0, 1.0, 0.0, None)):
        with pytest.raises(TypeError, match="^an integer is required$"):
            call()
    with pytest.raises(TypeError):
        pp.score_pool_recommendation(1.0, 1.0, 1.0)
    with pytest.raises(TypeError):
        pp.should_skip_adaptation(1.0, 2.0, 3.0, 4.0)


# ---------------------------------------------------------------------------------------------
# Detectors


def test_degradation_thresholds_and_window():
    ten = [(float(t), 80.0) for t in range(10)]
    assert pp.detect_performance_degradation(ten, 100.0, 0.15, 0.0) is True
    assert pp.detect_performance_degradation(ten, 100.0, 0.2, 0.0) is False  # 0.2 is not above 0.2
    assert pp.detect_performance_degradation(ten, 100.0, 0.15, 6.0) is False  # 4 samples in window
    assert pp.detect_performance_degradation(ten, 100.0, 0.15, 5.0) is True   # 5 samples
    assert pp.detect_performance_degradation(ten, 0.0, 0.15, 0.0) is False
    assert pp.detect_performance_degradation(ten[:4], 100.0, 0.0, 0.0) is False
    assert pp.detect_performance_degradation(None, 100.0, 0.0, 0.0) is False
    assert pp.detect_performance_degradation([], 100.0, 0.0, 0.0) is False


def test_trend_values():
    assert pp.calculate_performance_trend([(0, 10), (1, 11), (2, 12)], 0.0) == 1 / 11
    assert pp.calculate_performance_trend([(0, 5), (1, 5), (2, 5)], 0.0) == 0.0
    assert pp.calculate_performance_trend([(3, 5), (3, 6), (3, 7)], 0.0) == 0.0
    assert pp.calculate_performance_trend([(0, -1), (1, 0), (2, 1)], 0.0) == 0.0
    assert pp.calculate_performance_trend([(0, 100), (1, 10), (2, 1)], 0.0) == -1.0
    assert pp.calculate_performance_trend([(0, 1), (1, 100), (2, 1000)], 0.0) == 1.0
    # t0 is the first sample inside the window, not the first of the list
    hist = [(-5.0, 1e9), (10.0, 10.0), (11.0, 11.0), (12.0, 12.0)]
    assert pp.calculate_performance_trend(hist, 0.0) == 1 / 11
    assert pp.calculate_performance_trend(hist, 10.5) == 0.0  # two in window
    assert pp.calculate_performance_trend(None, 0.0) == 0.0
    assert pp.calculate_performance_trend([(0, 1)] * 2, 0.0) == 0.0
    nan = float("nan")
    assert pp.calculate_performance_trend([(0, nan), (1, 1), (2, 2)], 0.0) == 1.0  # NaN clamps to 1


def _profile(p=0.5, c=0.5, m=0.5, **extra):
    return {"parallelization_potential": p, "cpu_intensity": c, "memory_intensity": m, **extra}


def test_workload_change():
    no_change = pp.detect_workload_characteristics_change([_profile()] * 5)
    assert no_change == (False, 0.0, 0.0, 0.0)
    assert pp.detect_workload_characteristics_change([]) is no_change  # the shared constant
    hist = [_profile(c=0.4)] * 3 + [_profile(c=0.9)] * 3
    r = pp.detect_workload_characteristics_change(hist)
    assert same(r, (True, 0.0, 0.49999999999999994, 0.0))
    r = pp.detect_workload_characteristics_change([_profile(c=0.3)] * 3 + [_profile(c=0.6)] * 3)
    assert r[0] is False and r[2] == pytest.approx(0.3)
    assert pp.detect_workload_characteristics_change(hist, 0.5) [0] is False
    # ints and bools add with the interpreter's +
    r = pp.detect_workload_characteristics_change([_profile(p=0)] * 3 + [_profile(p=True)] * 3)
    assert same(r, (True, 1.0, 0.0, 0.0))
    # a missing key in the last six: no change, however different the rest
    hist = [_profile(0.0, 0.0, 0.0)] * 3 + [_profile(1.0, 1.0, 1.0)] * 3
    hist[4] = {"parallelization_potential": 1.0, "cpu_intensity": 1.0}
    assert pp.detect_workload_characteristics_change(hist) is no_change
    # the walk stops at the incomplete entry: a later non-dict is never reached
    hist[5] = None
    assert pp.detect_workload_characteristics_change(hist) is no_change
    # profiles before the last six are not looked at
    hist = [None, "junk"] + [_profile()] * 6
    assert pp.detect_workload_characteristics_change(hist) == (False, 0.0, 0.0, 0.0)
    # keys that are equal strings but other objects, non-str keys, big profiles, dict subclasses
    dyn = [{"".join(["cpu_", "intensity"]): c, "".join(["memory", "_intensity"]): 0.5,
            "parallelization_potential": 0.5, 7: "x"} for c in (0.4, 0.4, 0.4, 0.9, 0.9, 0.9)]
    big = [dict(_profile(c=c), **{f"k{i}": i for i in range(20)}) for c in (0.4, 0.4, 0.4, 0.9, 0.9, 0.9)]
    sub = [type("D", (dict,), {})(_profile(c=c)) for c in (0.4, 0.4, 0.4, 0.9, 0.9, 0.9)]
    for h in (dyn, big, sub):
        assert same(pp.detect_workload_characteristics_change(h), (True, 0.0, 0.49999999999999994, 0.0))
    with pytest.raises(TypeError):
        pp.detect_workload_characteristics_change([_profile()] * 5 + [None])
    with pytest.raises(TypeError, match="no len"):
        pp.detect_workload_characteristics_change(None)
    with pytest.raises(TypeError):
        pp.detect_workload_characteristics_change([_profile(c="x")] * 6)


def test_workload_change_with_exotic_numbers():
    from decimal import Decimal
    from fractions import Fraction
    # float + Fraction is a float; float + Decimal is a TypeError, as in Python
    hist = [_profile(c=Fraction(1, 4))] * 3 + [_profile(c=Fraction(3, 4))] * 3
    assert same(pp.detect_workload_characteristics_change(hist), ref_change(hist))
    with pytest.raises(TypeError):
        pp.detect_workload_characteristics_change([_profile(m=Decimal(1))] * 6)
    with pytest.raises(OverflowError):
        pp.detect_workload_characteristics_change([_profile(m=10**400)] * 6)

    class Weird:
        def __radd__(self, other):
            return Fraction(1)

    hist = [_profile()] * 5 + [_profile(p=Weird())]
    assert same(pp.detect_workload_characteristics_change(hist), ref_change(hist))


def test_dominant_pattern():
    assert pp.detect_dominant_pattern([]) == "mixed"
    assert pp.detect_dominant_pattern(["a", "b", "b", "a", "c"]) == "a"  # tie: first seen in window
    assert pp.detect_dominant_pattern(["a", "a", "b", "c", "b", "d"]) == "b"  # window starts at 1
    assert pp.detect_dominant_pattern(["a", "a", "a", "b", "c", "b"], 3) == "b"
    assert pp.detect_dominant_pattern(["a", "b"], 0) == "mixed"
    assert pp.detect_dominant_pattern(["a", "b"], -(2**31)) == "mixed"
    assert pp.detect_dominant_pattern(["a", "b", "b"], 2**31 - 1) == "b"
    assert pp.detect_dominant_pattern([None, None, "a"]) is None
    # equal names that are distinct objects (non-ASCII included) are counted together
    names = ["".join(["é", "t"]), "x", "".join(["é", "t"])]
    assert names[0] is not names[2]
    assert pp.detect_dominant_pattern(names) is names[0]
    with pytest.raises(TypeError):
        pp.detect_dominant_pattern(["a", 1])
    with pytest.raises(TypeError):
        pp.detect_dominant_pattern(["a", type("S", (str,), {})("a")])
    with pytest.raises(TypeError, match="no len"):
        pp.detect_dominant_pattern(None)
    # only the window is type-checked
    assert pp.detect_dominant_pattern([1, "a", "a"], 2) == "a"


def test_dominant_pattern_many_distinct_names():
    rng = random.Random(77)
    for _ in range(50):
        pool = [f"p{i}" for i in range(rng.choice([3, 20, 200]))] + [None]
        names = [rng.choice(pool) for _ in range(rng.randrange(0, 600))]
        w = rng.choice([1, 5, 17, 100, 1000])
        assert pp.detect_dominant_pattern(names, w) is ref_dominant(names, w)


def test_pressure_and_fragmentation():
    assert pp.detect_memory_pressure(900, 1000) is True
    assert pp.detect_memory_pressure(800, 1000) is False
    assert pp.detect_memory_pressure(100, 0) is False
    assert pp.detect_memory_pressure(-1, 1000) is False
    assert pp.detect_memory_pressure(500, 1000, 0.5) is False
    assert pp.detect_fragmentation_threshold(0.3) is False
    assert pp.detect_fragmentation_threshold(0.31) is True
    assert pp.detect_fragmentation_threshold(-0.5, -1.0) is False


# ---------------------------------------------------------------------------------------------
# Pool recommendation and gating


def test_scores_and_urgency_exact_floats():
    assert pp.score_pool_recommendation(1.0, 1.0, 1.0, 1.0) == 0.9999999999999999
    assert pp.score_pool_recommendation(2.0, -1.0, 0.5, 0.0) == 0.44999999999999996
    assert pp.score_pool_recommendation(float("nan"), 0.0, 0.0, 0.0) == 0.35  # NaN input -> 1.0
    assert pp.calculate_adaptation_urgency(1.0, 1.0, 1.0, True) == 1.0
    assert pp.calculate_adaptation_urgency(0.5, 0.0, 0.0, False) == 0.2
    assert pp.calculate_adaptation_urgency(5.0, -3.0, 0.0, True) == 0.55
    assert pp.calculate_adaptation_urgency(0.0, 0.0, 0.0, [1]) == 0.15  # any truth value
    with pytest.raises(ZeroDivisionError):
        pp.calculate_adaptation_urgency(0.0, 0.0, 0.0, type("B", (), {"__bool__": lambda s: 1 / 0})())


def test_adaptation_gates():
    f = pp.is_adaptation_beneficial
    assert f("cpu", "cpu", 1.0, 1.0, 0.0, 0) is False
    assert f(None, None, 1.0, 1.0, 0.0, 0) is False
    assert f(None, "cpu", 1.0, 1.0, 0.0, 0) is True
    assert f("".join(["c", "pu"]), "cpu", 1.0, 1.0, 0.0, 0) is False  # equality, not identity
    assert f("a", "b", 1.0, 0.59, 0.0, 0) is False
    assert f("a", "b", 0.5, 1.0, 0.0, 0) is False
    assert f("a", "b", 0.51, 1.0, 0.0, 0) is True
    assert f("a", "b", 0.56, 1.0, 0.5, 1) is True
    assert f("a", "b", 0.55, 1.0, 0.5, 1, 1.0) is True
    assert f("a", "b", 0.6, 1.0, 0.0, 1) is False
    assert f("a", "b", 0.61, 1.0, -1.0, -7) is True
    assert f("a", "b", 1.0, 0.5, 0.0, 0, min_confidence=0.5) is True
    assert pp.should_skip_adaptation(100.0, 130.0, 60.0) is True
    assert pp.should_skip_adaptation(100.0, 160.0, 60.0) is False
    assert pp.should_skip_adaptation(100.0, 90.0, -5.0) is True


def _allocs(n, size=1000.0, step=1.0):
    return [(i * step, size) for i in range(n)]


def test_predict_resource_requirements():
    empty = pp.predict_resource_requirements(_allocs(9), 9.0)
    assert empty == (0, 0, 0.0)
    assert pp.predict_resource_requirements(_allocs(10, step=0.0), 9.0) is empty
    assert same(pp.predict_resource_requirements(_allocs(10), 9.0), (10, 10000, 0.08000000000000002))
    assert pp.predict_resource_requirements(_allocs(200), 1.0)[2] == 0.8
    # counts are 64-bit: large predictions are neither clipped at 32 bits nor undefined
    assert pp.predict_resource_requirements(_allocs(10, 3e9), 9.0) == (10, 30_000_000_000, 0.08000000000000002)
    big = pp.predict_resource_requirements(_allocs(10, 1e300), 1e300)
    assert big[:2] == (2**63 - 1, 2**63 - 1)
    neg = pp.predict_resource_requirements(_allocs(10, -1e300), -1e300)
    assert neg[:2] == (-(2**63), 2**63 - 1)  # -inf * -2^63
    nan = pp.predict_resource_requirements(_allocs(10), float("nan"))
    assert nan[:2] == (0, 0)
    with pytest.raises(TypeError, match="no len"):
        pp.predict_resource_requirements(None, 1.0)


def test_predict_empty_first_or_last_entry():
    for pos in (0, -1):
        h = _allocs(10)
        h[pos] = ()
        with pytest.raises(IndexError):
            pp.predict_resource_requirements(h, 1.0)
        h[pos] = []
        with pytest.raises(IndexError):
            pp.predict_resource_requirements(h, 1.0)
    # entries are indexed, then unpacked: a mapping with key 0 works both ways (keys 0 and 1)
    h = _allocs(10)
    h[0] = {0: -9.0, 1: "x"}
    assert same(pp.predict_resource_requirements(h, 2.0), ref_predict(h, 2.0))
    h[0] = [0.0]
    with pytest.raises(ValueError):
        pp.predict_resource_requirements(h, 1.0)


# ---------------------------------------------------------------------------------------------
# Malformed histories and hostile entries

HISTORY_FUNCS = [
    lambda h: pp.detect_performance_degradation(h, 100.0, 0.1, 0.0),
    lambda h: pp.calculate_performance_trend(h, 0.0),
    lambda h: pp.predict_resource_requirements(h, 5.0),
]


@pytest.mark.parametrize("call", HISTORY_FUNCS)
def test_malformed_pairs(call):
    good = [(float(i), 50.0) for i in range(12)]
    for bad, exc, msg in [
        ((1.0, 2.0, 3.0), ValueError, "too many values to unpack"),
        ((1.0,), ValueError, "not enough values to unpack"),
        ([1.0, 2.0, 3.0], ValueError, "too many values to unpack"),
        (iter([1.0]), ValueError, "not enough values to unpack"),
        ((1.0, "2"), TypeError, "must be real number"),
        (("1", 2.0), TypeError, "must be real number"),
        ((1.0, None), TypeError, "not NoneType"),
        (5, TypeError, "cannot unpack non-iterable int"),
        (None, TypeError, "cannot unpack non-iterable NoneType"),
    ]:
        h = list(good)
        h[5] = bad
        with pytest.raises(exc, match=msg):
            call(h)
    # any two-item iterable with numbers (or objects with __float__ / __index__) is a pair
    class F:
        def __float__(self):
            return 50.0
    h = list(good)
    h[3] = [3, F()]
    h[4] = iter([4.0, True])
    h[6] = (6, 2**60)
    call(h)


def test_hostile_entries_that_mutate_the_history():
    # conversion code that shrinks the list being walked must not make the walk read freed or
    # out-of-range entries
    class Shrink:
        def __init__(self, lst):
            self.lst = lst

        def __float__(self):
            self.lst.clear()
            gc.collect()
            return 1.0

    for call in HISTORY_FUNCS:
        h = [(float(i), float(i)) for i in range(20)]
        h[2] = (2.0, Shrink(h))
        try:
            call(h)
        except IndexError:
            pass  # the counted walk found its list shorter than when it started
    # the workload profiles: a value whose addition empties the history
    class Wipe:
        def __init__(self, lst):
            self.lst = lst

        def __radd__(self, other):
            for d in self.lst:
                d.clear() if isinstance(d, dict) else None
            self.lst.clear()
            return other

    hist = [_profile() for _ in range(6)]
    hist[0]["cpu_intensity"] = Wipe(hist)
    with pytest.raises(IndexError):
        pp.detect_workload_characteristics_change(hist)

    # a key colliding with "cpu_intensity" whose comparison replaces the value of a key looked up
    # before it (an equal number in a new object, so that every reading order agrees): the value
    # already read must not be the freed one
    class Collide:
        def __init__(self, d):
            self.d = d

        def __hash__(self):
            return hash("cpu_intensity")

        def __eq__(self, other):
            self.d["parallelization_potential"] = int("3" * 20)
            gc.collect()
            return False

    def colliding_history():
        d = {"parallelization_potential": int("3" * 20)}
        d[Collide(d)] = None
        d.update(cpu_intensity=0.5, memory_intensity=0.5)
        return [_profile() for _ in range(5)] + [d]

    assert same(pp.detect_workload_characteristics_change(colliding_history()),
                ref_change(colliding_history()))


def test_reference_counts_are_exact():
    entry = (1.0, 2.0)
    hist = [entry] * 50
    name = "".join(["pat", "tern"])
    names = [name] * 10
    profile = _profile()
    profiles = [profile] * 6
    bad = [(float(i), "x") for i in range(50)]
    before = [sys.getrefcount(o) for o in (entry, name, profile, hist, names, profiles)]
    for _ in range(2000):
        pp.detect_performance_degradation(hist, 10.0, 0.1, 0.0)
        pp.calculate_performance_trend(hist, 0.0)
        pp.predict_resource_requirements(hist, 3.0)
        pp.detect_dominant_pattern(names)
        pp.detect_workload_characteristics_change(profiles)
        for call in HISTORY_FUNCS:
            with pytest.raises(TypeError):
                call(bad)
    r = pp.detect_dominant_pattern(names)
    assert r is name
    del r
    after = [sys.getrefcount(o) for o in (entry, name, profile, hist, names, profiles)]
    assert after == before
    # nothing made during a call outlives it, on success or failure
    def round_trip():
        for _ in range(3000):
            pp.detect_workload_characteristics_change(profiles)
            pp.predict_resource_requirements(hist[:10] + [(99.0, 1.0)], 3.0)
            pp.detect_dominant_pattern(names + [None], 1000)
            pp.score_pool_recommendation(0.5, 0.5, 0.5, 0.5)
            pp.is_adaptation_beneficial("a", "b", 0.7, 0.8, 0.5, 1)
            for call, exc in ((lambda: pp.detect_dominant_pattern([name, 3]), TypeError),
                              (lambda: pp.predict_resource_requirements([()] + hist[:10], 1.0), IndexError),
                              (lambda: pp.predict_resource_requirements(hist[:10] + [[]], 1.0), IndexError),
                              (lambda: pp.calculate_performance_trend(hist + [(1.0,)], 0.0), ValueError),
                              (lambda: pp.detect_workload_characteristics_change(profiles + [None]), TypeError)):
                try:
                    call()
                except exc:
                    pass
                else:
                    raise AssertionError("no error")
    assert retained_memory(round_trip, unit="blocks") < 50
    c = pp.predict_resource_requirements([], 1.0)
    assert c is pp.predict_resource_requirements([(0, 0)] * 10, 1.0)
    assert sys.getrefcount(c) < 10


# ---------------------------------------------------------------------------------------------
# Randomized comparison with the Python transcription


def _num(rng):
    kind = rng.random()
    if kind < 0.05:
        return rng.choice([0.0, -0.0, 1.0, -1.0, float("inf"), float("-inf"), float("nan")])
    if kind < 0.15:
        return rng.randrange(-5, 200)
    if kind < 0.2:
        return rng.choice([True, False])
    return rng.uniform(-0.5, 1.5) * rng.choice([1.0, 1.0, 10.0, 1e3, 1e9])


def test_randomized_against_transcription():
    rng = random.Random(20240611)
    for _ in range(1500):
        n = rng.choice([0, 1, 3, 5, 9, 10, 11, 30, 150])
        t = 0.0
        hist = []
        for _ in range(n):
            t += rng.choice([0.0, 0.5, 1.0, rng.random() * 10])
            hist.append((t if rng.random() > 0.05 else _num(rng), _num(rng)))
        ws = rng.choice([-1.0, 0.0, t / 2, t, float("nan")])
        base, thr = _num(rng), _num(rng)
        assert same(pp.detect_performance_degradation(hist, base, thr, ws), ref_degradation(hist, base, thr, ws))
        assert same(pp.calculate_performance_trend(hist, ws), ref_trend(hist, ws))
        horizon = _num(rng)
        assert same(pp.predict_resource_requirements(hist, horizon), ref_predict(hist, horizon))

        profiles = [_profile(_num(rng), _num(rng), _num(rng)) for _ in range(rng.randrange(0, 10))]
        if profiles and rng.random() < 0.1:
            del rng.choice(profiles)[rng.choice(KEYS)]
        thr = rng.choice([0.3, 0.0, _num(rng)])
        assert same(pp.detect_workload_characteristics_change(profiles, thr), ref_change(profiles, thr))

        names = [rng.choice(["a", "b", "c", "d", None]) for _ in range(rng.randrange(0, 12))]
        w = rng.randrange(-2, 14)
        assert pp.detect_dominant_pattern(names, w) is ref_dominant(names, w)

        a, b, c, d = (_num(rng) for _ in range(4))
        assert same(pp.detect_memory_pressure(a, b, c), ref_pressure(a, b, c))
        assert same(pp.detect_fragmentation_threshold(a, b), ref_fragmentation(a, b))
        assert same(pp.score_pool_recommendation(a, b, c, d), ref_score(a, b, c, d))
        flag = rng.random() < 0.5
        assert same(pp.calculate_adaptation_urgency(a, b, c, flag), ref_urgency(a, b, c, flag))
        assert same(pp.should_skip_adaptation(a, b, c), ref_skip(a, b, c))
        pools = [rng.choice(["cpu", "gpu", None]) for _ in range(2)]
        trig = rng.choice([0, 1, -3])
        e, f = _num(rng), _num(rng)
        assert same(pp.is_adaptation_beneficial(*pools, a, b, c, trig, e, f),
                    ref_beneficial(*pools, a, b, c, trig, e, f))


def test_concurrent_calls_agree():
    # stateless functions shared by threads: every thread must see its own exact answers
    hist = [(float(i), 100.0 - i) for i in range(200)]
    names = ["a", "b", "b", "c", None] * 4
    profiles = [_profile(c=0.4)] * 3 + [_profile(c=0.9)] * 3
    expected = (ref_trend(hist, 0.0), ref_predict(hist, 7.0), ref_dominant(names, 7),
                ref_change(profiles))
    errors = []

    def work():
        try:
            for _ in range(1500):
                got = (pp.calculate_performance_trend(hist, 0.0), pp.predict_resource_requirements(hist, 7.0),
                       pp.detect_dominant_pattern(names, 7), pp.detect_workload_characteristics_change(profiles))
                if not same(got, expected):
                    errors.append(got)
                    return
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(60)
    assert not errors
