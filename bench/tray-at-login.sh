#!/usr/bin/env bash
# The time from a start at login (`halvoran --autostart`) to its tray item,
# when the tray host comes up late: the stand-in StatusNotifierWatcher
# (tests/platform/stand-in-tray-watcher.py) starts <late> seconds after the
# program, and the figure is from the program's start to its
# RegisterStatusNotifierItem call reaching the watcher. On a private session
# bus and X server.
#
#   bench/tray-at-login.sh [build dir] [late seconds] [runs]   (default build/default, 5, 3)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${TRAY_AT_LOGIN_INSIDE-}" ]; then
  export TRAY_AT_LOGIN_INSIDE=1
  exec dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi
build=${1:-build/default}
late=${2:-5}
runs=${3:-3}
program=$build/app/halvoran
watcher=tests/platform/stand-in-tray-watcher.py
[ -x "$program" ] || { echo "tray-at-login: $program not built" >&2; exit 1; }

. bench/scratch-session.sh

now() { date +%s%3N; }
figures=()
for run in $(seq "$runs"); do
  started=$(now)
  "$program" --autostart >"$scratch/program.log" 2>&1 &
  app=$!
  sleep "$late"
  "$watcher" >"$scratch/watcher.log" 2>&1 &
  host=$!
  item=
  for _ in $(seq 200); do
    item=$(awk '$1 == "item" {print $3; exit}' "$scratch/watcher.log")
    [ -n "$item" ] && break
    sleep 0.05
  done
  kill "$app" "$host" 2>/dev/null || true
  wait "$app" "$host" 2>/dev/null || true
  [ -n "$item" ] || { echo "tray-at-login: no tray item within 10 s of the host (run $run)" >&2; cat "$scratch/program.log" >&2; exit 1; }
  figures+=($((item - started)))
done
echo "tray item at login, host ${late} s late: $(printf '%s ms ' "${figures[@]}")from the program's start (host up at $((late * 1000)) ms)"
