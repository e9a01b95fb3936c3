# SPDX-License-Identifier: GPL-2.0-or-later
"""The virtual board in pytest: a `board` fixture, a board started (from a
saved machine) for each test that asks for one, stopped after it.

    pytest -p boardio.pytest_plugin [--board-kernel 6.1 --board-kernel 3.18]
           [--board-build DIR] [--board-file PATH[:GUEST_PATH]]...
           [--board-fabric FILE.v]... tests/

`--board-kernel` (repeatable) runs each test that takes `board` on each
series named (default 6.1); `@pytest.mark.board(files=[...], fabric=[...],
icount=True, ...)` gives a test's board more options (those of `Board`);
`--board-file` and `--board-fabric` give every board of the session files
and a design (a mark's own fabric replaces the latter): what one test file
is run against, as `boardio batch` runs it.
A test that fails carries its board's console and guest-error log in its
report, and so in pytest's own `--junitxml`."""
from __future__ import annotations

import os
from typing import Any, Iterator

import pytest

from .board import Board
from .options import file_entry, file_parts

CONSOLE_KEPT = 8000  # characters of the console a failure carries


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("boardio", "the virtual board")
    group.addoption("--board-kernel", action="append", metavar="SERIES",
                    help="kernel series (6.1, 6.12, 3.18) or a kernel folder for the "
                    "board fixture; repeat for several (default 6.1)")
    group.addoption("--board-build", metavar="DIR",
                    help="the build folder holding the board's images (default build/)")
    group.addoption("--board-file", action="append", default=[], metavar="PATH[:GUEST_PATH]",
                    help="a file every board gets, besides its mark's; repeatable")
    group.addoption("--board-fabric", action="append", default=[], metavar="FILE.v",
                    help="a design in the fabric of every board whose mark names none; "
                    "repeatable")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "board(**options): options of the test's Board")


def pytest_generate_tests(metafunc: pytest.Metafunc) -> None:
    if "board_kernel" not in metafunc.fixturenames:
        return
    for mark in metafunc.definition.iter_markers("parametrize"):
        names = mark.args[0] if mark.args else ""
        if "board_kernel" in (names.replace(" ", "").split(",") if isinstance(names, str)
                              else list(names)):
            return  # the test names its own series
    metafunc.parametrize("board_kernel", metafunc.config.getoption("board_kernel") or ["6.1"])


@pytest.fixture
def board(request: pytest.FixtureRequest, board_kernel: str) -> Iterator[Board]:
    """A running board; its series from --board-kernel."""
    options: dict[str, Any] = {}
    for mark in reversed(list(request.node.iter_markers("board"))):
        options.update(mark.kwargs)
    build = request.config.getoption("board_build")
    if build:
        options.setdefault("build", os.path.abspath(build))
    files = []
    for entry in request.config.getoption("board_file"):
        path, guest = file_parts(entry)
        files.append(file_entry(os.path.abspath(path), guest))
    options["files"] = files + list(options.get("files", ()))
    options.setdefault("fabric", request.config.getoption("board_fabric"))
    with Board(kernel=board_kernel, **options) as b:
        request.node.stash[_BOARD] = b
        yield b


_BOARD = pytest.StashKey[Board]()


@pytest.fixture
def board_kernel() -> str:
    """The board's kernel series; parametrised by --board-kernel."""
    return "6.1"


# pytest's hook markers are untyped.
@pytest.hookimpl(hookwrapper=True)  # type: ignore[misc]
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]) -> Iterator[Any]:
    outcome: Any = yield
    report: pytest.TestReport = outcome.get_result()
    b = item.stash.get(_BOARD, None)
    if b is None or not report.failed:
        return
    add = getattr(report.longrepr, "addsection", None)
    for title, text in (("board console", b.console[-CONSOLE_KEPT:]),
                        ("guest errors", b.guest_errors)):
        if text and add is not None:
            add(title, text)
        elif text:
            report.sections.append((title, text))
