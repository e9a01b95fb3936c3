#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# board: what a person does to the virtual board, from inside it. The
# command line goes to the machine's control page (vboard/qemu/vboard.c)
# through /dev/mem with devmem, and the machine's parser takes or refuses it,
# the same one that takes the host's scripts/board commands: both tools take
# the same forms. regs and help are this tool's own.

# Control page and its registers.
page=0x0B000000
CTL_ID=0x00 CTL_COMMAND=0x04 CTL_STATUS=0x08 CTL_SENSOR=0x100 CTL_LINE=0x200
CTL_MESSAGE=0x300
ID_VALUE=0x76626432

help() {
	cat <<'EOF_HELP'
usage: board COMMAND
  board tilt X Y Z        acceleration per axis in milli-g (lying flat: 0 0 1000);
                          stops a recording playing (scripts/board play, on
                          the host, plays one)
  board bias X Y Z        fixed sensor error per axis in milli-g
  board noise MG          noise amplitude in milli-g (0: none)
  board tap               a single tap
  board doubletap         a double tap
  board press MASK        press and release pushbuttons (hex, bits 0 to 3)
  board hold MASK         hold pushbuttons down until the next hold (hex; 0: none)
  board switches VALUE    switch positions (hex, 12 switches)
  board sensor off|on     disconnect the sensor from the bus, or connect it
  board devid VALUE       the sensor's DEVID register (hex)
  board reset sensor      the sensor's supply off and on: power-on registers,
                          standby ('echo init > /dev/accel' brings it back)
  board reset board       the whole board, as its reset button: the guest reboots
  board regs              sensor registers, one "NAME 0xHH" per line
  board help              this list
EOF_HELP
}

usage() {
	help >&2
	exit 2
}

# usage: ctl OFFSET [VALUE]: read or write a control register.
ctl() {
	devmem $((page + $1)) 32 ${2+"$2"}
}

regs() {
	for reg in DEVID:0x00 THRESH_TAP:0x1D OFSX:0x1E OFSY:0x1F OFSZ:0x20 DUR:0x21 \
		Latent:0x22 Window:0x23 TAP_AXES:0x2A BW_RATE:0x2C POWER_CTL:0x2D \
		INT_ENABLE:0x2E DATA_FORMAT:0x31; do
		printf '%s 0x%02X\n' "${reg%:*}" $(($(ctl $((CTL_SENSOR + 4 * ${reg#*:})))))
	done
}

# The machine's reason for a refusal: NUL-terminated text, 4 bytes a word.
message() {
	offset=$((CTL_MESSAGE)) words=
	while [ $offset -lt $((CTL_MESSAGE + 0x100)) ]; do
		word=$(($(ctl $offset)))
		words="$words $word"
		for shift in 0 8 16 24; do
			[ $(((word >> shift) & 0xFF)) -eq 0 ] && break 2
		done
		offset=$((offset + 4))
	done
	echo "$words" | awk '{
		for (i = 1; i <= NF; i++)
			for (n = 0, b = $i; n < 4; n++, b = int(b / 256)) {
				if (b % 256 == 0)
					exit
				printf "%c", b % 256
			}
	}'
}

# usage: run LINE: the command line into the control page, then its length
# into the command register, which runs it.
run() {
	offset=$CTL_LINE
	# Little-endian words of the text, NUL-padded; at most the page's 64.
	for word in $({ printf '%s' "$1"; printf '\0\0\0'; } | od -An -v -tx4 | head -n 16); do
		ctl $offset "0x$word"
		offset=$((offset + 4))
	done
	ctl "$CTL_COMMAND" $(($(printf '%s' "$1" | wc -c)))
	if [ $(($(ctl "$CTL_STATUS"))) -ne 0 ]; then
		echo "board: $(message)" >&2
		exit 1
	fi
}

[ $# -ge 1 ] || usage
case $1 in
help | -h | --help)
	help
	exit 0
	;;
esac
if [ $(($(ctl "$CTL_ID" 2>/dev/null || echo 0))) -ne $((ID_VALUE)) ]; then
	echo "board: no board control page at $page (not the virtual board?)" >&2
	exit 1
fi
case $1 in
regs)
	[ $# -eq 1 ] || {
		echo "board: regs: takes no words" >&2
		exit 1
	}
	regs
	;;
*) run "$*" ;;
esac
