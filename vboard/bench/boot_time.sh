#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Boot benchmark: wall time of an empty guest script, from the start of
# `vboard/run --no-build --script` to its exit (QEMU's start, the kernel's
# boot, /init, the script, power-off and the host script's own work), median
# of RUNS runs (hyperfine) after one warm-up, on each kernel series at hand:
# 6.1 and 6.12, and 3.18 where BOARDIO_LINUX_3_18 names its folder.
#
# usage: vboard/bench/boot_time.sh [RUNS]      (default 5)
# Run from a built tree (./run or ./test first); BUILD names the build
# folder (default build/). The figures depend on the host: on a machine
# busy with other work they are worth nothing.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${BUILD:-$root/build}
runs=${1:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: >"$work/empty.sh"

kernels="6.1 6.12"
[ -n "${BOARDIO_LINUX_3_18:-}" ] && kernels="$kernels 3.18"
for kernel in $kernels; do
	"$root/vboard/run" --build "$build" --kernel "$kernel" --script "$work/empty.sh" \
		>"$work/build.log" 2>&1 || {
		cat "$work/build.log" >&2
		exit 1
	}
	hyperfine --style none --runs "$runs" --warmup 1 --export-json "$work/$kernel.json" \
		"$root/vboard/run --no-build --build $build --kernel $kernel --script $work/empty.sh" \
		>/dev/null
done

echo "empty script, vboard/run --no-build to exit, $runs runs each"
printf '%-8s %8s %8s %8s\n' kernel median min max
for kernel in $kernels; do
	/usr/bin/python3 -c '
import json, sys
r = json.load(open(sys.argv[1]))["results"][0]
print("%-8s %7.2fs %7.2fs %7.2fs" % (sys.argv[2], r["median"], r["min"], r["max"]))
' "$work/$kernel.json" "$kernel"
done
[ -n "${BOARDIO_LINUX_3_18:-}" ] || echo "(3.18: BOARDIO_LINUX_3_18 is not set)"
