#!/bin/sh
# Runs the libFuzzer targets on the /dev/accel command interface for a
# bounded time, starting from the seed corpus in fuzz/corpus (one input per
# command form), which stays as it is. New inputs and any crash input go to
# BUILD/fuzz/work-TARGET; a crash fails the run.
#
# usage: fuzz/run-fuzz.sh [--no-build] SECONDS [full|cmd ...]
#   SECONDS  run time of each target (the test suite runs them briefly;
#            600 passes a million inputs or more)
#   targets  the driver variants to fuzz, both by default
# BUILD (environment) is the CMake build folder, default build/ at the top
# of the tree; the targets are brought up to date first unless --no-build.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${BUILD:-$here/../build}
do_build=1
if [ "${1:-}" = --no-build ]; then
	do_build=
	shift
fi

[ $# -ge 1 ] && [ "$1" -gt 0 ] 2>/dev/null || {
	sed -n '2,/^set -eu/{/^set -eu/d;s/^# \{0,1\}//;p}' "$0" >&2
	exit 2
}
seconds=$1
shift
[ $# -gt 0 ] || set -- full cmd

for variant in "$@"; do
	target=accel_write_fuzz_$variant
	[ -z "$do_build" ] || cmake --build "$build" --target "$target" >/dev/null
	work=$build/fuzz/work-$variant
	rm -rf "$work"
	mkdir -p "$work/corpus"
	echo "run-fuzz: $target for $seconds s"
	# A calibration polls the model for most of a second of board time; an
	# input of four of them is no hang.
	(cd "$work" && "$build/fuzz/bin/$target" -max_total_time="$seconds" -timeout=60 \
		-rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/" \
		corpus "$here/corpus")
done
