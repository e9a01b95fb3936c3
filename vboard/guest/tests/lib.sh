# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# Checks for the guest tests, sourced by each test script inside the virtual
# board (/lib/vboard/testlib.sh). A test ends with "finish", whose exit status
# is the test's: 0 when every check passed.

checks=0
failed=0

pass() {
	checks=$((checks + 1))
}

fail() {
	checks=$((checks + 1))
	failed=$((failed + 1))
	echo "FAIL: $*"
}

# usage: check DESCRIPTION COMMAND...   passes when COMMAND succeeds
check() {
	what=$1
	shift
	if "$@"; then pass; else fail "$what"; fi
}

# usage: expect DESCRIPTION ACTUAL EXPECTED
expect() {
	if [ "$2" = "$3" ]; then
		pass
	else
		fail "$1: got '$2', expected '$3'"
	fi
}

# usage: expect_match DESCRIPTION ACTUAL EXTENDED-REGEX
expect_match() {
	if printf '%s\n' "$2" | grep -Eq "$3"; then
		pass
	else
		fail "$1: '$2' does not match /$3/"
	fi
}

# The kernel log that klog_mark took out of the kernel's buffer.
klog_taken=/tmp/klog.taken

# Kernel trouble since boot: warnings with a backtrace, oopses, BUGs.
kernel_trouble() {
	{
		[ ! -e "$klog_taken" ] || cat "$klog_taken"
		dmesg
	} | grep -E 'WARNING:|Oops|BUG:|Internal error|Call trace|Unable to handle|refcount_t' || true
}

expect_no_kernel_trouble() {
	trouble=$(kernel_trouble)
	expect "kernel log free of warnings and oopses" "$trouble" ""
}

finish() {
	echo "guest: $checks checks, $failed failed"
	[ "$failed" -eq 0 ]
}

# Kernel log lines since the last klog_mark, as "<level>text" without the
# time stamp. The mark moves the log so far out of the kernel's buffer
# (kernel_trouble still reads it): a guest process costs milliseconds, and
# counting the whole log's lines at every mark cost three of them.
klog_mark() {
	dmesg -c >>"$klog_taken"
}

klog_new() {
	dmesg -r | sed 's/^\(<[0-9]*>\)\[[ 0-9.]*\] /\1/'
}

# Milli-g of one axis field (2 = X, 3 = Y, 4 = Z) of a record. Counts are
# zero-padded decimal, which awk would take for octal.
field_mg() {
	echo "$1" | awk -v f="$2" '
		function dec(s,  neg) {
			neg = sub(/^-/, "", s)
			sub(/^0+/, "", s)
			return neg ? -s : s + 0
		}
		{ print dec($f) * dec($5) }'
}

# A sensor register as the board model shows it: reg NAME -> 0xHH
reg() {
	board regs | awk -v n="$1" '$1 == n { print $2 }'
}
