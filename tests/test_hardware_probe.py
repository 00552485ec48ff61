"""Tests for quarvel.native.hardware_probe, driven by stand-in os, sys, time, registry and tools."""

from __future__ import annotations

import enum
import os
import shutil
import stat
import sys
import threading
import time
import types
from collections import namedtuple

import pytest

from quarvel.native import hardware_probe as probe

from helpers import retained_memory

REGISTRY = "quarvel.gpu.backend_registry"
GPU_KEYS = ["has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available", "rocm_available",
            "oneapi_available", "active_backend", "backend_version"]
INITIAL_GPU = {"has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False,
               "rocm_available": False, "oneapi_available": False, "active_backend": "cpu",
               "backend_version": ""}
CAPS_KEYS = (["physical_cores", "numa_nodes"] + GPU_KEYS
             + ["python_version", "subinterpreter_support", "platform", "detected_at", "detector",
                "detection_time_ms"])
FALLBACK_KEYS = CAPS_KEYS[:-1] + ["error", "detection_time_ms"]
SLEEP = shutil.which("sleep")  # found before any test narrows the search path
VersionInfo = namedtuple("VersionInfo", "major minor micro releaselevel serial")


def fake_os(**attrs):
    """A module-like stand-in for `os`; `exists`/`listdir` feed os.path.exists and os.listdir."""
    exists = attrs.pop("exists", lambda p: True)
    ns = types.SimpleNamespace(path=types.SimpleNamespace(exists=exists), **attrs)
    ns.cpu_count = attrs.get("cpu_count", lambda: 8)
    return ns


def fake_sys(platform="linux", version=(3, 11, 9)):
    return types.SimpleNamespace(platform=platform,
                                 version_info=VersionInfo(*version, "final", 0))


@pytest.fixture
def no_registry(monkeypatch):
    monkeypatch.setitem(sys.modules, REGISTRY, None)  # makes the import fail


@pytest.fixture
def tool_dir(tmp_path, monkeypatch):
    """An empty search path; `install(body)` puts a fake nvidia-smi script on it."""
    monkeypatch.setenv("PATH", str(tmp_path))

    def install(body):
        script = tmp_path / "nvidia-smi"
        script.write_text("#!/bin/sh\n" + body + "\n")
        script.chmod(script.stat().st_mode | stat.S_IEXEC)
        return tmp_path

    return install


class Kind(enum.Enum):
    CPU = "cpu"
    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"


def install_registry(monkeypatch, backends, best_kind, version="12.1", fail_at=None):
    """A registry module: `backends` maps kind values to (device_count, memory_gb)."""

    class Registry:
        @staticmethod
        def detect_available_backends():
            if fail_at == "detect":
                raise RuntimeError("no driver")
            return {Kind(k): types.SimpleNamespace(device_count=c, memory_gb=m)
                    for k, (c, m) in backends.items()}

        @staticmethod
        def get_best_available():
            if fail_at == "best":
                raise OSError("driver vanished")
            info = types.SimpleNamespace(kind=Kind(best_kind), version=version)
            return types.SimpleNamespace(info=info)

    mod = types.ModuleType(REGISTRY)
    mod.GPUBackendRegistry, mod.GPUBackendKind = Registry, Kind
    monkeypatch.setitem(sys.modules, REGISTRY, mod)
    return mod


# --- module surface --------------------------------------------------------------------------
def test_module_surface():
    names = [n for n in vars(probe) if not n.startswith("__")]
    assert names == ["sys", "os", "time", "detect_physical_cores", "detect_numa_nodes",
                     "detect_gpu_backends", "detect_python_version", "detect_capabilities"]
    assert probe.sys is sys and probe.os is os and probe.time is time
    first_lines = {
        "detect_physical_cores": "Detect physical CPU cores using Python's os module.",
        "detect_numa_nodes": "Detect NUMA nodes.",
        "detect_gpu_backends": "Detect GPU backends (CUDA, ROCm, oneAPI).",
        "detect_python_version": "Detect Python version and subinterpreter support.",
        "detect_capabilities": "Detect all system capabilities.",
    }
    for name, line in first_lines.items():
        fn = getattr(probe, name)
        assert fn.__doc__.splitlines()[0] == line
        with pytest.raises(TypeError):
            fn(1)
    assert "5 ms" in probe.__doc__
    probe.detect_capabilities()
    probe.detect_numa_nodes()
    for leaked in ("subprocess", "ctypes", "GPUBackendRegistry", "logger"):
        assert not hasattr(probe, leaked)


