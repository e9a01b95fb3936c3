# SPDX-License-Identifier: GPL-2.0-or-later
"""Where a board's parts are: the tree, the cache, the build folder, the boot
image of a kernel and the board's QEMU; building them where asked."""
from __future__ import annotations

import os

from .options import UsageError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Optional

VBOARD = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(VBOARD)
SCRIPTS = os.path.join(ROOT, "scripts")
PYTHON = "/usr/bin/python3"


def cache_dir() -> str:
    cache = os.environ.get("BOARDIO_CACHE")
    if cache:
        return cache
    xdg = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(xdg, "boardio")


def saved_machines_dir() -> str:
    return os.environ.get("VBOARD_TEMPLATES") or os.path.join(cache_dir(), "templates")


def read_text(path: str) -> str:
    with open(path) as f:
        return f.read().strip()


def script_output(argv: list[str], what: str) -> str:
    """ARGV's standard output, its progress passed to stderr; UsageError
    naming WHAT when it fails."""
    import subprocess
    done = subprocess.run(argv, stdout=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise UsageError(f"{what} failed (status {done.returncode})")
    return done.stdout.strip()


class Image:
    """A boot image (vboard/image.sh) and the QEMU that runs it."""

    def __init__(self, folder: str, qemu: str, series: str, release: str, id: str) -> None:
        self.folder = folder
        self.qemu = qemu
        self.series = series
        self.release = release
        self.id = id

    @property
    def qemu_id(self) -> str:
        """What names this QEMU's build: its stamp, else its file's identity."""
        stamp = os.path.join(os.path.dirname(os.path.dirname(self.qemu)), "stamp")
        try:
            return read_text(stamp)
        except OSError:
            st = os.stat(self.qemu)
            return f"{self.qemu} {st.st_size} {int(st.st_mtime)}"

    @property
    def has_panel(self) -> bool:
        return os.path.exists(os.path.join(self.folder, "panel"))


def build_folder(build: Optional[str]) -> str:
    folder = os.path.abspath(build or os.path.join(ROOT, "build"))
    os.makedirs(folder, exist_ok=True)
    return folder


def qemu_source() -> str:
    """QEMU's unpacked source tree: its python/ holds the QMP library. An
    installed board (the OCI image, vboard/oci/) has the library alone, in
    qemu/src/ beside its QEMU."""
    installed = os.path.join(ROOT, "qemu", "src")
    if os.path.isdir(os.path.join(installed, "python", "qemu", "qmp")):
        return installed
    return script_output([os.path.join(SCRIPTS, "build-qemu.sh"), "--source"],
                         "scripts/build-qemu.sh --source")


def image(kernel: str, build: str, do_build: bool) -> Image:
    """The image of KERNEL in BUILD and the board's QEMU: built first when
    DO_BUILD, else as they are (UsageError when missing)."""
    if kernel.startswith("/"):
        name = script_output([os.path.join(SCRIPTS, "fetch-kernel.sh"), kernel, "name"],
                             "scripts/fetch-kernel.sh")
    else:
        name = kernel
    folder = os.path.join(build, "vboard", "image-" + name)
    record = os.path.join(build, "vboard", "qemu")
    build_qemu = os.path.join(SCRIPTS, "build-qemu.sh")
    if do_build:
        import subprocess
        # image.sh's progress goes to stderr, as the run's own output is the
        # guest's.
        if subprocess.run([os.path.join(VBOARD, "image.sh"), kernel, build],
                          stdout=2).returncode != 0:
            raise UsageError("the image did not build (above)")
        qemu = script_output([build_qemu], "scripts/build-qemu.sh")
        with open(record, "w") as f:
            f.write(qemu + "\n")
    else:
        qemu = ""
        try:
            qemu = read_text(record)
        except OSError:
            pass
        if not os.access(qemu, os.X_OK):
            import subprocess
            done = subprocess.run([build_qemu, "--path"], stdout=subprocess.PIPE, text=True)
            qemu = done.stdout.strip()
            if done.returncode != 0 or not os.access(qemu, os.X_OK):
                raise UsageError("no QEMU built (run without --no-build)")
    for part in ("initrd.cpio", "kernel", "id"):
        path = os.path.join(folder, part)
        if not (os.path.isfile(path) and os.path.getsize(path) > 0):
            raise UsageError(f"no image in {folder} (run without --no-build)")
    return Image(folder, qemu, read_text(os.path.join(folder, "series")),
                 read_text(os.path.join(folder, "release")),
                 read_text(os.path.join(folder, "id")))
