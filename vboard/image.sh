#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the virtual board's boot image for one kernel: the kernel (a series,
# or a kernel folder of one's own: scripts/fetch-kernel.sh) and an initramfs
# with busybox, the driver modules, the board tool and the console programs;
# and the QEMU that boots it (scripts/build-qemu.sh). Module and program
# builds are incremental.
#
# usage: image.sh KERNEL BUILD_DIR
#
# NAME is the series, or own-RELEASE for a kernel folder. The modules are the
# board build, the very files the module checks test:
#   BUILD_DIR/kernel/linux/NAME/   accel*.ko, panelio.ko
# In BUILD_DIR/vboard:
#   guest/                   static armhf programs for the image
#   image-NAME/              kernel (the boot image), initrd.cpio, release,
#                            series: what run boots; id: a hash of the kernel
#                            and the initramfs, which name the machines saved
#                            from them (vboard/run). The initramfs is packed
#                            reproducibly (file times zeroed, inodes numbered
#                            anew), so an image built again from the same
#                            files is the same image.
#                            kernel-name: the KERNEL it was built for
set -eu

kernel=$1
mkdir -p "$2/vboard"
build=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
cache=$build/vboard
fetch=$root/scripts/fetch-kernel.sh
name=$("$fetch" "$kernel" name)
modules=$build/kernel/linux/$name
image=$cache/image-$name
guest=$cache/guest
programs=$here/guest/programs
jobs=${JOBS:--j2}

CROSS=${CROSS:-arm-linux-gnueabihf-}

