# SPDX-License-Identifier: GPL-2.0-or-later
"""The front panel of a board (vboard/panel/): the machine's devices for it,
the sockets that connect them, and its server.

The machine gets a virtio-serial device with two ports: the panel's console
(a second console of the guest, whose character device speaks WebSocket) and
the reader's port; and a QMP socket of the panel's own, as a QMP socket
serves one client at a time and scripts/board needs the other."""
from __future__ import annotations

import os
import subprocess

from .build import PYTHON, VBOARD, Image
from .options import UsageError
from .process import Process, wait_for

SERVER_START_S = 30

# Part of the machine, and so of its saved state.
DEVICES = ["-device", "virtio-serial-device",
           "-device", "virtconsole,chardev=panel-console,name=vboard.console",
           "-device", "virtserialport,chardev=panel-feed,name=vboard.feed"]
# The same ports unconnected, for a machine being saved.
NULLS = ["-chardev", "null,id=panel-console", "-chardev", "null,id=panel-feed"]


def channels(work: str) -> list[str]:
    return ["-chardev", f"socket,id=panel-console,path={work}/panel-console.sock,"
            "server=on,wait=off,websocket=on",
            "-chardev", f"socket,id=panel-feed,path={work}/panel-feed.sock,server=on,wait=off",
            "-qmp", f"unix:{work}/panel-qmp.sock,server=on,wait=off"]


def modules(do_build: bool) -> str:
    """The folder of the panel's npm packages (vboard/panel/setup.sh)."""
    setup = os.path.join(VBOARD, "panel", "setup.sh")
    done = subprocess.run([setup] if do_build else [setup, "--path"],
                          stdout=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise UsageError("no panel packages (run without --no-build)")
    return done.stdout.strip()


def check(image: Image) -> None:
    if not image.has_panel:
        raise UsageError(f"the {image.series} image has no front panel "
                         "(its kernel has no virtio console)")
    if subprocess.run([PYTHON, "-c", "import aiohttp"], stderr=subprocess.DEVNULL).returncode:
        raise UsageError("the panel needs Debian's python3-aiohttp "
                         "(scripts/setup-host.sh installs it)")


def start(work: str, port: int, npm_modules: str, qemu_source: str,
          trace: str) -> tuple[Process, str]:
    """The panel's server for the machine whose sockets are in WORK, whose
    trace button records into TRACE; the server's process and the URL to
    open."""
    url_file = os.path.join(work, "panel.url")
    log = os.path.join(work, "panel.log")
    env = dict(os.environ, PANEL_TOKEN=os.urandom(16).hex())
    env["PYTHONPATH"] = os.pathsep.join(
        [qemu_source + "/python"] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    argv = [PYTHON, os.path.join(VBOARD, "panel", "server.py"), "--port", str(port),
            "--qmp", f"{work}/panel-qmp.sock", "--console", f"{work}/panel-console.sock",
            "--feed", f"{work}/panel-feed.sock", "--modules", npm_modules,
            "--url-file", url_file, "--recordings", f"{work}/recordings", "--trace", trace]
    null = os.open(os.devnull, os.O_RDONLY)
    err = os.open(log, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        server = Process(argv, stdin=null, stdout=err, stderr=err, env=env)
    finally:
        os.close(null)
        os.close(err)
    waited = 0.0
    while not (os.path.exists(url_file) and os.path.getsize(url_file) > 0):
        if server.poll() is not None or waited > SERVER_START_S:
            server.stop()
            with open(log) as f:
                raise UsageError(f"{f.read()}the panel's server did not start "
                                 f"(--panel-port {port})")
        # The server writes the file once it listens: looked for every 20 ms,
        # woken at once if the server ends.
        wait_for([server.pidfd], 0.02)
        waited += 0.02
    with open(url_file) as f:
        return server, f.read().strip()

