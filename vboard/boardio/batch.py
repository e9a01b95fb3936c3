# SPDX-License-Identifier: GPL-2.0-or-later
"""boardio batch: many boards as a batch on one machine.

    boardio batch JOBS.toml --out DIR [-j N] [--retry-failed]
                  [--build DIR] [--no-build] [--slurm [--partition P]]
                  [--image IMAGE]

JOBS.toml lists jobs, each a script run on a board (as `vboard/run
--script`), a pytest file run against boards (the package's plugin), or
the board's behaviour suites on a folder of modules (`boardio check`):

    [defaults]                # any job key but name and what it runs
    kernel = "6.1"            # 6.1, 6.12 or 3.18
    timeout = 600             # seconds a job may take
    memory_mib = 4096         # address space of each of its processes

    [[job]]
    name = "good"             # its folder in DIR: letters, digits, . _ -
    modules = "good"          # boardio check on the folder's modules ...
    programs = "good/bin"     #   ... and programs (optional)

    [[job]]
    name = "read"
    script = "read.sh"        # or: pytest = "test_read.py"
    files = ["good/accel.ko", "motion.csv:/root/motion.csv"]
    fabric = ["timer.v"]      # designs in the fabric (script and pytest)

Paths are relative to the jobs file's folder, where every job runs. Each
job is a process of its own (a process group, its address space capped by
prlimit), started in a pool of N at a time (default: one per processor),
from the shared saved machines. DIR gets a folder per job (console.txt,
junit.xml, guest-errors.log for a script, result.json: status, exit
status, timing, processor time, peak memory, the inputs' hash) and
index.html, a page of every job and check. A job whose inputs (its table,
the contents of its files, and the board's QEMU, image and suites) are
those of a complete result in DIR is not run again; a failed one is with
--retry-failed. With --slurm the jobs run as one Slurm job array (see
slurm.py). With --image, each job runs in a container of the board's
OCI image (vboard/oci/build.sh) of its own: no network, a read-only root,
its inputs read-only and its folder in DIR writable, memory_mib of memory
and its share of the processors; the image stands for the board's QEMU,
images and suites in the inputs' hash. Exit status 0 when every job
passed, 1 when one did not, 2 for wrong usage, 128 + N when signal N cut
the batch short."""
from __future__ import annotations

import argparse
import html
import json
import os
import pwd
import re
import shutil
import signal
import sys
import tempfile
import time
import tomllib
from dataclasses import dataclass, field
from hashlib import sha256
from types import TracebackType
from typing import Any, NamedTuple, Optional, Sequence, TextIO
from xml.etree import ElementTree

from . import build, container
from .check import Outcome, junit, xml_text
from .options import SERIES, UsageError, file_entry, file_parts
from .process import SIGNAL_NAMES, STOP_GRACE_S, Process, Stopped, signals_held, wait_for, warn

DEFAULT_TIMEOUT_S = 600.0
# QEMU reserves some 1.7 GiB of address space (1 GiB for translated code,
# the guest's 256 MiB of RAM, a heap per thread) and touches some 60 MiB:
# the cap leaves it room twice over and stops a job that runs away. Below
# the least, QEMU could not start, and its run would take the shared saved
# machine for a damaged one and make it anew.
DEFAULT_MEMORY_MIB = 4096
LEAST_MEMORY_MIB = 2048
RUN_KEYS = ("script", "pytest", "modules")
DEFAULT_KEYS = ("kernel", "timeout", "memory_mib", "files", "fabric")
JOB_KEYS = ("name", *RUN_KEYS, "programs", *DEFAULT_KEYS)
NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,63}")
KIND_OF = {"script": "script", "pytest": "pytest", "modules": "check"}
# Statuses of a finished job that a later batch may keep.
FINISHED = ("passed", "failed", "timeout")
# The batch's own code, which makes no result.
BATCH_CODE = tuple(os.path.join("boardio", name)
                   for name in ("batch.py", "slurm.py", "slurm_cluster.py"))
PROGRESS_BAR = 20  # characters of the progress bar on a terminal
CONSOLE_TAIL_LINES = 40
CONSOLE_TAIL_CHARS = 6000


class JobsError(UsageError):
    """A jobs file that cannot be run; the message names the job and key."""


class Job(NamedTuple):
    name: str
    kind: str  # script, pytest or check
    kernel: str
    target: str  # the script, the test file or the modules' folder (absolute)
    programs: Optional[str]  # a check's programs' folder (absolute)
    files: tuple[str, ...]  # absolute PATH[:GUEST_PATH]
    fabric: tuple[str, ...]  # absolute design files
    timeout: float
    memory_mib: int
    definition: str  # its table with the defaults, as canonical text
    inputs: tuple[str, ...]  # the files and folders whose contents it depends on


