#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The top module's ports, from Verilator's XML description of a design.

Checks that the top module has the AXI4-Lite slave port that the fabric's
wrapper drives, with the widths it drives, and writes fabric_ports.h for
the wrapper (fabric_wrap.cpp): the design's identity and which of the
board's ports it has. Prints what build.sh keeps beside the library, as
NAME=VALUE lines; exits 1 with a message on stderr for a top module the
wrapper cannot drive, and for a design that calls $system, unless
--allow-system.

usage: ports.py DESIGN.xml DESIGN_ID HEADER_OUT [--allow-system]
"""
import sys
import xml.etree.ElementTree as ET
from typing import Dict, List, NamedTuple, NoReturn, Tuple

# name: (direction, width; 0 for the address width, checked apart)
BUS: Dict[str, Tuple[str, int]] = {
    "clk": ("input", 1),
    "rst_n": ("input", 1),
    "s_axi_awaddr": ("input", 0),
    "s_axi_awvalid": ("input", 1),
    "s_axi_awready": ("output", 1),
    "s_axi_wdata": ("input", 32),
    "s_axi_wstrb": ("input", 4),
    "s_axi_wvalid": ("input", 1),
    "s_axi_wready": ("output", 1),
    "s_axi_bresp": ("output", 2),
    "s_axi_bvalid": ("output", 1),
    "s_axi_bready": ("input", 1),
    "s_axi_araddr": ("input", 0),
    "s_axi_arvalid": ("input", 1),
    "s_axi_arready": ("output", 1),
    "s_axi_rdata": ("output", 32),
    "s_axi_rresp": ("output", 2),
    "s_axi_rvalid": ("output", 1),
    "s_axi_rready": ("input", 1),
}
HEX = [f"hex{n}" for n in range(6)]
# The board's ports a design may have: direction and widest width.
BOARD: Dict[str, Tuple[str, int]] = {
    "irq": ("output", 1),
    "key": ("input", 32),
    "sw": ("input", 32),
    "ledr": ("output", 32),
    **{h: ("output", 7) for h in HEX},
}


class Port(NamedTuple):
    name: str
    direction: str
    width: int


def fail(where: str, message: str) -> NoReturn:
    print(f"{where}: {message}", file=sys.stderr)
    sys.exit(1)


def top_module(root: ET.Element) -> ET.Element:
    cells = root.find("cells")
    cell = cells.find("cell") if cells is not None else None
    if cell is None:
        fail("fabric", "the design has no top module")
    for module in root.iter("module"):
        if module.get("name") == cell.get("submodname"):
            return module
    fail("fabric", f"no module {cell.get('submodname')} in the design")


def widths(root: ET.Element) -> Dict[str, int]:
    table: Dict[str, int] = {}
    for dtype in root.iter("basicdtype"):
        left, right = dtype.get("left"), dtype.get("right")
        table[dtype.get("id", "")] = (
            abs(int(left) - int(right)) + 1 if left is not None and right is not None else 1
        )
    return table


def location(root: ET.Element, module: ET.Element) -> str:
    files = {f.get("id"): f.get("filename") for f in root.iter("file")}
    file_id, line = (module.get("loc") or "?,0").split(",")[:2]
    return f"{files.get(file_id, '?')}:{line}"


def main() -> None:
    xml_path, design_id, header_path = sys.argv[1:4]
    root = ET.parse(xml_path).getroot()
    if "--allow-system" not in sys.argv[4:]:
        # $system runs a command on the host, inside the board's QEMU: not
        # what a design under test gets to do unless its user says so.
        for call in [*root.iter("systemt"), *root.iter("systemf")]:
            fail(location(root, call), "$system runs a command on the host: refused "
                 "(vboard/run --fabric-allow-system allows it)")
    module = top_module(root)
    top = module.get("name", "")
    where = location(root, module)
    table = widths(root)
    ports: Dict[str, Port] = {}
    for var in module.findall("var"):
        direction = var.get("dir")
        if direction:
            name = var.get("name", "")
            ports[name] = Port(name, direction, table.get(var.get("dtype_id", ""), 1))

    missing = [name for name in BUS if name not in ports]
    if missing:
        fail(where, f"the top module {top} lacks the bus ports: {', '.join(missing)}")
    wrong: List[str] = []
    for name, (direction, bus_width) in BUS.items():
        want = bus_width or ports[name].width
        if ports[name].direction != direction or ports[name].width != want:
            wrong.append(f"{name} must be an {direction} of {want} bit{'s' if want > 1 else ''}")
    addr = ports["s_axi_awaddr"].width
    if ports["s_axi_araddr"].width != addr:
        wrong.append("s_axi_araddr must be as wide as s_axi_awaddr")
    if not 2 <= addr <= 32:
        wrong.append("the address ports must be 2 to 32 bits wide")
    for name, (direction, widest) in BOARD.items():
        port = ports.get(name)
        if port and (port.direction != direction or port.width > widest):
            wrong.append(f"{name} must be an {direction} of at most {widest} bits")
    if wrong:
        fail(where, f"the top module {top}: " + "; ".join(wrong))

    def width(name: str) -> int:
        return ports[name].width if name in ports else 0

    hex_mask = sum(1 << n for n, h in enumerate(HEX) if h in ports)
    others = [name for name in ports if name not in BUS and name not in BOARD]
    with open(header_path, "w", encoding="utf-8") as header:
        header.write(
            "/* Written by vboard/fabric/ports.py for one design. */\n"
            f'#define FABRIC_TOP "{top}"\n'
            f'#define FABRIC_DESIGN_ID "{design_id}"\n'
            f"#define FABRIC_ADDR_BITS {addr}\n"
            f"#define FABRIC_KEY_BITS {width('key')}\n"
            f"#define FABRIC_SW_BITS {width('sw')}\n"
            f"#define FABRIC_LEDR_BITS {width('ledr')}\n"
            f"#define FABRIC_HEX_MASK {hex_mask:#x}\n"
            f"#define FABRIC_HAS_IRQ {int('irq' in ports)}\n"
            "#define FABRIC_FOR_EACH_HEX(X)"
            + "".join(f" X({n})" for n, h in enumerate(HEX) if h in ports)
            + "\n"
        )
    print(f"top={top}")
    print(f"addr_bits={addr}")
    print(f"irq={int('irq' in ports)}")
    print(f"unconnected={' '.join(others)}")


if __name__ == "__main__":
    main()
