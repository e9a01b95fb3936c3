# SPDX-License-Identifier: GPL-2.0-or-later
"""The board as a library, tested through itself: Board's commands, files,
inputs and outputs on each kernel series; several boards in one process; a
command that does not end; a signal in the middle of a command; and the
pytest plugin's report of a failing test, with the board's console in it.

usage: pytest -p boardio.pytest_plugin -p pytester --board-build BUILD
              [--board-kernel SERIES]... vboard/tests/test_board.py
"""
from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from boardio import Board, BoardError, CommandTimeout
from boardio.build import cache_dir

VBOARD = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BOARD_TOOL = os.path.join(os.path.dirname(VBOARD), "scripts", "board")
# Before pytester gives each test a HOME of its own: its boards start from
# the saved machines the others do.
CACHE = cache_dir()


@pytest.fixture
def build(request: pytest.FixtureRequest) -> str:
    return str(request.config.getoption("board_build"))


def test_commands_files_inputs(board: Board) -> None:
    # Output byte for byte, status, a command of several lines (through the
    # mailbox), a long one, and the guest's state kept from one to the next.
    assert board.sh("printf 'a\\n\\tb'; echo err >&2; exit 3") == ("a\n\tberr\n", 3)
    assert board.sh("for i in 1 2; do\n  echo $i\ndone").output == "1\n2\n"
    long = "echo " + "x" * 3000
    assert board.sh(long).output == "x" * 3000 + "\n"
    assert board.sh("cd /tmp; v=1; echo $v").output == "1\n"
    assert board.sh("pwd").output == "/\n"
    with pytest.raises(BoardError, match="status 1"):
        board.sh("false", check=True)
    # Files both ways, bytes as they are, and the mode kept.
    data = bytes(range(256)) * 40
    board.put_bytes(data, "/root/sub/blob", 0o755)
    assert board.get("/root/sub/blob") == data
    assert board.sh("stat -c %a /root/sub/blob").output == "755\n"
    with pytest.raises(BoardError, match="cannot read"):
        board.get("/no/such")
    # Inputs reach the drivers; outputs and registers read back.
    assert board.sh("insmod /modules/panelio.ko").ok
    board.switches(0x2A5)
    board.press(0x5)
    assert board.sh("cat /dev/SW; cat /dev/KEY").output == "2A5\n5\n"
    board.command("devid 3c")
    assert board.regs()["DEVID"] == 0x3C
    assert board.read32(0xFF200040) == 0x2A5
    assert board.leds() == 0 and len(board.hex()) == 6


def test_host_tool_moves_the_board(board: Board) -> None:
    """scripts/board, from the host, moves a running board: what it cannot
    take is refused with the machine's reason and changes nothing; a board
    that has stopped is reported as such."""
    assert board.machine is not None
    socket = board.machine.qmp

    def tool(*words: str) -> "subprocess.CompletedProcess[str]":
        return subprocess.run([BOARD_TOOL, "--socket", socket, *words], capture_output=True,
                              text=True)

    board.sh("insmod /modules/panelio.ko && insmod /modules/accel.ko", check=True)
    for bad in ("tilt 0 0 20000", "switches 1000", "press x", "tilt 0 -1000"):
        refused = tool(*bad.split())
        assert (refused.returncode, refused.stderr[:len(bad.split()[0]) + 9]) == (
            1, f"board: {bad.split()[0]}: "), bad
    assert tool("press", "4").returncode == 0
    assert tool("tilt", "0", "-1000", "0").returncode == 0
    assert board.sh("cat /dev/KEY /dev/SW").output == "4\n000\n"
    # The next sample after the tilt, at the driver's 100 Hz.
    record = board.sh("sleep 0.1; cat /dev/accel").output.split()
    assert -1040 <= int(record[2]) * int(record[4]) <= -960, record
    board.close()
    gone = tool("tap")
    assert gone.returncode == 1 and "no virtual board is running" in gone.stderr


def test_board_outlives_its_design(build: str) -> None:
    """A design's own check that fails halts the design, not the board: the
    store that set it off and every access after it are bus errors, the
    guest goes on, the LEDs stay as they were; the halt is told once, with
    the design's file, line and message; fabric reset starts it again."""
    probe = os.path.join(os.path.dirname(VBOARD), "tests", "fabric", "designs", "probe.v")
    scratch, halt, rom = 0xFF210004, 0xFF21001C, 0xFF21002C
    with Board(build=build, fabric=[probe]) as b:
        # probe.hex, beside probe.v, read by its $readmemh("probe.hex").
        assert b.sh(f"devmem {rom:#x}").output == "0xC0DE0003\n"
        b.sh(f"devmem {scratch:#x} 32 0x2A5", check=True)
        assert b.sh(f"devmem {halt:#x} 32 3; echo $?").output.endswith("\n135\n")
        assert not b.sh(f"devmem {scratch:#x}").ok
        assert b.sh("echo alive").output == "alive\n"
        assert b.leds() == 0x2A5
        told = [line for line in b.guest_errors.splitlines()
                if line.startswith("vboard fabric: the design halted: ")]
        with open(probe) as f:
            line = next(n for n, text in enumerate(f, 1) if "$fatal(" in text)
        assert len(told) == 1 and told[0].endswith(
            f"probe.v:{line}: Assertion failed in probe.probe: halt 3 requested"), told
        assert b.guest_errors.count(": the design halted: bus error") == 2
        assert "the design halted" in b.qemu_messages.decode()
        b.sh("board fabric reset", check=True)
        assert b.sh(f"devmem {scratch:#x}").output == "0x00000000\n"
        assert b.leds() == 0


