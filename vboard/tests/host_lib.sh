# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# shellcheck disable=SC2034,SC2154 # variables shared with the sourcing test
# Set-up of the host tests that drive a running board, sourced by them once
# they have set run, board (scripts/board), build and series: a work folder
# with the board's QMP socket in it, the board ($pid, once started) stopped
# and the folder removed at exit, problem(), which records a failure (the
# test ends with exit "$fail"), and the helpers below.
work=$(mktemp -d)
pid=''
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
sock=$work/qmp.sock
fail=0
problem() {
	echo "FAIL: $*"
	fail=1
}

# usage: start_board TIMEOUT: boots the board around $work/guest.sh in the
# background, its output to $work/out.
start_board() {
	"$run" --no-build --build "$build" --kernel "$series" --timeout "$1" --qmp "$sock" \
		--script "$work/guest.sh" >"$work/out" 2>&1 &
	pid=$!
}

# usage: qmp_wait CONDITION [--command LINE] [--stop] [--print PROPERTY]:
# until the running board shows CONDITION (scripts/board wait), 60 s at
# most, its start included.
qmp_wait() {
	"$board" --socket "$sock" wait "$@"
}

# usage: wait_board DESCRIPTION CONDITION [--stop]: qmp_wait, a problem if
# the condition never holds.
wait_board() {
	what=$1
	shift
	qmp_wait "$@" || { problem "$what: never"; return 1; }
}

# usage: qmp COMMAND [JSON-ARGUMENTS]: the command's return value, as JSON.
qmp() {
	PYTHONPATH=$(dirname "$0")/.. /usr/bin/python3 -S -m boardio.qmp "$sock" "$@"
}

# usage: prop PROPERTY: the machine's PROPERTY, as JSON.
prop() {
	qmp qom-get "{\"path\": \"/machine\", \"property\": \"$1\"}"
}

# usage: save_board STATE: the running board, started with --state STATE
# ($pid) and stopped (QMP stop: so it is stopped when restored), saved to
# STATE/vmstate, and ended.
save_board() {
	"$board" --socket "$sock" save "$1/vmstate" || problem "the save failed"
	wait "$pid" || true
	pid=
}