# --- the jobs file ------------------------------------------------------------
def load(path: str) -> list[Job]:
    """The jobs of a jobs file; JobsError for what is wrong in it."""
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as e:
        raise JobsError(f"cannot read '{path}': {e.strerror}") from None
    except tomllib.TOMLDecodeError as e:
        raise JobsError(f"{path}: {e}") from None
    base = os.path.dirname(os.path.abspath(path))
    for key in data:
        if key not in ("defaults", "job"):
            raise JobsError(f"{path}: unknown key '{key}' (a jobs file has [defaults] "
                            "and [[job]] tables)")
    defaults = data.get("defaults", {})
    if not isinstance(defaults, dict):
        raise JobsError(f"{path}: 'defaults' must be a table")
    for key in defaults:
        if key not in DEFAULT_KEYS:
            raise JobsError(f"{path}: [defaults]: unknown key '{key}' "
                            f"(defaults may give {', '.join(DEFAULT_KEYS)})")
    tables = data.get("job")
    if not isinstance(tables, list) or not tables:
        raise JobsError(f"{path}: no jobs (a [[job]] table for each)")
    jobs: list[Job] = []
    for number, table in enumerate(tables, 1):
        if not isinstance(table, dict):
            raise JobsError(f"{path}: job {number} must be a table")
        job = _job(f"{path}: job {number}", {**defaults, **table}, base)
        if any(job.name == other.name for other in jobs):
            raise JobsError(f"{path}: job {number}: name '{job.name}' is taken by "
                            "an earlier job")
        jobs.append(job)
    return jobs


def _job(where: str, table: dict[str, Any], base: str) -> Job:
    name = table.get("name")
    if not isinstance(name, str) or not NAME.fullmatch(name) or name == "index.html":
        raise JobsError(f"{where}: key 'name': give a name of up to 64 letters, digits, "
                        "'.', '_' or '-' (its folder's name)")
    where = f"{where} ('{name}')"
    for key in table:
        if key not in JOB_KEYS:
            raise JobsError(f"{where}: unknown key '{key}' (known: {', '.join(JOB_KEYS)})")
    runs = [key for key in RUN_KEYS if key in table]
    if len(runs) != 1:
        raise JobsError(f"{where}: give one of 'script', 'pytest' or 'modules' (what the job "
                        f"runs); it has {' and '.join(repr(r) for r in runs) or 'none'}")
    run = runs[0]
    kind = KIND_OF[run]

    def text(key: str) -> str:
        value = table[key]
        if not isinstance(value, str) or not value:
            raise JobsError(f"{where}: key '{key}' takes a path (a string)")
        return value

    def existing(key: str, value: str, folder: bool) -> str:
        full = os.path.normpath(os.path.join(base, value))
        if not (os.path.isdir(full) if folder else os.path.isfile(full)):
            raise JobsError(f"{where}: key '{key}': no {'folder' if folder else 'file'} "
                            f"'{value}' (paths are relative to the jobs file)")
        return full

    target = existing(run, text(run), folder=run == "modules")
    inputs = [target]
    programs = None
    if "programs" in table:
        if kind != "check":
            raise JobsError(f"{where}: key 'programs' goes with 'modules' (boardio check)")
        programs = existing("programs", text("programs"), folder=True)
        inputs.append(programs)
    lists: dict[str, list[str]] = {}
    for key in ("files", "fabric"):
        value = table.get(key, [])
        if isinstance(value, str):
            value = [value]
        if not isinstance(value, list) or not all(isinstance(v, str) and v for v in value):
            raise JobsError(f"{where}: key '{key}' takes a list of paths")
        if value and kind == "check":
            raise JobsError(f"{where}: key '{key}' goes with a script or pytest job (boardio "
                            "check puts the modules and programs in the guest itself)")
        lists[key] = value
    files = []
    for entry in lists["files"]:
        path, guest = file_parts(entry)
        if guest is not None and not guest.startswith("/"):
            raise JobsError(f"{where}: key 'files': '{guest}' is no absolute guest path")
        full = existing("files", path, folder=False)
        files.append(file_entry(full, guest))
        inputs.append(full)
    fabric = [existing("fabric", design, folder=False) for design in lists["fabric"]]
    inputs += fabric
    if fabric:
        # What its $readmemh reads: part of its inputs, and of its container.
        from .fabric import memory_files
        first = os.path.dirname(fabric[0])
        inputs += [p for p in (os.path.join(first, name) for name in memory_files(fabric))
                   if os.path.isfile(p)]
    kernel = table.get("kernel", "6.1")
    if kernel not in SERIES:
        raise JobsError(f"{where}: key 'kernel': '{kernel}' is none of {', '.join(SERIES)}")
    timeout = table.get("timeout", DEFAULT_TIMEOUT_S)
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or timeout <= 0:
        raise JobsError(f"{where}: key 'timeout' takes a number of seconds")
    memory = table.get("memory_mib", DEFAULT_MEMORY_MIB)
    if isinstance(memory, bool) or not isinstance(memory, int) or memory < LEAST_MEMORY_MIB:
        raise JobsError(f"{where}: key 'memory_mib' takes a number of MiB, {LEAST_MEMORY_MIB} "
                        "or more (QEMU alone reserves 1.7 GiB of address space)")
    return Job(name, kind, kernel, target, programs, tuple(files), tuple(fabric),
               float(timeout), memory, json.dumps(table, sort_keys=True), tuple(inputs))


