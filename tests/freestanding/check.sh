#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds C++ sources as the board's kernel would take them (32-bit ARM, C++11,
# freestanding, only the compiler's own headers, no floating point) and checks
# that the object needs nothing a kernel module cannot have: no library call,
# no C++ runtime, no 64-bit division, no static constructor.
# Usage: check.sh NAME WORK_DIR SOURCE_ROOT [-DMACRO...] SOURCE...
set -eu
name=$1 work=$2 root=$3
shift 3
cross=arm-linux-gnueabihf-
mkdir -p "$work"
rm -f "$work/$name"-*.o

defines='' objects=''
for arg in "$@"; do
	case $arg in
	-D*) defines="$defines $arg" ;;
	*)
		obj="$work/$name-$(basename "$arg" .cpp).o"
		# shellcheck disable=SC2086 # one word per -D option
		"${cross}g++" -std=gnu++11 -pedantic-errors -Wall -Wextra -Werror -O2 \
			-ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-pie \
			-fno-asynchronous-unwind-tables -fno-unwind-tables \
			-nostdinc -nostdinc++ -isystem "$("${cross}g++" -print-file-name=include)" \
			-march=armv7-a -marm -mfloat-abi=soft \
			-I"$root" -I"$root/kernel" $defines -c "$arg" -o "$obj"
		objects="$objects $obj"
		;;
	esac
done
# shellcheck disable=SC2086 # one word per object file
"${cross}ld" -r -o "$work/$name.o" $objects

# What the kernel exports for such code: the kernel services, the memory
# routines and the 32-bit division and long-shift helpers.
allowed='^(ks_[a-z_0-9]+|mem(set|cpy|move)|__aeabi_(u?idiv|u?idivmod|lasr|llsl|llsr|lmul|ulcmp))$'
foreign=$("${cross}nm" -u "$work/$name.o" | awk '{print $2}' | grep -Ev "$allowed" || true)
status=0
if [ -n "$foreign" ]; then
	echo "$name: symbols a kernel module cannot have:" "$(echo "$foreign" | tr '\n' ' ')"
	status=1
fi
if "${cross}objdump" -h "$work/$name.o" | grep -Eq '\.(init_array|ctors|fini_array|dtors)'; then
	echo "$name: static constructors or destructors"
	status=1
fi
[ $status -eq 0 ] && echo "$name: freestanding; undefined:" \
	"$("${cross}nm" -u "$work/$name.o" | awk '{print $2}' | tr '\n' ' ')"
exit $status
