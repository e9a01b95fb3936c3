# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# A short tour of the virtual board, for when there is no terminal for a
# shell: each command is shown with its output. Exits non-zero if one failed.
failed=0
show() {
	echo "vboard# $*"
	sh -c "$*" || { failed=1; echo "(failed: $*)"; }
}

show insmod /modules/accel.ko
show insmod /modules/panelio.ko
show cat /dev/accel
show 'echo rate 25 > /dev/accel'
show 'dmesg | tail -n 1'
show board tilt 0 707 707
show 'sleep 0.1; cat /dev/accel'
show 'board press 5; cat /dev/KEY'
show 'board switches 2a5; cat /dev/SW'
show 'devmem 0xFF200040'
show 'board regs | grep -e BW_RATE -e DATA_FORMAT'
show 'echo | linefan | wc -c'
show rmmod accel panelio
exit "$failed"
