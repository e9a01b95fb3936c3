# SPDX-License-Identifier: GPL-2.0-or-later
"""The board's OCI image (vboard/oci/build.sh), built or reused: runs with a
read-only root restore each series from the image's saved machines, making
none anew; `boardio batch --image` runs each job in a container of its own:
the project's modules pass their checks, a module that oopses fails its own
job alone, a test file finds itself without network, on a read-only root,
with its inputs alone, read-only, and its memory capped, a job past its
timeout is stopped with its container, a design is built in its own
container and reads its memory file, and nothing is written outside the
jobs' folders. Exit status 77 (skipped, with the reason) where podman
cannot run containers.

usage: pytest -p boardio.pytest_plugin --board-build BUILD vboard/tests/test_container.py
       (PYTHONPATH=vboard)
"""
from __future__ import annotations

import os
import shutil
import subprocess
import sys

import pytest
from test_batch import BOARDIO, cases, oops_module, results, write

from boardio import container

VBOARD = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_IMAGE = os.path.join(VBOARD, "oci", "build.sh")
SKIPPED = 77


@pytest.fixture(scope="module")
def build(request: pytest.FixtureRequest) -> str:
    return os.path.abspath(str(request.config.getoption("board_build")))


@pytest.fixture(scope="module")
def image(build: str) -> tuple[str, container.Podman]:
    """The image's name and what runs it here; the session ends as skipped
    where podman cannot run containers."""
    try:
        info = subprocess.run(["podman", "info"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True)
    except FileNotFoundError:
        pytest.exit("skipped: podman is not installed", returncode=SKIPPED)
    if info.returncode != 0:
        pytest.exit(f"skipped: podman cannot run here: {info.stderr.strip()[-300:]}",
                    returncode=SKIPPED)
    done = subprocess.run([BUILD_IMAGE, "--build", build], stdout=subprocess.PIPE, text=True)
    assert done.returncode == 0
    name = done.stdout.split()[-1]
    try:
        return name, container.podman(name)
    except container.Unavailable as e:
        pytest.exit(f"skipped: {e}", returncode=SKIPPED)


def ours() -> list[str]:
    """Containers of boardio's on this machine, running or not."""
    return subprocess.run(["podman", "ps", "--all", "--format", "{{.Names}}",
                           "--filter", "name=boardio-"],
                          stdout=subprocess.PIPE, text=True, check=True).stdout.split()


def outside(top: str, out: str) -> list[tuple[str, int]]:
    """Every path under TOP but OUT's, with its time of change."""
    found = []
    for folder, dirs, files in os.walk(top):
        dirs[:] = [d for d in dirs if os.path.join(folder, d) != out]
        for entry in dirs + files:
            path = os.path.join(folder, entry)
            found.append((path, os.lstat(path).st_mtime_ns))
    return sorted(found)


def test_read_only_restores(image: tuple[str, container.Podman]) -> None:
    """Each series restores from the image's saved machines with the root
    read-only: RAM copies alone land in /tmp, no saved machine made."""
    name, podman = image
    script = ("echo 'echo restored $(uname -r)' >/tmp/s; for k in 6.1 6.12 3.18; do "
              "[ -d /opt/boardio/build/vboard/image-$k ] || continue; "
              "boardio run --no-build --kernel $k --script /tmp/s || exit; done; "
              "ls /tmp/boardio-saved-0")
    done = subprocess.run(podman.run(["--rm", "--network=none", "--read-only"], name,
                                     ["sh", "-c", script]),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    lines = done.stdout.split("\n")
    restored = [line for line in lines if line.startswith("restored ")]
    assert done.returncode == 0 and len(restored) >= 2, done.stdout
    left = lines[lines.index(restored[-1]) + 1:]
    assert [x for x in left if x and not x.endswith(".ram")] == [], done.stdout
    assert len([x for x in left if x]) == len(restored)


def test_batch_in_containers(build: str, image: tuple[str, container.Podman],
                             tmp_path: "os.PathLike[str]") -> None:
    name, _ = image
    work = str(tmp_path)
    out = os.path.join(work, "out")
    good = os.path.join(work, "good")
    os.mkdir(good)
    for module in ("accel_cmd.ko", "panelio.ko"):
        shutil.copy(os.path.join(build, "kernel", "linux", "6.1", module), good)
    designs = os.path.join(os.path.dirname(VBOARD), "tests", "fabric", "designs")
    for design_file in ("probe.v", "probe.hex"):
        shutil.copy(os.path.join(designs, design_file), work)
    jobs = write(work, {
        # A design built in its container, its ROM from the file beside it.
        "design.sh": "devmem 0xFF21002C; [ $(devmem 0xFF21002C) = 0xC0DE0003 ]\n",
        "hangs.sh": "echo started; sleep 600\n",
        "probe.py": f"""
import os, socket, pytest

def test_isolated():
    here = os.path.dirname(os.path.abspath(__file__))
    # Its inputs, and the way to its folder: no other job's files (here in
    # the job's own /tmp, pytest's bytecode too).
    assert set(os.listdir(here)) - {{"__pycache__"}} == {{"out", "probe.py"}}
    assert os.listdir(os.path.join(here, "out")) == ["probe"]
    assert os.listdir("/sys/class/net") == ["lo"]
    with pytest.raises(OSError):
        socket.create_connection(("10.0.2.2", 80), timeout=5)
    for path in (__file__, "/opt/boardio/scripts/boardio", "/usr/bin/python3"):
        with pytest.raises(OSError):
            open(path, "a")
    open("/tmp/mine", "w").close()
    open(os.path.join(here, "out", "probe", "mine"), "w").close()
    limit = [p for p in ("/sys/fs/cgroup/memory.max",
                         "/sys/fs/cgroup/memory/memory.limit_in_bytes") if os.path.exists(p)]
    assert int(open(limit[0]).read()) == 2048 << 20
""",
        "jobs.toml": f"""
[[job]]
name = "good"
modules = "good"

[[job]]
name = "oops"
modules = "{oops_module(work)}"

[[job]]
name = "probe"
pytest = "probe.py"
memory_mib = 2048

[[job]]
name = "hangs"
script = "hangs.sh"
timeout = 20

[[job]]
name = "design"
script = "design.sh"
fabric = ["probe.v"]
"""})
    before = outside(work, out)
    done = subprocess.run([sys.executable, BOARDIO, "batch", jobs, "--out", out, "-j", "2",
                           "--image", name],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert os.path.isdir(out), done.stdout + done.stderr
    got = results(out)
    assert {job: r["status"] for job, r in got.items()} == {
        "good": "passed", "oops": "failed", "probe": "passed", "hangs": "timeout",
        "design": "passed"}, (
        done.stdout + done.stderr)
    assert done.returncode == 1 and "jobs are isolated" in done.stderr
    assert "started" in open(os.path.join(out, "hangs", "console.txt")).read()
    checks = cases(out, "oops")
    for check in ("accel.read.accel", "accel.commands.accel"):
        assert "Internal error" in (checks[check].findtext("system-err") or "")
    assert all(case.find("failure") is None for case in cases(out, "good").values())
    # Nothing of theirs outside their folders, and no container left.
    assert outside(work, out) == before
    assert sorted(os.listdir(out)) == ["design", "good", "hangs", "index.html", "oops",
                                       "probe"]
    assert os.path.exists(os.path.join(out, "probe", "mine"))
    assert ours() == []
