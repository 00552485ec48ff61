"""Tests for quarvel.plugins.analyzer.task_profiler.

The native functions are compared with a straightforward Python transcription (the models in
quarvel.bench.models.task_profiler, imported as `ref_*`) on fixed edge cases and on randomized inputs; floats must agree bit for bit.
"""

import logging
import math
import pickle
import random
import re
import struct
import sys
import threading

import pytest

from quarvel.bench.models.task_profiler import INDICATORS, NUMPY_KW, PANDAS_KW, SKLEARN_KW
from quarvel.bench.models.task_profiler import calculate_gpu_suitability as ref_gpu_suitability
from quarvel.bench.models.task_profiler import calculate_parallelization_potential as ref_parallel
from quarvel.bench.models.task_profiler import determine_workload_pattern as ref_pattern
from quarvel.bench.models.task_profiler import estimate_gpu_speedup as ref_speedup
from quarvel.bench.models.task_profiler import normalize_scores as ref_normalize
from quarvel.bench.models.task_profiler import quick_framework_score as ref_quick
from quarvel.bench.models.task_profiler import score_framework_patterns as ref_frameworks
from quarvel.bench.models.task_profiler import score_indicators as ref_indicators
from quarvel.bench.models.task_profiler import update_adaptive_threshold as ref_threshold
from quarvel.plugins.analyzer import task_profiler as tp

from helpers import retained_memory


def same(a, b):
    """Equal, floats bit for bit (NaN equal to NaN), tuples element-wise."""
    if isinstance(a, tuple):
        return isinstance(b, tuple) and len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, float):
        return type(b) is float and struct.pack("<d", a) == struct.pack("<d", b)
    return type(a) is type(b) and a == b


# Fragments for random source texts: keywords in several spellings, word and non-word glue,
# and non-ASCII characters (among them the two whose lower case holds ASCII letters).
FRAGMENTS = sorted({k for kw in (NUMPY_KW, PANDAS_KW, SKLEARN_KW) for k in kw}
                   | {k for kw, _ in INDICATORS for k in kw}
                   | {"DataFrame", "GridSearchCV", "RandomForest", "NP.", "Pd.", "np", "pd"})
GLUE = [" ", "  ", ".", "(", ")", "_", "x", "1", "\n", ",", "=", "a", "s", "é", "ß", "Σ", "İ",
        "\u212a", "ı", "ſ", "数", "\U0001f600", "\u0307", "ǅ"]


def random_text(rng, ascii_only=False, max_parts=30):
    parts = []
    for _ in range(rng.randrange(max_parts)):
        r = rng.random()
        if r < 0.45:
            w = rng.choice(FRAGMENTS)
            style = rng.randrange(4)
            w = w.upper() if style == 1 else w.title() if style == 2 else w
            if style == 3:
                w = "".join(c.upper() if rng.random() < 0.5 else c for c in w)
            parts.append(w)
        else:
            parts.append(rng.choice(GLUE))
    text = "".join(parts)
    if ascii_only:
        text = text.encode("ascii", "ignore").decode()
    return text


# ---------------------------------------------------------------------------------------------
# Module frame


def test_module_attributes_and_private_table():
    assert tp.re is re and tp.logging is logging
    assert tp.logger is logging.getLogger("quarvel.plugins.analyzer.task_profiler")
    names = ["quick_framework_score", "calculate_gpu_suitability", "estimate_gpu_speedup",
             "calculate_parallelization_potential", "score_indicators", "normalize_scores",
             "score_framework_patterns", "determine_workload_pattern",
             "update_adaptive_threshold"]
    # Bound in load order: re, the nine functions, logging, logger; nothing else is public.
    assert [k for k in vars(tp) if not k.startswith("_")] == ["re"] + names + ["logging", "logger"]
    assert all(getattr(tp, n).__module__ == tp.__name__ for n in names)
    # The pattern table is not reachable from the module.
    assert not any(isinstance(v, dict) and "numpy" in v for v in vars(tp).values())
    assert pickle.loads(pickle.dumps(tp.normalize_scores)) is tp.normalize_scores  # by reference


