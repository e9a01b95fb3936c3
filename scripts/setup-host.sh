#!/bin/sh
# Installs the Debian packages the build and the tests need; does nothing
# when they are all present.
set -eu

packages="build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev
 libvterm-dev tmux clang libclang-rt-14-dev g++-arm-linux-gnueabihf
 qemu-system-arm cpio kmod xz-utils"

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