# --- what a result depends on ---------------------------------------------------
def _file_hash(path: str) -> str:
    digest = sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            digest.update(chunk)
    return digest.hexdigest()


def _contents(path: str, base: str) -> dict[str, str]:
    """The hash of each file of PATH (a file, or a folder's files), by its
    path relative to BASE."""
    if os.path.isfile(path):
        return {os.path.relpath(path, base): _file_hash(path)}
    found = {}
    for folder, dirs, names in os.walk(path):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")  # Python's, not the job's
        for name in sorted(names):
            full = os.path.join(folder, name)
            if os.path.isfile(full):
                found[os.path.relpath(full, base)] = _file_hash(full)
    return found


def identity(kernel: str, build_dir: str, do_build: bool) -> str:
    """What of the project a job's result depends on: the QEMU, the image of
    KERNEL, and the package and guest suites that run the job."""
    image = build.image(kernel, build_dir, do_build)
    own = _contents(os.path.join(build.VBOARD, "boardio"), build.VBOARD)
    own.update(_contents(os.path.join(build.VBOARD, "guest", "tests"), build.VBOARD))
    parts = [f"{path} {digest}" for path, digest in sorted(own.items())
             if path.endswith((".py", ".sh")) and path not in BATCH_CODE]
    return "\n".join([f"qemu {image.qemu_id}", f"image {image.id}", *parts])


def input_hash(job: Job, project: str, base: str) -> tuple[str, dict[str, str]]:
    """The job's input hash, and the hash of each of its input files."""
    inputs: dict[str, str] = {}
    for path in job.inputs:
        inputs.update(_contents(path, base))
    text = "\n".join([job.definition, project,
                      *(f"{path} {digest}" for path, digest in sorted(inputs.items()))])
    return sha256(text.encode()).hexdigest(), inputs


# --- results -------------------------------------------------------------------
@dataclass
class Check:
    name: str
    status: str  # passed, failed, skipped
    message: str
    detail: str  # what it printed and logged


@dataclass
class Record:
    """A job's result in its folder: this batch's, or an earlier batch's
    that this one kept."""
    job: Job
    status: str  # passed, failed, timeout, interrupted, not run
    result: dict[str, Any] = field(default_factory=dict)
    kept: bool = False  # unchanged since an earlier batch
    checks: list[Check] = field(default_factory=list)


def read_result(folder: str) -> Optional[dict[str, Any]]:
    try:
        with open(os.path.join(folder, "result.json")) as f:
            result = json.load(f)
    except (OSError, ValueError):
        return None
    return result if isinstance(result, dict) else None


