"""The GPU planner's functions against the same rules in plain Python (quarvel.bench.models.device_fit) and
against the floor."""


def register(suite):
    from quarvel.bench._floor import Floor
    from quarvel.bench.models import device_fit as py
    from quarvel.gpu import device_fit

    gib = 1 << 30
    chunks = [(2, 4)] * 5
    ns = {"df": device_fit, "py": py, "gib": gib, "avail": 16 * gib, "used": 6 * gib,
          "fi": Floor(value=12 * gib), "ff": Floor(fvalue=0.25), "fb": Floor(),
          "fo": Floor(obj=(1, 800, 3, "Chunking into 3 GPU passes")), "fl": Floor(list=chunks),
          "fl64": Floor(list=[(16, 1024)] * 64)}
    g = "device_fit"
    goal = ">=2x python"

    def row(name, call, floor):
        suite.row(g, name, f"df.{call}", python=f"py.{call}", floor=floor, ns=ns, goal=goal)

    row("estimate_allocation_bytes((1000, 1000), 8, 1.5)", "estimate_allocation_bytes((1000, 1000), 8, 1.5)",
        "fi.int3((1000, 1000), 8, 1.5)")
    row("calculate_safe_limit(16 GiB, 0.2)", "calculate_safe_limit(avail, 0.2)", "fi.int2(avail, 0.2)")
    row("decide_allocation_strategy(..) fits", "decide_allocation_strategy(gib, avail, 0.2, True)",
        "fo.obj4(gib, avail, 0.2, True)")
    row("decide_allocation_strategy(..) chunked", "decide_allocation_strategy(2000, 1000, 0.2, True)",
        "fo.obj4(2000, 1000, 0.2, True)")
    row("compute_chunk_shapes((10, 4), 4, 40): 5 chunks", "compute_chunk_shapes((10, 4), 4, 40)",
        "fl.list3((10, 4), 4, 40)")
    row("compute_chunk_shapes((1024, 1024), 4, 64 KiB): 64", "compute_chunk_shapes((1024, 1024), 4, 65536)",
        "fl64.list3((1024, 1024), 4, 65536)")
    row("calculate_optimal_chunks(2000, 1000, 0.2)", "calculate_optimal_chunks(2000, 1000, 0.2)",
        "fi.int3(2000, 1000, 0.2)")
    row("is_oom_error(..) hit on the first rule", "is_oom_error('CUDA error: out of memory', 'RuntimeError')",
        "fb.bool2('CUDA error: out of memory', 'RuntimeError')")
    row("is_oom_error(..) miss, every rule tested",
        "is_oom_error('Invalid argument: shapes (3, 4) and (5, 6) not aligned', 'ValueError')",
        "fb.bool2('Invalid argument: shapes (3, 4) and (5, 6) not aligned', 'ValueError')")
    row("is_chunkable_operation('random.randn')", "is_chunkable_operation('random.randn')",
        "fb.bool1('random.randn')")
    row("score_gpu_suitability(400, 'matmul', 1000, 0.2)", "score_gpu_suitability(400, 'matmul', 1000, 0.2)",
        "ff.float4(400, 'matmul', 1000, 0.2)")
    row("calculate_memory_pressure(6 GiB, 16 GiB)", "calculate_memory_pressure(used, avail)",
        "ff.float2(used, avail)")
    row("recommend_headroom(0.7)", "recommend_headroom(0.7)", "ff.float1(0.7)")
