#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The board as a library, timed: a Board's start (from its saved machine)
to its first command's answer, and the round trip of b.sh("true"), medians
of ROUNDS boards and of 200 commands. Run from a built tree.

usage: vboard/bench/api.py [ROUNDS] [--kernel SERIES] [--build DIR]
"""
import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from boardio import Board  # noqa: E402

COMMANDS = 200


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("rounds", type=int, nargs="?", default=9)
    parser.add_argument("--kernel", default="6.1")
    parser.add_argument("--build")
    args = parser.parse_args()
    starts, trips = [], []
    with Board(kernel=args.kernel, build=args.build) as b:
        b.sh("true")  # the saved machine made, if it was not
    for _ in range(args.rounds):
        t = time.monotonic()
        with Board(kernel=args.kernel, build=args.build) as b:
            b.sh("true")
            starts.append(time.monotonic() - t)
    with Board(kernel=args.kernel, build=args.build) as b:
        for _ in range(COMMANDS):
            t = time.monotonic()
            b.sh("true")
            trips.append(time.monotonic() - t)
    print(f"Linux {args.kernel}: Board() to its first answer, median of {args.rounds}: "
          f"{statistics.median(starts) * 1000:.0f} ms")
    print(f'b.sh("true"), median of {COMMANDS}: {statistics.median(trips) * 1000:.2f} ms '
          f"(90th percentile {statistics.quantiles(trips, n=10)[-1] * 1000:.2f} ms)")


if __name__ == "__main__":
    main()
