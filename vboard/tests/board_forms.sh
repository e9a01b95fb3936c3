#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The host's scripts/board and the guest's board tool take exactly the same
# command forms: the same list of accepted and refused command lines goes
# through both, on one running board, and their outcomes (exit status and
# message) must be the same, line for line, and as listed.
# usage: board_forms.sh RUN BOARD BUILD_DIR SERIES
set -eu
run=$1 board=$2 build=$3 series=$4
# shellcheck source=vboard/tests/host_lib.sh
. "$(dirname "$0")/host_lib.sh"

# The forms, as words after "board", and what each must give: ok, or
# refused (status 1 and a reason), or usage (status 2).
# shellcheck disable=SC2016 # code for both shells, expanded where it runs
cases='forms() {
	cat <<"EOF_FORMS"
ok tilt 0 707 707
ok tilt -16000 0 16000
ok bias 10 -20 30
ok noise 010
ok tap
ok doubletap
ok press f
ok press A
ok switches 2a5
ok sensor off
ok sensor on
ok devid 3C
ok reset sensor
ok regs
refused tilt 1 2
refused tilt 1 2 x
refused tilt " 1" 2 3
refused tilt 1 2 3 4
refused tilt 16001 0 0
refused bias 0 -16001 0
refused noise -1
refused noise +5
refused noise 0x10
refused noise 16001
refused press 0x5
refused press 10
refused press -1
refused switches 1000
refused switches ""
refused devid 100
refused sensor maybe
refused sensor
refused tap 1
refused doubletap x
refused reset
refused reset everything
refused regs x
refused jump
usage
EOF_FORMS
}

# usage: outcomes BOARD-COMMAND...: "EXPECTED FORM => STATUS MESSAGE" for each form.
outcomes() {
	forms | while IFS= read -r line; do
		form=${line#* }
		[ "$form" = "$line" ] && form=
		status=0
		msg=$(eval "$* $form" 2>&1 >/dev/null) || status=$?
		[ "$status" -ne 2 ] || msg=usage
		echo "${line%% *} $form => $status $msg"
	done
}'

{
	echo ". /lib/vboard/testlib.sh"
	echo "$cases"
	cat <<'GUEST'
echo "outcomes:"
outcomes board
echo "outcomes end"
# The board stays until the host's tool is through its list too.
until [ "$(reg DEVID)" = 0x42 ]; do sleep 0.1; done
finish
GUEST
} >"$work/guest.sh"

# The guest's tool and the host's go through their lists at the same time:
# an outcome does not depend on what the board was told before.
start_board 300
wait_for "the board's QMP socket" test -S "$sock"
eval "$cases"
outcomes "$board" --socket "$sock" >"$work/host"
"$board" --socket "$sock" devid 42 || problem "board devid 42"
status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 0 ] || { cat "$work/out"; problem "guest script exit status $status"; }

sed -n '/^outcomes:/,/^outcomes end/{//!p}' "$work/out" | tr -d '\r' >"$work/guest"
diff -u "$work/guest" "$work/host" >"$work/diff" ||
	problem "the tools differ (guest -, host +): $(cat "$work/diff")"
# Each as listed: accepted silently, refused with the machine's reason.
awk '$1 == "ok" && !/=> 0 $/ { print "accepted form refused: " $0 }
	$1 == "refused" && !/=> 1 board: [a-z'"'"']+.*: / { print "refused form not refused with a reason: " $0 }
	$1 == "usage" && !/=> 2 usage$/ { print "no usage: " $0 }' "$work/host" >"$work/wrong"
[ ! -s "$work/wrong" ] || problem "$(cat "$work/wrong")"
[ "$(wc -l <"$work/host")" -eq 39 ] || problem "$(wc -l <"$work/host") outcomes, not 39"
[ "$fail" -ne 0 ] || echo "board_forms: $(wc -l <"$work/host") forms, the same outcome on both tools"
exit "$fail"
