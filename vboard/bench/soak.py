#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Runs stopped by signals at random moments: RUNS runs of vboard/run, each
sent SIGTERM, SIGINT or SIGHUP at a moment drawn from its start to a second
into its script (every tenth with a folder of saved machines of its own, so
that the signal may come while the saved machine is made), beside BUSY busy
loops. Prints how long each took to end after its signal, and what was left
behind: runs still going, QEMUs, files in the run's TMPDIR, half-made saved
machines. With --check, exit status 1 when anything was left or a run took
longer than LIMIT seconds to end.

usage: soak.py [--runs N] [--busy N] [--limit S] [--seed N] [--check]
               [--kernel SERIES] [--build DIR]
"""
from __future__ import annotations

import argparse
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RUN = os.path.join(HERE, "..", "run")
SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
SCRIPT = "echo started\nsleep 30\n"


def leftovers(pattern: str) -> list[str]:
    found = subprocess.run(["pgrep", "-af", pattern], capture_output=True, text=True)
    return [line for line in found.stdout.splitlines() if "pgrep" not in line]


def one_run(args: argparse.Namespace, work: str, n: int, rng: random.Random) -> dict[str, object]:
    tmp = os.path.join(work, f"tmp{n}")
    os.mkdir(tmp)
    env = dict(os.environ, TMPDIR=tmp)
    own_saved = n % 10 == 9
    if own_saved:
        env["VBOARD_TEMPLATES"] = os.path.join(work, f"saved{n}")
    script = os.path.join(work, "script.sh")
    signum = rng.choice(SIGNALS)
    start = time.monotonic()
    run = subprocess.Popen(
        [RUN, "--no-build", "--build", args.build, "--kernel", args.kernel,
         "--qmp", os.path.join(tmp, "q"), "--script", script],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, restore_signals=True)
    assert run.stdout
    # The moment: up to a second after the script begins, which a restored
    # run reaches in a fraction of a second and a made one in seconds.
    span = args.began_s + (args.made_s if own_saved else 0) + 1.0
    moment = rng.uniform(0, span)
    time.sleep(max(0.0, moment - (time.monotonic() - start)))
    run.send_signal(signum)
    sent = time.monotonic()
    try:
        status = run.wait(timeout=30)
    except subprocess.TimeoutExpired:
        status = None
    took = time.monotonic() - sent
    run.stdout.close()
    qemus = leftovers(f"qemu-system-arm.*{tmp}")
    files = os.listdir(tmp)
    half_made = []
    if own_saved and os.path.isdir(env["VBOARD_TEMPLATES"]):
        half_made = [f for f in os.listdir(env["VBOARD_TEMPLATES"]) if f.startswith(".new-")]
    if status is None:
        run.kill()
        run.wait()
    for pid_line in qemus:
        os.kill(int(pid_line.split()[0]), signal.SIGKILL)
    return {"signal": signal.Signals(signum).name, "moment": moment, "took": took,
            "status": status, "going": status is None, "qemus": len(qemus),
            "files": files, "half_made": half_made}


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--busy", type=int, default=2)
    parser.add_argument("--limit", type=float, default=2.0)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--kernel", default="6.1")
    parser.add_argument("--build", default=os.path.join(HERE, "..", "..", "build"))
    args = parser.parse_args()
    rng = random.Random(args.seed)
    busy = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(args.busy)]
    work = tempfile.mkdtemp()
    try:
        with open(os.path.join(work, "script.sh"), "w") as f:
            f.write(SCRIPT)
        # How long a run takes to begin its script, restored and made.
        probe = os.path.join(work, "probe.sh")
        with open(probe, "w") as f:
            f.write("true\n")
        t = time.monotonic()
        subprocess.run([RUN, "--no-build", "--build", args.build, "--kernel", args.kernel,
                        "--script", probe], check=True)
        args.began_s = time.monotonic() - t
        t = time.monotonic()
        subprocess.run([RUN, "--no-build", "--build", args.build, "--kernel", args.kernel,
                        "--script", probe], check=True,
                       env=dict(os.environ, VBOARD_TEMPLATES=os.path.join(work, "probe-saved")))
        args.made_s = time.monotonic() - t
        results = [one_run(args, work, n, rng) for n in range(args.runs)]
    finally:
        for loop in busy:
            loop.kill()
            loop.wait()
        shutil.rmtree(work, ignore_errors=True)
    took = [float(str(r["took"])) for r in results]
    bad = [r for r in results if r["going"] or r["qemus"] or r["files"] or r["half_made"]
           or float(str(r["took"])) > args.limit]
    print(f"{len(results)} runs (seed {args.seed}) beside {args.busy} busy loops; a restored "
          f"run begins in {args.began_s:.2f} s, a made one in {args.made_s:.2f} s")
    for name in ("SIGTERM", "SIGINT", "SIGHUP"):
        mine = [r for r in results if r["signal"] == name]
        if mine:
            statuses = sorted({str(r["status"]) for r in mine})
            print(f"  {name}: {len(mine)} runs, exit statuses {' '.join(statuses)}")
    print(f"ended after the signal: median {statistics.median(took):.3f} s, "
          f"max {max(took):.3f} s (limit {args.limit:g} s)")
    print(f"left going: {sum(bool(r['going']) for r in results)}, QEMUs left: "
          f"{sum(int(str(r['qemus'])) for r in results)}, runs that left files: "
          f"{sum(bool(r['files']) for r in results)}, half-made saved machines: "
          f"{sum(bool(r['half_made']) for r in results)}")
    for r in bad:
        print(f"  fault: {r}")
    return 1 if args.check and bad else 0


if __name__ == "__main__":
    sys.exit(main())
