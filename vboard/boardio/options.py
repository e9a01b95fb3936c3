# SPDX-License-Identifier: GPL-2.0-or-later
"""A board's options, as one typed value: what `vboard/run` takes on its
command line and `Board` as arguments."""
from __future__ import annotations

import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Optional

SERIES = ("6.1", "6.12", "3.18")
DEFAULT_TIMEOUT_S = 900.0


class UsageError(Exception):
    """Options that cannot make a board; the message says which and why."""


class DesignError(Exception):
    """A design for the fabric that did not build; Verilator's messages went
    to stderr."""


class Options:
    """The options, immutable: `_replace` makes a changed copy."""

    __slots__ = ("kernel", "mode", "script", "files", "build", "do_build", "timeout", "smp",
                 "qmp", "icount", "i2c_queue_end", "narrow_access", "guest_errors", "append",
                 "panel", "panel_port", "cold", "state", "fabric", "fabric_top", "fabric_base",
                 "fabric_clock", "fabric_ports", "fabric_allow_system", "fabric_trace",
                 "fabric_trace_from", "fabric_trace_for")

    def __init__(self, *,
                 kernel: str = "6.1",  # a series of SERIES, or a kernel folder (absolute)
                 mode: str = "script",  # "script" or "shell"
                 script: Optional[str] = None,  # the script's path (mode script)
                 files: tuple[str, ...] = (),  # PATH or PATH:GUEST_PATH
                 build: Optional[str] = None,  # the build folder (default: the tree's build/)
                 do_build: bool = True,
                 timeout: float = DEFAULT_TIMEOUT_S,
                 smp: int = 1,
                 qmp: Optional[str] = None,
                 icount: bool = False,
                 i2c_queue_end: str = "hold",
                 narrow_access: str = "widen",
                 guest_errors: Optional[str] = None,
                 append: str = "",
                 panel: bool = False,
                 panel_port: int = 0,
                 cold: bool = False,
                 state: Optional[str] = None,
                 fabric: tuple[str, ...] = (),
                 fabric_top: Optional[str] = None,
                 fabric_base: Optional[int] = None,
                 fabric_clock: Optional[int] = None,
                 fabric_ports: str = "model",
                 fabric_allow_system: bool = False,
                 fabric_trace: Optional[str] = None,  # an FST file (absolute)
                 fabric_trace_from: int = 0,  # ns of guest time after the machine first runs
                 fabric_trace_for: int = 0) -> None:  # ns of guest time, 0: to the end
        values = locals()
        for name in self.__slots__:
            object.__setattr__(self, name, values[name])

    kernel: str
    mode: str
    script: Optional[str]
    files: tuple[str, ...]
    build: Optional[str]
    do_build: bool
    timeout: float
    smp: int
    qmp: Optional[str]
    icount: bool
    i2c_queue_end: str
    narrow_access: str
    guest_errors: Optional[str]
    append: str
    panel: bool
    panel_port: int
    cold: bool
    state: Optional[str]
    fabric: tuple[str, ...]
    fabric_top: Optional[str]
    fabric_base: Optional[int]
    fabric_clock: Optional[int]
    fabric_ports: str
    fabric_allow_system: bool
    fabric_trace: Optional[str]
    fabric_trace_from: int
    fabric_trace_for: int

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Options are immutable: use _replace")

    def _replace(self, **changes: Any) -> "Options":
        values = {name: getattr(self, name) for name in self.__slots__}
        values.update(changes)
        return Options(**values)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Options) and all(
            getattr(self, name) == getattr(other, name) for name in self.__slots__)

    def __repr__(self) -> str:
        return "Options(" + ", ".join(f"{name}={getattr(self, name)!r}"
                                      for name in self.__slots__) + ")"

    @property
    def has_fabric(self) -> bool:
        return bool(self.fabric) or self.fabric_ports == "rtl"

    def checked(self) -> "Options":
        """These options with what follows from them (a fabric's guest time
        comes from its instructions); UsageError for what cannot be."""
        o = self
        if o.kernel not in SERIES and not o.kernel.startswith("/"):
            raise UsageError(f"unknown kernel series '{o.kernel}'")
        if o.mode not in ("script", "shell"):
            raise UsageError(f"unknown mode '{o.mode}'")
        if o.icount and o.smp != 1:
            raise UsageError("--icount takes one processor (--smp 1)")
        if o.i2c_queue_end not in ("hold", "stop"):
            raise UsageError("--i2c-queue-end takes hold or stop")
        if o.narrow_access not in ("widen", "error"):
            raise UsageError("--narrow-access takes widen or error")
        if o.fabric_ports not in ("model", "rtl"):
            raise UsageError("--fabric-ports takes model or rtl")
        if o.state and o.mode != "script":
            raise UsageError("--state takes a script (--script FILE)")
        if o.smp < 1:
            raise UsageError("--smp takes a number of processors")
        if o.timeout <= 0:
            raise UsageError("--timeout takes a number of seconds")
        if o.script is not None and not os.access(o.script, os.R_OK):
            raise UsageError(f"cannot read '{o.script}'")
        for entry in o.files:
            path, guest = file_parts(entry)
            if not (os.path.isfile(path) and os.access(path, os.R_OK)):
                raise UsageError(f"--file: cannot read '{path}'")
            if guest is not None and not guest.startswith("/"):
                raise UsageError(f"--file: '{guest}' is no absolute guest path")
        if not o.fabric and (o.fabric_top or o.fabric_base is not None
                             or o.fabric_clock is not None or o.fabric_allow_system
                             or o.fabric_trace or o.fabric_trace_from or o.fabric_trace_for):
            raise UsageError("--fabric-top, --fabric-base, --fabric-clock, "
                             "--fabric-allow-system and --fabric-trace go with --fabric FILE.v")
        if (o.fabric_trace_from or o.fabric_trace_for) and not o.fabric_trace:
            raise UsageError("--fabric-trace-from and --fabric-trace-for go with "
                             "--fabric-trace FILE")
        if o.fabric_trace:
            folder = os.path.dirname(os.path.abspath(o.fabric_trace))
            if not os.access(folder, os.W_OK | os.X_OK) or os.path.isdir(o.fabric_trace):
                raise UsageError(f"--fabric-trace: cannot write '{o.fabric_trace}'")
        if o.has_fabric:
            if o.smp != 1:
                raise UsageError("a fabric takes one processor: the guest's time comes "
                                 "from its instructions (--icount)")
            clock = 50000000 if o.fabric_clock is None else o.fabric_clock
            if not 1 <= clock <= 1000000000:
                raise UsageError("--fabric-clock takes 1 to 1000000000 Hz")
            # A design costs host time for every cycle: with the guest's time
            # from its instructions the board runs slower, but never starves.
            o = o._replace(icount=True, fabric_clock=clock)
        return o


