#!/usr/bin/env bash
# Builds the package and runs the whole suite on CPython 3.14 and 3.15, which pyenv does not carry
# here, inside a Debian sid chroot that has both (python3.X-dev/-venv) and a current g++.
#
# The chroot lives outside the checkout, at $QUARVEL_CI_CHROOT (default /var/lib/quarvel-ci/sid),
# so every clone reuses it: the first run makes it (debootstrap, about two minutes), later runs
# only check that its packages are there. It is made in a temporary directory and moved into
# place when complete, so an interrupted run never leaves a half-made chroot behind; a lock file
# keeps two runs from using it at the same time.
#
# Each run copies the checkout (what git would commit, including uncommitted edits) into the
# chroot, makes a fresh virtual environment per version, installs the package non-editable with
# warnings as errors and runs the suite (its package check, a wheel built from the sdist, runs on
# the default interpreter only). Then, in the same session, tools/build-wheels.sh makes, repairs,
# checks, installs and imports the wheel of each version from the build just tested (nothing is
# compiled again) and the wheels are copied to dist/wheels/ of the checkout (QUARVEL_CI_WHEELS=0
# leaves them out). Built with sid's current glibc and libstdc++, their floor is far above that of
# the wheels built on the host, so the highest level accepted there is the chroot's own glibc: the
# check proves they are manylinux-tagged, grafted nothing and link only the C/C++ runtime.
#
# When the chroot cannot be made or entered (not root, no debootstrap, no archive) it says why and
# skips with status 0, as the pyenv versions do; a failing build or test fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
chroot_dir=${QUARVEL_CI_CHROOT:-/var/lib/quarvel-ci/sid}
mirror=${QUARVEL_CI_MIRROR:-http://deb.debian.org/debian}
versions=(3.14 3.15)
packages=(python3.14-dev python3.14-venv python3.15-dev python3.15-venv g++ cmake ninja-build)
export SKBUILD_CMAKE_DEFINE=${SKBUILD_CMAKE_DEFINE:-"QUARVEL_WERROR=ON;QUARVEL_TESTING=ON"}

skip() {
  echo "== CPython ${versions[*]} (Debian sid chroot): $*; skipped"
  exit 0
}

[ "$(id -u)" = 0 ] || skip "making and entering a chroot needs root"
command -v chroot >/dev/null 2>&1 || skip "no chroot command"
if ! command -v debootstrap >/dev/null 2>&1 && [ ! -e "$chroot_dir/.quarvel-ready" ]; then
  if command -v apt-get >/dev/null 2>&1; then
    echo "== installing debootstrap on the host"
    apt-get install -y -qq debootstrap >/dev/null 2>&1 ||
      { apt-get update -qq >/dev/null 2>&1 && apt-get install -y -qq debootstrap >/dev/null 2>&1; } ||
      skip "debootstrap is not installed and could not be installed"
  else
    skip "debootstrap is not installed and there is no apt-get to install it"
  fi
fi

mkdir -p "$(dirname "$chroot_dir")"
exec 9>"$chroot_dir.lock"
flock 9

# Everything mounted below is listed here and unmounted on any exit, innermost first.
mounts=()
cleanup() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" 2>/dev/null || true
  done
  mounts=()
}
trap cleanup EXIT
trap 'exit 130' INT TERM

unmount_under() { # what a killed run may have left mounted under $1
  local m
  awk -v top="$1" '$2 == top || index($2, top "/") == 1 { print $2 }' /proc/self/mounts | sort -r |
    while read -r m; do umount "$m" 2>/dev/null || umount -l "$m"; done
}
unmount_under "$chroot_dir"
unmount_under "$chroot_dir.new"

mount_in() { # mount_in ROOT: /proc, and the local package indexes read-only
  local root=$1 dir
  mkdir -p "$root/proc"
  mount -t proc proc "$root/proc"
  mounts+=("$root/proc")
  for dir in /opt/pypi /opt/pypi-more /opt/wheels; do
    [ -d "$dir" ] || continue
    mkdir -p "$root$dir"
    mount --bind "$dir" "$root$dir"
    mounts+=("$root$dir")
    mount -o remount,bind,ro "$root$dir"
  done
}

copy_host_config() { # the resolver, the certificate bundle and pip's configuration
  local root=$1 f
  for f in /etc/resolv.conf /etc/ssl/certs/ca-certificates.crt /etc/pip.conf /etc/xdg/pip; do
    [ -e "$f" ] || continue
    mkdir -p "$root$(dirname "$f")"
    rm -rf "${root:?}$f"
    cp -rL "$f" "$root$f"
  done
}

in_root() {
  chroot "$chroot_dir" /usr/bin/env -u PYTHONPATH -u PYTHONHOME -u VIRTUAL_ENV -u TMPDIR PATH=/usr/local/bin:/usr/bin:/bin "$@"
}

