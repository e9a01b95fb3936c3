#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The image carries one build of the drivers: the very files the module
# checks test against the series (kernel/linux), and no other module; the
# fabric's UIO driver where the kernel has UIO, with Linux's UIO core.
# usage: image_modules.sh BUILD_DIR SERIES
set -eu
build=$1 series=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
built=$build/kernel/linux/$series

(cd "$work" && cpio --quiet -id 'modules/*.ko' <"$build/vboard/image-$series/initrd.cpio")
names=$(cd "$work/modules" && find . -maxdepth 1 -name '*.ko' | sed 's|^\./||' |
	LC_ALL=C sort | tr '\n' ' ')
fail=0
want="accel.ko accel_basic.ko accel_cmd.ko panelio.ko "
if [ -e "$built/fabric_uio.ko" ]; then
	want="accel.ko accel_basic.ko accel_cmd.ko fabric_uio.ko panelio.ko "
	(cd "$work" && cpio --quiet -id 'modules/kernel/drivers/uio/uio.ko' \
		<"$build/vboard/image-$series/initrd.cpio")
	[ -s "$work/modules/kernel/drivers/uio/uio.ko" ] || {
		echo "FAIL: no uio.ko beside fabric_uio.ko"
		fail=1
	}
fi
if [ "$names" != "$want" ]; then
	echo "FAIL: modules in the image: $names"
	fail=1
fi
for ko in "$work"/modules/*.ko; do
	cmp -s "$ko" "$built/${ko##*/}" || {
		echo "FAIL: ${ko##*/} differs from $built/${ko##*/}"
		fail=1
	}
done
exit "$fail"
