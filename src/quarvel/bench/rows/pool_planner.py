"""Benchmark rows for quarvel.plugins.analyzer.pool_planner.

The pure-Python equivalents are the natural ones: the same rules written as plain functions over
the same lists, tuples and dictionaries. Histories hold (timestamp, value) tuples of floats, as the
orchestrator records them; the scalar gates take floats.
"""

from __future__ import annotations

KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")
NO_CHANGE = (False, 0.0, 0.0, 0.0)
EMPTY_PREDICTION = (0, 0, 0.0)


def detect_performance_degradation(history, baseline, threshold, window_start):
    if not history or baseline <= 0 or len(history) < 5:
        return False
    total = 0.0
    count = 0
    for ts, metric in history:
        ts = float(ts)
        metric = float(metric)
        if ts >= window_start:
            total += metric
            count += 1
    if count < 5:
        return False
    average = total / count
    return (baseline - average) / baseline > threshold


def calculate_performance_trend(history, window_start):
    if history is None or len(history) < 3:
        return 0.0
    window = [(float(ts), float(m)) for ts, m in history if float(ts) >= window_start]
    if len(window) < 3:
        return 0.0
    n = float(len(window))
    t0 = window[0][0]
    sx = sy = sxy = sxx = 0.0
    for ts, y in window:
        x = ts - t0
        sx += x
        sy += y
        sxy += x * y
        sxx += x * x
    x_mean = sx / n
    den = sxx - (x_mean * n) * x_mean
    if abs(den) < 1e-10:
        return 0.0
    y_mean = sy / n
    if abs(y_mean) < 1e-10:
        return 0.0
    trend = ((sxy - (x_mean * n) * y_mean) / den) / y_mean
    return max(-1.0, min(1.0, trend))


def detect_workload_characteristics_change(history, change_threshold=0.3):
    n = len(history)
    if n < 6:
        return NO_CHANGE
    recent = [0.0, 0.0, 0.0]
    older = [0.0, 0.0, 0.0]
    for i in range(n - 6, n):
        profile = history[i]
        if not all(k in profile for k in KEYS):
            return NO_CHANGE
        sums = recent if i >= n - 3 else older
        for j, k in enumerate(KEYS):
            sums[j] += profile[k]
    p, c, m = (abs(r / 3.0 - o / 3.0) for r, o in zip(recent, older))
    return (p > change_threshold or c > change_threshold or m > change_threshold, p, c, m)


def detect_dominant_pattern(patterns, window_size=5):
    if not patterns:
        return "mixed"
    counts = {}
    for name in patterns[max(len(patterns) - window_size, 0):]:
        counts[name] = counts.get(name, 0) + 1
    best, best_count = "mixed", 0
    for name, c in counts.items():
        if c > best_count:
            best, best_count = name, c
    return best


def detect_memory_pressure(current, peak, threshold=0.8):
    if peak <= 0 or current < 0:
        return False
    return current / peak > threshold


def detect_fragmentation_threshold(ratio, threshold=0.3):
    if ratio < 0:
        return False
    return ratio > threshold


def _unit(v):
    v = 1.0 if not v < 1.0 else v
    return v if v > 0.0 else 0.0


def score_pool_recommendation(workload_fit, memory_fit, thread_count_fit, historical_success_rate):
    score = (_unit(memory_fit) * 0.3 + _unit(workload_fit) * 0.35 + _unit(thread_count_fit) * 0.2
             + _unit(historical_success_rate) * 0.15)
    return min(max(score, 0.0), 1.0)


def is_adaptation_beneficial(current_pool, recommended_pool, score, confidence, estimate, trigger_code,
                             min_improvement_ratio=1.1, min_confidence=0.6):
    if current_pool == recommended_pool or confidence < min_confidence:
        return False
    if trigger_code == 0:
        return score > 0.5
    if estimate > 0:
        return score > min_improvement_ratio * estimate
    return score > 0.6


def should_skip_adaptation(last_adaptation_time, current_time, min_interval):
    return min_interval > (current_time - last_adaptation_time)


def calculate_adaptation_urgency(degradation, pressure, fragmentation, workload_changed):
    urgency = _unit(degradation) * 0.4 + _unit(pressure) * 0.3 + _unit(fragmentation) * 0.15
    if workload_changed:
        urgency += 0.15
    return min(max(urgency, 0.0), 1.0)


def predict_resource_requirements(history, horizon):
    n = len(history)
    if n < 10:
        return EMPTY_PREDICTION
    span = float(history[-1][0]) - float(history[0][0])
    if span <= 0:
        return EMPTY_PREDICTION
    total = 0.0
    for _ts, size in history:
        total += float(size)
    allocations = int(n / span * horizon)
    return (allocations, int(total / n * allocations), min(n / 100.0, 1.0) * 0.8)


PY = {name: obj for name, obj in list(globals().items()) if callable(obj) and not name.startswith("_")}


