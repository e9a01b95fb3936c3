#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the virtual board's qemu-system-arm from Debian's own QEMU source
# package, with the board's devices (vboard/qemu/ and the device models in
# models/) added, and prints the path of the binary.
#
#   scripts/build-qemu.sh            build what changed, print the binary
#   scripts/build-qemu.sh --path     print the binary as it is, build nothing
#   scripts/build-qemu.sh --source   print the unpacked source tree (its
#                                    scripts/qmp/ are QEMU's QMP clients)
#   scripts/build-qemu.sh --version  the Debian source version in use
#
# The source version is resolved once, from bookworm and its security
# updates, with private apt state (deb-src lines only); the package is
# unpacked with dpkg-source, so Debian's patches apply. Only the arm-softmmu
# target is built, with the virt machine's devices and nothing optional.
#
# Cache, shared by every clone on the machine:
#   $BOARDIO_CACHE/qemu (default ${XDG_CACHE_HOME:-$HOME/.cache}/boardio/qemu)
#   apt/           private apt state
#   source         resolved source version
#   VERSION/src    the unpacked source tree, the board's devices copied in
#                  and the project's patches to QEMU (vboard/qemu-patches/)
#                  applied; src/.boardio-patches/ holds the ones applied
#   VERSION/build  the build tree; VERSION/stamp hashes what it was built from
# The project's files are copied into the tree only where their content
# differs, so that a change to a model recompiles that model alone and a
# second clone with the same sources rebuilds nothing; when the stamp matches,
# not even ninja runs. Progress goes to stderr.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
cache=${BOARDIO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/boardio}/qemu

log() {
	echo "build-qemu: $*" >&2
}

apt_dir=$cache/apt
apt_arch=
apt_sources="deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm-updates main
deb-src http://deb.debian.org/debian-security bookworm-security main"
. "$top/scripts/private-apt.sh"

# The version apt-get source would fetch, without its epoch.
resolve() {
	if [ ! -s "$cache/source" ]; then
		apt_update
		# shellcheck disable=SC2046 # apt_opts prints one option a word
		dsc=$(apt-get $(apt_opts) --print-uris source qemu 2>/dev/null |
			awk '$2 ~ /^qemu_.*\.dsc$/ { print $2 }')
		version=${dsc#qemu_}
		version=${version%.dsc}
		[ -n "$version" ] || {
			log "no qemu source package found"
			exit 1
		}
		echo "$version" >"$cache/source"
		log "QEMU source is Debian's $version"
	fi
	version=$(cat "$cache/source")
	dir=$cache/$version
}

fetch_source() {
	[ -d "$dir/src" ] && return 0
	apt_update
	rm -rf "$dir/dl" "$dir/src.tmp"
	mkdir -p "$dir/dl"
	log "downloading the qemu source package $version"
	# shellcheck disable=SC2046 # apt_opts prints one option a word
	if ! (cd "$dir/dl" && apt-get $(apt_opts) source --download-only "qemu=1:$version" >&2 ||
		apt-get $(apt_opts) source --download-only "qemu=$version" >&2); then
		log "download failed; a version that left the archive is resolved" \
			"anew once $cache/source is removed"
		exit 1
	fi
	dpkg-source --no-copy -x "$dir/dl/qemu_$version.dsc" "$dir/src.tmp" >"$dir/dl/unpack.log" 2>&1 || {
		cat "$dir/dl/unpack.log" >&2
		exit 1
	}
	rm -rf "$dir/dl"
	# The QMP library's bytecode, once: scripts/board and the tests start a
	# client for each command, and where Python may not write it
	# (PYTHONDONTWRITEBYTECODE) compiling the library again took a third
	# of each start.
	/usr/bin/python3 -m compileall -q "$dir/src.tmp/python/qemu" >/dev/null
	mv "$dir/src.tmp" "$dir/src"
}

# Copies $1 to $2 when their contents differ; the copy keeps its timestamp
# otherwise, so ninja sees no change.
sync_file() {
	cmp -s "$1" "$2" && return 0
	mkdir -p "$(dirname "$2")"
	cp "$1" "$2.tmp" && mv "$2.tmp" "$2"
}

# The project's part of the tree: the device code, the models, the fabric's C
# interface, the devices file, and one line in hw/meson.build that reaches
# them.
sync_project() {
	dest=$dir/src/hw/boardio
	for f in "$top"/vboard/qemu/*; do
		sync_file "$f" "$dest/${f##*/}"
	done
	for f in "$top"/models/*.cpp "$top"/models/*.h; do
		sync_file "$f" "$dest/models/${f##*/}"
	done
	sync_file "$top/vboard/fabric/fabric_abi.h" "$dest/fabric_abi.h"
	for f in "$dest"/* "$dest"/models/*; do
		[ -f "$f" ] || continue
		case $f in
		"$dest"/models/*) [ -e "$top/models/${f##*/}" ] ;;
		"$dest"/fabric_abi.h) ;;
		*) [ -e "$top/vboard/qemu/${f##*/}" ] ;;
		esac || rm -f "$f"
	done
	sync_file "$top/vboard/qemu/devices.mak" \
		"$dir/src/configs/devices/arm-softmmu/boardio.mak"
	grep -qx "subdir('boardio')" "$dir/src/hw/meson.build" ||
		echo "subdir('boardio')" >>"$dir/src/hw/meson.build"
}

