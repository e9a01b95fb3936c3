#!/bin/sh
# Builds the device models for 32-bit ARM as freestanding kernel code and
# checks that they need nothing from outside but what the kernel exports.
# Usage: cross_check.sh SOURCE_ROOT WORK_DIR
set -eu
root=$1
work=$2
cxx=arm-linux-gnueabihf-g++
mkdir -p "$work"
rm -f "$work"/*.o

for src in "$root"/models/*.cpp; do
	obj="$work/$(basename "$src" .cpp).o"
	$cxx -std=gnu++11 -ffreestanding -fno-exceptions -fno-rtti -nostdinc++ \
		-fno-threadsafe-statics -mgeneral-regs-only -O2 -Wall -Wextra -Werror \
		-I "$root" -c "$src" -o "$obj"
done

arm-linux-gnueabihf-ld -r -o "$work/models.o" $(ls "$work"/*.o | grep -v '/models.o$')
# The kernel provides memset, memcpy and the 32-bit division helpers; it has
# no 64-bit division, C++ runtime or C library.
bad=$(arm-linux-gnueabihf-nm -u "$work/models.o" | awk '{print $2}' |
	grep -v -x -e memset -e memcpy -e memmove \
		-e __aeabi_uidiv -e __aeabi_uidivmod -e __aeabi_idiv -e __aeabi_idivmod \
		-e __aeabi_llsl -e __aeabi_llsr -e __aeabi_lasr -e __aeabi_lmul || true)
if [ -n "$bad" ]; then
	echo "models need symbols a kernel module cannot have:" $bad
	exit 1
fi
echo "models build freestanding for ARM; undefined symbols:" \
	$(arm-linux-gnueabihf-nm -u "$work/models.o" | awk '{print $2}')