# --- CPUs ------------------------------------------------------------------------------------
def test_physical_cores_branches(monkeypatch):
    cases = [
        (fake_os(sched_getaffinity=lambda pid: {0, 2, 4, 6}, cpu_count=lambda: 8), 4),
        (fake_os(cpu_count=lambda: None), 1),
        (fake_os(cpu_count=lambda: 6), 6),
        (fake_os(cpu_count=lambda: 2.9), 2),  # converted to a 32-bit integer
        (fake_os(sched_getaffinity=lambda pid: set(), cpu_count=lambda: 8), 1),
        (fake_os(sched_getaffinity=lambda pid: 1 / 0, cpu_count=lambda: 3), 3),
        (fake_os(cpu_count=lambda: 2**40), 2**40),  # overflow: the raw count, without max()
        (fake_os(cpu_count=lambda: -4), 1),
        (fake_os(sched_getaffinity=lambda pid: None, cpu_count=lambda: None), 1),
    ]
    for fake, want in cases:
        monkeypatch.setattr(probe, "os", fake)
        got = probe.detect_physical_cores()
        assert got == want and type(got) is int, (fake, got)
    monkeypatch.setattr(probe, "os", fake_os(cpu_count=lambda: 0))
    assert probe.detect_physical_cores() == 1

    def interrupted(pid):
        raise KeyboardInterrupt

    monkeypatch.setattr(probe, "os", fake_os(sched_getaffinity=interrupted))
    with pytest.raises(KeyboardInterrupt):
        probe.detect_physical_cores()


def test_physical_cores_real_os(monkeypatch):
    assert probe.detect_physical_cores() == max(1, len(os.sched_getaffinity(0)))
    # a replacement on the real os module is honoured as well
    monkeypatch.setattr(os, "sched_getaffinity", lambda pid: set(range(5)))
    assert probe.detect_physical_cores() == 5
    monkeypatch.delattr(os, "sched_getaffinity")
    monkeypatch.setattr(os, "cpu_count", lambda: 7)
    assert probe.detect_physical_cores() == 7


# --- NUMA nodes ------------------------------------------------------------------------------
def test_numa_nodes_linux(monkeypatch):
    monkeypatch.setattr(probe, "sys", fake_sys("linux"))
    entries = ["node0", "node1", "nodeX", "possible", "online", "has_cpu"]
    cases = [
        (fake_os(listdir=lambda p: list(entries)), 2),
        (fake_os(listdir=lambda p: ["node", "possible", "node-1", "nodes"]), 1),
        (fake_os(listdir=lambda p: ["node12", "node3", "node\u00b2", "Node4"]), 3),
        (fake_os(listdir=lambda p: []), 1),
        (fake_os(exists=lambda p: False, listdir=lambda p: 1 / 0), 1),
        (fake_os(listdir=lambda p: 1 / 0), 1),
        (fake_os(exists=lambda p: 1 / 0), 1),
        (fake_os(listdir=lambda p: [b"node0", "node1"]), 1),  # bytes entries fail -> 1
    ]
    for fake, want in cases:
        monkeypatch.setattr(probe, "os", fake)
        assert probe.detect_numa_nodes() == want, fake
    seen = []
    monkeypatch.setattr(probe, "os", fake_os(exists=lambda p: seen.append(p) or True,
                                             listdir=lambda p: seen.append(p) or ["node0"]))
    assert probe.detect_numa_nodes() == 1
    assert seen == ["/sys/devices/system/node"] * 2


