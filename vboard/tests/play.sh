#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Recorded motion played into the sensor, as the guest's driver reads it: the
# sensor samples at 100 Hz and a reader in the guest takes every sample
# through /dev/accel (guest time from the instructions executed, so that
# nothing is missed), while the host plays recordings with scripts/board.
#   1. A ramp of 250 rows, 10 ms apart: every sample read is the next row,
#      within the sensor's quantisation, across a save of the board in the
#      middle and its restore (the position stands still while saved), and
#      the last row holds at the end. A bad recording played meanwhile is
#      refused with its name and line, and the ramp plays on.
#   2. A phone app's file (time in seconds, m/s^2) looping: its three rows
#      again and again, in order.
#   3. Stopped: the last row played holds.
#   4. Looping again, then a tilt by hand: the tilt, and playback stopped.
# usage: play.sh RUN BOARD BUILD_DIR SERIES
set -eu
run=$1 board=$2 build=$3 series=$4
# shellcheck source=vboard/tests/host_lib.sh
. "$(dirname "$0")/host_lib.sh"

cat >"$work/guest.sh" <<'GUEST'
. /lib/vboard/testlib.sh
I2C=0xFFC04000 IC_DATA_CMD=0x10 SWITCHES=0xFF200040
sensor_write() {
	devmem $((I2C + IC_DATA_CMD)) 32 $((0x400 | $1))
	devmem $((I2C + IC_DATA_CMD)) 32 $(($2))
}
# usage: phase N SECONDS: phase N is ready (DEVID 0x3N for the host); at the
# host's go (the switches at N) every new sample the driver returns, for
# SECONDS of the guest's clock. The guest waits busily: its clock then
# moves with its instructions, not at once as it would idle, so that the
# host's moves come early in the guest's time.
phase() {
	board devid "3$1"
	until [ $(($(devmem $SWITCHES) & 0xFFF)) -eq "$1" ]; do :; done
	echo "phase $1"
	panelfeed watch "$2" | grep '^R [0-9]* 1 '
}
insmod /modules/accel.ko
echo format 1 16 > /dev/accel
# 100 Hz, set by hand: the driver offers 25 Hz at most.
sensor_write 0x2C 0x0A
phase 1 3
phase 2 1
phase 3 0.5
phase 4 0.5
expect_no_kernel_trouble
finish
GUEST

# The ramp: row k at 10 k ms, each axis a new count at full resolution.
awk 'BEGIN {
	print "# a ramp on every axis, a row every 10 ms"
	print "t_ms,x_mg,y_mg,z_mg"
	for (k = 0; k < 250; k++)
		printf "%d,%d,%d,%d\n", 10 * k, -2000 + 8 * k, 1500 - 6 * k, 1000 + 3 * (k % 10)
}' >"$work/ramp.csv"
printf 't_ms,x_mg,y_mg,z_mg\n0,0,0,1000\n0,0,0,1000\n' >"$work/bad.csv"
# As a phone app logs it: seconds from its own start, m/s^2, other columns.
cat >"$work/phone.csv" <<'EOF'
"time","seconds_elapsed","ax","ay","az"
1712.000,0.000,0,0,9.80665
1712.010,0.010,4.903325,0,8.492669
1712.020,0.020,0,-4.903325,8.492669
EOF
phone="--columns time,ax,ay,az --units mps2"

state=$work/state
# usage: start_play OUTPUT: the board, booted or restored from $state; its
# output apart from what vboard/run says, so that a line the save cut in two
# is whole again in the two outputs joined.
start_play() {
	"$run" --no-build --build "$build" --kernel "$series" --timeout 600 --icount \
		--qmp "$sock" --state "$state" --script "$work/guest.sh" >"$work/$1" 2>"$work/$1.err" &
	pid=$!
}
ready() {
	wait_board "the guest's phase $1" --line regs "DEVID 0x3$1"
}
go() {
	"$board" --socket "$sock" switches "$1"
}
expect_prop() {
	[ "$(prop "$1")" = "$2" ] || problem "$3: $1 is $(prop "$1"), not $2"
}

start_play before
ready 1 || { cat "$work/before"; exit 1; }
"$board" --socket "$sock" play "$work/ramp.csv"
expect_prop play "[\"$work/ramp.csv\"]" "playing the ramp"
if "$board" --socket "$sock" play "$work/bad.csv" 2>"$work/err"; then
	problem "a recording whose time does not increase played"
