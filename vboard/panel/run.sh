# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=bash
# shellcheck disable=SC2034,SC2154 # variables vboard/run sets and uses
# The front panel for vboard/run --panel, sourced by it (with here, root,
# work, image, series, do_build, panel_port set): the machine's devices for
# the panel, the sockets that connect them, and panel_start, which starts
# the server (server.py) and prints its URL. The server ends with
# vboard/run.
#
# The machine gets a virtio-serial device with two ports: the panel's console
# (a second console of the guest, whose character device speaks WebSocket)
# and the reader's port; and a QMP socket of the panel's own, as a QMP socket
# serves one client at a time and scripts/board needs the other.
#   panel_devices   the devices: part of the machine (and of its saved state)
#   panel_channels  their sockets in this run's work folder, and the QMP
#   panel_nulls     the same ports unconnected, for a machine being saved

[ -e "$image/panel" ] ||
	die "the $series image has no front panel (its kernel has no virtio console)"
if [ -n "$do_build" ]; then
	panel_modules=$("$here/panel/setup.sh")
else
	panel_modules=$("$here/panel/setup.sh" --path) || die "no panel packages (run without --no-build)"
fi
panel_python=/usr/bin/python3
"$panel_python" -c 'import aiohttp' 2>/dev/null ||
	die "the panel needs Debian's python3-aiohttp (scripts/setup-host.sh installs it)"

# shellcheck disable=SC2054 # QEMU's options are comma-separated lists
panel_devices=(-device virtio-serial-device
	-device virtconsole,chardev=panel-console,name=vboard.console
	-device virtserialport,chardev=panel-feed,name=vboard.feed)
# shellcheck disable=SC2054 # QEMU's options are comma-separated lists
panel_channels=(
	-chardev "socket,id=panel-console,path=$work/panel-console.sock,server=on,wait=off,websocket=on"
	-chardev "socket,id=panel-feed,path=$work/panel-feed.sock,server=on,wait=off"
	-qmp "unix:$work/panel-qmp.sock,server=on,wait=off")
# shellcheck disable=SC2054 # QEMU's options are comma-separated lists
panel_nulls=(-chardev null,id=panel-console -chardev null,id=panel-feed)

panel_start() {
	local i=0 qemu_source
	qemu_source=$("$root/scripts/build-qemu.sh" --source) || die "no QEMU source for the panel"
	# QEMU's python/ holds its QMP library.
	PYTHONPATH=$qemu_source/python${PYTHONPATH:+:$PYTHONPATH} \
		PANEL_TOKEN=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n') "$panel_python" \
		"$here/panel/server.py" --port "$panel_port" --qmp "$work/panel-qmp.sock" \
		--console "$work/panel-console.sock" --feed "$work/panel-feed.sock" \
		--modules "$panel_modules" \
		--url-file "$work/panel.url" --recordings "$work/recordings" 2>"$work/panel.log" &
	echo $! >"$work/panel.pid"
	until [ -s "$work/panel.url" ]; do
		if ! kill -0 "$(<"$work/panel.pid")" 2>/dev/null || [ $i -ge 600 ]; then
			cat "$work/panel.log" >&2
			die "the panel's server did not start (--panel-port $panel_port)"
		fi
		sleep 0.05
		i=$((i + 1))
	done
	echo "panel: $(<"$work/panel.url")" >&2
}
