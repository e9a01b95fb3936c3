#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The board's state is saved with the machine and restored: a running board
# is saved to a file (scripts/board save) while a reader of /dev/accel
# is in the middle of a record, and a new QEMU restores it from there
# (-incoming). The guest goes on where it was: the reader's record
# completes, and the sensor's configuration and FIFO, the tilt, the ports
# and the machine's event timer (the sensor's INT1 line rises on its own
# after the restore, with nothing else touching the board) are as they
# were.
# usage: save_restore.sh RUN BOARD BUILD_DIR SERIES
set -eu
run=$1 board=$2 build=$3 series=$4
# shellcheck source=vboard/tests/host_lib.sh
. "$(dirname "$0")/host_lib.sh"

cat >"$work/guest.sh" <<'GUEST'
. /lib/vboard/testlib.sh
I2C=0xFFC04000 IC_DATA_CMD=0x10 IC_RXFLR=0x78
# GIC distributor: pending bits of interrupts 32 to 63; INT1 is SPI 11.
GICD_ISPENDR1=0x08000204 INT1_BIT=$((1 << 11))
FIFO_MODE=0x40 WATERMARK=20 RATE_3HZ=0x05

# The sensor through the controller by hand, beside accel (which is idle).
sensor_write() {
	devmem $((I2C + IC_DATA_CMD)) 32 $((0x400 | $1))
	devmem $((I2C + IC_DATA_CMD)) 32 $(($2))
}
sensor_read() {
	devmem $((I2C + IC_DATA_CMD)) 32 $((0x400 | $1))
	devmem $((I2C + IC_DATA_CMD)) 32 0x100
	until [ $(($(devmem $((I2C + IC_RXFLR))))) -gt 0 ]; do :; done
	echo $(($(devmem $((I2C + IC_DATA_CMD))) & 0xFF))
}
int1() {
	echo $((($(devmem $GICD_ISPENDR1) & INT1_BIT) != 0))
}

insmod /modules/accel.ko
insmod /modules/panelio.ko
board tilt 0 707 707
board switches 2a5
board press 5
sleep 0.2

# A reader takes the first bytes of a record.
exec 3</dev/accel
first=$(dd bs=5 count=1 <&3 2>/dev/null)

# The FIFO collects slowly; INT1 rises once WATERMARK samples wait (6.4 s
# at 3.13 Hz), some five seconds after the cue: the cue comes first even on
# a host busy enough to hold the guest for seconds.
sensor_write 0x2D 0x00
sensor_write 0x38 $((FIFO_MODE | WATERMARK))
sensor_write 0x2F 0x00
sensor_write 0x2E 0x02
sensor_write 0x2C $RATE_3HZ
sensor_write 0x2D 0x08
sleep 1
before=$(($(sensor_read 0x39) & 0x3F))
expect "INT1 low before the save" "$(int1)" 0

# The host stops the machine at this cue (within milliseconds), saves it
# and restores it in a new QEMU, all within the sleep (the guest's clock
# stands still while it is stopped). Nothing touches the board until INT1
# has risen: only the event timer, armed anew when the board's state was
# loaded, can raise it.
board devid 3c
sleep 1

record="$first$(cat <&3)"
expect_match "the reader's record completes" "$record" "^[ 0-9A-F]{2}( [- 0-9]{4}){3} 31$"
expect_match "with the tilt on Y" "$(field_mg "$record" 3)" "^7[0-2][0-9]$"
i=0
while [ "$(int1)" = 0 ] && [ $i -lt 200 ]; do
	sleep 0.1
	i=$((i + 1))
done
expect "INT1 rose after the restore, by the machine's timer" "$(int1)" 1
entries=$(($(sensor_read 0x39) & 0x3F))
check "the FIFO kept its samples ($before, then $entries)" \
	[ "$entries" -ge $((WATERMARK - 1)) -a "$entries" -ge "$before" ]
expect "FIFO_CTL" "$(sensor_read 0x38)" $((FIFO_MODE | WATERMARK))
expect "BW_RATE" "$(reg BW_RATE)" $(printf 0x%02X $RATE_3HZ)
expect "INT_ENABLE" "$(reg INT_ENABLE)" 0x02
expect "switches" "$(cat /dev/SW)" "2A5"
expect "pushbuttons pressed before the save" "$(cat /dev/KEY)" "5"
expect_match "a fresh record at the tilt" "$(field_mg "$(cat /dev/accel)" 4)" "^7[0-2][0-9]$"
expect_no_kernel_trouble
finish
GUEST

state=$work/state
"$run" --no-build --build "$build" --kernel "$series" --timeout 300 --qmp "$sock" \
	--state "$state" --script "$work/guest.sh" >"$work/before" 2>&1 &
pid=$!
wait_board "the guest's cue" --line regs "DEVID 0x3C" --stop || { cat "$work/before"; exit 1; }
save_board "$state"

"$run" --no-build --build "$build" --kernel "$series" --timeout 300 --qmp "$sock" \
	--state "$state" --script "$work/guest.sh" >"$work/after" 2>&1 &
pid=$!
# Stopped when saved, so stopped when restored, until continued.
wait_board "the restored machine" --status paused
qmp cont >/dev/null
status=0
wait "$pid" || status=$?
pid=
echo "--- before the save"
cat "$work/before"
echo "--- after the restore"
cat "$work/after"
[ "$status" -eq 0 ] || problem "guest script exit status $status"
exit "$fail"
