#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Run inside the image's root as vboard/oci/build.sh makes it: boardio on
# the PATH, the package's bytecode compiled (a read-only root keeps none),
# the compiler cache filled with Verilator's runtime (by building the
# example design), so that a job's own design compiles its own code alone,
# and the saved machines of each SERIES made, so that no run in the image
# boots: a script's and a Board's (boardio check), and with --icount
# (the console programs' suite).
#
# usage: in-image.sh SERIES...
set -eu

ln -sf /opt/boardio/scripts/boardio /usr/local/bin/boardio
python3 -m compileall -q /opt/boardio/vboard/boardio /opt/boardio/qemu/src/python >/dev/null
BOARDIO_CACHE=$(mktemp -d) CCACHE_DIR=/opt/boardio/ccache \
	/opt/boardio/vboard/fabric/build.sh /opt/boardio/vboard/oci/timer.v >/dev/null
export VBOARD_TEMPLATES=/opt/boardio/saved
script=$(mktemp)
echo true >"$script"
for series in "$@"; do
	boardio run --no-build --kernel "$series" --timeout 300 --script "$script"
done
rm -f "$script" "$VBOARD_TEMPLATES"/.*.lock
# An image's layers keep no holes: the RAM files go in packed, their data
# alone (a run unpacks the one it restores, as it must copy it anyway).
for saved in "$VBOARD_TEMPLATES"/*/; do
	PYTHONPATH=/opt/boardio/vboard python3 -c \
		'import sys; from boardio.machine import pack_ram; pack_ram(sys.argv[1])' "$saved"
done
# Nothing of the build's own in the image, and nothing of apt's (the image
# has no apt).
rm -rf /opt/boardio/vboard/oci /tmp/* /var/cache/apt/* /var/lib/apt/lists/*
