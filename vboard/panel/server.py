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

The links to QEMU are the application's cleanup contexts: each runs as a task
while the server runs, and is ended with it. The server stops when the
machine's QMP socket closes (QEMU has ended), or on SIGTERM or SIGINT.

Run by vboard/run --panel, with QEMU's python/ (its QMP library) on
PYTHONPATH; the token comes in the environment (PANEL_TOKEN), not on the
command line, where other users could read it. What it has to say goes to
stderr, which vboard/run keeps in its work folder (panel.log).
"""
import argparse
import asyncio
import contextlib
import dataclasses
import hmac
import json
import logging
import os
import signal
import sys
from collections.abc import AsyncIterator, Awaitable, Callable, Coroutine
from typing import Any
from urllib.parse import quote

from aiohttp import (ClientError, ClientSession, ClientWebSocketResponse, UnixConnector,
                     WSCloseCode, WSMsgType, web)
from aiohttp.typedefs import Handler
from qemu.qmp import ConnectError, ExecuteError, QMPClient, QMPError

log = logging.getLogger("panel")

HERE = os.path.dirname(os.path.abspath(__file__))
POLL_S = 0.1
# After QEMU's sockets close or refuse: the wait before the next try.
RETRY_S = 0.2
# The properties a page shows; "regs" is the sensor's register list, "ledr"
# and "hex" the LEDs and digits the fabric's design drives.
STATE = ("tilt", "bias", "noise", "switches", "sensor", "hold", "regs", "ledr", "hex",
         "play", "playing", "play-position", "play-length", "fabric-trace")
# What the page draws the board with, which never changes while it runs:
# read once, and sent with every state ("switch-count": the switches SW0 up;
# "fabric": the design's library, "" without one).
BOARD = ("switch-count", "fabric")
# A recording dropped on a page: at most this many bytes.
MAX_RECORDING = 1 << 30
# The page's libraries, from the npm packages vboard/panel/setup.sh installs:
# the ES module builds they ship, and their styles.
LIBS = {
    "xterm.mjs": "@xterm/xterm/lib/xterm.mjs",
    "xterm.css": "@xterm/xterm/css/xterm.css",
    "uPlot.esm.js": "uplot/dist/uPlot.esm.js",
    "uPlot.css": "uplot/dist/uPlot.min.css",
}
# The names the page's modules import the libraries by.
LIB_MODULES = {"@xterm/xterm": "xterm.mjs", "uplot": "uPlot.esm.js"}
PAGE_DIR = os.path.join(HERE, "page")
# The page's modules and styles; index.html is served apart, with its token.
PAGE_FILES = frozenset(name for name in os.listdir(PAGE_DIR) if name.endswith((".js", ".css")))
SCROLLBACK = 64 * 1024
# Messages waiting for one page; a page further behind loses the newest.
QUEUE = 2000
# Time left to requests in progress once the pages' sockets are closed:
# vboard/run ends the server with SIGKILL five seconds after SIGTERM.
SHUTDOWN_S = 2.0

Message = str | bytes
CleanupContext = Callable[[web.Application], AsyncIterator[None]]
Middleware = Callable[[web.Request, Handler], Awaitable[web.StreamResponse]]


@dataclasses.dataclass(frozen=True)
class Config:
    token: str
    qmp: str  # the machine's QMP socket for the panel
    console: str  # the console's WebSocket socket
    feed: str  # the reader's port socket
    modules: str  # node_modules of vboard/panel/setup.sh
    recordings: str  # where recordings from pages go
    trace: str  # the file a page's trace of the fabric's design goes to


class Client:
    """A page's socket (events or console): a queue in front of it, so that a
    slow page loses messages instead of holding up the others."""

    def __init__(self, ws: web.WebSocketResponse) -> None:
        self.ws = ws
        self.queue: asyncio.Queue[Message] = asyncio.Queue(maxsize=QUEUE)
        self.held = 0  # the pushbuttons this page holds down
        self.lost = 0  # messages dropped as the page fell behind

    def send(self, message: Message) -> None:
        try:
            self.queue.put_nowait(message)
        except asyncio.QueueFull:
            if not self.lost:
                log.warning("a page falls behind: its messages are dropped until it catches up")
            self.lost += 1

    async def pump(self) -> None:
        try:
            while True:
                message = await self.queue.get()
                if isinstance(message, str):
                    await self.ws.send_str(message)
                else:
                    await self.ws.send_bytes(message)
        except (ConnectionError, RuntimeError) as e:
            # The page has gone; its handler ends as its socket closes.
            log.debug("a page's socket: %s", e)


class Panel:
    def __init__(self, config: Config, qmp: QMPClient) -> None:
        self.config = config
        self.qmp = qmp
        self.clients: set[Client] = set()
        self.consoles: set[Client] = set()
        self.state: dict[str, object] = {}
        self.board: dict[str, object] = {}  # the BOARD properties, once read
        self.board_lock = asyncio.Lock()
        self.upstream: ClientWebSocketResponse | None = None  # the console's socket to QEMU
        self.recordings = 0  # recordings stored, each in a folder of its own
        self.scrollback = bytearray()
        self.feed_writer: asyncio.StreamWriter | None = None
        self.stopping = asyncio.Event()

    def stop(self) -> None:
        self.stopping.set()

    # --- the links to QEMU, while the server runs -----------------------

    def link(self, name: str, run: Callable[[], Coroutine[Any, Any, None]]) -> CleanupContext:
        """A cleanup context that runs RUN as a task while the server runs.
        RUN ends only when the board has gone, or on a fault: either way,
        its end stops the server, with the fault logged."""
        def ended(task: asyncio.Task[None]) -> None:
            if not task.cancelled() and task.exception():
                log.error("the %s link failed", name, exc_info=task.exception())
            self.stop()

        async def context(app: web.Application) -> AsyncIterator[None]:
            task = asyncio.create_task(run(), name=name)
            task.add_done_callback(ended)
            yield
            task.remove_done_callback(ended)
            task.cancel()
            await asyncio.wait([task])
        return context

    # --- the machine, over QMP ------------------------------------------

    async def watch_board(self) -> None:
        """The machine's state to every page as it changes, until QEMU ends."""
        while True:
            try:
                await self.qmp.connect(self.config.qmp)
                break
            except ConnectError as e:  # QEMU not up yet
                log.debug("QMP: %s", e)
                await asyncio.sleep(POLL_S)
        log.info("QMP: connected to the machine")
        try:
            while True:
                await self.poll()
                await asyncio.sleep(POLL_S)
        except (QMPError, OSError, EOFError) as e:
            log.info("the board has stopped (QMP: %s)", str(e) or type(e).__name__)
        finally:
            with contextlib.suppress(QMPError, OSError, EOFError):
                await self.qmp.disconnect()

    async def get_property(self, prop: str) -> object:
        return await self.qmp.execute("qom-get", {"path": "/machine", "property": prop})

    async def set_property(self, prop: str, value: object) -> None:
        await self.qmp.execute(
            "qom-set", {"path": "/machine", "property": prop, "value": value})

    async def poll(self) -> None:
        """The machine's state as it is, to every page if it changed. Never
        beside a control: a poll that read the switches before a control
        set them, and the LEDs after the guest answered, would show a state
        the board never was in, after the control's own."""
        async with self.board_lock:
            await self.refresh()

    async def refresh(self) -> None:
        if not self.board:
            self.board = {p: await self.get_property(p) for p in BOARD}
        state = self.board | {p: await self.get_property(p) for p in STATE}
        if state != self.state:
            self.state = state
            self.broadcast({"type": "state", "state": state})

    async def control(self, client: Client, msg: object) -> None:
        """One control from a page; QEMU's reason when the board refuses."""
        if not isinstance(msg, dict):
            raise TypeError("a control is a JSON object")
        op = msg.get("op")
        async with self.board_lock:
            if op == "hold":
                client.held = int(msg["mask"]) & 0xF
                await self.apply_held()
            elif op == "switch":
                switches = await self.get_property("switches")
                if not isinstance(switches, int):
                    raise TypeError("the machine's switches are %r" % switches)
                bit = 1 << int(msg["n"])
                switches = switches | bit if msg["on"] else switches & ~bit
                await self.set_property("switches", switches)
            elif op in ("tilt", "bias"):
                await self.set_property(op, [int(v) for v in msg["mg"]])
            elif op == "noise":
                await self.set_property("noise", int(msg["mg"]))
            elif op == "tap":
                await self.set_property("tap", "double" if msg.get("double") else "single")
            elif op == "sensor":
                await self.set_property("sensor", "on" if msg["on"] else "off")
            elif op == "play-stop":
                await self.set_property("play", ["stop"])
            elif op == "fabric-reset":
                await self.set_property("command", "fabric reset")
            elif op == "fabric-trace":
                # From now to its stop, into the run's trace file.
                if msg["on"]:
                    await self.set_property("fabric-trace-from", 0)
                    await self.set_property("fabric-trace-for", 0)
                await self.set_property("fabric-trace", self.config.trace if msg["on"] else "")
            else:
                raise ValueError("unknown control %r" % op)
            await self.refresh()

    async def apply_held(self) -> None:
        held = 0
        for c in self.clients:
            held |= c.held
        await self.set_property("hold", held)

    # --- pages ----------------------------------------------------------

    def broadcast(self, message: dict[str, object]) -> None:
        text = json.dumps(message)
        for c in self.clients:
            c.send(text)

    @contextlib.asynccontextmanager
    async def page(self, ws: web.WebSocketResponse, pages: set[Client],
                   first: Message) -> AsyncIterator[Client]:
        """A page's socket among PAGES while it is open, FIRST its first
        message."""
        client = Client(ws)
        client.send(first)
        pages.add(client)
        pump = asyncio.create_task(client.pump())
        try:
            yield client
        finally:
            pages.discard(client)
            pump.cancel()
            await asyncio.wait([pump])
            if client.lost:
                log.warning("a page missed %d messages", client.lost)

    async def events(self, request: web.Request) -> web.WebSocketResponse:
        ws = web.WebSocketResponse(heartbeat=20)
        await ws.prepare(request)
        first = json.dumps({"type": "state", "state": self.state})
        async with self.page(ws, self.clients, first) as client:
            self.feed_command()
            try:
                async for msg in ws:
                    if msg.type != WSMsgType.TEXT:
                        continue
                    try:
                        await self.control(client, json.loads(msg.data))
                    except (ExecuteError, ValueError, KeyError, TypeError) as e:
                        log.info("a control refused: %s: %s", msg.data, e)
                        client.send(json.dumps({"type": "refused", "message": str(e)}))
            finally:
                # Out of the pages now: its buttons are let go, and the
                # reader stops if it was the last page.
                self.clients.discard(client)
                self.feed_command()
                if client.held:
                    try:
                        async with self.board_lock:
                            await self.apply_held()
                    except QMPError as e:
                        log.warning("the pushbuttons a page held stay down: %s", e)
        return ws

    async def close_pages(self, app: web.Application) -> None:
        """The pages' sockets closed when the server stops (an open one would
        hold it up): the pages say the board is not connected."""
        pages = self.clients | self.consoles
        await asyncio.gather(*(c.ws.close(code=WSCloseCode.GOING_AWAY) for c in pages))

    # --- the console ----------------------------------------------------

    async def follow_console(self) -> None:
        """One WebSocket to QEMU's console character device, again whenever
        it closes; its output goes to every page's console."""
        connector = UnixConnector(path=self.config.console)
        async with ClientSession(connector=connector) as session:
            while True:
                try:
                    # QEMU's WebSocket server answers on "/" only.
                    async with session.ws_connect("http://vboard/",
                                                  protocols=("binary",)) as ws:
                        log.info("console: connected")
                        self.upstream = ws
                        async for msg in ws:
                            if msg.type == WSMsgType.BINARY:
                                self.console_output(msg.data)
                    log.info("console: closed")
                except (ClientError, OSError) as e:  # QEMU not up yet, or gone
                    log.debug("console: %s", e)
                finally:
                    self.upstream = None
                await asyncio.sleep(RETRY_S)

    def console_output(self, data: bytes) -> None:
        self.scrollback += data
        del self.scrollback[:-SCROLLBACK]
        for c in self.consoles:
            c.send(data)

    async def console(self, request: web.Request) -> web.WebSocketResponse:
        """A page's terminal: first what the console showed before (the
        page's first message), then the console as it goes."""
        ws = web.WebSocketResponse(heartbeat=20)
        await ws.prepare(request)
        async with self.page(ws, self.consoles, bytes(self.scrollback)):
            async for msg in ws:
                if msg.type == WSMsgType.TEXT:
                    data = msg.data.encode()
                elif msg.type == WSMsgType.BINARY:
                    data = msg.data
                else:
                    continue
                if self.upstream:
                    try:
                        await self.upstream.send_bytes(data)
                    except ConnectionError as e:
                        log.info("console: typing lost: %s", e)
        return ws

    # --- the guest's reader ---------------------------------------------

    def feed_command(self) -> None:
        """Starts the guest's reader while a page watches, stops it when
        none does: its reads of /dev/accel cost the guest time."""
        if self.feed_writer:
            self.feed_writer.write(b"start\n" if self.clients else b"stop\n")

    async def follow_feed(self) -> None:
        """The reader's port, again whenever it closes; its lines go to
        every page."""
        while True:
            try:
                reader, writer = await asyncio.open_unix_connection(self.config.feed)
            except OSError as e:  # QEMU not up yet, or gone
                log.debug("reader's port: %s", e)
                await asyncio.sleep(POLL_S)
                continue
            log.info("reader's port: connected")
            self.feed_writer = writer
            try:
                self.feed_command()
                while line := await reader.readline():
                    self.feed_line(line.decode(errors="replace").rstrip("\n"))
                log.info("reader's port: closed")
            except ConnectionError as e:
                log.info("reader's port: %s", e)
            finally:
                self.feed_writer = None
                writer.close()
            await asyncio.sleep(RETRY_S)

    def feed_line(self, line: str) -> None:
        """A line of panelfeed (its "R" and "E" lines) to every page."""
        message: dict[str, object]
        try:
            kind, seq, rest = line.split(" ", 2)
            if kind == "R":
                new, t, x, y, z, record = rest.split(" ", 5)
                message = {"new": new == "1", "record": record,
                           "true": [int(x), int(y), int(z)]}
            elif kind == "E":
                t, error = rest.split(" ", 1)
                message = {"error": error}
            else:
                raise ValueError(kind)
            message.update(type="record", seq=int(seq), t=int(t) / 1e6)
        except ValueError:
            log.warning("not a line of the reader's: %r", line)
            return
        self.broadcast(message)

    # --- recordings -----------------------------------------------------

    async def recording(self, request: web.Request) -> web.Response:
        """A recording from a page (the request's body), stored in the run's
        work folder under its own name and played by the machine with the
        options of the query (loop, columns, units); QEMU's reason, without
        the folder, when it refuses it."""
        self.recordings += 1
        folder = os.path.join(self.config.recordings, str(self.recordings))
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
                await self.set_property("play", words)
                await self.refresh()
        except ExecuteError as e:
            return web.json_response({"message": str(e).replace(folder + os.sep, "")},
                                     status=400)
        log.info("playing a recording from a page: %s", name)
        return web.json_response({"playing": name})

    # --- HTTP -----------------------------------------------------------

    async def index(self, request: web.Request) -> web.Response:
        token = quote(self.config.token, safe="")
        with open(os.path.join(PAGE_DIR, "index.html")) as f:
            html = f.read().replace("{{token}}", token)
        return web.Response(text=html.replace("{{importmap}}", import_map(token)),
                            content_type="text/html", headers={"Cache-Control": "no-store"})

    async def asset(self, request: web.Request) -> web.FileResponse:
        name = request.match_info["name"]
        if request.match_info["dir"] == "lib" and name in LIBS:
            return web.FileResponse(os.path.join(self.config.modules, LIBS[name]))
        if request.match_info["dir"] == "page" and name in PAGE_FILES:
            return web.FileResponse(os.path.join(PAGE_DIR, name))
        raise web.HTTPNotFound()


