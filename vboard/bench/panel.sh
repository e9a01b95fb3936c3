#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Front-panel benchmark: boots the board with the panel, drives the page in
# headless chromium and prints two figures: the time from a click on a
# pushbutton in the page to the guest's read loop seeing the press (median,
# 90th percentile, maximum), and the samples plotted against the samples the
# sensor produced over SECONDS at 100 Hz (vboard/panel/bench.mjs).
#
# usage: vboard/bench/panel.sh [--kernel 6.1|6.12] [--icount] [--fifo]
#                              [SECONDS [CLICKS]]
#   SECONDS  sampling time (default 60); CLICKS  clicks timed (default 40)
#   --icount board time from the guest's instructions (vboard/run --icount):
#            the samples without the host's load; no latency figure
#   --fifo   the sensor's FIFO in stream mode: samples wait in the sensor
#            while the guest does not run, instead of being overwritten
# Run from a configured build (./run or ./test first); BUILD names the build
# folder (default build/).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${BUILD:-$root/build}
series=6.1 modes=
while [ $# -gt 0 ]; do
	case $1 in
	--kernel) series=${2:?}; shift ;;
	--icount | --fifo) modes="$modes $1" ;;
	*) break ;;
	esac
	shift
done
"$root/vboard/image.sh" "$series" "$build" >&2
"$root/vboard/panel/setup.sh" >/dev/null
# shellcheck disable=SC2086 # its options, a word each
exec node "$root/vboard/panel/bench.mjs" "$build" "$series" "${1:-60}" "${2:-40}" $modes
