#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the front panel's npm packages (package-lock.json: the page's
# terminal and plot, and the browser driver of its tests) into the cache, once
# per lock file, and prints the node_modules folder.
#
#   vboard/panel/setup.sh           install what is missing, print the folder
#   vboard/panel/setup.sh --path    print the folder if it is complete, else fail
#
# Cache: $BOARDIO_CACHE/npm (default ${XDG_CACHE_HOME:-$HOME/.cache}/boardio/npm)
#   LOCKHASH/node_modules   one install per lock file
#   cache/                  npm's own download cache
set -eu

here=$(cd "$(dirname "$0")" && pwd)
cache=${BOARDIO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/boardio}/npm
dir=$cache/$(sha256sum "$here/package-lock.json" | cut -c1-16)

if [ -e "$dir/.complete" ]; then
	echo "$dir/node_modules"
	exit 0
fi
if [ "${1:-}" = --path ]; then
	echo "panel: no npm packages in $dir (run vboard/panel/setup.sh)" >&2
	exit 1
fi
command -v npm >/dev/null || {
	echo "panel: npm is missing (scripts/setup-host.sh installs it)" >&2
	exit 1
}

mkdir -p "$cache"
# One install at a time: ./run and ./test may start together.
exec 9>"$cache/.lock"
flock 9
if [ ! -e "$dir/.complete" ]; then
	echo "panel: installing the npm packages into $dir" >&2
	rm -rf "$dir"
	mkdir -p "$dir"
	cp "$here/package.json" "$here/package-lock.json" "$dir/"
	(cd "$dir" && npm ci --no-audit --no-fund --cache "$cache/cache" >&2)
	touch "$dir/.complete"
fi
echo "$dir/node_modules"
