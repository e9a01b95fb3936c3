#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# A design that does not build: vboard/fabric/build.sh and vboard/run
# --fabric stop before booting with Verilator's messages (file and line),
# or name the bus ports a top module lacks; nothing of a failed build is
# cached, and the same file, once mended, builds. Designs that cannot sit
# where they are asked to are refused by vboard/run with the reason, and by
# the machine itself in the same words, whoever starts it; the window those
# words give is the one the machine's bridge-base and bridge-size show.
# usage: build_errors.sh  (from anywhere; builds in a cache of its own that
# shares the project cache's compiler cache)
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build_sh=$top/vboard/fabric/build.sh run=$top/vboard/run
shared=${BOARDIO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/boardio}
# The board's QEMU, from the project's cache (./test builds it first).
qemu=$("$top/scripts/build-qemu.sh" --path)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/cache" "$shared/ccache"
ln -s "$shared/ccache" "$work/cache/ccache"
export BOARDIO_CACHE="$work/cache"
fail=0
problem() {
	echo "FAIL: $*"
	fail=1
}
# usage: refused DESCRIPTION STATUS PATTERN COMMAND...: COMMAND exits with
# STATUS and says PATTERN (extended regular expression) on stderr.
refused() {
	what=$1 want=$2 pattern=$3
	shift 3
	status=0
	"$@" >"$work/out" 2>"$work/err" || status=$?
	[ "$status" -eq "$want" ] || problem "$what: exit status $status, not $want"
	grep -Eq -e "$pattern" "$work/err" || problem "$what: no /$pattern/ in: $(cat "$work/err")"
}
designs() {
	find "$work/cache/fabric" -mindepth 1 -maxdepth 1 -not -name '.*' 2>/dev/null | wc -l
}

design=$work/mine.v
sed 's/cycles <= cycles + 1;/cycles <= cycles + 1/' "$top/tests/fabric/designs/probe.v" >"$design"
line=$(grep -n 'cycles <= cycles + 1$' "$design" | cut -d: -f1)
refused "a syntax error" 1 "mine\.v:($line|$((line + 1))):" "$build_sh" "$design"
refused "a syntax error, through run" 1 "mine\.v:($line|$((line + 1))):" \
	"$run" --no-build --fabric "$design" --script /dev/null
[ "$(designs)" -eq 0 ] || problem "a failed build left $(designs) designs in the cache"

cat >"$design" <<'VERILOG'
module half (
    input clk, rst_n, s_axi_awvalid, s_axi_wvalid, s_axi_bready, s_axi_arvalid,
    input [7:0] s_axi_awaddr, s_axi_araddr, input [31:0] s_axi_wdata, input [3:0] s_axi_wstrb,
    output s_axi_awready, s_axi_wready, s_axi_bvalid, s_axi_arready, s_axi_rvalid,
    output [31:0] s_axi_rdata, output [1:0] s_axi_rresp);
  assign {s_axi_awready, s_axi_wready, s_axi_bvalid, s_axi_arready, s_axi_rvalid} = 0;
  assign s_axi_rdata = 0;
  assign s_axi_rresp = 0;
endmodule
VERILOG
refused "bus ports missing" 1 "mine\.v:[0-9]+: the top module half lacks the bus ports: s_axi_bresp, s_axi_rready$" \
	"$build_sh" "$design"
[ "$(designs)" -eq 0 ] || problem "a failed build left $(designs) designs in the cache"

# $system would run a command on this host: refused where it is called, on
# both ways in, before anything is compiled.
# shellcheck disable=SC2016 # $system is Verilog, not the shell's
sed 's|^\( *\)cycles <= cycles + 1;|&\n\1if (cycles == 5) $system("touch escaped");|' \
	"$top/tests/fabric/designs/probe.v" >"$design"
line=$(grep -n 'system(' "$design" | cut -d: -f1)
refused "a \$system call" 1 "mine\.v:$line: \\\$system runs a command on the host: refused" \
	"$build_sh" "$design"
