"""One-shot detection of usable CPUs, NUMA nodes, GPU back-ends and the Python version."""

# Standard modules the module binds in its namespace.
import os as os
import sys as sys
import time as time
from typing import Literal, TypedDict, type_check_only

@type_check_only
class GPUInfo(TypedDict):
    """What detect_gpu_backends() returns (keys in this order)."""

    has_gpu: bool
    gpu_count: int
    gpu_memory_mb: int
    cuda_available: bool
    rocm_available: bool
    oneapi_available: bool
    active_backend: str  # "cpu" when no GPU back-end is chosen
    backend_version: str

@type_check_only
class Capabilities(TypedDict):
    """What detect_capabilities() returns when detection succeeds (keys in this order)."""

    physical_cores: int
    numa_nodes: int
    has_gpu: bool
    gpu_count: int
    gpu_memory_mb: int
    cuda_available: bool
    rocm_available: bool
    oneapi_available: bool
    active_backend: str
    backend_version: str
    python_version: str  # "3.12.1"
    subinterpreter_support: bool
    platform: str
    detected_at: float
    detector: Literal["native"]
    detection_time_ms: float

@type_check_only
class FallbackCapabilities(TypedDict):
    """What detect_capabilities() returns when a detection step raised (keys in this order)."""

    physical_cores: int
    numa_nodes: int
    has_gpu: bool
    gpu_count: int
    gpu_memory_mb: int
    cuda_available: bool
    rocm_available: bool
    oneapi_available: bool
    active_backend: str
    backend_version: str
    python_version: str  # major and minor only, "3.12"
    subinterpreter_support: bool
    platform: str
    detected_at: float
    detector: Literal["native_fallback"]
    error: str
    detection_time_ms: float

def detect_physical_cores() -> int: ...
def detect_numa_nodes() -> int: ...
def detect_gpu_backends() -> GPUInfo: ...
def detect_python_version() -> tuple[str, bool]: ...
def detect_capabilities() -> Capabilities | FallbackCapabilities: ...
