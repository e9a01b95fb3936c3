#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The board lying flat, then tilted 45 degrees: a record for each.
set -e
insmod /root/accel.ko
cat /dev/accel
board tilt 0 707 707
sleep 0.2
cat /dev/accel
