#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs start from saved machines. Every run starts pristine: a file written,
# a module loaded and a switch set by one run are gone in the next; the
# guest's wall clock is the host's; a module (the README's example, built
# against the kernel's tree) and a program of one's own brought with --file
# are there and work, and a missing one, or one larger than the mailbox, is
# refused before anything starts. With a folder of saved machines of its
# own: two runs started together make one saved machine and both pass; with
# --damage, a truncated state and a damaged RAM file are each noticed and
# made anew by a cold boot, with one line on stderr, and the run's result
# stands, as they are when the damage kept the files' times (a RAM file that
# does not load, a guest that does not answer). (Runs stopped by signals:
# vboard.lifecycle.)
# usage: saved_machine.sh RUN BOARD BUILD_DIR SERIES [--damage]
set -eu
run=$1 board=$2 build=$3 series=$4 damage=${5:-}
# shellcheck source=vboard/tests/host_lib.sh
. "$(dirname "$0")/host_lib.sh"
vrun() {
	"$run" --no-build --build "$build" --kernel "$series" --timeout 120 "$@"
}

# --- pristine runs, the clock, one's own files -----------------------------
cat >"$work/dirty.sh" <<'GUEST'
echo mark >/root/mark
insmod /modules/panelio.ko
board switches 2a5
GUEST
cat >"$work/clean.sh" <<'GUEST'
[ -e /root/mark ] && echo "a file of the last run"
grep -q '^panelio ' /proc/modules && echo "a module of the last run"
[ $(($(devmem 0xFF200040))) -eq 0 ] || echo "the last run's switches"
echo "clock $(date +%s)"
GUEST
vrun --script "$work/dirty.sh" || problem "the first run failed"
before=$(date +%s)
out=$(vrun --script "$work/clean.sh") || problem "the second run failed"
after=$(date +%s)
echo "$out" | grep -v '^clock ' | sed 's/^/FAIL: /'
echo "$out" | grep -qv '^clock ' && problem "the second run was not pristine"
clock=$(echo "$out" | sed -n 's/^clock //p')
if [ -z "$clock" ] || [ "$clock" -lt $((before - 1)) ] || [ "$clock" -gt "$after" ]; then
	problem "the guest's clock $clock is not the host's ($before to $after)"
fi

# The README's walk-through: the example module built against the kernel's
# tree, brought along and loaded; and a program at a path of its own.
root=$(cd "$(dirname "$0")/../.." && pwd)
cp -r "$root/examples/module" "$work/hello"
make -s -C "$("$root/scripts/fetch-kernel.sh" "$series" headers)" M="$work/hello" ARCH=arm \
	CROSS_COMPILE=arm-linux-gnueabihf- modules >"$work/make.log" 2>&1 ||
	problem "the example module did not build: $(cat "$work/make.log")"
printf '#!/bin/sh\necho "a program of my own"\n' >"$work/mine.sh"
chmod +x "$work/mine.sh"
cat >"$work/own.sh" <<'GUEST'
/usr/local/bin/mine
insmod /root/hello.ko && rmmod hello && dmesg | sed -n 's/.*hello: \(hello\|goodbye\)/\1/p'
GUEST
out=$(vrun --file "$work/hello/hello.ko" --file "$work/mine.sh:/usr/local/bin/mine" \
	--script "$work/own.sh") || problem "the run with files of its own failed"
echo "$out" | grep -q '^a program of my own$' || problem "a program of one's own: '$out'"
echo "$out" | grep -q '^hello from the board$' || problem "a module of one's own: '$out'"
echo "$out" | grep -q '^goodbye after [0-9]* ms$' || problem "a module of one's own: '$out'"
if vrun --file "$work/absent.ko" --script "$work/own.sh" >"$work/out" 2>&1; then
	problem "a missing --file was taken"
else
	grep -q "cannot read '$work/absent.ko'" "$work/out" || problem "missing file: $(cat "$work/out")"
fi
truncate -s 16M "$work/large.bin"
if vrun --file "$work/large.bin" --script "$work/own.sh" >"$work/out" 2>&1; then
	problem "a file larger than the mailbox was taken"
else
	grep -q "more than the guest's mailbox holds" "$work/out" || problem "large file: $(cat "$work/out")"
fi

# --- saved machines of this test's own -------------------------------------
VBOARD_TEMPLATES=$work/templates
export VBOARD_TEMPLATES
echo 'echo ok' >"$work/ok.sh"
vrun --script "$work/ok.sh" >"$work/a" 2>&1 &
first=$!
vrun --script "$work/ok.sh" >"$work/b" 2>&1 || problem "the second of two runs: $(cat "$work/b")"
wait "$first" || problem "the first of two runs: $(cat "$work/a")"
[ "$(cat "$work/a" "$work/b")" = "ok
ok" ] || problem "two runs together: '$(cat "$work/a" "$work/b")'"
# shellcheck disable=SC2012 # names without blanks
[ "$(ls -d "$VBOARD_TEMPLATES"/*/ | wc -l)" -eq 1 ] ||
	problem "two runs made $(ls -d "$VBOARD_TEMPLATES"/*/ | wc -l) saved machines"
saved=$(ls -d "$VBOARD_TEMPLATES"/*/)

# usage: damaged WHAT: after the damage, one run passes with one line on
# stderr, and the saved machine is whole again.
damaged() {
	status=0
	VBOARD_RESTORE_S=2 vrun --script "$work/ok.sh" >"$work/out" 2>"$work/err" || status=$?
	if [ "$status" -ne 0 ] || [ "$(cat "$work/out")" != ok ]; then
		problem "$1: status $status, output '$(cat "$work/out")'"
	fi
	if [ "$(wc -l <"$work/err")" -ne 1 ] || ! grep -q "^vboard/run: the saved machine" "$work/err"; then
		problem "$1: stderr '$(cat "$work/err")'"
	fi
	[ "$(stat -c %s "$saved/ram")" -gt 4096 ] || problem "$1: not made anew"
}
# The kernel's text and data, from the start of RAM, zeroed.
damage_ram() {
	dd if=/dev/zero of="$saved/ram" bs=1M count=16 conv=notrunc status=none
}
# Repairs are the host's, the same whatever the kernel: tested on one, the
# one that boots fastest (a cold boot for each).
if [ "$damage" = --damage ]; then
	truncate -s 1000 "$saved/vmstate"
	damaged "a truncated state"
	damage_ram
	damaged "a damaged RAM file"
	# Damage that kept the files' times shows once the machine is restored:
	# it does not load, or its guest does not answer.
	truncate -s 4096 "$saved/ram"
	touch -r "$saved/saved" "$saved/ram"
	damaged "a truncated RAM file, its time kept"
	damage_ram
	touch -r "$saved/saved" "$saved/ram"
	damaged "a damaged RAM file, its time kept"
fi
unset VBOARD_TEMPLATES

[ "$fail" -ne 0 ] || echo "saved_machine: every check passed"
exit "$fail"
