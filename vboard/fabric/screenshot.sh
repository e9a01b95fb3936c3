#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The screenshot of docs/fabric.md: gtkwave on a trace of the example timer,
# around its first interrupt (the guest sets a period of 200 cycles and
# RUN|IRQ_EN, and clears EXPIRED). Needs a built tree, Debian's gtkwave,
# xvfb, x11-apps (xwd) and netpbm, which only this script uses.
# usage: vboard/fabric/screenshot.sh [OUT.png]   (default docs/fabric-trace.png)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-$root/docs/fabric-trace.png}
for tool in Xvfb xwd xwdtopnm pnmtopng gtkwave; do
	command -v "$tool" >/dev/null || {
		echo "screenshot: no $tool (apt install xvfb x11-apps netpbm gtkwave)" >&2
		exit 1
	}
done
work=$(mktemp -d)
xvfb='' gtkwave=''
trap 'kill $xvfb $gtkwave 2>/dev/null; rm -rf "$work"' EXIT
cat >"$work/guest.sh" <<'GUEST'
FABRIC_BASE=0xFF210000
devmem $((FABRIC_BASE + 0x04)) 32 200
devmem $((FABRIC_BASE + 0x00)) 32 3
sleep 0.001
devmem $((FABRIC_BASE + 0x0C)) 32 1
devmem $((FABRIC_BASE + 0x00)) 32 0
GUEST
"$root/vboard/run" --no-build --kernel 6.1 --fabric "$root/examples/fabric/timer.v" \
	--fabric-trace "$work/timer.fst" --script "$work/guest.sh" >/dev/null
# From 1 us before the store that starts the timer to 2 us after the
# interrupt it raises (the log's times in ns; the waves' in ps).
window=$(awk '/write 0x000 <- 0x00000003/ { start = $1 }
	start && $3 == "irq" && $4 == 1 { printf "%.0f %.0f", (start - 1000) * 1000, ($1 + 2000) * 1000; exit }' \
	"$work/timer.fst.log")
[ -n "$window" ] || {
	echo "screenshot: no interrupt in the trace" >&2
	exit 1
}
cat >"$work/view.tcl" <<TCL
gtkwave::addSignalsFromList {timer.clk timer.s_axi_awaddr timer.s_axi_awvalid timer.s_axi_wdata
	timer.s_axi_bvalid timer.run timer.irq_en timer.count[31:0] timer.expired timer.irq}
gtkwave::setZoomRangeTimes $window
TCL
# gtkwave on a display of its own, shot once it has drawn the waves.
Xvfb -displayfd 3 -screen 0 1010x390x24 3>"$work/display" 2>/dev/null &
xvfb=$!
i=0
until [ -s "$work/display" ] || [ $i -ge 100 ]; do
	sleep 0.1
	i=$((i + 1))
done
display=:$(cat "$work/display")
DISPLAY=$display gtkwave -S "$work/view.tcl" "$work/timer.fst" >"$work/gtkwave.log" 2>&1 &
gtkwave=$!
sleep 5
xwd -display "$display" -root -silent >"$work/screen.xwd"
xwdtopnm "$work/screen.xwd" 2>/dev/null | pnmtopng >"$out"
echo "$out"
