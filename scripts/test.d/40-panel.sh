#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the front panel's npm packages (once: the cache is kept).
set -eu
"$(dirname "$0")/../../vboard/panel/setup.sh" >/dev/null
