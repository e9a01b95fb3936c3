# SPDX-License-Identifier: GPL-2.0-or-later
"""A one-node Slurm cluster of one's own, for trying `boardio batch
--slurm` on one machine and for its test and benchmark:

    python3 -m boardio.slurm_cluster COMMAND [ARG...]

    with Cluster() as cluster:     # cluster.env has SLURM_CONF
        subprocess.run([..., "--slurm"], env=cluster.env)

Everything lives in a temporary folder: a generated munge key, munged on
a socket of its own, slurm.conf (this machine's processors and memory as
slurmd finds them, free ports, state, spool, logs and pid files in the
folder), slurmctld and slurmd in the foreground, owned as processes. The
cluster is up once sinfo shows its node idle. On the way out, however it
comes, the cluster's jobs are cancelled, every daemon is stopped and
reaped, and the folder goes. Where a daemon will not run (not root, say),
ClusterUnavailable says why."""
from __future__ import annotations

import os
import shutil
import signal
import socket
import sys
import tempfile
import time
from types import TracebackType
from typing import Optional

from .process import Process, Stopped, signals_held, signals_stop, sleep, warn
from .slurm import command, first_line

NODE = "localhost"
PARTITION = "boardio"
START_LIMIT_S = 60.0
# A job is sent SIGKILL this long after SIGTERM (slurm.conf's KillWait,
# Slurm's default): time for a task to record itself cut short.
KILL_WAIT_S = 30


