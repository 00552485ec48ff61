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
