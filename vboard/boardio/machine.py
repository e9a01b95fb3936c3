# SPDX-License-Identifier: GPL-2.0-or-later
"""One run of the virtual board: the QEMU of the board's machine, started
from a saved machine (made first where there is none, made anew where it is
damaged) or booted cold, with the run's work in its mailbox.

A `Machine` is a context manager: whatever ends it (its end, an exception, a
stop signal) stops every process it started and removes its work folder.

Saved machines: a run does not boot. The first run with a given QEMU, image
and set of options that shape the machine or the guest (mode, --smp,
--icount, --i2c-queue-end, --narrow-access, --panel, --append, the fabric's
designs and options) boots once to where the guest waits for its work,
saves that machine (its RAM as a file, its device state beside it) under
the cache's templates/KEY/, and every run with the same key starts from it:
the guest finds the run's work (its configuration, the script, the --file
files) in the machine's mailbox and sets its wall clock from the board's
real-time clock. Each run maps the saved RAM privately, so nothing it does
reaches the saved machine or another run. A folder of saved machines that
the run cannot write (an image's, read-only) is used as it is; what the run
would write there (a saved machine made anew, its lock, a copy of the RAM
that QEMU can open) goes to a folder of the user's in TMPDIR instead."""
from __future__ import annotations

import errno
import fcntl
import os
import stat
import sys
import time

from . import build, newc
from .options import Options, UsageError, guest_path
from .process import Process, signals_held, sleep, wait_for, warn
from .relay import Relay

TYPE_CHECKING = False
if TYPE_CHECKING:
    from hashlib import sha256
    from types import TracebackType
    from typing import Callable, Optional, Type

    from .fabric import Fabric
else:
    # CPython's own SHA-256, where it has one: hashlib's import loads
    # OpenSSL, which costs a run milliseconds.
    try:
        from _sha256 import sha256
    except ImportError:
        from hashlib import sha256

RAM_SIZE = "256M"
SAVED_KEPT = 32  # the saved machines used last that stay
WAITING = b"vboard: waiting for work"
BANNER = b"Virtual board, Linux"
RESTORE_S = 10.0
STOP_AFTER_STATUS_S = 5.0


def _mailbox_size() -> int:
    """The mailbox's size, from the machine's own header."""
    header = os.path.join(build.VBOARD, "qemu", "control_page.h")
    with open(header) as f:
        for line in f:
            words = line.split()
            if words[:2] == ["#define", "VBOARD_MAILBOX_SIZE"]:
                return int(words[2], 0)
    raise RuntimeError(f"no VBOARD_MAILBOX_SIZE in {header}")


class MachineRefused(Exception):
    """QEMU refused the machine's options (a fabric's placement, say)."""


class NoStatus(Exception):
    """The guest gave no exit status."""


