#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# A board with a design in its fabric (the example timer), from the host:
# the LEDs and digits the design drives are the machine's properties ledr
# and hex; the machine is saved and restored in the middle of the timer's
# count, which goes on with the guest's time; the host's pushbuttons and
# switches then reach the design, and its interrupt still reaches the
# guest (through UIO where the kernel has it).
# usage: fabric_board.sh RUN BOARD BUILD_DIR SERIES
set -eu
run=$1 board=$2 build=$3 series=$4
# shellcheck source=vboard/tests/host_lib.sh
. "$(dirname "$0")/host_lib.sh"
timer=$(cd "$(dirname "$0")/../.." && pwd)/examples/fabric/timer.v

cat >"$work/guest.sh" <<'GUEST'
. /lib/vboard/testlib.sh
# Names of examples/fabric/timer_regs.h.
FABRIC_BASE=0xFF210000 TIMER_CTRL=0x00 TIMER_PERIOD=0x04 TIMER_PERIODS=0x10
TIMER_LEDR=0x14 TIMER_HEX_LO=0x18 TIMER_HEX_HI=0x1C TIMER_INPUTS=0x20
TIMER_RUN=0x1 TIMER_KEY_SHIFT=16
reg() {
	devmem $((FABRIC_BASE + $1)) 32 ${2+"$2"}
}
reg $TIMER_LEDR 0x2A5
reg $TIMER_HEX_LO 0x79244030
reg $TIMER_HEX_HI 0x0040
reg $TIMER_PERIOD 50000
reg $TIMER_CTRL $TIMER_RUN
read -r up0 _ </proc/uptime
periods0=$(($(reg $TIMER_PERIODS)))
# The host's cue; it saves and restores the machine, then holds
# pushbuttons 0 and 3 and sets the switches.
board devid 3c
want=$(((0x9 << TIMER_KEY_SHIFT) | 0x155))
i=0
until [ $(($(reg $TIMER_INPUTS))) -eq $want ] || [ $i -ge 20000 ]; do
	sleep 0.01
	i=$((i + 1))
done
read -r up1 _ </proc/uptime
periods1=$(($(reg $TIMER_PERIODS)))
expect "the host's pushbuttons and switches" "$(reg $TIMER_INPUTS)" "$(printf 0x%08X $want)"
elapsed_ms=$(echo "$up0 $up1" | awk '{ printf "%d", ($2 - $1) * 1000 + 0.5 }')
off=$((periods1 - periods0 - elapsed_ms))
check "the count went on with the guest's time ($((periods1 - periods0)) ms in $elapsed_ms)" \
	[ $off -ge -30 -a $off -le 30 ]
expect "LEDR kept" "$(reg $TIMER_LEDR)" 0x000002A5
reg $TIMER_CTRL 0
if [ -e /dev/uio0 ]; then
	expect_match "the interrupt after the restore" "$(fabtimer 50000 5)" '^served 5 interrupts'
fi
expect_no_kernel_trouble
finish
GUEST

state=$work/state
"$run" --no-build --build "$build" --kernel "$series" --timeout 300 --qmp "$sock" \
	--fabric "$timer" --state "$state" --script "$work/guest.sh" >"$work/before" 2>&1 &
pid=$!
wait_board "the guest's cue" --line regs "DEVID 0x3C" --stop || { cat "$work/before"; exit 1; }
[ "$(prop ledr)" = 677 ] || problem "ledr: $(prop ledr)"
# hex0 to hex5: 0x30 0x40 0x24 0x79, 0x40 0x00.
[ "$(prop hex)" = "[48, 64, 36, 121, 64, 0]" ] || problem "hex: $(prop hex)"
save_board "$state"

"$run" --no-build --build "$build" --kernel "$series" --timeout 300 --qmp "$sock" \
	--fabric "$timer" --state "$state" --script "$work/guest.sh" >"$work/after" 2>&1 &
pid=$!
wait_board "the restored machine" --status paused
[ "$(prop ledr)" = 677 ] || problem "ledr after the restore: $(prop ledr)"
qmp cont >/dev/null
"$board" --socket "$sock" hold 9 || problem "board hold 9"
"$board" --socket "$sock" switches 155 || problem "board switches 155"
status=0
wait "$pid" || status=$?
pid=
echo "--- before the save"
cat "$work/before"
echo "--- after the restore"
cat "$work/after"
[ "$status" -eq 0 ] || problem "guest script exit status $status"
exit "$fail"
