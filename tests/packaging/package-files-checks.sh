#!/bin/sh
# What can be checked of the packages as files, before anything installs them:
# lintian's errors (unstripped programs among them), the library search path,
# the paths the unit and the activation file name, the metainfo's release.
#
#   package-files-checks.sh <folder with the .deb files>
set -eu

debs=$1
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

if command -v lintian >/dev/null 2>&1; then
  report=$(lintian --fail-on error "$debs"/*.deb 2>&1) || fail "lintian reports errors"
  printf '%s\n' "$report" | grep -v 'running with root privileges' || true
else
  echo "lintian is not installed: its checks are not run"
fi

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
for deb in "$debs"/*.deb; do
  dpkg-deb -x "$deb" "$tree"
done

# Installed programs find the library on the loader's default path only: a
# search path of the build's would be a way to load someone else's library.
for elf in "$tree"/usr/bin/* "$tree"/usr/libexec/* "$tree"/usr/lib/*/lib*.so.*; do
  [ -L "$elf" ] && continue
  if readelf -d "$elf" | grep -Eq '\((RPATH|RUNPATH)\)'; then
    fail "${elf#"$tree"} has a library search path: $(readelf -d "$elf" | grep -E 'R(UN)?PATH')"
  fi
done

# Each file that starts the service names it where the package puts it.
while read -r file key; do
  named=$(sed -n "s/^$key=//p" "$tree$file")
  [ -x "$tree$named" ] || fail "$file: $key=$named is not the packaged service"
done <<EOF
/usr/lib/systemd/system/halvoran-tunneld.service ExecStart
/usr/share/dbus-1/system-services/dev.morvel.vpn.Tunnel.service Exec
EOF

metainfo=$tree/usr/share/metainfo/dev.morvel.vpn.Halvoran.metainfo.xml
version=$(dpkg-deb -f "$debs"/halvoran_*.deb Version)
grep -q "<release version=\"${version%-*}\"" "$metainfo" ||
  fail "the metainfo has no release for version ${version%-*}"
if command -v appstreamcli >/dev/null 2>&1; then
  appstreamcli validate --no-net "$metainfo" >/dev/null || fail "the metainfo does not validate"
fi

[ "$failures" -eq 0 ] || exit 1
echo "the packages pass their checks as files"
