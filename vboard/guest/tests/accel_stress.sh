# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# Several readers of /dev/accel and /dev/KEY and a command writer at once for
# a few seconds while the board moves: every record stays well-formed and the
# kernel logs no warning or oops.
# shellcheck source=vboard/guest/tests/lib.sh
. /lib/vboard/testlib.sh

check "insmod accel" insmod /modules/accel.ko
check "insmod panelio" insmod /modules/panelio.ko
seconds=4
echo "stress: $(grep -c ^processor /proc/cpuinfo) processors"

full_record='^[ 0-9A-F][0-9A-F]( (-[0-9]{3}|[0-9]{4})){3} (04|08|16|31)$'

# Reads whole records (one read each, with room for a record) until the
# time is up; the records go to the file $1.
reader() {
	read -r up _ </proc/uptime
	end=$((${up%.*} + seconds))
	while read -r up _ </proc/uptime && [ "${up%.*}" -lt "$end" ]; do
		dd if="$2" bs=64 count=1 2>/dev/null
	done >"$1"
}

writer() {
	read -r up _ </proc/uptime
	end=$((${up%.*} + seconds))
	n=0
	while read -r up _ </proc/uptime && [ "${up%.*}" -lt "$end" ]; do
		for text in "rate 25" "format 0 16" "rate 12.5" "format 1 4" "device" "init"; do
			echo "$text" >/dev/accel || echo "refused: $text"
			n=$((n + 1))
		done
	done >"$1"
	echo "$n" >>"$1"
}

mover() {
	read -r up _ </proc/uptime
	end=$((${up%.*} + seconds))
	while read -r up _ </proc/uptime && [ "${up%.*}" -lt "$end" ]; do
		board tilt 300 -400 800
		board press 3
		board tilt -700 0 700
		board tap
	done
}

reader /tmp/accel1 /dev/accel &
reader /tmp/accel2 /dev/accel &
reader /tmp/accel3 /dev/accel &
reader /tmp/key /dev/KEY &
writer /tmp/writer &
mover &
wait

total=0
for f in /tmp/accel1 /tmp/accel2 /tmp/accel3; do
	n=$(wc -l <"$f")
	total=$((total + n))
	# Every reader gets records: how many is the host's business (a busy
	# host holds the guest).
	check "$f: records read ($n)" test "$n" -gt 0
	bad=$(grep -cvE "$full_record" "$f")
	expect "$f: malformed records" "$bad" 0
	[ "$bad" -eq 0 ] || grep -vE "$full_record" "$f" | head -n 3
done
expect "/dev/KEY records malformed" "$(grep -cvE '^[0-9A-F]$' /tmp/key)" 0
check "/dev/KEY records read" test "$(wc -l </tmp/key)" -gt 0
expect "writes refused" "$(grep -c refused /tmp/writer)" 0
writes=$(tail -n 1 /tmp/writer)
check "commands written ($writes)" test "$writes" -gt 10
echo "stress: $total accel records, $(wc -l </tmp/key) KEY records, $writes commands in $seconds s"

check "rmmod accel" rmmod accel
check "rmmod panelio" rmmod panelio
expect_no_kernel_trouble
finish
