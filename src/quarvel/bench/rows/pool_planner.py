"""Benchmark rows for quarvel.plugins.analyzer.pool_planner.

The pure-Python equivalents (quarvel.bench.models.pool_planner) are the same rules written as plain
functions over the same lists, tuples and dictionaries. Histories hold (timestamp, value) tuples of floats, as the
orchestrator records them; the scalar gates take floats.
"""


def register(suite):
    from quarvel.bench import _floor as fl
    from quarvel.bench.models import pool_planner as py
    from quarvel.plugins.analyzer import pool_planner as pp

    fl.set_value(12345, 0.125, "mixed")
    ns = {"pp": pp, "py": py, "fl": fl}
    for n in (10, 1000):
        ns[f"perf{n}"] = [(1000.0 + i * 0.5, 100.0 - (i % 7)) for i in range(n)]
        ns[f"alloc{n}"] = [(i * 0.01, 4096.0 * (1 + i % 5)) for i in range(n)]
        ns[f"prof{n}"] = [{"parallelization_potential": 0.5, "cpu_intensity": 0.4 + 0.1 * (i % 6),
                           "memory_intensity": 0.3, "task": "t"} for i in range(n)]
        ns[f"pat{n}"] = [("cpu_bound", "io_bound", "mixed", "cpu_bound")[i % 4] for i in range(n)]
    ns["pred_floor"] = fl.Floor(obj=(10, 40960, 0.08))

    g = "pool_planner"
    goal = ">=2x python"

    def row(name, call, floor):
        suite.row(g, name, f"pp.{call}", python=f"py.{call}", floor=floor, ns=ns, goal=goal)

    for n in (10, 1000):
        row(f"detect_performance_degradation({n})", f"detect_performance_degradation(perf{n}, 110.0, 0.05, 1000.0)",
            f"fl.fn_bool4(perf{n}, 110.0, 0.05, 1000.0)")
        row(f"calculate_performance_trend({n})", f"calculate_performance_trend(perf{n}, 1000.0)",
            f"fl.fn_float2(perf{n}, 1000.0)")
        row(f"predict_resource_requirements({n})", f"predict_resource_requirements(alloc{n}, 60.0)",
            f"pred_floor.obj2(alloc{n}, 60.0)")
        row(f"detect_workload_characteristics_change({n})", f"detect_workload_characteristics_change(prof{n})",
            f"fl.fn_obj1(prof{n})")
        row(f"detect_dominant_pattern({n})", f"detect_dominant_pattern(pat{n})", f"fl.fn_obj1(pat{n})")
    row("detect_dominant_pattern(1000, window 1000)", "detect_dominant_pattern(pat1000, 1000)",
        "fl.fn_obj2(pat1000, 1000)")
    row("detect_memory_pressure", "detect_memory_pressure(900.0, 1000.0)", "fl.fn_bool2(900.0, 1000.0)")
    row("detect_fragmentation_threshold", "detect_fragmentation_threshold(0.31)", "fl.fn_bool1(0.31)")
    row("score_pool_recommendation", "score_pool_recommendation(0.8, 0.6, 0.9, 0.7)",
        "fl.fn_float4(0.8, 0.6, 0.9, 0.7)")
    row("is_adaptation_beneficial", "is_adaptation_beneficial('thread', 'process', 0.7, 0.8, 0.5, 1)",
        "fl.fn_bool6('thread', 'process', 0.7, 0.8, 0.5, 1)")
    row("should_skip_adaptation", "should_skip_adaptation(100.0, 130.0, 60.0)", "fl.fn_bool3(100.0, 130.0, 60.0)")
    row("calculate_adaptation_urgency", "calculate_adaptation_urgency(0.3, 0.7, 0.2, True)",
        "fl.fn_float4(0.3, 0.7, 0.2, True)")