def register(suite):
    from quarvel.bench import _floor as fl
    from quarvel.plugins.analyzer import pool_planner as pp

    fl.set_value(12345, 0.125, "mixed")
    ns = {"pp": pp, "py": type("py", (), {k: staticmethod(v) for k, v in PY.items()}), "fl": fl}
    for n in (10, 1000):
        ns[f"perf{n}"] = [(1000.0 + i * 0.5, 100.0 - (i % 7)) for i in range(n)]
        ns[f"alloc{n}"] = [(i * 0.01, 4096.0 * (1 + i % 5)) for i in range(n)]
        ns[f"prof{n}"] = [{"parallelization_potential": 0.5, "cpu_intensity": 0.4 + 0.1 * (i % 6),
                           "memory_intensity": 0.3, "task": "t"} for i in range(n)]
        ns[f"pat{n}"] = [("cpu_bound", "io_bound", "mixed", "cpu_bound")[i % 4] for i in range(n)]
    ns["pred_floor"] = fl.Floor(obj=(10, 40960, 0.08))

    g = "pool_planner"
    goal = ">=2x python"
    for n in (10, 1000):
        suite.row(g, f"detect_performance_degradation({n})", f"pp.detect_performance_degradation(perf{n}, 110.0, 0.05, 1000.0)",
                  python=f"py.detect_performance_degradation(perf{n}, 110.0, 0.05, 1000.0)",
                  floor=f"fl.fn_bool4(perf{n}, 110.0, 0.05, 1000.0)", ns=ns, goal=goal)
        suite.row(g, f"calculate_performance_trend({n})", f"pp.calculate_performance_trend(perf{n}, 1000.0)",
                  python=f"py.calculate_performance_trend(perf{n}, 1000.0)",
                  floor=f"fl.fn_float2(perf{n}, 1000.0)", ns=ns, goal=goal)
        suite.row(g, f"predict_resource_requirements({n})", f"pp.predict_resource_requirements(alloc{n}, 60.0)",
                  python=f"py.predict_resource_requirements(alloc{n}, 60.0)",
                  floor=f"pred_floor.obj2(alloc{n}, 60.0)", ns=ns, goal=goal)
        suite.row(g, f"detect_workload_characteristics_change({n})",
                  f"pp.detect_workload_characteristics_change(prof{n})",
                  python=f"py.detect_workload_characteristics_change(prof{n})",
                  floor=f"fl.fn_obj1(prof{n})", ns=ns, goal=goal)
        suite.row(g, f"detect_dominant_pattern({n})", f"pp.detect_dominant_pattern(pat{n})",
                  python=f"py.detect_dominant_pattern(pat{n})", floor=f"fl.fn_obj1(pat{n})", ns=ns, goal=goal)
    suite.row(g, "detect_dominant_pattern(1000, window 1000)", "pp.detect_dominant_pattern(pat1000, 1000)",
              python="py.detect_dominant_pattern(pat1000, 1000)", floor="fl.fn_obj2(pat1000, 1000)", ns=ns, goal=goal)
    suite.row(g, "detect_memory_pressure", "pp.detect_memory_pressure(900.0, 1000.0)",
              python="py.detect_memory_pressure(900.0, 1000.0)", floor="fl.fn_bool2(900.0, 1000.0)", ns=ns, goal=goal)
    suite.row(g, "detect_fragmentation_threshold", "pp.detect_fragmentation_threshold(0.31)",
              python="py.detect_fragmentation_threshold(0.31)", floor="fl.fn_bool1(0.31)", ns=ns, goal=goal)
    suite.row(g, "score_pool_recommendation", "pp.score_pool_recommendation(0.8, 0.6, 0.9, 0.7)",
              python="py.score_pool_recommendation(0.8, 0.6, 0.9, 0.7)", floor="fl.fn_float4(0.8, 0.6, 0.9, 0.7)",
              ns=ns, goal=goal)
    suite.row(g, "is_adaptation_beneficial", "pp.is_adaptation_beneficial('thread', 'process', 0.7, 0.8, 0.5, 1)",
              python="py.is_adaptation_beneficial('thread', 'process', 0.7, 0.8, 0.5, 1)",
              floor="fl.fn_bool6('thread', 'process', 0.7, 0.8, 0.5, 1)", ns=ns, goal=goal)
    suite.row(g, "should_skip_adaptation", "pp.should_skip_adaptation(100.0, 130.0, 60.0)",
              python="py.should_skip_adaptation(100.0, 130.0, 60.0)", floor="fl.fn_bool3(100.0, 130.0, 60.0)",
              ns=ns, goal=goal)
    suite.row(g, "calculate_adaptation_urgency", "pp.calculate_adaptation_urgency(0.3, 0.7, 0.2, True)",
              python="py.calculate_adaptation_urgency(0.3, 0.7, 0.2, True)",
              floor="fl.fn_float4(0.3, 0.7, 0.2, True)", ns=ns, goal=goal)
