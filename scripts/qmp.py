#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""One QMP command to a running machine, through QEMU's own QMP library.

usage: qmp.py QEMU_SOURCE SOCKET COMMAND [JSON-ARGUMENTS]

Prints the command's return value as JSON; an error reply goes to stderr
("error: DESCRIPTION") with exit status 1.
"""
import json
import sys

sys.path.insert(0, sys.argv[1] + "/python")
from qemu.qmp.legacy import QEMUMonitorProtocol  # noqa: E402

monitor = QEMUMonitorProtocol(sys.argv[2])
monitor.connect()
reply = monitor.cmd(sys.argv[3], json.loads(sys.argv[4]) if len(sys.argv) > 4 else None)
if "error" in reply:
    print("error: " + reply["error"]["desc"], file=sys.stderr)
    sys.exit(1)
print(json.dumps(reply["return"]))
