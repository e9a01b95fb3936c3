# SPDX-License-Identifier: GPL-2.0-or-later
"""A test of one's own: the records follow the board's tilt (boardio batch
runs it with the module of the job's files in /root)."""
from boardio import Board


def axes(board: Board) -> list[int]:
    """x, y and z of a record: int_source x y z mg/lsb, in hexadecimal."""
    return [int(word, 16) for word in board.sh("cat /dev/accel").output.split()[1:4]]


def test_records_follow_the_tilt(board: Board) -> None:
    board.sh("insmod /root/accel.ko", check=True)
    board.tilt(1000, 0, 0)
    board.sh("sleep 0.2")
    x, y, z = axes(board)
    assert x > 0 and y == z == 0
    board.tilt(0, 0, 1000)
    board.sh("sleep 0.2")
    x, y, z = axes(board)
    assert z > 0 and x == y == 0
