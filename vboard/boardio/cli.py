# SPDX-License-Identifier: GPL-2.0-or-later
"""vboard/run: runs the virtual board, an ARMv7 kernel on the board's own
machine type (vboard/qemu/) in the project's QEMU (scripts/build-qemu.sh),
the board's devices at the board's addresses. The command line of
`boardio.machine.Machine`."""
from __future__ import annotations

import os
import sys
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Optional

from .options import SERIES, Options, UsageError, parse_number, parse_time

HELP = """\
Runs the virtual board: an ARMv7 kernel on the board's own machine type
(vboard/qemu/) in the project's QEMU (scripts/build-qemu.sh), the board's
devices at the board's addresses.

usage: vboard/run [--kernel 6.1|6.12|3.18 | --kernel-dir DIR]
                  [--script FILE | --demo] [--file PATH[:GUEST_PATH]]...
                  [--build DIR] [--no-build] [--timeout SECONDS] [--smp N]
                  [--qmp SOCKET] [--icount] [--i2c-queue-end hold|stop]
                  [--panel] [--panel-port PORT]
                  [--narrow-access widen|error] [--guest-errors FILE]
                  [--append ARGS] [--cold] [--state DIR]
                  [--fabric FILE.v [--fabric FILE.v ...] [--fabric-top NAME]
                   [--fabric-base ADDR] [--fabric-clock HZ]
                   [--fabric-allow-system]
                   [--fabric-trace FILE [--fabric-trace-from TIME]
                    [--fabric-trace-for TIME]]]
                  [--fabric-ports model|rtl]

  (no mode)      with a terminal: accel and panelio loaded, a shell on the
                 console; leaving it powers off (Ctrl-A x stops QEMU at
                 once). The host's scripts/board command moves the board
                 meanwhile. Without a terminal: the same as --demo.
  --script FILE  no driver loaded; FILE runs under the guest's sh (stdin
                 /dev/null, in /), its output (stdout and stderr) is
                 printed and its exit status returned.
  --demo         a short scripted demonstration (vboard/guest/demo.sh).
  --file PATH[:GUEST_PATH]
                 puts the file PATH into the guest, at GUEST_PATH or by
                 default in /root under its own name (a module or program
                 of one's own); repeatable.
  --kernel       kernel series, 6.1 by default: Debian's 6.1 or 6.12, or
                 the board's own 3.18 from the folder BOARDIO_LINUX_3_18
                 names.
  --kernel-dir DIR
                 a kernel of one's own: a kernel folder as
                 scripts/fetch-kernel.sh describes it (a zImage for QEMU's
                 virt machine and its module build tree, or a built tree);
                 --kernel takes a folder too (a path with a slash).
  --build DIR    build folder holding the caches (default: build/).
  --no-build     run what is there, build and fetch nothing.
  --timeout S    give up on a script after S seconds (default 900).
  --smp N        processors of the guest (default 1).
  --qmp SOCKET   QMP socket of the machine, for scripts/board. Default: with
                 a shell $VBOARD_QMP or the well-known
                 ${XDG_RUNTIME_DIR:-/tmp}/boardio-vboard-UID.qmp, which
                 scripts/board uses too; with a script, one of its own.
  --icount       guest time from the instructions executed (-icount
                 shift=1: 2 ns each), not from real time; time the guest
                 spends idle, or polling I2C controller 0 for a change that
                 cannot come sooner, passes at once (sleep=off); one
                 processor.
  --append ARGS  further kernel command-line arguments (e.g. initcall_debug)
  --i2c-queue-end hold|stop
                 what I2C controller 0 does when its transmit queue runs
                 empty: hold the bus until the next word (default) or send
                 a stop; stop pairs with --icount (see vboard/qemu/vboard.c)
  --narrow-access widen|error
                 how the board's windows answer 8- and 16-bit accesses: the
                 bus bridge widens them to the whole register (default) or
                 answers with a bus error (the machine property
                 narrow-access); a driver must work on both.
  --guest-errors FILE
                 log the guest's mistakes the board's models notice (QEMU's
                 guest errors) to FILE.
  --panel        the front panel in the browser, in any mode: prints one
                 line "panel: URL" (stderr) to open; it serves 127.0.0.1
                 only, and the URL's token is its key (vboard/panel/).
  --panel-port PORT
                 the panel's port (default: a free one); implies --panel.
  --cold         boot the kernel, without a saved machine (below).
  --state DIR    a script run whose machine can be saved and restored: it
                 starts as any run does (from the saved machine, or cold
                 with --cold). Save it with scripts/board save
                 DIR/vmstate (QMP's migrate; the machine ends); a later run
                 with the same DIR and options restores it from there
                 (-incoming) instead of booting, and relays the rest of the
                 script's output and its exit status.
  --fabric FILE.v
                 one's own Verilog in the FPGA fabric, co-simulated in the
                 machine (vboard/fabric/): its top module's AXI4-Lite slave
                 port in the lightweight bridge's window, its irq on the
                 interrupt controller (/dev/uio0 in the guest, where the
                 kernel has UIO), key and sw following the board's
                 pushbuttons and switches, ledr and hex0 to hex5 the
                 machine's properties ledr and hex. Compiled with Verilator
                 and cached; repeat for a design of several files. The
                 guest's time then comes from its instructions (--icount).
  --fabric-top NAME
                 the design's top module (default: the only one).
  --fabric-trace FILE
                 record the design's signals into FILE (FST: gtkwave opens
                 it) and its bus transfers and interrupt changes into
                 FILE.log, in guest time, from the machine's start (or
                 --fabric-trace-from TIME after it) to the end (or for
                 --fabric-trace-for TIME); TIME as 2ms, 1.5s, 500us.
                 scripts/board trace starts and stops one later.
  --fabric-allow-system
                 let the design call $system, which runs a command on this
                 host, inside the board's QEMU (refused by default, with
                 its file and line).
  --fabric-base ADDR
                 where the design sits (default 0xFF210000); its span, from
                 its address ports, must lie in the bridge window
                 0xFF200000 to 0xFF3FFFFF, aligned, clear of the board's
                 ports.
  --fabric-clock HZ
                 the fabric's clock, following the guest's time (default
                 50000000).
  --fabric-ports model|rtl
                 the board's pushbutton and switch ports: the C++ model
                 (default) or their Verilog (vboard/fabric/rtl/) in the
"""

