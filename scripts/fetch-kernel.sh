#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Fetches the ARMv7 kernels the modules are built for and the virtual board
# boots, into a cache folder, and prints where they are. Nothing is installed
# on the machine.
#
#   scripts/fetch-kernel.sh KERNEL headers   kernel build tree to pass as KDIR
#   scripts/fetch-kernel.sh KERNEL release   kernel release, e.g. 6.1.0-57-armmp
#   scripts/fetch-kernel.sh KERNEL image     the kernel image as it came
#   scripts/fetch-kernel.sh KERNEL boot      the image the virtual board boots
#   scripts/fetch-kernel.sh KERNEL modules   the kernel's own modules (or, for a
#                                            kernel folder, its build tree,
#                                            which holds modules.builtin)
#   scripts/fetch-kernel.sh KERNEL series    major.minor of its release
#   scripts/fetch-kernel.sh KERNEL name      what build folders call it: the
#                                            series, or own-RELEASE
#   scripts/fetch-kernel.sh KERNEL vmlinux   the kernel with its symbols, for a
#                                            debugger, where at hand (never
#                                            fetched; status 1, and why, where
#                                            not)
#   scripts/fetch-kernel.sh KERNEL debug     the same, fetched where it can be:
#                                            Debian's linux-image-RELEASE-dbg
#                                            (600 to 750 MB to download, of
#                                            which only the vmlinux is kept)
#   scripts/fetch-kernel.sh busybox          a static armhf busybox binary
#
# KERNEL is a series or a kernel folder (a path, with a slash in it):
#   6.1, 6.12  Debian's armhf armmp kernel packages of bookworm (6.12 from its
#              security and backports suites), fetched with apt and private
#              state, for armhf and amd64 (the host tools). The exact version
#              is resolved from the series' meta-package when the cache has
#              none, as exact versions leave the archive; headers and image
#              of one series are always the same version. A filled cache is
#              used as it is, without network.
#   3.18       the board's own series, which no archive carries: the kernel
#              folder named by BOARDIO_LINUX_3_18.
#   DIR        a kernel folder: a kernel image for QEMU's virt machine and a
#              module build tree, either
#                DIR/zImage with DIR/build/ (the tree) or one packed
#                DIR/*-build.tar.xz (unpacked into the cache), or
#                a built kernel tree: DIR/arch/arm/boot/zImage, DIR the tree.
#
# The boot image: a zImage decompresses itself under emulation, which takes
# Debian's XZ kernels most of their boot; so the kernel inside is taken out
# once on the host and wrapped as an uncompressed uImage loaded where the
# kernel runs (RAM base of the virt machine plus the kernel's TEXT_OFFSET,
# from its own arch/arm/Makefile and configuration). Kernels compressed
# otherwise than with XZ or gzip boot as they came.
#
# Cache: $KERNEL_CACHE, default $BOARDIO_CACHE/kernels (BOARDIO_CACHE defaults
# to ~/.cache/boardio, or $XDG_CACHE_HOME/boardio), shared by every clone:
#   apt/                     private apt state (sources, lists, downloads)
#   SERIES/package           resolved headers package name and version
#   SERIES/VERSION/headers/  headers, common headers and host tools, unpacked
#   SERIES/VERSION/image/    kernel image package, unpacked
#   SERIES/VERSION/boot/     the boot image made from it
#   SERIES/VERSION/debug/    vmlinux from the -dbg package, when asked for
#   SERIES/RELEASE/          a kernel folder's packed tree, unpacked (tree/),
#                            and boot images (boot-HASH/), HASH the image's
#   busybox-VERSION/         busybox-static, unpacked
# Removing the folder is always safe: what is missing is fetched again.
# Progress goes to stderr; stdout carries only the path asked for.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
cache=${KERNEL_CACHE:-${BOARDIO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/boardio}/kernels}

usage() {
	sed -n '3,/^set -eu/{/^set -eu/d;s/^# \{0,1\}//;p}' "$0" >&2
	exit 2
}

log() {
	echo "fetch-kernel: $*" >&2
}

meta_package() {
	case $1 in
	6.1) echo linux-headers-armmp ;;
	6.12) echo linux-headers-6.12-armmp ;;
	*)
		log "unknown kernel series '$1' (known: 6.1, 6.12)"
		exit 2
		;;
	esac
}

