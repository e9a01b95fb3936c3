# SPDX-License-Identifier: GPL-2.0-or-later
"""boardio: the virtual board's command.

usage: boardio run [vboard/run's options]     run a board (vboard/run --help)
       boardio check --modules DIR [...]      check a build against the board
                                              (boardio check --help)
       boardio batch JOBS.toml --out DIR      many boards as a batch
                                              (boardio batch --help)
"""
from __future__ import annotations

import sys
from typing import Sequence


def main(argv: Sequence[str]) -> int:
    from .process import Stopped, signals_stop
    if not argv or argv[0] in ("-h", "--help", "help"):
        sys.stdout.write(str(__doc__).split("\n", 2)[2])
        return 0 if argv else 2
    command, rest = argv[0], list(argv[1:])
    if command == "run":
        from .cli import main as run
        return run(rest, prog="boardio run")
    if command in ("check", "batch"):
        if command == "check":
            from .check import main as chosen
        else:
            from .batch import main as chosen
        with signals_stop():
            try:
                return chosen(rest)
            except Stopped as e:
                return e.exit_status
    sys.stderr.write(f"boardio: unknown command '{command}' (boardio --help)\n")
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