class ClusterUnavailable(Exception):
    """The cluster cannot run here; the message says why."""


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class Cluster:
    def __init__(self) -> None:
        self.folder = ""
        self.env: dict[str, str] = {}
        self.daemons: list[tuple[str, Process]] = []  # started, in order
        self.setup_s = 0.0
        self.teardown_s = 0.0

    def path(self, name: str) -> str:
        return os.path.join(self.folder, name)

    def __enter__(self) -> "Cluster":
        start = time.monotonic()
        with signals_held():
            self.folder = tempfile.mkdtemp(prefix="boardio-slurm.")
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        self.setup_s = time.monotonic() - start
        return self

    def __exit__(self, kind: Optional[type[BaseException]], value: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()

    def _daemon(self, name: str, argv: list[str]) -> None:
        if not shutil.which(argv[0]):
            raise ClusterUnavailable(f"{argv[0]}: not installed (scripts/setup-host.sh installs "
                                     "Debian's slurm-wlm and munge)")
        log = os.open(self.path(f"{name}.out"), os.O_WRONLY | os.O_CREAT | os.O_APPEND
                      | os.O_CLOEXEC, 0o600)
        null = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)
        try:
            with signals_held():
                self.daemons.append((name, Process(argv, stdin=null, stdout=log, stderr=log,
                                                   env=self.env)))
        finally:
            os.close(log)
            os.close(null)

    def _check(self) -> None:
        """ClusterUnavailable for a daemon that ended, with what it said."""
        for name, process in self.daemons:
            if process.poll() is not None:
                said = ["(nothing)"]
                for log in (f"{name}.out", f"{name}.log"):
                    try:
                        with open(self.path(log), errors="replace") as f:
                            said += [line for line in f.read().splitlines()
                                     if "error" in line.lower() or "fatal" in line.lower()]
                    except OSError:
                        pass
                raise ClusterUnavailable(f"{name} ended (exit status {process.returncode}): "
                                         f"{said[-1].strip()}")

    def _start(self) -> None:
        # munged wants every folder above its socket searchable, and its key
        # readable by its user alone.
        os.chmod(self.folder, 0o711)
        key = os.open(self.path("munge.key"), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o400)
        with os.fdopen(key, "wb") as f:
            f.write(os.urandom(1024))
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("SLURM")}
        self.env["SLURM_CONF"] = self.path("slurm.conf")
        munge = self.path("munge.socket")
        self._daemon("munged", ["munged", "--foreground", f"--socket={munge}",
                                f"--key-file={self.path('munge.key')}",
                                f"--pid-file={self.path('munged.pid')}",
                                f"--log-file={self.path('munged.log')}",
                                f"--seed-file={self.path('munged.seed')}", "--num-threads=4"])
        # This machine's processors and memory as slurmd will find them: a
        # node configured with more is refused.
        status, said, errors = command(["slurmd", "-C"], env=self.env)
        found = first_line(said).split()
        if status != 0 or not found:
            raise ClusterUnavailable(f"slurmd -C: {first_line(errors) or f'status {status}'}")
        node = " ".join([f"NodeName={NODE}", "NodeAddr=127.0.0.1",
                         *(part for part in found if part.split("=")[0] in (
                             "CPUs", "Boards", "SocketsPerBoard", "CoresPerSocket",
                             "ThreadsPerCore", "RealMemory"))])
        os.mkdir(self.path("state"))
        os.mkdir(self.path("spool"))
        user = os.environ.get("USER") or ""
        try:
            import pwd
            user = pwd.getpwuid(os.getuid()).pw_name
        except KeyError:
            pass
        with open(self.env["SLURM_CONF"], "w") as f:
            f.write("\n".join([
                "ClusterName=boardio", f"SlurmctldHost={NODE}", f"SlurmUser={user}",
                f"SlurmdUser={user}",
                "AuthType=auth/munge", "CredType=cred/munge", f"AuthInfo=socket={munge}",
                f"SlurmctldPort={free_port()}", f"SlurmdPort={free_port()}",
                f"StateSaveLocation={self.path('state')}",
                f"SlurmdSpoolDir={self.path('spool')}",
                f"SlurmctldPidFile={self.path('slurmctld.pid')}",
                f"SlurmdPidFile={self.path('slurmd.pid')}",
                f"SlurmctldLogFile={self.path('slurmctld.log')}",
                f"SlurmdLogFile={self.path('slurmd.log')}",
                # Processes tracked by their group, no cgroups: this
                # machine's are a hybrid of v1 and v2.
                "ProctrackType=proctrack/pgid", "TaskPlugin=task/none",
                "SelectType=select/cons_tres", "SelectTypeParameters=CR_Core",
                "MpiDefault=none", "SwitchType=switch/none",
                "JobAcctGatherType=jobacct_gather/none",
                "AccountingStorageType=accounting_storage/none", "JobCompType=jobcomp/none",
                # A task starts as soon as a processor is free, not up to
                # three seconds later (a default for busy controllers).
                "SchedulerParameters=batch_sched_delay=0",
                "ReturnToService=2", f"KillWait={KILL_WAIT_S}", "MailProg=/bin/true",
                node,
                f"PartitionName={PARTITION} Nodes=ALL Default=YES MaxTime=INFINITE State=UP",
                ""]))
        end = time.monotonic() + START_LIMIT_S
        while not os.path.exists(munge):
            self._wait(end, "munged's socket")
        self._daemon("slurmctld", ["slurmctld", "-D"])
        self._daemon("slurmd", ["slurmd", "-D", "-N", NODE])
        while True:
            status, said, _ = command(["sinfo", "--noheader", "--Node", "--format=%T"],
                                      env=self.env)
            if status == 0 and said.split() == ["idle"]:
                break
            self._wait(end, f"the node idle in sinfo (it says {said.strip() or 'nothing'})")

    def _wait(self, end: float, what: str) -> None:
        self._check()
        if time.monotonic() >= end:
            raise ClusterUnavailable(f"no {what} within {START_LIMIT_S:g} s")
        sleep(0.05)

    def close(self) -> None:
        """The cluster's jobs cancelled, its daemons stopped and reaped (slurmd
        first, munged last), the folder removed."""
        start = time.monotonic()
        with signals_held():
            names = [name for name, process in self.daemons if process.poll() is None]
            if "slurmctld" in names and "slurmd" in names:
                self._cancel_all()
            for _, process in reversed(self.daemons):
                process.stop()
            self.daemons.clear()
            self._end_steps()
            if self.folder:
                shutil.rmtree(self.folder, ignore_errors=True)
                self.folder = ""
        self.teardown_s = time.monotonic() - start

    def steps(self) -> list[int]:
        """The step daemons (slurmstepd) of this cluster that still run:
        each has the cluster's SLURM_CONF from slurmd."""
        if not self.env:
            return []
        mine = f"SLURM_CONF={self.env['SLURM_CONF']}".encode()
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/comm", "rb") as f:
                    if f.read().strip() != b"slurmstepd":
                        continue
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if mine in f.read().split(b"\0"):
                        found.append(int(pid))
            except OSError:
                pass
        return found

    def _end_steps(self) -> None:
        """Step daemons that outlive slurmd (their jobs ended, they are about
        to) given KILL_WAIT_S, then SIGKILL."""
        end = time.monotonic() + KILL_WAIT_S
        while (pids := self.steps()) and time.monotonic() < end:
            time.sleep(0.1)
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def _cancel_all(self) -> None:
        """Every job cancelled, and gone from the queue (its processes ended
        by slurmd's step daemons) within KillWait and some."""
        status, said, _ = command(["squeue", "--noheader", "--format=%A"], env=self.env)
        if status != 0 or not said.split():
            return
        command(["scancel", *said.split()], env=self.env)
        end = time.monotonic() + KILL_WAIT_S + 10
        while time.monotonic() < end:
            status, said, _ = command(["squeue", "--noheader", "--format=%A"], env=self.env)
            if status != 0 or not said.split():
                return
            time.sleep(0.2)


def main(argv: list[str]) -> int:
    """COMMAND [ARG...] run against a cluster of its own (SLURM_CONF set),
    which goes when it ends; its exit status, 77 where no cluster can run."""
    if not argv or argv[0].startswith("-"):
        sys.stderr.write("usage: python3 -m boardio.slurm_cluster COMMAND [ARG...]\n")
        return 2
    with signals_stop():
        try:
            with Cluster() as cluster:
                with Process(argv, stdin=0, stdout=1, stderr=2, env=cluster.env) as process:
                    status = process.wait()
                    assert status is not None
                    return status if status >= 0 else 128 - status
        except ClusterUnavailable as e:
            warn("slurm_cluster", str(e))
            return 77
        except Stopped as e:
            return e.exit_status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
