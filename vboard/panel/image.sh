#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Puts the front panel's guest side into an image being packed
# (vboard/image.sh): the start script and the kernel's virtio modules it
# loads, from the image's own kernel, uncompressed for busybox's insmod. The
# reader panelfeed comes with the image's other programs.
#
# usage: vboard/panel/image.sh STAGE KERNEL_MODULES_DIR MARKER
# MARKER: a file made when the image has the panel, removed when not (a
# kernel without the modules), for vboard/run --panel to tell.
set -eu
stage=$1 kmods=$2 marker=$3
here=$(cd "$(dirname "$0")" && pwd)
dest=$stage/lib/vboard/panel

mkdir -p "$dest"
cp "$here/../guest/panel/start" "$dest/start"
chmod 755 "$dest/start"
# Only the modules this kernel does not have built in.
for module in drivers/virtio/virtio_mmio drivers/char/virtio_console; do
	grep -q "/$module.ko\$" "$kmods/modules.builtin" && continue
	if [ -e "$kmods/kernel/$module.ko" ]; then
		cp "$kmods/kernel/$module.ko" "$dest/"
	elif [ -e "$kmods/kernel/$module.ko.xz" ]; then
		xz -dc "$kmods/kernel/$module.ko.xz" >"$dest/${module##*/}.ko"
	else
		echo "panel: the kernel has no ${module##*/}; no panel with this image" >&2
		rm -rf "$dest" "$marker"
		exit 0
	fi
done
: >"$marker"
