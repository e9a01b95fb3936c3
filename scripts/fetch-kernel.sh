#!/bin/sh
# Fetches Debian's ARMv7 (armhf, armmp flavour) kernel packages into a cache
# folder of the build and prints where they are. Nothing is installed on the
# machine: apt runs with private state, for armhf and amd64 (the host tools).
#
#   scripts/fetch-kernel.sh SERIES headers   kernel build tree to pass as KDIR
#   scripts/fetch-kernel.sh SERIES release   kernel release, e.g. 6.1.0-57-armmp
#   scripts/fetch-kernel.sh SERIES image     the kernel image (boot/vmlinuz-*)
#   scripts/fetch-kernel.sh SERIES modules   the image's lib/modules/<release>
#   scripts/fetch-kernel.sh busybox          a static armhf busybox binary
#
# SERIES is 6.1 (bookworm) or 6.12 (bookworm security/backports). The exact
# version is resolved from the series' meta-package when the cache has none,
# as exact versions leave the archive; headers and image of one series are
# always the same version. A filled cache is used as it is, without network.
#
# Cache: $KERNEL_CACHE, default $BOARDIO_CACHE/kernels (BOARDIO_CACHE defaults
# to ~/.cache/boardio, or $XDG_CACHE_HOME/boardio), shared by every clone:
#   apt/                     private apt state (sources, lists, downloads)
#   SERIES/package           resolved headers package name and version
#   SERIES/VERSION/headers/  headers, common headers and host tools, unpacked
#   SERIES/VERSION/image/    kernel image package, unpacked
#   busybox-VERSION/         busybox-static, unpacked
# Removing the folder is always safe: what is missing is fetched again.
# Progress goes to stderr; stdout carries only the path asked for.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
cache=${KERNEL_CACHE:-${BOARDIO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/boardio}/kernels}

usage() {
	sed -n '2,/^set -eu/{/^set -eu/d;s/^# \{0,1\}//;p}' "$0" >&2
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
	# shellcheck disable=SC2046
	apt-cache $(apt_opts) policy "$1" | awk '$1 == "Candidate:" { print $2 }'
}

# Field $2 of package $1 at version $3.
pkg_field() {
	# shellcheck disable=SC2046
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
	# shellcheck disable=SC2046
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
case $2 in
headers)
	fetch_headers "$1"
	echo "$kdir"
	;;
release)
	resolve "$1"
	echo "$release"
	;;
image)
	fetch_image "$1"
	echo "$root/boot/vmlinuz-$release"
	;;
modules)
	fetch_image "$1"
	echo "$root/lib/modules/$release"
	;;
*) usage ;;
esac
