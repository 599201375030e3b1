#!/usr/bin/env bash
# The program's start-up time against a bare Qt Quick window's, on the same
# display in the same run: the time from process start to the first frame,
# the median of alternating runs.
#
#   bench/window-figures.sh [build dir] [runs]     (needs a display: DISPLAY or xvfb-run)
set -euo pipefail
build=${1:-build/default}
runs=${2:-15}
program=$build/app/halvoran
bare=$build/bench/bare_quick_window

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
frame() { "$@" 2>/dev/null | sed -n 's/^first frame after \([0-9]*\) ms$/\1/p'; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export XDG_CONFIG_HOME=$scratch/config XDG_DATA_HOME=$scratch/data
for _ in $(seq "$runs"); do
  frame "$bare" --first-frame >>"$scratch/bare"
  frame "$program" --self-test >>"$scratch/program"
done
b=$(median <"$scratch/bare")
p=$(median <"$scratch/program")
echo "first frame: bare Qt Quick window ${b} ms, halvoran ${p} ms (median of $runs), ratio $(awk -v p="$p" -v b="$b" 'BEGIN {printf "%.2f", p / b}')"
