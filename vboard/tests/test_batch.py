# SPDX-License-Identifier: GPL-2.0-or-later
"""boardio batch: a job's results in its folder and on the page (a script
that passes, one that fails, one stopped at its timeout, a check of a module
that oopses), a batch run again that keeps what did not change and reruns
the failed jobs with --retry-failed, one cut short by SIGINT that leaves no
QEMU and keeps the finished jobs' results, and jobs files refused with the
job and key named.

usage: pytest -p boardio.pytest_plugin --board-build BUILD vboard/tests/test_batch.py
       (PYTHONPATH=vboard)
"""
from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
import time
from typing import Any
from xml.etree import ElementTree

import pytest

VBOARD = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(VBOARD)
BOARDIO = os.path.join(ROOT, "scripts", "boardio")


@pytest.fixture(scope="module")
def build(request: pytest.FixtureRequest) -> str:
    return os.path.abspath(str(request.config.getoption("board_build")))


def write(folder: str, files: dict[str, str]) -> str:
    for name, text in files.items():
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    return os.path.join(folder, "jobs.toml")


def batch(build: str, jobs: str, out: str, *more: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, BOARDIO, "batch", jobs, "--out", out, "-j", "2",
                           "--build", build, "--no-build", *more],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def results(out: str) -> dict[str, dict[str, Any]]:
    found = {}
    for name in os.listdir(out):
        path = os.path.join(out, name, "result.json")
        if os.path.isfile(path):
            with open(path) as f:
                found[name] = json.load(f)
    return found


def cases(out: str, job: str) -> dict[str, ElementTree.Element]:
    root = ElementTree.parse(os.path.join(out, job, "junit.xml")).getroot()
    return {case.get("name", ""): case for case in root.iter("testcase")}