def read_checks(path: str) -> list[Check]:
    """The test cases of a JUnit XML file, in order."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            root = ElementTree.fromstring(xml_text(f.read()))
    except (OSError, ElementTree.ParseError):
        return []
    checks = []
    for case in root.iter("testcase"):
        status, message, detail = "passed", "", ""
        for kind in ("failure", "error", "skipped"):
            found = case.find(kind)
            if found is not None:
                status = "skipped" if kind == "skipped" else "failed"
                message = found.get("message") or ""
                detail = found.text if found.text and found.text != message else ""
                break
        for stream in ("system-err", "system-out"):
            text = case.findtext(stream)
            if text and status == "failed":
                detail += f"\n--- {stream}\n{text}"
        checks.append(Check(case.get("name") or "?", status, message, detail.strip()))
    return checks


def tail(text: str, lines: int = CONSOLE_TAIL_LINES, chars: int = CONSOLE_TAIL_CHARS) -> str:
    return "\n".join(text.splitlines()[-lines:])[-chars:]


def console_of(folder: str) -> str:
    try:
        with open(os.path.join(folder, "console.txt"), encoding="utf-8",
                  errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def junit_one(job: Job, name: str, seconds: float, failure: Optional[str],
              output: str) -> bytes:
    """A JUnit XML file of one test case: a script's, or a job that left
    no results of its own."""
    outcome = Outcome(name, "passed" if failure is None else "failed", seconds, failure or "",
                      output, "")
    return junit([outcome], f"boardio batch {job.name}", f"batch.{job.name}")


def _write(path: str, data: bytes) -> None:
    """Written whole or not at all: result.json is a job's last file, so a
    result cut short by anything is no result."""
    with open(path + ".part", "wb") as f:
        f.write(data)
    os.replace(path + ".part", path)


# --- running -------------------------------------------------------------------
class JobProcess(Process):
    """A job's process; its processor time and peak memory, its reaped
    descendants' (QEMU's) included, are taken as it is reaped."""

    cpu_seconds = 0.0
    max_rss_mib = 0.0

    def poll(self) -> Optional[int]:
        if self.returncode is None:
            pid, status, usage = os.wait4(self.pid, os.WNOHANG)
            if pid:
                self.cpu_seconds = usage.ru_utime + usage.ru_stime
                self.max_rss_mib = usage.ru_maxrss / 1024
                self._reaped(status)
        return self.returncode


class ContainerJob(container.ContainerProcess, JobProcess):
    """A job's `podman run`: stopped, its container goes too."""


class Isolation(NamedTuple):
    """Jobs in containers of IMAGE (--image)."""
    image: str
    podman: container.Podman
    cpus: float  # each job's share of the processors

    def command(self, job: Job, folder: str, base: str, name: str) -> list[str]:
        """The job's command line in a container named NAME."""
        argv = command(job, folder, base, container.BUILD, container.ROOT)
        env = [f"PYTHONPATH={container.VBOARD}"] if job.kind == "pytest" else []
        options = container.job_options(name, inputs=job.inputs, output=folder, workdir=base,
                                        memory_mib=job.memory_mib, cpus=self.cpus, env=env)
        return self.podman.run(options, self.image,
                               ["/usr/bin/prlimit", f"--as={job.memory_mib << 20}", "--", *argv])


@dataclass
class Running:
    job: Job
    folder: str
    process: JobProcess
    argv: list[str]
    started_at: float  # wall clock
    began: float  # monotonic
    input_hash: str
    inputs: dict[str, str]


def command(job: Job, folder: str, base: str, build_dir: str,
            root: str = build.ROOT) -> list[str]:
    """The job's program and arguments, of the project in ROOT; it runs in
    BASE, the jobs file's folder."""
    if job.kind == "script":
        argv = [os.path.join(root, "vboard", "run"), "--no-build", "--build", build_dir,
                "--kernel", job.kernel, "--guest-errors", os.path.join(folder, "guest-errors.log"),
                # The batch's own limit is the job's: the run's is no sooner.
                "--timeout", f"{job.timeout + 60:g}"]
        for entry in job.files:
            argv += ["--file", entry]
        for design in job.fabric:
            argv += ["--fabric", design]
        return argv + ["--script", job.target]
    if job.kind == "pytest":
        argv = [build.PYTHON, "-m", "pytest", "-p", "no:cacheprovider",
                "-p", "boardio.pytest_plugin", "--rootdir", base, "--board-kernel", job.kernel,
                "--board-build", build_dir, "--junitxml", os.path.join(folder, "junit.xml")]
        for entry in job.files:
            argv += ["--board-file", entry]
        for design in job.fabric:
            argv += ["--board-fabric", design]
        return argv + [job.target]
    argv = [os.path.join(root, "scripts", "boardio"), "check", "--modules", job.target,
            "--kernel", job.kernel, "--build", build_dir,
            "--junit", os.path.join(folder, "junit.xml")]
    return argv + (["--programs", job.programs] if job.programs else [])


