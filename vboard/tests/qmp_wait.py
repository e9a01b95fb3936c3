#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Waits until a running machine shows something, over one QMP connection
that looks every few milliseconds, and can stop the machine at once then.

A look that starts a QMP client each time costs a tenth of a processor's
second and lets the machine run on meanwhile: a host test waiting for a
guest's cue took the processor the guest needed, and a stop that came
from another client landed a second or more of the machine's time late.

usage: qmp_wait.py QEMU_SOURCE SOCKET CONDITION [--command LINE] [--stop]
                   [--print PROPERTY] [--timeout S]
CONDITION:
  --line PROPERTY LINE   the machine's text PROPERTY has the line LINE (regs)
  --at-least PROPERTY N  the machine's number PROPERTY is N or more
  --status STATUS        query-status says STATUS (paused, running)
--command: first give the machine the board command LINE (as scripts/board
does), on the same connection: what it sets off cannot run past the
condition before the looking starts.
--stop: stop the machine as soon as the condition holds; --print: then
print PROPERTY's value. Exit status 1 if the condition does not hold within
the timeout (default 60 s), the socket included.
"""
import argparse
import sys
import time
from typing import cast

parser = argparse.ArgumentParser()
parser.add_argument("source")
parser.add_argument("socket")
condition = parser.add_mutually_exclusive_group(required=True)
condition.add_argument("--line", nargs=2, metavar=("PROPERTY", "LINE"))
condition.add_argument("--at-least", nargs=2, metavar=("PROPERTY", "N"))
condition.add_argument("--status")
parser.add_argument("--command", metavar="LINE")
parser.add_argument("--stop", action="store_true")
parser.add_argument("--print", metavar="PROPERTY")
parser.add_argument("--timeout", type=float, default=60)
args = parser.parse_args()

sys.path.insert(0, args.source + "/python")
from qemu.qmp.legacy import QEMUMonitorProtocol  # noqa: E402
from qemu.qmp.protocol import ConnectError  # noqa: E402

deadline = time.monotonic() + args.timeout


def give_up(what: str) -> None:
    print(f"qmp_wait: {what} within {args.timeout:g} s", file=sys.stderr)
    sys.exit(1)


# The machine may be starting: its socket comes once QEMU runs.
while True:
    monitor = QEMUMonitorProtocol(args.socket)
    try:
        monitor.connect()
        break
    except (ConnectError, OSError):
        if time.monotonic() > deadline:
            give_up(f"no machine at {args.socket}")
        time.sleep(0.02)


def prop(name: str) -> object:
    return monitor.command("qom-get", path="/machine", property=name)


def holds() -> bool:
    if args.line:
        return args.line[1] in str(prop(args.line[0])).splitlines()
    if args.at_least:
        return int(str(prop(args.at_least[0]))) >= int(args.at_least[1])
    status = cast(dict[str, object], monitor.command("query-status"))
    return bool(status["status"] == args.status)


if args.command is not None:
    monitor.command("qom-set", path="/machine", property="command", value=args.command)
while not holds():
    if time.monotonic() > deadline:
        give_up("the condition never held")
    time.sleep(0.005)
if args.stop:
    monitor.command("stop")
if args.print:
    print(prop(args.print))
