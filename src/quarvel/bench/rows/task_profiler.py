"""task_profiler against its pure-Python equivalents and the floor.

The Python equivalents (quarvel.bench.models.task_profiler) are the natural implementations: the compiled patterns' findall, the
lower-cased text searched once per keyword, plain float arithmetic.
"""

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
    from quarvel.bench.models import task_profiler as py
    from quarvel.plugins.analyzer import task_profiler as tp

    small, large = _text(200), _text(5000)
    ns = {"tp": tp, "f": Floor(fvalue=0.25, obj=(0.1, 0.2, 0.3)), "small": small, "large": large}
    pattern_args = "0.4, 0.3, 0.5, 0.2, 0.1, 0.2, 0.1, 0.0, 1, 0, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, True"
    ns["py"] = py
    g = "task_profiler"
    for label, text, goal in (("200 B", "small", ">=2x python"), ("5 KB", "large", ">=5x python")):
        suite.row(g, f"quick_framework_score({label}, numpy)", f"tp.quick_framework_score({text}, 'numpy')",
                  python=f"py.quick_framework_score({text}, 'numpy')", floor=f"f.float2({text}, 'numpy')",
                  ns=ns, goal=">=2x python")
        suite.row(g, f"score_framework_patterns({label})", f"tp.score_framework_patterns({text})",
                  python=f"py.score_framework_patterns({text})", floor=f"f.obj1({text})", ns=ns, goal=goal)
        suite.row(g, f"score_indicators({label}, name)", f"tp.score_indicators({text}, 'rolling_stats')",
                  python=f"py.score_indicators({text}, 'rolling_stats')",
                  floor=f"f.obj2({text}, 'rolling_stats')", ns=ns, goal=goal)
    # Non-ASCII text is matched by the compiled pattern itself.
    ns["accented"] = _text(200) + "é"
    suite.row(g, "quick_framework_score(200 B non-ASCII)", "tp.quick_framework_score(accented, 'numpy')",
              python="py.quick_framework_score(accented, 'numpy')", floor="f.float2(accented, 'numpy')",
              ns=ns)
    suite.row(g, "normalize_scores(3, 5, 0, 9, 2)", "tp.normalize_scores(3, 5, 0, 9, 2)",
              python="py.normalize_scores(3, 5, 0, 9, 2)", floor="f.obj5(3, 5, 0, 9, 2)", ns=ns,
              goal=">=2x python")
    suite.row(g, "calculate_parallelization_potential(x4)",
              "tp.calculate_parallelization_potential(0.2, 1.0, 1.0, 0.5)",
              python="py.calculate_parallelization_potential(0.2, 1.0, 1.0, 0.5)",
              floor="f.float4(0.2, 1.0, 1.0, 0.5)", ns=ns, goal=">=2x python")
    suite.row(g, "calculate_gpu_suitability(.., True, '8.6')",
              "tp.calculate_gpu_suitability(0.5, 0.5, 0.4, True, '8.6')",
              python="py.calculate_gpu_suitability(0.5, 0.5, 0.4, True, '8.6')",
              floor="f.float5(0.5, 0.5, 0.4, True, '8.6')", ns=ns, goal=">=2x python")
    suite.row(g, "estimate_gpu_speedup(0.5, 1.0, True)", "tp.estimate_gpu_speedup(0.5, 1.0, True)",
              python="py.estimate_gpu_speedup(0.5, 1.0, True)", floor="f.float3(0.5, 1.0, True)", ns=ns,
              goal=">=2x python")
    # 17 arguments: the widest floor has 6, so the row has none.
    suite.row(g, "determine_workload_pattern(17 args)", f"tp.determine_workload_pattern({pattern_args})",
              python=f"py.determine_workload_pattern({pattern_args})", ns=ns, goal=">=2x python")
    suite.row(g, "update_adaptive_threshold(x5)", "tp.update_adaptive_threshold(0.5, 0.9, 0.1, 0.1, 0.9)",
              python="py.update_adaptive_threshold(0.5, 0.9, 0.1, 0.1, 0.9)",
              floor="f.float5(0.5, 0.9, 0.1, 0.1, 0.9)", ns=ns, goal=">=2x python")
