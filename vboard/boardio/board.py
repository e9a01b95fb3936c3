# SPDX-License-Identifier: GPL-2.0-or-later
"""A virtual board to program against:

    with Board(kernel="3.18", files=["mine.ko"]) as b:
        result = b.sh("insmod /root/mine.ko && cat /dev/accel")
        b.tilt(0, 707, 707)

A board starts as a run does (from a saved machine), with an agent in the
guest that runs the host's commands one at a time: each command's text
reaches it on the console's input (a long one, or one of several lines,
through the machine's mailbox), its output comes back on the console
between markers that carry a token made for the board. Inputs and outputs
of the board itself go over the machine's QMP socket.
"""
from __future__ import annotations

import os
import time
from types import TracebackType
from typing import Any, NamedTuple, Optional, Sequence, Type

from . import newc
from .machine import Machine
from .options import Options
from .process import Process, signals_held, signals_stop, wait_for
from .relay import Relay

COMMAND_TIMEOUT_S = 60.0
CONSOLE_TAIL = 2000  # characters of the console an error carries
INLINE_MAX = 1024  # bytes of a command sent on the console's input

# The guest's side: the run's script. It reads the host's lines from the
# console (fd 3), with echo off, and frames each command's output.
AGENT = r"""
T=@TOKEN@
exec 3</dev/console
stty -echo <&3
echo "$T ready"
while IFS= read -r line <&3; do
	case $line in
	"$T run "*)
		n=${line#"$T run "}
		n=${n%% *}
		cmd=${line#"$T run $n "}
		;;
	"$T load "*)
		n=${line#"$T load "}
		mailbox / >/dev/null || continue
		cmd=". /tmp/vboard-agent/$n"
		;;
	*) continue ;;
	esac
	printf '%s.%s begin\n' "$T" "$n"
	(
		exec 3<&-
		unset T line n
		eval "$cmd"
	) </dev/null 2>&1
	printf '\n%s.%s exit %d\n' "$T" "$n" "$?"
done
"""


class BoardError(Exception):
    """The board failed to do what was asked; the message ends with the tail
    of its console."""


class CommandTimeout(BoardError):
    """A command did not end in time; the board is left running it. `output`
    holds what it printed until then."""

    def __init__(self, message: str, output: str) -> None:
        super().__init__(message)
        self.output = output


class Result(NamedTuple):
    output: str  # standard output and standard error, as the guest wrote them
    status: int

    @property
    def ok(self) -> bool:
        return self.status == 0


