# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=dash # and bash: both know local
# The newc cpio format, written by the shell itself, for what cpio cannot
# write (device nodes one cannot create without privileges, vboard/image.sh)
# or where its process would cost too much (a restored run's work,
# vboard/run). Sourced by sh and bash alike. newc_bytes counts the bytes
# of the archive written so far, for a caller with a limit.
newc_bytes=0

# usage: newc_header NAME MODE SIZE INODE [RDEVMAJOR RDEVMINOR]: an entry's
# header and name; SIZE bytes of data and newc_pad SIZE follow it.
newc_header() {
	# Lengths in bytes, whatever the locale.
	local LC_ALL=C
	printf '070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%s\0' \
		"$4" "$2" 0 0 1 0 "$3" 0 0 "${5:-0}" "${6:-0}" $((${#1} + 1)) 0 "$1"
	newc_pad $((110 + ${#1} + 1))
}

# usage: newc_pad SIZE: the zero bytes that align the SIZE bytes just
# written to four; both are counted.
newc_pad() {
	newc_bytes=$((newc_bytes + ($1 + 3) / 4 * 4))
	case $(($1 % 4)) in
	1) printf '\0\0\0' ;;
	2) printf '\0\0' ;;
	3) printf '\0' ;;
	esac
}
