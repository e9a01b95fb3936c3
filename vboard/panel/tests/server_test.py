#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The panel's server against a machine of the test's own: QMP requests
answered one at a time, in turn, as QEMU answers them on one socket.

usage: server_test.py (QEMU's python/ on PYTHONPATH, for its QMP library)
"""
import asyncio
import json
import os
import sys
import tempfile
import unittest
from typing import Dict, List, Mapping, Optional

from aiohttp import web
from qemu.qmp import QMPClient

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import server  # noqa: E402


class Machine(QMPClient):
    """The machine's properties, with a design in the fabric that lights
    LEDR0 as soon as SW0 is on."""

    def __init__(self) -> None:
        super().__init__("machine")
        self.props: Dict[str, object] = {p: 0 for p in server.STATE + server.BOARD}
        self.props["switch-count"] = 10
        self.reads: Dict[str, int] = {p: 0 for p in self.props}
        self.switches_read = asyncio.Event()

    async def execute(self, cmd: str, arguments: Optional[Mapping[str, object]] = None,
                      oob: bool = False) -> object:
        assert arguments is not None
        prop = str(arguments["property"])
        await asyncio.sleep(0)  # the request's turn
        if cmd == "qom-get":
            self.reads[prop] += 1
            if prop == "switches":
                self.switches_read.set()
            return self.props[prop]
        self.props[prop] = arguments["value"]
        self.props["ledr"] = int(str(self.props["switches"])) & 1
        return {}


class PanelTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self) -> None:
        self.folder = tempfile.TemporaryDirectory()
        self.machine = Machine()
        config = server.Config(token="0" * 16, qmp="", console="", feed="", modules="",
                               recordings=self.folder.name, trace="/work/trace.fst")
        self.panel = server.Panel(config, self.machine)
        self.page = server.Client(web.WebSocketResponse())
        self.panel.clients.add(self.page)

    async def asyncTearDown(self) -> None:
        self.folder.cleanup()

    def states(self) -> List[Dict[str, object]]:
        """The states the page was sent."""
        sent = []
        while not self.page.queue.empty():
            message = json.loads(self.page.queue.get_nowait())
            if message["type"] == "state":
                sent.append(message["state"])
        return sent

    async def test_a_poll_beside_a_control_shows_no_state_the_board_was_never_in(self) -> None:
        poll = asyncio.create_task(self.panel.poll())
        await self.machine.switches_read.wait()
        await self.panel.control(self.page, {"op": "switch", "n": 0, "on": True})
        await poll
        await self.panel.poll()
        states = self.states()
        self.assertEqual(states[-1]["switches"], 1, states)
        for state in states:
            self.assertEqual(state["ledr"], state["switches"], states)

    async def test_every_state_says_how_many_switches_the_machine_gives_the_board(self) -> None:
        self.machine.props["switch-count"] = 7
        await self.panel.poll()
        await self.panel.control(self.page, {"op": "switch", "n": 6, "on": True})
        states = self.states()
        self.assertEqual([s["switch-count"] for s in states], [7, 7], states)
        self.assertEqual(states[-1]["switches"], 0x40, states)
        self.assertEqual(self.machine.reads["switch-count"], 1, "it never changes: read once")

    async def test_the_design_is_reset_and_traced_through_the_machine(self) -> None:
        await self.panel.control(self.page, {"op": "fabric-reset"})
        self.assertEqual(self.machine.props.get("command"), "fabric reset")
        self.machine.props["fabric-trace-for"] = 5
        await self.panel.control(self.page, {"op": "fabric-trace", "on": True})
        self.assertEqual((self.machine.props["fabric-trace"], self.machine.props["fabric-trace-for"]),
                         (self.panel.config.trace, 0), "from now until stopped")
        self.assertEqual(self.states()[-1]["fabric-trace"], self.panel.config.trace)
        await self.panel.control(self.page, {"op": "fabric-trace", "on": False})
        self.assertEqual(self.machine.props["fabric-trace"], "")


if __name__ == "__main__":
    unittest.main()
