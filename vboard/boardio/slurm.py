# SPDX-License-Identifier: GPL-2.0-or-later
"""boardio batch --slurm: a batch as one Slurm job array.

    boardio batch JOBS.toml --out DIR --slurm [--partition P] [...]

The jobs that need running (the same rules as a batch on this machine:
unchanged results kept, failed ones run again with --retry-failed) go to
Slurm as one array, task I running the I-th of them: DIR/.slurm/batch.sh
runs `boardio batch JOBS.toml --out DIR ... --no-build --task NAME` with
the submitter's own options, so each task writes the job's folder as a
local batch does. The submitter shows squeue's counts as it waits, takes
each task's results as it leaves the queue, and writes the summary and
index.html. A task that Slurm ended, or that left no result, is recorded
as failed with Slurm's state. SIGINT or SIGTERM cancels the array and
keeps what finished. DIR and the project's tree must be on a filesystem
that every node shares."""
from __future__ import annotations

import argparse
import json
import math
import os
import shlex
import shutil
import time
from dataclasses import dataclass
from types import TracebackType
from typing import Mapping, Optional, Sequence

from . import build
from .batch import (FINISHED, Batch, Display, Isolation, Job, JobsError, Record, _write,
                    console_of, junit_one, read_checks, read_result, report, tail,
                    write_page)
from .process import (SIGNAL_NAMES, STOP_GRACE_S, Process, Stopped, read_available, signals_held,
                      sleep, wait_for, warn)

PROG = "boardio batch"
# How often squeue is asked: often enough to show progress, seldom enough
# for a shared controller.
POLL_S = 1.0
# What a task asks of its node: one processor (a board runs on one), and
# memory for QEMU's resident set (some 60 MiB, the guest's 256 MiB of RAM
# at most, translated code) with room to spare.
TASK_MEMORY_MIB = 1024
# A task's limit past its job's own: its start, the inputs' hash, a stop.
TASK_MARGIN_S = 300
# A task that ran to its end but whose result is not yet seen (a shared
# filesystem's caches) is waited for this long.
RESULT_GRACE_S = 30.0
# Once cancelled, how long running tasks get to record themselves cut short
# (each stops its job within STOP_GRACE_S).
CANCEL_WAIT_S = 3 * STOP_GRACE_S
# squeue's states of a task still in the queue, by what progress calls it.
WAITING = {"PENDING", "REQUEUED", "REQUEUE_HOLD", "REQUEUE_FED", "RESV_DEL_HOLD", "SUSPENDED",
           "STOPPED"}
# A task in any other state than these (and WAITING) has left the queue.
ACTIVE = {"RUNNING", "CONFIGURING", "COMPLETING", "SIGNALING", "STAGE_OUT", "RESIZING"}
# The states of a task that ran to its end: its own result tells.
RAN = {"COMPLETED", "FAILED"}


def options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--slurm", action="store_true",
                        help="run the jobs as one Slurm job array (DIR and the project's tree on "
                        "a filesystem the nodes share)")
    parser.add_argument("--partition", metavar="P", help="the Slurm partition (with --slurm)")
    # A task of the array: the job it runs.
    parser.add_argument("--task", metavar="NAME", help=argparse.SUPPRESS)


def task_jobs(jobs: list[Job], task: Optional[str]) -> list[Job]:
    """The jobs this process runs: the task's one, or all of them."""
    if task is None:
        return jobs
    chosen = [job for job in jobs if job.name == task]
    if not chosen:
        raise JobsError(f"--task: no job '{task}' in the jobs file")
    return chosen


def pass_through(argv: Sequence[str]) -> list[str]:
    """ARGV less the options that only the submitter takes: every other
    option reaches the tasks as it was given."""
    own = argparse.ArgumentParser(add_help=False)
    own.add_argument("--slurm", action="store_true")
    own.add_argument("--partition")
    return own.parse_known_args(list(argv))[1]


# --- a task --------------------------------------------------------------------
class TaskBatch(Batch):
    """One job of the array: its folder written as a local batch writes it;
    the page is the submitter's."""

    writes_page = False


