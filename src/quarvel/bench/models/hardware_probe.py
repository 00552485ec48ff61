"""quarvel.native.hardware_probe's detection written as ordinary interpreted code, the pure-Python
equivalent the benchmark times it against."""

from __future__ import annotations

import os
import sys
import time


def detect_physical_cores():
    try:
        if hasattr(os, "sched_getaffinity"):
            cores = len(os.sched_getaffinity(0))
        else:
            cores = os.cpu_count() or 1
        return max(1, cores)
    except Exception:
        return os.cpu_count() or 1


def detect_numa_nodes():
    try:
        if sys.platform == "linux":
            path = "/sys/devices/system/node"
            if not os.path.exists(path):
                return 1
            nodes = [d for d in os.listdir(path) if d.startswith("node") and d[4:].isdigit()]
            return len(nodes) or 1
        elif sys.platform == "win32":
            try:
                import ctypes
                from ctypes import wintypes
                kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
                fn = kernel32.GetNumaHighestNodeNumber
                fn.restype = wintypes.BOOL
                fn.argtypes = [ctypes.POINTER(ctypes.c_ulong)]
                highest = ctypes.c_ulong()
                if fn(ctypes.byref(highest)):
                    return highest.value + 1
                return 1
            except Exception:
                return 1
        return 1
    except Exception:
        return 1


def detect_gpu_backends():
    info = {"has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False,
            "rocm_available": False, "oneapi_available": False, "active_backend": "cpu",
            "backend_version": ""}
    try:
        from quarvel.gpu.backend_registry import GPUBackendRegistry, GPUBackendKind
        backends = GPUBackendRegistry.detect_available_backends()
        info["cuda_available"] = GPUBackendKind.CUDA in backends
        info["rocm_available"] = GPUBackendKind.ROCm in backends
        info["oneapi_available"] = GPUBackendKind.oneAPI in backends
        best = GPUBackendRegistry.get_best_available()
        info["active_backend"] = best.info.kind.value
        info["backend_version"] = best.info.version
        info["has_gpu"] = info["active_backend"] != "cpu"
        if info["has_gpu"] and best.info.kind in backends:
            entry = backends[best.info.kind]
            info["gpu_count"] = entry.device_count
            info["gpu_memory_mb"] = int(entry.memory_gb * 1024)
    except Exception:
        try:
            import subprocess
            result = subprocess.run(["nvidia-smi", "--query-gpu=name", "--format=csv,noheader"],
                                    capture_output=True, timeout=0.5, check=False)
            if result.returncode == 0 and result.stdout:
                info["has_gpu"] = True
                lines = result.stdout.decode("utf-8", errors="ignore").strip().split("\n")
                info["gpu_count"] = len([line for line in lines if line.strip()])
        except Exception:
            pass
    return info


def detect_python_version():
    version = f"{sys.version_info.major}.{sys.version_info.minor}.{sys.version_info.micro}"
    has_sub = False
    if sys.version_info >= (3, 12):
        try:
            import _xxsubinterpreters  # noqa: F401
            has_sub = True
        except ImportError:
            pass
    return version, has_sub


_GPU_KEYS = ("has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available", "rocm_available",
             "oneapi_available", "active_backend", "backend_version")


def detect_capabilities():
    caps = {}
    start = time.perf_counter()
    try:
        caps["physical_cores"] = detect_physical_cores()
        caps["numa_nodes"] = detect_numa_nodes()
        gpu = detect_gpu_backends()
        for key in _GPU_KEYS:
            caps[key] = gpu[key]
        version, has_sub = detect_python_version()
        caps["python_version"] = version
        caps["subinterpreter_support"] = has_sub
        caps["platform"] = sys.platform
        caps["detected_at"] = time.time()
        caps["detector"] = "native"
        caps["detection_time_ms"] = (time.perf_counter() - start) * 1000
        return caps
    except Exception as e:
        return {"physical_cores": os.cpu_count() or 1, "numa_nodes": 1, "has_gpu": False,
                "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False,
                "rocm_available": False, "oneapi_available": False, "active_backend": "cpu",
                "backend_version": "",
                "python_version": f"{sys.version_info.major}.{sys.version_info.minor}",
                "subinterpreter_support": False, "platform": sys.platform,
                "detected_at": time.time(), "detector": "native_fallback", "error": str(e),
                "detection_time_ms": (time.perf_counter() - start) * 1000}


REGISTRY = "quarvel.gpu.backend_registry"


def forget_registry():
    """Makes the next detection import the back-end registry again, as the first one of a process does."""
    sys.modules.pop(REGISTRY, None)
    import quarvel.gpu as gpu

    if hasattr(gpu, "backend_registry"):
        del gpu.backend_registry