# Options that take a value: the Options field each sets.
VALUED = {
    "--script": "script", "--build": "build", "--qmp": "qmp", "--append": "append",
    "--i2c-queue-end": "i2c_queue_end", "--narrow-access": "narrow_access",
    "--guest-errors": "guest_errors", "--state": "state", "--fabric-top": "fabric_top",
    "--fabric-ports": "fabric_ports",
}
FLAGS = {"--icount": "icount", "--cold": "cold", "--panel": "panel",
         "--fabric-allow-system": "fabric_allow_system"}


def parse(argv: list[str], stdin_is_terminal: bool) -> Options:
    """The options of a vboard/run command line."""
    values: dict[str, object] = {}
    files: list[str] = []
    designs: list[str] = []
    args = iter(argv)
    for arg in args:
        if arg in ("-h", "--help"):
            raise HelpWanted()
        if arg in FLAGS:
            values[FLAGS[arg]] = True
            continue
        if arg in ("--no-build",):
            values["do_build"] = False
            continue
        if arg == "--demo":
            values["script"] = os.path.join(os.path.dirname(os.path.dirname(
                os.path.abspath(__file__))), "guest", "demo.sh")
            continue
        takes = arg in VALUED or arg in (
            "--kernel", "--kernel-dir", "--file", "--timeout", "--smp", "--panel-port",
            "--fabric", "--fabric-base", "--fabric-clock", "--fabric-trace",
            "--fabric-trace-from", "--fabric-trace-for")
        if not takes:
            raise UsageError(f"unknown argument '{arg}' (see --help)")
        value = next(args, None)
        if value is None or (value == "" and arg != "--append"):
            raise UsageError(f"{arg} takes a value (see --help)")
        if arg in VALUED:
            values[VALUED[arg]] = value
        elif arg in ("--kernel", "--kernel-dir"):
            if arg == "--kernel-dir" or "/" in value:
                if not os.path.isdir(value):
                    raise UsageError(f"no kernel folder '{value}'")
                value = os.path.abspath(value)
            values["kernel"] = value
        elif arg == "--file":
            files.append(value)
        elif arg == "--fabric":
            designs.append(value)
        elif arg == "--timeout":
            values["timeout"] = _number(arg, value, float)
        elif arg == "--smp":
            values["smp"] = _number(arg, value, int)
        elif arg == "--panel-port":
            values["panel"] = True
            values["panel_port"] = _number(arg, value, int)
        elif arg == "--fabric-base":
            values["fabric_base"] = parse_number(arg, value)
        elif arg == "--fabric-clock":
            values["fabric_clock"] = parse_number(arg, value)
        elif arg == "--fabric-trace":
            values["fabric_trace"] = os.path.abspath(value)
        elif arg in ("--fabric-trace-from", "--fabric-trace-for"):
            values[arg[2:].replace("-", "_")] = parse_time(arg, value)
    options = Options(**values)._replace(files=tuple(files), fabric=tuple(designs))  # type: ignore[arg-type]
    if options.script is None:
        if stdin_is_terminal:
            options = options._replace(mode="shell")
        else:
            # Without a terminal: the demonstration.
            options = options._replace(script=os.path.join(
                os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "guest", "demo.sh"))
    if options.kernel not in SERIES and not options.kernel.startswith("/"):
        raise UsageError(f"unknown kernel series '{options.kernel}'")
    return options


class HelpWanted(Exception):
    pass


def _number(option: str, text: str, kind: type[int] | type[float]) -> int | float:
    try:
        return kind(text)
    except ValueError:
        raise UsageError(f"{option} takes a number, not '{text}'") from None


def main(argv: Optional[list[str]] = None, prog: str = "vboard/run") -> int:
    """vboard/run: its exit status (the script's; 125 when the guest gave
    none; 2 for options it cannot take; 128 + N when signal N ended it)."""
    from .process import Stopped, signals_stop, warn
    try:
        options = parse(sys.argv[1:] if argv is None else argv, os.isatty(0))
    except HelpWanted:
        sys.stdout.write(HELP)
        return 0
    except UsageError as e:
        warn(prog, str(e))
        return 2
    from .machine import Machine, MachineRefused
    from .options import DesignError
    with signals_stop():
        try:
            with Machine(options, prog=prog) as machine:
                machine.start_panel()
                if machine.options.mode == "shell":
                    return machine.run_shell()
                return machine.run_script()
        except Stopped as e:
            return e.exit_status
        except (UsageError, MachineRefused) as e:
            warn(prog, str(e))
            return 2
        except DesignError as e:
            warn(prog, str(e))
            return 1
