"""Stand-in for the runtime's ``quarvel.gpu.backend_registry`` module.

The real registry belongs to the runtime, outside the native core; a deployment replaces this file
with it. The hardware probe imports ``GPUBackendRegistry`` and ``GPUBackendKind`` from here on every
call of ``detect_gpu_backends``. This stand-in knows no GPU library, so it always reports the CPU
back-end only (the probe then asks ``nvidia-smi``).
"""

from __future__ import annotations

import enum
from dataclasses import dataclass, field

__all__ = ["GPUBackendKind", "GPUBackendInfo", "GPUBackend", "GPUBackendRegistry"]


class GPUBackendKind(enum.Enum):
    CPU = "cpu"
    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"


@dataclass(frozen=True)
class GPUBackendInfo:
    kind: GPUBackendKind
    version: str = ""
    device_count: int = 0
    memory_gb: float = 0.0


@dataclass(frozen=True)
class GPUBackend:
    info: GPUBackendInfo = field(default_factory=lambda: GPUBackendInfo(GPUBackendKind.CPU))


class GPUBackendRegistry:
    """Detects the GPU back-ends present in this process."""

    @classmethod
    def detect_available_backends(cls) -> dict[GPUBackendKind, GPUBackendInfo]:
        """Map each available GPU back-end kind to its info (none without a GPU library)."""
        return {}

    @classmethod
    def get_best_available(cls) -> GPUBackend:
        """The preferred back-end: the CPU one when no GPU back-end is available."""
        return GPUBackend(GPUBackendInfo(GPUBackendKind.CPU, version=""))
