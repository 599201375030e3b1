#!/bin/sh
# Runs as root in a throw-away copy of the machine (package-test.sh), where
# no systemd and no system bus run: installs the packages, upgrades them to
# the next version, removes and purges them, and checks each step.
#
#   installed-checks.sh <folder with v1/ and v2/, each holding the .deb files>
set -eu

debs=$1
# The maintainer scripts' PATH, with room for a stand-in systemctl first.
PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export PATH
packages="halvoran halvoran-tunneld libtessaline0"
log=/tmp/dpkg.log
state=/var/lib/halvoran-tunneld
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
phase_done() {
  [ "$failures" -eq 0 ] || exit 1
  echo "$1"
}
dpkg_run() {
  dpkg "$@" >"$log" 2>&1 || {
    cat "$log"
    echo "FAIL: dpkg $*"
    exit 1
  }
}
# "<status> <version>" of a package, as dpkg has it; empty once it is purged.
status_of() {
  dpkg-query -W -f='${db:Status-Abbrev}${Version}' "$1" 2>/dev/null | tr -s ' ' || true
}
expect_status() {
  for package in $packages; do
    [ "$(status_of "$package")" = "$1" ] ||
      fail "$package: dpkg has \"$(status_of "$package")\", expected \"$1\""
  done
}

# A service at work, as far as its removal is concerned: a root process of
# the service's program, outside systemd, and the firewall table it keeps.
# The stand-in is sleep under the service's name.
start_service_stand_in() {
  nft add table inet halvoran_tunneld
  cp /bin/sleep /usr/bin/halvoran-tunneld
  /usr/bin/halvoran-tunneld 300 &
  stand_in=$!
}
expect_service_stopped() {
  nft list table inet halvoran_tunneld >/dev/null 2>&1 && fail "$1 left the firewall table"
  # Ended, it is gone or a zombie this shell has yet to collect.
  if [ -e "/proc/$stand_in" ] && [ "$(cut -d' ' -f3 "/proc/$stand_in/stat")" != Z ]; then
    fail "$1 did not stop the running service"
    kill -KILL "$stand_in"
  fi
  status=0
  wait "$stand_in" || status=$?
  [ "$status" -eq 143 ] || fail "$1 ended the running service otherwise than by SIGTERM ($status)"
}

# Installed: every file in place, the library found on the default path.
dpkg_run -i "$debs"/v1/*.deb
version=$(dpkg-deb -f "$(ls "$debs"/v1/halvoran_*.deb)" Version)
expect_status "ii $version"
while read -r path; do
  [ -f "$path" ] || fail "not installed: $path"
done <<EOF
/usr/bin/halvoran
/usr/share/applications/dev.morvel.vpn.Halvoran.desktop
/usr/share/icons/hicolor/scalable/apps/dev.morvel.vpn.Halvoran.svg
/etc/xdg/autostart/dev.morvel.vpn.Halvoran.desktop
/usr/share/metainfo/dev.morvel.vpn.Halvoran.metainfo.xml
/usr/bin/halvoran-tunneld
/usr/libexec/halvoran-tunnel
/usr/lib/systemd/system/halvoran-tunneld.service
/usr/share/dbus-1/system.d/dev.morvel.vpn.Tunnel.conf
/usr/share/dbus-1/system-services/dev.morvel.vpn.Tunnel.service
/usr/share/polkit-1/actions/dev.morvel.vpn.tunnel.policy
EOF
for program in /usr/bin/halvoran /usr/bin/halvoran-tunneld /usr/libexec/halvoran-tunnel; do
  ldd "$program" | grep -Eq 'libTessaline\.so\.0 => (/usr)?/lib/[^ ]*/libTessaline\.so\.0 ' ||
    fail "$program does not find the library on the loader's path: $(ldd "$program" | grep Tessaline)"
  ldd "$program" | grep 'not found' && fail "$program misses a library"
done
files=$(for package in $packages; do dpkg -L "$package"; done | sort -u)
phase_done "installed: $version"

# Upgraded while the service runs with its firewall: it is stopped, the table
# goes, the users' profiles stay.
mkdir -p "$state/users/1000/profiles"
echo '{}' >"$state/users/1000/profiles/p.json"
start_service_stand_in
dpkg_run -i "$debs"/v2/*.deb
expect_status "ii $version+1"
expect_service_stopped "the upgrade"
[ -f "$state/users/1000/profiles/p.json" ] || fail "the upgrade lost the users' profiles"
phase_done "upgraded to $version+1"

# Removed while the service runs: the same, and the configuration files stay
# for a later purge.
start_service_stand_in
# shellcheck disable=SC2086
dpkg_run -r $packages
expect_status "rc $version+1"
expect_service_stopped "the removal"
[ -d "$state" ] || fail "the removal deleted $state, which only a purge should"
[ -f /etc/xdg/autostart/dev.morvel.vpn.Halvoran.desktop ] ||
  fail "the removal deleted the autostart entry, a configuration file only a purge deletes"
[ -e /usr/bin/halvoran-tunneld ] && fail "the removal left /usr/bin/halvoran-tunneld"
phase_done "removed"

# Purged: nothing of them left, dpkg knows them no more.
# shellcheck disable=SC2086
dpkg_run -P $packages
expect_status ""
for path in $files "$state"; do
  [ -d "$path" ] && ! [ "$path" = "$state" ] && continue
  [ -e "$path" ] && fail "the purge left $path"
done
phase_done "purged"

# Again where systemd runs: a stand-in systemctl notes what the scripts ask
# of it. The service stops before its files change; systemd reloads the unit
# after. The machine's policy-rc.d (a container's, which forbids every
# action) goes, as a system that runs systemd has none.
mkdir -p /run/systemd/system
rm -f /usr/sbin/policy-rc.d
calls=/tmp/systemctl.calls
printf '#!/bin/sh\necho "$*" >>%s\n' "$calls" >/usr/local/sbin/systemctl
chmod 755 /usr/local/sbin/systemctl
while IFS="|" read -r what first last; do
  : >"$calls"
  # shellcheck disable=SC2086
  dpkg_run $what
  [ "$first" = - ] || [ "$(head -n1 "$calls")" = "$first" ] ||
    fail "dpkg $what under systemd: the first call is \"$(head -n1 "$calls")\", not \"$first\""
  [ "$(tail -n1 "$calls")" = "$last" ] ||
    fail "dpkg $what under systemd: the last call is \"$(tail -n1 "$calls")\", not \"$last\""
done <<EOF
-i $debs/v1/halvoran-tunneld_*.deb $debs/v1/libtessaline0_*.deb|-|daemon-reload
-i $debs/v2/halvoran-tunneld_*.deb $debs/v2/libtessaline0_*.deb|stop halvoran-tunneld.service|daemon-reload
-P halvoran-tunneld libtessaline0|stop halvoran-tunneld.service|daemon-reload
EOF
rm /usr/local/sbin/systemctl
phase_done "installed, upgraded and purged under systemd"
