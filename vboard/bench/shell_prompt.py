#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The shell's time to its prompt: runs COMMAND (vboard/run without a
script) on a terminal of its own RUNS times, each time measuring from its
start until the guest's shell prompt shows, then leaving the shell; prints
the median in seconds.

usage: shell_prompt.py RUNS COMMAND...
"""
import re
import statistics
import sys
import time

import pexpect

PROMPT = b"vboard:/root# "


def time_to_prompt(command: list[str]) -> float:
    start = time.monotonic()
    term = pexpect.spawn(command[0], command[1:], timeout=120)
    term.expect(re.escape(PROMPT))
    took = time.monotonic() - start
    term.send(b"exit\n")
    term.expect(pexpect.EOF)
    term.close()
    return took


def main() -> None:
    runs = int(sys.argv[1])
    command = sys.argv[2:]
    time_to_prompt(command)  # a warm-up, as for the others
    print("%.3f" % statistics.median(time_to_prompt(command) for _ in range(runs)))


if __name__ == "__main__":
    main()