def test_numa_nodes_real_and_patched_os(monkeypatch, tmp_path):
    path = "/sys/devices/system/node"
    want = 1
    if os.path.exists(path):
        want = len([d for d in os.listdir(path) if d.startswith("node") and d[4:].isdigit()]) or 1
    assert probe.detect_numa_nodes() == want
    # replacements bound on the real os module are honoured
    monkeypatch.setattr(os, "listdir", lambda p: ["node0", "node1", "node2"])
    monkeypatch.setattr(os.path, "exists", lambda p: True)
    assert probe.detect_numa_nodes() == 3
    monkeypatch.setattr(os.path, "exists", lambda p: False)
    assert probe.detect_numa_nodes() == 1
    monkeypatch.undo()
    # the standard os.path.exists goes through os.stat: replacing that is honoured too
    calls, real_stat = [], os.stat
    monkeypatch.setattr(os, "stat", lambda *a, **k: calls.append(a[0]) or real_stat(*a, **k))
    assert probe.detect_numa_nodes() == want
    assert calls == [path]


def test_numa_nodes_other_platforms(monkeypatch):
    for platform in ("darwin", "freebsd13", "cygwin"):
        monkeypatch.setattr(probe, "sys", fake_sys(platform))
        assert probe.detect_numa_nodes() == 1
    # win32 on a machine without kernel32: the ctypes steps fail and give 1
    monkeypatch.setattr(probe, "sys", fake_sys("win32"))
    assert probe.detect_numa_nodes() == 1
    monkeypatch.setattr(probe, "sys", types.SimpleNamespace())  # no platform at all
    assert probe.detect_numa_nodes() == 1


def install_ctypes(monkeypatch, ok=True, highest=3):
    calls = []

    class CULong:
        def __init__(self):
            self.value = 0

    class Func:
        def __call__(self, ref):
            calls.append(("call", self.restype, self.argtypes))
            ref.value = highest
            return ok

    class WinDLL:
        def __init__(self, name, use_last_error=False):
            calls.append(("dll", name, use_last_error))
            self.GetNumaHighestNodeNumber = Func()

    wintypes = types.ModuleType("ctypes.wintypes")
    wintypes.BOOL = "BOOL"
    fake = types.ModuleType("ctypes")
    fake.WinDLL, fake.c_ulong, fake.wintypes = WinDLL, CULong, wintypes
    fake.POINTER = lambda t: ("ptr", t)
    fake.byref = lambda obj: obj
    monkeypatch.setitem(sys.modules, "ctypes", fake)
    monkeypatch.setitem(sys.modules, "ctypes.wintypes", wintypes)
    return calls, CULong


def test_numa_nodes_windows_branch(monkeypatch):
    monkeypatch.setattr(probe, "sys", fake_sys("win32"))
    calls, culong = install_ctypes(monkeypatch, ok=True, highest=3)
    assert probe.detect_numa_nodes() == 4
    assert calls == [("dll", "kernel32", True), ("call", "BOOL", [("ptr", culong)])]
    install_ctypes(monkeypatch, ok=0, highest=3)
    assert probe.detect_numa_nodes() == 1


# --- GPU back-ends ---------------------------------------------------------------------------
def test_gpu_without_registry_or_tool(no_registry, tool_dir):
    got = probe.detect_gpu_backends()
    assert got == INITIAL_GPU and list(got) == GPU_KEYS
    assert got is not probe.detect_gpu_backends()  # a new dictionary each call


def test_gpu_tool_fallback(no_registry, tool_dir, tmp_path):
    log = tmp_path / "args"
    tool_dir(f'echo "$@" > {log}\nprintf "GPU A\\nGPU B\\n\\n"\nexit 0')
    got = probe.detect_gpu_backends()
    assert got == dict(INITIAL_GPU, has_gpu=True, gpu_count=2)
    assert log.read_text().split() == ["--query-gpu=name", "--format=csv,noheader"]
    for body in ("echo GPU A\nexit 9", "exit 0", "printf '\\n\\n'\nexit 0"):
        tool_dir(body)
        got = probe.detect_gpu_backends()
        if body.startswith("printf"):  # blank output still counts as "present", with 0 devices
            assert got == dict(INITIAL_GPU, has_gpu=True, gpu_count=0)
        else:
            assert got == INITIAL_GPU, body
    tool_dir("printf '\\377\\376 bad bytes\\n'\nexit 0")
    assert probe.detect_gpu_backends()["gpu_count"] == 1


