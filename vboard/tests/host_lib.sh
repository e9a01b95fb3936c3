# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# shellcheck disable=SC2034 # sock and fail are the sourcing test's
# Set-up of the host tests that drive a running board, sourced by them: a
# work folder with the board's QMP socket in it, the board ($pid, once
# started) stopped and the folder removed at exit, and problem(), which
# records a failure; the test ends with exit "$fail".
work=$(mktemp -d)
pid=''
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
sock=$work/qmp.sock
fail=0
problem() {
	echo "FAIL: $*"
	fail=1
}
