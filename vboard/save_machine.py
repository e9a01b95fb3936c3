#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Saves a running machine to a file and ends it, for vboard/run's saved
machines: QMP migrate to "exec:cat > FILE", which with x-ignore-shared and
the guest's RAM in a shared file writes the device state alone.

usage: save_machine.py QEMU_SOURCE SOCKET FILE

QEMU_SOURCE is the QEMU source tree (scripts/build-qemu.sh --source), whose
python/ folder holds QEMU's QMP library. Exit status 0 once the file is
complete and QEMU has quit; 1, with the reason on stderr, otherwise.
"""
import shlex
import sys
import time

SAVE_TIMEOUT_S = 60


def main() -> int:
    source, socket, path = sys.argv[1:4]
    sys.path.insert(0, source + "/python")
    from qemu.qmp.legacy import QEMUMonitorProtocol

    monitor = QEMUMonitorProtocol(socket)
    monitor.connect()
    reply = monitor.cmd("migrate", {"uri": "exec:cat > " + shlex.quote(path)})
    if "error" in reply:
        print("save_machine: " + reply["error"]["desc"], file=sys.stderr)
        return 1
    deadline = time.monotonic() + SAVE_TIMEOUT_S
    while True:
        status = monitor.cmd("query-migrate")["return"].get("status")
        if status == "completed":
            break
        if status in ("failed", "cancelled") or time.monotonic() > deadline:
            print(f"save_machine: migration {status}", file=sys.stderr)
            return 1
        time.sleep(0.01)
    try:
        monitor.cmd("quit")
        monitor.close()
    except EOFError:
        pass  # QEMU quit first
    return 0


if __name__ == "__main__":
    sys.exit(main())
