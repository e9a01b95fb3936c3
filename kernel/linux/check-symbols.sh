#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks that the driver modules built by Kbuild in MODDIR carry no global
# symbol they do not need: each global symbol the module's own objects
# define (<module>.mod lists them, .tmp_versions/<module>.mod on kernels
# before 5.4) is one of
#   - its entry points (init_module, cleanup_module),
#   - a kernel service declared in kernel/ks.h (the services file is linked
#     whole into every module, whether its driver uses a service or not),
#   - used by another of those objects.
# What the kernel's build adds (__this_module, the section bounds of its
# module linker script) is not the module's to choose and passes.
# Whatever one file alone uses is to be static there.
#   check-symbols.sh MODDIR
set -eu
export LC_ALL=C

[ $# -eq 1 ] || {
	echo "usage: $0 MODDIR" >&2
	exit 2
}
moddir=$1
here=$(cd "$(dirname "$0")" && pwd)
modules="accel accel_cmd accel_basic panelio"
# The fabric's UIO driver, built where the kernel has UIO (check-modules.sh
# tells whether it should be there).
[ -f "$moddir/fabric_uio.ko" ] && modules="$modules fabric_uio"
nm=arm-linux-gnueabihf-nm

entry_points="cleanup_module init_module"
# The functions ks.h declares: the lines that begin a declaration at the
# left margin.
services=$(grep -E '^[a-z]' "$here/../ks.h" | grep -oE '\bks_[a-z_0-9]+\(' | tr -d '(' |
	sort -u)

failures=0
passes=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "$entry_points $services" | tr ' ' '\n' | sort -u >"$work/allowed"

for module in $modules; do
	ko=$moddir/$module.ko
	list=$moddir/$module.mod
	[ -f "$list" ] || list=$moddir/.tmp_versions/$module.mod
	if [ ! -f "$ko" ] || [ ! -f "$list" ]; then
		echo "FAIL $module: missing $ko or its list of objects"
		failures=$((failures + 1))
		continue
	fi
	# Each object's undefined symbols, "symbol object" per line, and its
	# global ones the same way (one nm for all objects: -A names the file).
	objects=$(tr ' ' '\n' <"$list" | grep '\.o$' | sed "s|.*/|$moddir/|")
	# shellcheck disable=SC2086 # one word per object
	"$nm" -A -u $objects | awk '{ sub(/:$/, "", $1); print $NF, $1 }' >"$work/uses"
	# shellcheck disable=SC2086 # one word per object file
	"$nm" -A -g --defined-only $objects | awk '{ sub(/:.*/, "", $1); print $NF, $1 }' >"$work/defs"
	if [ ! -s "$work/defs" ]; then
		echo "FAIL $module: no global symbol in the objects $list names"
		failures=$((failures + 1))
		continue
	fi

	# The module's globals that are neither entry points nor services: each
	# must be used by an object other than the one defining it; those no
	# object defines are the kernel build's.
	"$nm" -g --defined-only "$ko" | awk '{ print $3 }' | sort -u |
		comm -23 - "$work/allowed" >"$work/globals"
	stray=$(awk '
		FILENAME == ARGV[1] { if (!($1 in home)) home[$1] = $2; next }
		FILENAME == ARGV[2] { if (($1 in home) && $2 != home[$1]) used[$1] = 1; next }
		($1 in home) && !($1 in used) { n = split(home[$1], p, "/"); printf " %s:%s", p[n], $1 }
	' "$work/defs" "$work/uses" "$work/globals")
	if [ -n "$stray" ]; then
		echo "FAIL $module: global, but used by no other file of the module:$stray"
		failures=$((failures + 1))
	else
		passes=$((passes + 1))
	fi
done

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
