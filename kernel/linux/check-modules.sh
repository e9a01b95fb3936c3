#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks the driver modules built against one kernel build tree, for what the
# module loader of that kernel will demand, without loading them:
#   - vermagic as that kernel's own (its release and configuration; and, when
#     the kernel's own modules are at hand, as theirs), license GPL, a
#     description, the module name;
#   - every undefined symbol exported by that kernel (Module.symvers), with
#     the same symbol version where the kernel has module versions, so that
#     nothing the C++ code needs at run time is missing there;
#   - no static constructors or destructors, which the loader never runs.
#
#   check-modules.sh --series KERNEL MODDIR
#   check-modules.sh --kdir KDIR [--kernel-modules DIR] MODDIR
# KERNEL: a kernel series or folder (scripts/fetch-kernel.sh), whose build
# tree and own modules are fetched; KDIR: a kernel build tree; DIR: the
# kernel's own lib/modules/<release>; MODDIR: where the .ko files are.
# What a kernel gives no means to check (no modules of its own, no module
# versions) is said in a note, and counted neither passed nor failed.
set -eu
export LC_ALL=C

usage() {
	sed -n 's/^#   \(check-modules.sh .*\)/usage: \1/p' "$0" >&2
	exit 2
}

kdir=
vendor=
vendor_required=
while [ $# -gt 1 ]; do
	case $1 in
	--series)
		fetch=$(dirname "$0")/../../scripts/fetch-kernel.sh
		kdir=$("$fetch" "$2" headers)
		vendor=$("$fetch" "$2" modules)
		case $2 in 6.1 | 6.12) vendor_required=1 ;; esac
		shift
		;;
	--kdir)
		kdir=$2
		shift
		;;
	--kernel-modules)
		vendor=$2
		vendor_required=1
		shift
		;;
	*) usage ;;
	esac
	shift
done
{ [ $# -eq 1 ] && [ -n "$kdir" ]; } || usage
moddir=$1

modules="accel accel_cmd accel_basic panelio"
# The fabric's UIO driver, for kernels with UIO.
grep -qE '^CONFIG_UIO=[ym]' "$kdir/.config" && modules="$modules fabric_uio"
nm=arm-linux-gnueabihf-nm
readelf=arm-linux-gnueabihf-readelf
modinfo=$(command -v modinfo || echo /sbin/modinfo)
modprobe=$(command -v modprobe || echo /sbin/modprobe)

failures=0
passes=0
fail() {
	echo "FAIL $module: $*"
	failures=$((failures + 1))
}
pass() {
	passes=$((passes + 1))
}
# usage: expect MESSAGE-IF-FAILED COMMAND...
expect() {
	message=$1
	shift
	if "$@"; then pass; else fail "$message"; fi
}
note() {
	echo "note: $*"
}

config() {
	grep -q "^CONFIG_$1=y" "$kdir/.config"
}

# The vermagic this kernel's loader compares with (include/linux/vermagic.h
# and the architecture's MODULE_ARCH_VERMAGIC for 32-bit ARM).
expected_vermagic() {
	release=$(sed -n 's/^#define UTS_RELEASE "\(.*\)"$/\1/p' "$kdir/include/generated/utsrelease.h")
	magic="$release "
	config SMP && magic="${magic}SMP "
	if config PREEMPT_BUILD || config PREEMPT; then
		magic="${magic}preempt "
	elif config PREEMPT_RT; then
		magic="${magic}preempt_rt "
	fi
	config MODULE_UNLOAD && magic="${magic}mod_unload "
	config MODVERSIONS && magic="${magic}modversions "
	config CPU_V7 && magic="${magic}ARMv7 "
	config THUMB2_KERNEL && magic="${magic}thumb2 "
	config ARM_PATCH_PHYS_VIRT && magic="${magic}p2v8 "
	if config RANDSTRUCT || config GCC_PLUGIN_RANDSTRUCT; then
		echo "randomised structure layout: vermagic not derivable" >&2
		return 1
	fi
	echo "$magic"
}

want_magic=$(expected_vermagic)
sample=
[ -n "$vendor" ] && sample=$(find "$vendor" -name '*.ko*' | head -n 1)
if [ -n "$sample" ]; then
	own_magic=$("$modinfo" -F vermagic "$sample")
	if [ "$own_magic" != "$want_magic" ]; then
		echo "FAIL: the kernel's own modules have vermagic '$own_magic'," \
			"its headers say '$want_magic'"
		exit 1
	fi
elif [ -n "$vendor_required" ]; then
	echo "FAIL: no module of the kernel's own in $vendor"
	exit 1
else
	note "the kernel has no modules of its own: vermagic checked against" \
		"its configuration only"
fi
modversions=
if config MODVERSIONS; then
	modversions=1
else
	note "the kernel has no module versions (CONFIG_MODVERSIONS off):" \
		"symbol versions not checked"
fi

# symbol -> version, of everything the kernel exports
exports=$(mktemp)
trap 'rm -f "$exports"' EXIT
awk '{ print $2, $1 }' "$kdir/Module.symvers" | sort >"$exports"

for module in $modules; do
	ko=$moddir/$module.ko
	if [ ! -f "$ko" ]; then
		fail "missing $ko"
		continue
	fi

	magic=$("$modinfo" -F vermagic "$ko")
	expect "vermagic '$magic', kernel wants '$want_magic'" [ "$magic" = "$want_magic" ]
	license=$("$modinfo" -F license "$ko")
	expect "license '$license'" [ "$license" = GPL ]
	expect "no description" [ -n "$("$modinfo" -F description "$ko")" ]
	name=$("$modinfo" -F name "$ko")
	expect "module name '$name'" [ "${name:-$module}" = "$module" ]

	undefined=$("$nm" -u "$ko" | awk '{ print $2 }' | sort)
	unresolved=$(echo "$undefined" | join -v 1 - "$exports" | tr '\n' ' ')
	expect "symbols the kernel does not export: $unresolved" [ -z "$unresolved" ]

	# Each symbol version recorded in the module must be the kernel's.
	if [ -n "$modversions" ]; then
		mismatched=$("$modprobe" --dump-modversions "$ko" | awk '{ print $2, $1 }' | sort |
			join -o 1.1,1.2,2.2 - "$exports" | awk '$2 != $3 { print $1 }' | tr '\n' ' ')
		expect "symbol versions differ from the kernel's: $mismatched" [ -z "$mismatched" ]
	fi

	ctors=$("$readelf" -SW "$ko" | grep -oE '\] \.(init_array|fini_array|ctors|dtors)[^ ]*' |
		cut -c3- | tr '\n' ' ' || true)
	expect "static constructors or destructors: $ctors" [ -z "$ctors" ]
done

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
