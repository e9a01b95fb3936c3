#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the board's OCI image from Debian's packages alone: a bookworm root
# (mmdebstrap) with the runtime libraries of the board's QEMU, python3 and
# pytest, and in /opt/boardio the QEMU, the boot images of the kernel series
# built in BUILD, the package (vboard/boardio/), the guest suites and
# saved machines of each series made in the image itself. `boardio` is on
# its PATH:
#
#   podman run --rm --network=none --read-only -v DIR:/work IMAGE \
#       boardio check --modules /work/mods
#
# usage: vboard/oci/build.sh [--build DIR] [--tag NAME]
#
# The image is named localhost/boardio:HASH, HASH that of everything it is
# made from (this script, the packages' list, the files put in it), and is
# not built again while one of that name exists; --tag names it also NAME.
# The four built last are kept.
# Its name goes to stdout, progress, its size and the build's time to stderr.
# The boot images and QEMU are those the build made (./test, or ctest -R
# vboard.image); 3.18's where BUILD has it. Debian's packages are kept in the
# cache's oci/debs/ (BOARDIO_OCI_DEBS names another folder) between builds.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$(dirname "$here")")
build=$root/build
tag=
while [ $# -gt 0 ]; do
	case $1 in
	--build) build=$2 && shift 2 ;;
	--tag) tag=$2 && shift 2 ;;
	*)
		sed -n '3,/^set -eu/{/^set -eu/d;s/^# \{0,1\}//;p}' "$0" >&2
		exit 2
		;;
	esac
done
build=$(cd "$build" && pwd)
cache=${BOARDIO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/boardio}/oci
KEPT=4

log() {
	echo "oci/build: $*" >&2
}

# What the board's QEMU links against (ldd), and the package's own needs at
# run time: python3 (asyncio, tomllib, xml), util-linux's setpriv and
# prlimit, pytest for a batch's pytest jobs; Verilator, the compiler and
# ccache for a job's design in the fabric, built in its container. The
# variant "essential" adds only what Debian cannot be without; no apt.
packages="python3,python3-pytest,util-linux,libglib2.0-0,libpixman-1-0,libfdt1,zlib1g"
packages="$packages,verilator,g++,make,libc6-dev,zlib1g-dev,ccache"
suite=bookworm
mirrors="deb http://deb.debian.org/debian $suite main
deb http://deb.debian.org/debian $suite-updates main
deb http://deb.debian.org/debian-security $suite-security main"

qemu=$("$root/scripts/build-qemu.sh" --path)
source=$("$root/scripts/build-qemu.sh" --source)
if [ ! -x "$qemu" ] || [ ! -d "$source" ]; then
	log "no QEMU built (./test, or scripts/build-qemu.sh)"
	exit 1
fi

stage=$(mktemp -d "${TMPDIR:-/tmp}/boardio-oci.XXXXXX")
trap 'rm -rf "$stage"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
opt=$stage/opt/boardio
mkdir -p "$opt/scripts" "$opt/vboard/boardio" "$opt/vboard/guest/tests" "$opt/vboard/qemu" \
	"$opt/vboard/oci" "$opt/qemu/build" "$opt/qemu/src/python/qemu" "$opt/build/vboard" \
	"$opt/vboard/fabric"