apt_dir=$cache/apt
apt_arch="-o APT::Architecture=armhf -o APT::Architectures=armhf,amd64"
apt_sources="deb [arch=armhf,amd64] http://deb.debian.org/debian bookworm main
deb [arch=armhf,amd64] http://deb.debian.org/debian bookworm-updates main
deb [arch=armhf,amd64] http://deb.debian.org/debian-security bookworm-security main
deb [arch=armhf,amd64] http://deb.debian.org/debian bookworm-backports main"
. "$top/scripts/private-apt.sh"

# The version apt would install of package $1.
candidate() {
	# shellcheck disable=SC2046 # apt_opts prints one option a word
	apt-cache $(apt_opts) policy "$1" | awk '$1 == "Candidate:" { print $2 }'
}

# Field $2 of package $1 at version $3.
pkg_field() {
	# shellcheck disable=SC2046 # apt_opts prints one option a word
	apt-cache $(apt_opts) show "$1=$3" 2>/dev/null |
		awk -v f="$2:" '$1 == f { sub(/^[^:]*: */, ""); print; exit }'
}

# Downloads the packages named in $2.. into a fresh directory and unpacks
# them all into $1, which appears only once complete.
unpack() {
	dest=$1
	shift
	rm -rf "$dest.tmp" "$dest.debs"
	mkdir -p "$dest.tmp" "$dest.debs"
	log "downloading $*"
	# shellcheck disable=SC2046 # apt_opts prints one option a word
	if ! (cd "$dest.debs" && apt-get $(apt_opts) download "$@" >&2); then
		log "download failed; a version that left the archive is resolved" \
			"anew once its series folder ($(dirname "$dest")) is removed"
		exit 1
	fi
	for deb in "$dest.debs"/*.deb; do
		dpkg-deb -x "$deb" "$dest.tmp"
	done
	rm -rf "$dest.debs"
	mv "$dest.tmp" "$dest"
}

# Resolves the series to one headers package and version, once.
resolve() {
	series=$1
	dir=$cache/$series
	if [ ! -s "$dir/package" ]; then
		meta=$(meta_package "$series")
		apt_update
		version=$(candidate "$meta")
		name=$(pkg_field "$meta" Depends "$version" | sed -n 's/^\(linux-headers-[^ ,]*\).*/\1/p')
		case $name in
		linux-headers-"$series".*-armmp) ;;
		*)
			log "$meta $version does not lead to a $series headers package ('$name')"
			exit 1
			;;
		esac
		mkdir -p "$dir"
		echo "$name $version" >"$dir/package"
		log "series $series is $name $version"
	fi
	read -r headers_pkg version <"$dir/package"
	release=${headers_pkg#linux-headers-}
}

fetch_headers() {
	resolve "$1"
	root=$dir/$version/headers
	if [ ! -d "$root" ]; then
		apt_update
		common=$(pkg_field "$headers_pkg" Depends "$version" |
			tr ',' '\n' | sed -n 's/^ *\(linux-headers-[^ ]*-common\) .*/\1/p')
		kbuild=$(pkg_field "$headers_pkg" Depends "$version" |
			tr ',' '\n' | sed -n 's/^ *\(linux-kbuild-[^ ]*\).*/\1/p')
		if [ -z "$common" ] || [ -z "$kbuild" ]; then
			log "cannot find the common headers or host tools of $headers_pkg"
			exit 1
		fi
		unpack "$root" "$headers_pkg=$version" "$common=$version" "$kbuild:amd64=$version"
		# The tree names its common half by its installed path.
		kdir=$root/usr/src/$headers_pkg
		sed -i "s|/usr/src/|$root/usr/src/|g" "$kdir/Makefile"
	fi
	kdir=$root/usr/src/$headers_pkg
	[ -f "$kdir/Module.symvers" ] || {
		log "incomplete headers in $root; remove it and run again"
		exit 1
	}
}

fetch_image() {
	resolve "$1"
	root=$dir/$version/image
	[ -d "$root" ] || unpack "$root" "linux-image-$release=$version"
}

