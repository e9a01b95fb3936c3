# SPDX-License-Identifier: GPL-2.0-or-later
"""The FPGA fabric of a board: its designs compiled (vboard/fabric/build.sh,
even without building the rest: the design is the thing under test) and the
machine's options for them. Where a design may sit is the machine's to say:
QEMU refuses a placement with the reason (vboard/qemu/vboard.c)."""
from __future__ import annotations

import os
import re
import subprocess
import sys
from hashlib import sha256
from typing import NamedTuple

from .build import VBOARD
from .options import DesignError, Options


class Fabric(NamedTuple):
    machine: str  # the machine's fabric properties, for -M
    key: str  # what of the fabric shapes the machine, for its saved machines
    append: str  # the kernel command line's addition, for the guest's /init


# A memory file named by a string in $readmemh or $readmemb.
READMEM = re.compile(rb'\$readmem[hb]\s*\(\s*"([^"]+)"')


def memory_files(sources: list[str]) -> list[str]:
    """The files the design's $readmemh and $readmemb name, relative to the
    folder of its first file, as it runs them."""
    found: set[bytes] = set()
    for source in sources:
        with open(source, "rb") as f:
            found.update(READMEM.findall(f.read()))
    return sorted(os.fsdecode(name) for name in found)


def memory_files_key(sources: list[str], folder: str) -> str:
    """What the files the design's $readmemh and $readmemb read hold: a saved
    machine has them loaded, so it is made anew when one changes."""
    digest = sha256()
    for name in memory_files(sources):
        path = os.path.join(folder, name)
        digest.update(name.encode() + b"\0")
        try:
            with open(path, "rb") as f:
                digest.update(sha256(f.read()).digest())
        except OSError:
            digest.update(b"missing")
    return digest.hexdigest()[:16]


def qemu_value(text: str) -> str:
    """A value for a QEMU option list: commas doubled."""
    return text.replace(",", ",,")


def build(sources: list[str], top: str | None = None,
          allow_system: bool = False) -> dict[str, str]:
    """Compiles a design; its info (top, addr_bits, irq, unconnected, id) and
    its library's path as "library"."""
    argv = [os.path.join(VBOARD, "fabric", "build.sh")]
    if top:
        argv += ["--top", top]
    if allow_system:
        argv.append("--allow-system")
    done = subprocess.run(argv + sources, stdout=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise DesignError("the fabric's design did not build (above)")
    folder = done.stdout.strip()
    info = {"library": os.path.join(folder, "libfabric.so")}
    with open(os.path.join(folder, "info")) as f:
        for line in f:
            name, _, value = line.rstrip("\n").partition("=")
            info[name] = value
    return info


def set_up(options: Options) -> Fabric:
    """The machine's options for OPTIONS' fabric (checked options, with one)."""
    machine = [f"fabric-clock={options.fabric_clock}"]
    key = [f"clock={options.fabric_clock}"]
    append = ""
    if options.fabric_ports == "rtl":
        ports = build([os.path.join(VBOARD, "fabric", "rtl", "panel_ports.v")])
        machine.append("fabric-ports=" + qemu_value(ports["library"]))
        key.append("ports=" + ports["id"])
    if options.fabric:
        design = build(list(options.fabric), options.fabric_top, options.fabric_allow_system)
        if design.get("unconnected"):
            sys.stderr.write(f"fabric: {design['top']}: ports left alone (inputs tied to 0, "
                             f"outputs unread): {design['unconnected']}\n")
        # The first file's folder: where its $readmemh paths start.
        folder = os.path.dirname(os.path.abspath(options.fabric[0]))
        machine.append("fabric=" + qemu_value(design["library"]))
        machine.append("fabric-folder=" + qemu_value(folder))
        key.append(f"design={design['id']}")
        key.append(f"memories={memory_files_key(list(options.fabric), folder)}")
        # Without one, the machine's own default base.
        if options.fabric_base is not None:
            machine.append(f"fabric-base={options.fabric_base}")
            key.append(f"base={options.fabric_base}")
        append = "vboard_fabric=1"
    return Fabric(",".join(machine), " ".join(key), append)

