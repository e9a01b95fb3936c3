#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The virtual board's front panel: a page on 127.0.0.1 that shows the board
and moves it, plots what the guest's driver reads, and carries a console.

The server is glue between the page and QEMU, which does the work:
- the machine's properties (tilt, hold, switches, regs, ...) over QMP, with
  QEMU's own QMP library; they are read ten times a second, so that changes
  made elsewhere (scripts/board, the guest's board tool) reach every page;
- the panel's console is a virtio console whose character device speaks
  WebSocket itself; one connection to it is shared by every page;
- the guest's reader (panelfeed) sends its /dev/accel records, each with the
  board's true acceleration (tilted or played) at its read, over a virtio
  port; the server passes them on;
- a recording dropped on the page is stored in the run's work folder and
  played through the machine's play property.
HTTP and WebSocket are aiohttp's. Every request must carry the token of the
URL printed at start (?token=...), or it is refused with 403.

Run by vboard/run --panel; the token comes in the environment (PANEL_TOKEN),
not on the command line, where other users could read it.
"""
import argparse
import asyncio
import hmac
import json
import os
import sys

from aiohttp import ClientSession, UnixConnector, WSMsgType, web

HERE = os.path.dirname(os.path.abspath(__file__))
POLL_S = 0.1
# The properties a page shows; "regs" is the sensor's register list, "ledr"
# and "hex" the LEDs and digits the fabric's design drives.
STATE = ("tilt", "bias", "noise", "switches", "sensor", "hold", "regs", "ledr", "hex",
         "play", "playing", "play-position", "play-length")
# A recording dropped on a page: at most this many bytes.
MAX_RECORDING = 1 << 30
# The page's libraries, from the npm packages vboard/panel/setup.sh installs.
LIBS = {
    "xterm.js": "@xterm/xterm/lib/xterm.js",
    "xterm.css": "@xterm/xterm/css/xterm.css",
    "uPlot.js": "uplot/dist/uPlot.iife.min.js",
    "uPlot.css": "uplot/dist/uPlot.min.css",
}
PAGE = {"panel.js": "page/panel.js", "panel.css": "page/panel.css"}
SCROLLBACK = 64 * 1024


def log(*words):
    print("panel:", *words, file=sys.stderr, flush=True)


class Client:
    """A page's socket (events or console): a queue in front of it, so that a
    slow page loses messages instead of holding up the others."""

    def __init__(self, ws):
        self.ws = ws
        self.queue = asyncio.Queue(maxsize=2000)
        self.held = 0  # the pushbuttons this page holds down

    def send(self, message):
        try:
            self.queue.put_nowait(message)
        except asyncio.QueueFull:
            pass

    async def pump(self):
        try:
            while True:
                message = await self.queue.get()
                if isinstance(message, str):
                    await self.ws.send_str(message)
                else:
                    await self.ws.send_bytes(message)
        except (ConnectionError, RuntimeError):
            pass  # the page has gone; its handler ends too


class Panel:
    def __init__(self, args, qmp_class, execute_error):
        self.args = args
        self.qmp = qmp_class("panel")
        self.execute_error = execute_error
        self.clients = set()
        self.consoles = set()
        self.state = {}
        self.board_lock = asyncio.Lock()
        self.upstream = None  # the console's WebSocket to QEMU
        self.recordings = 0  # recordings stored, each in a folder of its own
        self.scrollback = bytearray()
        self.feed_writer = None

    # --- the machine, over QMP ------------------------------------------

    async def connect_qmp(self):
        while True:
            try:
                await self.qmp.connect(self.args.qmp)
                return
            except Exception:  # QEMU not up yet
                await asyncio.sleep(0.1)

    async def get(self, prop):
        return await self.qmp.execute("qom-get", {"path": "/machine", "property": prop})

    async def set(self, prop, value):
        await self.qmp.execute(
            "qom-set", {"path": "/machine", "property": prop, "value": value})

    async def poll_state(self):
        await self.connect_qmp()
        while True:
            await self.refresh()
            await asyncio.sleep(POLL_S)

    async def refresh(self):
        state = {p: await self.get(p) for p in STATE}
        if state != self.state:
            self.state = state
            self.broadcast({"type": "state", "state": state})

    async def control(self, client, msg):
        """One control from a page; QEMU's reason when the board refuses."""
        op = msg.get("op")
        async with self.board_lock:
            if op == "hold":
                client.held = int(msg["mask"]) & 0xF
                await self.apply_held()
            elif op == "switch":
                switches = await self.get("switches")
                bit = 1 << int(msg["n"])
                switches = switches | bit if msg["on"] else switches & ~bit
                await self.set("switches", switches)
            elif op in ("tilt", "bias"):
                await self.set(op, [int(v) for v in msg["mg"]])
            elif op == "noise":
                await self.set("noise", int(msg["mg"]))
            elif op == "tap":
                await self.set("tap", "double" if msg.get("double") else "single")
            elif op == "sensor":
                await self.set("sensor", "on" if msg["on"] else "off")
            elif op == "play-stop":
                await self.set("play", ["stop"])
            else:
                raise ValueError("unknown control %r" % op)
            await self.refresh()

    async def apply_held(self):
        held = 0
        for c in self.clients:
            held |= c.held
        await self.set("hold", held)

    # --- pages ----------------------------------------------------------

    def broadcast(self, message):
        text = json.dumps(message)
        for c in self.clients:
            c.send(text)

    async def events(self, request):
        ws = web.WebSocketResponse(heartbeat=20)
        await ws.prepare(request)
        client = Client(ws)
        self.clients.add(client)
        pump = asyncio.ensure_future(client.pump())
        client.send(json.dumps({"type": "state", "state": self.state}))
        self.feed_command()
        try:
            async for msg in ws:
                if msg.type != WSMsgType.TEXT:
                    continue
                try:
                    await self.control(client, json.loads(msg.data))
                except self.execute_error as e:
                    client.send(json.dumps({"type": "refused", "message": str(e)}))
                except (ValueError, KeyError, TypeError) as e:
                    client.send(json.dumps({"type": "refused", "message": str(e)}))
        finally:
            pump.cancel()
            self.clients.discard(client)
            self.feed_command()
            if client.held:
                async with self.board_lock:
                    await self.apply_held()
        return ws

    # --- the console ----------------------------------------------------

    async def console_upstream(self):
        """One WebSocket to QEMU's console character device, again whenever
        it closes; its output goes to every page's console."""
        connector = UnixConnector(path=self.args.console)
        async with ClientSession(connector=connector) as session:
            while True:
                try:
                    # QEMU's WebSocket server answers on "/" only.
                    async with session.ws_connect("http://vboard/",
                                                  protocols=("binary",)) as ws:
                        self.upstream = ws
                        async for msg in ws:
                            if msg.type == WSMsgType.BINARY:
                                self.console_output(msg.data)
                except Exception:
                    pass
                self.upstream = None
                await asyncio.sleep(0.2)

    def console_output(self, data):
        self.scrollback += data
        del self.scrollback[:-SCROLLBACK]
        for c in self.consoles:
            c.send(data)

    async def console(self, request):
        """A page's terminal: first what the console showed before (the
        page's first message), then the console as it goes."""
        ws = web.WebSocketResponse(heartbeat=20)
        await ws.prepare(request)
        client = Client(ws)
        client.send(bytes(self.scrollback))
        self.consoles.add(client)
        pump = asyncio.ensure_future(client.pump())
        try:
            async for msg in ws:
                data = msg.data.encode() if msg.type == WSMsgType.TEXT else msg.data
                if msg.type in (WSMsgType.TEXT, WSMsgType.BINARY) and self.upstream:
                    await self.upstream.send_bytes(data)
        finally:
            pump.cancel()
            self.consoles.discard(client)
        return ws

    # --- the guest's reader ---------------------------------------------

    def feed_command(self):
        """Starts the guest's reader while a page watches, stops it when
        none does: its reads of /dev/accel cost the guest time."""
        if self.feed_writer:
            self.feed_writer.write(b"start\n" if self.clients else b"stop\n")

    async def feed(self):
        while True:
            try:
                reader, self.feed_writer = await asyncio.open_unix_connection(
                    self.args.feed)
            except OSError:
                await asyncio.sleep(0.1)
                continue
            self.feed_command()
            while True:
                line = await reader.readline()
                if not line:
                    break
                self.feed_line(line.decode(errors="replace").rstrip("\n"))
            self.feed_writer = None
            await asyncio.sleep(0.2)

    def feed_line(self, line):
        """A line of panelfeed (its "R" and "E" lines) to every page."""
        try:
            kind, seq, rest = line.split(" ", 2)
            if kind == "R":
                new, t, x, y, z, record = rest.split(" ", 5)
                message = {"new": new == "1", "record": record,
                           "true": [int(x), int(y), int(z)]}
            elif kind == "E":
                t, message = rest.split(" ", 1)
                message = {"error": message}
            else:
                raise ValueError(kind)
            message.update(type="record", seq=int(seq), t=int(t) / 1e6)
        except ValueError:
            log("not a line of the reader's:", repr(line))
            return
        self.broadcast(message)

    # --- recordings -----------------------------------------------------

    async def recording(self, request: web.Request) -> web.Response:
        """A recording from a page (the request's body), stored in the run's
        work folder under its own name and played by the machine with the
        options of the query (loop, columns, units); QEMU's reason, without
        the folder, when it refuses it."""
        self.recordings += 1
        folder = os.path.join(self.args.recordings, str(self.recordings))
        os.makedirs(folder)
        name = os.path.basename(request.query.get("name", "")).lstrip(".") or "recording.csv"
        path = os.path.join(folder, name)
        size = 0
        with open(path, "wb") as f:
            async for chunk in request.content.iter_chunked(1 << 16):
                size += len(chunk)
                if size > MAX_RECORDING:
                    raise web.HTTPRequestEntityTooLarge(max_size=MAX_RECORDING,
                                                        actual_size=size)
                f.write(chunk)
        words = [path]
        if request.query.get("loop") == "1":
            words.append("--loop")
        for option in ("columns", "units"):
            if request.query.get(option):
                words += ["--" + option, request.query[option]]
        try:
            async with self.board_lock:
                await self.set("play", words)
                await self.refresh()
        except self.execute_error as e:
            return web.json_response({"message": str(e).replace(folder + os.sep, "")},
                                     status=400)
        return web.json_response({"playing": name})

    # --- HTTP -----------------------------------------------------------

    async def index(self, request):
        with open(os.path.join(HERE, "page", "index.html")) as f:
            html = f.read().replace("{{token}}", self.args.token)
        return web.Response(text=html, content_type="text/html",
                            headers={"Cache-Control": "no-store"})

    async def asset(self, request):
        name = request.match_info["name"]
        if request.match_info["dir"] == "lib" and name in LIBS:
            return web.FileResponse(os.path.join(self.args.modules, LIBS[name]))
        if request.match_info["dir"] == "page" and name in PAGE:
            return web.FileResponse(os.path.join(HERE, PAGE[name]))
        raise web.HTTPNotFound()


def token_check(token):
    @web.middleware
    async def check(request, handler):
        given = request.query.get("token", "")
        if not hmac.compare_digest(given.encode(), token.encode()):
            raise web.HTTPForbidden(
                text="panel: no access without the token of the URL vboard/run printed\n")
        response = await handler(request)
        # The token is in the page's URL: no referrer leaves it.
        response.headers["Referrer-Policy"] = "no-referrer"
        response.headers["X-Frame-Options"] = "DENY"
        return response
    return check


async def serve(args):
    sys.path.insert(0, args.qemu_python)
    from qemu.qmp import ExecuteError, QMPClient, QMPError

    panel = Panel(args, QMPClient, ExecuteError)
    app = web.Application(middlewares=[token_check(args.token)])
    app.router.add_get("/", panel.index)
    app.router.add_get("/events", panel.events)
    app.router.add_get("/console", panel.console)
    app.router.add_post("/recording", panel.recording)
    app.router.add_get("/{dir:lib|page}/{name}", panel.asset)
    runner = web.AppRunner(app, access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", args.port)
    await site.start()
    port = runner.addresses[0][1]
    url = "http://127.0.0.1:%d/?token=%s" % (port, args.token)
    with open(args.url_file + ".tmp", "w") as f:
        f.write(url + "\n")
    os.rename(args.url_file + ".tmp", args.url_file)
    try:
        await asyncio.gather(panel.poll_state(), panel.console_upstream(), panel.feed())
    except (QMPError, OSError, EOFError):
        log("the board has stopped")
    finally:
        await runner.cleanup()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1 (0: any free)")
    p.add_argument("--qmp", required=True, help="the machine's QMP socket for the panel")
    p.add_argument("--console", required=True, help="the console's WebSocket socket")
    p.add_argument("--feed", required=True, help="the reader's port socket")
    p.add_argument("--modules", required=True, help="node_modules of vboard/panel/setup.sh")
    p.add_argument("--qemu-python", required=True, help="QEMU's python/ (its QMP library)")
    p.add_argument("--url-file", required=True, help="where the URL goes once listening")
    p.add_argument("--recordings", required=True, help="where recordings from pages go")
    args = p.parse_args()
    args.token = os.environ.get("PANEL_TOKEN", "")
    if len(args.token) < 16:
        p.error("PANEL_TOKEN must hold a token of 16 characters or more")
    try:
        asyncio.run(serve(args))
    except OSError as e:
        log(e)
        sys.exit(1)


if __name__ == "__main__":
    main()
