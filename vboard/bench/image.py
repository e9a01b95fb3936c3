#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The board's OCI image, measured: its size, its build's time (cold: the
image removed and Debian's packages downloaded again, with --cold; and
cached: nothing to do), and one job, `boardio check` on 6.1 of the build's
modules, in a container of the image (read-only root, no network) against
the same job outside it, interleaved ROUNDS times: the medians and their
ratio. Run from a built tree (./test first).

usage: vboard/bench/image.py [--rounds 3] [--cold] [--build DIR] [--modules DIR]
"""
from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
VBOARD = os.path.dirname(HERE)
ROOT = os.path.dirname(VBOARD)
sys.path.insert(0, VBOARD)

from boardio import container  # noqa: E402


def build_image(build: str, env: dict[str, str]) -> tuple[str, float]:
    start = time.monotonic()
    done = subprocess.run([os.path.join(VBOARD, "oci", "build.sh"), "--build", build],
                          stdout=subprocess.PIPE, text=True, env=env, check=True)
    return done.stdout.split()[-1], time.monotonic() - start


def timed(argv: list[str]) -> float:
    start = time.monotonic()
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    took = time.monotonic() - start
    if done.returncode != 0:
        sys.exit(f"image.py: {' '.join(argv)} failed:\n{done.stdout}")
    return took


def main() -> int:
    parser = argparse.ArgumentParser(description=str(__doc__).split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--cold", action="store_true",
                        help="build the image anew first, its packages downloaded again")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--modules", help="default: the build's 6.1 modules")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    modules = os.path.abspath(args.modules or os.path.join(build, "kernel", "linux", "6.1"))
    if args.cold:
        name, _ = build_image(build, dict(os.environ))
        subprocess.run(["podman", "rmi", "--force", name], stdout=subprocess.DEVNULL, check=True)
        with tempfile.TemporaryDirectory() as debs:
            name, seconds = build_image(build, dict(os.environ, BOARDIO_OCI_DEBS=debs))
        print(f"build, cold (packages downloaded):  {seconds:7.1f} s")
    name, seconds = build_image(build, dict(os.environ))
    print(f"build, cached (inputs unchanged):   {seconds:7.1f} s")
    size = int(subprocess.run(["podman", "image", "inspect", "--format", "{{.Size}}", name],
                              stdout=subprocess.PIPE, text=True, check=True).stdout)
    print(f"image {name}: {size / (1 << 20):.0f} MiB")

    podman = container.podman(name)
    outside = [sys.executable, os.path.join(ROOT, "scripts", "boardio"), "check",
               "--modules", modules, "--build", build]
    inside = podman.run(["--rm", "--network=none", "--read-only",
                         "--volume", f"{modules}:{modules}:ro"], name,
                        ["boardio", "check", "--modules", modules])
    times: dict[str, list[float]] = {"outside": [], "inside": []}
    for _ in range(args.rounds):
        times["outside"].append(timed(outside))
        times["inside"].append(timed(inside))
    for where, runs in times.items():
        print(f"boardio check on 6.1, {where + ' the image:':19} median {statistics.median(runs):6.1f} s"
              f"  ({', '.join(f'{t:.1f}' for t in runs)})")
    ratio = statistics.median(times["inside"]) / statistics.median(times["outside"])
    print(f"in the image / outside: {ratio:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