def test_gpu_tool_timeout(no_registry, tool_dir):
    if SLEEP is None:
        pytest.skip("no sleep command")
    tool_dir(f"echo GPU A\nexec {SLEEP} 3")  # the search path is only the tool's directory
    start = time.monotonic()
    assert probe.detect_gpu_backends() == INITIAL_GPU
    assert 0.4 < time.monotonic() - start < 2.5  # cut off by the 0.5 s time-out


def test_gpu_registry_paths(monkeypatch, tool_dir):
    install_registry(monkeypatch, {"cuda": (2, 7.99)}, "cuda", version="12.1")
    got = probe.detect_gpu_backends()
    assert list(got) == GPU_KEYS
    assert got == dict(INITIAL_GPU, has_gpu=True, gpu_count=2, gpu_memory_mb=8181,
                       cuda_available=True, active_backend="cuda", backend_version="12.1")
    # best is the CPU: no GPU even though the mapping lists devices
    install_registry(monkeypatch, {"cuda": (4, 16), "rocm": (1, 8)}, "cpu", version="")
    assert probe.detect_gpu_backends() == dict(INITIAL_GPU, cuda_available=True,
                                               rocm_available=True)
    # best back-end not in the mapping: has_gpu without counts
    install_registry(monkeypatch, {"oneapi": (1, 1.0)}, "rocm", version="6.0")
    assert probe.detect_gpu_backends() == dict(INITIAL_GPU, has_gpu=True, oneapi_available=True,
                                               active_backend="rocm", backend_version="6.0")
    # a registry that is a package, or that provides its names through a module __getattr__
    mod = install_registry(monkeypatch, {"cuda": (1, 2.0)}, "cuda", version="v")
    want = dict(INITIAL_GPU, has_gpu=True, gpu_count=1, gpu_memory_mb=2048, cuda_available=True,
                active_backend="cuda", backend_version="v")
    mod.__path__ = []
    assert probe.detect_gpu_backends() == want
    del mod.__path__
    lazy = {"GPUBackendRegistry": mod.GPUBackendRegistry, "GPUBackendKind": Kind}
    del mod.GPUBackendRegistry, mod.GPUBackendKind

    def module_getattr(name):
        if name in lazy:
            return lazy[name]
        raise AttributeError(name)

    mod.__getattr__ = module_getattr
    assert probe.detect_gpu_backends() == want
    # the stand-in registry shipped with the runtime reports the CPU only
    monkeypatch.delitem(sys.modules, REGISTRY)
    assert probe.detect_gpu_backends() == INITIAL_GPU


def test_gpu_registry_failure_keeps_entries(monkeypatch, tool_dir):
    install_registry(monkeypatch, {"rocm": (1, 2)}, "rocm", fail_at="best")
    tool_dir('printf "only one\\n"')
    got = probe.detect_gpu_backends()
    # availability flags set before the failure stay; the tool supplies presence and count only
    assert got == dict(INITIAL_GPU, rocm_available=True, has_gpu=True, gpu_count=1)
    install_registry(monkeypatch, {}, "cuda", fail_at="detect")
    tool_dir("exit 1")
    assert probe.detect_gpu_backends() == INITIAL_GPU
    mod = types.ModuleType(REGISTRY)  # a registry module without the expected names
    monkeypatch.setitem(sys.modules, REGISTRY, mod)
    assert probe.detect_gpu_backends() == INITIAL_GPU


def test_gpu_base_exceptions_pass(monkeypatch, tool_dir):
    mod = install_registry(monkeypatch, {}, "cpu")

    def interrupted():
        raise KeyboardInterrupt

    mod.GPUBackendRegistry.detect_available_backends = staticmethod(interrupted)
    with pytest.raises(KeyboardInterrupt):
        probe.detect_gpu_backends()


