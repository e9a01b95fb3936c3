#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# vboard/run --script hands back the guest script's output byte for byte and
# its exit status, however the output ends, and says nothing else.
# usage: run_output.sh RUN BUILD_DIR SERIES
set -eu
run=$1 build=$2 series=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/guest.sh" <<'GUEST'
echo "first line"
printf 'tab\there  trailing spaces  \n'
echo
echo "vboard-0000 exit 0"
printf '\033[31mred\033[0m\n'
echo "to stderr" >&2
printf 'no newline at the end'
exit 7
GUEST
printf 'first line\ntab\there  trailing spaces  \n\nvboard-0000 exit 0\n\033[31mred\033[0m\nto stderr\nno newline at the end' >"$work/expected"

status=0
"$run" --no-build --build "$build" --kernel "$series" --script "$work/guest.sh" \
	>"$work/output" 2>"$work/stderr" || status=$?
fail=0
if [ -s "$work/stderr" ]; then
	echo "stderr: $(cat "$work/stderr")"
	fail=1
fi
if ! cmp "$work/expected" "$work/output"; then
	echo "output differs:"
	od -c "$work/output" | head -n 20
	fail=1
fi
if [ "$status" -ne 7 ]; then
	echo "exit status $status, expected 7"
	fail=1
fi

# A script that ends with a newline and succeeds, started as a new shell
# would be: in /, no arguments, the series told, none of /init's variables
# or functions.
cat >"$work/ok.sh" <<'GUEST'
[ $# -eq 0 ] && [ "$PWD" = / ] && [ -n "$VBOARD_SERIES" ] &&
	[ -z "${token+set}${mode+set}${release+set}" ] && ! command -v off >/dev/null &&
	echo done
GUEST
out=$("$run" --no-build --build "$build" --kernel "$series" --script "$work/ok.sh" | od -An -c | tr -s ' ')
[ "$out" = " d o n e \\n" ] || { echo "second script gave '$out'"; fail=1; }
# The run ends with the script's status: a guest that would go on after it
# (here, one that does not power off) is stopped then.
cat >"$work/stuck.sh" <<'GUEST'
. /etc/vboard.conf
printf '\n%s exit 3\n' "$token"
sleep 600
GUEST
start=$(date +%s)
status=0
"$run" --no-build --build "$build" --kernel "$series" --script "$work/stuck.sh" \
	>/dev/null 2>"$work/stuck.err" || status=$?
[ "$status" -eq 3 ] || { echo "a guest that did not power off: status $status"; fail=1; }
[ $(($(date +%s) - start)) -lt 30 ] || { echo "a guest that did not power off ran on"; fail=1; }
[ ! -s "$work/stuck.err" ] || { echo "stderr: $(cat "$work/stuck.err")"; fail=1; }
exit "$fail"
