#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Saves a running machine to a file and ends it, for vboard/run's saved
machines and scripts/board save: QMP migrate to the file, opened here and
handed to QEMU (with x-ignore-shared and the guest's RAM in a shared file,
the device state alone). (A command, "exec:cat > FILE", would not do: QEMU
ends it with SIGTERM when it closes the pipe, whether or not it has written
all.)

usage: save_machine.py QEMU_SOURCE SOCKET FILE

QEMU_SOURCE is the QEMU source tree (scripts/build-qemu.sh --source), whose
python/ folder holds QEMU's QMP library. Exit status 0 once the file is
complete and QEMU has quit; 1, with the reason on stderr, otherwise.
"""
import sys
import time

SAVE_TIMEOUT_S = 60
# The state goes to the file descriptor handed over as "vmstate".
SAVE_COMMANDS: list[tuple[str, dict[str, object]]] = [
    ("getfd", {"fdname": "vmstate"}),
    ("migrate", {"uri": "fd:vmstate"}),
]


def main() -> int:
    source, socket, path = sys.argv[1:4]
    sys.path.insert(0, source + "/python")
    from qemu.qmp.legacy import QEMUMonitorProtocol

    monitor = QEMUMonitorProtocol(socket)
    monitor.connect()
    with open(path, "wb") as state:
        monitor.send_fd_scm(state.fileno())
        for command, args in SAVE_COMMANDS:
            reply = monitor.cmd(command, args)
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
