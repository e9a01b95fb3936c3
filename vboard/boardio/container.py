# SPDX-License-Identifier: GPL-2.0-or-later
"""Containers of the board's OCI image (vboard/oci/build.sh), through
podman: what this machine's podman needs to start one, found out here and
nowhere else, and the command line of a batch's job isolated in one.

What a machine's podman may need, found by trying:
- an OCI runtime other than its default: crun refuses a host whose cgroups
  are in hybrid mode, runc takes it (`runtime`);
- limits of open files and processes no higher than the caller's own:
  podman raises a container's to defaults of its own, which a process
  without CAP_SYS_RESOURCE may not; podman also lowers its own limit of
  processes to the kernel's pid_max (`ulimits`)."""
from __future__ import annotations

import os
import resource
import subprocess
from typing import Any, NamedTuple, Optional, Sequence

from .options import UsageError
from .process import STOP_GRACE_S, Process, signals_held

PODMAN = "podman"
# Where the image holds the project (vboard/oci/build.sh).
ROOT = "/opt/boardio"
BUILD = ROOT + "/build"
VBOARD = ROOT + "/vboard"
PROBE_TIMEOUT_S = 120.0


class Unavailable(UsageError):
    """Podman cannot run the image here; the message says why."""


def ulimits() -> list[str]:
    """--ulimit options for open files and processes: this process's hard
    limits (processes: at most the kernel's pid_max)."""
    options = []
    for name, which in (("nofile", resource.RLIMIT_NOFILE), ("nproc", resource.RLIMIT_NPROC)):
        hard = resource.getrlimit(which)[1]
        if which == resource.RLIMIT_NPROC:
            try:
                with open("/proc/sys/kernel/pid_max") as f:
                    pid_max = int(f.read())
                hard = pid_max if hard == resource.RLIM_INFINITY else min(hard, pid_max)
            except (OSError, ValueError):
                pass
        value = "-1" if hard == resource.RLIM_INFINITY else str(hard)
        options += ["--ulimit", f"{name}={value}:{value}"]
    return options


def _podman(argv: Sequence[str]) -> subprocess.CompletedProcess[str]:
    try:
        return subprocess.run([PODMAN, *argv], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, timeout=PROBE_TIMEOUT_S)
    except FileNotFoundError:
        raise Unavailable("podman is not installed (scripts/setup-host.sh installs it)") from None
    except subprocess.TimeoutExpired:
        raise Unavailable(f"podman {argv[0]} did not end within {PROBE_TIMEOUT_S:g} s") from None


def image_id(image: str) -> str:
    """IMAGE's id; Unavailable when podman cannot run here or has no such
    image."""
    done = _podman(["image", "inspect", "--format", "{{.Id}}", image])
    if done.returncode != 0:
        said = done.stderr.strip().splitlines()
        raise Unavailable(f"podman has no image '{image}' here ({said[-1] if said else ''}); "
                          "vboard/oci/build.sh builds it")
    return done.stdout.strip()


class Podman(NamedTuple):
    """podman's command with what this machine needs before `run`'s
    arguments (the runtime) and after them (the limits)."""
    global_options: tuple[str, ...]
    run_options: tuple[str, ...]

    def run(self, options: Sequence[str], image: str, argv: Sequence[str]) -> list[str]:
        return [PODMAN, *self.global_options, "run", *self.run_options, *options, image, *argv]


def podman(image: str) -> Podman:
    """What starts a container of IMAGE here: podman's default runtime, else
    runc, else crun, the first that starts one (each tried with a container
    that does nothing, then removed). Unavailable, with each refusal, when
    none does."""
    refusals = []
    for runtime in ((), ("--runtime", "runc"), ("--runtime", "crun")):
        chosen = Podman(runtime, tuple(ulimits()))
        name = f"boardio-probe-{os.getpid()}-{os.urandom(3).hex()}"
        argv = chosen.run(["--rm", "--name", name, "--network=none"], image, ["true"])
        read, write = os.pipe2(os.O_CLOEXEC)
        try:
            with ContainerProcess(argv, name=name, stdin=_null(), stdout=write,
                                  stderr=write) as probe:
                os.close(write)
                write = -1
                status = probe.wait(PROBE_TIMEOUT_S)
            said = os.read(read, 65536).decode(errors="replace").strip().splitlines()
        finally:
            os.close(read)
            if write >= 0:
                os.close(write)
        if status == 0:
            return chosen
        refusals.append(f"{' '.join(runtime) or 'its default runtime'}: "
                        f"{said[-1] if said else f'status {status}'}")
    raise Unavailable("podman could not start a container here (" + "; ".join(refusals) + ")")


class ContainerProcess(Process):
    """A `podman run` client whose container is named NAME: stopping it also
    kills and removes the container, which outlives a client that was
    killed."""

    def __init__(self, argv: Sequence[str], *, name: str, **more: Any) -> None:
        self.container = name
        super().__init__(argv, **more)

    def stop(self, grace: float = STOP_GRACE_S) -> int:
        with signals_held():
            status = super().stop(grace)
            if self.container:
                remove = Process([PODMAN, "rm", "--force", "--time", "0", "--ignore",
                                  self.container], stdin=_null(), stdout=_null(),
                                 stderr=_null())
                if remove.wait(PROBE_TIMEOUT_S) is None:
                    remove.stop()
                self.container = ""
            return status


def _null() -> int:
    """/dev/null, opened once (close-on-exec: children get it as dup'ed)."""
    global _NULL
    if _NULL < 0:
        _NULL = os.open(os.devnull, os.O_RDWR | os.O_CLOEXEC)
    return _NULL


_NULL = -1


def job_options(name: str, *, inputs: Sequence[str], output: str, workdir: str,
                memory_mib: int, cpus: float, env: Sequence[str] = ()) -> list[str]:
    """`podman run` options of a batch's job: no network, a read-only root
    with a /tmp of its own, at most MEMORY_MIB of memory (no swap) and CPUS
    processors, no capabilities; its INPUTS read-only and its OUTPUT folder
    writable, each at its own path, and nothing else of the host's."""
    options = ["--rm", "--name", name, "--network=none", "--read-only",
               "--tmpfs", "/tmp:rw,nosuid,nodev,mode=1777",
               f"--memory={memory_mib}m", f"--memory-swap={memory_mib}m", f"--cpus={cpus:g}",
               "--cap-drop=all", "--security-opt=no-new-privileges", f"--workdir={workdir}"]
    for path, mode in [*((p, "ro") for p in inputs), (output, "rw")]:
        if ":" in path or "," in path:
            raise UsageError(f"'{path}' cannot be mounted into a container (a ':' or ',' "
                             "in its path)")
        options += ["--volume", f"{path}:{path}:{mode}"]
    for variable in env:
        options += ["--env", variable]
    return options
