# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# panelio on the virtual board: pushbuttons and switches of the board model
# through /dev/KEY and /dev/SW, the one-shot read protocol, unload refused
# while a node is open, and board state across a reload; the same ports
# through /dev/mem beside the driver. Two checks, key and sw, each loading
# panelio from VBOARD_MODULES (lib.sh).
# shellcheck source=vboard/guest/tests/lib.sh
. /lib/vboard/testlib.sh

# A program of one's own maps the ports at the board's addresses (names of
# models/panel_ports_regs.h); the driver maps them without claiming them.
PORTS_BASE=0xFF200000 PORTS_SWITCH_DATA=0x40 PORTS_KEY_EDGE=0x5C
port() {
	devmem $((PORTS_BASE + $1)) 32 ${2+"$2"}
}

# usage: load_panelio NODE   loads the module; false, for the check to end,
# when it does not load or NODE does not come with it.
load_panelio() {
	klog_mark
	load_module panelio || return
	check "$1 comes with the load" test -c "$1" || return
	expect "${1#/dev/} added, level 6" "$(klog_new | grep "${1#/dev/} driver")" \
		"<6>${1#/dev/} driver added"
}

# usage: unload_after_close NODE   panelio refuses to unload while NODE is
# open, unloads once it is closed, and takes NODE with it.
unload_after_close() {
	exec 3<"$1"
	if rmmod panelio 2>/dev/null; then fail "rmmod with $1 open"; else pass; fi
	exec 3<&-
	check "rmmod panelio" rmmod panelio
	check "$1 gone" test ! -e "$1"
}

key_check() {
	load_panelio /dev/KEY || return
	expect "no button pressed yet" "$(read_node /dev/KEY)" "0"
	board press 5
	expect "buttons 0 and 2" "$(read_node /dev/KEY)" "5"
	expect "reading cleared them" "$(read_node /dev/KEY)" "0"
	board press 1
	board press 8
	expect "presses add up until read" "$(read_node /dev/KEY)" "9"

	board press 6
	expect "devmem: edge capture" "$(port $PORTS_KEY_EDGE)" "0x00000006"
	port $PORTS_KEY_EDGE 2
	expect "devmem: writing 1 clears that edge" "$(port $PORTS_KEY_EDGE)" "0x00000004"
	expect "the driver finds the edge left" "$(read_node /dev/KEY)" "4"
	expect "and clears it" "$(port $PORTS_KEY_EDGE)" "0x00000000"

	# Once a record is begun, every later read of the descriptor continues
	# it, whatever its size, up to one end of file; the press is reported
	# once. (The last program is exec'd, and dd has a timeout of its own:
	# what timeout stops is all that reads.)
	board press 4
	out=$(timeout 10 sh -c 'exec 3</dev/KEY
		timeout 10 dd bs=1 count=1 <&3 3<&- 2>/dev/null; exec cat <&3')
	expect "KEY: dd bs=1, then cat: ended by itself" $? 0
	expect "KEY: dd bs=1, then cat: one record" "$out" "4"
	expect "KEY: the press reported once" "$(read_node /dev/KEY)" "0"

	unload_after_close /dev/KEY

	# The ports keep their presses without a driver; loading discards them.
	board press 2
	load_panelio /dev/KEY || return
	expect "presses before the load discarded" "$(read_node /dev/KEY)" "0"
	check "rmmod panelio" rmmod panelio
}

sw_check() {
	load_panelio /dev/SW || return
	board switches 5a3
	expect "devmem: switches" "$(port $PORTS_SWITCH_DATA)" "0x000005A3"
	board switches 2a5
	expect "switches" "$(read_node /dev/SW)" "2A5"
	board switches 0
	expect "switches all off" "$(read_node /dev/SW)" "000"
	board switches fff
	expect "switches all on" "$(read_node /dev/SW)" "FFF"

	# One record, then end of file, then a fresh record: in one open file.
	expect "SW record bytes" "$(bounded 10 od -An -c /dev/SW | tr -s ' ')" " F F F \\n"
	exec 3</dev/SW
	reads=$(for _ in 1 2 3; do bounded 10 head -c 4 <&3 3<&-; done | od -An -c | tr -s ' ')
	exec 3<&-
	expect "two reads of one open file" "$reads" " F F F \\n F F F \\n"
	expect "dd of SW, one block" "$(bounded 10 dd if=/dev/SW bs=64 count=1 2>/dev/null)" "FFF"

	# Once a record is begun, every later read of the descriptor continues
	# it, whatever its size, up to one end of file.
	# shellcheck disable=SC2016 # expanded by the inner shell
	out=$(timeout 10 sh -c 'exec 3</dev/SW; IFS= read -r sw <&3; echo "$sw"; exec cat <&3')
	expect "SW: the read builtin, then cat: ended by itself" $? 0
	expect "SW: the read builtin, then cat: one record" "$out" "FFF"

	unload_after_close /dev/SW

	# The ports keep their state without a driver.
	load_panelio /dev/SW || return
	expect "switches survive the reload" "$(read_node /dev/SW)" "FFF"
	check "rmmod panelio" rmmod panelio
}

run_check key key_check
run_check sw sw_check
finish
