# SPDX-License-Identifier: GPL-2.0-or-later
"""The console relay, without a board: a script's output comes out byte for
byte however the console's bytes are split, as soon as it can be told from
the closing marker, and the marker's status ends it.

usage: pytest vboard/tests/test_relay.py   (PYTHONPATH=vboard)
"""
from __future__ import annotations

import pytest

from boardio.relay import Relay

TOKEN = "vboard-00112233"
OUTPUTS = [
    b"",
    b"no newline at the end",
    b"line\n",
    b"two\n\nblank lines\n\n",
    b"vboard-0000 exit 0\n" + TOKEN.encode() + b" exit x\n" + TOKEN.encode() + b" exi",
    b"\x1b[31mred\x1b[0m\r\n\ttab",
]


def console(output: bytes, status: int = 7) -> bytes:
    # A 3.18 serial port starts with a NUL; the guest's /init ends the
    # script's last line before the closing marker.
    return (b"\0boot noise\r\n" + b"\0" + TOKEN.encode() + b" begin\n" + output
            + b"\n" + TOKEN.encode() + b" exit %d\n" % status + b"after the end\n")


@pytest.mark.parametrize("output", OUTPUTS)
@pytest.mark.parametrize("chunk", [1, 2, 3, 7, 4096])
def test_output_byte_for_byte(output: bytes, chunk: int) -> None:
    relay = Relay(TOKEN)
    data = console(output)
    got = b"".join(relay.feed(data[i:i + chunk]) for i in range(0, len(data), chunk))
    assert (got, relay.status) == (output, 7)
    assert relay.console == b"\0boot noise\r\n"


def test_output_as_it_comes() -> None:
    """A prompt before a wait is out before the next byte comes; only a
    line's newline, and a line that may become the marker, wait."""
    relay = Relay(TOKEN, began=True)
    assert relay.feed(b"Press a key: ") == b"Press a key: "
    assert relay.feed(b"\n") == b""
    assert relay.feed(b"vboard-001") == b""  # the marker's start
    assert relay.feed(b"x") == b"\nvboard-001x"
    assert relay.feed(b" more\nnext") == b" more\nnext"


def test_end_without_marker() -> None:
    """A machine stopped in the middle of the output (saved, say) hands out
    what it held."""
    relay = Relay(TOKEN, began=True)
    assert relay.feed(b"half\n" + TOKEN.encode()[:5]) == b"half"
    assert relay.end() == b"\n" + TOKEN.encode()[:5]
    assert relay.status is None


@pytest.mark.parametrize("chunk", [1, 4096])
def test_until_begin_keeps_what_follows_as_it_came(chunk: int) -> None:
    """A board's agent greets right after the marker, often in the same read:
    its line comes whole, newline and all."""
    relay = Relay(TOKEN)
    data = b"noise\n" + TOKEN.encode() + b" begin\nagent ready\n"
    parts = [relay.until_begin(data[i:i + chunk]) for i in range(0, len(data), chunk)]
    assert b"".join(p for p in parts if p is not None) == b"agent ready\n"
