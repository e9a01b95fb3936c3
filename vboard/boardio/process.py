# SPDX-License-Identifier: GPL-2.0-or-later
"""The processes a board runs on the host, and the signals that end them.

Every child is started in a process group of its own, with a parent-death
signal, and is stopped through one path (`Process.stop`), whatever ends its
owner: an exception, the context manager's exit, or SIGTERM, SIGINT or SIGHUP,
which `signals_stop` turns into a `Stopped` exception raised in the main thread
at once. No signal is lost: every wait in this package polls the interpreter's
wake-up fd (`wait_for`), so a signal that comes just before a wait begins ends
that wait too.
"""
from __future__ import annotations

import errno
import os
import select
import sys
import time

# typing and types only for the checker: a restored run is over in a tenth
# of a second, and every module imported costs it. For the same reason the
# signals come from _signal, the C module that signal wraps in enums (whose
# import costs a run milliseconds); the checker reads signal's types.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import signal
    from types import FrameType, TracebackType
    from typing import Mapping, Optional, Sequence, Type
else:
    import _signal as signal

# The signals that end a run; the exit status is 128 plus the signal's number.
STOP_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
SIGNAL_NAMES: dict[int, str] = {signal.SIGTERM: "SIGTERM", signal.SIGINT: "SIGINT",
                                signal.SIGHUP: "SIGHUP"}
SETPRIV = "/usr/bin/setpriv"
STOP_GRACE_S = 5.0


class Stopped(KeyboardInterrupt):
    """A signal asked the owner of the boards to end: an interruption, which
    a test's `except Exception` does not swallow, and which a test runner
    takes as one (pytest ends the session); `exit_status` is the status a
    program ended by that signal gives."""

    def __init__(self, signum: int) -> None:
        super().__init__(f"stopped by {SIGNAL_NAMES.get(signum, f'signal {signum}')}")
        self.signum = signum

    @property
    def exit_status(self) -> int:
        return 128 + self.signum


def _raise_stopped(signum: int, _frame: Optional[FrameType]) -> None:
    raise Stopped(signum)


class _Guard:
    """The handlers of STOP_SIGNALS and the wake-up fd, installed while at
    least one user holds them (and only from the main thread, which alone
    receives Python's signal handlers)."""

    def __init__(self) -> None:
        self.users = 0
        self.saved: dict[int, object] = {}
        self.saved_fd = -1
        self.read_fd = -1
        self.write_fd = -1

    def enter(self) -> bool:
        """Whether this holds them: only the main thread can."""
        if self.users:
            try:
                # Python sets signals up from its main thread alone.
                signal.set_wakeup_fd(self.write_fd, warn_on_full_buffer=False)
            except ValueError:
                return False
            self.users += 1
            return True
        read_fd, write_fd = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        try:
            self.saved_fd = signal.set_wakeup_fd(write_fd, warn_on_full_buffer=False)
        except ValueError:
            os.close(read_fd)
            os.close(write_fd)
            return False
        self.users = 1
        self.read_fd, self.write_fd = read_fd, write_fd
        for signum in STOP_SIGNALS:
            handler = signal.getsignal(signum)
            # A caller's own handler stays; an ignored SIGHUP (nohup) stays
            # ignored.
            if handler in (signal.SIG_DFL, signal.default_int_handler):
                self.saved[signum] = handler
                signal.signal(signum, _raise_stopped)
        return True

    def exit(self) -> None:
        """Ends a hold that `enter` took."""
        self.users -= 1
        if self.users:
            return
        for signum, handler in self.saved.items():
            signal.signal(signum, handler)  # type: ignore[arg-type]
        self.saved.clear()
        signal.set_wakeup_fd(self.saved_fd)
        os.close(self.read_fd)
        os.close(self.write_fd)
        self.read_fd = self.write_fd = -1

    def drain(self) -> None:
        if self.read_fd >= 0:
            try:
                while os.read(self.read_fd, 512):
                    pass
            except BlockingIOError:
                pass


_guard = _Guard()


class signals_stop:
    """While held: SIGTERM, SIGINT and SIGHUP raise `Stopped` in the main
    thread, and waits wake for them. Nested holds share one set-up."""

    def __enter__(self) -> "signals_stop":
        self.held = _guard.enter()
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        if self.held:
            self.held = False
            _guard.exit()


class signals_held:
    """While held, STOP_SIGNALS wait (blocked) and are taken once it ends: for
    a cleanup that must not be cut short, and for a start whose process must
    be owned before a signal can end the run."""

    def __enter__(self) -> "signals_held":
        self.old = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        signal.pthread_sigmask(signal.SIG_SETMASK, self.old)


