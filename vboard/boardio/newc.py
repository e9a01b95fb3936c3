# SPDX-License-Identifier: GPL-2.0-or-later
"""Archives in cpio's newc format: a run's work, as the guest's mailbox
program unpacks it (vboard/guest/programs/mailbox.c: folders and regular
files), and the device nodes of the boot image, which cpio can archive only
where they exist, and creating them needs privileges.

usage: python3 -m boardio.newc --node PATH MODE MAJOR MINOR ...
       writes an archive of those nodes (MODE in octal) to standard output"""
from __future__ import annotations

import stat

TRAILER = "TRAILER!!!"


class Archive:
    """A newc archive built in memory; `data` once `close`d."""

    def __init__(self) -> None:
        self.parts: list[bytes] = []
        self.size = 0
        self.inode = 0
        self.folders: set[str] = set()

    def _entry(self, name: str, mode: int, data: bytes = b"", rdev: tuple[int, int] = (0, 0)) -> None:
        self.inode += 1
        encoded = name.encode() + b"\0"
        fields = (self.inode, mode, 0, 0, 1, 0, len(data), 0, 0, *rdev, len(encoded), 0)
        header = b"070701" + b"".join(b"%08X" % field for field in fields) + encoded
        for part in (header, data):
            padded = part + b"\0" * (-len(part) % 4)
            self.parts.append(padded)
            self.size += len(padded)

    def _folders_above(self, path: str) -> None:
        parts = path.split("/")[:-1]
        for depth in range(1, len(parts) + 1):
            folder = "/".join(parts[:depth])
            if folder not in self.folders:
                self.folders.add(folder)
                self._entry(folder, stat.S_IFDIR | 0o755)

    def add_file(self, path: str, data: bytes, mode: int = 0o644) -> None:
        """A file at PATH (relative to where the archive is unpacked), the
        folders above it made as needed."""
        path = path.lstrip("/")
        self._folders_above(path)
        self._entry(path, stat.S_IFREG | (mode & 0o7777), data)

    def add_node(self, path: str, mode: int, major: int, minor: int) -> None:
        """A device node (MODE with its type bits, S_IFCHR say)."""
        path = path.lstrip("/")
        self._folders_above(path)
        self._entry(path, mode, rdev=(major, minor))

    def close(self) -> bytes:
        self._entry(TRAILER, 0)
        return b"".join(self.parts)


if __name__ == "__main__":
    import sys
    archive = Archive()
    args = sys.argv[1:]
    while args[:1] == ["--node"] and len(args) >= 5:
        archive.add_node(args[1], int(args[2], 8), int(args[3]), int(args[4]))
        args = args[5:]
    if args:
        sys.exit(__doc__)
    sys.stdout.buffer.write(archive.close())
