#!/bin/sh
# board: what a person does to the virtual board, from inside it: commands
# to the machine's control page (vboard/qemu/vboard.c), with devmem through
# /dev/mem. The machine checks every value and refuses what the board cannot
# take; this tool checks only the form of the words.

# Control page and its registers.
page=0x0B000000
CTL_ID=0x00 CTL_COMMAND=0x04 CTL_STATUS=0x08 CTL_ARG0=0x10 CTL_SENSOR=0x100
ID_VALUE=0x76626431
CMD_TILT=1 CMD_BIAS=2 CMD_NOISE=3 CMD_TAP=4 CMD_PRESS=5 CMD_SWITCHES=6
CMD_SENSOR=7 CMD_DEVID=8 CMD_RESET=9

help() {
	cat <<'EOF_HELP'
usage: board COMMAND
  board tilt X Y Z        acceleration per axis in milli-g (lying flat: 0 0 1000)
  board bias X Y Z        fixed sensor error per axis in milli-g
  board noise MG          noise amplitude in milli-g (0: none)
  board tap               a single tap
  board doubletap         a double tap
  board press MASK        press and release pushbuttons (hex, bits 0 to 3)
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

refused() {
	echo "board: '$cmdline' refused (see board help)" >&2
	exit 1
}

# usage: ctl OFFSET [VALUE]: read or write a control register.
ctl() {
	devmem $((page + $1)) 32 ${2+"$2"}
}

# Words of the right form: decimal (signed, up to 9 digits) and hexadecimal
# (up to 32 bits); and their values as 32-bit words.
is_dec() {
	case $1 in
	'' | - | *[!0-9-]* | ?*-* | ??????????*) return 1 ;;
	esac
}
is_hex() {
	case $1 in
	'' | *[!0-9a-fA-F]* | ?????????*) return 1 ;;
	esac
}
dec() {
	echo $((($1 + 4294967296) % 4294967296))
}
hex() {
	echo $((0x$1))
}

# usage: run COMMAND [ARG...]: the arguments, then the command; its status.
run() {
	cmd=$1
	shift
	offset=$CTL_ARG0
	for arg in "$@"; do
		ctl "$offset" "$arg"
		offset=$((offset + 4))
	done
	ctl "$CTL_COMMAND" "$cmd"
	[ $(($(ctl "$CTL_STATUS"))) -eq 0 ] || refused
}

regs() {
	for reg in DEVID:0x00 THRESH_TAP:0x1D OFSX:0x1E OFSY:0x1F OFSZ:0x20 DUR:0x21 \
		Latent:0x22 Window:0x23 TAP_AXES:0x2A BW_RATE:0x2C POWER_CTL:0x2D \
		INT_ENABLE:0x2E DATA_FORMAT:0x31; do
		printf '%s 0x%02X\n' "${reg%:*}" $(($(ctl $((CTL_SENSOR + 4 * ${reg#*:})))))
	done
}

[ $# -ge 1 ] || usage
cmdline=$*
case $1 in
help | -h | --help)
	help
	exit 0
	;;
tilt | bias) [ $# -eq 4 ] || usage ;;
noise | press | switches | sensor | devid | reset) [ $# -eq 2 ] || usage ;;
tap | doubletap | regs) [ $# -eq 1 ] || usage ;;
*) usage ;;
esac
case $1 in
tilt | bias | noise)
	shift
	for word in "$@"; do is_dec "$word" || refused; done
	set -- "${cmdline%% *}" "$@"
	;;
press | switches | devid) is_hex "$2" || refused ;;
esac

if [ $(($(ctl "$CTL_ID" 2>/dev/null || echo 0))) -ne $((ID_VALUE)) ]; then
	echo "board: no board control page at $page (not the virtual board?)" >&2
	exit 1
fi

case $1 in
regs) regs ;;
tilt) run $CMD_TILT "$(dec "$2")" "$(dec "$3")" "$(dec "$4")" ;;
bias) run $CMD_BIAS "$(dec "$2")" "$(dec "$3")" "$(dec "$4")" ;;
noise) run $CMD_NOISE "$(dec "$2")" ;;
tap) run $CMD_TAP 0 ;;
doubletap) run $CMD_TAP 1 ;;
press) run $CMD_PRESS "$(hex "$2")" ;;
switches) run $CMD_SWITCHES "$(hex "$2")" ;;
devid) run $CMD_DEVID "$(hex "$2")" ;;
sensor)
	case $2 in
	off) run $CMD_SENSOR 0 ;;
	on) run $CMD_SENSOR 1 ;;
	*) refused ;;
	esac
	;;
reset)
	case $2 in
	sensor) run $CMD_RESET 0 ;;
	board) run $CMD_RESET 1 ;;
	*) refused ;;
	esac
	;;
esac
