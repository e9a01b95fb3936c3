# SPDX-License-Identifier: GPL-2.0-or-later
"""The virtual board as a library: `Board` starts one and drives it, the
`boardio.pytest_plugin` gives tests a `board` fixture, `boardio.machine`
runs the board's QEMU for `vboard/run`, `boardio.check` checks anyone's
modules and programs against the board's behaviour.

The names below are loaded when first used: vboard/run imports this package
for its machine alone, and each module imported costs a run's start."""
from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from .board import Board as Board
    from .board import BoardError as BoardError
    from .board import CommandTimeout as CommandTimeout
    from .board import Result as Result
    from .options import Options as Options
    from .options import UsageError as UsageError
    from .process import Stopped as Stopped

_HOMES = {"Board": "board", "BoardError": "board", "CommandTimeout": "board", "Result": "board",
          "Options": "options", "UsageError": "options", "Stopped": "process"}
__all__ = sorted(_HOMES)


def __getattr__(name: str) -> object:
    if name not in _HOMES:
        raise AttributeError(f"module 'boardio' has no attribute '{name}'")
    import importlib
    return getattr(importlib.import_module("." + _HOMES[name], __name__), name)
