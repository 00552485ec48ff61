"""The pool planner's rules as a straightforward Python transcription: the model the tests hold
quarvel.plugins.analyzer.pool_planner to (bit for bit) and the pure-Python equivalent the benchmark
times it against."""


def unit(v):
    if not v < 1.0:
        v = 1.0
    if not v > 0.0:
        v = 0.0
    return v


def clamp01(v):
    return 0.0 if v < 0.0 else 1.0 if v > 1.0 else v


def detect_performance_degradation(history, baseline, threshold, window_start):
    if history is None or len(history) == 0 or baseline <= 0:
        return False
    if len(history) < 5:
        return False
    total, count = 0.0, 0
    for ts, metric in history:
        ts, metric = float(ts), float(metric)
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
    window = []
    for ts, metric in history:
        ts, metric = float(ts), float(metric)
        if ts >= window_start:
            window.append((ts, metric))
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
    if not trend < 1.0:
        trend = 1.0
    if not trend > -1.0:
        trend = -1.0
    return trend


KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")


def detect_workload_characteristics_change(history, change_threshold=0.3):
    n = len(history)
    if n < 6:
        return (False, 0.0, 0.0, 0.0)
    recent = [0.0, 0.0, 0.0]
    older = [0.0, 0.0, 0.0]
    for i in range(n - 6, n):
        profile = history[i]
        if not isinstance(profile, dict):
            raise TypeError
        if any(k not in profile for k in KEYS):
            return (False, 0.0, 0.0, 0.0)
        sums = recent if i >= n - 3 else older
        for j, k in enumerate(KEYS):
            sums[j] = float(sums[j] + profile[k])  # a float sum: `+=`, then read back
    changes = [abs(r / 3.0 - o / 3.0) for r, o in zip(recent, older)]
    return (any(c > change_threshold for c in changes), *changes)


def detect_dominant_pattern(patterns, window_size=5):
    n = len(patterns)
    if n == 0:
        return "mixed"
    start = max(n - window_size, 0)
    counts = {}
    for name in patterns[start:]:
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
    return False if ratio < 0 else ratio > threshold


def score_pool_recommendation(w, m, t, h):
    w, m, t, h = unit(w), unit(m), unit(t), unit(h)
    return clamp01(((m * 0.3 + w * 0.35) + t * 0.2) + h * 0.15)


def is_adaptation_beneficial(cur, rec, score, conf, est, trigger, min_imp=1.1, min_conf=0.6):
    if cur == rec:
        return False
    if conf < min_conf:
        return False
    if trigger == 0:
        return score > 0.5
    if est > 0:
        return score > min_imp * est
    return score > 0.6


def should_skip_adaptation(last, now, interval):
    return interval > (now - last)


def calculate_adaptation_urgency(deg, mem, frag, changed):
    u = ((0.0 + unit(deg) * 0.4) + unit(mem) * 0.3) + unit(frag) * 0.15
    if changed:
        u += 0.15
    return clamp01(u)


def trunc64(v):
    if v != v:
        return 0
    if v >= 2.0**63:
        return 2**63 - 1
    if v < -(2.0**63):
        return -(2**63)
    return int(v)


def predict_resource_requirements(history, horizon):
    n = len(history)
    if n < 10:
        return (0, 0, 0.0)
    span = float(history[-1][0]) - float(history[0][0])
    if span <= 0:
        return (0, 0, 0.0)
    rate = n / span
    total = 0.0
    for _ts, size in history:
        total += float(size)
    allocations = trunc64(rate * horizon)
    total_bytes = trunc64((total / n) * float(allocations))
    return (allocations, total_bytes, min(n / 100.0, 1.0) * 0.8)
