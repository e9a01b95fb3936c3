#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The shell of a run on a terminal, restored from a saved machine: its
prompt comes with the drivers loaded and the terminal's size, the guest's
wall clock is the host's, Ctrl-C reaches the program in the foreground, and
leaving the shell ends the run, status 0, with no QEMU left.

usage: shell.py RUN BUILD_DIR SERIES
"""
import os
import re
import subprocess
import sys
import tempfile
import time

import pexpect

PROMPT = b"vboard:/root# "
ROWS, COLS = 37, 101


class Terminal:
    """COMMAND on a pseudo-terminal of ROWS x COLS; each expected pattern
    within 60 s, else the test ends saying what did not come."""

    def __init__(self, command: list[str]) -> None:
        self.child = pexpect.spawn(command[0], command[1:], dimensions=(ROWS, COLS), timeout=60)

    def expect(self, pattern: bytes, what: str) -> "re.Match[bytes]":
        try:
            self.child.expect(pattern)
        except (pexpect.TIMEOUT, pexpect.EOF) as e:
            ended = "the program ended" if isinstance(e, pexpect.EOF) else "not within 60 s"
            sys.exit(f"{what}: {ended}; the terminal ends with {self.child.before[-400:]!r}")
        match: "re.Match[bytes]" = self.child.match
        return match

    def type(self, text: bytes) -> None:
        self.child.send(text)

    def end(self) -> int:
        """Reads to the end; the program's exit status."""
        self.child.expect(pexpect.EOF)
        self.child.close()
        status: int = self.child.exitstatus
        return status


def main() -> None:
    run, build, series = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as work:
        qmp = os.path.join(work, "qmp.sock")
        term = Terminal([run, "--no-build", "--build", build, "--kernel", series, "--qmp", qmp])
        banner = term.expect(rb"Loaded: ([^\r\n]*)\r*\n", "the banner")
        loaded = banner.group(1).split()
        if b"accel" not in loaded or b"panelio" not in loaded:
            sys.exit("FAIL: the drivers are not loaded: %r" % banner.group(0))
        term.expect(re.escape(PROMPT), "the prompt")

        term.type(b"stty size; date +%s\r")
        size = term.expect(rb"\n(\d+) (\d+)\r*\n(\d+)\r*\n", "the size and the time")
        if (int(size.group(1)), int(size.group(2))) != (ROWS, COLS):
            sys.exit("FAIL: terminal size %r, expected %d %d" % (size.group(0), ROWS, COLS))
        if abs(int(size.group(3)) - time.time()) > 2:
            sys.exit("FAIL: the guest's clock says %s, the host's %d"
                     % (size.group(3).decode(), time.time()))
        term.expect(re.escape(PROMPT), "the prompt after the size")

        # The program prints once it is the terminal's foreground.
        term.type(b"sh -c 'echo running; exec sleep 600'\r")
        term.expect(rb"\nrunning\r*\n", "the program in the foreground")
        term.type(b"\x03")
        term.expect(re.escape(PROMPT), "the prompt after Ctrl-C")
        term.type(b"echo \"status $?\"\r")
        term.expect(rb"\nstatus 130\r*\n", "the program ended by Ctrl-C")

        term.type(b"exit\r")
        status = term.end()
        if status != 0:
            sys.exit("FAIL: leaving the shell: exit status %d" % status)
        left = subprocess.run(["pgrep", "-f", "qemu-system-arm.*" + qmp], capture_output=True)
        if left.returncode == 0:
            sys.exit("FAIL: QEMU left running: " + left.stdout.decode())
    print("shell: every check passed")


if __name__ == "__main__":
    main()
