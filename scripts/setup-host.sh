#!/bin/sh
# Installs the Debian packages the build and the tests need; does nothing
# when they are all present.
set -eu

# meson, python3 and the -dev packages build the virtual board's QEMU from
# Debian's source package (scripts/build-qemu.sh); dpkg-dev unpacks it,
# patch applies the project's changes to it.
packages="build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev
 libvterm-dev tmux clang libclang-rt-14-dev g++-arm-linux-gnueabihf
 cpio kmod xz-utils dpkg-dev patch meson python3 libglib2.0-dev libpixman-1-dev
 libfdt-dev u-boot-tools hyperfine"

missing=""
for p in $packages; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" ||
		missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q $missing
