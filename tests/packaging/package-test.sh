#!/bin/sh
# Builds the Debian packages from a build tree, checks them as files, then
# installs, upgrades, removes and purges them in a throw-away copy of this
# machine: mount, PID and network namespaces of the test's own, over an
# overlay of / whose changes live in memory. The machine itself is never
# changed.
#
#   package-test.sh <build dir>
#
# Exits 77 (skipped) where the namespaces or the overlay cannot be made.
set -eu

here=$(cd "$(dirname "$0")" && pwd)

if [ "${1-}" = --inside ]; then
  # In the new namespaces: a copy of / to change at will, then the checks as
  # its root. What the copy's packages left behind is read from the overlay's
  # upper layer, which holds every file the run made.
  scratch=$2
  layers=$scratch/layers
  root=$layers/root
  mount --make-rprivate /
  mkdir -p "$layers"
  mount -t tmpfs tmpfs "$layers"
  mkdir "$layers/upper" "$layers/work" "$root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$layers/upper,workdir=$layers/work" "$root"
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs tmpfs "$root/run"
  mount -t tmpfs tmpfs "$root/tmp"
  cp -r "$scratch/debs" "$here/installed-checks.sh" "$root/tmp/"
  chroot "$root" /bin/sh /tmp/installed-checks.sh /tmp/debs
  umount -l "$root/tmp" "$root/run" "$root/dev" "$root/proc"
  left=$(find "$layers/upper" \( -iname '*halvoran*' -o -iname '*tessaline*' \
    -o -iname '*morvel*' \) -print)
  if [ -n "$left" ]; then
    echo "FAIL: the purged packages left files behind:"
    echo "$left"
    exit 1
  fi
  echo "nothing of the packages is left after the purge"
  exit 0
fi

build=${1:?usage: package-test.sh <build dir>}
skip() {
  echo "package test skipped: $*"
  exit 77
}
[ "$(id -u)" = 0 ] || skip "mount and PID namespaces and an overlay of / need root"
scratch=$(mktemp -d /tmp/halvoran-package-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/probe"
unshare --mount --pid --net --fork sh -c "
  mount --make-rprivate / && mount -t tmpfs tmpfs '$scratch/probe' &&
  mkdir '$scratch/probe/u' '$scratch/probe/w' '$scratch/probe/m' &&
  mount -t overlay overlay -o 'lowerdir=/,upperdir=$scratch/probe/u,workdir=$scratch/probe/w' \
    '$scratch/probe/m'" 2>/dev/null ||
  skip "no mount, PID or network namespace, or no overlay of / here"

if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log"
  echo "FAIL: cpack could not build the packages"
  exit 1
fi
mkdir -p "$scratch/debs/v1" "$scratch/debs/v2"
mv "$scratch"/out/*.deb "$scratch/debs/v1/"
"$here/package-files-checks.sh" "$scratch/debs/v1"

# The upgrade: the same packages with a higher version, as the next release
# would come.
for deb in "$scratch"/debs/v1/*.deb; do
  tree=$scratch/repack
  rm -rf "$tree"
  dpkg-deb -R "$deb" "$tree"
  version=$(sed -n 's/^Version: //p' "$tree/DEBIAN/control")
  sed -i "s/$version/$version+1/g" "$tree/DEBIAN/control"
  [ ! -f "$tree/DEBIAN/shlibs" ] || sed -i "s/$version/$version+1/g" "$tree/DEBIAN/shlibs"
  dpkg-deb -Zxz -b "$tree" "$scratch/debs/v2/" >/dev/null
done

unshare --mount --pid --net --fork "$0" --inside "$scratch"
