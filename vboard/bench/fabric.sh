#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The fabric's benchmark. Prints:
#   - the host time per cycle of the example design (examples/fabric/timer.v)
#     running free, and per bus transfer beyond the cycles it spans, through
#     the fabric's C interface alone (fabric_cost);
#   - guest loads and stores per second of host time to the pushbutton and
#     switch ports, the same guest program (busloop) on their C++ model and
#     on their Verilog in the fabric (--fabric-ports rtl, 50 MHz), and the
#     host time of a load on each, QEMU's part included;
#   - how much host time a second of a busy guest takes without a fabric and
#     with the example attached at 50 MHz and at 1 MHz.
# Guest time comes from the instructions (--icount) in every case. Host time
# is taken by the host as the guest's marker lines arrive.
#
# usage: vboard/bench/fabric.sh [--kernel 6.1|6.12] [ACCESSES [LOOPS]]
#   ACCESSES  loads, then stores, each time (default 2000000)
#   LOOPS     iterations of the busy guest's awk loop (default 300000)
# Run from a configured build (./run or ./test first); BUILD names the build
# folder (default build/).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${BUILD:-$root/build}
series=6.1
if [ "${1:-}" = --kernel ]; then
	series=${2:?}
	shift 2
fi
accesses=${1:-2000000} loops=${2:-300000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --build "$build" --target fabric_cost >/dev/null
example=$("$root/vboard/fabric/build.sh" "$root/examples/fabric/timer.v" 2>/dev/null)
"$build/vboard/bench/fabric_cost" "$example/libfabric.so" | tee "$work/cost"

# Each measured stretch is framed by two marker lines, "mark NAME" and
# "mark NAME." then the work: vboard/run relays a line once the next one has
# come, so the host sees the first marker as the work starts and the second
# as it ends.
# usage: guest_script PORTS: the guest's script, with the port accesses
# when PORTS is 1.
guest_script() {
	# shellcheck disable=SC2016 # the guest's shell expands these
	echo 'mark() { echo "mark $1"; echo "mark $1."; }'
	if [ "$1" = 1 ]; then
		# Names of models/panel_ports_regs.h.
		echo 'PORTS=0xFF200000 PORTS_SWITCH_DATA=0x40 PORTS_KEY_IRQ_MASK=0x58'
		# A design without an interrupt runs when accessed: the first
		# access runs the cycles of the boot.
		# shellcheck disable=SC2016 # the guest's shell expands these
		echo 'busloop $((PORTS + PORTS_SWITCH_DATA)) 1 load >/dev/null'
		echo 'mark loads'
		echo "busloop \$((PORTS + PORTS_SWITCH_DATA)) $accesses load"
		echo 'mark stores'
		echo "busloop \$((PORTS + PORTS_KEY_IRQ_MASK)) $accesses store 5"
	fi
	# Twice: the host's other work makes one figure noisy; the better one
	# counts.
	for round in 1 2; do
		echo 'read -r up0 _ </proc/uptime'
		echo "mark busy$round"
		echo "awk 'BEGIN { for (i = 0; i < $loops; i++) s += i * i }'"
		echo 'read -r up1 _ </proc/uptime'
		echo "mark done$round"
		echo "echo \"guest$round \$up0 \$up1\""
	done
}
guest_script 1 >"$work/ports.sh"
guest_script 0 >"$work/busy.sh"

# usage: measure NAME SCRIPT [RUN_OPTIONS...]: boots the board around the
# guest script; NAME.times holds "HOST_NS LINE" for each line of its output.
measure() {
	name=$1 script=$2
	shift 2
	"$root/vboard/run" --no-build --build "$build" --kernel "$series" --icount "$@" \
		--script "$work/$script" 2>/dev/null | /usr/bin/python3 -c '
import sys, time
for line in sys.stdin:
    print(time.monotonic_ns(), line.rstrip("\n"), flush=True)
' >"$work/$name.times"
}

# usage: between FILE A B: host seconds from marker A to marker B.
between() {
	awk -v a="mark $2" -v b="mark $3" '
		{ t = $1; $1 = ""; sub(/^ /, "") }
		$0 == a { ta = t } $0 == b { tb = t }
		END { printf "%.3f", (tb - ta) / 1e9 }' "$1"
}

measure model ports.sh
measure rtl ports.sh --fabric-ports rtl
measure none busy.sh
measure example50 busy.sh --fabric "$root/examples/fabric/timer.v"
measure example1 busy.sh --fabric "$root/examples/fabric/timer.v" --fabric-clock 1000000

echo
echo "Guest accesses to the pushbutton and switch ports, per second of host time:"
for name in model rtl; do
	loads=$(between "$work/$name.times" loads loads.)
	stores=$(between "$work/$name.times" stores stores.)
	awk -v n="$accesses" -v l="$loads" -v s="$stores" -v name="$name" 'BEGIN {
		printf "  %-5s loads %9.0f/s  stores %9.0f/s\n",
			name == "model" ? "C++" : "rtl", n / l, n / s }'
	echo "$name $loads $stores" >>"$work/ports"
done
# What a load of the Verilog costs beyond the model's: its transfer's cycles
# and the layer's own work (fabric_cost's figure above, without QEMU's), and
# the design's clock for the guest's time meanwhile.
awk -v n="$accesses" 'NR == 1 { model = $2 } NR == 2 { rtl = $2 }
	END {
		printf "  a load: %.0f ns of host time on the model, %.0f ns on the Verilog (%+.0f ns)\n",
			model * 1e9 / n, rtl * 1e9 / n, (rtl - model) * 1e9 / n
	}' "$work/ports"

echo
echo "A busy guest (awk, $loops iterations), host seconds per second of guest time:"
for name in none example50 example1; do
	host=$(between "$work/$name.times" busy1 busy1.)
	guest=$(awk '$2 == "guest1" { printf "%.2f", $4 - $3 }' "$work/$name.times")
	again=$(between "$work/$name.times" busy2 busy2.)
	host=$(awk -v a="$host" -v b="$again" 'BEGIN { print a < b ? a : b }')
	awk -v h="$host" -v g="$guest" -v name="$name" 'BEGIN {
		label = name == "none" ? "no fabric" : name == "example50" ? "example at 50 MHz" : "example at 1 MHz"
		printf "  %-18s %6.2f (%.2f s of host time for %.2f s of guest time)\n", label, h / g, h, g }'
done