def wait_for(fds: Sequence[int], timeout: Optional[float]) -> list[int]:
    """The fds of FDS ready to read (or closed) within TIMEOUT seconds (None:
    no limit); an empty list when the time ran out. A stop signal raises
    `Stopped` here, also one that came just before the wait."""
    poller = select.poll()
    for fd in fds:
        poller.register(fd, select.POLLIN)
    if _guard.read_fd >= 0:
        poller.register(_guard.read_fd, select.POLLIN)
    ms = None if timeout is None else max(0, int(timeout * 1000 + 0.999))
    ready = poller.poll(ms)
    # The handler ran (or runs at the next instruction) for what woke us.
    _guard.drain()
    return [fd for fd, _ in ready if fd != _guard.read_fd]


def sleep(seconds: float) -> None:
    """time.sleep, woken by a stop signal."""
    end = time.monotonic() + seconds
    while (left := end - time.monotonic()) > 0:
        wait_for([], left)


class Process:
    """A child process: in its own process group, sent SIGKILL if this
    process's thread that started it dies (setpriv's parent-death signal),
    reaped through its pidfd. `stop` ends it: SIGTERM to its group, SIGKILL
    after STOP_GRACE_S."""

    def __init__(self, argv: Sequence[str], *, stdin: int, stdout: int, stderr: int,
                 pass_fds: Optional[Mapping[int, int]] = None,
                 env: Optional[Mapping[str, str]] = None,
                 own_group: bool = True, into: Optional[list["Process"]] = None) -> None:
        actions: list[tuple[int, int, int]] = [
            (os.POSIX_SPAWN_DUP2, stdin, 0),
            (os.POSIX_SPAWN_DUP2, stdout, 1),
            (os.POSIX_SPAWN_DUP2, stderr, 2),
        ]
        actions += [(os.POSIX_SPAWN_DUP2, fd, target)
                    for target, fd in (pass_fds or {}).items()]
        full = [SETPRIV, "--pdeathsig", "KILL", "--", *argv]
        self.argv = list(argv)
        self.returncode: Optional[int] = None
        # Owned before any stop signal can be taken: one that comes now waits
        # for the pid to be recorded, and the child starts with none blocked.
        with signals_held():
            environment = dict(os.environ if env is None else env)
            default = STOP_SIGNALS + (signal.SIGPIPE,)
            if own_group:
                self.pid = os.posix_spawn(SETPRIV, full, environment, file_actions=actions,
                                          setsigmask=(), setsigdef=default, setpgroup=0)
            else:
                self.pid = os.posix_spawn(SETPRIV, full, environment, file_actions=actions,
                                          setsigmask=(), setsigdef=default)
            self.pidfd = os.pidfd_open(self.pid)
            self.own_group = own_group
            # Its owner's, before a signal can end the owner.
            if into is not None:
                into.append(self)

    def poll(self) -> Optional[int]:
        """The exit status once it ended (reaped), else None."""
        if self.returncode is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self._reaped(status)
        return self.returncode

    def _reaped(self, status: int) -> None:
        self.returncode = os.waitstatus_to_exitcode(status)
        os.close(self.pidfd)
        self.pidfd = -1

    def wait(self, timeout: Optional[float] = None) -> Optional[int]:
        """Its exit status once it ends within TIMEOUT seconds, else None."""
        end = None if timeout is None else time.monotonic() + timeout
        while self.poll() is None:
            left = None if end is None else end - time.monotonic()
            if left is not None and left <= 0:
                return None
            wait_for([self.pidfd], left)
        return self.returncode

    def signal(self, signum: int) -> None:
        if self.returncode is not None:
            return
        try:
            if self.own_group:
                os.killpg(self.pid, signum)
            else:
                os.kill(self.pid, signum)
        except ProcessLookupError:
            pass

    def stop(self, grace: float = STOP_GRACE_S) -> int:
        """Ends it and reaps it; its exit status. Signals wait meanwhile."""
        with signals_held():
            if self.poll() is None:
                self.signal(signal.SIGTERM)
                if not self._wait_held(grace):
                    self.signal(signal.SIGKILL)
                    self._wait_held(None)
            assert self.returncode is not None
            return self.returncode

    def _wait_held(self, timeout: Optional[float]) -> bool:
        # Signals are blocked here: a plain poll of the pidfd cannot miss one.
        while self.poll() is None:
            ready = select.select([self.pidfd], [], [], timeout)[0]
            if not ready and timeout is not None:
                return self.poll() is not None
        return True

    def __enter__(self) -> "Process":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.stop()


def read_available(fd: int, limit: int = 65536) -> Optional[bytes]:
    """What a ready fd holds now; b"" when none; None at its end."""
    try:
        data = os.read(fd, limit)
    except BlockingIOError:
        return b""
    except OSError as e:
        if e.errno == errno.EIO:  # a pseudo-terminal's other side closed
            return None
        raise
    return data if data else None


def warn(prog: str, text: str) -> None:
    sys.stderr.write(f"{prog}: {text}\n")
    sys.stderr.flush()
