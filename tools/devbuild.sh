#!/usr/bin/env bash
# Development build: compiles the named extension modules (default: all) straight into the source
# tree, so that `PYTHONPATH=src python -m pytest tests/test_<module>.py` runs against them without
# reinstalling. Each distinct module list gets its own build directory, so separate builds can run
# side by side. QUARVEL_SANITIZE=1 builds with -fsanitize=address,undefined (see tools/sanitize.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
only=$(IFS=';'; echo "$*")
tag=${QUARVEL_BUILD_TAG:-$(IFS='-'; echo "${*:-all}")}
san=OFF
if [ "${QUARVEL_SANITIZE:-0}" = 1 ]; then san=ON; tag="$tag-asan"; fi
py=${PYTHON:-$(command -v python3)}
# One build directory per interpreter version as well: each writes its own ABI-tagged modules.
pytag=$("$py" -c 'import sys; print("py%d%d" % sys.version_info[:2])')
tag="$tag-$pytag"
cmake -S . -B "build/dev-$tag" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
  -DQUARVEL_INPLACE=ON -DQUARVEL_WERROR=ON -DQUARVEL_SANITIZE=$san "-DQUARVEL_ONLY=$only" -DPython_EXECUTABLE="$py" >/dev/null
# Several build directories write the same in-tree modules; a module last written by another build
# directory (say, the sanitizer build) is removed first so that this one rebuilds it.
mkdir -p build/owners
for src in $(find src/quarvel -name '*.cpp'); do
  mod=$(basename "$src" .cpp)
  if [ -n "$only" ] && ! printf '%s\n' "$@" | grep -qx "$mod"; then continue; fi
  owner=build/owners/$mod-$pytag
  if [ "$(cat "$owner" 2>/dev/null)" != "$tag" ]; then
    rm -f "$(dirname "$src")/$mod".cpython-${pytag#py}*.so
    echo "$tag" > "$owner"
  fi
done
cmake --build "build/dev-$tag"