# The kernel with its symbols from Debian's -dbg package: only its vmlinux
# is unpacked and kept (the package's modules' debug files are not).
fetch_debug() {
	resolve "$1"
	root=$dir/$version/debug
	[ -f "$root/vmlinux" ] && return 0
	apt_update
	rm -rf "$root.tmp"
	mkdir -p "$root.tmp"
	package=linux-image-$release-dbg
	log "downloading $package $version ($(pkg_field "$package" Size "$version") bytes;" \
		"only its vmlinux is kept)"
	# shellcheck disable=SC2046 # apt_opts prints one option a word
	if ! (cd "$root.tmp" && apt-get $(apt_opts) download "$package=$version" >&2); then
		log "download failed"
		exit 1
	fi
	dpkg-deb --fsys-tarfile "$root.tmp"/*.deb |
		tar -xO --wildcards "./usr/lib/debug/boot/vmlinux-$release" >"$root.tmp/vmlinux"
	[ -s "$root.tmp/vmlinux" ] || {
		log "no usr/lib/debug/boot/vmlinux-$release in $package"
		exit 1
	}
	mkdir -p "$root"
	mv "$root.tmp/vmlinux" "$root/vmlinux"
	rm -rf "$root.tmp"
}

# The kernel with its symbols at hand: status 1, with the reason, where none.
vmlinux_of() {
	case $1 in
	6.1 | 6.12)
		resolve "$1"
		root=$dir/$version/debug
		[ -f "$root/vmlinux" ] && echo "$root/vmlinux" && return 0
		log "no symbols of Debian's $release at hand: 'scripts/fetch-kernel.sh $1" \
			"debug' fetches them (linux-image-$release-dbg, 600 to 750 MB)"
		return 1
		;;
	esac
	# A kernel folder: a built tree has its vmlinux beside the build tree.
	for file in "$folder/vmlinux" "$ktree/vmlinux"; do
		[ -f "$file" ] && echo "$file" && return 0
	done
	log "no vmlinux in $folder (a zImage and the module build tree only):" \
		"the kernel's own symbols are not at hand"
	return 1
}

fetch_busybox() {
	root=
	for done in "$cache"/busybox-*/bin/busybox; do
		case $done in *.tmp/* | *.debs/*) ;; *) [ -e "$done" ] && root=${done%/bin/busybox} ;; esac
	done
	if [ -z "$root" ]; then
		apt_update
		version=$(candidate busybox-static:armhf)
		root=$cache/busybox-${version#*:}
		unpack "$root" "busybox-static:armhf=$version"
	fi
}

# Kernel folders (3.18 and one's own). Sets kimage, ktree (the build tree),
# release and dir (its cache folder).
folder_of() {
	case $1 in
	3.18)
		[ -n "${BOARDIO_LINUX_3_18:-}" ] || {
			log "series 3.18 is in no package archive: set BOARDIO_LINUX_3_18" \
				"to a folder holding its zImage and linux-3.18-build.tar.xz"
			exit 3
		}
		echo "$BOARDIO_LINUX_3_18"
		;;
	*/*) echo "$1" ;;
	*)
		log "unknown kernel '$1' (a series: 6.1, 6.12, 3.18; or a kernel folder)"
		exit 2
		;;
	esac
}

# The release named in a build tree.
tree_release() {
	sed -n 's/^#define UTS_RELEASE "\(.*\)"$/\1/p' "$1/include/generated/utsrelease.h"
}