def run_task(job: Job, digest: str, inputs: dict[str, str], out: str, base: str,
             build_dir: str, isolation: Optional[Isolation] = None) -> int:
    """One job of the array, in a container of its own with --image."""
    records: dict[str, Record] = {}
    with TaskBatch([job], records, out, base, build_dir, 1, Display(1), isolation) as batch:
        try:
            batch.run([(job, digest, inputs)])
        except Stopped as e:
            # Slurm's cancel or time limit: the job stopped and recorded as
            # cut short before a second signal is taken.
            batch.cut_by = SIGNAL_NAMES.get(e.signum, f"signal {e.signum}")
            with signals_held():
                batch.close()
            return e.exit_status
    return 0 if records[job.name].status == "passed" else 1


# --- Slurm's commands ----------------------------------------------------------
def command(argv: Sequence[str], env: Optional[Mapping[str, str]] = None) -> tuple[int, str, str]:
    """Runs ARGV to its end: its exit status, output and errors (127 when
    it is not installed)."""
    if not shutil.which(argv[0]):
        return 127, "", f"{argv[0]}: not found (Debian's slurm-client)"
    null = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)
    out_r, out_w = os.pipe2(os.O_CLOEXEC | os.O_NONBLOCK)
    err_r, err_w = os.pipe2(os.O_CLOEXEC | os.O_NONBLOCK)
    got = {out_r: b"", err_r: b""}
    try:
        with Process(argv, stdin=null, stdout=out_w, stderr=err_w, env=env) as process:
            os.close(out_w)
            os.close(err_w)
            out_w = err_w = -1
            open_fds = [out_r, err_r]
            while open_fds:
                for fd in wait_for(open_fds, None):
                    data = read_available(fd)
                    if data is None:
                        open_fds.remove(fd)
                    else:
                        got[fd] += data
            status = process.wait()
    finally:
        for fd in (null, out_r, out_w, err_r, err_w):
            if fd >= 0:
                os.close(fd)
    assert status is not None
    return status, got[out_r].decode(errors="replace"), got[err_r].decode(errors="replace")


def first_line(text: str) -> str:
    lines = [line for line in text.strip().splitlines() if line.strip()]
    return lines[0] if lines else ""


# --- the array -----------------------------------------------------------------
@dataclass
class Task:
    job: Job
    index: int  # in the array
    state: str = "PENDING"  # squeue's, as last seen
    reason: str = ""
    left_at: Optional[float] = None  # monotonic, when it left the queue
    ran: bool = False  # seen running, or ended after it ran
    done: bool = False


