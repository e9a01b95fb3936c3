#!/bin/sh
# Fetches Debian's ARMv7 kernel headers, host tools and kernel images of the
# series the modules are built for (once: the cache is kept).
set -eu
fetch=$(dirname "$0")/../fetch-kernel.sh
for series in 6.1 6.12; do
	"$fetch" "$series" headers >/dev/null
	"$fetch" "$series" modules >/dev/null
done