def test_loaded_line_logged_once_at_import(python_subprocess):
    code = ("import logging, sys\n"
            "logging.basicConfig(level=logging.DEBUG, stream=sys.stdout, "
            "format='%(name)s|%(levelname)s|%(message)s')\n"
            "import quarvel.plugins.analyzer.task_profiler\n"
            "import quarvel.plugins.analyzer.task_profiler\n")
    proc = python_subprocess(code)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert out.splitlines() == ["quarvel.plugins.analyzer.task_profiler|INFO|"
                                "Quarvel Task Profiler Cython module loaded - IP protected"]


# ---------------------------------------------------------------------------------------------
# Text scoring


def test_quick_framework_score_cases():
    for fw in ("numpy", "pandas", "sklearn"):
        assert tp.quick_framework_score("", fw) == 0.0
    assert tp.quick_framework_score("np.array(x)", "numpy") == 0.2
    assert tp.quick_framework_score(" ".join(["numpy"] * 11), "numpy") == 1.0
    assert tp.quick_framework_score("numpy numpy numpy", "numpy") == 0.3
    assert tp.quick_framework_score("x = DATAFRAME(); s = series", "pandas") == 0.2
    # Word boundaries: inside a word nothing counts; "np." needs a word character after it.
    assert tp.quick_framework_score("bitarray numpyx np. np.x _fit fit_ fit", "numpy") == 0.1
    assert tp.quick_framework_score("bitarray numpyx np. np.x _fit fit_ fit", "sklearn") == 0.1
    # Non-ASCII text: Unicode word characters and case-insensitive equivalents.
    assert tp.quick_framework_score("éarray LİNALG lınalg \u212abad sklearn", "numpy") == 0.2
    assert tp.quick_framework_score("ſeries Series", "pandas") == 0.2
    # Unknown or differently spelt frameworks give 0.0 before the text is looked at.
    for fw in ("torch", "NumPy", "", None):
        assert tp.quick_framework_score("numpy numpy", fw) == 0.0
        assert tp.quick_framework_score(None, fw) == 0.0
    with pytest.raises(TypeError):
        tp.quick_framework_score(None, "numpy")  # the pattern's own complaint
    with pytest.raises(TypeError, match=r"Argument 'code' has incorrect type \(expected str, got bytes\)"):
        tp.quick_framework_score(b"numpy", "numpy")
    with pytest.raises(TypeError, match="Argument 'framework'"):
        tp.quick_framework_score("numpy", type("S", (str,), {})("numpy"))


def test_quick_framework_score_matches_regex_randomized():
    # A match ending in "." is followed by a word that may match in turn.
    tricky = ["np.np.numpy", "np.np.", "pd.pd.Series.", "x.np.array_ np.array", "fit.fit fit",
              "_np.x np..x 9np.x", "np.", "NP.X", "GridSearchCVfit RandomForest.fit"]
    for text in tricky:
        for fw in ("numpy", "pandas", "sklearn"):
            assert same(tp.quick_framework_score(text, fw), ref_quick(text, fw)), (text, fw)
    assert tp.quick_framework_score("np.np.numpy", "numpy") == 0.3
    rng = random.Random(61)
    for i in range(3000):
        text = random_text(rng, ascii_only=i % 2 == 0)
        for fw in ("numpy", "pandas", "sklearn"):
            assert same(tp.quick_framework_score(text, fw), ref_quick(text, fw)), (text, fw)


