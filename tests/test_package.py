"""What a user receives: the sdist made from this tree, the wheel built from that sdist, and what
the nine modules share as a package (functions that pickle, a library's silent logger).

One full build (every module, compiled without optimisation: about a minute on two cores), so it is
skipped when the build tools are missing or the sanitizer runtimes are preloaded, and can be skipped
on purpose with QUARVEL_SKIP_PACKAGE_CHECK=1 (for runs that repeat the suite on another interpreter).
"""

import importlib
import os
import pickle
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path, PurePosixPath

import pytest

ROOT = Path(__file__).resolve().parents[1]
BUILD_TIMEOUT = 1200  # seconds, for the sdist and the wheel together

EXTENSIONS = {
    "quarvel/memory/sync_kernel",
    "quarvel/memory/block_index",
    "quarvel/memory/bucket_pool",
    "quarvel/jit/compile_gate",
    "quarvel/native/hardware_probe",
    "quarvel/plugins/analyzer/task_profiler",
    "quarvel/plugins/analyzer/pool_planner",
    "quarvel/monitoring/counter_fold",
    "quarvel/gpu/device_fit",
    "quarvel/bench/_floor",  # the benchmark's floor, run by python -m quarvel.bench
}
STUBS = {name + ".pyi" for name in EXTENSIONS if not name.startswith("quarvel/bench/")}
PYTHON_FILES = {
    "quarvel/__init__.py",
    "quarvel/memory/__init__.py",
    "quarvel/jit/__init__.py",
    "quarvel/native/__init__.py",
    "quarvel/plugins/__init__.py",
    "quarvel/plugins/analyzer/__init__.py",
    "quarvel/monitoring/__init__.py",
    "quarvel/gpu/__init__.py",
    "quarvel/bench/__init__.py",
    "quarvel/bench/__main__.py",
    # Stand-ins for runtime modules that a deployment replaces.
    "quarvel/memory/memory_block.py",
    "quarvel/gpu/backend_registry.py",
    "quarvel/jit/telemetry_store.py",
}
# The C and C++ runtime of the platform; the interpreter's own library is allowed but not expected.
RUNTIME_LIBRARIES = re.compile(
    r"(libc\.so\.6|libm\.so\.6|libstdc\+\+\.so\.6|libgcc_s\.so\.1|ld-linux[-\w.]*\.so\.\d+|"
    r"libpthread\.so\.0|libdl\.so\.2|libpython3\.\d+\.so(\.[\d.]+)?)"
)
MODULES = [n.replace("/", ".") for n in sorted(EXTENSIONS) if not n.startswith("quarvel/bench/")]
EXT_SUFFIX = re.compile(r"\.cpython-\d+[a-z]*-[\w-]+\.so$")


def _missing_tools():
    if not sys.platform.startswith("linux"):
        return "the linkage check reads ELF files (Linux only)"
    if os.environ.get("QUARVEL_SKIP_PACKAGE_CHECK") == "1":
        return "QUARVEL_SKIP_PACKAGE_CHECK=1"
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return "sanitizer runtimes are preloaded (they would be preloaded into the compiler too)"
    for tool in ("cmake", "readelf"):
        if shutil.which(tool) is None:
            return f"{tool} not found on PATH"
    for module in ("scikit_build_core", "pip"):
        try:
            __import__(module)
        except ImportError:
            return f"{module} is not installed in this environment (pip install '.[test]')"
    if not (ROOT / "pyproject.toml").is_file():
        return "not run from a source tree"
    return None


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    reason = _missing_tools()
    if reason:
        pytest.skip(f"package check skipped: {reason}")
    out = tmp_path_factory.mktemp("dist")
    env = dict(os.environ)
    for var in ("PYTHONPATH", "SKBUILD_CMAKE_DEFINE", "SKBUILD_CMAKE_ARGS", "CMAKE_ARGS"):
        env.pop(var, None)  # build exactly what a user's `pip install` would
    proc = subprocess.run(
        [sys.executable, "-c", "import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])",
         str(out)],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=BUILD_TIMEOUT)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]
    (sdist,) = out.glob("quarvel-*.tar.gz")
    proc = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "--no-cache-dir",
         # Unoptimised: the file list and the libraries linked do not depend on it, and it halves the time.
         "-Ccmake.build-type=Debug", "-w", str(out), str(sdist)],
        cwd=out, env=env, capture_output=True, text=True, timeout=BUILD_TIMEOUT)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]
    (wheel,) = out.glob("quarvel-*.whl")
    return sdist, wheel


