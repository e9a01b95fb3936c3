# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# Checks for the guest tests, sourced by each test script inside the virtual
# board (/lib/vboard/testlib.sh). A test ends with "finish", whose exit status
# is the test's: 0 when every assertion passed.
#
# The drivers' and programs' suites group their assertions into named checks
# (run_check), so that a host can report each check on its own. What a suite
# prints, in this order, each line from its start; any other output comes
# between these lines:
#   check NAME started         a check begins; the FAIL lines up to its end
#                              are its own
#   FAIL: TEXT                 an assertion failed, and why (TEXT may go on
#                              over more lines)
#   check NAME ok              the check ended, and every assertion passed
#   check NAME failed N        the check ended, N of its assertions failed
#   check NAME skipped REASON  the check tested nothing here: what it tests
#                              is not in the folder it comes from (REASON:
#                              words, e.g. "accel_basic: not in /root/mods")
#   guest: N checks, M failed  the suite's last line: N assertions in all,
#                              M of them failed; the exit status is 0 when
#                              M is 0
# A check started that never ended was cut short: the guest stopped during it
# (crashed, or hung until vboard/run's --timeout, which exits 125). A NAME is
# letters, digits and ". _ -"; a suite's checks have distinct names. Suites
# without checks print FAIL and guest lines alone.
#
# What the suites test, set before this file is sourced (a host puts the
# assignments at the top of the script it runs):
#   VBOARD_MODULES   the folder of the kernel modules, NAME.ko (default
#                    /modules, the image's own)
#   VBOARD_PROGRAMS  the folder of the console programs (default: the
#                    image's own, on PATH)
#   VBOARD_VARIANTS  the accel variants the accel suites run, words of
#                    "accel accel_cmd accel_basic" (unset or empty: all three)

VBOARD_MODULES=${VBOARD_MODULES:-/modules}
VBOARD_PROGRAMS=${VBOARD_PROGRAMS:-}
VBOARD_VARIANTS=${VBOARD_VARIANTS:-accel accel_cmd accel_basic}

checks=0
failed=0
# The check running (run_check): its name, failed assertions, why it skipped.
check_name=
check_failed=0
check_skipped=

pass() {
	checks=$((checks + 1))
}

fail() {
	checks=$((checks + 1))
	failed=$((failed + 1))
	check_failed=$((check_failed + 1))
	echo "FAIL: $*"
	return 1
}

# The assertions: pass and fail, and those below, return false when they fail.

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

# usage: expect_text DESCRIPTION ACTUAL EXPECTED   as expect, for text of many
# lines: a failure names the first line that differs.
expect_text() {
	[ "$2" = "$3" ] && pass && return
	printf '%s\n' "$3" >/tmp/expected.text
	fail "$1: $(printf '%s\n' "$2" | awk '
		NR == FNR { want[NR] = $0; lines = NR; next }
		$0 != want[FNR] {
			printf "line %d is \"%s\", expected \"%s\"", FNR, $0, want[FNR]
			differs = 1
			exit
		}
		END { if (!differs) printf "%d lines, expected %d", FNR, lines }' /tmp/expected.text -)"
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

# Loaded modules' names, one line.
loaded_modules() {
	loaded=
	while read -r name _; do loaded="$loaded $name"; done </proc/modules
	echo "$loaded"
}

# usage: run_check NAME COMMAND [ARG...]   runs COMMAND, a function of the
# suite that makes the check's assertions, as the check NAME. The function
# returns early where the rest would test nothing: after load_module or
# need_program fails. A module loaded during the check and left loaded is
# unloaded after it, an assertion; and the kernel must log no warning or oops
# during the check.
run_check() {
	check_name=$1 check_failed=0 check_skipped=
	shift
	echo "check $check_name started"
	rm -f "$hung"
	check_modules=$(loaded_modules)
	check_trouble=$(kernel_trouble | wc -l)
	"$@"
	if [ -e "$hung" ]; then
		fail "the driver hung: $(head -n 1 "$hung"); the check's later accesses not made"
	fi
	for module in $(loaded_modules); do
		case "$check_modules " in *" $module "*) continue ;; esac
		if out=$(timeout 30 rmmod "$module" 2>&1); then
			pass
		else
			fail "$module left loaded by the check: rmmod: $out"
		fi
	done
	if [ -z "$check_skipped" ] || [ "$check_failed" -gt 0 ]; then
		trouble=$(kernel_trouble | awk -v n="$check_trouble" 'NR > n')
		expect "kernel log free of warnings and oopses" "$trouble" ""
	fi
	if [ "$check_failed" -gt 0 ]; then
		echo "check $check_name failed $check_failed"
	elif [ -n "$check_skipped" ]; then
		echo "check $check_name skipped $check_skipped"
	else
		echo "check $check_name ok"
	fi
	check_name=
}

