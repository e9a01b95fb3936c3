#!/bin/sh
# Builds the driver modules against Debian's ARMv7 kernel headers of one
# series (fetched when missing), warnings being errors, compiler's and
# modpost's alike.
#   build-modules.sh [--vboard-unlinked] SERIES OUTDIR [make arguments...]
# --vboard-unlinked builds the virtual-board flavour without the board
# model at hand: its bus symbols are left unresolved, and modpost's warnings
# about those alone are accepted.
set -eu
here=$(cd "$(dirname "$0")" && pwd)

unlinked=
if [ "${1:-}" = --vboard-unlinked ]; then
	unlinked=1
	shift
fi
[ $# -ge 2 ] || {
	echo "usage: $0 [--vboard-unlinked] SERIES OUTDIR [make arguments...]" >&2
	exit 2
}
series=$1
out=$2
shift 2
[ -n "$unlinked" ] && set -- KS_VBOARD=1 KBUILD_MODPOST_WARN=1 "$@"

kdir=$("$here/../../scripts/fetch-kernel.sh" "$series" headers)
mkdir -p "$out"
log=$out/build.log
status=0
make -C "$here" KDIR="$kdir" OUT="$out" KS_WERROR=1 "$@" >"$log" 2>&1 || status=$?
cat "$log"
[ "$status" -eq 0 ] || exit "$status"

accepted='^WARNING: modpost: ("vboard_(ioremap|iounmap|readl|writel)" \[.*\] undefined!|suppressed [0-9]+ unresolved symbol warnings.*)$'
[ -n "$unlinked" ] || accepted='^$'
if grep -i warning "$log" | grep -Ev "$accepted"; then
	echo "build-modules: the build warned (above)" >&2
	exit 1
fi
