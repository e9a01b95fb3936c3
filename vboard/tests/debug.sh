#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The driver under a debugger: vboard/debug attaches gdb to a running board
# (opening QEMU's gdb stub through QMP) with the symbols of the modules the
# guest has loaded, in a scripted session: a breakpoint set on the accel
# driver before its module is loaded, which the symbols loaded again after
# the load (vboard-symbols) resolve; a read of /dev/accel stops there, the
# backtrace shows the driver's files and lines, its variables print, and
# after continue and detach the guest's script finishes normally.
# usage: debug.sh RUN BOARD BUILD_DIR SERIES
set -eu
run=$1 board=$2 build=$3 series=$4
# shellcheck source=vboard/tests/host_lib.sh
. "$(dirname "$0")/host_lib.sh"
debug=$(dirname "$0")/../debug

cat >"$work/guest.sh" <<'GUEST'
. /lib/vboard/testlib.sh
SWITCHES=0xFF200040 CTL_MODULES=0x0B00000C
# usage: loaded MODULE: insmod, and wait until the machine has the module
# table that holds it (the guest publishes it as the module comes).
loaded() {
	made=$(($(devmem $CTL_MODULES)))
	insmod "/modules/$1.ko"
	until [ $(($(devmem $CTL_MODULES))) -gt $made ]; do sleep 0.05; done
}
loaded panelio
board devid 3c
until [ $(($(devmem $SWITCHES) & 0xFFF)) -eq 1 ]; do sleep 0.05; done
loaded accel
cat /dev/KEY >/dev/null
# A read samples the sensor only when it has new data (otherwise the record
# keeps the sample before): two periods at the reset rate of 100 Hz, on the
# virtual clock that the sensor's model keeps too, so this read does.
sleep 0.02
record=$(cat /dev/accel)
expect_match "the record read under the debugger" "$record" "^[ 0-9A-F]{2}( [- 0-9]{4}){3} 31$"
expect_no_kernel_trouble
finish
GUEST

start_board 300
wait_board "the guest's cue" --line regs "DEVID 0x3C" || { cat "$work/out"; exit 1; }
status=0
timeout 300 "$debug" --qmp "$sock" -batch \
	-ex 'set breakpoint pending on' \
	-ex 'break ADXL345_XYZ_Read' \
	-ex 'break KEY_device_read' \
	-ex "shell '$board' --socket '$sock' switches 1" \
	-ex continue \
	-ex vboard-symbols \
	-ex 'delete 2' \
	-ex continue \
	-ex bt \
	-ex 'print mg_per_LSB' \
	-ex 'print *szData16@3' \
	-ex 'delete' \
	-ex detach >"$work/gdb" 2>&1 || status=$?
[ "$status" -eq 0 ] || problem "gdb exit status $status"

# What the session must show, line by line.
expect_line() {
	grep -Eq "$2" "$work/gdb" || problem "$1"
}
expect_line "the modules' symbols at first: panelio's only" \
	'^vboard: modules with symbols: panelio \(kernel/linux/[^/]+/panelio\.ko, \.text at 0x[0-9a-f]+\)$'
expect_line "stopped in panelio, read by the guest's cat /dev/KEY" \
	'^Breakpoint 2, (\(anonymous namespace\)::)?KEY_device_read \(.*\) at (.*/)?(panelio/panelio\.cpp|kernel/record_file\.h):[0-9]+$'
expect_line "the symbols again: accel's too" \
	'^vboard: modules with symbols: accel \(kernel/linux/[^/]+/accel\.ko, .*\), panelio '
expect_line "stopped in the driver's sample read" \
	'^Breakpoint 1, ADXL345_XYZ_Read \(szData16=0x[0-9a-f]+ <XYZ>\) at (.*/)?accel/adxl345\.cpp:[0-9]+$'
expect_line "the backtrace: the driver's read with its file and line" \
	'^#[1-9] .* (make_record|acquire_sample) \(.*\) at (.*/)?accel/accel\.cpp:[0-9]+$'
# shellcheck disable=SC2016 # gdb's value history, not the shell's variables
expect_line "the driver's scale printed" '^\$1 = 31$'
# shellcheck disable=SC2016 # a regular expression, not an expansion
expect_line "the sample buffer printed" '^\$2 = \{-?[0-9]+, -?[0-9]+, -?[0-9]+\}$'
expect_line "detached" 'Inferior 1 .* detached'

status=0
wait "$pid" || status=$?
pid=
echo "--- gdb"
cat "$work/gdb"
echo "--- the guest"
cat "$work/out"
[ "$status" -eq 0 ] || problem "guest script exit status $status"
exit "$fail"