# --- interpreter version ---------------------------------------------------------------------
def documented_subinterpreter_answer():
    """The module's rule on the running interpreter: 3.12 or later and `_xxsubinterpreters`
    importable (3.11: never asked; 3.12: present; 3.13: renamed away, so False)."""
    if sys.version_info < (3, 12):
        return False
    try:
        import _xxsubinterpreters  # noqa: F401
    except ImportError:
        return False
    return True


def test_python_version(monkeypatch):
    vi = sys.version_info
    assert probe.detect_python_version() == (f"{vi.major}.{vi.minor}.{vi.micro}",
                                             documented_subinterpreter_answer())
    monkeypatch.setattr(probe, "sys", fake_sys(version=(3, 11, 9)))
    got = probe.detect_python_version()
    assert got == ("3.11.9", False) and type(got) is tuple
    monkeypatch.setattr(probe, "sys", fake_sys(version=(3, 12, 0)))
    monkeypatch.setitem(sys.modules, "_xxsubinterpreters", None)
    assert probe.detect_python_version() == ("3.12.0", False)
    monkeypatch.setitem(sys.modules, "_xxsubinterpreters", types.ModuleType("_xxsubinterpreters"))
    assert probe.detect_python_version() == ("3.12.0", True)

    class Refusing:
        def find_spec(self, name, path=None, target=None):
            if name == "_xxsubinterpreters":
                raise RuntimeError("refused")

    monkeypatch.delitem(sys.modules, "_xxsubinterpreters")
    monkeypatch.setattr(sys, "meta_path", [Refusing()] + sys.meta_path)
    with pytest.raises(RuntimeError, match="refused"):
        probe.detect_python_version()


# --- whole detection -------------------------------------------------------------------------
def test_capabilities_success(monkeypatch):
    caps = probe.detect_capabilities()
    assert list(caps) == CAPS_KEYS
    assert caps["detector"] == "native" and caps["platform"] == sys.platform
    assert caps["physical_cores"] == probe.detect_physical_cores()
    assert caps["numa_nodes"] == probe.detect_numa_nodes()
    assert {k: caps[k] for k in GPU_KEYS} == probe.detect_gpu_backends()
    assert (caps["python_version"], caps["subinterpreter_support"]) == \
        probe.detect_python_version()
    assert type(caps["detection_time_ms"]) is float and caps["detection_time_ms"] >= 0
    assert abs(caps["detected_at"] - time.time()) < 60

    ticks = iter([10.0, 10.25])
    monkeypatch.setattr(probe, "time", types.SimpleNamespace(perf_counter=lambda: next(ticks),
                                                             time=lambda: 123.5))
    caps = probe.detect_capabilities()
    assert caps["detected_at"] == 123.5 and caps["detection_time_ms"] == 250.0


def test_capabilities_fallback(monkeypatch):
    monkeypatch.setattr(probe, "detect_gpu_backends", lambda: {})
    caps = probe.detect_capabilities()
    assert list(caps) == FALLBACK_KEYS
    vi = sys.version_info
    assert caps["error"] == "'has_gpu'" and caps["detector"] == "native_fallback"
    assert caps["numa_nodes"] == 1 and caps["python_version"] == f"{vi.major}.{vi.minor}"
    assert caps["physical_cores"] == (os.cpu_count() or 1)
    assert {k: caps[k] for k in GPU_KEYS} == INITIAL_GPU
    assert caps["subinterpreter_support"] is False and caps["detection_time_ms"] >= 0
    assert sys.exc_info() == (None, None, None)  # the handled error does not linger

    monkeypatch.setattr(probe, "detect_gpu_backends", lambda: dict(INITIAL_GPU))
    # a result that does not unpack into two names fails with the running interpreter's own text
    # (3.14 added the length of an exact list, tuple or dict to "too many values to unpack")
    class Seq:
        def __getitem__(self, i):
            if i < 3:
                return i
            raise IndexError
    for make in (lambda: ("3.11.9", False, "extra"), lambda: ["3.11.9", False, 1, 2], lambda: ["3.11.9"],
                 lambda: (), lambda: dict.fromkeys("abc"), lambda: {"a": 1}, lambda: {1, 2, 3},
                 lambda: "abc", lambda: iter([1, 2, 3]), lambda: (c for c in "abc"),
                 lambda: type("T", (tuple,), {})((1, 2, 3)), Seq, lambda: 5, lambda: None):
        try:
            _, _ = make()
        except (TypeError, ValueError) as exc:
            expected = str(exc)
        else:
            raise AssertionError("unpacks without error")
        monkeypatch.setattr(probe, "detect_python_version", make)
        caps = probe.detect_capabilities()
        assert (caps["detector"], caps["error"]) == ("native_fallback", expected)
    monkeypatch.setattr(probe, "detect_python_version", lambda: iter(["a", True]))
    caps = probe.detect_capabilities()
    assert caps["python_version"] == "a" and caps["detector"] == "native"

    monkeypatch.delattr(probe, "detect_numa_nodes")  # a missing helper is a NameError
    caps = probe.detect_capabilities()
    assert caps["detector"] == "native_fallback" and "detect_numa_nodes" in caps["error"]

    monkeypatch.setattr(probe, "os", fake_os(cpu_count=lambda: None))
    assert probe.detect_capabilities()["physical_cores"] == 1