open_folder() {
	kernel=$1
	folder=$(folder_of "$kernel")
	[ -d "$folder" ] || {
		log "no kernel folder at '$folder'"
		exit 3
	}
	folder=$(cd "$folder" && pwd)
	if [ -f "$folder/arch/arm/boot/zImage" ] && [ -f "$folder/Module.symvers" ]; then
		kimage=$folder/arch/arm/boot/zImage ktree=$folder
	elif [ -f "$folder/zImage" ]; then
		kimage=$folder/zImage
		set -- "$folder"/*-build.tar.xz
		if [ -d "$folder/build" ]; then
			ktree=$folder/build
		elif [ $# -eq 1 ] && [ -f "$1" ]; then
			unpack_tree "$1"
		else
			log "$folder has no module build tree (build/ or one *-build.tar.xz)"
			exit 3
		fi
	else
		log "$folder is no kernel folder: no zImage, no arch/arm/boot/zImage" \
			"in a built tree (see scripts/fetch-kernel.sh)"
		exit 3
	fi
	{ [ -f "$ktree/Module.symvers" ] && [ -f "$ktree/.config" ]; } || {
		log "$ktree is no module build tree (no .config or Module.symvers)"
		exit 3
	}
	release=$(tree_release "$ktree")
	[ -n "$release" ] || {
		log "$ktree names no release (include/generated/utsrelease.h)"
		exit 3
	}
	case $kernel in
	3.18) case $release in 3.18.*) ;; *)
		log "BOARDIO_LINUX_3_18 holds release $release, not a 3.18"
		exit 3
		;;
	esac ;;
	esac
	dir=$cache/$(series_of "$release")/$release
}

# Unpacks a packed build tree once, under its release; packed anew when the
# archive changes.
unpack_tree() {
	sum=$(sha256sum "$1" | cut -d' ' -f1)
	# The release, from the archive alone, names the folder: read from it
	# once (decompressing it takes half a second, and every look-up of the
	# kernel comes here).
	known=$cache/archives/$sum.release
	if [ -s "$known" ]; then
		rel=$(cat "$known")
	else
		rel=$(tar -xJOf "$1" --wildcards '*/include/generated/utsrelease.h' |
			sed -n 's/^#define UTS_RELEASE "\(.*\)"$/\1/p')
		[ -n "$rel" ] || {
			log "$1 holds no include/generated/utsrelease.h"
			exit 3
		}
		mkdir -p "$cache/archives"
		echo "$rel" >"$known.$$" && mv "$known.$$" "$known"
	fi
	dest=$cache/$(series_of "$rel")/$rel
	if [ "$(cat "$dest/tree.sha256" 2>/dev/null)" != "$sum" ]; then
		log "unpacking $1"
		rm -rf "$dest/tree" "$dest/tree.tmp"
		mkdir -p "$dest/tree.tmp"
		tar -xJf "$1" -C "$dest/tree.tmp"
		mv "$dest/tree.tmp" "$dest/tree"
		echo "$sum" >"$dest/tree.sha256"
	fi
	set -- "$dest"/tree/*/Module.symvers
	ktree=${1%/Module.symvers}
	make_43_pound "$ktree"
}

# Kbuild before 4.20 escapes '#' in the commands it keeps in .cmd files as
# '\#' inside a make function, which GNU make 4.3 no longer reads as an
# escape: the kept command is cut at the '#', every build finds every
# command changed and compiles everything again. This copy of the tree
# takes the later kernels' way, a $(pound) variable.
make_43_pound() {
	inc=$1/scripts/Kbuild.include
	# shellcheck disable=SC2016 # make's variables, not the shell's
	old='make-cmd = $(call escsq,$(subst \#,\\\#,$(subst $$,$$$$,$(cmd_$(1)))))'
	grep -qxF "$old" "$inc" 2>/dev/null || return 0
	OLD=$old awk '$0 == ENVIRON["OLD"] {
		print "pound := \\#"
		print "make-cmd = $(call escsq,$(subst $(pound),$$(pound),$(subst $$,$$$$,$(cmd_$(1)))))"
		next
	} { print }' "$inc" >"$inc.$$" && mv "$inc.$$" "$inc"
}

series_of() {
	echo "$1" | sed -n 's/^\([0-9]*\.[0-9]*\).*/\1/p'
}

# TEXT_OFFSET as the kernel's own arch/arm/Makefile sets it for its
# configuration: its textofs lines (and the conditionals around them)
# evaluated by make with the tree's auto.conf.
text_offset() {
	tree=$1
	makefile=$tree/arch/arm/Makefile
	# Debian's headers keep it in the common half, which the tree's Makefile
	# includes.
	[ -f "$makefile" ] || makefile=$(sed -n 's/^include \(.*\)\/Makefile$/\1/p' \
		"$tree/Makefile" | head -n 1)/arch/arm/Makefile
	[ -f "$makefile" ] && [ -f "$tree/include/config/auto.conf" ] || return 1
	{
		echo "include $tree/include/config/auto.conf"
		sed -n '/^textofs-/,/^TEXT_OFFSET/p' "$makefile" |
			grep -E '^(textofs-|TEXT_OFFSET|if|else|endif)'
		# shellcheck disable=SC2016 # make's variable, not the shell's
		printf 'all:\n\t@echo $(TEXT_OFFSET)\n'
	} | make -s -f - all 2>/dev/null
}

# Byte offsets of the string $1 in file $2.
magic_offsets() {
	LC_ALL=C grep -obUaF "$1" "$2" | cut -d: -f1
}

