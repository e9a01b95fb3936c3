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
import re
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
# What XML 1.0 cannot carry (a console's escape sequences, NUL bytes).
NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")
CHECK_TIMEOUT_S = 300.0  # a suite's, per board
KERNEL_LOG_KEPT = 4000


class Run(NamedTuple):
    """A suite run on a board of its own, and the checks it makes."""
    suite: str  # the guest suite's file in vboard/guest/tests/
    env: tuple[tuple[str, str], ...]  # the suite's variables
    checks: tuple[str, ...]  # the names of the checks it makes, in order
    files: tuple[str, ...]  # PATH:GUEST_PATH of the build's files it takes
    icount: bool = False  # guest time from its instructions, whatever the host's load


class Outcome(NamedTuple):
    name: str  # the check's, e.g. accel.read.accel_cmd
    status: str  # passed, failed, skipped
    seconds: float
    message: str  # why it failed or was skipped
    output: str  # what the suite printed for it
    log: str  # the board's console and kernel log, for a failure


def plan(modules: str, programs: Optional[str]) -> tuple[list[Run], list[Outcome]]:
    """The suite runs a build's folders call for, and the checks left out
    (skipped, with why)."""
    runs: list[Run] = []
    skipped: list[Outcome] = []
    folder = (("VBOARD_MODULES", GUEST_MODULES),)
    for variant in VARIANTS:
        ko = os.path.join(modules, variant + ".ko")
        for kind, suite in (("read", "accel_read.sh"), ("commands", "accel_cmd.sh")):
            name = f"accel.{kind}.{variant}"
            if os.path.isfile(ko):
                runs.append(Run(suite, folder + (("VBOARD_VARIANTS", variant),), (name,),
                                (f"{ko}:{GUEST_MODULES}/{variant}.ko",)))
            else:
                skipped.append(Outcome(name, "skipped", 0, f"no {variant}.ko in {modules}",
                                       "", ""))
    panelio = os.path.join(modules, "panelio.ko")
    if os.path.isfile(panelio):
        runs.append(Run("panelio.sh", folder, ("key", "sw"),
                        (f"{panelio}:{GUEST_MODULES}/panelio.ko",)))
    else:
        skipped += [Outcome(name, "skipped", 0, f"no panelio.ko in {modules}", "", "")
                    for name in ("key", "sw")]
    if programs:
        present = tuple(f"{os.path.join(programs, p)}:{GUEST_PROGRAMS}/{p}" for p in PROGRAMS
                        if os.path.isfile(os.path.join(programs, p)))
        # linebounce's frames come every half second of the guest's time.
        runs.append(Run("terminal.sh", (("VBOARD_PROGRAMS", GUEST_PROGRAMS),), PROGRAMS,
                        present, icount=True))
    else:
        skipped += [Outcome(name, "skipped", 0, "no --programs folder", "", "")
                    for name in PROGRAMS]
    return runs, skipped


def parse(output: str) -> dict[str, tuple[str, str, str]]:
    """The checks a suite's output tells of: name -> (status, message, its
    lines). A check started and not ended has the status "cut"."""
    found: dict[str, tuple[str, str, str]] = {}
    current = ""
    lines: list[str] = []
    for line in output.splitlines():
        words = line.split(" ", 3)
        if len(words) >= 3 and words[0] == "check":
            name, word = words[1], words[2]
            if word == "started":
                current, lines = name, []
                found[name] = ("cut", "", "")
                continue
            if name == current:
                text = "\n".join(lines)
                fails = [x[len("FAIL: "):] for x in lines if x.startswith("FAIL: ")]
                why = "; ".join(fails[:3]) + (f" (and {len(fails) - 3} more)"
                                              if len(fails) > 3 else "")
                if word == "ok":
                    found[name] = ("passed", "", text)
                elif word == "skipped":
                    found[name] = ("skipped", words[3] if len(words) > 3 else "", text)
                else:
                    found[name] = ("failed", why or f"{words[3] if len(words) > 3 else ''} "
                                   "assertions failed", text)
                current = ""
                continue
        if current:
            lines.append(line)
    if current:
        found[current] = ("cut", "", "\n".join(lines))
    return found


