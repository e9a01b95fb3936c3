#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# A kernel of one's own: both kernel-folder layouts resolve to their image,
# build tree and release, and the virtual board builds the modules against a
# built kernel tree and boots it with them (vboard/run --kernel-dir). The
# kernel is the 3.18 one, laid out as the tree a kernel build leaves.
# usage: kernel_dir.sh RUN BUILD_DIR
set -eu
run=$1 build=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
fetch=$root/scripts/fetch-kernel.sh
fail=0
expect() {
	[ "$2" = "$3" ] || {
		echo "FAIL: $1: got '$2', expected '$3'"
		fail=1
	}
}

# A built tree: the module build tree with arch/arm/boot/zImage in it, kept
# in the build folder so that the modules built against it stay built.
tree=$build/vboard/own-kernel
if [ ! -f "$tree/arch/arm/boot/zImage" ]; then
	rm -rf "$tree"
	mkdir -p "$tree"
	cp -rs "$("$fetch" 3.18 headers)/." "$tree/"
	mkdir -p "$tree/arch/arm/boot"
	cp "$BOARDIO_LINUX_3_18/zImage" "$tree/arch/arm/boot/zImage"
fi
release=$("$fetch" 3.18 release)

for dir in "$tree" "$BOARDIO_LINUX_3_18"; do
	expect "release of $dir" "$("$fetch" "$dir" release)" "$release"
	expect "series of $dir" "$("$fetch" "$dir" series)" 3.18
	expect "name of $dir" "$("$fetch" "$dir" name)" "own-$release"
	expect "boot image of $dir" "$(mkimage -l "$("$fetch" "$dir" boot)" |
		sed -n 's/^Image Name: *//p')" "Linux $release"
done
expect "build tree of the built tree" "$("$fetch" "$tree" headers)" "$tree"

if "$fetch" "$build/no-such-kernel" release 2>/dev/null; then
	echo "FAIL: a folder that is no kernel folder was taken"
	fail=1
fi

"$run" --build "$build" --kernel-dir "$tree" --timeout 300 --cold \
	--script "$root/vboard/guest/tests/boot.sh" || fail=1
exit "$fail"
