#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the virtual board's QEMU (once per machine: the build is cached
# outside the clone, see scripts/build-qemu.sh).
set -eu
"$(dirname "$0")/../build-qemu.sh" >/dev/null