# The project's patches to QEMU itself, each applied once. One that was
# applied but is gone from the project, or changed since, is reversed first,
# so that the shared tree always matches the clone that builds.
sync_patches() {
	applied=$dir/src/.boardio-patches
	mkdir -p "$applied"
	for p in "$applied"/*.patch; do
		[ -f "$p" ] || continue
		cmp -s "$p" "$top/vboard/qemu-patches/${p##*/}" && continue
		log "reversing ${p##*/}"
		patch -d "$dir/src" -p1 -R -s -f <"$p" >&2 || exit 1
		rm -f "$p"
	done
	for p in "$top"/vboard/qemu-patches/*.patch; do
		{ [ -f "$p" ] && [ ! -f "$applied/${p##*/}" ]; } || continue
		log "applying ${p##*/}"
		patch -d "$dir/src" -p1 -N -s -f <"$p" >&2 || exit 1
		cp "$p" "$applied/"
	done
}

configure_opts="--target-list=arm-softmmu --without-default-features
 --without-default-devices --with-devices-arm=boardio --enable-fdt=system
 --enable-tcg --disable-docs --disable-tools --disable-debug-info
 --disable-werror --meson=/usr/bin/meson"

# What the binary is built from: the source version, the options and the
# project's files that reach the tree.
stamp() {
	{
		echo "$version $configure_opts"
		cat "$top"/vboard/qemu/* "$top"/vboard/qemu-patches/* "$top"/models/*.cpp \
			"$top"/models/*.h "$top"/vboard/fabric/fabric_abi.h
	} | sha256sum | cut -d' ' -f1
}

build() {
	# A tree configured with other options is configured afresh.
	if [ "$(cat "$dir/build/configure.opts" 2>/dev/null)" != "$configure_opts" ]; then
		rm -rf "$dir/build"
	fi
	mkdir -p "$dir/build"
	if [ ! -f "$dir/build/build.ninja" ]; then
		log "configuring QEMU $version (arm-softmmu, virt and the board; the first build takes minutes)"
		# shellcheck disable=SC2086 # one word per configure option
		(cd "$dir/build" && PATH=/usr/bin:$PATH ../src/configure $configure_opts >configure.log 2>&1) || {
			tail -30 "$dir/build/configure.log" >&2
			rm -f "$dir/build/build.ninja"
			exit 1
		}
		echo "$configure_opts" >"$dir/build/configure.opts"
	fi
	log "building qemu-system-arm"
	ninja -C "$dir/build" -j"${QEMU_JOBS:-2}" qemu-system-arm >"$dir/build/ninja.log" 2>&1 || {
		tail -40 "$dir/build/ninja.log" >&2
		exit 1
	}
}

mode=${1:-build}
case $mode in
build | --path | --source | --version) ;;
*)
	sed -n '3,/^set -eu/{/^set -eu/d;s/^# \{0,1\}//;p}' "$0" >&2
	exit 2
	;;
esac

# What is there already needs no lock: a build in progress never replaces
# the source tree, and ninja replaces the binary in one step.
if [ "$mode" != build ] && [ -s "$cache/source" ]; then
	resolve
	case $mode in
	--version) echo "$version" ;;
	--source) [ -d "$dir/src" ] && echo "$dir/src" ;;
	--path) [ -x "$dir/build/qemu-system-arm" ] && echo "$dir/build/qemu-system-arm" ;;
	esac || {
		log "QEMU is not built yet (run scripts/build-qemu.sh)"
		exit 1
	}
	exit 0
fi
[ "$mode" = --path ] && {
	log "QEMU is not built yet (run scripts/build-qemu.sh)"
	exit 1
}

mkdir -p "$cache"
# One build at a time per cache: clones and parallel tests share it.
exec 9>"$cache/.lock"
flock 9
resolve
case $mode in
--version)
	echo "$version"
	exit 0
	;;
--source)
	fetch_source
	echo "$dir/src"
	exit 0
	;;
esac

binary=$dir/build/qemu-system-arm
want=$(stamp)
if [ ! -x "$binary" ] || [ "$(cat "$dir/stamp" 2>/dev/null)" != "$want" ]; then
	fetch_source
	sync_project
	sync_patches
	rm -f "$dir/stamp"
	build
	echo "$want" >"$dir/stamp"
fi
echo "$binary"