def run_suite(run: Run, kernel: str, build: Optional[str], timeout: float) -> list[Outcome]:
    """A suite on a board of its own: one outcome per check it makes."""
    start = time.monotonic()
    files = [os.path.join(SUITES, "lib.sh") + ":/lib/vboard/testlib.sh",
             os.path.join(SUITES, run.suite) + ":/root/suite.sh", *run.files]
    env = " ".join(f"{name}={value}" for name, value in run.env)
    output, stopped, log = "", "", ""
    try:
        with Board(kernel=kernel, files=files, build=build, icount=run.icount) as board:
            try:
                result = board.sh(f"{env} sh /root/suite.sh", timeout=timeout)
                output = result.output
            except CommandTimeout as e:
                output = e.output
                stopped = f"the suite did not end within {timeout:g} s (a hung guest or driver)"
            if stopped or not result.ok:
                log = _board_log(board, responsive=not stopped)
    except BoardError as e:
        stopped = "the board stopped (a kernel panic, or the guest ended)"
        log = str(e)
    seconds = time.monotonic() - start
    found = parse(output)
    outcomes = []
    for name in run.checks:
        status, message, text = found.get(name, ("", "", ""))
        if status == "cut":
            status, message = "failed", f"{stopped or 'the suite ended'} during this check"
        elif not status:
            status, message = "failed", (f"not run: {stopped}" if stopped
                                         else "the suite did not make this check")
        outcomes.append(Outcome(name, status, seconds / len(run.checks), message, text,
                                log if status == "failed" else ""))
    return outcomes


def _board_log(board: Board, responsive: bool) -> str:
    log = "console:\n" + board.console[-KERNEL_LOG_KEPT:]
    if responsive:
        try:
            log += "\nkernel log:\n" + board.sh("dmesg", timeout=30).output[-KERNEL_LOG_KEPT:]
        except BoardError:
            pass
    if board.guest_errors:
        log += "\nguest errors:\n" + board.guest_errors[-KERNEL_LOG_KEPT:]
    return log


def xml_text(text: str) -> str:
    """TEXT as XML 1.0 can carry it: a console's escape sequences and NUL
    bytes replaced."""
    return NOT_XML.sub("\ufffd", text)


def junit(outcomes: Sequence[Outcome], suite_name: str, classname: str) -> bytes:
    """JUnit XML of OUTCOMES, a test case each."""
    suite = ElementTree.Element(
        "testsuite", name=suite_name, tests=str(len(outcomes)),
        failures=str(sum(o.status == "failed" for o in outcomes)),
        skipped=str(sum(o.status == "skipped" for o in outcomes)),
        time=f"{sum(o.seconds for o in outcomes):.3f}")
    for o in outcomes:
        case = ElementTree.SubElement(suite, "testcase", classname=classname, name=o.name,
                                      time=f"{o.seconds:.3f}")
        if o.status == "failed":
            message = xml_text(o.message)
            ElementTree.SubElement(case, "failure", message=message).text = message
        elif o.status == "skipped":
            ElementTree.SubElement(case, "skipped", message=xml_text(o.message))
        if o.output:
            ElementTree.SubElement(case, "system-out").text = xml_text(o.output)
        if o.log:
            ElementTree.SubElement(case, "system-err").text = xml_text(o.log)
    return bytes(ElementTree.tostring(suite, encoding="utf-8", xml_declaration=True))


def summary(outcomes: Sequence[Outcome], kernel: str, seconds: float) -> str:
    lines = [f"boardio check on Linux {kernel}:"]
    for o in outcomes:
        took = f"{o.seconds:6.1f} s" if o.status != "skipped" else " " * 8
        lines.append(f"  {o.status:7} {o.name:28} {took}" + (f"  {o.message}" if o.message
                                                              else ""))
    count = {status: sum(o.status == status for o in outcomes)
             for status in ("passed", "failed", "skipped")}
    lines.append(f"{count['passed']} passed, {count['failed']} failed, {count['skipped']} "
                 f"skipped in {seconds:.1f} s")
    return "\n".join(lines) + "\n"


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(prog="boardio check",
                                     description=str(__doc__).split("\n\n")[0])
    parser.add_argument("--modules", required=True, help="folder of accel*.ko and panelio.ko")
    parser.add_argument("--programs", help="folder of linefan and linebounce (static, ARMv7)")
    parser.add_argument("--kernel", default="6.1", help="kernel series (6.1, 6.12, 3.18)")
    parser.add_argument("--junit", help="the results as JUnit XML")
    parser.add_argument("--build", help="the build folder holding the board (default build/)")
    parser.add_argument("--timeout", type=float, default=CHECK_TIMEOUT_S,
                        help="seconds a suite may take (default 300)")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.modules):
        parser.error(f"no folder '{args.modules}'")
    if args.programs and not os.path.isdir(args.programs):
        parser.error(f"no folder '{args.programs}'")
    runs, outcomes = plan(args.modules, args.programs)
    start = time.monotonic()
    for run in runs:
        for outcome in run_suite(run, args.kernel, args.build, args.timeout):
            print(f"{outcome.status:7} {outcome.name}"
                  + (f": {outcome.message}" if outcome.message else ""), flush=True)
            outcomes.append(outcome)
    if args.junit:
        with open(args.junit, "wb") as f:
            f.write(junit(outcomes, "boardio check", f"boardio.{args.kernel}"))
    sys.stdout.write(summary(outcomes, args.kernel, time.monotonic() - start))
    return 1 if any(o.status == "failed" for o in outcomes) else 0
