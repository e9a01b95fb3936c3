#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# linefan built for the board and run in the guest against a pipe writes the
# same bytes as the host build, which its own tests pin down.
# usage: linefan_stream.sh RUN BUILD_DIR SERIES HOST_LINEFAN
set -eu
run=$1 build=$2 series=$3 host_linefan=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo | "$host_linefan" >"$work/expected"
[ -s "$work/expected" ] || { echo "host linefan wrote nothing"; exit 1; }
printf 'echo | linefan | cat\n' >"$work/guest.sh"
"$run" --no-build --build "$build" --kernel "$series" --script "$work/guest.sh" >"$work/output"
if ! cmp "$work/expected" "$work/output"; then
	echo "guest linefan: $(wc -c <"$work/output") bytes, host: $(wc -c <"$work/expected")"
	exit 1
fi
