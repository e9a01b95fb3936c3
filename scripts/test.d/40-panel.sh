#!/bin/sh
# Installs the front panel's npm packages (once: the cache is kept).
set -eu
"$(dirname "$0")/../../vboard/panel/setup.sh" >/dev/null