def oops_module(work: str) -> str:
    """A folder holding an accel.ko that oopses as it loads."""
    source = os.path.join(work, "oops-source")
    shutil.copytree(os.path.join(VBOARD, "tests", "check"), source)
    headers = subprocess.run([os.path.join(ROOT, "scripts", "fetch-kernel.sh"), "6.1", "headers"],
                             stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
    subprocess.run(["make", "-s", "-C", headers, f"M={source}", "ARCH=arm",
                    "CROSS_COMPILE=arm-linux-gnueabihf-", "FAULT=OOPS", "modules"],
                   check=True, stdout=subprocess.DEVNULL)
    folder = os.path.join(work, "oops")
    os.mkdir(folder)
    shutil.copy(os.path.join(source, "accel.ko"), folder)
    return "oops"


def test_results_pages_and_reruns(build: str, tmp_path: "os.PathLike[str]") -> None:
    work, out = str(tmp_path), os.path.join(str(tmp_path), "out")
    jobs = write(work, {
        "passes.sh": "echo greetings\n",
        "fails.sh": "echo 'about to fail <b>&</b>'; exit 3\n",
        "hangs.sh": "echo started; sleep 600\n",
        "jobs.toml": f"""
[defaults]
kernel = "6.1"

[[job]]
name = "passes"
script = "passes.sh"

[[job]]
name = "fails"
script = "fails.sh"

[[job]]
name = "hangs"
script = "hangs.sh"
timeout = 5

[[job]]
name = "oops"
modules = "{oops_module(work)}"
"""})
    done = batch(build, jobs, out)
    got = results(out)
    assert done.returncode == 1, done.stdout + done.stderr
    assert "not isolated" in done.stderr
    assert {name: r["status"] for name, r in got.items()} == {
        "passes": "passed", "fails": "failed", "hangs": "timeout", "oops": "failed"}, done.stdout
    assert got["fails"]["exit_status"] == 3 and got["passes"]["exit_status"] == 0
    assert len({r["input_hash"] for r in got.values()}) == 4
    script = cases(out, "passes")["script"]
    assert script.find("failure") is None
    assert (script.findtext("system-out") or "").startswith("greetings\n")
    failure = cases(out, "fails")["script"].find("failure")
    assert failure is not None and failure.get("message") == "exit status 3"
    assert "about to fail" in open(os.path.join(out, "fails", "console.txt")).read()
    # The check's own results: the oops in the log of each accel check.
    checks = cases(out, "oops")
    for name in ("accel.read.accel", "accel.commands.accel"):
        assert checks[name].find("failure") is not None
        assert "Internal error" in (checks[name].findtext("system-err") or "")
    page = open(os.path.join(out, "index.html")).read()
    assert all(f'href="{name}/"' in page for name in got)
    # A failure's console, escaped, one click away.
    assert "<details><summary>failed</summary>" in page and "Internal error" in page
    assert "about to fail &lt;b&gt;&amp;&lt;/b&gt;" in page and "<b>&" not in page

    # Again: nothing changed, nothing runs; a changed script reruns its job.
    assert batch(build, jobs, out).returncode == 1
    assert results(out) == got
    write(work, {"passes.sh": "echo changed\n"})
    done = batch(build, jobs, out)
    again = results(out)
    assert [n for n in got if again[n]["started_at"] != got[n]["started_at"]] == ["passes"]
    assert again["passes"]["status"] == "passed", done.stdout
    assert "unchanged" in done.stdout
    # The failed ones run again with --retry-failed, the passed one does not.
    done = batch(build, jobs, out, "--retry-failed")
    retried = results(out)
    assert sorted(n for n in got if retried[n]["started_at"] != again[n]["started_at"]) == [
        "fails", "hangs", "oops"], done.stdout
    assert retried["hangs"]["status"] == "timeout"


def test_interrupted_batch(build: str, tmp_path: "os.PathLike[str]") -> None:
    work, out = str(tmp_path), os.path.join(str(tmp_path), "out")
    tmp = os.path.join(work, "tmp")
    os.mkdir(tmp)
    jobs = write(work, {"quick.sh": "echo done\n", "long.sh": "echo started; sleep 600\n",
                        "jobs.toml": "".join(f'[[job]]\nname = "{name}"\nscript = "{script}"\n'
                                             for name, script in (("quick", "quick.sh"),
                                                                  ("long1", "long.sh"),
                                                                  ("long2", "long.sh"),
                                                                  ("never", "long.sh")))})
    running = subprocess.Popen([sys.executable, BOARDIO, "batch", jobs, "--out", out, "-j", "2",
                                "--build", build, "--no-build"], env=dict(os.environ, TMPDIR=tmp),
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)

    def started(name: str) -> bool:
        try:
            with open(os.path.join(out, name, "console.txt")) as f:
                return "started" in f.read()
        except FileNotFoundError:
            return False

    def qemus() -> list[str]:
        found = subprocess.run(["pgrep", "-f", f"qemu-system-arm.*{tmp}"],
                               stdout=subprocess.PIPE, text=True)
        return found.stdout.split()

    # A limit for a batch that never gets there, no deadline.
    give_up = time.monotonic() + 300
    while not (started("long1") and started("long2")) and time.monotonic() < give_up:
        time.sleep(0.1)
    assert len(qemus()) == 2
    running.send_signal(signal.SIGINT)
    said, _ = running.communicate(timeout=120)
    assert running.returncode == 128 + signal.SIGINT, said
    assert qemus() == [] and os.listdir(tmp) == []
    got = results(out)
    assert {name: r["status"] for name, r in got.items()} == {
        "quick": "passed", "long1": "interrupted", "long2": "interrupted"}, said
    assert "cut short by SIGINT" in said and "never" in said


@pytest.mark.parametrize("toml, says", [
    ('[[job]]\nname = "a"\nscript = "x.sh"\npytest = "t.py"\n',
     "job 1 ('a'): give one of 'script', 'pytest' or 'modules'"),
    ('[[job]]\nname = "a"\nscript = "x.sh"\nfiles = ["missing.ko"]\n',
     "job 1 ('a'): key 'files': no file 'missing.ko'"),
    ('[[job]]\nname = "a"\nscript = "x.sh"\n[[job]]\nname = "b"\nscript = "x.sh"\nkernel = "5.4"\n',
     "job 2 ('b'): key 'kernel': '5.4' is none of"),
    ('[[job]]\nname = "a"\nmodules = "."\nfiles = ["x.sh"]\n',
     "job 1 ('a'): key 'files' goes with a script or pytest job"),
    ('[defaults]\ntimout = 5\n[[job]]\nname = "a"\nscript = "x.sh"\n',
     "[defaults]: unknown key 'timout'"),
    ('[[job]]\nname = "a/b"\nscript = "x.sh"\n', "job 1: key 'name'"),
])
def test_jobs_file_refused(build: str, tmp_path: "os.PathLike[str]", toml: str,
                           says: str) -> None:
    jobs = write(str(tmp_path), {"x.sh": "true\n", "jobs.toml": toml})
    done = batch(build, jobs, os.path.join(str(tmp_path), "out"))
    assert done.returncode == 2 and says in done.stderr, done.stderr
    assert not os.path.exists(os.path.join(str(tmp_path), "out"))