# Guest programs are static armhf binaries, shared by every kernel; rebuilt
# when a source, a header of terminal/, of the guest's programs or of
# examples/fabric/, the control page's layout or the record's is newer.
# usage: cross OUTPUT COMPILER [FLAG...] SOURCE...
cross() {
	out=$1 cc=$2
	shift 2
	if [ -x "$out" ]; then
		stale=
		for src in "$@" "$root"/terminal/*.h "$programs"/*.h "$root"/examples/fabric/*.h \
			"$here/qemu/control_page.h" "$root/accel/record_format.h"; do
			case $src in -*) continue ;; esac # a compiler option
			[ -n "$(find "$src" -newer "$out")" ] && stale=1
		done
		[ -z "$stale" ] && return 0
	fi
	echo "image.sh: building $(basename "$out") for the board"
	"$CROSS$cc" -static -O2 -Wall -Wextra -Werror -o "$out.tmp" "$@"
	"${CROSS}strip" "$out.tmp"
	mv "$out.tmp" "$out"
}

build_guest_programs() {
	mkdir -p "$guest"
	rm -f "$guest/programs"
	cross "$guest/mailbox" gcc -std=gnu11 -I"$here/qemu" "$programs/mailbox.c"
	echo mailbox >>"$guest/programs"
	cross "$guest/board" gcc -std=gnu11 -I"$here/qemu" "$programs/board.c"
	echo board >>"$guest/programs"
	cross "$guest/readrate" gcc -std=gnu11 -I"$root/accel" "$programs/readrate.c"
	echo readrate >>"$guest/programs"
	cross "$guest/panelfeed" gcc -std=gnu11 -I"$here/qemu" -I"$root/accel" "$programs/panelfeed.c"
	echo panelfeed >>"$guest/programs"
	cross "$guest/memaccess" gcc -std=gnu11 "$programs/memaccess.c"
	echo memaccess >>"$guest/programs"
	cross "$guest/busloop" gcc -std=gnu11 "$programs/busloop.c"
	echo busloop >>"$guest/programs"
	# The fabric's walk-through: its example's program.
	cross "$guest/fabtimer" gcc -std=gnu11 "$root/examples/fabric/fabtimer.c"
	echo fabtimer >>"$guest/programs"
	cross "$guest/modsections" gcc -std=gnu11 -I"$here/qemu" "$programs/modsections.c"
	echo modsections >>"$guest/programs"
	canvas=
	for src in "$root"/terminal/*.cpp; do
		case $(basename "$src") in
		linefan.cpp | linebounce.cpp) ;;
		*) canvas="$canvas $src" ;;
		esac
	done
	for program in linefan linebounce; do
		# shellcheck disable=SC2086 # one word per source file
		cross "$guest/$program" g++ -std=c++17 -I"$root/terminal" \
			"$root/terminal/$program.cpp" $canvas
		echo "$program" >>"$guest/programs"
	done
}

# /dev/console as a node in the archive, so that the kernel finds it before
# devtmpfs is mounted: cpio can only archive nodes that exist, and creating
# them needs privileges.
device_nodes() {
	PYTHONPATH=$here /usr/bin/python3 -S -m boardio.newc --node dev/console 020600 5 1
}

pack_initramfs() {
	stage=$image/root
	rm -rf "$stage"
	mkdir -p "$stage"
	(cd "$stage" && mkdir -p bin sbin dev proc sys tmp etc lib modules vboard root)
	cp "$busybox" "$stage/bin/busybox"
	ln -s busybox "$stage/bin/sh"
	link_applets "$stage/bin"
	cp "$here/guest/init" "$stage/init"
	chmod 755 "$stage/init"
	cp "$here/guest/profile" "$stage/etc/profile"
	cp "$here/guest/fstab" "$stage/etc/fstab"
	mkdir -p "$stage/lib/vboard"
	cp "$here/guest/tests/lib.sh" "$stage/lib/vboard/testlib.sh"
	cp "$here/guest/board.help" "$stage/lib/vboard/board.help"
	cp "$here/guest/work" "$stage/lib/vboard/work"
	while read -r program; do
		cp "$guest/$program" "$stage/bin/$program"
	done <"$guest/programs"
	found=
	for ko in "$modules"/*.ko; do
		[ -e "$ko" ] || continue
		cp "$ko" "$stage/modules/"
		found="$found $(basename "$ko" .ko)"
	done
	echo "image.sh: modules in the $name image:${found:- none}"
	# shellcheck disable=SC2086 # one word per module
	[ "$kernel" != 6.12 ] || linux_modules "$stage/modules" $LINUX_MODULES
	# The UIO core for the fabric's UIO driver (Debian builds it as a
	# module), where that driver was built.
	[ ! -e "$modules/fabric_uio.ko" ] || linux_modules "$stage/modules" uio
	# The module index, so that modinfo and modprobe work as on any system.
	release=$(cat "$image/release")
	mkdir -p "$stage/lib/modules"
	ln -s ../../modules "$stage/lib/modules/$release"
	kmods=$("$fetch" "$kernel" modules)
	cp "$kmods/modules.builtin" "$stage/modules/"
	# Kernels before 5.2 have no modules.builtin.modinfo.
	[ ! -f "$kmods/modules.builtin.modinfo" ] ||
		cp "$kmods/modules.builtin.modinfo" "$stage/modules/"
	"$here/panel/image.sh" "$stage" "$kmods" "$image/panel"
	(cd "$stage/modules" && find . -maxdepth 1 -name '*.ko' | sed 's|^\./||' | LC_ALL=C sort) \
		>"$stage/modules/modules.order"
	step "$image/depmod.log" "$(command -v depmod || echo /sbin/depmod)" \
		-b "$stage" "$release"

	# Uncompressed: inflating it under emulation would cost every boot a
	# third of a second.
	find "$stage" -exec touch -h -d @0 {} +
	(cd "$stage" && find . -mindepth 1 | LC_ALL=C sort |
		cpio --quiet -o -H newc --owner=0:0 --reproducible) >"$image/initrd.cpio.tmp"
	device_nodes >>"$image/initrd.cpio.tmp"
	replace_if_changed "$image/initrd.cpio.tmp" "$image/initrd.cpio"
	rm -rf "$stage" "$image/initrd.gz"
}

# Moves $1 to $2 unless $2 has the same bytes: a file left alone keeps its
# time, and what is made from it (the image's id) stays valid.
replace_if_changed() {
	if cmp -s "$1" "$2"; then
		rm -f "$1"
	else
		mv "$1" "$2"
	fi
}

# Linux's own modules from the kernel's package, with what they depend on
# (modinfo), unpacked under modules/kernel/ as the package lays them out.
# Its drivers for the board's devices go to the 6.12 image only: the guest
# tests that use them run there. They are loaded only when asked (modprobe):
# Linux's controller driver and accel must never be loaded together, both
# drive I2C controller 0.
# usage: linux_modules DEST MODULE...
LINUX_MODULES="i2c-designware-platform i2c-dev adxl34x-i2c evdev"
linux_modules() {
	dest=$1
	shift
	kmods=$("$fetch" "$kernel" modules)
	todo=$* done=
	while [ -n "$todo" ]; do
		# shellcheck disable=SC2086 # one word per module
		set -- $todo
		[ $# -gt 0 ] || break
		mod=$1
		shift
		todo=$*
		case " $done " in *" $mod "*) continue ;; esac
		done="$done $mod"
		file=$(find "$kmods/kernel" -name "$mod.ko*" | head -n 1)
		[ -n "$file" ] || {
			grep -q "/$mod.ko\$" "$kmods/modules.builtin" && continue
			echo "image.sh: Linux module $mod not in $kmods" >&2
			exit 1
		}
		rel=${file#"$kmods"/}
		mkdir -p "$dest/$(dirname "$rel")"
		case $file in
		*.xz) xz -dc "$file" >"$dest/${rel%.xz}" ;;
		*) cp "$file" "$dest/$rel" ;;
		esac
		todo="$todo $(modinfo -F depends "$file" | tr ',' ' ')"
	done
	echo "image.sh: Linux's modules in the $name image:$done"
}

# Links busybox's applets in folder $1, as `busybox --install -s` does, so
# that /init need not (a tenth of a second of every boot under emulation).
# The names come from the binary's own applet table: its sorted,
# NUL-separated list that begins "[", "[[". Where that table is not found as
# expected, /init installs them itself.
link_applets() {
	/usr/bin/python3 - "$busybox" "$1" <<'PY'
import os, sys
data = open(sys.argv[1], "rb").read()
start = data.find(b"[\0[[\0")
names = data[start:data.find(b"\0\0", start)].decode("ascii", "replace").split("\0")
if start < 0 or names != sorted(names) or not {"sh", "mount", "ls"} <= set(names):
    sys.exit("image.sh: no applet table in busybox; /init links the applets")
for name in names:
    link = os.path.join(sys.argv[2], name)
    if name != "busybox" and not os.path.lexists(link):
        os.symlink("busybox", link)
PY
}

# Runs a build step quietly, showing its log when it fails.
# usage: step LOG COMMAND...
step() {
	log=$1
	shift
	"$@" >"$log" 2>&1 || {
		cat "$log" >&2
		echo "image.sh: failed: $*" >&2
		exit 1
	}
}

build_modules() {
	mkdir -p "$modules"
	step "$cache/modules-$name.log" "$root/kernel/linux/build-modules.sh" \
		"$kernel" "$modules" "$jobs"
}

# One build of the image at a time: run and the tests may start together.
exec 9>"$cache/.image.lock"
flock 9

build_modules
mkdir -p "$image"
rm -f "$image/vmlinuz"
cp "$("$fetch" "$kernel" boot)" "$image/kernel.tmp"
replace_if_changed "$image/kernel.tmp" "$image/kernel"
"$fetch" "$kernel" release >"$image/release"
"$fetch" "$kernel" series >"$image/series"
# What the kernel was named by, so that vboard/debug finds its symbols.
echo "$kernel" >"$image/kernel-name"
busybox=$("$fetch" busybox)
build_guest_programs
pack_initramfs
if [ ! -s "$image/id" ] ||
	[ -n "$(find "$image/kernel" "$image/initrd.cpio" -newer "$image/id")" ]; then
	cat "$image/kernel" "$image/initrd.cpio" | sha256sum | cut -c1-32 >"$image/id"
fi
"$root/scripts/build-qemu.sh" >/dev/null
