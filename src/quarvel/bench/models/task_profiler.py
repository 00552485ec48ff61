"""The task profiler's scoring in plain Python: the transcription the tests compare
quarvel.plugins.analyzer.task_profiler with, and the pure-Python equivalent the benchmark times."""

import re

PATTERNS = {
    "numpy": re.compile(r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b", re.IGNORECASE),
    "pandas": re.compile(r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b", re.IGNORECASE),
    "sklearn": re.compile(r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b",
                          re.IGNORECASE),
}

NUMPY_KW = ["numpy", "np.", "ndarray", "array", "matrix", "vectorize", "broadcast", "ufunc", "dot",
            "matmul", "linalg", "fft", "sum", "mean", "std", "var", "min", "max", "argmax",
            "argmin", "reshape", "transpose", "concatenate", "stack", "split"]
PANDAS_KW = ["pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg", "transform",
             "merge", "join", "concat", "pivot", "melt", "query", "eval", "rolling", "resample",
             "sort_values"]
SKLEARN_KW = ["sklearn", "fit", "predict", "transform", "score", "cross_val", "gridsearchcv",
              "randomizedsearchcv", "pipeline", "featureunion", "train_test_split",
              "classification", "regression", "clustering", "preprocessing", "model_selection",
              "metrics", "ensemble"]
INDICATORS = [  # (entries, also looks at the name)
    (["for", "while", "range", "numpy", "scipy", "math", "calculation", "compute", "algorithm",
      "sum", "prod", "dot", "matmul", "fft", "linalg"], False),
    (["array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append",
      "extend"], False),
    (["multiprocessing", "threading", "concurrent", "async", "parallel", "pool", "worker", "chunk",
      "batch", "processpoolexecutor", "threadpoolexecutor"], False),
    (["matmul", "dot", "tensordot", "@", "fft", "ifft", "rfft", "convolve", "correlate", "sum",
      "mean", "std", "var", "sin", "cos", "exp", "log", "sqrt", "power", "**", "add", "subtract",
      "multiply", "divide", "/", "*", "+", "-", "linalg", "linear_algebra", "array", "asarray",
      "zeros", "ones", "empty", "full"], True),
    (["reshape", "resize", "huge", "large", "gigabyte", "gb", "million", "billion", "1e6", "1e9",
      "1024", "megabyte", "mb"], False),
    (["workload", "benchmark", "intensive", "chunk_workload", "map", "apply", "vectorize",
      "broadcast"], True),
    (["global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered",
      "dependencies"], False),
]


def clamp(v, lo, hi):
    if v < lo:
        return lo
    if v > hi:
        return hi
    return v


def quick_framework_score(code, framework):
    if framework not in PATTERNS:
        return 0.0
    x = len(PATTERNS[framework].findall(code)) / 10.0
    return 1.0 if x > 1.0 else x


def score_framework_patterns(code):
    t = code.lower()
    return tuple(clamp(sum(1 for k in kw if k in t) / d, 0.0, 1.0)
                 for kw, d in ((NUMPY_KW, 25.0), (PANDAS_KW, 18.0), (SKLEARN_KW, 18.0)))


def score_indicators(code, name):
    t = code.lower()
    n = name.lower() if name else ""
    return tuple(sum(1 for k in kw if k in t or (also and k in n)) for kw, also in INDICATORS)


def normalize_scores(c, m, p, g, l):
    return tuple(clamp(v / d, 0.0, 1.0) for v, d in ((c, 15.0), (m, 10.0), (p, 11.0), (g, 36.0),
                                                      (l, 13.0)))


def calculate_parallelization_potential(base, emb, seq, loop):
    bonus = clamp(emb * 0.3, 0.0, 0.7)
    penalty = clamp(seq * 0.2, 0.0, 0.5)
    return clamp(((base + bonus) - penalty) + loop * 0.4, 0.0, 1.0)


def calculate_gpu_suitability(op, data, cpu, available, capability):
    if not available:
        return 0.0
    base = op * 0.6 + data * 0.4
    cpu_term = clamp(cpu * 0.3, 0.0, 0.3)
    mult = 1.0
    if capability:
        try:
            major = int(capability.split(".")[0])
            if not -2**31 <= major < 2**31:
                raise OverflowError
            mult = 1.2 if major >= 8 else 1.1 if major == 7 else 1.0 if major == 6 else 0.8
        except (ValueError, IndexError):
            pass
    return clamp((base + cpu_term) * mult, 0.0, 1.0)


def estimate_gpu_speedup(op, data, available):
    if not available or op == 0.0:
        return 1.0
    base = 15.0 if op > 0.8 else 8.0 if op > 0.6 else 4.0 if op > 0.3 else 2.0
    return (data * 0.5 + 1.0) * base


def determine_workload_pattern(cpu, mem, par, gpu_s, gpu_op, np_s, pd_s, sk_s, seq_n, emb_n,
                cpu_t, mem_t, gpu_t, np_t, pd_t, sk_t, gpu):
    if sk_s > sk_t:
        return 12
    if pd_s > pd_t:
        return 10
    if np_s > np_t:
        return 8
    if gpu and gpu_s > gpu_t:
        if gpu_op > 0.7 and cpu > 0.6:
            return 6
        return 7 if mem > 0.5 else 5
    if emb_n > 0 or par > 0.6:
        return 3
    if cpu > cpu_t:
        return 1
    if mem > mem_t:
        return 2
    return 4 if seq_n >= 3 else 0


def update_adaptive_threshold(cur, rate, lr, lo, hi):
    new = cur
    if rate > 0.8:
        new = cur + lr
    elif rate < 0.4:
        new = cur - lr
    return clamp(new, lo, hi)
