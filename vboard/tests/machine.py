#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The board's machine without a guest, as QEMU's own device tests drive a
device: QEMU started with -S (no kernel, the processor never runs) and the
machine driven over QMP. Its command parser takes and refuses every form of
the board tools' list (board_forms.txt) with a reason; its typed properties
take numbers as numbers within their ranges and words as words; what a
person can only read, they can only read; and the mailbox refuses a file it
cannot hold.

usage: machine.py QEMU_BINARY QEMU_SOURCE
"""
import os
import shlex
import subprocess
import sys
import tempfile
import time
import unittest
from typing import Any, ClassVar, Optional

QEMU, SOURCE = sys.argv[1], sys.argv[2]
sys.path.insert(0, os.path.join(SOURCE, "python"))
from qemu.qmp.legacy import QEMUMonitorProtocol  # noqa: E402

FORMS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "board_forms.txt")
# The tools' own commands: the machine never sees them.
TOOLS_OWN = ("regs", "help")
MAILBOX_SIZE = 0xF00000  # vboard/qemu/control_page.h


def machine_forms() -> list[tuple[str, str]]:
    """(expected outcome, command line) of the forms the machine parses: the
    words joined by single blanks, as both tools send them."""
    forms = []
    with open(FORMS) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            outcome, _, form = line.rstrip("\n").partition(" ")
            words = shlex.split(form)
            if outcome != "usage" and words[0] not in TOOLS_OWN:
                forms.append((outcome, " ".join(words)))
    return forms


class Machine(unittest.TestCase):
    work: ClassVar[tempfile.TemporaryDirectory[str]]
    qemu: ClassVar["subprocess.Popen[bytes]"]
    qmp: ClassVar[QEMUMonitorProtocol]

    @classmethod
    def setUpClass(cls) -> None:
        cls.work = tempfile.TemporaryDirectory()
        sock = os.path.join(cls.work.name, "qmp.sock")
        cls.qemu = subprocess.Popen(
            [QEMU, "-M", "vboard", "-nic", "none", "-display", "none", "-S",
             "-qmp", f"unix:{sock},server=on,wait=off"], stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while not os.path.exists(sock):
            if cls.qemu.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"QEMU did not start: {cls.qemu.stderr!r}")
            time.sleep(0.01)
        cls.qmp = QEMUMonitorProtocol(sock)
        cls.qmp.connect()

    @classmethod
    def tearDownClass(cls) -> None:
        cls.qmp.cmd("quit")
        try:
            cls.qmp.close()
        except EOFError:
            pass  # QEMU quit first
        cls.qemu.wait(timeout=30)
        cls.work.cleanup()

    def set(self, prop: str, value: Any) -> Optional[str]:
        """None once the machine took the value, else its reason."""
        reply = self.qmp.cmd("qom-set", {"path": "/machine", "property": prop, "value": value})
        return reply["error"]["desc"] if "error" in reply else None

    def get(self, prop: str) -> Any:
        return self.qmp.command("qom-get", path="/machine", property=prop)

    def test_command_forms(self) -> None:
        forms = machine_forms()
        self.assertGreater(len(forms), 30)
        for outcome, line in forms:
            with self.subTest(line=line):
                reason = self.set("command", line)
                if outcome == "ok":
                    self.assertIsNone(reason)
                else:
                    # The command's name, or the word that is none, leads.
                    self.assertRegex(reason or "", r"^[a-z']+.*: ")

    def test_typed_properties(self) -> None:
        self.assertIsNone(self.set("switches", 0x677))
        self.assertEqual(self.get("switches"), 0x677)
        self.assertIsNotNone(self.set("noise", "5"), "a number as a string")
        self.assertIn("tilt: 16001 is out of range", self.set("tilt", [0, 0, 16001]) or "")
        self.assertIsNotNone(self.set("bias", [1, 2]), "a bias of two axes")
        self.assertIsNone(self.set("bias", [1, -2, 3]))
        self.assertEqual(self.get("bias"), [1, -2, 3])
        self.assertIsNone(self.set("bias", [0, 0, 0]))
        self.assertEqual(self.get("sensor"), "on")
        self.assertIsNotNone(self.set("sensor", 1), "a word as a number")
        # A refused value changes nothing.
        self.assertIsNone(self.set("tilt", [0, 707, 707]))
        self.assertIsNotNone(self.set("tilt", [0, 707, 16001]))
        self.assertEqual(self.get("tilt"), [0, 707, 707])

    def test_what_is_only_read(self) -> None:
        regs = self.get("regs").splitlines()
        self.assertEqual(len(regs), 13)
        for line in regs:
            self.assertRegex(line, r"^[A-Za-z_]+ 0x[0-9A-F]{2}$")
        self.assertTrue(regs[0].startswith("DEVID "), regs)
        self.assertIsNotNone(self.set("regs", "DEVID 0x00"))

    def test_mailbox_refuses_what_it_cannot_hold(self) -> None:
        big = os.path.join(self.work.name, "big")
        with open(big, "wb") as f:
            f.truncate(MAILBOX_SIZE + 1)
        self.assertIn("the mailbox", self.set("mailbox", big) or "")
        self.assertIsNotNone(self.set("mailbox", os.path.join(self.work.name, "absent")))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