def import_map(token: str) -> str:
    """The page's import map: each module's URL with the token, as a module
    imports another by its name or its path alone."""
    imports = {name: f"/lib/{file}?token={token}" for name, file in LIB_MODULES.items()}
    imports.update({f"/page/{name}": f"/page/{name}?token={token}"
                    for name in sorted(PAGE_FILES) if name.endswith(".js")})
    return json.dumps({"imports": imports}, indent=1)


def token_check(token: str) -> Middleware:
    @web.middleware
    async def check(request: web.Request, handler: Handler) -> web.StreamResponse:
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


def application(panel: Panel) -> web.Application:
    app = web.Application(middlewares=[token_check(panel.config.token)])
    app.router.add_get("/", panel.index)
    app.router.add_get("/events", panel.events)
    app.router.add_get("/console", panel.console)
    app.router.add_post("/recording", panel.recording)
    app.router.add_get("/{dir:lib|page}/{name}", panel.asset)
    app.cleanup_ctx.extend([panel.link("board", panel.watch_board),
                            panel.link("console", panel.follow_console),
                            panel.link("reader", panel.follow_feed)])
    app.on_shutdown.append(panel.close_pages)
    return app


async def serve(config: Config, port: int, url_file: str) -> None:
    """Serves the panel until the board has gone or a signal ends it; the
    URL goes to URL_FILE once the server listens."""
    panel = Panel(config, QMPClient("panel"))
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, panel.stop)
    runner = web.AppRunner(application(panel), access_log=None)
    await runner.setup()
    try:
        await web.TCPSite(runner, "127.0.0.1", port, shutdown_timeout=SHUTDOWN_S).start()
        url = "http://127.0.0.1:%d/?token=%s" % (runner.addresses[0][1], config.token)
        with open(url_file + ".tmp", "w") as f:
            f.write(url + "\n")
        os.rename(url_file + ".tmp", url_file)
        await panel.stopping.wait()
    finally:
        await runner.cleanup()


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1 (0: any free)")
    p.add_argument("--qmp", required=True, help="the machine's QMP socket for the panel")
    p.add_argument("--console", required=True, help="the console's WebSocket socket")
    p.add_argument("--feed", required=True, help="the reader's port socket")
    p.add_argument("--modules", required=True, help="node_modules of vboard/panel/setup.sh")
    p.add_argument("--url-file", required=True, help="where the URL goes once listening")
    p.add_argument("--recordings", required=True, help="where recordings from pages go")
    p.add_argument("--trace", required=True,
                   help="the FST file a page's trace of the fabric's design goes to")
    args = p.parse_args()
    token = os.environ.get("PANEL_TOKEN", "")
    if len(token) < 16:
        p.error("PANEL_TOKEN must hold a token of 16 characters or more")
    logging.basicConfig(format="panel: %(asctime)s %(levelname)s %(message)s",
                        level=logging.INFO)
    # The panel says what QMP's failures mean; the library would also log
    # every refused connection while QEMU starts.
    logging.getLogger("qemu.qmp").propagate = False
    config = Config(token=token, qmp=args.qmp, console=args.console, feed=args.feed,
                    modules=args.modules, recordings=args.recordings, trace=args.trace)
    try:
        asyncio.run(serve(config, args.port, args.url_file))
    except OSError as e:
        log.error("%s", e)
        sys.exit(1)


if __name__ == "__main__":
    main()
