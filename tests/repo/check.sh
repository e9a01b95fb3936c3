#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks over the whole tree, on the files git tracks:
#   check.sh licence   every source file names the project's licence (an
#                      SPDX line within its first three lines), and so does
#                      the panel's npm package
#   check.sh shell     shellcheck finds nothing in the shell scripts; a
#                      directive that sets a finding aside gives its reason
#                      on its own line
#   check.sh format    the C and C++ sources are as clang-format leaves them,
#                      with the project's .clang-format
#   check.sh mypy      mypy finds nothing in the Python files, with the
#                      project's mypy.ini (strict)
# A tree that is no git checkout has no list of its files: skipped (77).
set -eu
cd "$(dirname "$0")/../.."
# The project's licence (COPYING), for every file.
LICENCE=GPL-2.0-or-later
files=$(git ls-files 2>/dev/null) || {
	echo "skipped: not a git checkout, no list of the tree's files"
	exit 77
}

# usage: sources EXT SHEBANG: the files named *.EXT, and those without an
# extension whose first line matches the regular expression SHEBANG.
sources() {
	for f in $files; do
		case $f in
		*."$1") echo "$f" ;;
		*/*.* | *.*) ;;
		*) head -n 1 "$f" | grep -qE "$2" && echo "$f" ;;
		esac
	done
}
shell_scripts() { sources sh '^#!.*/(env )?(ba)?sh'; }
python_files() { sources py '^#!.*python'; }

case ${1:-} in
licence)
	missing=$(for f in $files; do
		case $f in
		*.md | *.png | *.json | *.patch | .gitignore | .clang-format | .editorconfig | COPYING | \
			fuzz/corpus*/* | vboard/guest/fstab) continue ;;
		esac
		head -n 3 "$f" | grep -q "SPDX-License-Identifier: $LICENCE\($\| \)" || echo "$f"
	done)
	if [ -n "$missing" ]; then
		echo "files without an SPDX-License-Identifier: $LICENCE line:"
		echo "$missing"
		exit 1
	fi
	# The front panel's npm package says the same.
	grep -q "\"license\": \"$LICENCE\"" vboard/panel/package.json || {
		echo "vboard/panel/package.json: not $LICENCE"
		exit 1
	}
	echo "every source file names its licence, $LICENCE"
	;;
shell)
	# shellcheck disable=SC2046 # one word per file name (none has blanks)
	shellcheck -x $(shell_scripts)
	# A finding set aside says why, on the directive's own line.
	# shellcheck disable=SC2046 # one word per file name (none has blanks)
	unexplained=$(grep -n '^[[:space:]]*# shellcheck disable=' $(shell_scripts) |
		grep -v 'disable=[A-Z0-9,]* # .' || true)
	if [ -n "$unexplained" ]; then
		echo "shellcheck directives without a reason:"
		echo "$unexplained"
		exit 1
	fi
	echo "shellcheck: $(shell_scripts | wc -l) scripts, nothing found"
	;;
format)
	sources=$(for f in $files; do
		case $f in *.c | *.cpp | *.h) echo "$f" ;; esac
	done)
	# shellcheck disable=SC2086 # one word per file name (none has blanks)
	clang-format --dry-run -Werror $sources
	echo "clang-format: $(echo "$sources" | wc -l) sources as formatted"
	;;
mypy)
	# QEMU's QMP library, which the panel's server and the scripts use, is
	# typed: it is checked against, from QEMU's source tree.
	qemu_source=$(scripts/build-qemu.sh --source)
	# shellcheck disable=SC2046 # one word per file name (none has blanks)
	# The programs without .py (vboard/run, scripts/board, ...) one at a
	# time: each is a __main__. vboard/ holds the boardio package.
	export MYPYPATH="$qemu_source/python:vboard"
	# shellcheck disable=SC2046 # one word per file name (none has blanks)
	mypy $(python_files | grep '\.py$')
	for program in $(python_files | grep -v '\.py$'); do
		mypy "$program"
	done
	;;
*)
	echo "usage: $0 licence|shell|format|mypy" >&2
	exit 2
	;;
esac
