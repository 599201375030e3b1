#!/usr/bin/env bash
# The program's start-up against a bare Qt Quick window's, on the same
# display in the same run, the median of alternating runs: the time from
# process start to the first frame, the program's time to its first frame
# with the screen in it (the screen loads after the first frame), and the
# peak memory (maximum resident set) of a run that ends there.
#
#   bench/window-figures.sh [build dir] [runs]     (needs a display: DISPLAY or xvfb-run)
#
# Both run on a session bus, as on a desktop: without one, each process would
# have libdbus start a bus of its own through the X server (and leave it).
set -euo pipefail
if [ -z "${DBUS_SESSION_BUS_ADDRESS-}" ]; then
  exec dbus-run-session -- "$0" "$@"
fi
build=${1:-build/default}
runs=${2:-15}
program=$build/app/halvoran
bare=$build/bench/bare_quick_window
command -v /usr/bin/time >/dev/null || { echo "window-figures: /usr/bin/time not found; scripts/install-deps installs it" >&2; exit 1; }

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
ratio() { awk -v p="$1" -v b="$2" 'BEGIN {printf "%.2f", p / b}'; }
# <name> <command...>: one run; its first "first frame" line (one a run,
# whatever else it prints) to $scratch/<name>.frame, its peak memory in KiB
# to $scratch/<name>.rss.
run() {
  local name=$1
  shift
  /usr/bin/time -f %M -o "$scratch/time" "$@" 2>/dev/null >"$scratch/out" || true
  sed -n 's/^first frame after \([0-9]*\) ms$/\1/p' "$scratch/out" | head -n 1 >>"$scratch/$name.frame"
  sed -n 's/^screen drawn after \([0-9]*\) ms$/\1/p' "$scratch/out" | head -n 1 >>"$scratch/$name.screen"
  tail -n 1 "$scratch/time" >>"$scratch/$name.rss"
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export XDG_CONFIG_HOME=$scratch/config XDG_DATA_HOME=$scratch/data
for _ in $(seq "$runs"); do
  run bare "$bare" --first-frame
  run program "$program" --self-test
done
for name in bare program; do
  [ "$(grep -c . "$scratch/$name.frame")" -eq "$runs" ] ||
    { echo "window-figures: $name drew no first frame in some runs" >&2; exit 1; }
done
b=$(median <"$scratch/bare.frame")
p=$(median <"$scratch/program.frame")
echo "first frame: bare Qt Quick window ${b} ms, halvoran ${p} ms (median of $runs), ratio $(ratio "$p" "$b")"
s=$(median <"$scratch/program.screen")
echo "screen drawn: halvoran ${s} ms (median of $runs), $(ratio "$s" "$b") times the bare window's first frame"
b=$(median <"$scratch/bare.rss")
p=$(median <"$scratch/program.rss")
echo "peak memory: bare Qt Quick window $((b / 1024)) MiB, halvoran $((p / 1024)) MiB (median of $runs), ratio $(ratio "$p" "$b")"
