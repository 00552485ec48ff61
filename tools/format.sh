#!/usr/bin/env bash
# Formats the C++ sources of the tree with the pinned clang-format (.clang-format at the top);
# `tools/format.sh --check` changes nothing and fails when a file would change.
# Uses CLANG_FORMAT, else a clang-format of the pinned version on PATH, else installs that version
# from PyPI into a cached virtual environment (skipped, with a message, when that is not possible).
set -euo pipefail
cd "$(dirname "$0")/.."
version=23.1.3
cf=${CLANG_FORMAT:-}
if [ -z "$cf" ]; then
  if command -v clang-format >/dev/null && clang-format --version | grep -q "version $version"; then
    cf=clang-format
  else
    venv=${XDG_CACHE_HOME:-$HOME/.cache}/quarvel-clang-format-$version
    if [ ! -x "$venv/bin/clang-format" ]; then
      if ! { python3 -m venv "$venv" && "$venv/bin/pip" install -q "clang-format==$version"; }; then
        rm -rf "$venv"
        echo "format: clang-format $version could not be installed; skipped"
        exit 0
      fi
    fi
    cf=$venv/bin/clang-format
  fi
fi
mapfile -t files < <(git ls-files '*.cpp' '*.hpp')
if [ "${1:-}" = --check ]; then
  "$cf" --dry-run --Werror "${files[@]}"
  echo "format: ${#files[@]} files as clang-format $version writes them"
else
  "$cf" -i "${files[@]}"
fi
