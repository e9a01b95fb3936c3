#!/bin/sh
# Compiles the accel driver for the board's kernel in each variant and checks
# that nothing outside the kernel creeps in: no library call, no static
# constructor, no symbol but the kernel services and the integer-division
# helpers the kernel exports.
# Usage: freestanding.sh SOURCE_DIR WORK_DIR
set -eu
src=$1
work=$2
cxx=arm-linux-gnueabihf-g++
nm=arm-linux-gnueabihf-nm
objdump=arm-linux-gnueabihf-objdump
mkdir -p "$work"

allowed='^(ks_[a-z_0-9]+|__aeabi_(idiv|idivmod|uidiv|uidivmod|lasr|llsl|llsr|lmul|ulcmp))$'
status=0
for variant in FULL CMD BASIC; do
	obj="$work/accel_$variant.o"
	$cxx -std=gnu++11 -ffreestanding -fno-exceptions -fno-rtti -nostdinc++ \
		-fno-threadsafe-statics -fno-asynchronous-unwind-tables -fno-unwind-tables \
		-mfloat-abi=soft -march=armv7-a -marm -O2 -pedantic-errors -Wall -Wextra -Werror \
		-I"$src/kernel" -DACCEL_VARIANT_$variant -c "$src/accel/accel.cpp" -o "$obj"
	foreign=$($nm -u "$obj" | awk '{print $2}' | grep -Ev "$allowed" || true)
	if [ -n "$foreign" ]; then
		echo "accel $variant: symbols the kernel does not provide:" $foreign
		status=1
	fi
	if $objdump -h "$obj" | grep -Eq '\.(init_array|ctors)'; then
		echo "accel $variant: static constructors"
		status=1
	fi
	[ $status -eq 0 ] && echo "accel $variant: only kernel services used"
done
exit $status