cp "$root/scripts/boardio" "$opt/scripts/"
cp "$root/vboard/run" "$opt/vboard/"
cp "$here/in-image.sh" "$root/examples/fabric/timer.v" "$opt/vboard/oci/"
cp -r "$root"/vboard/fabric/* "$opt/vboard/fabric/"
cp "$root"/vboard/boardio/*.py "$opt/vboard/boardio/"
cp "$root"/vboard/guest/tests/* "$opt/vboard/guest/tests/"
cp "$root/vboard/qemu/control_page.h" "$opt/vboard/qemu/"
# The layout boardio.build finds an installed board by: the binary in
# qemu/build/, its stamp in qemu/, QMP's library in qemu/src/python/.
cp "$qemu" "$opt/qemu/build/"
cp "$(dirname "$(dirname "$qemu")")/stamp" "$opt/qemu/"
cp -r "$source/python/qemu/qmp" "$opt/qemu/src/python/qemu/"
rm -rf "$opt/qemu/src/python/qemu/qmp/__pycache__"
echo /opt/boardio/qemu/build/qemu-system-arm >"$opt/build/vboard/qemu"
series=
for s in 6.1 6.12 3.18; do
	image=$build/vboard/image-$s
	if [ ! -s "$image/id" ]; then
		[ "$s" = 3.18 ] && continue
		log "no boot image of $s in $build (./test, or ctest -R vboard.image)"
		exit 1
	fi
	mkdir "$opt/build/vboard/image-$s"
	for f in "$image"/*; do
		case $f in *.log) continue ;; esac
		cp "$f" "$opt/build/vboard/image-$s/"
	done
	series="$series $s"
done

hash=$({
	cat "$0" "$here/in-image.sh"
	echo "$packages $suite $mirrors"
	cd "$stage" && find . -type f | LC_ALL=C sort | xargs sha256sum
} | sha256sum | cut -c1-16)
name=localhost/boardio:$hash

# One build at a time on the machine: builds share the packages' cache,
# and two of the same inputs make one image.
mkdir -p "$cache"
exec 9>"$cache/build.lock"
flock 9
if podman image exists "$name"; then
	log "$name is built already (inputs unchanged)"
else
	log "building $name: Debian $suite, series$series"
	start=$(date +%s)
	mkdir -p "${BOARDIO_OCI_DEBS:-$cache/debs}"
	# Hooks run under sh with the root as $1; these reach them through the
	# environment.
	BOARDIO_OCI_DEBS=${BOARDIO_OCI_DEBS:-$cache/debs} BOARDIO_OCI_STAGE=$stage BOARDIO_OCI_SERIES=$series
	export BOARDIO_OCI_DEBS BOARDIO_OCI_STAGE BOARDIO_OCI_SERIES
	# shellcheck disable=SC2016 # $1 and the variables are the hooks' own
	mmdebstrap --quiet --variant=essential --include="$packages" --format=tar \
		--dpkgopt='path-exclude=/usr/share/man/*' \
		--dpkgopt='path-exclude=/usr/share/locale/*' \
		--dpkgopt='path-exclude=/usr/share/info/*' \
		--dpkgopt='path-exclude=/usr/share/doc/*' \
		--dpkgopt='path-include=/usr/share/doc/*/copyright' \
		--skip=essential/unlink \
		--setup-hook='mkdir -p "$1/var/cache/apt/archives" &&
			find "$BOARDIO_OCI_DEBS" -name "*.deb" -exec cp -t "$1/var/cache/apt/archives/" {} +' \
		--customize-hook='rm -f "$BOARDIO_OCI_DEBS"/*.deb &&
			find "$1/var/cache/apt/archives" -name "*.deb" -exec mv -t "$BOARDIO_OCI_DEBS/" {} +' \
		--customize-hook='cp -a "$BOARDIO_OCI_STAGE/opt/boardio" "$1/opt/"' \
		--customize-hook='chroot "$1" /opt/boardio/vboard/oci/in-image.sh $BOARDIO_OCI_SERIES' \
		"$suite" "$stage/root.tar" "$mirrors"
	podman import --quiet \
		--change 'ENV PATH=/usr/local/bin:/usr/bin:/bin' \
		--change 'ENV VBOARD_TEMPLATES=/opt/boardio/saved' \
		--change 'ENV BOARDIO_CACHE=/tmp/boardio' \
		--change 'ENV CCACHE_DIR=/opt/boardio/ccache' \
		--change 'ENV CCACHE_READONLY=1' \
		--change 'ENV CCACHE_TEMPDIR=/tmp/ccache' \
		--change "LABEL org.boardio.inputs=$hash" \
		--change 'CMD ["boardio", "--help"]' \
		"$stage/root.tar" "$name" >/dev/null
	took=$(($(date +%s) - start))
	size=$(podman image inspect --format '{{.Size}}' "$name")
	log "built $name in ${took} s: $((size / 1048576)) MiB"
	# The images built last stay (other clones may run theirs); older ones
	# go, but for those a container still uses.
	podman images --sort created --filter reference=localhost/boardio \
		--format '{{.Repository}}:{{.Tag}}' | tail -n +$((KEPT + 1)) |
		xargs -r podman rmi >/dev/null 2>&1 || true
fi
if [ -n "$tag" ]; then
	podman tag "$name" "$tag"
fi
echo "$name"