def test_design_traced_from_the_host(build: str, tmp_path: "os.PathLike[str]") -> None:
    """scripts/board trace records what the design saw, its transfers in
    a log at the cycles the waves show; stop ends the trace whole."""
    timer = os.path.join(os.path.dirname(VBOARD), "examples", "fabric", "timer.v")
    trace = os.path.join(tmp_path, "timer.fst")
    with Board(build=build, fabric=[timer]) as b:
        assert b.machine is not None
        socket = b.machine.qmp
        subprocess.run([BOARD_TOOL, "--socket", socket, "trace", trace, "--for", "1s"],
                       check=True)
        b.sh("devmem 0xFF210014 32 0x2A5; devmem 0xFF210014", check=True)
        subprocess.run([BOARD_TOOL, "--socket", socket, "trace", "stop"], check=True)
        b.sh("devmem 0xFF210014 32 0", check=True)
    with open(trace + ".log") as f:
        events = [line.split(None, 2) for line in f if not line.startswith("#")]
    assert [e[2] for e in events] == ["write 0x014 <- 0x000002a5 OKAY\n",
                                      "read 0x014 -> 0x000002a5 OKAY\n"], events
    vcd = subprocess.run(["fst2vcd", trace], capture_output=True, text=True, check=True).stdout
    stamps = [int(line[1:]) for line in vcd.splitlines() if line.startswith("#")]
    # Each transfer's cycle is in the waves at its time, 20 ns a cycle (50 MHz).
    (ns1, cycle1, _), (ns2, cycle2, _) = events
    assert round(float(ns1) * 1000) in stamps and round(float(ns2) * 1000) in stamps
    assert float(ns2) - float(ns1) == (int(cycle2) - int(cycle1)) * 20


def test_boards_side_by_side(build: str) -> None:
    with Board(build=build) as one, Board(build=build) as two:
        one.sh("echo one >/root/name", check=True)
        one.switches(0x1)
        two.switches(0x2)
        assert two.sh("cat /root/name 2>/dev/null; devmem 0xFF200040").output == "0x00000002\n"
        assert one.sh("cat /root/name; devmem 0xFF200040").output == "one\n0x00000001\n"


def test_command_that_does_not_end(build: str) -> None:
    with Board(build=build) as b:
        with pytest.raises(CommandTimeout, match="did not end within 1 s"):
            b.sh("sleep 600", timeout=1)
        with pytest.raises(BoardError, match="still running"):
            b.sh("true")


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_signal_in_a_command(build: str, tmp_path: "os.PathLike[str]", signum: int) -> None:
    """The owner of a board stopped by a signal mid-command ends with
    128 + N, leaves no QEMU and no files."""
    tmp = os.path.join(tmp_path, "tmp")
    os.mkdir(tmp)
    program = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {VBOARD!r})
        from boardio import Board, Stopped
        try:
            with Board(build={build!r}) as b:
                print("started", flush=True)
                b.sh("sleep 600")
        except Stopped as e:
            sys.exit(e.exit_status)
    """)
    env = dict(os.environ, TMPDIR=tmp)
    owner = subprocess.Popen([sys.executable, "-c", program], stdout=subprocess.PIPE, env=env,
                             restore_signals=True)
    assert owner.stdout is not None
    assert owner.stdout.readline() == b"started\n"
    time.sleep(0.2)  # into the command
    owner.send_signal(signum)
    assert owner.wait(timeout=30) == 128 + signum
    left = subprocess.run(["pgrep", "-f", f"qemu-system-arm.*{tmp}"], capture_output=True)
    assert left.returncode == 1, left.stdout
    assert os.listdir(tmp) == []


def test_failing_test_reports_the_console(pytester: pytest.Pytester, build: str,
                                          monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("BOARDIO_CACHE", CACHE)
    monkeypatch.setenv("PYTHONPATH", VBOARD)
    pytester.makepyfile(test_inner="""
        def test_fails(board):
            board.sh("echo the board was here >/dev/console")
            assert board.sh("cat /dev/SW").ok
    """)
    xml = os.path.join(str(pytester.path), "report.xml")
    result = pytester.runpytest_subprocess(
        "-p", "boardio.pytest_plugin", "--board-build", build, "--board-kernel", "6.1",
        f"--junitxml={xml}")
    result.assert_outcomes(failed=1)
    result.stdout.fnmatch_lines(["*board console*", "*the board was here*"])
    with open(xml) as f:
        report = f.read()
    assert "test_fails[6.1]" in report and "the board was here" in report