class Machine:
    """A board's QEMU and what it needs, for one run."""

    def __init__(self, options: Options, *, prog: str = "vboard/run",
                 stderr: Callable[[str], None] | None = None,
                 script_text: Optional[bytes] = None, log_guest_errors: bool = False) -> None:
        self.options = options.checked()
        self.script_text = script_text
        self.log_guest_errors = log_guest_errors
        self.guest_errors: Optional[str] = None
        self.shape: list[str] = []
        self.qmp = ""
        self.prog = prog
        self.say = stderr or (lambda text: warn(prog, text))
        self.processes: list[Process] = []
        self.work = ""
        self.qemu: Optional[Process] = None
        self.panel_url: Optional[str] = None
        self.restore_s = float(os.environ.get("VBOARD_RESTORE_S") or RESTORE_S)
        self.token = "vboard-" + os.urandom(8).hex()
        self.console = bytearray()
        self.qemu_errors = bytearray()
        self.restore_failure = ""

    # --- set-up -----------------------------------------------------------
    def __enter__(self) -> "Machine":
        with signals_held():
            self.work = _make_work_folder()
        try:
            self._set_up()
        except BaseException:
            self._clean_up()
            raise
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self._clean_up()

    def _clean_up(self) -> None:
        with signals_held():
            for process in reversed(self.processes):
                self._stop(process)
            if self.work:
                _remove_folder(self.work)
                self.work = ""

    def _set_up(self) -> None:
        o = self.options
        fabric: Optional[Fabric] = None
        if o.has_fabric:
            from . import fabric as fabric_part
            fabric = fabric_part.set_up(o)
        self.build = build.build_folder(o.build)
        self.image = build.image(o.kernel, self.build, o.do_build)
        if o.panel:
            from . import panel
            panel.check(self.image)
            self.npm_modules = panel.modules(o.do_build)
        self.append = " ".join(part for part in (o.append, fabric and fabric.append) if part)
        self.saved_root = build.saved_machines_dir()
        self._mailbox()
        self._command_line(fabric)
        self.key_text = "\n".join([
            "vboard saved machine, format 2",
            f"qemu {self.image.qemu_id}",
            f"image {self.image.id}",
            f"mode {o.mode}",
            f"smp {o.smp} icount {int(o.icount)} i2c-queue-end {o.i2c_queue_end} "
            f"narrow-access {o.narrow_access} panel {int(o.panel)}",
            f"ram {RAM_SIZE} append {o.append}",
            f"fabric {fabric.key if fabric else ''}"])
        key = sha256((self.key_text + "\n").encode()).hexdigest()[:24]
        self.saved = os.path.join(self.saved_root, key)
        self.key = key

    def _mailbox(self) -> None:
        """The run's work, for the guest's mailbox: its configuration, the
        script and the files."""
        o = self.options
        if o.state:
            os.makedirs(o.state, exist_ok=True)
            token_file = os.path.join(o.state, "token")
            if _nonempty(os.path.join(o.state, "vmstate")):
                self.token = build.read_text(token_file)
            else:
                with open(token_file, "w") as f:
                    f.write(self.token + "\n")
        conf = f"token={self.token}\nseries={self.image.series}\nrelease={self.image.release}\n"
        if o.mode == "shell":
            # The terminal's size, where it has one (a pseudo-terminal may say
            # 0 0).
            try:
                size = os.get_terminal_size(0)
                if size.lines > 0 and size.columns > 0:
                    conf += f"rows={size.lines}\ncols={size.columns}\n"
            except OSError:
                pass
        if o.panel:
            conf += "panel=1\n"
        archive = newc.Archive()
        archive.add_file("etc/vboard.conf", conf.encode())
        if self.script_text is not None:
            archive.add_file("vboard/script", self.script_text)
        elif o.script is not None:
            with open(o.script, "rb") as f:
                text = f.read()
            if b"\0" in text:
                raise UsageError(f"'{o.script}' holds a NUL byte: it is no script for sh")
            archive.add_file("vboard/script", text)
        for entry in o.files:
            path, dest = guest_path(entry)
            with open(path, "rb") as f:
                archive.add_file(dest, f.read(), os.stat(path).st_mode)
        data = archive.close()
        if len(data) > _mailbox_size():
            raise UsageError("the script and files come to more than the guest's mailbox "
                             f"holds ({_mailbox_size() >> 20} MiB)")
        self.mailbox = os.path.join(self.work, "mailbox")
        with open(self.mailbox, "wb") as f:
            f.write(data)

    def _command_line(self, fabric: Optional[Fabric]) -> None:
        o = self.options
        # Kernel messages stay in the log (dmesg); the console carries the
        # shell or the script alone. The crypto self-tests would add a second
        # to every boot.
        cmdline = f"console=ttyAMA0 loglevel=1 panic=-1 cryptomgr.notests vboard_mode={o.mode}"
        if o.mode == "script":
            # A script does without what Debian's kernels start for tracing
            # and entropy and test at every boot, which under emulation is
            # half of a script's boot.
            cmdline += (" initcall_blacklist=jent_mod_init,crypto_kdf108_init,"
                        "init_kprobe_trace,init_blk_tracer")
        # What shapes the machine and the guest: the same for a cold boot, for
        # the boot that makes a saved machine and for every run restored from
        # it. x-ignore-shared leaves RAM that is a shared file out of a saved
        # machine.
        self.shape = [self.image.qemu,
                      "-M", f"vboard,i2c-queue-end={o.i2c_queue_end},"
                      f"narrow-access={o.narrow_access}",
                      "-cpu", "cortex-a15", "-smp", str(o.smp), "-m", RAM_SIZE,
                      "-nic", "none", "-no-reboot", "-global", "migration.x-ignore-shared=on",
                      "-machine", "image=" + self.image.folder]
        if o.icount:
            # Guest time from instructions (2 ns each) rather than real time.
            self.shape += ["-icount", "shift=1,sleep=off"]
        if fabric:
            self.shape += ["-M", fabric.machine]
        if o.panel:
            from . import panel
            self.shape += panel.DEVICES
        # What a boot loads into RAM. A restored machine has it there already.
        self.boot = ["-kernel", os.path.join(self.image.folder, "kernel"),
                     "-initrd", os.path.join(self.image.folder, "initrd.cpio"),
                     "-append", cmdline + (" " + self.append if self.append else "")]
        qmp = o.qmp
        if not qmp:
            if o.mode == "script":
                qmp = os.path.join(self.work, "qmp.sock")
            else:
                # The same default as scripts/board's.
                qmp = os.environ.get("VBOARD_QMP") or os.path.join(
                    os.environ.get("XDG_RUNTIME_DIR") or "/tmp",
                    f"boardio-vboard-{os.getuid()}.qmp")
        self.qmp = qmp
        # The outside world of this run: QMP, the panel's sockets, logs.
        self.channels = ["-qmp", f"unix:{qmp},server=on,wait=off"]
        if o.panel:
            from . import panel
            self.channels += panel.channels(self.work)
        self.guest_errors = o.guest_errors or (
            os.path.join(self.work, "guest-errors") if self.log_guest_errors else None)
        if self.guest_errors:
            self.channels += ["-d", "guest_errors", "-D", self.guest_errors]

    @staticmethod
    def _ram(kind: str, path: str = "") -> list[str]:
        backend = {
            "cold": f"memory-backend-ram,id=ram,size={RAM_SIZE}",
            "make": f"memory-backend-file,id=ram,size={RAM_SIZE},mem-path={path},share=on",
            "restore": f"memory-backend-file,id=ram,size={RAM_SIZE},mem-path={path},share=off",
        }[kind]
        return ["-object", backend, "-machine", "memory-backend=ram"]

    # --- saved machines -----------------------------------------------------
    def _saved_ok(self) -> bool:
        """A saved machine is whole: its files are there, and none has changed
        since the stamp "saved" was written after them (runs map the RAM
        privately and write neither). Damage that kept the files' times shows
        later: the machine does not load, or its guest does not answer."""
        try:
            saved = os.stat(os.path.join(self.saved, "saved")).st_mtime_ns
            for name in (_ram_name(self.saved), "vmstate"):
                st = os.stat(os.path.join(self.saved, name))
                if st.st_size == 0 or st.st_mtime_ns > saved:
                    return False
        except OSError:
            return False
        return True

    def _make_saved(self) -> Optional[str]:
        """Boots the machine to where the guest waits for its work and saves
        it, unless another run already did (one at a time per key). None once
        it is there, else what went wrong."""
        if not _writable(self.saved_root):
            self.saved_root = _spare_root()
            self.saved = os.path.join(self.saved_root, self.key)
        lock_fd = os.open(os.path.join(self.saved_root, f".{self.key}.lock"),
                          os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            _lock(lock_fd)
            if self._saved_ok():
                return None
            fault = self._boot_and_save()
        finally:
            os.close(lock_fd)
        self._prune()
        if fault is None and not self._saved_ok():
            fault = "it is not whole after saving"
        return fault

    def _boot_and_save(self) -> Optional[str]:
        import shutil
        tmp = os.path.join(self.saved_root, f".new-{self.key}-{os.getpid()}")
        shutil.rmtree(self.saved, ignore_errors=True)
        shutil.rmtree(tmp, ignore_errors=True)
        os.makedirs(tmp)
        try:
            return self._save_to(tmp)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)

    def _save_to(self, tmp: str) -> Optional[str]:
        from . import panel
        # In the run's work folder: a socket's path has at most 107 bytes.
        socket = os.path.join(self.work, "save-qmp.sock")
        argv = (self.shape + self.boot + self._ram("make", os.path.join(tmp, "ram"))
                + ["-qmp", f"unix:{socket},server=on,wait=off"]
                + (panel.NULLS if self.options.panel else [])
                + ["-display", "none", "-monitor", "none", "-serial", "stdio"])
        qemu, console, errors = self._spawn(argv, pass_fds={})
        try:
            seen = bytearray()
            deadline = time.monotonic() + self.options.timeout
            while WAITING not in seen:
                data = _read_until(console, qemu, deadline)
                if not data:
                    said = _drain(errors)
                    if data is None:
                        self._refused(qemu, said, seen)
                    tail = _tail(bytes(seen) + said, 3)
                    return f"the boot to save did not reach the guest's wait for work: {tail}"
                seen += data
            from .qmp import MachineError, Monitor
            try:
                Monitor(socket).save(os.path.join(tmp, "vmstate"))
            except MachineError as e:
                return f"saving it failed: {e}"
            qemu.wait(STOP_AFTER_STATUS_S)
        finally:
            self.forget(qemu)
            os.close(console)
            os.close(errors)
        with open(os.path.join(tmp, "key"), "w") as f:
            f.write(self.key_text + "\n")
        open(os.path.join(tmp, "saved"), "w").close()
        os.rename(tmp, self.saved)
        return None

    def _prune(self) -> None:
        """The SAVED_KEPT saved machines used last stay, the others go."""
        used = []
        for entry in os.scandir(self.saved_root):
            try:
                used.append((os.stat(os.path.join(entry.path, "used")).st_mtime_ns, entry.path))
            except OSError:
                continue
        import shutil
        for _, path in sorted(used, reverse=True)[SAVED_KEPT:]:
            shutil.rmtree(path, ignore_errors=True)

    # --- QEMU -------------------------------------------------------------
    def _spawn(self, argv: list[str], pass_fds: dict[int, int],
               stdin: Optional[int] = None, stdout: Optional[int] = None,
               own_group: bool = True) -> tuple[Process, int, int]:
        """QEMU with ARGV, its console (standard output) and its messages
        (standard error) each on a pipe of ours, unless given."""
        out_r, out_w = os.pipe2(os.O_CLOEXEC) if stdout is None else (-1, stdout)
        err_r, err_w = os.pipe2(os.O_CLOEXEC)
        null = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC) if stdin is None else stdin
        try:
            qemu = Process(argv, stdin=null, stdout=out_w, stderr=err_w, pass_fds=pass_fds,
                           own_group=own_group, into=self.processes)
        finally:
            if stdout is None:
                os.close(out_w)
            os.close(err_w)
            if stdin is None:
                os.close(null)
        for fd in (out_r, err_r):
            if fd >= 0:
                os.set_blocking(fd, False)
        return qemu, out_r, err_r

    def _stop(self, process: Process) -> None:
        # QEMU removes its QMP socket as it ends, unless a signal ended it
        # before it could (one that came as it started): then the run does,
        # as a socket left behind reads as a board that stopped answering.
        if process.stop() < 0 and process.argv[0] == self.shape[0] and self.qmp:
            try:
                if stat.S_ISSOCK(os.lstat(self.qmp).st_mode):
                    os.unlink(self.qmp)
            except FileNotFoundError:
                pass

    def forget(self, process: Process) -> None:
        self._stop(process)
        if process in self.processes:
            self.processes.remove(process)

    def _refused(self, qemu: Process, said: bytes, console: bytes) -> None:
        """Raises MachineRefused when QEMU ended at its start with a reason
        (SAID, its messages): options it refused, not a guest that failed."""
        status = qemu.wait(STOP_AFTER_STATUS_S)
        text = said.decode(errors="replace")
        if status == 1 and not console.strip() and "qemu-system-arm: " in text:
            reasons = [line.split("qemu-system-arm: ", 1)[1] for line in text.splitlines()
                       if "qemu-system-arm: " in line]
            raise MachineRefused("; ".join(r.removeprefix("vboard: ") for r in reasons))

    def launch(self, restoring: Optional[str], *, incoming: Optional[str] = None,
                serial: Optional[list[str]] = None, stdin: Optional[int] = None,
                stdout: Optional[int] = None) -> tuple[Process, int, int]:
        """QEMU for this run: restored from the saved machine RESTORING, from
        the state INCOMING (--state), or booted cold."""
        if restoring:
            ram = self._ram("restore", _openable_ram(restoring))
            incoming = os.path.join(restoring, "vmstate")
        else:
            ram = self._ram("cold")
        argv = list(self.shape) + ([] if incoming else self.boot) + ram
        # A --state run's own saved state has its work already.
        if restoring or not incoming:
            argv += ["-machine", "mailbox=" + self.mailbox]
        # The run's trace alone: a saved machine is made without one.
        o = self.options
        if o.fabric_trace:
            from .fabric import qemu_value
            argv += ["-machine", f"fabric-trace={qemu_value(o.fabric_trace)},"
                     f"fabric-trace-from={o.fabric_trace_from},fabric-trace-for={o.fabric_trace_for}"]
        pass_fds = {}
        state_fd = -1
        if incoming:
            state_fd = os.open(incoming, os.O_RDONLY | os.O_CLOEXEC)
            pass_fds[4] = state_fd
            argv += ["-incoming", "fd:4"]
        argv += self.channels + ["-display", "none"]
        argv += serial or ["-monitor", "none", "-serial", "stdio"]
        try:
            return self._spawn(argv, pass_fds, stdin=stdin, stdout=stdout,
                               own_group=True)
        finally:
            if state_fd >= 0:
                os.close(state_fd)

    # --- runs -------------------------------------------------------------
    def start_panel(self) -> None:
        if self.options.panel:
            from . import panel
            # The panel's trace button records where --fabric-trace says,
            # else into fabric-trace.fst here.
            trace = self.options.fabric_trace or os.path.abspath("fabric-trace.fst")
            server, self.panel_url = panel.start(self.work, self.options.panel_port,
                                                 self.npm_modules, build.qemu_source(), trace)
            self.processes.insert(0, server)
            self.say_plain(f"panel: {self.panel_url}")

    def say_plain(self, text: str) -> None:
        sys.stderr.write(text + "\n")
        sys.stderr.flush()

    def run(self, attempt: Callable[[Optional[str]], Optional[int]]) -> int:
        """The run: ATTEMPT(saved machine or None for cold) returns the run's
        status, or None when the restore failed (self.restore_failure says
        why); made anew once, then cold."""
        o = self.options
        if o.state and _nonempty(os.path.join(o.state, "vmstate")):
            status = attempt(None)
            assert status is not None
            return status
        fault: Optional[str] = None
        if not o.cold:
            if not self._saved_ok():
                if os.path.exists(self.saved):
                    self.say(f"the saved machine {self.saved} is damaged; making it anew")
                fault = self._make_saved()
            for try_ in (1, 2):
                if not self._saved_ok():
                    break
                try:
                    open(os.path.join(self.saved, "used"), "w").close()
                except OSError:
                    pass  # a read-only folder, which is not pruned either
                self.restore_failure = ""
                status = attempt(self.saved)
                if status is not None:
                    return status
                import shutil
                shutil.rmtree(self.saved, ignore_errors=True)
                if try_ == 1:
                    self.say(f"the saved machine {self.saved} failed "
                             f"({self.restore_failure}); making it anew")
                    fault = self._make_saved()
                else:
                    self.say(f"the saved machine failed again ({self.restore_failure}); "
                             "booting cold")
                    fault = None
            if fault:
                self.say(f"no saved machine ({fault}); booting cold")
        status = attempt(None)
        assert status is not None
        return status

    def run_script(self, out: int = 1) -> int:
        """A script run: its output to OUT as it comes; its exit status (125
        when the guest gave none)."""
        def attempt(restoring: Optional[str]) -> Optional[int]:
            incoming = None
            if restoring is None and self.options.state:
                incoming = os.path.join(self.options.state, "vmstate")
                if not _nonempty(incoming):
                    incoming = None
            return self._script_attempt(restoring, incoming, out)
        return self.run(attempt)

    def _script_attempt(self, restoring: Optional[str], incoming: Optional[str],
                        out: int) -> Optional[int]:
        relay = Relay(self.token, began=incoming is not None)
        held = bytearray()

        def qemu_says(data: bytes) -> None:
            # Kept until the guest begins: a restore that fails is made good,
            # and QEMU's refusal of its options is told in a line of ours.
            if not relay.began:
                held.extend(data)
            else:
                _write_all(2, bytes(held) + data)
                held.clear()

        qemu, console, errors = self.launch(restoring, incoming=incoming)
        try:
            deadline = time.monotonic() + self.options.timeout
            begin_by = time.monotonic() + self.restore_s if restoring else None
            while relay.status is None:
                limit = deadline if relay.began or begin_by is None else min(deadline, begin_by)
                data = _read_until(console, qemu, limit, also=errors, on_errors=qemu_says)
                if data is None:
                    break
                if not data and not relay.began and begin_by and time.monotonic() >= begin_by:
                    self.restore_failure = f"the guest did not answer within {self.restore_s:g}s"
                    return None
                if not data and time.monotonic() >= deadline:
                    break
                _write_all(out, relay.feed(data))
            if relay.began:
                _write_all(2, bytes(held))
                held.clear()
            if relay.status is not None:
                return relay.status
            _write_all(out, relay.end())
            if not relay.began:
                if restoring:
                    head = bytes(relay.console[:300]).decode(errors="replace").replace("\n", " ")
                    self.restore_failure = f"it ended before the guest began: {head}"
                    return None
                held += _drain(errors)
                if data is None:
                    self._refused(qemu, bytes(held), bytes(relay.console))
                _write_all(2, bytes(held))
                self.say("the guest did not start the script; console:")
                sys.stderr.write(bytes(relay.console).decode(errors="replace"))
            self.say("no exit status from the guest "
                     f"(crashed, or no end within {self.options.timeout:g}s)")
            return 125
        finally:
            self.forget(qemu)
            os.close(console)
            os.close(errors)

    def run_shell(self) -> int:
        """The console on this terminal (Ctrl-A x stops QEMU, Ctrl-A c its
        monitor; Ctrl-C goes to the guest); QEMU's own messages follow when it
        ends, rather than into the console. Its exit status."""
        return self.run(self._shell_attempt)

    def _shell_attempt(self, restoring: Optional[str]) -> Optional[int]:
        import termios
        log = os.path.join(self.work, "console.log")
        open(log, "wb").close()
        serial = ["-chardev", f"stdio,id=console,mux=on,signal=off,logfile={log}",
                  "-serial", "chardev:console", "-mon", "chardev=console"]
        saved_tty = termios.tcgetattr(0)
        qemu, _, errors = self.launch(restoring, serial=serial, stdin=0, stdout=1)
        foreground = _give_terminal(qemu.pid)
        try:
            if restoring and not self._shell_answered(qemu, log):
                self.restore_failure = f"the guest did not answer within {self.restore_s:g}s"
                return None
            status = qemu.wait()
            assert status is not None
            sys.stderr.write(_drain(errors).decode(errors="replace"))
            return status
        finally:
            self.forget(qemu)
            os.close(errors)
            if foreground:
                _give_terminal(os.getpgrp())
            termios.tcsetattr(0, termios.TCSADRAIN, saved_tty)

    def _shell_answered(self, qemu: Process, log: str) -> bool:
        """Whether the console log shows the shell's banner within
        restore_s seconds, while QEMU runs. (Looked at every 20 ms: the guest
        shares the processors with whatever this polls with.)"""
        deadline = time.monotonic() + self.restore_s
        with open(log, "rb") as f:
            seen = b""
            while time.monotonic() < deadline:
                seen = (seen + f.read())[-4096:]
                if BANNER in seen:
                    return True
                if qemu.poll() is not None:
                    return False
                wait_for([qemu.pidfd], 0.02)
        return False


