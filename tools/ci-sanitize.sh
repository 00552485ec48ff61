#!/usr/bin/env bash
# Builds every module with -fsanitize=address,undefined into its own virtual environment and runs
# the whole suite on it, with the sanitizer runtimes preloaded into the interpreter and the
# interpreter's own allocator off (PYTHONMALLOC=malloc) so that every object is checked. Any
# sanitizer report, in the test process or in a subprocess a test starts, fails the run. Leak
# detection at exit stays off: the interpreter keeps memory until exit by design.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-$(command -v python3)}
env_dir=.venv-ci-asan
rm -rf "$env_dir"
"$py" -m venv "$env_dir"
SKBUILD_CMAKE_DEFINE="QUARVEL_WERROR=ON;QUARVEL_TESTING=ON;QUARVEL_SANITIZE=ON" \
  "$env_dir/bin/python" -m pip install --quiet ".[test]"
reports=$(mktemp -d)
asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
echo "== sanitizer suite: $("$env_dir/bin/python" --version)"
status=0
LD_PRELOAD="$asan:$ubsan" PYTHONMALLOC=malloc \
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$reports/asan" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
  "$env_dir/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
if compgen -G "$reports/*" >/dev/null; then
  echo "== sanitizer reports:"
  cat "$reports"/*
  status=1
fi
rm -rf "$reports"
exit $status
