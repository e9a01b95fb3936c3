#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The host moves the running board: while a guest script waits for them to
# show through the drivers, the host presses a button and tilts the board
# with scripts/board; what the board cannot take is refused with a message
# and changes nothing; a board that has stopped is reported as such. (The
# machine's typed properties are machine.py's, without a guest.)
# usage: host_board.sh RUN BOARD BUILD_DIR SERIES
set -eu
run=$1 board=$2 build=$3 series=$4
# shellcheck source=vboard/tests/host_lib.sh
. "$(dirname "$0")/host_lib.sh"

cat >"$work/guest.sh" <<'GUEST'
. /lib/vboard/testlib.sh
insmod /modules/panelio.ko
expect "no button pressed before the host's" "$(cat /dev/KEY)" 0
# The driver's load starts the sensor measuring: the host's cue.
insmod /modules/accel.ko
keys=0 rec= i=0
while [ $i -lt 300 ]; do
	keys=$((keys | 0x$(cat /dev/KEY)))
	rec=$(cat /dev/accel)
	[ $keys -ne 0 ] && [ "$(field_mg "$rec" 3)" -lt -900 ] && break
	sleep 0.1
	i=$((i + 1))
done
expect "the host pressed button 2" "$keys" 4
expect_match "the host tilted the board onto -Y" "$(field_mg "$rec" 3)" '^-(9[0-9]{2}|10[0-9]{2})$'
expect "a refused switch setting changed nothing" "$(cat /dev/SW)" "000"
finish
GUEST

start_board 120
wait_board "the guest's loading accel" --line regs 'POWER_CTL 0x08'

# Refused: out of range, malformed; each with the machine's reason.
for bad in "tilt 0 0 20000" "switches 1000" "press x"; do
	# shellcheck disable=SC2086 # a command line, word by word
	if "$board" --socket "$sock" $bad 2>"$work/err"; then
		problem "board $bad accepted"
	else
		grep -q "^board: ${bad%% *}: " "$work/err" || problem "board $bad: '$(cat "$work/err")'"
	fi
done
"$board" --socket "$sock" press 4 || problem "board press 4"
"$board" --socket "$sock" tilt 0 -1000 0 || problem "board tilt 0 -1000 0"
"$board" --socket "$sock" tilt 0 -1000 2>/dev/null && problem "a tilt of two axes accepted"

status=0
wait "$pid" || status=$?
pid=
cat "$work/out"
[ "$status" -eq 0 ] || problem "guest script exit status $status"

if "$board" --socket "$sock" tap 2>"$work/err"; then
	problem "board tap with no board running"
else
	grep -q "no virtual board is running" "$work/err" || problem "no board: '$(cat "$work/err")'"
fi
exit "$fail"
