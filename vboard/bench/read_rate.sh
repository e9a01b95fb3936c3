#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Read-rate benchmark: records per second that a tight reader gets from
# /dev/accel (each variant, at the sensor's default 12.5 Hz and at 25 Hz),
# /dev/KEY and /dev/SW on the virtual board, in the guest's own clock: by
# default one that counts the instructions executed (vboard/run --icount),
# so that the figures do not depend on how fast the host emulates. Each
# accel figure is shown beside the bus limit: the records per second the
# I2C controller's bit time allows for the accesses those records needed
# (INT_SOURCE for every record, the six-byte burst for those with a new
# sample), taken from the models' own timing (bus_limit).
#
# usage: vboard/bench/read_rate.sh [--kernel 6.1|6.12] [--real-time] [SECONDS]
#   --real-time  guest time follows the host's clock instead, emulation
#                overhead included
#   SECONDS      reading time of each figure (default 3)
# Run from a configured build (./run or ./test first); BUILD names the
# build folder (default build/).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${BUILD:-$root/build}
series=6.1 icount=--icount
while [ $# -gt 0 ]; do
	case $1 in
	--kernel) series=${2:?}; shift ;;
	--real-time) icount= ;;
	*) break ;;
	esac
	shift
done
seconds=${1:-3}

cmake --build "$build" --target bus_limit >/dev/null
limits=$("$build/vboard/bench/bus_limit")
script=$(mktemp)
trap 'rm -f "$script"' EXIT
{
	echo "set -- $seconds"
	cat "$here/../guest/bench/read_rate.sh"
} >"$script"

"$root/vboard/run" --build "$build" --kernel "$series" $icount --timeout 600 --script "$script" |
	awk -v limits="$limits" '
	BEGIN {
		split(limits, l, " ")
		int_source_ns = l[2]; burst_ns = l[4]
		printf "%-18s %10s %8s %12s %6s\n", "node", "records/s", "new", "bus limit/s", "ratio"
	}
	$3 == "records" {
		records = $4; fresh = $6; per_second = $10
		if ($1 ~ /^accel/) {
			ns = int_source_ns + burst_ns * fresh / records
			limit = 1e9 / ns
			printf "%-18s %10d %7.1f%% %12d %5.0f%%\n", $1, per_second,
				100 * fresh / records, limit, 100 * per_second / limit
		} else {
			printf "%-18s %10d %8s %12s %6s\n", $1, per_second, "-", "-", "-"
		}
		next
	}
	{ print }'