def _make_work_folder() -> str:
    tmp = os.environ.get("TMPDIR") or "/tmp"
    while True:
        path = os.path.join(tmp, "vboard." + os.urandom(4).hex())
        try:
            os.mkdir(path, 0o700)
            return path
        except FileExistsError:
            continue


def _writable(folder: str) -> bool:
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError:
        return False
    return os.access(folder, os.W_OK)


def _spare_root() -> str:
    """The user's folder for what a read-only folder of saved machines
    cannot take; made private, and refused when someone else's."""
    path = os.path.join(os.environ.get("TMPDIR") or "/tmp", f"boardio-saved-{os.getuid()}")
    try:
        os.mkdir(path, 0o700)
    except FileExistsError:
        pass
    st = os.lstat(path)
    if not stat.S_ISDIR(st.st_mode) or st.st_uid != os.getuid() or st.st_mode & 0o077:
        raise UsageError(f"{path} is not a private folder of this user's; remove it")
    return path


def _ram_name(saved: str) -> str:
    """The RAM's file in the saved machine SAVED: ram, or ram.packed, its
    data without its holes (pack_ram), where an image keeps it so."""
    return "ram" if os.path.exists(os.path.join(saved, "ram")) else "ram.packed"


def _openable_ram(saved: str) -> str:
    """The RAM file of the saved machine SAVED for QEMU, which opens it for
    writing though it maps it privately and writes nothing: where the file
    is read-only or packed, a copy in the spare folder, made once (holes
    kept) and named by the file's identity."""
    ram = os.path.join(saved, _ram_name(saved))
    if ram.endswith("/ram") and os.access(ram, os.W_OK):
        return ram
    st = os.stat(ram)
    spare = _spare_root()
    prefix = os.path.basename(saved) + "-"
    copy = os.path.join(spare, f"{prefix}{st.st_ino}-{st.st_mtime_ns}.ram")
    if os.path.exists(copy):
        return copy
    for old in os.listdir(spare):
        if old.startswith(prefix) and old.endswith(".ram") and old != os.path.basename(copy):
            os.unlink(os.path.join(spare, old))
    part = f"{copy}.{os.getpid()}"
    try:
        if ram.endswith("/ram"):
            _sparse_copy(ram, part, st.st_size)
        else:
            _unpack_ram(ram, part)
        os.rename(part, copy)
    finally:
        if os.path.exists(part):
            os.unlink(part)
    return copy


