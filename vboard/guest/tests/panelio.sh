# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# panelio on the virtual board: pushbuttons and switches of the board model
# through /dev/KEY and /dev/SW, the one-shot read protocol, unload refused
# while a node is open, and board state across a reload; the same ports
# through /dev/mem beside the driver.
# shellcheck source=vboard/guest/tests/lib.sh
. /lib/vboard/testlib.sh

check "insmod panelio" insmod /modules/panelio.ko
check "/dev/KEY" test -c /dev/KEY
check "/dev/SW" test -c /dev/SW
log=$(dmesg -r)
expect_match "KEY added, level 6" "$log" '^<6>\[[ 0-9.]+\] KEY driver added$'
expect_match "SW added, level 6" "$log" '^<6>\[[ 0-9.]+\] SW driver added$'

expect "no button pressed yet" "$(cat /dev/KEY)" "0"
board press 5
expect "buttons 0 and 2" "$(cat /dev/KEY)" "5"
expect "reading cleared them" "$(cat /dev/KEY)" "0"
board press 1
board press 8
expect "presses add up until read" "$(cat /dev/KEY)" "9"

# A program of one's own maps the ports at the board's addresses (names of
# models/panel_ports_regs.h); the driver maps them without claiming them.
PORTS_BASE=0xFF200000 PORTS_SWITCH_DATA=0x40 PORTS_KEY_EDGE=0x5C
port() {
	devmem $((PORTS_BASE + $1)) 32 ${2+"$2"}
}
board switches 5a3
expect "devmem: switches" "$(port $PORTS_SWITCH_DATA)" "0x000005A3"
board press 6
expect "devmem: edge capture" "$(port $PORTS_KEY_EDGE)" "0x00000006"
port $PORTS_KEY_EDGE 2
expect "devmem: writing 1 clears that edge" "$(port $PORTS_KEY_EDGE)" "0x00000004"
expect "the driver finds the edge left" "$(cat /dev/KEY)" "4"
expect "and clears it" "$(port $PORTS_KEY_EDGE)" "0x00000000"

board switches 2a5
expect "switches" "$(cat /dev/SW)" "2A5"
board switches 0
expect "switches all off" "$(cat /dev/SW)" "000"
board switches fff
expect "switches all on" "$(cat /dev/SW)" "FFF"

# One record, then end of file, then a fresh record: in one open file.
expect "SW record bytes" "$(od -An -c /dev/SW | tr -s ' ')" " F F F \\n"
expect "two reads of one open file" \
	"$(sh -c 'exec 3</dev/SW; head -c 4 <&3; head -c 4 <&3; head -c 4 <&3' | od -An -c | tr -s ' ')" \
	" F F F \\n F F F \\n"
expect "dd of SW, one block" "$(dd if=/dev/SW bs=64 count=1 2>/dev/null)" "FFF"

# Once a record is begun, every later read of the descriptor continues it,
# whatever its size, up to one end of file; the press is reported once.
board press 4
out=$(timeout 1 sh -c 'exec 3</dev/KEY; dd bs=1 count=1 <&3 2>/dev/null; cat <&3')
expect "KEY: dd bs=1, then cat: ended by itself" $? 0
expect "KEY: dd bs=1, then cat: one record" "$out" "4"
expect "KEY: the press reported once" "$(cat /dev/KEY)" "0"
# shellcheck disable=SC2016 # expanded by the inner shell
out=$(timeout 1 sh -c 'exec 3</dev/SW; IFS= read -r sw <&3; echo "$sw"; cat <&3')
expect "SW: the read builtin, then cat: ended by itself" $? 0
expect "SW: the read builtin, then cat: one record" "$out" "FFF"

exec 3</dev/SW
if rmmod panelio 2>/dev/null; then fail "rmmod with /dev/SW open"; else pass; fi
exec 3<&-
check "rmmod panelio" rmmod panelio
check "/dev/SW gone" test ! -e /dev/SW

# The ports keep their state without a driver; loading discards old presses.
board press 2
check "insmod panelio again" insmod /modules/panelio.ko
expect "switches survive the reload" "$(cat /dev/SW)" "FFF"
expect "presses before the load discarded" "$(cat /dev/KEY)" "0"
check "rmmod panelio" rmmod panelio

expect_no_kernel_trouble
finish
