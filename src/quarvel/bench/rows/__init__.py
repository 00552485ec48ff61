"""Benchmark rows, one file per native module; each defines ``register(suite)`` (see quarvel.bench)."""
