#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""boardio batch --slurm on a one-node Slurm cluster of its own
(boardio.slurm_cluster): the cluster's set-up, a six-task array from
submission to gathered results (four scripts that pass, one that fails,
one that Slurm cancels as it runs), the same batch again with
--retry-failed cut short by SIGINT, and the cluster's tear-down. Prints
the times and what each job cost (processor-seconds, peak memory, disk).

With --check, exit status 1 when the gathered results are not what each
job did: each job's status, exit status and reason, its JUnit results and
console, the page, Slurm's progress; after SIGINT the finished jobs kept,
the running ones recorded as cut short, nothing left in the queue and no
QEMU left; after the tear-down no daemon, step daemon or folder left.
Exit status 77 when no cluster can run here, with the reason.

usage: slurm.py [--check] [--build DIR] [--kernel SERIES]
"""
from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable
from xml.etree import ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
VBOARD = os.path.dirname(HERE)
sys.path.insert(0, VBOARD)
from boardio.process import Stopped, signals_stop  # noqa: E402
from boardio.slurm_cluster import Cluster, ClusterUnavailable  # noqa: E402

BOARDIO = os.path.join(VBOARD, "..", "scripts", "boardio")
PASSING = ("one", "two", "three", "four")
# A limit for what never comes, not a deadline.
GIVE_UP_S = 300.0


class Failed(Exception):
    pass


def check(ok: bool, what: str) -> None:
    if not ok:
        raise Failed(what)


def until(ready: Callable[[], bool], what: str) -> None:
    end = time.monotonic() + GIVE_UP_S
    while not ready():
        if time.monotonic() > end:
            raise Failed(f"no {what} in {GIVE_UP_S:g} s")
        time.sleep(0.1)


def read(path: str) -> str:
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def results(out: str) -> dict[str, dict[str, Any]]:
    found = {}
    for name in os.listdir(out):
        text = read(os.path.join(out, name, "result.json"))
        if text:
            found[name] = json.loads(text)
    return found


def disk(folder: str) -> int:
    return sum(os.path.getsize(os.path.join(folder, name)) for name in os.listdir(folder))


# The batches started, ended on the way out whatever ends the program.
SUBMITTERS: list["subprocess.Popen[bytes]"] = []


def submitter(argv: list[str], log: str, env: dict[str, str]) -> "subprocess.Popen[bytes]":
    with open(log, "wb") as f:
        SUBMITTERS.append(subprocess.Popen([sys.executable, BOARDIO, "batch", *argv], stdout=f,
                                           stderr=subprocess.STDOUT, env=env))
    return SUBMITTERS[-1]


def array_id(log: str, running: "subprocess.Popen[bytes]") -> str:
    until(lambda: "as job array" in read(log) or running.poll() is not None, "array submitted")
    found = re.findall(r"as job array (\d+)", read(log))
    check(bool(found), f"nothing submitted:\n{read(log)}")
    return str(found[0])


def squeue(env: dict[str, str]) -> list[str]:
    return subprocess.run(["squeue", "--noheader", "--format=%i %T"], env=env, check=True,
                          stdout=subprocess.PIPE, text=True).stdout.split("\n")[:-1]


def qemus(tmp: str) -> list[str]:
    return subprocess.run(["pgrep", "-f", f"qemu-system-arm.*{tmp}"], stdout=subprocess.PIPE,
                          text=True).stdout.split()


def batch_runs(cluster: Cluster, work: str, args: argparse.Namespace) -> dict[str, float]:
    """The two batches; the figures."""
    out, tmp = os.path.join(work, "out"), os.path.join(work, "tmp")
    os.mkdir(tmp)
    scripts = {f"{name}.sh": f"echo greetings from {name}\n" for name in PASSING}
    scripts["fails.sh"] = "echo 'about to fail'; exit 3\n"
    scripts["cancelled.sh"] = "echo started; sleep 600\n"
    names = [*PASSING, "fails", "cancelled"]
    scripts["jobs.toml"] = f'[defaults]\nkernel = "{args.kernel}"\n' + "".join(
        f'[[job]]\nname = "{name}"\nscript = "{name}.sh"\n' for name in names)
    for name, text in scripts.items():
        with open(os.path.join(work, name), "w") as f:
            f.write(text)
    # The batch's own options, which reach the tasks through the array.
    argv = [os.path.join(work, "jobs.toml"), "--out", out, "--build", args.build,
            "--no-build", "--slurm", "--partition", "boardio"]
    env = dict(cluster.env, TMPDIR=tmp)
    log = os.path.join(work, "first.log")
    running = submitter(argv, log, env)
    task = f"{array_id(log, running)}_{names.index('cancelled')}"
    until(lambda: "started" in read(os.path.join(out, "cancelled", "console.txt")),
          "cancelled job started")
    subprocess.run(["scancel", task], env=env, check=True)
    status = running.wait(timeout=GIVE_UP_S)
    said = read(log)
    took = re.findall(r"submitted to gathered in ([0-9.]+) s", said)
    check(status == 1 and bool(took), f"first batch: exit status {status}:\n{said}")
    got = results(out)
    check({name: r["status"] for name, r in got.items()} == {
        **{name: "passed" for name in PASSING}, "fails": "failed", "cancelled": "failed"},
        f"first batch's results: {got}")
    check(got["fails"]["exit_status"] == 3 and got["fails"]["why"] == "exit status 3",
          f"fails: {got['fails']}")
    # Slurm's state, the task, and what the task itself recorded.
    check(got["cancelled"]["why"].startswith("Slurm CANCELLED") and task in
          got["cancelled"]["why"] and "cut short by SIGTERM" in got["cancelled"]["why"],
          f"cancelled: {got['cancelled']}")
    for name in names:
        root = ElementTree.parse(os.path.join(out, name, "junit.xml")).getroot()
        failure = root.find("testcase/failure")
        check((failure is None) == (name in PASSING), f"{name}: junit.xml")
        console = read(os.path.join(out, name, "console.txt"))
        check(name not in PASSING or f"greetings from {name}" in console, f"{name}: {console}")
    page = read(os.path.join(out, "index.html"))
    check(all(f'href="{name}/"' in page for name in names) and "Slurm CANCELLED" in page
          and "4 passed, 2 failed" in page, f"the page:\n{page}")
    check(re.search(r"slurm job \d+: [1-9]\d* pending", said) is not None
          and re.search(r"slurm job \d+: 0 pending, 0 running, 6 done", said) is not None,
          f"progress:\n{said}")
    first = {name: r for name, r in got.items()}

    # Again with --retry-failed, both failed jobs now hang: SIGINT once both
    # run.
    for name in ("fails", "cancelled"):
        with open(os.path.join(work, f"{name}.sh"), "w") as f:
            f.write("echo started again; sleep 600\n")
    log = os.path.join(work, "second.log")
    running = submitter([*argv, "--retry-failed"], log, env)
    until(lambda: all("started again" in read(os.path.join(out, name, "console.txt"))
                      for name in ("fails", "cancelled")), "retried jobs started")
    check(len(qemus(tmp)) == 2, f"QEMUs running: {qemus(tmp)}")
    running.send_signal(signal.SIGINT)
    status = running.wait(timeout=GIVE_UP_S)
    said = read(log)
    check(status == 128 + signal.SIGINT, f"second batch: exit status {status}:\n{said}")
    got = results(out)
    check({name: got[name] for name in PASSING} == {name: first[name] for name in PASSING}
          and all(got[name]["status"] == "interrupted" for name in ("fails", "cancelled"))
          and "cut short by SIGINT" in said, f"second batch's results: {got}\n{said}")
    check(squeue(env) == [] and qemus(tmp) == [] and os.listdir(tmp) == [],
          f"left: queue {squeue(env)}, QEMUs {qemus(tmp)}, files {os.listdir(tmp)}")
    costs = [first[name] for name in PASSING]
    return {"gathered": float(took[0]),
            "cpu": statistics.median(r["cpu_seconds"] for r in costs),
            "rss": statistics.median(r["max_rss_mib"] for r in costs),
            "disk": statistics.median(disk(os.path.join(out, name)) for name in PASSING),
            "slurm_disk": sum(os.path.getsize(os.path.join(out, ".slurm", f))
                              for f in os.listdir(os.path.join(out, ".slurm")))}


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--kernel", default="6.1")
    parser.add_argument("--build", default=os.path.join(VBOARD, "..", "build"))
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="boardio-slurm-bench.")
    # SIGTERM and SIGHUP, too, take the cluster down on their way out.
    try:
        with signals_stop(), Cluster() as cluster:
            try:
                figures = batch_runs(cluster, work, args)
            finally:
                for running in SUBMITTERS:
                    if running.poll() is None:
                        running.kill()
                        running.wait()
            folder = cluster.folder
        left = cluster.steps()
        if args.check:
            check(not os.path.exists(folder) and left == [],
                  f"after the tear-down: folder {os.path.exists(folder)}, step daemons {left}")
    except ClusterUnavailable as e:
        print(f"skipped: no Slurm cluster here: {e}")
        return 77
    except Failed as e:
        print(f"fault: {e}")
        return 1
    except Stopped as e:
        return e.exit_status
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"cluster set-up {cluster.setup_s:.2f} s, six-task array submitted to gathered "
          f"{figures['gathered']:.1f} s, tear-down {cluster.teardown_s:.2f} s")
    print(f"a script job: {figures['cpu']:.2f} processor-seconds, {figures['rss']:.0f} MiB peak, "
          f"{figures['disk'] / 1024:.1f} KiB in its folder; the array's task outputs and "
          f"script {figures['slurm_disk'] / 1024:.1f} KiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
