#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs the libFuzzer targets for a bounded time: the /dev/accel command
# interface, from the seed corpus in fuzz/corpus (one input per command
# form), and the board models' register interface, from fuzz/corpus-board
# (a driver's bring-up and reads, the sensor's FIFO modes, aborts, the
# ports); the seeds stay as they are. New inputs and any crash input go to
# BUILD/fuzz/work-TARGET; a crash, a hang or a leak fails the run.
#
# usage: fuzz/run-fuzz.sh [--no-build] SECONDS [full|cmd|board ...]
#   SECONDS  run time of each target (the test suite runs them briefly;
#            600 passes a million inputs or more)
#   targets  full and cmd: the driver variants; board: the models; all
#            three by default
# BUILD (environment) is the CMake build folder, default build/ at the top
# of the tree; the targets are brought up to date first unless --no-build.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${BUILD:-$here/../build}" && pwd)
do_build=1
if [ "${1:-}" = --no-build ]; then
	do_build=
	shift
fi

if ! { [ $# -ge 1 ] && [ "$1" -gt 0 ] 2>/dev/null; }; then
	sed -n '3,/^set -eu/{/^set -eu/d;s/^# \{0,1\}//;p}' "$0" >&2
	exit 2
fi
seconds=$1
shift
[ $# -gt 0 ] || set -- full cmd board

for variant in "$@"; do
	case $variant in
	full | cmd) target=accel_write_fuzz_$variant seeds=$here/corpus ;;
	board) target=board_fuzz seeds=$here/corpus-board ;;
	*)
		echo "run-fuzz: no target '$variant' (full, cmd or board)" >&2
		exit 2
		;;
	esac
	[ -z "$do_build" ] || cmake --build "$build" --target "$target" >/dev/null
	work=$build/fuzz/work-$variant
	rm -rf "$work"
	mkdir -p "$work/corpus"
	echo "run-fuzz: $target for $seconds s"
	# A calibration polls the model for most of a second of board time; an
	# input of four of them is no hang.
	(cd "$work" && "$build/fuzz/bin/$target" -max_total_time="$seconds" -timeout=60 \
		-rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/" \
		corpus "$seeds")
done