class Array:
    """The batch's job array: a context manager that cancels what of it is
    still queued or running, whatever ends it, and records those tasks."""

    def __init__(self, jobs: Sequence[Job], pending: Sequence[Job], records: dict[str, Record],
                 out: str, show: Display) -> None:
        self.jobs = list(jobs)
        # What an earlier batch left: no result of this array's. A task
        # that reaches its job removes its folder first.
        self.earlier = {job.name: read_result(os.path.join(out, job.name)) for job in pending}
        self.tasks = [Task(job, index) for index, job in enumerate(pending)]
        self.records = records
        self.out = out
        self.show = show
        self.folder = os.path.join(out, ".slurm")
        self.id = ""  # Slurm's job id of the array, once submitted
        self.submitted = 0.0  # monotonic
        self.cut_by = ""
        self.counts = ""
        self.trouble = ""  # squeue's last failure, said once

    def __enter__(self) -> "Array":
        return self

    def __exit__(self, kind: Optional[type[BaseException]], value: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()

    def output(self, task: Task) -> str:
        return os.path.join(self.folder, f"task-{task.index}.out")

    def submit(self, task_argv: Sequence[str], partition: Optional[str]) -> None:
        # An earlier array's outputs would read as this one's tasks started.
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        names = " ".join(task.job.name for task in self.tasks)
        script = os.path.join(self.folder, "batch.sh")
        _write(script, (
            "#!/bin/sh\n"
            "# boardio batch --slurm: task I of the array runs the I-th job named here.\n"
            f"set -- {names}\n"
            'shift "$SLURM_ARRAY_TASK_ID"\n'
            "# The submitter's TMPDIR may be no folder on this node.\n"
            '[ -d "${TMPDIR:-/tmp}" ] || unset TMPDIR\n'
            f"exec {shlex.join(task_argv)} --task \"$1\"\n").encode())
        limit = max(task.job.timeout for task in self.tasks) + TASK_MARGIN_S
        argv = ["sbatch", "--parsable", f"--array=0-{len(self.tasks) - 1}",
                "--job-name=boardio-batch", f"--chdir={os.getcwd()}",
                f"--output={os.path.join(self.folder, 'task-%a.out')}",
                "--ntasks=1", "--cpus-per-task=1", f"--mem={TASK_MEMORY_MIB}M",
                f"--time={math.ceil(limit / 60)}"]
        if partition:
            argv.append(f"--partition={partition}")
        # Owned before a signal can end the batch: a stop that comes while
        # sbatch runs waits for its job id, and then cancels the array.
        with signals_held():
            status, said, errors = command([*argv, script])
            if status == 0 and first_line(said):
                self.id = first_line(said).split(";")[0]
                self.submitted = time.monotonic()
        if not self.id:
            raise SubmitError(first_line(errors) or f"sbatch: exit status {status}")
        self.show.say(f"submitted {len(self.tasks)} jobs to Slurm as job array {self.id}"
                      + (f" (partition {partition})" if partition else ""))

    def wait(self) -> None:
        """Until every task has its record."""
        while not all(task.done for task in self.tasks):
            self.poll()
            for task in self.tasks:
                if not task.done and task.left_at is not None:
                    self.gather(task)
            self.progress()
            if not all(task.done for task in self.tasks):
                sleep(POLL_S)

    def poll(self) -> None:
        """Each task's state from squeue; one it no longer lists has left the
        queue."""
        status, said, errors = command(
            ["squeue", "--noheader", "--array", "--states=all", f"--jobs={self.id}",
             "--format=%K|%T|%r"])
        if status != 0 and "Invalid job id" not in errors:
            # The controller may be restarting: asked again at the next poll.
            trouble = f"squeue: {first_line(errors) or f'exit status {status}'}"
            if trouble != self.trouble:
                warn(PROG, trouble)
            self.trouble = trouble
            return
        self.trouble = ""
        seen: dict[int, tuple[str, str]] = {}
        for line in said.splitlines() if status == 0 else []:
            parts = line.strip().split("|")
            if len(parts) == 3 and parts[0].isdigit():
                seen[int(parts[0])] = (parts[1], parts[2])
        now = time.monotonic()
        for task in self.tasks:
            if task.index in seen:
                task.state, task.reason = seen[task.index]
                task.ran |= task.state in ACTIVE | RAN
            if task.left_at is None and (task.index not in seen
                                         or task.state not in WAITING | ACTIVE):
                task.left_at = now

    def gather(self, task: Task, cut: bool = False) -> None:
        """The task's record: its job's own result where it wrote one of a
        finished job, else one that says what Slurm made of it."""
        folder = os.path.join(self.out, task.job.name)
        result = read_result(folder)
        earlier = result is not None and result == self.earlier[task.job.name]
        if earlier:
            result = None
        junit = os.path.join(folder, "junit.xml")
        if result is not None and result.get("status") in FINISHED:
            self.record(Record(task.job, result["status"], result, checks=read_checks(junit)))
            return
        if (not cut and task.state in RAN and task.left_at is not None
                and time.monotonic() < task.left_at + RESULT_GRACE_S):
            return  # not seen yet
        mine = f" ({result['why']})" if result and result.get("why") else ""
        if cut:
            status = "interrupted"
            why = f"cut short by {self.cut_by or 'the batch'}: Slurm {task.state}{mine}"
        else:
            status = "failed"
            reason = f", {task.reason}" if task.reason not in ("", "None") else ""
            why = (f"Slurm {task.state}{reason} (task {self.id}_{task.index})"
                   + (mine or ": the task wrote no result"))
        if earlier:
            shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder, exist_ok=True)
        console = os.path.join(folder, "console.txt")
        if not os.path.exists(console):
            # What the task itself said, where it never reached its job.
            try:
                shutil.copyfile(self.output(task), console)
            except OSError:
                _write(console, b"")
        seconds = float(result.get("seconds", 0.0)) if result else 0.0
        output = console_of(folder)
        _write(junit, junit_one(task.job, "script" if task.job.kind == "script"
                                else task.job.name, seconds, why, tail(output)))
        own = {key: value for key, value in (result or {}).items()
               if key not in ("status", "why")}
        new = {"name": task.job.name, "kind": task.job.kind, "kernel": task.job.kernel,
               "exit_status": None, **own, "status": status, "why": why,
               "slurm_job": f"{self.id}_{task.index}", "slurm_state": task.state}
        _write(os.path.join(folder, "result.json"), (json.dumps(new, indent=1) + "\n").encode())
        self.record(Record(task.job, status, new, checks=read_checks(junit)))

    def record(self, record: Record) -> None:
        self.records[record.job.name] = record
        next(task for task in self.tasks if task.job is record.job).done = True
        self.show.finished(record)
        write_page(self.out, self.jobs, self.records)

    def progress(self) -> None:
        """squeue's counts: a line rewritten in place on a terminal, else a
        line whenever they change."""
        waiting = sum(not t.done and t.left_at is None and t.state in WAITING for t in self.tasks)
        done = sum(t.done for t in self.tasks)
        running = len(self.tasks) - waiting - done
        counts = f"{waiting} pending, {running} running, {done} done"
        took = int(time.monotonic() - self.submitted)
        text = f"slurm job {self.id}: {counts}, {took // 60}:{took % 60:02d}"
        if self.show.live:
            width = shutil.get_terminal_size().columns - 1
            self.show.stream.write("\r" + text[:width] + "\x1b[K")
            self.show.stream.flush()
            self.show.shown = True
        elif counts != self.counts:
            self.show.say(text)
        self.counts = counts

    def close(self) -> None:
        """What of the array is not done cancelled; its running tasks given
        CANCEL_WAIT_S to record themselves cut short; every task not done
        recorded, but those that never started."""
        with signals_held():
            left = [task for task in self.tasks if not task.done]
            if not self.id or not left:
                return
            status, _, errors = command(["scancel", self.id])
            if status != 0:
                warn(PROG, f"scancel {self.id}: {first_line(errors) or f'exit status {status}'}")
            end = time.monotonic() + CANCEL_WAIT_S
            while True:
                self.poll()
                if all(t.left_at is not None for t in left) or time.monotonic() >= end:
                    break
                time.sleep(POLL_S / 4)
            for task in left:
                # Slurm makes a task's output file as it starts it.
                if task.ran or os.path.exists(self.output(task)):
                    self.gather(task, cut=True)


class SubmitError(Exception):
    """The array could not be submitted."""


def run_array(jobs: Sequence[Job], records: dict[str, Record], pending: Sequence[Job], out: str,
              argv: Sequence[str], partition: Optional[str], show: Display) -> int:
    """Runs PENDING as one job array; the batch's exit status."""
    start = time.monotonic()
    # What the submitter built, the tasks run.
    rest = pass_through(argv)
    task_argv = [build.PYTHON, os.path.join(build.SCRIPTS, "boardio"), "batch", *rest,
                 *(["--no-build"] if "--no-build" not in rest else [])]
    with Array(jobs, pending, records, out, show) as array:
        try:
            if pending:
                array.submit(task_argv, partition)
                array.wait()
                show.say(f"job array {array.id}: submitted to gathered in "
                         f"{time.monotonic() - array.submitted:.1f} s")
        except SubmitError as e:
            warn(PROG, str(e))
            return 2
        except Stopped as e:
            array.cut_by = SIGNAL_NAMES.get(e.signum, f"signal {e.signum}")
            with signals_held():
                array.close()
                report(out, jobs, records, time.monotonic() - start, show, array.cut_by)
            return e.exit_status
    return report(out, jobs, records, time.monotonic() - start, show)

