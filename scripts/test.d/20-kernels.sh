#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Fetches the kernels the modules are built for and the virtual board boots
# (once: the cache is kept): Debian's series, and 3.18 where
# BOARDIO_LINUX_3_18 names its folder.
set -eu
fetch=$(dirname "$0")/../fetch-kernel.sh
for series in 6.1 6.12; do
	"$fetch" "$series" headers >/dev/null
	"$fetch" "$series" modules >/dev/null
	"$fetch" "$series" boot >/dev/null
done
if [ -n "${BOARDIO_LINUX_3_18:-}" ]; then
	"$fetch" 3.18 headers >/dev/null
	"$fetch" 3.18 boot >/dev/null
else
	echo "BOARDIO_LINUX_3_18 is not set: the 3.18 tests will be skipped"
fi
