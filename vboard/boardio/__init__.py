# SPDX-License-Identifier: GPL-2.0-or-later
"""The virtual board as a library: `Board` starts one and drives it, the
`boardio.pytest_plugin` gives tests a `board` fixture, `boardio.machine`
runs the board's QEMU for `vboard/run`, `boardio.check` checks anyone's
modules and programs against the board's behaviour."""
from .board import Board, BoardError, CommandTimeout, Result
from .options import Options, UsageError
from .process import Stopped

__all__ = ["Board", "BoardError", "CommandTimeout", "Options", "Result", "Stopped", "UsageError"]
