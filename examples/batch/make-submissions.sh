#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Makes the example batch's three submissions of the accel module, in
# submissions/ beside this script:
#   good            the project's own build (accel.ko and panelio.ko)
#   wrong-records   an accel whose reads return records of the wrong form
#   oops            an accel that oopses as it loads
# The two bad ones are the deliberately broken module of boardio check's
# tests (vboard/tests/check/), built against Debian's 6.1 kernel headers.
#
# usage: make-submissions.sh [BUILD]    (BUILD: the build folder, default build/)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
built=$build/kernel/linux/6.1
for module in accel.ko panelio.ko; do
	[ -f "$built/$module" ] || {
		echo "make-submissions.sh: no $built/$module: build the project first (./run or ./test)" >&2
		exit 1
	}
done
headers=$("$root/scripts/fetch-kernel.sh" 6.1 headers)
out=$here/submissions
rm -rf "$out"
mkdir -p "$out/good"
cp "$built/accel.ko" "$built/panelio.ko" "$out/good/"
for fault in RECORD OOPS; do
	case $fault in
	RECORD) name=wrong-records ;;
	OOPS) name=oops ;;
	esac
	source=$out/.source-$name
	cp -r "$root/vboard/tests/check" "$source"
	make -s -C "$headers" M="$source" ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf- \
		FAULT="$fault" modules >/dev/null
	mkdir -p "$out/$name"
	cp "$source/accel.ko" "$out/$name/"
	rm -rf "$source"
done
echo "submissions in $out: good, wrong-records, oops"
