# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# The board tool and the machine's control page: what a person does to the
# board, and refusals of what the board cannot take.
# shellcheck source=vboard/guest/tests/lib.sh
. /lib/vboard/testlib.sh

names=$(board regs | cut -d' ' -f1 | tr '\n' ' ')
expect "board regs: registers in order" "$names" \
	"DEVID THRESH_TAP OFSX OFSY OFSZ DUR Latent Window TAP_AXES BW_RATE POWER_CTL INT_ENABLE DATA_FORMAT "
expect "board regs: every line NAME 0xHH" "$(board regs | grep -cvE '^[A-Za-z_]+ 0x[0-9A-F]{2}$')" 0
expect "power-on DEVID" "$(board regs | grep '^DEVID ')" "DEVID 0xE5"
expect "power-on BW_RATE" "$(board regs | grep '^BW_RATE ')" "BW_RATE 0x0A"

help=$(board help)
for cmd in "tilt X Y Z" "bias X Y Z" "noise MG" "tap" "doubletap" "press MASK" \
	"switches VALUE" "sensor off|on" "devid VALUE" "reset sensor" "reset board" "regs"; do
	expect_match "board help lists $cmd" "$help" "^  board $cmd( |\$)"
done

board devid 3c
expect "devid written" "$(board regs | grep '^DEVID ')" "DEVID 0x3C"
board devid E5

for bad in "tilt 1 2" "tilt 1 2 x" "noise -1" "press 10" "switches 1000" \
	"devid 100" "sensor maybe" "jump" "tap 1"; do
	# shellcheck disable=SC2086 # a command line, word by word
	if board $bad 2>/dev/null; then fail "board $bad accepted"; else pass; fi
done
expect "refusal leaves DEVID" "$(board regs | grep '^DEVID ')" "DEVID 0xE5"
# Ranges are the machine's: the tool checks only the form of the words.
for bad in "tilt 16001 0 0" "bias 0 -16001 0" "noise 16001" "press -1"; do
	# shellcheck disable=SC2086 # a command line, word by word
	if board $bad 2>/dev/null; then fail "board $bad accepted"; else pass; fi
done
check "the widest tilt" board tilt -16000 0 16000
board devid 3c
board reset sensor
expect "reset sensor: the fitted part stays" "$(board regs | grep '^DEVID ')" "DEVID 0x3C"
expect "reset sensor: power-on BW_RATE" "$(board regs | grep '^BW_RATE ')" "BW_RATE 0x0A"
board devid e5

# Whatever the board tool takes, the device takes in one write.
for ok in "tilt -500 0 866" "bias 10 -20 30" "noise 0" "tap" "doubletap" "press f" \
	"switches fff" "sensor off" "sensor on"; do
	# shellcheck disable=SC2086 # a command line, word by word
	check "board $ok" board $ok
done

expect_no_kernel_trouble
finish
