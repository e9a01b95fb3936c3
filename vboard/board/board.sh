#!/bin/sh
# board: what a person does to the virtual board, through the board model's
# control device.
dev=/dev/board

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
  board regs              sensor registers, one "NAME 0xHH" per line
  board help              this list
EOF_HELP
}

usage() {
	help >&2
	exit 2
}

[ $# -ge 1 ] || usage
case $1 in
help | -h | --help)
	help
	exit 0
	;;
regs)
	[ $# -eq 1 ] || usage
	exec cat "$dev"
	;;
tilt | bias) [ $# -eq 4 ] || usage ;;
noise | press | switches | sensor | devid) [ $# -eq 2 ] || usage ;;
tap | doubletap) [ $# -eq 1 ] || usage ;;
*) usage ;;
esac

# One write per command; the model refuses values it cannot take.
if ! (echo "$*" >"$dev") 2>/dev/null; then
	echo "board: '$*' refused (see board help)" >&2
	exit 1
fi
