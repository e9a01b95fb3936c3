# SPDX-License-Identifier: GPL-2.0-or-later
"""gdb on the running virtual board: vboard/debug sources this into Debian's
gdb-multiarch, with the environment naming the board's QMP socket
(VBOARD_QMP), QEMU's Python library (VBOARD_QEMU_PYTHON) and the project
(VBOARD_ROOT). It defines two commands:

  vboard-attach   connects to QEMU's gdb stub, which it opens through QMP
                  when it is not open, and loads the symbols
  vboard-symbols  loads the symbols again, after modules were loaded,
                  unloaded or loaded anew

The symbols: each module the guest has loaded whose file the build has (by
its build ID, under BUILD/kernel/linux/*/), at the addresses where the
guest's kernel put each of its sections, which the guest publishes to the
machine as modules come and go (modsections; the machine's read-only
property "modules"); and the
kernel's own, where a vmlinux is at hand (scripts/fetch-kernel.sh KERNEL
vmlinux).
"""
import glob
import os
import subprocess
import sys
from typing import Any, Dict, List, Optional, Tuple

import gdb  # gdb's own module, inside gdb only

sys.path.insert(0, os.environ["VBOARD_QEMU_PYTHON"])
from qemu.qmp import ConnectError  # noqa: E402
from qemu.qmp.legacy import QEMUMonitorProtocol  # noqa: E402

ROOT = os.environ["VBOARD_ROOT"]
QMP_SOCKET = os.environ["VBOARD_QMP"]

class Machine:
    """The board over QMP, for one exchange: a QMP socket serves one client
    at a time, and scripts/board needs it too."""

    def __enter__(self) -> "Machine":
        self.qmp = QEMUMonitorProtocol(QMP_SOCKET)
        try:
            self.qmp.connect()
        except (OSError, ConnectError) as e:
            # A socket left behind by a board that has gone refuses the
            # connection: QEMU's library reports that as a ConnectError.
            raise gdb.GdbError(f"vboard: no virtual board answers at {QMP_SOCKET}: {e}")
        return self

    def __exit__(self, *exc: Any) -> None:
        self.qmp.close()

    def command(self, name: str, args: Optional[Dict[str, Any]] = None) -> Any:
        reply = self.qmp.cmd(name, args)
        if "error" in reply:
            raise gdb.GdbError(f"vboard: {name}: {reply['error']['desc']}")
        return reply["return"]

    def get(self, prop: str) -> Any:
        return self.command("qom-get", {"path": "/machine", "property": prop})


def stub_address(machine: Machine) -> str:
    """Where gdb reaches QEMU's gdb stub, which is opened when it is not:
    a Unix socket beside the QMP socket."""
    for chardev in machine.command("query-chardev"):
        if chardev["label"] != "gdb":
            continue
        where: str = chardev["filename"]
        if not where.startswith("disconnected:"):
            raise gdb.GdbError(f"vboard: a debugger is attached to the board already ({where})")
        kind, rest = where[len("disconnected:"):].split(":", 1)
        if kind == "unix":
            return rest.split(",")[0]
        if kind == "tcp":
            host, port = rest.split(",")[0].rsplit(":", 1)
            return f"{'127.0.0.1' if host in ('', '0.0.0.0') else host}:{port}"
        raise gdb.GdbError(f"vboard: QEMU's gdb stub is on {where}, which gdb cannot reach")
    path = QMP_SOCKET + ".gdb"
    said = machine.command("human-monitor-command",
                           {"command-line": f"gdbserver unix:{path},server=on,wait=off"})
    if not os.path.exists(path):
        raise gdb.GdbError(f"vboard: QEMU's gdb stub did not open: {said.strip()}")
    return path


def build_ids(build: str) -> Dict[str, str]:
    """The build's modules by build ID."""
    files = {}
    for ko in glob.glob(os.path.join(build, "kernel/linux/*/*.ko")):
        notes = subprocess.run(["readelf", "-n", ko], capture_output=True, text=True).stdout
        for line in notes.splitlines():
            if line.strip().startswith("Build ID:"):
                files[line.split(":", 1)[1].strip()] = ko
    return files