def parse_number(option: str, text: str) -> int:
    """A number in decimal or 0x-hexadecimal, as the fabric's options take."""
    try:
        if text[:2] in ("0x", "0X") and 3 <= len(text) <= 10:
            return int(text, 16)
        if text.isdigit() and len(text) <= 10:
            return int(text)
    except ValueError:
        pass
    raise UsageError(f"{option} takes a number, not '{text}'")


TIME_UNITS = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}


def parse_time(option: str, text: str) -> int:
    """Nanoseconds of a time such as 2ms, 1.5s, 500us or 40ns (a bare
    number: seconds)."""
    number = text.rstrip("abcdefghijklmnopqrstuvwxyz")
    unit = text[len(number):] or "s"
    try:
        if unit in TIME_UNITS and number and float(number) >= 0:
            return round(float(number) * TIME_UNITS[unit])
    except ValueError:
        pass
    raise UsageError(f"{option} takes a time such as 2ms, 1.5s, 500us or 40ns, not '{text}'")


def file_parts(entry: str) -> tuple[str, Optional[str]]:
    """A --file's PATH[:GUEST_PATH]: the host's path, and the guest's where
    it names one."""
    path, sep, guest = entry.partition(":")
    return path, guest if sep else None


def file_entry(path: str, guest: Optional[str]) -> str:
    """PATH[:GUEST_PATH] again, with another host path."""
    return path if guest is None else f"{path}:{guest}"


def guest_path(entry: str) -> tuple[str, str]:
    """A --file's host path and where it goes in the guest (by default /root,
    under its own name)."""
    path, guest = file_parts(entry)
    return path, "/root/" + os.path.basename(path) if guest is None else guest
