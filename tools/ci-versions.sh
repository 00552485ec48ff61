#!/usr/bin/env bash
# Builds the package and runs the suite on every CPython 3.11-3.13 that pyenv has, except the
# version given as $1 (already tested by the caller). Each version gets its own virtual
# environment and a non-editable install, so the suite tests what is installed. The last version
# tested is built with clang when clang++ is on the machine, the others with the default compiler.
#
# The others build in build/ci/X.Y.Z (QUARVEL_CI_BUILD_DIR to change build/ci) with the build tools
# of their own environment, so that tools/build-wheels.sh (QUARVEL_REUSE_BUILD) makes their wheels
# from the same build without compiling again. The suite's package check (a wheel built from the
# sdist) runs once, on the caller's interpreter: tools/build-wheels.sh checks every interpreter's
# wheel.
set -euo pipefail
cd "$(dirname "$0")/.."
skip=${1:-}
export SKBUILD_CMAKE_DEFINE=${SKBUILD_CMAKE_DEFINE:-"QUARVEL_WERROR=ON;QUARVEL_TESTING=ON"}
export QUARVEL_SKIP_PACKAGE_CHECK=${QUARVEL_SKIP_PACKAGE_CHECK:-1}
build_dir=${QUARVEL_CI_BUILD_DIR:-build/ci}
case $build_dir in /*) ;; *) build_dir=$PWD/$build_dir ;; esac
mapfile -t versions < <(tools/pyenv-pythons.sh $skip)
clang_for=""
if command -v clang++ >/dev/null 2>&1 && [ ${#versions[@]} -gt 0 ]; then
  clang_for=${versions[-1]}
elif [ ${#versions[@]} -gt 0 ]; then
  echo "== clang++ not found: every version is built with the default compiler"
fi
for py in "${versions[@]}"; do
  ver=$("$py" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
  env_dir=".venv-ci-$ver"
  compiler_env=()
  if [ "$py" = "$clang_for" ]; then compiler_env=(CXX=clang++); fi
  echo "== CPython $ver${compiler_env:+ (clang)}"
  start=$SECONDS
  rm -rf "$env_dir" "${build_dir:?}/$ver"
  "$py" -m venv "$env_dir"
  if [ ${#compiler_env[@]} -gt 0 ]; then
    env "${compiler_env[@]}" "$env_dir/bin/python" -m pip install --quiet ".[test]"
  else
    # The build backend first, then the package built with it in a directory that is kept (an
    # isolated build would start that directory afresh each time).
    "$env_dir/bin/python" -m pip install --quiet "scikit-build-core>=0.10"
    SKBUILD_BUILD_DIR="$build_dir/$ver" \
      "$env_dir/bin/python" -m pip install --quiet --no-build-isolation ".[test]"
  fi
  "$env_dir/bin/python" -m pytest -q -p no:cacheprovider
  echo "== CPython $ver: done in $((SECONDS - start)) s"
done
