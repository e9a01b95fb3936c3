# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=bash
# shellcheck disable=SC2154 # the variables vboard/run sets, listed below
# shellcheck disable=SC2034 # the variables this sets for vboard/run
# The FPGA fabric for vboard/run, sourced by it once its options stand
# (fabric_sources, fabric_top, fabric_base, fabric_clock, fabric_ports, icount,
# smp, append, here, die): compiles the designs (vboard/fabric/build.sh),
# checks where they go, makes the guest's time come from its instructions,
# and sets
#   fabric_args  the machine's options for QEMU (-M fabric=LIBRARY,...)
#   fabric_key   what of the fabric shapes the machine: each design's hash,
#                its top, base and clock; empty without a fabric
#   append       with vboard_fabric=1, when there is a design of one's own,
#                for the guest's /init, which then loads its UIO driver
# A design is compiled even with --no-build: it is the one under test.

fabric_args=() fabric_key=''
if [ ${#fabric_sources[@]} -eq 0 ]; then
	[ -z "$fabric_top$fabric_base$fabric_clock" ] ||
		die "--fabric-top, --fabric-base and --fabric-clock go with --fabric FILE.v"
fi
case $fabric_ports in
model | rtl) ;;
*) die "--fabric-ports takes model or rtl" ;;
esac

# The bridge window and the board's ports in it (vboard/qemu/vboard.h).
FABRIC_WINDOW=0xFF200000 FABRIC_WINDOW_END=0xFF400000 FABRIC_PORTS_SPAN=0x5000

# Escapes a value for a QEMU option list: commas doubled.
fabric_qemu_value() {
	printf '%s' "${1//,/,,}"
}

# A number of $1 in decimal or 0x-hexadecimal, printed in decimal.
fabric_number() {
	[[ $2 =~ ^(0[xX][0-9a-fA-F]{1,8}|[0-9]{1,10})$ ]] || die "$1 takes a number, not '$2'"
	echo $(($2))
}

# Builds a design; prints the folder holding its library and info.
fabric_build() {
	"$here/fabric/build.sh" "$@" || {
		echo "vboard/run: the fabric's design did not build (above)" >&2
		exit 1
	}
}

fabric_info() {
	sed -n "s/^$2=//p" "$1/info"
}

if [ "$fabric_ports" = rtl ] || [ ${#fabric_sources[@]} -gt 0 ]; then
	[ "$smp" = 1 ] ||
		die "a fabric takes one processor: the guest's time comes from its instructions (--icount)"
	# A design costs host time for every cycle: with the guest's time from
	# its instructions the board runs slower, but never starves.
	icount=1
	fabric_clock=$(fabric_number --fabric-clock "${fabric_clock:-50000000}")
	if [ "$fabric_clock" -lt 1 ] || [ "$fabric_clock" -gt 1000000000 ]; then
		die "--fabric-clock takes 1 to 1000000000 Hz"
	fi
	fabric_machine="fabric-clock=$fabric_clock"
	fabric_key="clock=$fabric_clock"
fi

fabric_ports_end=$((FABRIC_WINDOW + FABRIC_PORTS_SPAN))
if [ "$fabric_ports" = rtl ]; then
	dir=$(fabric_build "$here/fabric/rtl/panel_ports.v")
	span=$((1 << $(fabric_info "$dir" addr_bits)))
	[ $((FABRIC_WINDOW + span)) -le "$fabric_ports_end" ] ||
		fabric_ports_end=$((FABRIC_WINDOW + span))
	fabric_machine="$fabric_machine,fabric-ports=$(fabric_qemu_value "$dir/libfabric.so")"
	fabric_key="$fabric_key ports=$(fabric_info "$dir" id)"
fi

if [ ${#fabric_sources[@]} -gt 0 ]; then
	fabric_base=$(fabric_number --fabric-base "${fabric_base:-0xFF210000}")
	dir=$(fabric_build ${fabric_top:+--top "$fabric_top"} "${fabric_sources[@]}")
	top=$(fabric_info "$dir" top)
	span=$((1 << $(fabric_info "$dir" addr_bits)))
	where=$(printf '0x%X to 0x%X' "$fabric_base" $((fabric_base + span - 1)))
	if [ "$fabric_base" -lt $((FABRIC_WINDOW)) ] ||
		[ $((fabric_base + span)) -gt $((FABRIC_WINDOW_END)) ]; then
		die "the design $top spans $where, outside the bridge window" \
			"$(printf '0x%X to 0x%X' $((FABRIC_WINDOW)) $((FABRIC_WINDOW_END - 1)))" \
			"(--fabric-base)"
	fi
	[ $((fabric_base % span)) -eq 0 ] ||
		die "the design $top spans $(printf 0x%X "$span") bytes: --fabric-base" \
			"must be a multiple of that"
	[ "$fabric_base" -ge "$fabric_ports_end" ] ||
		die "the design $top at $where overlaps the board's ports at" \
			"$(printf '0x%X to 0x%X' $((FABRIC_WINDOW)) $((fabric_ports_end - 1)))" \
			"(--fabric-base)"
	unconnected=$(fabric_info "$dir" unconnected)
	[ -z "$unconnected" ] ||
		echo "fabric: $top: ports left alone (inputs tied to 0, outputs unread): $unconnected" >&2
	fabric_machine="$fabric_machine,fabric=$(fabric_qemu_value "$dir/libfabric.so"),fabric-base=$fabric_base"
	append="${append:+$append }vboard_fabric=1"
	fabric_key="$fabric_key design=$(fabric_info "$dir" id) base=$fabric_base"
fi
[ -z "$fabric_key" ] || fabric_args=(-M "$fabric_machine")