fi
grep -qx "board: play: $work/bad.csv:3: time 0 does not increase (line 2)" "$work/err" ||
	problem "the refusal of a bad recording: $(cat "$work/err")"
expect_prop play "[\"$work/ramp.csv\"]" "after a bad recording"
# Guest time runs ahead of the host's while the guest idles between samples:
# the host starts looking as it gives the go.
saved_at=$(qmp_wait --command "switches 1" --at-least play-position 300 --stop \
	--print play-position) ||
	{ problem "the ramp's first 300 ms: never"; cat "$work/before"; exit 1; }
save_board "$state"
[ "$saved_at" -lt 2000 ] || problem "saved too late in the ramp to tell ($saved_at ms)"

start_play after
wait_board "the restored machine" --status paused
expect_prop play-position "$saved_at" "restored"
expect_prop playing true "restored"
qmp cont >/dev/null
ready 2
expect_prop playing false "the ramp at its end"
expect_prop tilt "[-8, 6, 1027]" "the ramp's last row"

# shellcheck disable=SC2086 # the options, word by word
"$board" --socket "$sock" play "$work/phone.csv" --loop $phone
expect_prop play-length 30 "the phone's recording"
go 2
ready 3
"$board" --socket "$sock" play stop
expect_prop playing false "stopped"
go 3
ready 4
# shellcheck disable=SC2086 # the options' words
"$board" --socket "$sock" play "$work/phone.csv" --loop $phone
"$board" --socket "$sock" tilt 0 -1000 0
expect_prop playing false "tilted by hand"
expect_prop play "[]" "tilted by hand"
go 4

status=0
wait "$pid" || status=$?
pid=
cat "$work/before" "$work/after" >"$work/out"
[ "$status" -eq 0 ] || problem "guest script exit status $status"

# The samples, phase by phase, against the recordings, in counts at full
# resolution (256 per g, rounded to nearest: no value here is a half).
awk -v saved_at="$saved_at" '
function count(mg) { return mg < 0 ? -int(-mg * 0.256 + 0.5) : int(mg * 0.256 + 0.5) }
function bad(what) { print "FAIL: phase " phase ", sample " n ": " what; failed = 1 }
FILENAME != "-" && FNR > 2 {
	split($0, f, ",")
	row[count(f[2]) " " count(f[3]) " " count(f[4])] = FNR - 3
	next
}
/^phase / { phase = $2; n = 0; next }
/^R / && phase {
	n++
	xyz = ($9 + 0) " " ($10 + 0) " " ($11 + 0)
	# INT_SOURCE in hex: an odd one has OVERRUN, a sample never read.
	if (n > 1 && index("13579BDF", substr($8, length($8), 1)))
		bad("an overrun: a sample missed (" $0 ")")
	if (phase == 1) {
		if (!(xyz in row)) { bad("not a row of the ramp: " xyz); next }
		k = row[xyz]
		if (n > 1 && k != last + 1 && !(k == 249 && last == 249))
			bad("row " k " after row " last)
		if (n == 1) first = k
		last = k
		ramp++
	} else if (phase == 2) {
		i = xyz == "0 0 256" ? 0 : xyz == "128 0 222" ? 1 : xyz == "0 -128 222" ? 2 : -1
		if (i < 0) bad("not a row of the phone recording: " xyz)
		else if (n > 1 && i != (prev + 1) % 3) bad("row " i " after row " prev)
		prev = i
		loop++
	} else if (phase == 3) {
		if (n == 1) held = xyz
		else if (xyz != held) bad("stopped, yet " xyz " after " held)
		if (held != "0 0 256" && held != "128 0 222" && held != "0 -128 222")
			bad("held " held ", not a row played")
	} else if (phase == 4 && n > 1 && xyz != "0 -256 0") {
		bad("tilted by hand, yet " xyz)
	}
}
END {
	if (last != 249 || ramp < 250 - first + 10)
		bad("the ramp from row " first " to " last " in " ramp " samples, not to its end")
	if (loop < 60) bad(loop " samples of the looping recording")
	printf "ramp rows %d to %d in %d samples (saved at %d ms), %d looping\n",
		first, last, ramp, saved_at, loop
	exit failed
}' "$work/ramp.csv" - <"$work/out" || problem "the samples the driver read"

[ "$fail" -eq 0 ] && exit 0
echo "--- before the save"
cat "$work/before" "$work/before.err"
echo "--- after the restore"
cat "$work/after" "$work/after.err"
exit "$fail"