def module_table(text: str) -> Dict[str, Tuple[str, Dict[str, str]]]:
    """NAME -> (build ID, {section: address}) from the machine's table."""
    modules: Dict[str, Tuple[str, Dict[str, str]]] = {}
    for line in text.splitlines():
        words = line.split()
        if len(words) != 3:
            continue
        name, what, value = words
        build_id, sections = modules.setdefault(name, ("", {}))
        if what == "build-id":
            modules[name] = (value, sections)
        else:
            sections[what] = value
    return modules


def kernel_symbols(image: str) -> Tuple[Optional[str], str]:
    """The running kernel's vmlinux, or None and why there is none."""
    try:
        with open(os.path.join(image, "kernel-name")) as f:
            kernel = f.read().strip()
    except OSError:
        return None, f"{image} does not name its kernel (an image built before vboard/debug)"
    found = subprocess.run([os.path.join(ROOT, "scripts/fetch-kernel.sh"), kernel, "vmlinux"],
                           capture_output=True, text=True)
    if found.returncode == 0:
        return found.stdout.strip(), ""
    return None, found.stderr.strip().replace("fetch-kernel: ", "")


def load_symbols() -> None:
    with Machine() as machine:
        table = module_table(machine.get("modules"))
        image = machine.get("image")
    build = os.path.dirname(os.path.dirname(image))
    vmlinux, why = kernel_symbols(image)
    confirm = gdb.parameter("confirm")
    gdb.execute("set confirm off")
    try:
        gdb.execute("symbol-file", to_string=True)
        if vmlinux:
            gdb.execute(f"symbol-file {vmlinux}", to_string=True)
            print(f"vboard: the kernel's symbols: {vmlinux}")
        else:
            print(f"vboard: no kernel symbols: {why}")
        # The modules name their sources from the top of the tree (Kbuild's
        # -ffile-prefix-map): this clone's.
        gdb.execute(f"directory {ROOT}", to_string=True)
        files = build_ids(build)
        loaded: List[str] = []
        others: List[str] = []
        for name, (build_id, sections) in sorted(table.items()):
            ko = files.get(build_id)
            if not ko or ".text" not in sections:
                others.append(name)
                continue
            # Every section where the kernel put it, as Linux's own gdb
            # scripts place them: the init ones too, though freed after init,
            # rather than at 0, where gdb would put them otherwise.
            others_at = " ".join(f"-s {s} {a}" for s, a in sorted(sections.items())
                                 if s != ".text")
            gdb.execute(f"add-symbol-file {ko} {sections['.text']} {others_at}",
                        to_string=True)
            loaded.append(f"{name} ({os.path.relpath(ko, build)}, .text at {sections['.text']})")
    finally:
        gdb.execute(f"set confirm {'on' if confirm else 'off'}")
    print("vboard: modules with symbols: " + (", ".join(loaded) or "none"))
    if others:
        print("vboard: loaded without a file of this build: " + ", ".join(others))
    if not table:
        print("vboard: the guest has published no module (the virtual board's image "
              "does, as modules come and go)")


class Attach(gdb.Command):
    """Connect to the virtual board (QEMU's gdb stub, opened when it is not)
    and load the symbols of its kernel and loaded modules."""

    def __init__(self) -> None:
        super().__init__("vboard-attach", gdb.COMMAND_RUNNING)

    def invoke(self, arg: str, from_tty: bool) -> None:
        with Machine() as machine:
            where = stub_address(machine)
        # Quietly: without symbols yet, gdb has nothing to say of where it is.
        gdb.execute(f"target remote {where}", to_string=True)
        print(f"vboard: attached to QEMU's gdb stub at {where}")
        load_symbols()
        gdb.execute("frame")
        print("vboard: the board is stopped: 'continue' lets it go on, 'detach' leaves it "
              "running ('kill' would end QEMU); 'vboard-symbols' after (re)loading modules")


class Symbols(gdb.Command):
    """Load the symbols of the virtual board's kernel and loaded modules again,
    after modules were loaded, unloaded or loaded anew."""

    def __init__(self) -> None:
        super().__init__("vboard-symbols", gdb.COMMAND_FILES)

    def invoke(self, arg: str, from_tty: bool) -> None:
        load_symbols()


Attach()
Symbols()
