"""The GPU planner's rules in plain Python: the reference the tests compare quarvel.gpu.device_fit with,
and the pure-Python equivalent the benchmark times it against. Sizes saturate as the native planner's
do (at 2**64 - 1 for byte counts, 2**63 - 1 for estimates, 2**31 - 1 for chunk counts)."""

import math

U64 = 2**64 - 1
I63 = 2**63 - 1
I32 = 2**31 - 1

CHUNKABLE = {"zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
             "random.standard_normal", "random.uniform", "arange", "linspace"}
NOT_CHUNKABLE = {"matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve",
                 "inv", "sort", "argsort"}


def to_u64(x):
    if x != x or x <= 0:
        return 0
    if x >= 2.0**64:
        return U64
    return int(x)


def calculate_safe_limit(available, headroom):
    if headroom != headroom:
        headroom = 0.99
    headroom = min(max(headroom, 0.0), 0.99)
    return to_u64((1.0 - headroom) * float(available))


def estimate_allocation_bytes(shape, element_size, overhead_factor=1.0):
    if element_size < 0:
        raise ValueError("element_size must not be negative")
    elements = 1
    for d in shape:
        if d <= 0:
            return 0
        if elements > I63 // d:
            return I63
        elements *= d
    if element_size > 0 and elements > I63 // element_size:
        return I63
    nbytes = elements * element_size
    if overhead_factor > 1.0:
        nbytes = to_u64(float(nbytes) * overhead_factor)
    return nbytes


def decide_allocation_strategy(requested, available, headroom, chunkable):
    safe = calculate_safe_limit(available, headroom)
    if safe == 0:
        return (2, 0, 1, "No GPU memory available")
    if requested <= safe:
        return (0, 0, 1, "Allocation fits in GPU memory")
    if not chunkable:
        return (2, 0, 1, "Operation not chunkable, falling back to CPU")
    count = min(math.ceil(float(requested) / float(safe)), U64)
    return (1, safe, count, f"Chunking into {count} GPU passes")


def compute_chunk_shapes(shape, element_size, max_chunk_bytes):
    if element_size <= 0:
        raise ValueError("element_size must be positive")
    if max_chunk_bytes == 0:
        raise ValueError("max_chunk_bytes must be positive")
    if len(shape) == 0:
        return [shape]
    row = element_size
    for d in shape[1:]:
        row = min(row * d, U64)
    first, rest = shape[0], shape[1:]
    if row == 0:
        rows = max(first, 1)
    elif max_chunk_bytes < row:
        rows = 1
    else:
        rows = min(max(max_chunk_bytes // row, 1), I32)
    out = []
    while first > 0:
        n = min(first, rows)
        out.append((n,) + rest)
        first -= n
    return out


def calculate_optimal_chunks(total, available, headroom, min_chunks=1, max_chunks=1000):
    safe = calculate_safe_limit(available, headroom)
    if safe == 0:
        return max_chunks
    count = min(math.ceil(float(total) / float(safe)), I32)
    if count < min_chunks:
        return min_chunks
    return min(max_chunks, count)


def is_chunkable_operation(operation):
    return operation in CHUNKABLE


def is_oom_error(message, type_name):
    m, t = message.lower(), type_name.lower()
    return ("out of memory" in m or "outofmemoryerror" in t
            or ("cuda" in m and "memory" in m) or ("allocat" in m and "failed" in m)
            or ("memory" in m and "insufficient" in m) or ("gpu" in m and "memory" in m))


def score_gpu_suitability(data, op, available, headroom):
    safe = calculate_safe_limit(available, headroom)
    if safe == 0:
        size = 0.0
    elif safe < data:
        size = float(safe) / float(data)
    else:
        size = min(float(data) / (float(safe) * 0.8), 1.0)
    opscore = 0.9 if op in CHUNKABLE else 0.7 if op in NOT_CHUNKABLE else 0.5
    return opscore * size


def calculate_memory_pressure(used, total):
    return 1.0 if total == 0 else min(float(used) / float(total), 1.0)


def recommend_headroom(p, b=0.5):
    if p > 0.8:
        h = 0.8
    elif p > 0.6:
        h = (p - 0.5) * 0.5 + b
    elif p > 0.3:
        h = b
    else:
        h = b - 0.1
        if not h > 0.3:
            h = 0.3
    if h < 0.3:
        return 0.3
    if h > 0.8:
        return 0.8
    return h
