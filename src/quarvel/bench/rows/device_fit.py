"""The GPU planner's functions against the same rules written in plain Python and against the floor."""

import math

_CHUNKABLE = frozenset({"zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
                        "random.standard_normal", "random.uniform", "arange", "linspace"})
_NOT_CHUNKABLE = frozenset({"matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve",
                            "inv", "sort", "argsort"})
_NO_MEMORY = (2, 0, 1, "No GPU memory available")
_FITS = (0, 0, 1, "Allocation fits in GPU memory")
_NOT_CHUNKABLE_RESULT = (2, 0, 1, "Operation not chunkable, falling back to CPU")
_MAX_ESTIMATE = 2**63 - 1


def estimate_allocation_bytes(shape, element_size, overhead_factor=1.0):
    elements = 1
    for d in shape:
        if d <= 0:
            return 0
        if elements > _MAX_ESTIMATE // d:
            return _MAX_ESTIMATE
        elements *= d
    if element_size > 0 and elements > _MAX_ESTIMATE // element_size:
        return _MAX_ESTIMATE
    nbytes = elements * element_size
    if overhead_factor > 1.0:
        nbytes = int(nbytes * overhead_factor)
    return nbytes


def calculate_safe_limit(available_bytes, headroom_ratio):
    headroom_ratio = min(max(headroom_ratio, 0.0), 0.99)
    return int((1.0 - headroom_ratio) * available_bytes)


def decide_allocation_strategy(requested_bytes, available_bytes, headroom_ratio, is_chunkable):
    safe = calculate_safe_limit(available_bytes, headroom_ratio)
    if safe == 0:
        return _NO_MEMORY
    if requested_bytes <= safe:
        return _FITS
    if not is_chunkable:
        return _NOT_CHUNKABLE_RESULT
    count = math.ceil(requested_bytes / safe)
    return (1, safe, count, f"Chunking into {count} GPU passes")


def compute_chunk_shapes(shape, element_size, max_chunk_bytes):
    if element_size <= 0:
        raise ValueError("element_size must be positive")
    if max_chunk_bytes <= 0:
        raise ValueError("max_chunk_bytes must be positive")
    if not shape:
        return [shape]
    rest = shape[1:]
    row_bytes = element_size * math.prod(rest)
    rows = 1 if max_chunk_bytes < row_bytes else max(max_chunk_bytes // row_bytes, 1)
    out = []
    remaining = shape[0]
    while remaining > 0:
        n = min(remaining, rows)
        out.append((n,) + rest)
        remaining -= n
    return out


def calculate_optimal_chunks(total_bytes, available_bytes, headroom_ratio, min_chunks=1, max_chunks=1000):
    safe = calculate_safe_limit(available_bytes, headroom_ratio)
    if safe == 0:
        return max_chunks
    count = math.ceil(total_bytes / safe)
    if count < min_chunks:
        return min_chunks
    return min(max_chunks, count)


def is_oom_error(error_message, error_type):
    msg = error_message.lower()
    typ = error_type.lower()
    return ("out of memory" in msg or "outofmemoryerror" in typ
            or ("cuda" in msg and "memory" in msg) or ("allocat" in msg and "failed" in msg)
            or ("memory" in msg and "insufficient" in msg) or ("gpu" in msg and "memory" in msg))


def is_chunkable_operation(operation):
    return operation in _CHUNKABLE


def score_gpu_suitability(data_size_bytes, operation_type, available_gpu_memory, headroom_ratio):
    safe = calculate_safe_limit(available_gpu_memory, headroom_ratio)
    if safe == 0:
        size = 0.0
    elif safe < data_size_bytes:
        size = safe / data_size_bytes
    else:
        size = min(data_size_bytes / (safe * 0.8), 1.0)
    if operation_type in _CHUNKABLE:
        op = 0.9
    elif operation_type in _NOT_CHUNKABLE:
        op = 0.7
    else:
        op = 0.5
    return op * size


def calculate_memory_pressure(used_bytes, total_bytes):
    if total_bytes == 0:
        return 1.0
    return min(used_bytes / total_bytes, 1.0)


def recommend_headroom(current_pressure, base_headroom=0.5):
    if current_pressure > 0.8:
        h = 0.8
    elif current_pressure > 0.6:
        h = (current_pressure - 0.5) * 0.5 + base_headroom
    elif current_pressure > 0.3:
        h = base_headroom
    else:
        h = max(base_headroom - 0.1, 0.3)
    return min(max(h, 0.3), 0.8)


def register(suite):
    import types

    from quarvel.bench._floor import Floor
    from quarvel.gpu import device_fit

    py = types.SimpleNamespace(**{k: v for k, v in globals().items() if callable(v) and not k.startswith("_")})
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
