#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Compiles a Verilog design for the virtual board's fabric: Verilator turns
# it into C++, which is compiled together with the fabric's wrapper
# (fabric_wrap.cpp) into a shared library behind the C interface of
# fabric_abi.h. Prints the folder that holds it:
#   libfabric.so   the design's library
#   info           top=, addr_bits=, irq=, unconnected= (ports the wrapper
#                  leaves alone: inputs tied to 0, outputs unread), id=
#
# usage: vboard/fabric/build.sh [--top NAME] [--allow-system] FILE.v...
#
# A design that calls $system (a command run on the host, inside the
# board's QEMU) is refused, with its file and line, unless --allow-system.
# Its assertions are compiled in: a failed one, like $stop, $fatal or
# $finish, halts the design (fabric_wrap.cpp).
#
# The library is cached under a hash of the sources, the options, the
# Verilator version and the fabric's own files, in
# $BOARDIO_CACHE/fabric/HASH (default ${XDG_CACHE_HOME:-~/.cache}/boardio);
# a build that fails leaves nothing there. Verilator's messages (file and
# line) go to stderr; exit status 1 for a design that does not build, 2 for
# wrong usage.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
cache=${BOARDIO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/boardio}
top=
allow_system=

die() {
	echo "fabric: $*" >&2
	exit 2
}

while [ $# -gt 0 ]; do
	case $1 in
	--top) top=${2:?}; shift ;;
	--allow-system) allow_system=--allow-system ;;
	-*) die "unknown option '$1'" ;;
	*) break ;;
	esac
	shift
done
[ $# -gt 0 ] || die "usage: build.sh [--top NAME] [--allow-system] FILE.v..."
for f in "$@"; do
	{ [ -f "$f" ] && [ -r "$f" ]; } || die "cannot read '$f'"
done
command -v verilator >/dev/null || die "no verilator (scripts/setup-host.sh installs it)"

version=$(verilator --version)
# What the library is made of: the design, how it is built, the wrapper.
id=$({
	echo "$version top=$top $allow_system"
	for f in "$@"; do
		echo "file ${f##*/}"
		cat "$f"
	done
	cat "$here/fabric_abi.h" "$here/fabric_wrap.cpp" "$here/fabric_verilated.h" \
		"$here/ports.py" "$here/fabric.map" "$0"
} | sha256sum | cut -c1-32)
dir=$cache/fabric/$id
if [ -s "$dir/libfabric.so" ]; then
	echo "$dir"
	exit 0
fi

# One build of a design at a time: tests and runs may start together.
mkdir -p "$cache/fabric"
exec 9>"$cache/fabric/.$id.lock"
flock 9
if [ -s "$dir/libfabric.so" ]; then
	echo "$dir"
	exit 0
fi
work=$(mktemp -d "$cache/fabric/.build.XXXXXX")
trap 'rm -rf "$work"' EXIT
sources=
for f in "$@"; do
	sources="$sources $(cd "$(dirname "$f")" && pwd)/${f##*/}"
done

# Warnings are shown, not fatal: a design that builds elsewhere builds here.
set -- -Wno-fatal --assert --x-assign fast --x-initial 0 ${top:+--top-module "$top"}
echo "fabric: verilating$sources" >&2
# shellcheck disable=SC2086 # one word per source (paths without blanks)
verilator --xml-only --xml-output "$work/design.xml" -Mdir "$work/xml" "$@" $sources >&2 ||
	exit 1
/usr/bin/python3 "$here/ports.py" "$work/design.xml" "$id" "$work/fabric_ports.h" ${allow_system:+"$allow_system"} \
	>"$work/info" ||
	exit 1
echo "id=$id" >>"$work/info"

# One shared library that shows nothing but the entry: two designs in one
# process (the board's ports and one's own) keep apart.
cflags="-fPIC -fvisibility=hidden -include $here/fabric_verilated.h -I$here -I$work -DVL_USER_FATAL -DVL_USER_STOP -DVL_USER_FINISH"
# With its signals traceable (FST), for a trace started at any time.
# shellcheck disable=SC2086 # one word per source file
verilator --cc --savable --trace-fst --prefix Vfabric -Mdir "$work/obj" "$@" -O3 \
	--exe "$here/fabric_wrap.cpp" -CFLAGS "$cflags" \
	-LDFLAGS "-shared -Wl,--version-script=$here/fabric.map -Wl,--no-undefined" -o "$work/libfabric.so" \
	$sources >&2 || exit 1
ccache=
command -v ccache >/dev/null && ccache=ccache
echo "fabric: compiling $(sed -n 's/^top=//p' "$work/info")" >&2
# The build folder's name is new each time: ccache takes the paths in it as
# relative ones, so that the wrapper's object is found again. CCACHE_DIR
# names another cache (the board's OCI image has one, read-only, of
# Verilator's runtime).
CCACHE_DIR=${CCACHE_DIR:-$cache/ccache} CCACHE_BASEDIR=$work make -s -C "$work/obj" -f Vfabric.mk -j2 OBJCACHE="$ccache" \
	OPT_FAST=-O2 OPT_SLOW=-O1 OPT_GLOBAL=-O2 >"$work/make.log" 2>&1 || {
	cat "$work/make.log" >&2
	exit 1
}

mkdir -p "$work/out"
mv "$work/libfabric.so" "$work/info" "$work/out/"
rm -rf "$dir"
mv -T "$work/out" "$dir"
echo "$dir"