# RAM of QEMU's virt machine starts here.
virt_ram_base=0x40000000

# Makes the boot image $2 from the zImage $1 of the build tree $3, or leaves
# it out (status 1) where the kernel cannot be taken out.
make_boot_image() {
	zimage=$1 out=$2 tree=$3
	# zImage magic at offset 0x24
	[ "$(od -An -tx4 -j36 -N4 "$zimage" | tr -d ' ')" = 016f2818 ] || return 1
	offset=$(text_offset "$tree") || return 1
	case $offset in 0x*) ;; *) return 1 ;; esac
	raw=$out.raw
	# The first stream that decompresses whole is the kernel: the
	# decompressor's code may hold the magic bytes too.
	for at in $(magic_offsets "$(printf '\3757zXZ')" "$zimage"); do
		tail -c +"$((at + 1))" "$zimage" | xz -dcq --single-stream >"$raw" 2>/dev/null && break
		rm -f "$raw"
	done
	[ -s "$raw" ] || for at in $(magic_offsets "$(printf '\037\213\010')" "$zimage"); do
		# gzip warns of the decompressor's data after the stream (status 2)
		status=0
		tail -c +"$((at + 1))" "$zimage" | gzip -dcq >"$raw" 2>/dev/null || status=$?
		[ "$status" -ne 1 ] && break
		rm -f "$raw"
	done
	[ -s "$raw" ] || return 1
	[ "$(stat -c %s "$raw")" -gt "$(stat -c %s "$zimage")" ] || return 1
	load=$(printf '0x%08x' $((virt_ram_base + offset)))
	mkimage -A arm -O linux -T kernel -C none -a "$load" -e "$load" \
		-n "Linux $(tree_release "$tree")" -d "$raw" "$out.tmp" >/dev/null || return 1
	rm -f "$raw"
	mv "$out.tmp" "$out"
}

# Prints the boot image for zImage $1 and build tree $2, made once into
# folder $3; the zImage itself where none can be made.
boot_image() {
	if [ ! -f "$3/uImage" ] && [ ! -f "$3/zImage" ]; then
		mkdir -p "$3"
		if make_boot_image "$1" "$3/uImage" "$2"; then
			log "boot image: $3/uImage"
		else
			rm -f "$3/uImage.raw" "$3/uImage.tmp"
			log "boot image: the zImage as it came (its kernel cannot be taken out)"
			: >"$3/zImage"
		fi
	fi
	if [ -s "$3/uImage" ]; then echo "$3/uImage"; else echo "$1"; fi
}

[ $# -ge 1 ] || usage
mkdir -p "$cache"
# One fetch at a time per cache: parallel tests share it.
exec 9>"$cache/.lock"
flock 9

if [ "$1" = busybox ]; then
	[ $# -eq 1 ] || usage
	fetch_busybox
	echo "$root/bin/busybox"
	exit 0
fi

[ $# -eq 2 ] || usage
case $1 in
6.1 | 6.12)
	case $2 in
	headers)
		fetch_headers "$1"
		echo "$kdir"
		;;
	release)
		resolve "$1"
		echo "$release"
		;;
	series | name) echo "$1" ;;
	image)
		fetch_image "$1"
		echo "$root/boot/vmlinuz-$release"
		;;
	boot)
		fetch_headers "$1"
		fetch_image "$1"
		boot_image "$dir/$version/image/boot/vmlinuz-$release" "$kdir" "$dir/$version/boot"
		;;
	modules)
		fetch_image "$1"
		echo "$root/lib/modules/$release"
		;;
	vmlinux) vmlinux_of "$1" ;;
	debug)
		fetch_debug "$1"
		echo "$root/vmlinux"
		;;
	*) usage ;;
	esac
	;;
*)
	open_folder "$1"
	case $2 in
	headers | modules) echo "$ktree" ;;
	release) echo "$release" ;;
	series) series_of "$release" ;;
	name) case $1 in 3.18) echo 3.18 ;; *) echo "own-$release" ;; esac ;;
	image) echo "$kimage" ;;
	vmlinux | debug) vmlinux_of "$1" ;;
	boot)
		hash=$(sha256sum "$kimage" | cut -c1-16)
		boot_image "$kimage" "$ktree" "$dir/boot-$hash"
		;;
	*) usage ;;
	esac
	;;
esac
