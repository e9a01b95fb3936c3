#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the driver modules against Debian's ARMv7 kernel headers of one
# series (fetched when missing), warnings being errors, compiler's and
# modpost's alike.
#   build-modules.sh SERIES OUTDIR [make arguments...]
set -eu
here=$(cd "$(dirname "$0")" && pwd)

[ $# -ge 2 ] || {
	echo "usage: $0 SERIES OUTDIR [make arguments...]" >&2
	exit 2
}
series=$1
out=$2
shift 2

kdir=$("$here/../../scripts/fetch-kernel.sh" "$series" headers)
mkdir -p "$out"
log=$out/build.log
status=0
make -C "$here" KDIR="$kdir" OUT="$out" KS_WERROR=1 "$@" >"$log" 2>&1 || status=$?
cat "$log"
[ "$status" -eq 0 ] || exit "$status"

if grep -i warning "$log"; then
	echo "build-modules: the build warned (above)" >&2
	exit 1
fi
