#!/usr/bin/env bash
# How often the program's main thread wakes while it sits idle on the status
# screen: disconnected, then connected. Runs the demo build (`cmake --preset
# demo`) with the demo service and the tunnel service in session mode, on a
# private session bus and X server, in a network namespace of its own where
# one can be made; activates with the demo code by typing it, starts the
# program again (as a returning user would), then counts the main thread's
# wake-ups and context switches over each window.
#
#   bench/idle-wakeups.sh [build dir] [seconds]     (default build/demo, 60)
#
# With IDLE_WAKEUPS_TRACE=<path>, strace writes the main thread's system
# calls in each window to <path>.disconnected and <path>.connected.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/demo}
seconds=${2:-60}

# A session of its own: a bus, an X server, loopback only.
if [ -z "${IDLE_WAKEUPS_INSIDE-}" ]; then
  export IDLE_WAKEUPS_INSIDE=1
  wrap=()
  unshare --net true 2>/dev/null && wrap=(tests/support/in-own-network.sh)
  exec "${wrap[@]}" dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

for tool in xdotool dbus-send; do
  command -v "$tool" >/dev/null || { echo "idle-wakeups: $tool not found; scripts/install-deps installs it" >&2; exit 1; }
done
program=$build/app/halvoran
tunneld=$build/service/tunneld/halvoran-tunneld
demo=$build/service/demo/halvoran-demo-service
for file in "$program" "$tunneld" "$demo"; do
  [ -x "$file" ] || { echo "idle-wakeups: $file not built (cmake --preset demo)" >&2; exit 1; }
done

. bench/scratch-session.sh
mkdir -p "$scratch/engine" && ln -s "$(readlink -f tests/support/fake-sing-box)" "$scratch/engine/sing-box"
export PATH=$scratch/engine:$PATH
export HALVORAN_TUNNEL_PROVIDER
HALVORAN_TUNNEL_PROVIDER=$(readlink -f "$build/service/provider/halvoran-tunnel")

"$demo" >"$scratch/demo.log" 2>&1 &
pids+=($!)
"$tunneld" --session --log-stderr >"$scratch/tunneld.log" 2>&1 &
pids+=($!)
tunnel() { # <method> [args...]: the tunnel service's answer
  dbus-send --session --print-reply --dest=dev.morvel.vpn.Tunnel /dev/morvel/vpn/Tunnel1 \
    "dev.morvel.vpn.Tunnel1.$1" "${@:2}" 2>/dev/null
}
for _ in $(seq 100); do tunnel LoadAll >/dev/null && break; sleep 0.1; done

"$program" >"$scratch/program.log" 2>&1 &
app=$!
pids+=($app)
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Halvoran$' | head -1)
[ -n "$window" ] || { echo "idle-wakeups: no window" >&2; exit 1; }
# The activation field has the focus; the window takes the keyboard (there is
# no window manager to give it).
sleep 1
xdotool windowfocus --sync "$window" 2>/dev/null || true
xdotool type --delay 20 DEMO-2026
xdotool key Return

profile=
for _ in $(seq 150); do
  profile=$(tunnel LoadAll | awk -F'"' 'id {print $2; exit} /string "Id"/ {id = 1}')
  [ -n "$profile" ] && break
  sleep 0.2
done
[ -n "$profile" ] || { echo "idle-wakeups: activation did not save a profile" >&2; cat "$scratch/program.log" >&2; exit 1; }

# Measured as a returning user has it: started again, activated already.
sleep 2
kill "$app"
wait "$app" 2>/dev/null || true
"$program" >>"$scratch/program.log" 2>&1 &
app=$!
pids+=($app)
timeout 30 xdotool search --sync --onlyvisible --name '^Halvoran$' >/dev/null ||
  { echo "idle-wakeups: no window at the second start" >&2; exit 1; }

switches() { # the main thread's context switches so far
  awk '/^(non)?voluntary_ctxt_switches/ {n += $2} END {print n}' "/proc/$app/task/$app/status"
}
# <label>: over the window, the main thread's context switches, and its
# wake-ups: the tenths of a second in which it ran at all (one wake-up's
# work, a poll's HTTP exchange say, takes several switches).
count() {
  sleep 5 # what the last change set off settles first
  local first last now woke=0 ticks=$((seconds * 10)) tracer=
  if [ -n "${IDLE_WAKEUPS_TRACE-}" ]; then
    # What woke it, for finding the source: the main thread's system calls
    # (the counts then include the tracer's own stops).
    timeout "$seconds" strace -q -tt -p "$app" -o "$IDLE_WAKEUPS_TRACE.$1" &
    tracer=$!
  fi
  first=$(switches)
  last=$first
  local started=$(date +%s%N)
  for _ in $(seq "$ticks"); do
    sleep 0.1
    now=$(switches)
    [ "$now" != "$last" ] && woke=$((woke + 1))
    last=$now
  done
  local took=$(($(date +%s%N) - started))
  [ -z "$tracer" ] || wait "$tracer" || true
  awk -v n=$((last - first)) -v w="$woke" -v s="$((took / 1000000))" -v l="$1" 'BEGIN {
    printf "idle main thread, %s: %.1f wake-ups a minute (%.1f context switches a minute; %d and %d in %.0f s)\n",
      l, w * 60000 / s, n * 60000 / s, w, n, s / 1000 }'
}

count disconnected
awk '/^VmHWM/ {printf "peak memory of a start on the status screen, idle: %d MiB\n", $2 / 1024}' "/proc/$app/status"
tunnel Start "string:$profile" >/dev/null
for _ in $(seq 100); do
  tunnel Status "string:$profile" | grep -q '"connected"' && break
  sleep 0.1
done
count connected
tunnel Stop "string:$profile" >/dev/null || true
