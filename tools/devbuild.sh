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

# `PYTHONPATH=src` only works when nothing else claims the package first: an editable install of
# quarvel in this interpreter's environment puts its own import finder ahead of PYTHONPATH, and the
# tests would then quietly run against that install's modules instead of the ones just built. Check
# where each built module is found and refuse to leave that trap in place.
mods=()
for src in $(find src/quarvel -name '*.cpp'); do
  mod=$(basename "$src" .cpp)
  if [ -n "$only" ] && ! printf '%s\n' "$@" | grep -qx "$mod"; then continue; fi
  rel=${src#src/}
  mods+=("$(echo "${rel%.cpp}" | tr / .)")
done
PYTHONPATH=src "$py" - "${mods[@]}" <<'PY'
import importlib.util, os, sys
tree = os.path.realpath("src") + os.sep
for name in sys.argv[1:]:
    spec = importlib.util.find_spec(name)
    origin = os.path.realpath(spec.origin) if spec and spec.origin else None
    if origin is None or not origin.startswith(tree):
        sys.exit(f"devbuild: with PYTHONPATH=src, {sys.executable} imports {name} from {origin}, not from this "
                 "build: an installed quarvel (an editable install puts its finder ahead of PYTHONPATH) "
                 "shadows the source tree. Run `pip uninstall quarvel` in that environment, or test this "
                 "build with an interpreter or virtual environment that has no quarvel installed.")
PY
