#!/usr/bin/env bash
# Runs pytest against modules built with QUARVEL_SANITIZE=1 tools/devbuild.sh ..., with the
# address and undefined-behaviour sanitizer runtimes preloaded into the interpreter.
#   QUARVEL_SANITIZE=1 tools/devbuild.sh sync_kernel && tools/sanitize.sh tests/test_sync_kernel.py
set -euo pipefail
cd "$(dirname "$0")/.."
asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
export LD_PRELOAD="$asan:$ubsan"
# The interpreter itself keeps memory until exit by design; leak reports would be noise.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export PYTHONMALLOC=malloc
PYTHONPATH=src exec "${PYTHON:-python3}" -m pytest -q -p no:cacheprovider "$@"
