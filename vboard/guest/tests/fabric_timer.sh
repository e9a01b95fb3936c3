# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# The fabric's example timer (examples/fabric/timer.v, booted with
# vboard/run --fabric): its registers at the fabric's base, byte stores as
# write strobes, SLVERR and DECERR as bus errors, the board's pushbuttons
# and switches as its inputs, and its interrupt served through /dev/uio0 by
# the example's program, at the period programmed, in the guest's time.
# Kernels without UIO (3.18) have no /dev/uio0; the rest holds there too.
# shellcheck source=vboard/guest/tests/lib.sh
. /lib/vboard/testlib.sh

# Names of examples/fabric/timer_regs.h.
FABRIC_BASE=0xFF210000 TIMER_SPAN=0x1000
TIMER_CTRL=0x00 TIMER_PERIOD=0x04 TIMER_COUNT=0x08 TIMER_STATUS=0x0C TIMER_PERIODS=0x10
TIMER_LEDR=0x14 TIMER_HEX_LO=0x18 TIMER_HEX_HI=0x1C TIMER_INPUTS=0x20
TIMER_RUN=0x1 TIMER_EXPIRED=0x1 TIMER_KEY_SHIFT=16
reg() {
	devmem $((FABRIC_BASE + $1)) 32 ${2+"$2"}
}
hex() {
	printf '0x%08X' $(($1))
}
# A store or a load that faults: its shell says so, and the status is
# SIGBUS's.
bus_error() {
	sh -c 'memaccess "$@"; exit $?' sh $((FABRIC_BASE + $1)) 32 ${2+"$2"} >/dev/null 2>&1
	[ $? -eq 135 ]
}

expect "no driver bound but fabric_uio" "$(cut -d' ' -f1 /proc/modules | grep -v '^uio$' | tr '\n' ' ')" \
	"$([ -e /modules/fabric_uio.ko ] && echo 'fabric_uio ')"

reg $TIMER_PERIOD 0x12345678
expect "PERIOD reads back" "$(reg $TIMER_PERIOD)" 0x12345678
reg $TIMER_LEDR 0xFFFF
expect "LEDR keeps ten bits" "$(reg $TIMER_LEDR)" 0x000003FF
expect "the digits dark after reset" "$(reg $TIMER_HEX_LO) $(reg $TIMER_HEX_HI)" \
	"0x7F7F7F7F 0x00007F7F"
memaccess $((FABRIC_BASE + TIMER_HEX_LO + 1)) 8 0x40
expect "a byte store changes its byte alone" "$(reg $TIMER_HEX_LO)" 0x7F7F407F
memaccess $((FABRIC_BASE + TIMER_HEX_LO + 2)) 16 0x2479
expect "a halfword store its two bytes" "$(reg $TIMER_HEX_LO)" 0x2479407F
expect "a byte load reads its byte" "$(memaccess $((FABRIC_BASE + TIMER_HEX_LO + 3)) 8)" 0x00000024

check "a store to COUNT (SLVERR) is a bus error" bus_error $TIMER_COUNT 1
check "a load beyond the registers (DECERR) is a bus error" bus_error 0x100
check "the design answers after the errors" [ "$(reg $TIMER_PERIOD)" = 0x12345678 ]

board switches 2a5
board hold 9
expect "switches and pushbuttons held reach the design" "$(reg $TIMER_INPUTS)" \
	"$(hex $(((0x9 << TIMER_KEY_SHIFT) | 0x2A5)))"
board hold 0
board switches 0

# The count runs with the guest's time: 1 ms periods over a tenth of a
# second of it, by /proc/uptime (10 ms steps).
reg $TIMER_PERIOD 50000
reg $TIMER_CTRL $TIMER_RUN
read -r up0 _ </proc/uptime
sleep 0.1
read -r up1 _ </proc/uptime
periods=$(($(reg $TIMER_PERIODS)))
reg $TIMER_CTRL 0
elapsed_ms=$(echo "$up0 $up1" | awk '{ printf "%d", ($2 - $1) * 1000 + 0.5 }')
off=$((periods - elapsed_ms))
check "periods ($periods) follow the guest's time ($elapsed_ms ms)" [ $off -ge -20 -a $off -le 20 ]
reg $TIMER_STATUS $TIMER_EXPIRED
expect "EXPIRED cleared by writing 1" "$(reg $TIMER_STATUS)" 0x00000000

if [ -e /modules/fabric_uio.ko ]; then
	expect "the UIO device" "$(cat /sys/class/uio/uio0/name)" fabric
	expect "maps the design's span" \
		"$(cat /sys/class/uio/uio0/maps/map0/addr) $(cat /sys/class/uio/uio0/maps/map0/size)" \
		"$(printf '0x%x 0x%08x' $FABRIC_BASE $TIMER_SPAN)"
	# 20 interrupts at 1 ms (50000 cycles at 50 MHz): 20 ms of the
	# guest's time, give or take the interrupt's latency.
	out=$(fabtimer 50000 20)
	expect_match "fabtimer served 20 interrupts" "$out" \
		'^served 20 interrupts in [0-9]+ us \(UIO count 20, timer periods 2[01]\)$'
	us=$(echo "$out" | awk '{ print $5 }')
	check "in 20 ms of the guest's time ($us us)" [ "$us" -ge 19900 -a "$us" -le 20500 ]
	expect "the line counted them" "$(awk '/fabric/ { print $2 }' /proc/interrupts)" 20
	expect "the LEDs show 20" "$(reg $TIMER_LEDR)" 0x00000014
	expect "the digits 000020" "$(reg $TIMER_HEX_LO) $(reg $TIMER_HEX_HI)" \
		"0x40402440 0x00004040"
	check "rmmod fabric_uio" rmmod fabric_uio
	check "/dev/uio0 gone" test ! -e /dev/uio0
else
	check "no UIO on $VBOARD_SERIES" test ! -e /dev/uio0
fi
expect_no_kernel_trouble
finish