class Batch:
    """The jobs of a batch, run N at a time: a context manager that stops
    every job still running (its process group: SIGTERM, SIGKILL after
    STOP_GRACE_S), whatever ends it, and records it as cut short."""

    writes_page = True  # index.html after each job (not a Slurm task's)

    def __init__(self, jobs: Sequence[Job], records: dict[str, Record], out: str, base: str,
                 build_dir: str, parallel: int, show: "Display",
                 isolation: Optional[Isolation] = None) -> None:
        self.jobs = list(jobs)
        self.records = records  # each job's, as it ends (and those kept)
        self.out = out
        self.base = base
        self.build_dir = build_dir
        self.parallel = parallel
        self.show = show
        self.isolation = isolation
        self.running: list[Running] = []  # owns the jobs' processes
        self.tmp = ""
        self.cut_by = ""  # the signal that cut the batch short

    def __enter__(self) -> "Batch":
        with signals_held():
            self.tmp = tempfile.mkdtemp(prefix="boardio-batch.")
        return self

    def __exit__(self, kind: Optional[type[BaseException]], value: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()

    def close(self) -> None:
        """Every job still running stopped and recorded as cut short; the
        batch's temporary folder gone."""
        with signals_held():
            stop_all([r.process for r in self.running])
            for running in list(self.running):
                self._finish(running, cut=True)
            if self.tmp:
                shutil.rmtree(self.tmp, ignore_errors=True)
                self.tmp = ""

    def run(self, pending: list[tuple[Job, str, dict[str, str]]]) -> None:
        """Runs PENDING (each job with its input hash and inputs) to the end."""
        pending = list(pending)
        while pending or self.running:
            while pending and len(self.running) < self.parallel:
                self._start(*pending.pop(0))
            self.show.progress(self)
            first_end = min(r.began + r.job.timeout for r in self.running)
            wait_for([r.process.pidfd for r in self.running if r.process.pidfd >= 0],
                     max(0.0, min(first_end - time.monotonic(), self.show.tick)))
            for running in list(self.running):
                timed_out = (running.process.poll() is None
                             and time.monotonic() >= running.began + running.job.timeout)
                if timed_out:
                    stop_all([running.process])
                if running.process.poll() is not None:
                    self._finish(running, timed_out=timed_out)

    def _start(self, job: Job, digest: str, inputs: dict[str, str]) -> None:
        folder = os.path.join(self.out, job.name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        # A TMPDIR of its own: what a job that was killed leaves goes with
        # the batch's; short, as a run's sockets live there.
        tmp = os.path.join(self.tmp, str(self.jobs.index(job)))
        os.mkdir(tmp)
        env = dict(os.environ, TMPDIR=tmp)
        if job.kind == "pytest":
            env["PYTHONPATH"] = os.pathsep.join(
                [build.VBOARD] + [p for p in [os.environ.get("PYTHONPATH")] if p])
        argv = command(job, folder, self.base, self.build_dir)
        full = ["/usr/bin/prlimit", f"--as={job.memory_mib << 20}", "--",
                "/usr/bin/env", f"--chdir={self.base}", "--", *argv]
        name = f"boardio-batch-{os.getpid()}-{self.jobs.index(job)}-{os.urandom(3).hex()}"
        if self.isolation:
            full = argv = self.isolation.command(job, folder, self.base, name)
        console = os.open(os.path.join(folder, "console.txt"),
                          os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
        null = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)
        try:
            with signals_held():
                if self.isolation:
                    process: JobProcess = ContainerJob(full, name=name, stdin=null,
                                                       stdout=console, stderr=console, env=env)
                else:
                    process = JobProcess(full, stdin=null, stdout=console, stderr=console, env=env)
                self.running.append(Running(job, folder, process, argv, time.time(),
                                            time.monotonic(), digest, inputs))
        finally:
            os.close(console)
            os.close(null)
        self.show.started(job)

    def _finish(self, running: Running, timed_out: bool = False, cut: bool = False) -> None:
        """The job's results written, result.json last."""
        job, folder, process = running.job, running.folder, running.process
        self.running.remove(running)
        seconds = time.monotonic() - running.began
        status_code = process.returncode
        if cut:
            status = "interrupted"
            failure: Optional[str] = (f"cut short by {self.cut_by or 'the batch'} "
                                      f"after {seconds:.1f} s")
        elif timed_out:
            status, failure = "timeout", f"timed out after {job.timeout:g} s (stopped)"
        elif status_code == 0:
            status, failure = "passed", None
        else:
            status, failure = "failed", _why(job, status_code)
        output = console_of(folder)
        junit = os.path.join(folder, "junit.xml")
        if job.kind == "script":
            # One column of the page for every script job.
            _write(junit, junit_one(job, "script", seconds, failure, output))
        elif failure and not (status == "failed" and read_checks(junit)):
            # No results of its own, or cut short: one case that says why.
            _write(junit, junit_one(job, job.name, seconds, failure, tail(output)))
        result = {
            "name": job.name, "kind": job.kind, "kernel": job.kernel, "status": status,
            "exit_status": status_code, "why": failure or "",
            "started_at": running.started_at, "ended_at": time.time(),
            "seconds": round(seconds, 3), "cpu_seconds": round(process.cpu_seconds, 3),
            "max_rss_mib": round(process.max_rss_mib, 1), "timeout": job.timeout,
            "memory_mib": job.memory_mib, "command": running.argv,
            "input_hash": running.input_hash, "inputs": running.inputs}
        _write(os.path.join(folder, "result.json"),
               (json.dumps(result, indent=1) + "\n").encode())
        record = Record(job, status, result, checks=read_checks(junit))
        self.records[job.name] = record
        self.show.finished(record)
        if self.writes_page:
            write_page(self.out, self.jobs, self.records)


def stop_all(processes: Sequence[Process]) -> None:
    """Stops PROCESSES together: SIGTERM to each one's group at once (a job
    then stops its boards), SIGKILL to what is left after STOP_GRACE_S."""
    with signals_held():
        for process in processes:
            process.signal(signal.SIGTERM)
        end = time.monotonic() + STOP_GRACE_S
        for process in processes:
            process.wait(max(0.0, end - time.monotonic()))
            process.stop(grace=0)


def _why(job: Job, status: int | None) -> str:
    if status is None:
        return "no exit status"
    if status < 0:
        return f"ended by signal {-status}"
    if job.kind == "script" and status == 125:
        return "exit status 125: the guest gave no status (it crashed, hung or never started)"
    if job.kind == "pytest" and status == 5:
        return "exit status 5: pytest found no tests"
    return f"exit status {status}"


# --- the terminal --------------------------------------------------------------
class Display:
    """The batch on the terminal: a line per job as it ends and, on a
    terminal, one line of progress rewritten in place."""

    def __init__(self, total: int, stream: TextIO = sys.stdout) -> None:
        self.stream = stream
        self.live = self.stream.isatty()
        self.tick = 1.0 if self.live else 3600.0
        self.total = total
        self.done = 0
        self.failed = 0
        self.start = time.monotonic()
        self.shown = False

    def say(self, text: str) -> None:
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.shown = False
        self.stream.write(text + "\n")
        self.stream.flush()

    def started(self, job: Job) -> None:
        if not self.live:
            self.say(f"started {job.name}")

    def finished(self, record: Record) -> None:
        self.done += 1
        self.failed += record.status != "passed"
        self.say(_record_line(record))

    def progress(self, batch: Batch) -> None:
        if not self.live:
            return
        took = int(time.monotonic() - self.start)
        names = " ".join(r.job.name for r in batch.running)
        filled = PROGRESS_BAR * self.done // max(self.total, 1)
        bar = "#" * filled + "." * (PROGRESS_BAR - filled)
        text = (f"[{bar}] {self.done}/{self.total}, {len(batch.running)} running, "
                f"{self.failed} not passed, {took // 60}:{took % 60:02d}  {names}")
        width = shutil.get_terminal_size().columns - 1
        self.stream.write("\r" + text[:width] + "\x1b[K")
        self.stream.flush()
        self.shown = True


def _record_line(record: Record) -> str:
    r = record.result
    failed = sum(c.status == "failed" for c in record.checks)
    counts = (f"checks: {len(record.checks)}" + (f", {failed} failed" if failed else "")
              if record.checks else "")
    took = f"{r['seconds']:7.1f} s" if "seconds" in r else " " * 9
    why = f"  {r['why']}" if record.status != "passed" and r.get("why") else ""
    kept = " (unchanged)" if record.kept else ""
    return (f"{record.status:11} {record.job.name:24} {record.job.kind:6} {record.job.kernel:5}"
            f"{took}  {counts}{kept}{why}")


def summary(jobs: Sequence[Job], records: dict[str, Record], seconds: float,
            out: str, cut_by: str) -> str:
    """The batch's end: the jobs that did not pass, and the counts."""
    lines = [f"boardio batch: {len(jobs)} jobs in {seconds:.1f} s"]
    counts: dict[str, int] = {}
    for job in jobs:
        record = records.get(job.name) or Record(job, "not run", {"why": f"cut short by {cut_by}"})
        if record.status != "passed":
            lines.append("  " + _record_line(record))
        counts[record.status] = counts.get(record.status, 0) + 1
    kept = sum(r.kept for r in records.values())
    lines.append(", ".join(f"{n} {s}" for s, n in counts.items())
                 + (f" ({kept} unchanged since an earlier batch, not run again)" if kept else "")
                 + (f"; cut short by {cut_by}" if cut_by else "")
                 + f"; the page: {os.path.join(out, 'index.html')}")
    return "\n".join(lines)


# --- the page ------------------------------------------------------------------
PAGE_STYLE = """
body { font-family: sans-serif; margin: 1.5em; }
table { border-collapse: collapse; }
th, td { border: 1px solid #ccc; padding: 0.25em 0.5em; vertical-align: top; text-align: left; }
th.check { font-weight: normal; font-size: 85%; max-width: 8em; }
td.passed { background: #dfd; } td.failed, td.timeout { background: #fdd; }
td.interrupted, td.not-run { background: #eee; } td.skipped { color: #777; }
details[open] pre { min-width: 30em; }
pre { max-width: 70em; max-height: 30em; overflow: auto; font-size: 85%; white-space: pre-wrap; }
"""
MARKS = {"passed": "\u2713", "failed": "\u2717", "skipped": "\u2013"}


def _details(summary_text: str, body: str) -> str:
    if not body.strip():
        return html.escape(summary_text)
    return (f"<details><summary>{html.escape(summary_text)}</summary>"
            f"<pre>{html.escape(body)}</pre></details>")


def report(out: str, jobs: Sequence[Job], records: dict[str, Record], seconds: float,
           show: Display, cut_by: str = "") -> int:
    """The batch's page and its summary on the terminal (CUT_BY: the signal
    that cut it short); its exit status, 0 when every job passed, else 1."""
    write_page(out, jobs, records)
    show.say(summary(jobs, records, seconds, out, cut_by))
    return 0 if all(r.status == "passed" for r in records.values()) else 1


def write_page(out: str, jobs: Sequence[Job], records: dict[str, Record]) -> None:
    """DIR/index.html: a row per job, a cell per check (a column for each
    check name the jobs' JUnit results hold); a failure's output and the
    job's console tail one click away."""
    columns = list(dict.fromkeys(check.name for job in jobs if job.name in records
                                 for check in records[job.name].checks))
    counts: dict[str, int] = {}
    rows = []
    for job in jobs:
        record = records.get(job.name) or Record(job, "not run")
        r = record.result
        counts[record.status] = counts.get(record.status, 0) + 1
        state = record.status + (" (unchanged)" if record.kept else "")
        if record.status in ("passed", "not run"):
            state_cell = html.escape(state)
        else:
            state_cell = _details(state, f"{r.get('why', '')}\n\nconsole.txt ends with:\n"
                                  + tail(console_of(os.path.join(out, job.name))))
        name = html.escape(job.name)
        cells = [("", f'<a href="{name}/">{name}</a>'), ("", html.escape(job.kernel)),
                 ("", html.escape(job.kind)), (record.status, state_cell),
                 ("", f"{r['seconds']:.1f}&nbsp;s" if "seconds" in r else "")]
        by_name = {c.name: c for c in record.checks}
        for column in columns:
            check = by_name.get(column)
            if check is None:
                cells.append(("", ""))
            elif check.status == "failed":
                cells.append(("failed", _details(MARKS["failed"],
                                                 check.message + "\n" + tail(check.detail))))
            else:
                cells.append((check.status, f'<span title="{html.escape(check.message)}">'
                              f"{MARKS[check.status]}</span>"))
        rows.append("<tr>" + "".join(
            f'<td class="{kind.replace(" ", "-")}">{cell}</td>' if kind else f"<td>{cell}</td>"
            for kind, cell in cells) + "</tr>")
    head = "".join(f"<th>{h}</th>" for h in ("job", "kernel", "kind", "status", "time"))
    # Long check names wrap at their dots.
    head += "".join(f'<th class="check">{html.escape(c).replace(".", ".<wbr>")}</th>'
                    for c in columns)
    said = ", ".join(f"{n} {html.escape(s)}" for s, n in counts.items())
    page = ('<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            f"<title>boardio batch</title><style>{PAGE_STYLE}</style></head><body>\n"
            f"<h1>boardio batch</h1>\n<p>{len(jobs)} jobs: {said}. Written "
            f"{html.escape(time.strftime('%Y-%m-%d %H:%M:%S'))}; each job's files are in "
            "its folder (console.txt, junit.xml, result.json).</p>\n"
            f"<table><thead><tr>{head}</tr></thead><tbody>\n" + "\n".join(rows)
            + "\n</tbody></table></body></html>\n")
    _write(os.path.join(out, "index.html"), page.encode())


# --- the command ---------------------------------------------------------------
def kept_record(job: Job, folder: str, digest: str, retry_failed: bool) -> Optional[Record]:
    """An earlier batch's result for JOB that stands: complete, of the same
    inputs, and passed (or failed, unless RETRY_FAILED)."""
    result = read_result(folder)
    if (result is None or result.get("input_hash") != digest
            or result.get("status") not in FINISHED
            or not all(os.path.isfile(os.path.join(folder, name))
                       for name in ("console.txt", "junit.xml"))):
        return None
    if retry_failed and result["status"] != "passed":
        return None
    return Record(job, result["status"], result, kept=True,
                  checks=read_checks(os.path.join(folder, "junit.xml")))


def main(argv: Sequence[str]) -> int:
    from . import slurm
    parser = argparse.ArgumentParser(prog="boardio batch",
                                     description=str(__doc__).split("\n\n")[0])
    parser.add_argument("jobs_file", metavar="JOBS.toml", help="the jobs (boardio batch --help)")
    parser.add_argument("--out", required=True, metavar="DIR", help="where the results go")
    parser.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1, metavar="N",
                        help="jobs at a time (default: one per processor)")
    parser.add_argument("--retry-failed", action="store_true",
                        help="run failed jobs again whose inputs did not change")
    parser.add_argument("--build", help="the build folder holding the board (default build/)")
    parser.add_argument("--no-build", action="store_true",
                        help="run what is built; build no image first")
    slurm.options(parser)
    parser.add_argument("--image", help="run each job in a container of this OCI image of "
                        "the board's (vboard/oci/build.sh)")
    args = parser.parse_args(argv)
    if args.jobs < 1:
        parser.error("-j takes a number of jobs, 1 or more")
    if args.partition and not args.slurm:
        parser.error("--partition goes with --slurm")
    base = os.path.dirname(os.path.abspath(args.jobs_file))
    try:
        jobs = slurm.task_jobs(load(args.jobs_file), args.task)
        build_dir = build.build_folder(args.build)
        kernels = dict.fromkeys(job.kernel for job in jobs)
        isolation = None
        if args.image:
            # The image is the board, its QEMU, images and suites.
            image = container.image_id(args.image)
            projects = {kernel: f"image {image}" for kernel in kernels}
            isolation = Isolation(image, container.podman(image),
                                  max(1.0, (os.cpu_count() or 1) / args.jobs))
        else:
            projects = {kernel: identity(kernel, build_dir, not args.no_build)
                        for kernel in kernels}
        hashes = [input_hash(job, projects[job.kernel], base) for job in jobs]
    except UsageError as e:
        warn("boardio batch", str(e))
        return 2
    except OSError as e:
        warn("boardio batch", f"cannot read '{e.filename}': {e.strerror}")
        return 2
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    if args.task is not None:
        return slurm.run_task(jobs[0], *hashes[0], out, base, build_dir, isolation)
    try:
        user = pwd.getpwuid(os.getuid()).pw_name
    except KeyError:
        user = f"user {os.getuid()}"
    if isolation:
        warn("boardio batch", f"the jobs are isolated: each runs in a container of "
             f"{args.image} of its own, without network, its root read-only, with only its "
             f"inputs (read-only) and its folder in {out} of this machine's files, "
             f"and processors: {isolation.cpus:g}")
    else:
        warn("boardio batch", f"the jobs are not isolated: no container is used, so each runs "
             f"as {user}, with this machine's network and files; run only jobs you trust")
    show = Display(len(jobs))
    pending = []
    records: dict[str, Record] = {}
    for job, (digest, inputs) in zip(jobs, hashes):
        record = kept_record(job, os.path.join(out, job.name), digest, args.retry_failed)
        if record:
            records[job.name] = record
            show.finished(record)
        else:
            pending.append((job, digest, inputs))
    if args.slurm:
        return slurm.run_array(jobs, records, [job for job, _, _ in pending], out, argv,
                               args.partition, show)
    start = time.monotonic()
    with Batch(jobs, records, out, base, build_dir, args.jobs, show, isolation) as batch:
        try:
            batch.run(pending)
        except Stopped as e:
            batch.cut_by = SIGNAL_NAMES.get(e.signum, f"signal {e.signum}")
            # What is running is stopped and recorded, the page and the
            # summary written, before a second signal is taken.
            with signals_held():
                batch.close()
                report(out, jobs, records, time.monotonic() - start, show, batch.cut_by)
            return e.exit_status
    return report(out, jobs, records, time.monotonic() - start, show)