def test_score_framework_patterns_cases():
    assert tp.score_framework_patterns("") == (0.0, 0.0, 0.0)
    assert tp.score_framework_patterns(" ".join(NUMPY_KW))[0] == 1.0
    assert tp.score_framework_patterns("ARGMAX") == (2 / 25.0, 0.0, 0.0)  # argmax and max
    # "transform" stands in two lists; keywords count once however often they occur.
    assert tp.score_framework_patterns("transform transform") == (0.0, 1 / 18.0, 1 / 18.0)
    assert tp.score_framework_patterns("PD.DataFrame" * 50) == (0.0, 2 / 18.0, 0.0)
    assert tp.score_framework_patterns(" ".join(PANDAS_KW + SKLEARN_KW).upper()) == (
        ref_frameworks(" ".join(PANDAS_KW + SKLEARN_KW)))
    with pytest.raises(TypeError):
        tp.score_framework_patterns(None)
    with pytest.raises(TypeError, match="Argument 'code'"):
        tp.score_framework_patterns(["numpy"])


def test_score_indicators_cases():
    assert tp.score_indicators("pass", "run_benchmark") == (0, 0, 0, 0, 0, 1, 0)
    assert tp.score_indicators("", None) == (0, 0, 0, 0, 0, 0, 0)
    # One count per operator character present, however often.
    assert tp.score_indicators("a+b-c*d/e@f", "") == (0, 0, 0, 5, 0, 0, 0)
    assert tp.score_indicators("a ** b + c + d", None) == (0, 0, 0, 3, 0, 0, 0)
    # Only the GPU and embarrassingly parallel lists look at the name.
    assert tp.score_indicators("", "For_Lock_MAP_sum") == (0, 0, 0, 1, 0, 1, 0)
    assert tp.score_indicators("sum", "sum_map") == (1, 0, 0, 1, 0, 1, 0)
    with pytest.raises(TypeError):
        tp.score_indicators(None, "f")
    with pytest.raises(TypeError, match="Argument 'function_name'"):
        tp.score_indicators("x", 3)


def test_non_ascii_lowering():
    # Only two code points lower-case to something holding ASCII characters; the native scan
    # treats every other non-ASCII character as a separator.
    holding_ascii = {c: chr(c).lower() for c in range(0x80, 0x110000)
                     if any(ord(ch) < 0x80 for ch in chr(c).lower())}
    assert holding_ascii == {0x130: "i\u0307", 0x212A: "k"}
    cases = [("STAC\u212a LOC\u212a", None), ("L\u0130NALG f\u0130t", "\u0130"),
             ("ΣUM SUMΣ ßum", "ΣUM"), ("r\u0307ange", "ma\u212a"), ("é" * 3 + "MATMUL", "Ärray")]
    for text, name in cases:
        assert tp.score_indicators(text, name) == ref_indicators(text, name), text
        assert same(tp.score_framework_patterns(text), ref_frameworks(text)), text


def test_keyword_scores_randomized():
    rng = random.Random(62)
    for i in range(3000):
        text = random_text(rng, ascii_only=i % 3 == 0)
        name = random_text(rng, max_parts=4) if i % 4 else rng.choice([None, ""])
        assert tp.score_indicators(text, name) == ref_indicators(text, name), (text, name)
        assert same(tp.score_framework_patterns(text), ref_frameworks(text)), text


