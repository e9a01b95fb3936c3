#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Start benchmark: the wall time of an empty guest script, from the start of
# `vboard/run --no-build --script` to its exit, booted cold (--cold: QEMU's
# start, the kernel's boot, /init, the script) and restored from the saved
# machine (QEMU's start, the restore, the work through the mailbox, the
# script), median of RUNS runs each (hyperfine) after one warm-up, and their
# ratio; and the shell's time from `vboard/run --no-build` to its prompt on a
# terminal, restored, median of RUNS. On each kernel series at hand: 6.1 and
# 6.12, and 3.18 where BOARDIO_LINUX_3_18 names its folder.
#
# With --compare OTHER (another checkout's vboard/run, say an older one), the
# restored run and the shell are timed with OTHER too, interleaved with this
# tree's in one hyperfine run, and their ratio printed (OTHER / this).
#
# usage: vboard/bench/start.sh [--compare OTHER_RUN] [RUNS]      (default 5)
# Run from a built tree (./run or ./test first); BUILD names the build
# folder (default build/). The figures depend on the host: on a machine
# busy with other work they are worth nothing.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${BUILD:-$root/build}
other=
if [ "${1:-}" = --compare ]; then
	other=${2:?--compare takes another vboard/run}
	shift 2
fi
runs=${1:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: >"$work/empty.sh"

kernels="6.1 6.12"
[ -n "${BOARDIO_LINUX_3_18:-}" ] && kernels="$kernels 3.18"
for kernel in $kernels; do
	# Builds what is missing and saves the machine the script runs start
	# from (the shell's is saved by its warm-up).
	"$root/vboard/run" --build "$build" --kernel "$kernel" --script "$work/empty.sh" \
		>"$work/build.log" 2>&1 || {
		cat "$work/build.log" >&2
		exit 1
	}
	run="$root/vboard/run --no-build --build $build --kernel $kernel"
	hyperfine --style none --runs "$runs" --warmup 1 --export-json "$work/$kernel.json" \
		"$run --cold --script $work/empty.sh" "$run --script $work/empty.sh" >/dev/null
	# shellcheck disable=SC2086 # the run command's words
	/usr/bin/python3 "$here/shell_prompt.py" "$runs" $run >"$work/$kernel.shell"
	[ -n "$other" ] || continue
	# Both launchers in turn, run after run, so that whatever else the host
	# does weighs on both alike.
	other_run="$other --no-build --build $build --kernel $kernel"
	: >"$work/$kernel.pairs"
	i=0
	while [ $i -lt "$runs" ]; do
		hyperfine --style none --runs 3 --export-json "$work/pair.json" \
			"$run --script $work/empty.sh" "$other_run --script $work/empty.sh" >/dev/null
		# shellcheck disable=SC2086 # the run command's words
		printf '%s %s %s\n' "$(/usr/bin/python3 -c 'import json, sys
print(" ".join(str(r["median"]) for r in json.load(open(sys.argv[1]))["results"]))' "$work/pair.json")" \
			"$(/usr/bin/python3 "$here/shell_prompt.py" 1 $run)" \
			"$(/usr/bin/python3 "$here/shell_prompt.py" 1 $other_run)" >>"$work/$kernel.pairs"
		i=$((i + 1))
	done
done

echo "empty script, vboard/run --no-build to exit, and the shell to its prompt;"
echo "median of $runs runs each"
printf '%-8s %10s %10s %8s %10s\n' kernel cold restored ratio shell
for kernel in $kernels; do
	/usr/bin/python3 -c '
import json, sys
cold, restored = json.load(open(sys.argv[1]))["results"]
print("%-8s %9.3fs %9.3fs %7.1fx %9.3fs" % (sys.argv[2], cold["median"], restored["median"],
      cold["median"] / restored["median"], float(open(sys.argv[3]).read())))
' "$work/$kernel.json" "$kernel" "$work/$kernel.shell"
done
[ -n "${BOARDIO_LINUX_3_18:-}" ] || echo "(3.18: BOARDIO_LINUX_3_18 is not set)"
[ -n "$other" ] || exit 0
echo
echo "this tree against $other, interleaved; median of $runs pairs each"
printf '%-8s %10s %10s %8s %10s %10s %8s\n' kernel restored other ratio shell other ratio
for kernel in $kernels; do
	/usr/bin/python3 -c '
import statistics, sys
rows = [[float(x) for x in line.split()] for line in open(sys.argv[1])]
mine, other, shell, other_shell = (statistics.median(c) for c in zip(*rows))
print("%-8s %9.3fs %9.3fs %7.2fx %9.3fs %9.3fs %7.2fx" % (sys.argv[2], mine, other,
      other / mine, shell, other_shell, other_shell / shell))
' "$work/$kernel.pairs" "$kernel"
done
