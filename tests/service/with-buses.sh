#!/usr/bin/env bash
# Runs a command against private buses: a "system" bus and a session bus of
# their own, with python3-dbusmock's polkit and logind on the system bus, so
# no test ever reaches the machine's real buses, polkit or logind.
#
#   with-buses.sh <command> [args...]
#
# Exports DBUS_SYSTEM_BUS_ADDRESS and DBUS_SESSION_BUS_ADDRESS. The buses
# accept every user, so a test can call in as a second, unprivileged uid.
# Exits with the command's status, or 1 with the reason when a bus or a mock
# does not come up. Every step has a time limit.
set -euo pipefail

limit=${WITH_BUSES_TIMEOUT:-240}
python=/usr/bin/python3

fail() {
  echo "with-buses: $*" >&2
  exit 1
}

[ $# -ge 1 ] || {
  echo "usage: $0 <command> [args...]" >&2
  exit 2
}
for tool in dbus-daemon dbus-send timeout "$python"; do
  command -v "$tool" >/dev/null || fail "$tool not found; scripts/install-deps installs it"
done
"$python" -c 'import dbusmock' 2>/dev/null || fail "python3-dbusmock missing; scripts/install-deps installs it"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/halvoran-buses.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT
# The second uid must reach the sockets.
chmod 755 "$scratch"

bus_config() { # <type> <socket>
  cat <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>$1</type>
  <listen>unix:path=$2</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
  </policy>
</busconfig>
CONF
}

# Runs in this shell, not in a command substitution's subshell: the bus's pid
# must reach `pids`, or the cleanup would leave the bus running.
start_bus() { # <type> -> the address in $scratch/<type>.address
  local socket=$scratch/$1_bus_socket
  bus_config "$1" "$socket" >"$scratch/$1.conf"
  dbus-daemon --nofork --nopidfile --config-file="$scratch/$1.conf" \
    >"$scratch/$1.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    [ -S "$socket" ] && break
    sleep 0.05
  done
  [ -S "$socket" ] || fail "the $1 bus did not start: $(cat "$scratch/$1.log")"
  chmod 666 "$socket"
  echo "unix:path=$socket" >"$scratch/$1.address"
}

start_bus system
start_bus session
export DBUS_SYSTEM_BUS_ADDRESS DBUS_SESSION_BUS_ADDRESS
DBUS_SYSTEM_BUS_ADDRESS=$(cat "$scratch/system.address")
DBUS_SESSION_BUS_ADDRESS=$(cat "$scratch/session.address")
unset DISPLAY WAYLAND_DISPLAY

owned() { # <name>
  timeout 5 dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}
for template in polkitd:org.freedesktop.PolicyKit1 logind:org.freedesktop.login1; do
  "$python" -m dbusmock --template "${template%%:*}" >"$scratch/${template%%:*}.log" 2>&1 &
  pids+=($!)
  up=
  for _ in $(seq 100); do
    if owned "${template#*:}"; then up=1; break; fi
    sleep 0.05
  done
  [ -n "$up" ] || fail "dbusmock ${template%%:*} did not come up: $(cat "$scratch/${template%%:*}.log")"
done

status=0
timeout --kill-after=5 "$limit" "$@" </dev/null || status=$?
[ "$status" -ne 124 ] || echo "with-buses: gave up after $limit s" >&2
exit "$status"
