#!/usr/bin/env bash
# Prints the newest pyenv CPython 3.11, 3.12 and 3.13 (the interpreter's path, one a line), leaving
# out the minor versions given as arguments; a version this machine lacks is named on stderr.
#   mapfile -t pythons < <(tools/pyenv-pythons.sh 3.11)
set -euo pipefail
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for minor in 3.11 3.12 3.13; do
  for skip in "$@"; do [ "$minor" = "$skip" ] && continue 2; done
  py=$(ls -d "$root"/versions/"$minor".*/bin/python 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -z "$py" ] || ! "$py" -c 'import sys' 2>/dev/null; then
    echo "== CPython $minor: not on this machine, skipped" >&2
    continue
  fi
  echo "$py"
done
