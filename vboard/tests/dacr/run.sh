#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the bare DACR test image (dacr.c) and runs it on the board's
# machine, its report on stderr through semihosting: exit status 0 when
# every check passed.
# usage: run.sh QEMU_BINARY
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
arm-linux-gnueabihf-gcc -std=gnu11 -O2 -Wall -Wextra -Werror -marm -march=armv7-a+fp \
	-mgeneral-regs-only -ffreestanding -fno-pic -fno-stack-protector -nostdlib -static \
	-Wl,--build-id=none -T "$here/link.ld" "$here/start.S" "$here/dacr.c" -o "$work/dacr.elf"
timeout 60 "$1" -M vboard -cpu cortex-a15 -m 256M -nic none -display none -monitor none \
	-serial none -semihosting-config enable=on,target=native -kernel "$work/dacr.elf"