# usage: skip_check REASON   the check running tests nothing here, for REASON;
# its function returns at once.
skip_check() {
	check_skipped=$*
}

# usage: module_path NAME   the module NAME.ko of VBOARD_MODULES
module_path() {
	echo "$VBOARD_MODULES/$1.ko"
}

# usage: load_module NAME   loads NAME.ko of VBOARD_MODULES, an assertion;
# false where the check cannot go on: the module is not in the folder (the
# check is skipped) or did not load (the assertion failed, with insmod's
# message).
load_module() {
	ko=$(module_path "$1")
	if [ ! -e "$ko" ]; then
		skip_check "$1: not in $VBOARD_MODULES"
		return 1
	fi
	# A module whose initialisation never ends holds insmod: bounded.
	out=$(timeout 30 insmod "$ko" 2>&1)
	status=$?
	if [ "$status" -eq 0 ]; then
		pass
		return 0
	fi
	fail "insmod $1: ${out:-exit status $status}"
	return 1
}

# usage: variant_wanted NAME   true when VBOARD_VARIANTS names the accel
# variant NAME
variant_wanted() {
	case " $VBOARD_VARIANTS " in *" $1 "*) return 0 ;; esac
	return 1
}

# usage: program_path NAME   the console program NAME of VBOARD_PROGRAMS, or
# the image's own
program_path() {
	if [ -n "$VBOARD_PROGRAMS" ]; then
		echo "$VBOARD_PROGRAMS/$1"
	else
		command -v "$1"
	fi
}

# usage: need_program NAME   false, the check skipped, where the program NAME
# is not in VBOARD_PROGRAMS
need_program() {
	[ -e "$(program_path "$1")" ] && return 0
	skip_check "$1: not in ${VBOARD_PROGRAMS:-$PATH}"
	return 1
}

# A driver that does not end a read or write must not hold the suite: every
# access of a driver's node is bounded. Once one was stopped, the driver is
# taken for hung: the check's later bounded accesses are not made, and the
# check fails for it (run_check). The accesses stopped, one a line:
hung=/tmp/vboard.hung

# usage: bounded SECONDS COMMAND [ARG...]   COMMAND (a program) for at most
# SECONDS: its status, 143 when it was stopped; 124 without running it once
# one of the check's was stopped. bounded_what, when set, says what COMMAND
# does, for the line that tells it was stopped. A COMMAND reading a
# descriptor that the shell holds open needs it closed too (<&3 3<&-):
# timeout's watcher lives on for up to a second after COMMAND, and would hold
# the node open with it.
bounded() {
	if [ -e "$hung" ]; then
		bounded_what=
		return 124
	fi
	bounded_for=$1
	shift
	timeout "$bounded_for" "$@"
	bounded_status=$?
	if [ "$bounded_status" -eq 143 ]; then
		echo "${bounded_what:-$*}: stopped after $bounded_for s" | tee -a "$hung" >&2
	fi
	bounded_what=
	return "$bounded_status"
}

# usage: read_node FILE   FILE's contents, as cat reads them, bounded.
read_node() {
	bounded 10 cat "$1"
}

# usage: write_node FILE TEXT   writes TEXT (printf's format: its escapes are
# the bytes) to FILE in one write, bounded; false when the write fails.
write_node() {
	bounded_what="write '$2' to $1"
	# shellcheck disable=SC2016 # expanded by the inner shell
	bounded 10 sh -c 'printf "$2" >"$1"' - "$1" "$2"
}

# The board as it powered on: lying flat, no bias or noise, the sensor on the
# bus with its own DEVID and its power-on registers. An accel check starts
# from it, whatever the one before left.
board_at_rest() {
	board tilt 0 0 1000 && board bias 0 0 0 && board noise 0 && board sensor on &&
		board devid e5 && board reset sensor
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
