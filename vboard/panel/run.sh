# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=bash
# shellcheck disable=SC2154 # the variables vboard/run sets, listed below
# The front panel for vboard/run --panel, sourced by it once the QEMU command
# line stands (qemu, work, image, here, root, do_build, panel_port): adds the
# machine's devices for the panel, starts the server (server.py) and prints
# its URL. The server ends with vboard/run.
#
# The machine gets a virtio-serial device with two ports: the panel's console
# (a second console of the guest, whose character device speaks WebSocket)
# and the reader's port; and a QMP socket of the panel's own, as a QMP socket
# serves one client at a time and scripts/board needs the other.

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
qemu+=(-device virtio-serial-device
	-chardev "socket,id=panel-console,path=$work/panel-console.sock,server=on,wait=off,websocket=on"
	-device virtconsole,chardev=panel-console,name=vboard.console
	-chardev "socket,id=panel-feed,path=$work/panel-feed.sock,server=on,wait=off"
	-device virtserialport,chardev=panel-feed,name=vboard.feed
	-qmp "unix:$work/panel-qmp.sock,server=on,wait=off")

PANEL_TOKEN=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n') "$panel_python" "$here/panel/server.py" \
	--port "$panel_port" --qmp "$work/panel-qmp.sock" --console "$work/panel-console.sock" \
	--feed "$work/panel-feed.sock" --modules "$panel_modules" \
	--qemu-python "$("$root/scripts/build-qemu.sh" --source)/python" \
	--url-file "$work/panel.url" --recordings "$work/recordings" 2>"$work/panel.log" &
panel_pid=$!
# The server ends before the work folder goes.
trap 'kill "$panel_pid" 2>/dev/null; wait "$panel_pid" 2>/dev/null; rm -rf "$work"' EXIT

i=0
until [ -s "$work/panel.url" ]; do
	if ! kill -0 "$panel_pid" 2>/dev/null || [ $i -ge 600 ]; then
		cat "$work/panel.log" >&2
		die "the panel's server did not start (--panel-port $panel_port)"
	fi
	sleep 0.05
	i=$((i + 1))
done
echo "panel: $(cat "$work/panel.url")" >&2
