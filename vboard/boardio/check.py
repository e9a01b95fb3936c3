# SPDX-License-Identifier: GPL-2.0-or-later
"""boardio check: the board's behaviour suites against modules and programs
built elsewhere (a team member's, a supplier's, a class's).

    boardio check --modules DIR [--programs DIR] [--kernel SERIES]
                  [--junit FILE] [--build DIR] [--timeout S]

Each check runs on a board of its own, started from a saved machine, with
the folder's modules in /root/modules and its programs in /root/programs:
the accel suites once for each variant the folder holds, the pushbutton and
switch suites where it holds panelio.ko, the terminal programs' suite where
--programs holds them. A module that does not load, oopses, or hangs the
guest fails its check with the board's console and kernel log; the other
checks go on. One result per check in JUnit XML, and a page of summary on
the terminal. Exit status 0 when every check that ran passed, 1 when one
failed, 2 for wrong usage."""
from __future__ import annotations

import argparse
import os
import sys
import time
from typing import NamedTuple, Optional, Sequence
from xml.etree import ElementTree

from .board import Board, BoardError, CommandTimeout
from .build import VBOARD

SUITES = os.path.join(VBOARD, "guest", "tests")
VARIANTS = ("accel", "accel_cmd", "accel_basic")
PROGRAMS = ("linefan", "linebounce")
GUEST_MODULES = "/root/modules"
GUEST_PROGRAMS = "/root/programs"
CHECK_TIMEOUT_S = 300.0
KERNEL_LOG_KEPT = 4000


class Check(NamedTuple):
    name: str  # e.g. accel.read.accel_cmd
    suite: str  # the guest suite's file in vboard/guest/tests/
    env: tuple[tuple[str, str], ...]  # the suite's variables
    needs: tuple[str, ...]  # files of the build it takes


class Outcome(NamedTuple):
    check: Check
    status: str  # passed, failed, skipped
    seconds: float
    message: str  # why it failed or was skipped
    output: str  # what the suite printed
    log: str  # the board's console and kernel log, for a failure


def plan(modules: str, programs: Optional[str]) -> tuple[list[Check], list[tuple[str, str]]]:
    """The checks a build's folders call for, and those left out with why."""
    checks: list[Check] = []
    skipped: list[tuple[str, str]] = []
    env_base = (("VBOARD_MODULES", GUEST_MODULES),)
    for variant in VARIANTS:
        ko = os.path.join(modules, variant + ".ko")
        for kind, suite in (("read", "accel_read.sh"), ("commands", "accel_cmd.sh")):
            name = f"accel.{kind}.{variant}"
            if os.path.isfile(ko):
                checks.append(Check(name, suite, env_base + (("VBOARD_VARIANTS", variant),),
                                    (ko,)))
            else:
                skipped.append((name, f"no {variant}.ko in {modules}"))
    panelio = os.path.join(modules, "panelio.ko")
    for part in ("key", "sw"):
        if os.path.isfile(panelio):
            checks.append(Check(part, "panelio.sh", env_base + (("VBOARD_PANELIO", part),),
                                (panelio,)))
        else:
            skipped.append((part, f"no panelio.ko in {modules}"))
    for program in PROGRAMS:
        path = os.path.join(programs, program) if programs else ""
        if path and os.access(path, os.X_OK):
            checks.append(Check(program, "terminal.sh",
                                (("VBOARD_PROGRAMS", GUEST_PROGRAMS), ("VBOARD_TERMINAL", program)),
                                (path,)))
        else:
            skipped.append((program, f"no {program} in {programs}" if programs
                            else "no --programs folder"))
    return checks, skipped


def run_check(check: Check, kernel: str, build: Optional[str], timeout: float) -> Outcome:
    """One check on a board of its own."""
    start = time.monotonic()
    files = [os.path.join(SUITES, "lib.sh") + ":/lib/vboard/testlib.sh",
             os.path.join(SUITES, check.suite) + ":/root/suite.sh"]
    for path in check.needs:
        folder = GUEST_PROGRAMS if check.suite == "terminal.sh" else GUEST_MODULES
        files.append(f"{path}:{folder}/{os.path.basename(path)}")
    env = " ".join(f"{name}={value}" for name, value in check.env)
    board: Optional[Board] = None
    try:
        with Board(kernel=kernel, files=files, build=build) as board:
            try:
                result = board.sh(f"cd / && {env} sh /root/suite.sh", timeout=timeout)
            except CommandTimeout:
                return _failed(check, start, f"the suite did not end within {timeout:g} s "
                               "(a read that never returns, or a hung guest)", "", board, False)
            if result.ok:
                return Outcome(check, "passed", time.monotonic() - start, "", result.output, "")
            fails = [line[len("FAIL: "):] for line in result.output.splitlines()
                     if line.startswith("FAIL: ")]
            why = "; ".join(fails[:3]) + (f" (and {len(fails) - 3} more)" if len(fails) > 3 else "")
            return _failed(check, start, why or f"the suite ended with status {result.status}",
                           result.output, board, True)
    except BoardError as e:
        return Outcome(check, "failed", time.monotonic() - start,
                       "the board stopped (a kernel panic, or the guest ended)", "", str(e))