def test_sdist_carries_everything_the_build_needs(built):
    sdist, _ = built
    with tarfile.open(sdist) as tar:
        names = {PurePosixPath(*PurePosixPath(n).parts[1:]).as_posix() for n in tar.getnames()}
    sources = {p.relative_to(ROOT).as_posix() for p in (ROOT / "src").rglob("*") if p.suffix in (".cpp", ".hpp")}
    assert sources and sources <= names
    assert {"pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "src/native/qn.hpp"} <= names
    assert not [n for n in names if n.endswith((".so", ".pyc")) or n.startswith("build/")]


def test_wheel_holds_exactly_the_package(built):
    _, wheel = built
    with zipfile.ZipFile(wheel) as zf:
        names = set(zf.namelist())
    dist_info = {n for n in names if n.split("/")[0].endswith(".dist-info")}
    files = names - dist_info
    extensions = {EXT_SUFFIX.sub("", n) for n in files if EXT_SUFFIX.search(n)}
    assert extensions == EXTENSIONS
    assert len([n for n in files if EXT_SUFFIX.search(n)]) == len(EXTENSIONS)
    assert STUBS | PYTHON_FILES | {"quarvel/py.typed"} <= files
    # Whatever else ships is the benchmark runner's own Python code (its rows and models).
    rest = files - STUBS - PYTHON_FILES - {"quarvel/py.typed"} - {n for n in files if EXT_SUFFIX.search(n)}
    assert all(n.startswith("quarvel/bench/") and n.endswith(".py") for n in rest), sorted(rest)
    assert any(n.endswith(("/LICENSE", "/licenses/LICENSE")) for n in dist_info), sorted(dist_info)
    assert not any("_native_probe" in n for n in names)


def test_extensions_link_only_the_c_and_cxx_runtime(built, tmp_path):
    _, wheel = built
    with zipfile.ZipFile(wheel) as zf:
        libraries = [n for n in zf.namelist() if EXT_SUFFIX.search(n)]
        zf.extractall(tmp_path, members=libraries)
    assert libraries
    for name in libraries:
        dynamic = subprocess.run(["readelf", "-d", str(tmp_path / name)], capture_output=True, text=True,
                                 check=True).stdout
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
        assert needed, name
        assert [lib for lib in needed if not RUNTIME_LIBRARIES.fullmatch(lib)] == [], name


# --- what the modules share -----------------------------------------------------------------------

def _native_functions():
    """(module, qualified name, function) for every function and method the nine modules define."""
    found = []
    for name in MODULES:
        module = importlib.import_module(name)
        for attr, value in vars(module).items():
            candidates = [(attr, value)]
            if isinstance(value, type) and value.__module__ == name:
                candidates += [(f"{attr}.{k}", getattr(value, k)) for k in vars(value)]
            found += [(module, q, f) for q, f in candidates if type(f).__name__ == "native_function"]
    return found


def test_functions_pickle_by_reference_and_instances_refuse():
    from quarvel.memory.sync_kernel import AtomicCounter

    pickled = 0
    for module, where, fn in _native_functions():
        target = module
        for part in fn.__qualname__.split("."):
            target = getattr(target, part, None)
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            if target is fn:
                assert pickle.loads(pickle.dumps(fn, protocol)) is fn, (where, protocol)
                pickled += 1
            else:
                # An alias of a definition that a later one of the same name replaced: as for a Python
                # function, its qualified name leads elsewhere, so pickle refuses rather than swap it.
                with pytest.raises(pickle.PicklingError):
                    pickle.dumps(fn, protocol)
    assert pickled > 100 * (pickle.HIGHEST_PROTOCOL + 1)
    for instance_bound in (AtomicCounter(1), AtomicCounter(1).load):
        with pytest.raises(TypeError) as refused:
            pickle.dumps(instance_bound)
        # The message itself, not match=: from 3.14 on, pickle adds notes saying where it was ("when
        # serializing method object"), and pytest matches against the message with its notes.
        assert str(refused.value) == "no default __reduce__ due to non-trivial __cinit__"


def test_package_logger_is_silent_until_the_application_configures_logging(python_subprocess):
    corrupt = ("from quarvel.memory.bucket_pool import FastSlabHeaderOps\n"
               "FastSlabHeaderOps(0, 8).unpack_header(bytes(16))\n")
    silent = python_subprocess("import logging; logging.getLogger('quarvel.memory.bucket_pool').setLevel(logging.INFO)\n"
                               + corrupt)
    assert silent.returncode == 0 and silent.stderr == "", silent.stderr
    configured = python_subprocess("import logging; logging.basicConfig(level=logging.INFO, format='%(name)s|%(message)s')\n"
                                   + corrupt)
    assert configured.returncode == 0, configured.stderr
    lines = configured.stderr.splitlines()
    assert [line.split("|")[0] for line in lines] == ["quarvel.memory.bucket_pool"] * 2
    assert lines[0].endswith("module loaded - targeting 1.8-3× performance improvement")
    assert lines[1].startswith("quarvel.memory.bucket_pool|Header corruption detected: stored=0000, computed=")