def test_long_texts_find_keywords_at_every_offset():
    # Long texts are scanned in several lanes; an occurrence must be found wherever it lies,
    # across the lane cuts included, and in texts of every code-unit width.
    for pad in (" ", "é", "\u20ac", "\U0001f600"):
        for n in (136, 137, 400, 1001):
            for kw in ("processpoolexecutor", "randomizedsearchcv", "mb", "@", "np."):
                cuts = [0, n // 4, n // 2, 3 * n // 4, n - len(kw)]
                offsets = {min(max(c + d, 0), n - len(kw)) for c in cuts for d in range(-20, 21)}
                for p in sorted(offsets):
                    text = pad * p + kw.upper() + pad * (n - p - len(kw))
                    assert tp.score_indicators(text, None) == ref_indicators(text, None), (kw, p)
                    assert same(tp.score_framework_patterns(text), ref_frameworks(text)), (kw, p)
    rng = random.Random(70)
    for _ in range(200):
        text = random_text(rng, ascii_only=rng.random() < 0.5, max_parts=400)
        assert tp.score_indicators(text, "f") == ref_indicators(text, "f")
        assert same(tp.score_framework_patterns(text), ref_frameworks(text))


def test_normalize_scores():
    assert tp.normalize_scores(30, 20, 22, 72, 26) == (1.0, 1.0, 1.0, 1.0, 1.0)
    assert tp.normalize_scores(3, 5, 0, 9, 0) == (0.2, 0.5, 0.0, 0.25, 0.0)
    assert tp.normalize_scores(-1, 1, 2, 3, -2**31) == (0.0, 0.1, 2 / 11.0, 3 / 36.0, 0.0)
    assert tp.normalize_scores(3.9, True, 0, 0, 0)[:2] == (0.2, 0.1)  # int() of other numbers
    with pytest.raises(OverflowError):
        tp.normalize_scores(0, 0, 0, 0, 2**31)
    # Native 32-bit integers: an object without an integer conversion has none to offer.
    for bad in ("1", None, [1], 1j):
        with pytest.raises(TypeError, match="^an integer is required$"):
            tp.normalize_scores(0, 0, bad, 0, 0)
    with pytest.raises(TypeError):
        tp.normalize_scores(0, 0, 0, 0)
    rng = random.Random(63)
    for _ in range(2000):
        args = [rng.randint(-50, 80) for _ in range(5)]
        assert same(tp.normalize_scores(*args), ref_normalize(*args))


# ---------------------------------------------------------------------------------------------
# Estimates

EDGE_VALUES = [0.0, -0.0, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 1.0, -1.0, 10.0, 1e308, -1e308, math.inf,
           -math.inf, math.nan, 0.30000000000000004, 0.7999999999999999, 0.8000000000000002]


def rand_double(rng):
    r = rng.random()
    if r < 0.3:
        return rng.choice(EDGE_VALUES)
    if r < 0.5:
        return round(rng.uniform(-0.5, 1.5), rng.randrange(1, 3))
    return rng.uniform(-2.0, 3.0)


def test_parallelization_potential():
    f = tp.calculate_parallelization_potential
    assert f(0.5, 10.0, 0.0, 0.0) == 1.0
    assert f(0.2, 0.0, 10.0, 0.0) == 0.0
    assert f(0.2, 1.0, 1.0, 0.5) == ref_parallel(0.2, 1.0, 1.0, 0.5)
    assert f(0.3, 2.0, 0.0, 0.0) == 0.8999999999999999  # float order is kept
    assert f(True, 0, 0, 0) == 1.0
    with pytest.raises(TypeError):
        f(0.1, 0.2, "0.3", 0.4)
    rng = random.Random(64)
    for _ in range(3000):
        args = [rand_double(rng) for _ in range(4)]
        assert same(f(*args), ref_parallel(*args)), args


def test_gpu_suitability_cases():
    f = tp.calculate_gpu_suitability
    assert f(1.0, 1.0, 1.0, True, "8.6") == 1.0
    assert f(0.5, 0.5, 0.0, True, "5.2") == 0.4
    assert f(0.5, 0.5, -3.0, True, "6.1") == 0.5  # a negative CPU term counts as 0.0
    for cap in ("x.1", "", None, ".5", "8a.0", "--8", "8 6"):
        assert f(0.5, 0.5, 0.0, True, cap) == 0.5, cap
    # The major version is read with int(): spaces, underscores, signs and other decimal digits.
    for cap, plain in ((" 1_0 .2", "10.0"), ("\u0667.5", "7.5"), ("-9.0", "0"), ("+06", "6"),
                       ("1.5.2e", "1")):
        assert f(0.25, 0.25, 0.0, True, cap) == f(0.25, 0.25, 0.0, True, plain), cap
    assert len({f(0.4, 0.4, 0.0, True, c) for c in ("8", "7", "6", "5")}) == 4
    assert f(0.9, 0.9, 0.9, False, "9.0") == 0.0
    assert f(0.9, 0.9, 0.9, 0, None) == 0.0
    with pytest.raises(OverflowError):
        f(0.5, 0.5, 0.0, True, "99999999999.0")
    with pytest.raises(OverflowError):
        f(0.5, 0.5, 0.0, True, "-2147483649")
    # int() refuses a text of more digits than its limit with ValueError: no major version.
    assert f(0.5, 0.5, 0.0, True, "9" * 5000 + ".1") == 0.5
    assert f(0.5, 0.5, 0.0, True, "2147483647") == ref_gpu_suitability(0.5, 0.5, 0.0, True, "8")
    # The capability's type is checked even without a GPU, and a raising truth test propagates.
    with pytest.raises(TypeError, match="Argument 'compute_capability'"):
        f(0.5, 0.5, 0.0, False, 8.6)

    class Bad:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        f(0.5, 0.5, 0.0, Bad(), "8.0")


def test_gpu_suitability_randomized():
    rng = random.Random(65)
    caps = ["8.6", "7.0", "6.1", "5.2", "3", "9", "12.0", "0.0", "", None, "x", " 7 .5", "-1.2",
            "\u0668.0", "7_5.0", "6.", ".6"]
    for _ in range(3000):
        args = [rand_double(rng) for _ in range(3)] + [rng.random() < 0.8, rng.choice(caps)]
        assert same(tp.calculate_gpu_suitability(*args), ref_gpu_suitability(*args)), args


def test_gpu_speedup():
    f = tp.estimate_gpu_speedup
    cases = [((0.0, 1.0, True), 1.0), ((-0.0, 1.0, True), 1.0), ((0.9, 0.0, True), 15.0),
             ((0.5, 1.0, True), 6.0), ((0.8, 0.0, True), 8.0), ((0.9, 1.0, False), 1.0),
             ((-0.5, 0.0, True), 2.0), ((0.9, 1.0, True), 22.5), ((0.6, 0.0, "yes"), 4.0),
             ((0.3, 0.0, True), 2.0)]
    for args, want in cases:
        assert same(f(*args), want), args
    rng = random.Random(66)
    for _ in range(3000):
        args = (rand_double(rng), rand_double(rng), rng.random() < 0.8)
        assert same(f(*args), ref_speedup(*args)), args


def pattern_args(**kw):
    base = dict(cpu=0.0, mem=0.0, par=0.0, gpu_s=0.0, gpu_op=0.0, np_s=0.0, pd_s=0.0, sk_s=0.0,
                seq_n=0, emb_n=0, cpu_t=0.5, mem_t=0.5, gpu_t=0.5, np_t=0.5, pd_t=0.5, sk_t=0.5,
                gpu=False)
    base.update(kw)
    return list(base.values())


def test_workload_pattern_rules():
    f = tp.determine_workload_pattern
    assert f(*pattern_args()) == 0
    assert f(*pattern_args(seq_n=3)) == 4
    assert f(*pattern_args(seq_n=2)) == 0
    assert f(*pattern_args(emb_n=1, cpu=0.9)) == 3
    assert f(*pattern_args(par=0.6000000000000001)) == 3
    assert f(*pattern_args(par=0.6, cpu=0.9)) == 1
    assert f(*pattern_args(sk_s=0.6, pd_s=0.9, np_s=0.9, gpu=True, gpu_s=0.9, emb_n=4)) == 12
    assert f(*pattern_args(pd_s=0.6, np_s=0.9)) == 10
    assert f(*pattern_args(np_s=0.6, gpu=True, gpu_s=0.9)) == 8
    gpu = dict(gpu=True, gpu_s=0.9, gpu_op=0.9, cpu=0.5)
    assert f(*pattern_args(mem=0.6, **gpu)) == 7
    assert f(*pattern_args(**gpu)) == 5
    assert f(*pattern_args(**dict(gpu, cpu=0.7))) == 6
    assert f(*pattern_args(gpu=False, gpu_s=0.9, mem=0.6)) == 2
    # A score equal to its threshold never fires its rule.
    for key in ("sk", "pd", "np"):
        assert f(*pattern_args(**{key + "_s": 0.5})) == 0
    assert f(*pattern_args(gpu=True, gpu_s=0.5, cpu=0.5, mem=0.5)) == 0
    assert type(f(*pattern_args())) is int
    # The first argument that fails conversion is reported.
    args = pattern_args()
    args[8], args[12] = 2**40, "x"
    with pytest.raises(OverflowError):
        f(*args)
    args[8] = "y"
    with pytest.raises(TypeError, match="^an integer is required$"):
        f(*args)
    args[8], args[9] = 0, None
    with pytest.raises(TypeError, match="^an integer is required$"):
        f(*args)
    with pytest.raises(TypeError):
        f(*args[:16])
    rng = random.Random(67)
    for _ in range(5000):
        args = [rand_double(rng) for _ in range(8)] + [rng.randint(-2, 5), rng.randint(-1, 2)]
        args += [rand_double(rng) for _ in range(6)] + [rng.random() < 0.5]
        assert f(*args) == ref_pattern(*args), args


def test_adaptive_threshold():
    f = tp.update_adaptive_threshold
    assert f(0.5, 0.9, 0.1, 0.1, 0.9) == 0.6
    assert f(0.5, 0.3, 0.1, 0.1, 0.9) == 0.4
    assert f(0.5, 0.8, 0.1, 0.1, 0.9) == 0.5
    assert f(0.5, 0.4, 0.1, 0.1, 0.9) == 0.5
    assert f(0.85, 0.95, 0.1, 0.1, 0.9) == 0.9
    assert f(0.15, 0.1, 0.1, 0.1, 0.9) == 0.1
    assert f(0.5, 0.9, 0.1, 0.9, 0.1) == 0.9  # crossed bounds: the lower one is tested first
    assert f(0.7, 0.9, 0.1, 0.0, 1.0) == 0.7999999999999999
    rng = random.Random(68)
    for _ in range(3000):
        args = [rand_double(rng) for _ in range(5)]
        assert same(f(*args), ref_threshold(*args)), args


# ---------------------------------------------------------------------------------------------
# Threads and references


def test_concurrent_calls_agree():
    rng = random.Random(69)
    texts = [random_text(rng) for _ in range(40)]
    want = [(tp.score_indicators(t, "f"), tp.score_framework_patterns(t),
             tp.quick_framework_score(t, "numpy")) for t in texts]
    errors = []

    def work():
        try:
            for _ in range(40):
                for t, w in zip(texts, want):
                    got = (tp.score_indicators(t, "f"), tp.score_framework_patterns(t),
                           tp.quick_framework_score(t, "numpy"))
                    if got != w:
                        errors.append((t, got, w))
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []


def test_no_references_leaked():
    # Arguments keep their reference counts, and neither results nor the objects of the error
    # paths (the pattern's findall, int() of the capability, a rejected None) pile up.
    code = "import numpy as np\nnp.array(x) + y" + "é"
    cap = "8" + ".6"
    name = "run" + "_map"

    def calls():
        tp.quick_framework_score(code, "numpy")
        tp.quick_framework_score(code[:-1], "pandas")
        tp.score_framework_patterns(code)
        tp.score_indicators(code, name)
        tp.normalize_scores(1, 2, 3, 4, 5)
        tp.calculate_gpu_suitability(0.5, 0.5, 0.5, True, cap)
        tp.calculate_gpu_suitability(0.5, 0.5, 0.5, True, "x.1")
        tp.determine_workload_pattern(*pattern_args())
        for bad in ((tp.score_indicators, (None, name)), (tp.quick_framework_score, (None, "numpy")),
                    (tp.calculate_gpu_suitability, (0.5, 0.5, 0.5, True, "9" * 20))):
            try:
                bad[0](*bad[1])
            except (TypeError, OverflowError):
                pass

    calls()
    before = [sys.getrefcount(o) for o in (code, cap, name)]

    def many():
        for _ in range(5000):
            calls()

    assert retained_memory(many, warmup=calls, unit="blocks") < 200
    assert [sys.getrefcount(o) for o in (code, cap, name)] == before