def _failed(check: Check, start: float, why: str, output: str, board: Board,
            responsive: bool) -> Outcome:
    log = "console:\n" + board.console[-KERNEL_LOG_KEPT:]
    if responsive:
        try:
            log += "\nkernel log:\n" + board.sh("dmesg", timeout=30).output[-KERNEL_LOG_KEPT:]
        except BoardError:
            pass
    if board.guest_errors:
        log += "\nguest errors:\n" + board.guest_errors[-KERNEL_LOG_KEPT:]
    return Outcome(check, "failed", time.monotonic() - start, why, output, log)


def junit(outcomes: Sequence[Outcome], skipped: Sequence[tuple[str, str]], kernel: str) -> bytes:
    suite = ElementTree.Element("testsuite", name="boardio check", tests=str(
        len(outcomes) + len(skipped)), failures=str(sum(o.status == "failed" for o in outcomes)),
        skipped=str(len(skipped)), time=f"{sum(o.seconds for o in outcomes):.3f}")
    for o in outcomes:
        case = ElementTree.SubElement(suite, "testcase", classname=f"boardio.{kernel}",
                                      name=o.check.name, time=f"{o.seconds:.3f}")
        if o.status == "failed":
            ElementTree.SubElement(case, "failure", message=o.message).text = o.message
            ElementTree.SubElement(case, "system-err").text = o.log
        ElementTree.SubElement(case, "system-out").text = o.output
    for name, why in skipped:
        case = ElementTree.SubElement(suite, "testcase", classname=f"boardio.{kernel}", name=name)
        ElementTree.SubElement(case, "skipped", message=why)
    return bytes(ElementTree.tostring(suite, encoding="utf-8", xml_declaration=True))


def summary(outcomes: Sequence[Outcome], skipped: Sequence[tuple[str, str]], kernel: str,
            seconds: float) -> str:
    lines = [f"boardio check on Linux {kernel}:"]
    for o in outcomes:
        lines.append(f"  {o.status:7} {o.check.name:24} {o.seconds:6.1f} s"
                     + (f"  {o.message}" if o.message else ""))
    for name, why in skipped:
        lines.append(f"  {'skipped':7} {name:24} {'':8}  {why}")
    failed = sum(o.status == "failed" for o in outcomes)
    lines.append(f"{len(outcomes) - failed} passed, {failed} failed, {len(skipped)} skipped "
                 f"in {seconds:.1f} s")
    return "\n".join(lines) + "\n"


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(prog="boardio check", description=__doc__.split("\n\n")[0])
    parser.add_argument("--modules", required=True, help="folder of accel*.ko and panelio.ko")
    parser.add_argument("--programs", help="folder of linefan and linebounce (static, ARMv7)")
    parser.add_argument("--kernel", default="6.1", help="kernel series (6.1, 6.12, 3.18)")
    parser.add_argument("--junit", help="the results as JUnit XML")
    parser.add_argument("--build", help="the build folder holding the board (default build/)")
    parser.add_argument("--timeout", type=float, default=CHECK_TIMEOUT_S,
                        help="seconds a check may take (default 300)")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.modules):
        parser.error(f"no folder '{args.modules}'")
    if args.programs and not os.path.isdir(args.programs):
        parser.error(f"no folder '{args.programs}'")
    checks, skipped = plan(args.modules, args.programs)
    start = time.monotonic()
    outcomes = []
    for check in checks:
        outcome = run_check(check, args.kernel, args.build, args.timeout)
        print(f"{outcome.status:7} {check.name}" + (f": {outcome.message}" if outcome.message
                                                    else ""), flush=True)
        outcomes.append(outcome)
    if args.junit:
        with open(args.junit, "wb") as f:
            f.write(junit(outcomes, skipped, args.kernel))
    sys.stdout.write(summary(outcomes, skipped, args.kernel, time.monotonic() - start))
    return 1 if any(o.status == "failed" for o in outcomes) else 0
