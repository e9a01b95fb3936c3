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

# The forms (board_forms.txt), in code for both shells, expanded where it
# runs.
cases="forms() {
	cat <<'EOF_FORMS'
$(grep -v '^#' "$(dirname "$0")/board_forms.txt")
EOF_FORMS
}
"
# shellcheck disable=SC2016 # code for both shells, expanded where it runs
cases=$cases'
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
wait_board "the board" --status running
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
[ "$(wc -l <"$work/host")" -eq 42 ] || problem "$(wc -l <"$work/host") outcomes, not 42"
[ "$fail" -ne 0 ] || echo "board_forms: $(wc -l <"$work/host") forms, the same outcome on both tools"
exit "$fail"
