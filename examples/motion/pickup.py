#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Writes pickup.csv, the recording of motion the README's walk-through
plays: the board lying flat, picked up, tilted 45 degrees onto its +Y edge,
tapped on top, tilted back and laid down again, 7 s at 100 Hz. The motion
is made, not measured: smooth lifts and tilts, a hand's tremor (a seeded
generator, so that the file is the same every time) and a tap's ringing.

usage: examples/motion/pickup.py > examples/motion/pickup.csv
"""
import math
import random
from typing import Tuple

STEP_S = 0.01
LENGTH_S = 7.0


def ease(x: float) -> float:
    """0 to 1 as x goes from 0 to 1, smoothly at both ends."""
    x = min(max(x, 0.0), 1.0)
    return (1 - math.cos(math.pi * x)) / 2


def tilt_deg(t: float) -> float:
    return 45 * (ease((t - 2.0) / 1.0) - ease((t - 4.5) / 1.0))


def lift_mg(t: float) -> float:
    """Upwards acceleration of the lift (1.0 to 1.5 s) and of the laying
    down (5.5 to 6.0 s): up and slowing, down and slowing."""
    for start, sign in ((1.0, 1), (5.5, -1)):
        if start <= t < start + 0.5:
            return sign * 350 * math.sin(2 * math.pi * (t - start) / 0.5)
    return 0.0


def tap_mg(t: float) -> float:
    """A tap on top at 4.0 s: a sharp push down the Z axis, then ringing."""
    since = t - 4.0
    if since < -1e-9 or since > 0.2:
        return 0.0
    return 2500 * math.exp(-since / 0.02) * math.cos(2 * math.pi * 40 * since)


def sample(t: float, tremor: random.Random) -> Tuple[int, int, int]:
    theta = math.radians(tilt_deg(t))
    up = 1000 + lift_mg(t)
    in_hand = 1.0 <= t < 6.0
    shake = [tremor.uniform(-8, 8) if in_hand else 0.0 for _ in range(3)]
    x = shake[0]
    y = up * math.sin(theta) + shake[1]
    z = up * math.cos(theta) + tap_mg(t) + shake[2]
    return round(x), round(y), round(z)


def main() -> None:
    tremor = random.Random(7)
    print("# SPDX-License-Identifier: GPL-2.0-or-later")
    print("# The board lying flat, picked up (1 s), tilted 45 degrees onto its +Y")
    print("# edge (2 s), tapped on top (4 s), tilted back (4.5 s) and laid down")
    print("# (5.5 s); 100 Hz. Made by examples/motion/pickup.py.")
    print("t_ms,x_mg,y_mg,z_mg")
    for n in range(round(LENGTH_S / STEP_S)):
        x, y, z = sample(n * STEP_S, tremor)
        print(f"{n * 10},{x},{y},{z}")


if __name__ == "__main__":
    main()