def _sparse_copy(source: str, dest: str, size: int) -> None:
    """SOURCE's data to the new file DEST, its holes left holes: a saved
    machine's 256 MiB of RAM holds some 60 MiB of data."""
    src = os.open(source, os.O_RDONLY | os.O_CLOEXEC)
    try:
        dst = os.open(dest, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        try:
            os.ftruncate(dst, size)
            offset = 0
            while offset < size:
                try:
                    start = os.lseek(src, offset, os.SEEK_DATA)
                except OSError as e:
                    if e.errno == errno.ENXIO:  # no data past OFFSET
                        break
                    raise
                offset = os.lseek(src, start, os.SEEK_HOLE)
                os.lseek(dst, start, os.SEEK_SET)
                while start < offset:
                    sent = os.sendfile(dst, src, start, offset - start)
                    if not sent:
                        raise OSError(errno.EIO, f"{source} ended early")
                    start += sent
        finally:
            os.close(dst)
    finally:
        os.close(src)


PACKED_MAGIC = b"boardio packed ram 1\n"


def pack_ram(saved: str) -> None:
    """The saved machine SAVED's RAM as ram.packed: the file's size, then
    each extent of data (offset, length, bytes), for a store that keeps no
    holes (an OCI image's layers: the RAM is 256 MiB, its data some 60)."""
    import struct
    ram = os.path.join(saved, "ram")
    size = os.path.getsize(ram)
    with open(ram, "rb") as src, open(ram + ".packed", "wb") as dst:
        dst.write(PACKED_MAGIC + struct.pack("<Q", size))
        offset = 0
        while offset < size:
            try:
                start = os.lseek(src.fileno(), offset, os.SEEK_DATA)
            except OSError as e:
                if e.errno == errno.ENXIO:
                    break
                raise
            offset = os.lseek(src.fileno(), start, os.SEEK_HOLE)
            src.seek(start)
            dst.write(struct.pack("<QQ", start, offset - start))
            dst.write(src.read(offset - start))
    stamp = os.stat(os.path.join(saved, "saved"))
    os.utime(ram + ".packed", ns=(stamp.st_atime_ns, stamp.st_mtime_ns))
    os.unlink(ram)


def _unpack_ram(packed: str, dest: str) -> None:
    import struct
    with open(packed, "rb") as src:
        if src.read(len(PACKED_MAGIC)) != PACKED_MAGIC:
            raise OSError(errno.EINVAL, f"{packed} is no packed RAM")
        size, = struct.unpack("<Q", src.read(8))
        fd = os.open(dest, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        try:
            os.ftruncate(fd, size)
            while head := src.read(16):
                start, length = struct.unpack("<QQ", head)
                data = src.read(length)
                if len(data) != length or start + length > size:
                    raise OSError(errno.EINVAL, f"{packed} is cut short")
                os.pwrite(fd, data, start)
        finally:
            os.close(fd)


def _remove_folder(path: str) -> None:
    """A run's work folder: its files, and only where it holds a folder (the
    panel's) with shutil, whose import (re, bz2, lzma) costs a restored run
    several milliseconds."""
    try:
        with os.scandir(path) as entries:
            for entry in entries:
                if entry.is_dir(follow_symlinks=False):
                    import shutil
                    shutil.rmtree(path, ignore_errors=True)
                    return
                os.unlink(entry.path)
        os.rmdir(path)
    except FileNotFoundError:
        pass


def _nonempty(path: str) -> bool:
    try:
        return os.path.getsize(path) > 0
    except OSError:
        return False


def _lock(fd: int) -> None:
    """An exclusive lock on FD, waited for in steps a stop signal ends."""
    while True:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return
        except OSError as e:
            if e.errno not in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise
        sleep(0.05)


def _read_until(fd: int, process: Process, deadline: float, also: int = -1,
                on_errors: Optional[Callable[[bytes], None]] = None) -> Optional[bytes]:
    """What FD holds once it holds something, b"" at DEADLINE, None at its
    end. ALSO, another fd of the process, is drained meanwhile into
    ON_ERRORS (or kept for later when None)."""
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return b""
        fds = [fd] + ([also] if also >= 0 and on_errors else [])
        ready = wait_for(fds, left)
        if also in ready and on_errors:
            data = _read(also)
            if data:
                on_errors(data)
        if fd in ready:
            data = _read(fd)
            if data is None:
                return None
            if data:
                return data


def _read(fd: int) -> Optional[bytes]:
    try:
        data = os.read(fd, 65536)
    except BlockingIOError:
        return b""
    return data or None


def _drain(fd: int) -> bytes:
    out = bytearray()
    while True:
        data = _read(fd)
        if not data:
            return bytes(out)
        out += data


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _tail(data: bytes, lines: int) -> str:
    return " ".join(data.decode(errors="replace").splitlines()[-lines:])


def _give_terminal(pgrp: int) -> bool:
    """Makes PGRP the terminal's foreground (QEMU reads the console there;
    its group, stopped by reading before it, goes on); whether it could."""
    import signal
    old = signal.signal(signal.SIGTTOU, signal.SIG_IGN)
    try:
        os.tcsetpgrp(0, pgrp)
        if pgrp != os.getpgrp():
            os.killpg(pgrp, signal.SIGCONT)
        return True
    except OSError:
        return False
    finally:
        signal.signal(signal.SIGTTOU, old)
