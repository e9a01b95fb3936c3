#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Stops a running machine as soon as one of its numeric properties reaches
a value, and prints the property's value once stopped.

One QMP connection looks every few milliseconds and stops at once: a look
that starts a client each time, then another client for the stop, lets the
machine run on for a second or more of its time when the host is busy.

usage: stop_when.py QEMU_SOURCE SOCKET PROPERTY MINIMUM [SECONDS]
Exit status 1 if the property stays below MINIMUM for SECONDS (60).
"""
import sys
import time
from typing import cast

sys.path.insert(0, sys.argv[1] + "/python")
from qemu.qmp.legacy import QEMUMonitorProtocol  # noqa: E402

sock, prop, minimum = sys.argv[2], sys.argv[3], int(sys.argv[4])
deadline = time.monotonic() + (float(sys.argv[5]) if len(sys.argv) > 5 else 60)
where = {"path": "/machine", "property": prop}

monitor = QEMUMonitorProtocol(sock)
monitor.connect()


def value() -> int:
    return cast(int, monitor.command("qom-get", **where))


while value() < minimum:
    if time.monotonic() > deadline:
        print(f"stop_when: {prop} stayed below {minimum}", file=sys.stderr)
        sys.exit(1)
    time.sleep(0.005)
monitor.command("stop")
print(value())
