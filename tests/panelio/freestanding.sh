#!/bin/sh
# Compiles the panelio driver for the board's kernel and checks that nothing
# outside the kernel creeps in: no library call, no static constructor, no
# symbol but the kernel services and the integer-division helpers the kernel
# exports.
# Usage: freestanding.sh SOURCE_DIR WORK_DIR
set -eu
src=$1
work=$2
mkdir -p "$work"
obj="$work/panelio.o"

arm-linux-gnueabihf-g++ -std=gnu++11 -ffreestanding -fno-exceptions -fno-rtti -nostdinc++ \
	-fno-threadsafe-statics -fno-asynchronous-unwind-tables -fno-unwind-tables \
	-mfloat-abi=soft -march=armv7-a -marm -O2 -pedantic-errors -Wall -Wextra -Werror \
	-I"$src/kernel" -c "$src/panelio/panelio.cpp" -o "$obj"

allowed='^(ks_[a-z_0-9]+|__aeabi_(idiv|idivmod|uidiv|uidivmod|lasr|llsl|llsr|lmul|ulcmp))$'
foreign=$(arm-linux-gnueabihf-nm -u "$obj" | awk '{print $2}' | grep -Ev "$allowed" || true)
if [ -n "$foreign" ]; then
	echo "panelio: symbols the kernel does not provide:" $foreign
	exit 1
fi
if arm-linux-gnueabihf-objdump -h "$obj" | grep -Eq '\.(init_array|ctors)'; then
	echo "panelio: static constructors"
	exit 1
fi
echo "panelio: only kernel services used"
