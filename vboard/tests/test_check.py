# SPDX-License-Identifier: GPL-2.0-or-later
"""boardio check against builds: the project's own passes every check (and
says which it skipped); a folder of broken modules (one that returns wrong records, one that oopses as
it loads, one that is no module, one that hangs the guest) fails each of its
checks with the reason, in its JUnit XML, and the run goes on to the end.

usage: pytest -p boardio.pytest_plugin --board-build BUILD vboard/tests/test_check.py
       (PYTHONPATH=vboard)
"""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
from xml.etree import ElementTree

import pytest

VBOARD = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(VBOARD)
BROKEN = os.path.join(VBOARD, "tests", "check")


def check(build: str, *args: str) -> tuple[int, dict[str, ElementTree.Element], str]:
    """boardio check's exit status, its JUnit results by check, its output."""
    junit = os.path.join(build, f"check-{os.getpid()}.xml")
    done = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "boardio"), "check",
                           "--build", build, "--junit", junit, *args],
                          stdout=subprocess.PIPE, text=True)
    cases = {case.get("name", ""): case for case in ElementTree.parse(junit).getroot()}
    os.unlink(junit)
    return done.returncode, cases, done.stdout


def outcome(case: ElementTree.Element) -> str:
    for kind in ("failure", "skipped"):
        found = case.find(kind)
        if found is not None:
            return f"{kind}: {found.get('message')}"
    return "passed"


@pytest.fixture(scope="module")
def build(request: pytest.FixtureRequest) -> str:
    return os.path.abspath(str(request.config.getoption("board_build")))


def test_own_build_passes(build: str, tmp_path: "os.PathLike[str]") -> None:
    """A folder of the project's own accel_cmd and panelio, and its
    programs: every check of theirs passes; the variants not there are
    skipped, saying so."""
    mods = os.path.join(tmp_path, "mods")
    os.mkdir(mods)
    for module in ("accel_cmd.ko", "panelio.ko"):
        shutil.copy(os.path.join(build, "kernel", "linux", "6.1", module), mods)
    status, cases, out = check(build, "--modules", mods,
                               "--programs", os.path.join(build, "vboard", "guest"))
    expected = {name: "passed" for name in (
        "accel.read.accel_cmd", "accel.commands.accel_cmd", "key", "sw", "linefan",
        "linebounce")}
    for variant in ("accel", "accel_basic"):
        for kind in ("read", "commands"):
            expected[f"accel.{kind}.{variant}"] = f"skipped: no {variant}.ko in {mods}"
    assert {name: outcome(case) for name, case in cases.items()} == expected, out
    assert status == 0


def broken_modules(faults: tuple[str, ...], work: str) -> dict[str, str]:
    """The broken accel built with each of FAULTS, all at once: fault ->
    its accel.ko."""
    headers = subprocess.run([os.path.join(ROOT, "scripts", "fetch-kernel.sh"), "6.1", "headers"],
                             stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
    makes = {}
    for fault in faults:
        folder = os.path.join(work, fault)
        shutil.copytree(BROKEN, folder)
        makes[fault] = subprocess.Popen(
            ["make", "-s", "-C", headers, f"M={folder}", "ARCH=arm",
             "CROSS_COMPILE=arm-linux-gnueabihf-", f"FAULT={fault}", "modules"],
            stdout=subprocess.DEVNULL)
    for fault, make in makes.items():
        assert make.wait() == 0, f"the {fault} module did not build"
    return {fault: os.path.join(work, fault, "accel.ko") for fault in faults}


def test_broken_modules_fail_with_reasons(build: str, tmp_path: "os.PathLike[str]") -> None:
    work = str(tmp_path)
    built = broken_modules(("RECORD", "OOPS"), work)
    mods = os.path.join(work, "mods")
    os.mkdir(mods)
    shutil.copy(built["RECORD"], os.path.join(mods, "accel.ko"))
    shutil.copy(built["OOPS"], os.path.join(mods, "accel_cmd.ko"))
    with open(os.path.join(mods, "accel_basic.ko"), "w") as f:
        f.write("no module at all\n")
    status, cases, out = check(build, "--modules", mods)
    got = {name: outcome(case) for name, case in cases.items()}
    assert status == 1, out
    assert got["key"] == got["sw"] == f"skipped: no panelio.ko in {mods}"
    for kind in ("read", "commands"):
        assert got[f"accel.{kind}.accel"].startswith("failure: "), got
        assert "insmod accel_cmd" in got[f"accel.{kind}.accel_cmd"], got
        assert "insmod accel_basic" in got[f"accel.{kind}.accel_basic"], got
    # The oops is in the log that comes with the failure.
    assert "Internal error" in (
        cases["accel.read.accel_cmd"].findtext("system-err") or ""), out


def test_hung_guest_fails_its_checks(build: str, tmp_path: "os.PathLike[str]") -> None:
    """A guest hung by a read: its check fails when the suite's time is up
    (whatever that time: the guest never answers again), and the next check
    runs on a board of its own."""
    work = str(tmp_path)
    built = broken_modules(("HANG",), work)
    hang = os.path.join(work, "hang")
    os.mkdir(hang)
    shutil.copy(built["HANG"], os.path.join(hang, "accel.ko"))
    status, cases, out = check(build, "--modules", hang, "--timeout", "5")
    got = {name: outcome(case) for name, case in cases.items()}
    assert status == 1
    for kind in ("read", "commands"):
        assert "did not end within 5 s" in got[f"accel.{kind}.accel"], got
