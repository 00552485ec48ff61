"""task_profiler against its pure-Python equivalents and the floor.

The Python equivalents are the natural implementations: the compiled patterns' findall, the
lower-cased text searched once per keyword, plain float arithmetic.
"""

import re

_PATTERNS = {
    "numpy": re.compile(r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b", re.IGNORECASE),
    "pandas": re.compile(r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b", re.IGNORECASE),
    "sklearn": re.compile(r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b",
                          re.IGNORECASE),
}
_NUMPY = ["numpy", "np.", "ndarray", "array", "matrix", "vectorize", "broadcast", "ufunc", "dot",
          "matmul", "linalg", "fft", "sum", "mean", "std", "var", "min", "max", "argmax", "argmin",
          "reshape", "transpose", "concatenate", "stack", "split"]
_PANDAS = ["pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg", "transform", "merge",
           "join", "concat", "pivot", "melt", "query", "eval", "rolling", "resample", "sort_values"]
_SKLEARN = ["sklearn", "fit", "predict", "transform", "score", "cross_val", "gridsearchcv",
            "randomizedsearchcv", "pipeline", "featureunion", "train_test_split", "classification",
            "regression", "clustering", "preprocessing", "model_selection", "metrics", "ensemble"]
_CPU = ["for", "while", "range", "numpy", "scipy", "math", "calculation", "compute", "algorithm",
        "sum", "prod", "dot", "matmul", "fft", "linalg"]
_MEMORY = ["array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append",
           "extend"]
_PARALLEL = ["multiprocessing", "threading", "concurrent", "async", "parallel", "pool", "worker",
             "chunk", "batch", "processpoolexecutor", "threadpoolexecutor"]
_GPU = ["matmul", "dot", "tensordot", "@", "fft", "ifft", "rfft", "convolve", "correlate", "sum",
        "mean", "std", "var", "sin", "cos", "exp", "log", "sqrt", "power", "**", "add", "subtract",
        "multiply", "divide", "/", "*", "+", "-", "linalg", "linear_algebra", "array", "asarray",
        "zeros", "ones", "empty", "full"]
_LARGE = ["reshape", "resize", "huge", "large", "gigabyte", "gb", "million", "billion", "1e6",
          "1e9", "1024", "megabyte", "mb"]
_EMBARRASSING = ["workload", "benchmark", "intensive", "chunk_workload", "map", "apply",
                 "vectorize", "broadcast"]
_SEQUENTIAL = ["global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered",
               "dependencies"]


def py_quick_framework_score(code, framework):
    pattern = _PATTERNS.get(framework)
    if pattern is None:
        return 0.0
    x = len(pattern.findall(code)) / 10.0
    return 1.0 if x > 1.0 else x


def _clamp01(v):
    return 0.0 if v < 0.0 else 1.0 if v > 1.0 else v


def py_score_framework_patterns(code):
    text = code.lower()
    return (_clamp01(sum(1 for k in _NUMPY if k in text) / 25.0),
            _clamp01(sum(1 for k in _PANDAS if k in text) / 18.0),
            _clamp01(sum(1 for k in _SKLEARN if k in text) / 18.0))


def py_score_indicators(code, function_name):
    text = code.lower()
    name = function_name.lower() if function_name else ""
    return (sum(1 for k in _CPU if k in text),
            sum(1 for k in _MEMORY if k in text),
            sum(1 for k in _PARALLEL if k in text),
            sum(1 for k in _GPU if k in text or k in name),
            sum(1 for k in _LARGE if k in text),
            sum(1 for k in _EMBARRASSING if k in text or k in name),
            sum(1 for k in _SEQUENTIAL if k in text))


def py_normalize_scores(cpu, memory, parallel, gpu_op, large):
    return (_clamp01(cpu / 15.0), _clamp01(memory / 10.0), _clamp01(parallel / 11.0),
            _clamp01(gpu_op / 36.0), _clamp01(large / 13.0))


def _clamp(v, lo, hi):
    return lo if v < lo else hi if v > hi else v


def py_calculate_parallelization_potential(base, embarrassing_bonus, sequential_penalty, loop):
    bonus = _clamp(embarrassing_bonus * 0.3, 0.0, 0.7)
    penalty = _clamp(sequential_penalty * 0.2, 0.0, 0.5)
    return _clamp(((base + bonus) - penalty) + loop * 0.4, 0.0, 1.0)


def py_calculate_gpu_suitability(op, data, cpu, gpu_available, compute_capability):
    if not gpu_available:
        return 0.0
    base = op * 0.6 + data * 0.4
    cpu_term = _clamp(cpu * 0.3, 0.0, 0.3)
    mult = 1.0
    if compute_capability:
        try:
            major = int(compute_capability.split(".")[0])
            mult = 1.2 if major >= 8 else 1.1 if major == 7 else 1.0 if major == 6 else 0.8
        except (ValueError, IndexError):
            pass
    return _clamp((base + cpu_term) * mult, 0.0, 1.0)


def py_estimate_gpu_speedup(op, data, gpu_available):
    if not gpu_available or op == 0.0:
        return 1.0
    base = 15.0 if op > 0.8 else 8.0 if op > 0.6 else 4.0 if op > 0.3 else 2.0
    return (data * 0.5 + 1.0) * base


def py_determine_workload_pattern(cpu, mem, par, gpu_s, gpu_op, np_s, pd_s, sk_s, seq_n, emb_n,
                                  cpu_t, mem_t, gpu_t, np_t, pd_t, sk_t, gpu_available):
    if sk_s > sk_t:
        return 12
    if pd_s > pd_t:
        return 10
    if np_s > np_t:
        return 8
    if gpu_available and gpu_s > gpu_t:
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


def py_update_adaptive_threshold(current, success_rate, learning_rate, lo, hi):
    new = current
    if success_rate > 0.8:
        new = current + learning_rate
    elif success_rate < 0.4:
        new = current - learning_rate
    return _clamp(new, lo, hi)


_SOURCE = '''def rolling_stats(data, window=16):
    """Mean, spread and range of each window of the series."""
    import numpy as np
    arr = np.asarray(data, dtype=float)
    out = []
    for i in range(len(arr) - window):
        chunk = arr[i:i + window]
        out.append((chunk.mean(), chunk.std(), chunk.max() - chunk.min()))
    result = np.array(out)
    return result.reshape(-1, 3) * scale + offset


def load_frame(path):
    import pandas as pd
    frame = pd.read_csv(path)
    grouped = frame.groupby("key").agg({"value": "sum"})
    return grouped.sort_values("value").merge(frame, on="key")


class Worker:
    def __init__(self, pool):
        self.pool = pool
        self.cache = {}

    def run(self, items):
        with self.pool.lock:
            return [self.process(x) for x in items if x is not None]
'''


def _text(size):
    return (_SOURCE * (size // len(_SOURCE) + 1))[:size]


def register(suite):
    from quarvel.bench._floor import Floor
    from quarvel.plugins.analyzer import task_profiler as tp

    small, large = _text(200), _text(5000)
    ns = {"tp": tp, "f": Floor(fvalue=0.25, obj=(0.1, 0.2, 0.3)), "small": small, "large": large}
    pattern_args = "0.4, 0.3, 0.5, 0.2, 0.1, 0.2, 0.1, 0.0, 1, 0, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, True"
    ns.update({k: v for k, v in globals().items() if k.startswith("py_")})
    g = "task_profiler"
    for label, text in (("200 B", "small"), ("5 KB", "large")):
        suite.row(g, f"quick_framework_score({label}, numpy)", f"tp.quick_framework_score({text}, 'numpy')",
                  python=f"py_quick_framework_score({text}, 'numpy')", floor=f"f.float2({text}, 'numpy')",
                  ns=ns, goal=">=2x python")
        suite.row(g, f"score_framework_patterns({label})", f"tp.score_framework_patterns({text})",
                  python=f"py_score_framework_patterns({text})", floor=f"f.obj1({text})", ns=ns,
                  goal=">=5x python (5 KB)")
        suite.row(g, f"score_indicators({label}, name)", f"tp.score_indicators({text}, 'rolling_stats')",
                  python=f"py_score_indicators({text}, 'rolling_stats')",
                  floor=f"f.obj2({text}, 'rolling_stats')", ns=ns, goal=">=5x python (5 KB)")
    # Non-ASCII text is matched by the compiled pattern itself.
    ns["accented"] = _text(200) + "é"
    suite.row(g, "quick_framework_score(200 B non-ASCII)", "tp.quick_framework_score(accented, 'numpy')",
              python="py_quick_framework_score(accented, 'numpy')", floor="f.float2(accented, 'numpy')",
              ns=ns)
    suite.row(g, "normalize_scores(3, 5, 0, 9, 2)", "tp.normalize_scores(3, 5, 0, 9, 2)",
              python="py_normalize_scores(3, 5, 0, 9, 2)", floor="f.obj5(3, 5, 0, 9, 2)", ns=ns,
              goal=">=2x python")
    suite.row(g, "calculate_parallelization_potential(x4)",
              "tp.calculate_parallelization_potential(0.2, 1.0, 1.0, 0.5)",
              python="py_calculate_parallelization_potential(0.2, 1.0, 1.0, 0.5)",
              floor="f.float4(0.2, 1.0, 1.0, 0.5)", ns=ns, goal=">=2x python")
    suite.row(g, "calculate_gpu_suitability(.., True, '8.6')",
              "tp.calculate_gpu_suitability(0.5, 0.5, 0.4, True, '8.6')",
              python="py_calculate_gpu_suitability(0.5, 0.5, 0.4, True, '8.6')",
              floor="f.float5(0.5, 0.5, 0.4, True, '8.6')", ns=ns, goal=">=2x python")
    suite.row(g, "estimate_gpu_speedup(0.5, 1.0, True)", "tp.estimate_gpu_speedup(0.5, 1.0, True)",
              python="py_estimate_gpu_speedup(0.5, 1.0, True)", floor="f.float3(0.5, 1.0, True)", ns=ns,
              goal=">=2x python")
    # 17 arguments: the widest floor has 6, so the row has none.
    suite.row(g, "determine_workload_pattern(17 args)", f"tp.determine_workload_pattern({pattern_args})",
              python=f"py_determine_workload_pattern({pattern_args})", ns=ns, goal=">=2x python")
    suite.row(g, "update_adaptive_threshold(x5)", "tp.update_adaptive_threshold(0.5, 0.9, 0.1, 0.1, 0.9)",
              python="py_update_adaptive_threshold(0.5, 0.9, 0.1, 0.1, 0.9)",
              floor="f.float5(0.5, 0.9, 0.1, 0.1, 0.9)", ns=ns, goal=">=2x python")