class Board:
    """A virtual board running for the life of the context manager."""

    def __init__(self, kernel: str = "6.1", files: Sequence[str] = (),
                 fabric: Sequence[str] = (), *, build: Optional[str] = None,
                 do_build: bool = False, smp: int = 1, icount: bool = False,
                 cold: bool = False, start_timeout: float = 300.0, **more: Any) -> None:
        if more.get("fabric_trace"):
            more["fabric_trace"] = os.path.abspath(more["fabric_trace"])
        self.options = Options(
            kernel=kernel if kernel.startswith("/") or "/" not in kernel
            else os.path.abspath(kernel),
            files=tuple(files), fabric=tuple(os.path.abspath(f) for f in fabric),
            build=build, do_build=do_build, smp=smp, icount=icount, cold=cold,
            timeout=start_timeout, **more)
        self.machine: Optional[Machine] = None
        self.qemu: Optional[Process] = None
        self.console_fd = self.input_fd = self.errors_fd = -1
        self.console_bytes = bytearray()
        self.qemu_messages = bytearray()
        self.pending = b""  # console bytes not yet taken by a command
        self.token = "agent-" + os.urandom(6).hex()
        self.count = 0
        self.stuck = ""
        self._monitor: Any = None
        self._signals = signals_stop()

    # --- life -------------------------------------------------------------
    def __enter__(self) -> "Board":
        self._signals.__enter__()
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()

    def _start(self) -> None:
        agent = AGENT.replace("@TOKEN@", self.token).encode()
        machine = Machine(self.options._replace(mode="script"), prog="boardio",
                          script_text=agent, log_guest_errors=True)
        self.machine = machine.__enter__()
        machine.run(self._attempt)
        self._expect_line(f"{self.token} ready", self.options.timeout)

    def _attempt(self, restoring: Optional[str]) -> Optional[int]:
        assert self.machine
        machine = self.machine
        read_end, self.input_fd = os.pipe2(os.O_CLOEXEC)
        try:
            qemu, console, errors = machine.launch(restoring, stdin=read_end)
        finally:
            os.close(read_end)
        relay = Relay(machine.token)
        deadline = time.monotonic() + (machine.restore_s if restoring else self.options.timeout)
        while True:
            data = self._read(console, qemu, deadline)
            if not data:
                machine.restore_failure = (
                    "the guest did not answer" if data == b"" else "it ended before the guest began")
                machine.forget(qemu)
                for fd in (console, errors, self.input_fd):
                    os.close(fd)
                self.input_fd = -1
                if restoring:
                    return None
                raise BoardError(f"the board did not start: {self._tail()}")
            self.console_bytes += data
            # The agent's lines as they came: what follows the marker is
            # read raw, not as a script's output whose last newline waits.
            rest = relay.until_begin(data)
            if rest is not None:
                self.pending = rest
                break
        self.qemu, self.console_fd, self.errors_fd = qemu, console, errors
        return 0

    def close(self) -> None:
        """Stops the board (also when it never started)."""
        with signals_held():
            if self._monitor is not None:
                self._monitor.close()
                self._monitor = None
            if self.machine is not None:
                self.machine.__exit__(None, None, None)
                self.machine = None
            for fd in (self.console_fd, self.errors_fd, self.input_fd):
                if fd >= 0:
                    os.close(fd)
            self.console_fd = self.errors_fd = self.input_fd = -1
            self.qemu = None
        self._signals.__exit__(None, None, None)

    # --- the console --------------------------------------------------------
    def _read(self, fd: int, qemu: Process, deadline: float) -> Optional[bytes]:
        """What the console holds once it holds something; b"" at DEADLINE,
        None at its end. QEMU's own messages are kept meanwhile."""
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return b""
            fds = [fd] + ([self.errors_fd] if self.errors_fd >= 0 else [])
            ready = wait_for(fds, left)
            if self.errors_fd in ready:
                try:
                    self.qemu_messages += os.read(self.errors_fd, 65536)
                except BlockingIOError:
                    pass
            if fd in ready:
                try:
                    data = os.read(fd, 65536)
                except BlockingIOError:
                    continue
                return data or None

    def _expect_line(self, line: str, timeout: float) -> None:
        wanted = line.encode() + b"\n"
        deadline = time.monotonic() + timeout
        while wanted not in self.pending:
            data = self._more(deadline)
            if data is None:
                raise BoardError(f"the board ended before '{line}': {self._tail()}")
            if not data:
                raise BoardError(f"no '{line}' within {timeout:g} s: {self._tail()}")
        self.pending = self.pending[self.pending.index(wanted) + len(wanted):]

    def _more(self, deadline: float) -> Optional[bytes]:
        assert self.qemu
        data = self._read(self.console_fd, self.qemu, deadline)
        if data:
            self.console_bytes += data
            self.pending += data
        return data

    def _tail(self) -> str:
        text = self.console_bytes.decode(errors="replace")
        return "console ends with:\n" + text[-CONSOLE_TAIL:]

    @property
    def console(self) -> str:
        """Everything the guest wrote on its console so far."""
        return self.console_bytes.decode(errors="replace")

    @property
    def guest_errors(self) -> str:
        """The guest's mistakes the board's models noticed (QEMU's guest-error
        log)."""
        if self.machine is None or self.machine.guest_errors is None:
            return ""
        try:
            with open(self.machine.guest_errors, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    # --- commands -----------------------------------------------------------
    def sh(self, command: str, timeout: float = COMMAND_TIMEOUT_S, check: bool = False) -> Result:
        """Runs COMMAND with the guest's sh (in a subshell, standard input
        /dev/null); its output and exit status. CommandTimeout, with the
        console's tail, when it does not end within TIMEOUT seconds;
        BoardError when CHECK and its status is not 0."""
        if self.stuck:
            raise BoardError(f"the board is still running an earlier command ({self.stuck})")
        if self.qemu is None:
            raise BoardError("the board is not running")
        self.count += 1
        n = self.count
        text = command.encode()
        if b"\n" in text or len(text) > INLINE_MAX:
            self._mailbox({f"/tmp/vboard-agent/{n}": (text, 0o644)})
            self._send(f"{self.token} load {n}\n".encode())
        else:
            self._send(f"{self.token} run {n} ".encode() + text + b"\n")
        relay = Relay(f"{self.token}.{n}")
        out = bytearray(relay.feed(self.pending))
        self.pending = b""
        deadline = time.monotonic() + timeout
        while relay.status is None:
            assert self.qemu is not None
            data = self._read(self.console_fd, self.qemu, deadline)
            if data is None:
                raise BoardError(f"the board ended during '{command}': {self._tail()}")
            if not data:
                self.stuck = command
                raise CommandTimeout(f"'{command}' did not end within {timeout:g} s: "
                                     f"{self._tail()}", out.decode(errors="replace"))
            self.console_bytes += data
            out += relay.feed(data)
        result = Result(out.decode(errors="replace"), relay.status)
        if check and not result.ok:
            raise BoardError(f"'{command}' failed with status {result.status}:\n{result.output}")
        return result

    def _send(self, data: bytes) -> None:
        view = memoryview(data)
        while view:
            view = view[os.write(self.input_fd, view):]

    def _mailbox(self, files: dict[str, tuple[bytes, int]]) -> None:
        """Puts FILES (guest path: data, mode) into the machine's mailbox,
        whence the guest's mailbox program takes them."""
        assert self.machine
        archive = newc.Archive()
        for path, (data, mode) in files.items():
            archive.add_file(path, data, mode)
        box = os.path.join(self.machine.work, f"put-{self.count}")
        with open(box, "wb") as f:
            f.write(archive.close())
        try:
            self.monitor.set("mailbox", box)
        finally:
            os.unlink(box)

    def put(self, source: str, dest: Optional[str] = None) -> None:
        """Copies the host's file SOURCE into the guest, at DEST (default: in
        /root under its own name)."""
        dest = dest or "/root/" + os.path.basename(source)
        with open(source, "rb") as f:
            data = f.read()
        self.put_bytes(data, dest, os.stat(source).st_mode & 0o7777)

    def put_bytes(self, data: bytes, dest: str, mode: int = 0o644) -> None:
        self._mailbox({dest: (data, mode)})
        self.sh("mailbox / >/dev/null", check=True)

    def get(self, path: str, timeout: float = COMMAND_TIMEOUT_S) -> bytes:
        """The guest's file PATH."""
        import base64
        quoted = "'" + path.replace("'", "'\\''") + "'"
        result = self.sh(f"base64 {quoted}", timeout=timeout)
        if not result.ok:
            raise BoardError(f"cannot read {path} in the guest: {result.output.strip()}")
        return base64.b64decode("".join(result.output.split()))

    # --- the board's inputs and outputs --------------------------------------
    @property
    def monitor(self) -> Any:
        if self._monitor is None:
            assert self.machine
            from .qmp import Monitor
            self._monitor = Monitor(self.machine.qmp)
        return self._monitor

    def command(self, line: str) -> None:
        """A board tool command line, as `board` takes it in the guest."""
        self.monitor.set("command", line)

    def press(self, mask: int) -> None:
        self.command(f"press {mask:x}")

    def hold(self, mask: int) -> None:
        self.command(f"hold {mask:x}")

    def switches(self, value: int) -> None:
        self.command(f"switches {value:x}")

    def tilt(self, x: int, y: int, z: int) -> None:
        self.command(f"tilt {x} {y} {z}")

    def bias(self, x: int, y: int, z: int) -> None:
        self.command(f"bias {x} {y} {z}")

    def noise(self, mg: int) -> None:
        self.command(f"noise {mg}")

    def tap(self, double: bool = False) -> None:
        self.command("doubletap" if double else "tap")

    def play(self, recording: str, loop: bool = False) -> None:
        """Plays a recording of motion (CSV: t_ms,x_mg,y_mg,z_mg) into the
        sensor."""
        self.monitor.set("play", [os.path.abspath(recording)] + (["--loop"] if loop else []))

    def leds(self) -> int:
        """The ten LEDs a design in the fabric drives, bit n: LEDR n lit."""
        return int(self.monitor.get("ledr"))

    def hex(self) -> list[int]:
        """The six digits' segments, hex0 first (segment a in bit 0, a lit
        segment 0)."""
        return [int(v) for v in self.monitor.get("hex")]

    def regs(self) -> dict[str, int]:
        """The sensor's registers by name."""
        text = str(self.monitor.get("regs"))
        return {name: int(value, 16) for name, value in
                (line.split() for line in text.splitlines() if line.strip())}

    def read32(self, address: int) -> int:
        """A 32-bit register at a physical address, as a program reads it."""
        result = self.sh(f"devmem 0x{address:X} 32", check=True)
        return int(result.output.strip(), 16)

    def write32(self, address: int, value: int) -> None:
        self.sh(f"devmem 0x{address:X} 32 0x{value:X}", check=True)
