#!/bin/sh
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
	# global ones the same way.
	: >"$work/uses"
	for obj in $(tr ' ' '\n' <"$list" | grep '\.o$'); do
		obj=$moddir/$(basename "$obj")
		"$nm" -u "$obj" | awk -v o="$obj" '{ print $2, o }' >>"$work/uses"
		"$nm" -g --defined-only "$obj" | awk -v o="$obj" '{ print $3, o }'
	done >"$work/defs"
	if [ ! -s "$work/defs" ]; then
		echo "FAIL $module: no global symbol in the objects $list names"
		failures=$((failures + 1))
		continue
	fi

	stray=
	for symbol in $("$nm" -g --defined-only "$ko" | awk '{ print $3 }'); do
		if echo "$entry_points $services" | tr ' ' '\n' | grep -qx "$symbol"; then
			continue
		fi
		home=$(awk -v s="$symbol" '$1 == s { print $2; exit }' "$work/defs")
		[ -n "$home" ] || continue # the kernel build's
		awk -v s="$symbol" -v h="$home" '$1 == s && $2 != h { found = 1 }
			END { exit !found }' "$work/uses" && continue
		stray="$stray $(basename "$home"):$symbol"
	done
	if [ -n "$stray" ]; then
		echo "FAIL $module: global, but used by no other file of the module:$stray"
		failures=$((failures + 1))
	else
		passes=$((passes + 1))
	fi
done

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
