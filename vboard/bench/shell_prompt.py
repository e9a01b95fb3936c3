#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The shell's time to its prompt: runs COMMAND (vboard/run without a
script) on a terminal of its own RUNS times, each time measuring from its
start until the guest's shell prompt shows, then leaving the shell; prints
the median in seconds.

usage: shell_prompt.py RUNS COMMAND...
"""
import os
import pty
import select
import statistics
import sys
import time

PROMPT = b"vboard:/root# "
TIMEOUT_S = 120


def time_to_prompt(command: list[str]) -> float:
    start = time.monotonic()
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp(command[0], command)
    seen = b""
    while PROMPT not in seen:
        if time.monotonic() - start > TIMEOUT_S:
            raise SystemExit("shell_prompt: no prompt within %d s" % TIMEOUT_S)
        ready, _, _ = select.select([fd], [], [], 1)
        if ready:
            try:
                seen += os.read(fd, 4096)
            except OSError:
                raise SystemExit("shell_prompt: the run ended before its prompt: %r" % seen[-300:])
    took = time.monotonic() - start
    os.write(fd, b"exit\n")
    try:
        while os.read(fd, 4096):
            pass
    except OSError:
        pass
    os.waitpid(pid, 0)
    return took


def main() -> None:
    runs = int(sys.argv[1])
    command = sys.argv[2:]
    time_to_prompt(command)  # a warm-up, as for the others
    print("%.3f" % statistics.median(time_to_prompt(command) for _ in range(runs)))


if __name__ == "__main__":
    main()
