#!/usr/bin/env bash
# Compiles every extension module with Py_GIL_DISABLED defined, against the headers of each given
# interpreter (default: the pyenv CPython 3.13), with g++ and with clang++ when present, warnings as
# errors, syntax only. No free-threaded interpreter can be installed on the CI machine; this keeps
# the code paths written for one (the lock layer's mutex sections, atomic shared counts) compiling.
# It proves nothing about running them.
set -euo pipefail
cd "$(dirname "$0")/.."
pythons=("$@")
if [ ${#pythons[@]} = 0 ]; then
  mapfile -t pythons < <(tools/pyenv-pythons.sh | grep -E '/3\.13\.' || true)
fi
if [ ${#pythons[@]} = 0 ]; then
  echo "free-threaded compile check: no CPython 3.13+ found; skipped"
  exit 0
fi
compilers=(g++)
if command -v clang++ >/dev/null 2>&1; then compilers+=(clang++); fi
mapfile -t sources < <(git ls-files 'src/quarvel/*.cpp')
for py in "${pythons[@]}"; do
  inc=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  for cxx in "${compilers[@]}"; do
    for src in "${sources[@]}"; do
      "$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Werror -DPy_GIL_DISABLED=1 -I"$inc" -Isrc \
        -I"$(dirname "$src")" "$src"
    done
    echo "free-threaded compile check: ${#sources[@]} modules, $cxx, $("$py" --version)"
  done
done
