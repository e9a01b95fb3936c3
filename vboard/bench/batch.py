#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""boardio batch, measured: a batch of COUNT conformance-kit jobs (boardio
check on one submission's modules each: by default accel.ko and panelio.ko
of the build), N at a time. Prints the jobs per minute, how busy the
processors were meanwhile (all of the machine's work, from /proc/stat, and
the jobs' own processor time), what a job costs (processor-seconds, peak
memory, disk) and the idle gaps between one job's end and the next one's
start. The saved machine is made before the batch starts. Run from a
built tree.

usage: vboard/bench/batch.py [--count 20] [-j N] [--modules DIR]
                             [--kernel SERIES] [--build DIR] [--out DIR]
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def cpu_times() -> tuple[int, int]:
    """The machine's processor time so far, busy and in all, in ticks."""
    with open("/proc/stat") as f:
        words = f.readline().split()
    ticks = [int(w) for w in words[1:9]]  # user nice system idle iowait irq softirq steal
    return sum(ticks) - ticks[3] - ticks[4], sum(ticks)


def folder_size(path: str) -> int:
    return sum(os.path.getsize(os.path.join(folder, name))
               for folder, _, names in os.walk(path) for name in names)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=20)
    parser.add_argument("-j", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--modules", help="a submission's modules (default: accel.ko and "
                        "panelio.ko of the build)")
    parser.add_argument("--kernel", default="6.1")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--out", help="keep the batch's results there")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="bench-batch.")
    try:
        modules = args.modules and os.path.abspath(args.modules)
        if not modules:
            modules = os.path.join(work, "submission")
            os.mkdir(modules)
            for name in ("accel.ko", "panelio.ko"):
                shutil.copy(os.path.join(build, "kernel", "linux", args.kernel, name), modules)
        jobs = os.path.join(work, "jobs.toml")
        with open(jobs, "w") as f:
            f.write(f'[defaults]\nkernel = "{args.kernel}"\n')
            for n in range(args.count):
                f.write(f'\n[[job]]\nname = "submission-{n + 1:02d}"\nmodules = "{modules}"\n')
        script = os.path.join(work, "empty.sh")
        open(script, "w").close()
        # The saved machine, made once, before the figures start.
        subprocess.run([os.path.join(ROOT, "vboard", "run"), "--no-build", "--build", build,
                        "--kernel", args.kernel, "--script", script], check=True)
        out = os.path.abspath(args.out) if args.out else os.path.join(work, "out")
        shutil.rmtree(out, ignore_errors=True)
        load = os.getloadavg()[0]
        busy0, all0 = cpu_times()
        start = time.monotonic()
        done = subprocess.run([os.path.join(ROOT, "scripts", "boardio"), "batch", jobs, "--out",
                               out, "-j", str(args.j), "--no-build", "--build", build],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        wall = time.monotonic() - start
        busy1, all1 = cpu_times()
        results = []
        for name in sorted(os.listdir(out)):
            path = os.path.join(out, name, "result.json")
            if os.path.isfile(path):
                with open(path) as f:
                    results.append(json.load(f))
        if len(results) != args.count:
            sys.exit(f"batch.py: {len(results)} of {args.count} jobs have results:\n{done.stdout}")
        failed = [f"{r['name']} ({r['why']})" for r in results if r["status"] != "passed"]
        starts = sorted(r["started_at"] for r in results)
        ends = sorted(r["ended_at"] for r in results)
        # In a pool of N, the i-th job started takes the slot that the
        # (i - N)-th job to end left.
        gaps = [starts[i] - ends[i - args.j] for i in range(args.j, len(starts))]
        cpu = [r["cpu_seconds"] for r in results]
        processors = os.cpu_count() or 1
        print(f"{args.count} conformance-kit jobs, {args.j} at a time, on {processors} "
              f"processors (load average {load:.2f} before): {wall:.1f} s, "
              f"{args.count / wall * 60:.1f} jobs per minute"
              + (f"; not passed: {', '.join(failed)}" if failed else ""))
        print(f"processors busy: {(busy1 - busy0) / max(1, all1 - all0) * 100:.0f}% "
              f"(the whole machine, /proc/stat); the jobs' own processor time: "
              f"{sum(cpu) / (wall * processors) * 100:.0f}%")
        disk = statistics.median(folder_size(os.path.join(out, r["name"])) for r in results)
        print(f"a job: {statistics.median(r['seconds'] for r in results):.1f} s, "
              f"{statistics.median(cpu):.1f} processor-seconds, peak memory "
              f"{max(r['max_rss_mib'] for r in results):.0f} MiB, {disk / 1024:.0f} KiB of "
              "results (medians; memory the largest)")
        if gaps:
            print(f"idle gaps between a job's end and the next one's start: median "
                  f"{statistics.median(gaps) * 1000:.1f} ms, longest {max(gaps) * 1000:.1f} ms")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
