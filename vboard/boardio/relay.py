# SPDX-License-Identifier: GPL-2.0-or-later
"""The console of a script run, taken apart: what the guest printed before
the script began, the script's output, and the exit status that ends it.

The guest frames a script's output with two marker lines that carry a token
made for the run: "TOKEN begin" before it, and "\\nTOKEN exit STATUS" after it
(the newline ends a last line the script left open, and belongs to the
guest's /init). The output is handed on as it comes; all that is held back
is a line's closing newline, until the next byte shows whether the closing
marker follows, and a line that may yet become the marker."""
from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Optional

CONSOLE_KEPT = 64 * 1024  # bytes of the console before the script's output


class Relay:
    def __init__(self, token: str, began: bool = False) -> None:
        self.begin = token.encode() + b" begin"
        self.exit = token.encode() + b" exit "
        self.began = began
        self.status: Optional[int] = None
        self.console = bytearray()  # what came before the begin marker
        self.line = b""  # the line being read, at the start of a line only
        self.at_line_start = True
        self.newline_held = False

    def feed(self, data: bytes) -> bytes:
        """What of DATA (and of what was held) is the script's output now."""
        if self.status is not None:
            return b""
        if not self.began:
            rest = self._before_begin(data)
            if rest is None:
                return b""
            data = rest
        return self._output(data)

    def until_begin(self, data: bytes) -> Optional[bytes]:
        """The console's bytes after the begin marker, as they came, once it
        is in DATA or was before it; None until then."""
        return data if self.began else self._before_begin(data)

    def end(self) -> bytes:
        """The console ended without the closing marker (the machine was
        stopped, or saved in the middle of a line): what was held."""
        if not self.began or self.status is not None:
            return b""
        out = (b"\n" if self.newline_held else b"") + self.line
        self.newline_held, self.line = False, b""
        return out

    def _before_begin(self, data: bytes) -> Optional[bytes]:
        """What follows the begin marker once DATA holds it; None before."""
        data = self.line + data
        while True:
            cut = data.find(b"\n")
            if cut < 0:
                self.line = data
                return None
            line, data = data[:cut], data[cut + 1:]
            if _marker(line) == self.begin:
                self.began, self.line = True, b""
                return data
            self.console += line + b"\n"
            del self.console[:-CONSOLE_KEPT]

    def _exit_status(self, line: bytes) -> Optional[int]:
        line = _marker(line)
        if line.startswith(self.exit) and line[len(self.exit):].isdigit():
            return int(line[len(self.exit):])
        return None

    def _output(self, data: bytes) -> bytes:
        out = bytearray()
        while data:
            cut = data.find(b"\n")
            if not self.at_line_start:
                # The rest of a line that is no marker: out at once, its
                # newline held.
                if cut < 0:
                    out += data
                    return bytes(out)
                out += data[:cut]
                data = data[cut + 1:]
                self.newline_held, self.at_line_start = True, True
                continue
            if cut < 0:
                line = self.line + data
                data = b""
                if self.exit.startswith(_marker(line)) or _marker(line).startswith(self.exit):
                    self.line = line  # it may yet be the marker
                else:
                    out += (b"\n" if self.newline_held else b"") + line
                    self.newline_held, self.line, self.at_line_start = False, b"", False
                continue
            line = self.line + data[:cut]
            data = data[cut + 1:]
            self.line = b""
            status = self._exit_status(line)
            if status is not None:
                self.status = status  # the held newline was /init's
                self.newline_held = False
                return bytes(out)
            out += (b"\n" if self.newline_held else b"") + line
            self.newline_held = True
        return bytes(out)


def _marker(line: bytes) -> bytes:
    """A line as a marker is compared: without the NUL bytes a serial port
    may send as it starts (3.18's does) and a carriage return at its end."""
    return line.replace(b"\0", b"").rstrip(b"\r")