apt_install() { # apt_install ROOT: the interpreters and the compiler (output in the log)
  local apt=(chroot "$1" /usr/bin/env DEBIAN_FRONTEND=noninteractive PATH=/usr/sbin:/usr/bin:/sbin:/bin apt-get)
  if ! { "${apt[@]}" -o Acquire::Check-Valid-Until=false update &&
    "${apt[@]}" install -y --no-install-recommends "${packages[@]}"; } >>"$chroot_dir.log" 2>&1; then
    tail -n 5 "$chroot_dir.log"
    return 1
  fi
}

if [ ! -e "$chroot_dir/.quarvel-ready" ]; then
  start=$SECONDS
  tmp=$chroot_dir.new
  echo "== making the Debian sid chroot in $chroot_dir"
  rm -rf "$tmp"
  : >"$chroot_dir.log"
  if ! debootstrap --variant=minbase sid "$tmp" "$mirror" >>"$chroot_dir.log" 2>&1; then
    tail -n 5 "$chroot_dir.log"
    rm -rf "$tmp"
    skip "debootstrap could not make a sid chroot from $mirror (log: $chroot_dir.log)"
  fi
  copy_host_config "$tmp"
  mount_in "$tmp"
  if ! apt_install "$tmp"; then
    cleanup
    rm -rf "$tmp"
    skip "the sid archive does not give ${packages[*]}"
  fi
  cleanup
  rm -rf "$chroot_dir"
  mv "$tmp" "$chroot_dir"
  touch "$chroot_dir/.quarvel-ready"
  echo "== chroot made in $((SECONDS - start)) s"
fi

copy_host_config "$chroot_dir"
mount_in "$chroot_dir"
# A reused chroot gets what the package list has gained since it was made.
if ! in_root dpkg-query -W "${packages[@]}" >/dev/null 2>&1; then
  echo "== installing ${packages[*]} in the chroot"
  apt_install "$chroot_dir" || skip "the sid archive does not give ${packages[*]}"
fi

work=/build/quarvel
rm -rf "${chroot_dir:?}/build"
mkdir -p "$chroot_dir$work"
# The checkout as git sees it (tracked and new files, ignored ones left out), or all of it outside git.
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$src" ls-files -z --cached --others --exclude-standard |
    (cd "$src" && xargs -0 -r sh -c 'for f; do [ ! -e "$f" ] || printf "%s\0" "$f"; done' sh) |
    tar -C "$src" --null -T - -cf - | tar -C "$chroot_dir$work" -xf -
else
  tar -C "$src" --exclude='./build' --exclude='./.venv*' --exclude='*.so' -cf - . |
    tar -C "$chroot_dir$work" -xf -
fi

tested=()
for minor in "${versions[@]}"; do
  py=/usr/bin/python$minor
  if ! in_root "$py" -c 'import sys' 2>/dev/null; then
    echo "== CPython $minor: not in the chroot, skipped"
    continue
  fi
  ver=$(in_root "$py" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
  env_dir=/build/venv-$ver
  echo "== CPython $ver (Debian sid chroot, $(in_root g++ -dumpfullversion))"
  start=$SECONDS
  in_root "$py" -m venv "$env_dir"
  # The build backend first, then the package built with it in a directory kept for the wheel below.
  in_root "$env_dir/bin/python" -m pip install --quiet "scikit-build-core>=0.10"
  in_root sh -c "cd $work && SKBUILD_BUILD_DIR=/build/ci/$ver \
    exec $env_dir/bin/python -m pip install --quiet --no-build-isolation '.[test]'"
  in_root sh -c "cd $work && QUARVEL_SKIP_PACKAGE_CHECK=1 exec $env_dir/bin/python -m pytest -q -p no:cacheprovider"
  echo "== CPython $ver: done in $((SECONDS - start)) s"
  tested+=("$env_dir/bin/python")
done

if [ "${QUARVEL_CI_WHEELS:-1}" = 1 ] && [ ${#tested[@]} -gt 0 ]; then
  glibc=$(in_root "${tested[0]}" -c 'import os; print(os.confstr("CS_GNU_LIBC_VERSION").split()[1].replace(".", "_"))')
  echo "== wheels in the Debian sid chroot (glibc ${glibc/_/.}: the highest floor accepted there)"
  in_root sh -c "cd $work && QUARVEL_REUSE_BUILD=/build/ci QUARVEL_GLIBC_MAX=$glibc QUARVEL_WHEEL_DIR=/build/wheels \
    exec tools/build-wheels.sh ${tested[*]}"
  mkdir -p "$src/dist/wheels"
  for wheel in "$chroot_dir"/build/wheels/quarvel-*.whl; do
    rm -f "$src"/dist/wheels/quarvel-*-"$(basename "$wheel" | cut -d- -f3-4)"-*.whl
    cp "$wheel" "$src/dist/wheels/"
  done
fi
rm -rf "${chroot_dir:?}/build"
echo "== Debian sid chroot: done in $SECONDS s"
