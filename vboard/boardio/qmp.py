# SPDX-License-Identifier: GPL-2.0-or-later
"""The machine's QMP socket, through QEMU's own QMP library (from the QEMU
source tree the project builds: scripts/build-qemu.sh --source). Loaded
only where used: a run that only restores a machine needs none of it."""
from __future__ import annotations

import asyncio
import os
import sys
import time
from typing import TYPE_CHECKING, Any, Callable, Optional

from .build import qemu_source
from .process import sleep

if TYPE_CHECKING:
    from qemu.qmp.legacy import QEMUMonitorProtocol

SAVE_TIMEOUT_S = 60
CONNECT_TIMEOUT_S = 30


class MachineError(Exception):
    """The machine refused a command, or did not answer."""


class NoAnswer(MachineError):
    """No machine answers at the socket (it may have stopped)."""


_source: Optional[str] = None


def _library() -> None:
    global _source
    if _source is None:
        _source = qemu_source()
        sys.path.insert(0, os.path.join(_source, "python"))


class Monitor:
    """One QMP connection to a machine. Each thread that uses one needs an
    event loop of its own, which it gets here."""

    def __init__(self, socket: str, timeout: float = CONNECT_TIMEOUT_S) -> None:
        _library()
        from qemu.qmp.legacy import QEMUMonitorProtocol
        try:
            asyncio.get_event_loop_policy().get_event_loop()
        except RuntimeError:
            asyncio.set_event_loop(asyncio.new_event_loop())
        self.socket = socket
        deadline = time.monotonic() + timeout
        while True:
            self.monitor: QEMUMonitorProtocol = QEMUMonitorProtocol(socket)
            try:
                self.monitor.connect()
                return
            except Exception as e:  # the library's ConnectError, or OSError
                if time.monotonic() >= deadline:
                    raise NoAnswer(f"no machine answers at {socket}: {e}") from None
                sleep(0.02)

    def command(self, name: str, **args: Any) -> Any:
        try:
            reply = self.monitor.cmd(name, args or None)
        except Exception as e:  # the connection: EOFError, OSError, the library's
            raise NoAnswer(f"the machine at {self.socket} does not answer: {e}") from None
        if "error" in reply:
            raise MachineError(str(reply["error"]["desc"]))
        return reply["return"]

    def get(self, prop: str) -> Any:
        return self.command("qom-get", path="/machine", property=prop)

    def set(self, prop: str, value: Any) -> None:
        self.command("qom-set", path="/machine", property=prop, value=value)

    def wait_until(self, holds: "Callable[[Monitor], bool]", timeout: float, *,
                   stop: bool = False, every: float = 0.005) -> bool:
        """Whether HOLDS(self) came true within TIMEOUT, asked every EVERY
        seconds; with STOP, the machine stopped the moment it did."""
        deadline = time.monotonic() + timeout
        while not holds(self):
            if time.monotonic() >= deadline:
                return False
            sleep(every)
        if stop:
            self.command("stop")
        return True

    def save(self, path: str) -> None:
        """Saves the machine to PATH and ends it: QMP migrate to the file,
        opened here and handed to QEMU (with x-ignore-shared and the guest's
        RAM in a shared file, the device state alone). (A command, "exec:cat >
        FILE", would not do: QEMU ends it with SIGTERM when it closes the
        pipe, whether or not it has written all.)"""
        with open(path, "wb") as state:
            self.monitor.send_fd_scm(state.fileno())
            self.command("getfd", fdname="vmstate")
            self.command("migrate", uri="fd:vmstate")
        deadline = time.monotonic() + SAVE_TIMEOUT_S
        while True:
            status = self.command("query-migrate").get("status")
            if status == "completed":
                break
            if status in ("failed", "cancelled") or time.monotonic() > deadline:
                raise MachineError(f"saving the machine: migration {status}")
            sleep(0.01)
        try:
            self.monitor.cmd("quit")
        except Exception:
            pass  # QEMU quit first
        self.close()

    def close(self) -> None:
        try:
            self.monitor.close()
        except Exception:
            pass  # the machine went first


def main(argv: list[str]) -> int:
    """usage: python3 -m boardio.qmp SOCKET COMMAND [JSON-ARGUMENTS]: one
    command; its return value as JSON, or "error: DESCRIPTION" on stderr
    with exit status 1."""
    import json
    if len(argv) not in (2, 3):
        sys.stderr.write(str(main.__doc__) + "\n")
        return 2
    try:
        reply = Monitor(argv[0], timeout=0).command(
            argv[1], **(json.loads(argv[2]) if len(argv) > 2 else {}))
    except MachineError as e:
        sys.stderr.write(f"error: {e}\n")
        return 1
    print(json.dumps(reply))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
