# SPDX-License-Identifier: GPL-2.0-or-later
"""A program on a pseudo-terminal of its own, and what it writes there: for
the tests and benchmarks of vboard/run's shell."""
import fcntl
import os
import pty
import re
import select
import struct
import sys
import termios
import time
from typing import Optional, Tuple


class Terminal:
    """COMMAND on a pseudo-terminal (of SIZE rows and columns, if given)."""

    def __init__(self, command: list[str], size: Optional[Tuple[int, int]] = None,
                 deadline_s: float = 60) -> None:
        self.deadline_s = deadline_s
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            if size:
                fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", size[0], size[1], 0, 0))
            os.execvp(command[0], command)
        self.seen = b""
        self.read_to = 0

    def expect(self, pattern: bytes, what: str) -> "re.Match[bytes]":
        """Waits for PATTERN after what was matched before; ends the process
        with a message saying WHAT did not come."""
        end = time.monotonic() + self.deadline_s
        while True:
            match = re.compile(pattern).search(self.seen, self.read_to)
            if match:
                self.read_to = match.end()
                return match
            left = end - time.monotonic()
            if left <= 0:
                sys.exit("%s: not within %d s; the terminal ends with %r"
                         % (what, self.deadline_s, self.seen[-400:]))
            if not select.select([self.fd], [], [], left)[0]:
                continue
            try:
                self.seen += os.read(self.fd, 4096)
            except OSError:
                sys.exit("%s: the program ended; the terminal ends with %r"
                         % (what, self.seen[-400:]))

    def type(self, text: bytes) -> None:
        os.write(self.fd, text)

    def end(self) -> int:
        """Reads to the end; the program's exit status."""
        try:
            while os.read(self.fd, 4096):
                pass
        except OSError:
            pass
        _, status = os.waitpid(self.pid, 0)
        return os.waitstatus_to_exitcode(status)