refused "a \$system call, through run" 1 "mine\.v:$line: .*--fabric-allow-system allows it" \
	"$run" --no-build --fabric "$design" --script /dev/null
[ "$(designs)" -eq 0 ] || problem "a refused design left $(designs) designs in the cache"

cp "$top/tests/fabric/designs/probe.v" "$design"
dir=$("$build_sh" "$design" 2>"$work/err") || problem "the mended design: $(cat "$work/err")"
[ -s "$dir/libfabric.so" ] || problem "no library in '$dir'"
grep -qx 'unconnected=spare' "$dir/info" || problem "ports left alone: $(cat "$dir/info")"

# The design spans 0x100 bytes.
refused "over the board's ports" 2 "overlaps the board's ports at 0xFF200000 to 0xFF204FFF" \
	"$run" --no-build --fabric "$design" --fabric-base 0xFF204F00 --script /dev/null
refused "outside the bridge window" 2 "outside the bridge window 0xFF200000 to 0xFF3FFFFF" \
	"$run" --no-build --fabric "$design" --fabric-base 0xFF400000 --script /dev/null
refused "not aligned to its span" 2 "spans 0x100 bytes: --fabric-base must be a multiple" \
	"$run" --no-build --fabric "$design" --fabric-base 0xFF210080 --script /dev/null
# The machine checks where a design goes: QEMU alone, with no launcher.
placed() {
	refused "$1, QEMU alone" 1 "^qemu-system-arm: vboard: the design probe $3" \
		timeout 60 "$qemu" -display none -nic none -S \
		-M "vboard,fabric=$dir/libfabric.so,fabric-base=$2"
}
placed "over the board's ports" 0xFF204F00 \
	"at 0xFF204F00 to 0xFF204FFF overlaps the board's ports at 0xFF200000 to 0xFF204FFF \(--fabric-base\)$"
placed "outside the bridge window" 0xFF400000 \
	"spans 0xFF400000 to 0xFF4000FF, outside the bridge window 0xFF200000 to 0xFF3FFFFF \(--fabric-base\)$"
placed "below the bridge window" 0xFF1FFF00 "spans 0xFF1FFF00 to 0xFF1FFFFF, outside the bridge window"
placed "not aligned to its span" 0xFF210080 "spans 0x100 bytes: --fabric-base must be a multiple of that$"
qom_get() {
	printf '{"execute": "qom-get", "arguments": {"path": "/machine", "property": "%s"}}\n' "$@"
}
window=$({
	echo '{"execute": "qmp_capabilities"}'
	qom_get bridge-base bridge-size
	echo '{"execute": "quit"}'
} | timeout 60 "$qemu" -display none -nic none -S -M vboard -qmp stdio 2>&1 |
	grep -o '"return": [0-9][0-9]*' | cut -d' ' -f2 | tr '\n' ' ')
[ "$window" = "$((0xFF200000)) $((0x200000)) " ] ||
	problem "the machine's bridge-base and bridge-size: '$window', not 0xFF200000 and 0x200000"

refused "a trace where it cannot be written" 2 "--fabric-trace: cannot write '/nonexistent/t.fst'" \
	"$run" --no-build --fabric "$design" --fabric-trace /nonexistent/t.fst --script /dev/null
refused "a trace without a design" 2 "--fabric-trace go with --fabric FILE.v" \
	"$run" --no-build --fabric-trace "$work/t.fst" --script /dev/null
refused "two processors" 2 "a fabric takes one processor" \
	"$run" --no-build --fabric "$design" --smp 2 --script /dev/null
refused "a top that is not there" 1 "nosuch" \
	"$run" --no-build --fabric "$design" --fabric-top nosuch --script /dev/null
[ "$fail" -eq 0 ] && echo "build errors: all as expected"
exit "$fail"
