#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the Debian packages the build and the tests need; does nothing
# when they are all present.
set -eu

# meson, python3 and the -dev packages build the virtual board's QEMU from
# Debian's source package (scripts/build-qemu.sh); dpkg-dev unpacks it,
# patch applies the project's changes to it.
packages="build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev
 libvterm-dev tmux clang libclang-rt-14-dev g++-arm-linux-gnueabihf
 cpio kmod xz-utils dpkg-dev patch meson python3 libglib2.0-dev libpixman-1-dev
 libfdt-dev u-boot-tools hyperfine ccache shellcheck"
# The board's Python package (vboard/boardio/): its pytest plugin and
# boards in parallel with pytest-xdist.
packages="$packages python3-pytest python3-pytest-xdist"
# The shell's tests and benchmark drive it on a pseudo-terminal.
packages="$packages python3-pexpect"
# Verilator compiles the designs of the virtual board's FPGA fabric
# (vboard/fabric/build.sh).
packages="$packages verilator"
# gtkwave opens a design's trace (vboard/run --fabric-trace); its fst2vcd
# reads one in the tests.
packages="$packages gtkwave"
# vboard/debug: gdb for the board's ARMv7 code, with its Python.
packages="$packages gdb-multiarch"
# The browser front panel (vboard/panel/): its server on Debian's python3 with
# aiohttp, its browser tests in Debian's chromium.
packages="$packages python3-aiohttp chromium"
# tests/repo/check.sh mypy: mypy, and typeshed's stubs (gdb's, for vboard/gdb/).
packages="$packages mypy python3-typeshed"
# boardio batch --slurm and its test's one-node cluster: Slurm's daemons
# and commands, and munge, which they authenticate with.
packages="$packages slurm-wlm munge"
# The board's OCI image (vboard/oci/build.sh) and batches isolated in its
# containers: mmdebstrap makes its root from Debian's packages, podman
# imports and runs it; runc as well as podman's default runtime, which some
# hosts' cgroups refuse (boardio/container.py tries each).
packages="$packages mmdebstrap podman runc"
# Node.js and npm bring the page's libraries and drive the browser tests; a
# machine that already has them (Debian's or another build) keeps its own.
command -v npm >/dev/null 2>&1 || packages="$packages nodejs npm"

missing=""
for p in $packages; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" ||
		missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
$sudo apt-get update -q
# shellcheck disable=SC2086 # one word per package
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q $missing
