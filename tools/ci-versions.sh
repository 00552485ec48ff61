#!/usr/bin/env bash
# Builds the package and runs the suite on every CPython 3.11-3.13 that pyenv has, except the
# version given as $1 (already tested by the caller). Each version gets its own virtual
# environment and a non-editable install, so the suite tests what is installed. The last version
# tested is built with clang when clang++ is on the machine, the others with the default compiler.
set -euo pipefail
cd "$(dirname "$0")/.."
skip=${1:-}
export SKBUILD_CMAKE_DEFINE=${SKBUILD_CMAKE_DEFINE:-"QUARVEL_WERROR=ON;QUARVEL_TESTING=ON"}
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
versions=()
for minor in 3.11 3.12 3.13; do
  [ "$minor" = "$skip" ] && continue
  py=$(ls -d "$root"/versions/"$minor".*/bin/python 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -z "$py" ] || ! "$py" -c 'import sys' 2>/dev/null; then
    echo "== CPython $minor: not on this machine, skipped"
    continue
  fi
  versions+=("$py")
done
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
  rm -rf "$env_dir"
  "$py" -m venv "$env_dir"
  "$env_dir/bin/python" -m pip install --quiet --upgrade pip
  env "${compiler_env[@]}" "$env_dir/bin/python" -m pip install --quiet ".[test]"
  "$env_dir/bin/python" -m pytest -q -p no:cacheprovider
done