def test_handled_exception_state_during_and_after_fallback(monkeypatch):
    # While the fallback is built the caught error is the exception being handled; afterwards the
    # handled-exception state is exactly what it was, also for a generator that ran the detection
    # inside an outer handler and is resumed after that handler ended.
    seen = []
    monkeypatch.setattr(probe, "detect_gpu_backends", lambda: {})
    monkeypatch.setattr(probe, "os", fake_os(cpu_count=lambda: seen.append(sys.exception()) or 3))

    def gen():
        yield probe.detect_capabilities()["detector"]
        yield sys.exception()

    try:
        raise ValueError("outer")
    except ValueError as outer:
        g = gen()
        assert next(g) == "native_fallback"
        assert isinstance(seen[-1], KeyError) and sys.exception() is outer
    assert next(g) is None and sys.exception() is None
    assert probe.detect_capabilities()["detector"] == "native_fallback"
    assert isinstance(seen[-1], KeyError) and sys.exception() is None


def test_capabilities_propagation(monkeypatch):
    def interrupted():
        raise KeyboardInterrupt

    monkeypatch.setattr(probe, "detect_physical_cores", interrupted)
    with pytest.raises(KeyboardInterrupt):
        probe.detect_capabilities()
    monkeypatch.undo()
    # the clock is read before the protected region: its failure propagates
    monkeypatch.setattr(probe, "time", types.SimpleNamespace())
    with pytest.raises(AttributeError):
        probe.detect_capabilities()
    monkeypatch.undo()
    # a failure while building the fallback propagates, chained to the original error
    monkeypatch.setattr(probe, "detect_physical_cores", lambda: 4)
    monkeypatch.setattr(probe, "detect_gpu_backends", lambda: {})
    monkeypatch.setattr(probe, "os", fake_os(cpu_count=lambda: 1 / 0))
    with pytest.raises(ZeroDivisionError) as info:
        probe.detect_capabilities()
    assert isinstance(info.value.__context__, KeyError)


def test_concurrent_detection():
    results, errors = [], []

    def run():
        try:
            for _ in range(30):
                results.append(probe.detect_capabilities()["detector"])
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=run) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and results == ["native"] * 120


def test_no_leaks(monkeypatch):
    install_registry(monkeypatch, {"cuda": (2, 7.99)}, "cuda")
    fake = fake_os(sched_getaffinity=lambda pid: {1, 2}, listdir=lambda p: ["node0", b"x"[:0]])

    def churn():
        for _ in range(1500):
            probe.detect_capabilities()
            probe.detect_gpu_backends()
            probe.detect_python_version()
            with monkeypatch.context() as m:
                m.setattr(probe, "os", fake)
                probe.detect_physical_cores()
                probe.detect_numa_nodes()
                m.setattr(probe, "detect_python_version", lambda: ("x",))
                probe.detect_capabilities()  # the fallback

    grown = retained_memory(churn)
    assert grown < 16_000, grown
