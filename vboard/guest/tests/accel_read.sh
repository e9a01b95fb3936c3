# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# accel on the virtual board, read side: each variant loads, gives one record
# of its format per read to end of file and unloads; the one-shot protocol on
# one descriptor; the board's tilt and taps in the records; samples at the
# programmed data rate; unload refused while the node is open; a sensor cut
# off the bus makes reads fail in bounded time, not hang. One check per
# variant, accel.read.VARIANT, of the variants VBOARD_VARIANTS names, loaded
# from VBOARD_MODULES (lib.sh).
# shellcheck source=vboard/guest/tests/lib.sh
. /lib/vboard/testlib.sh

counts='(-[0-9]{3}|[0-9]{4}) (-[0-9]{3}|[0-9]{4}) (-[0-9]{3}|[0-9]{4}) [0-9]{2}'
full_record="^[ 0-9A-F][0-9A-F] $counts\$"
flag_record="^[01] $counts\$"

# usage: expect_near DESCRIPTION RECORD FIELD MG: within one count of MG.
expect_near() {
	got=$(field_mg "$2" "$3")
	scale=$(echo "$2" | awk '{ print $5 + 0 }')
	d=$((got - $4))
	[ "$d" -lt 0 ] && d=$((-d))
	if [ "$scale" -gt 0 ] && [ "$d" -le "$scale" ]; then
		pass
	else
		fail "$1: $got mg in '$2', expected $4 mg"
	fi
}

# Sensor set-up at load, on a sensor fresh from power-on each time (its
# supply switched off and on).
full_init="DEVID 0xE5 THRESH_TAP 0x30 OFSX 0x00 OFSY 0x00 OFSZ 0x00 DUR 0x20 Latent 0x10 \
Window 0xFF TAP_AXES 0x07 BW_RATE 0x07 POWER_CTL 0x08 INT_ENABLE 0x60 DATA_FORMAT 0x03 "
short_init="DEVID 0xE5 THRESH_TAP 0x00 OFSX 0x00 OFSY 0x00 OFSZ 0x00 DUR 0x00 Latent 0x00 \
Window 0x00 TAP_AXES 0x00 BW_RATE 0x07 POWER_CTL 0x08 INT_ENABLE 0x00 DATA_FORMAT 0x03 "

# usage: read_check VARIANT   the check accel.read.VARIANT: each variant
# loads, sets the sensor up, gives one record of its format per read and
# unloads; the full variant is then read in depth.
read_check() {
	variant=$1
	board_at_rest
	load_module "$variant" || return
	check "$variant: /dev/accel" test -c /dev/accel || return
	# Before anything else touches the board: the sensor has been measuring
	# since the load, so the first record brings a sample (+1 g on Z).
	sleep 0.2
	first=$(read_node /dev/accel)
	if [ "$variant" = accel ]; then ready='^8[23] '; else ready='^1 '; fi
	expect_match "$variant: first record has new data" "$first" "$ready"
	expect_near "$variant: first record at rest" "$first" 4 1000
	if [ "$variant" = accel ]; then init=$full_init; else init=$short_init; fi
	expect "$variant: sensor set up at load" "$(board regs | tr '\n' ' ')" "$init"
	if [ "$variant" = accel ]; then re=$full_record len=21; else re=$flag_record len=20; fi
	expect_match "$variant: record" "$(read_node /dev/accel)" "$re"
	expect "$variant: cat reads one record" "$(read_node /dev/accel | wc -c)" "$len"
	expect "$variant: head -c 100 reads one record" \
		"$(bounded 10 head -c 100 /dev/accel | wc -c)" "$len"
	check "rmmod $variant" rmmod "$variant"
	check "$variant: node gone" test ! -e /dev/accel
	[ "$variant" != accel ] || read_in_depth
}

# The full variant: the read protocol, the board's moves in the records, the
# sample rate, unload while open, the sensor off the bus, a reload.
read_in_depth() {
	board reset sensor
	load_module accel || return
	sleep 0.2

	# One descriptor: a record, end of file, a fresh record.
	exec 3</dev/accel
	r1=$(bounded 10 dd bs=64 count=1 <&3 3<&- 2>/dev/null)
	r2=$(bounded 10 dd bs=64 count=1 <&3 3<&- 2>/dev/null)
	r3=$(bounded 10 dd bs=64 count=1 <&3 3<&- 2>/dev/null)
	exec 3<&-
	expect_match "first read" "$r1" "$full_record"
	expect "second read: end of file" "$r2" ""
	expect_match "third read" "$r3" "$full_record"

	# Two descriptors, each its own record before its own end of file.
	exec 3</dev/accel 4</dev/accel
	a=$(bounded 10 dd bs=64 count=1 <&3 3<&- 4<&- 2>/dev/null)
	b=$(bounded 10 dd bs=64 count=1 <&4 3<&- 4<&- 2>/dev/null)
	a2=$(bounded 10 dd bs=64 count=1 <&3 3<&- 4<&- 2>/dev/null)
	exec 3<&- 4<&-
	expect_match "descriptor 3 record" "$a" "$full_record"
	expect_match "descriptor 4 record" "$b" "$full_record"
	expect "descriptor 3 end of file" "$a2" ""

	# Once a record is begun, every later read of the descriptor continues it,
	# whatever its size: dd's five bytes and then cat's large buffer make one
	# record, and cat meets its end of file. (The last program is exec'd, and
	# dd has a timeout of its own: what timeout stops is all that reads. Its
	# ten seconds tell a read that never ends, not a slow one: a busy host
	# may hold the guest for a second.)
	mixed=$(timeout 10 sh -c 'exec 3</dev/accel
		timeout 10 dd bs=5 count=1 <&3 3<&- 2>/dev/null; exec cat <&3')
	expect "dd bs=5, then cat: ended by itself" $? 0
	expect_match "dd bs=5, then cat: one record" "$mixed" "$full_record"

	# The board's orientation shows in the counts, once a new sample is in.
	board tilt 0 0 1000
	sleep 0.3
	r=$(read_node /dev/accel)
	expect_near "flat: X" "$r" 2 0
	expect_near "flat: Z" "$r" 4 1000
	board tilt 500 -866 0
	sleep 0.3
	r=$(read_node /dev/accel)
	expect_near "tilted: X" "$r" 2 500
	expect_near "tilted: Y" "$r" 3 -866
	expect_near "tilted: Z" "$r" 4 0
	board tilt 0 0 1000

	# A tap is latched until the next read of INT_SOURCE reports it.
	board tap
	expect "single tap reported" $(($(int_source) & 0x40)) 64
	expect "single tap reported once" $(($(int_source) & 0x40)) 0
	board doubletap
	expect "double tap reported" $(($(int_source) & 0x20)) 32

	# New samples arrive at the programmed rate (BW_RATE code: 3200 Hz >>
	# (15 - code)), in real time. Shell builtins read the records, fast
	# enough to see every sample (no fork per record); a failed read is the
	# end of file between two records. At the driver's fastest rate, 25 Hz,
	# a second holds as many samples as two at the load's: a second of tight
	# reads is most of this test's time where guest time follows the
	# instructions (--icount). The reader is a shell of its own, bounded: a
	# read builtin that never returns cannot be otherwise.
	write_node /dev/accel 'rate 25\n'
	code=$(($(reg BW_RATE) & 15))
	rate_x10=$((32000 >> (15 - code)))
	# A stretch without reads longer than a sample period (the reader, or
	# the whole guest, not run while the host is busy) lets samples be
	# overwritten unseen: those are counted as missed, not as the driver's.
	# shellcheck disable=SC2016 # expanded by the reader's shell
	counts=$(bounded 10 sh -c '
		uptime_cs() { # sets now: centiseconds since boot
			read -r up _ </proc/uptime
			now=${up%.*}${up#*.}
		}
		period_cs=$((1000 / $1))
		exec 3</dev/accel
		uptime_cs
		end=$((now + 100)) last=$now
		reads=0 fresh=0 missed=0
		while uptime_cs && [ "$now" -lt "$end" ]; do
			[ $((now - last)) -gt "$period_cs" ] &&
				missed=$((missed + (now - last) / period_cs - 1))
			last=$now
			IFS= read -r record <&3 || continue
			reads=$((reads + 1))
			case $record in [89A-F]*) fresh=$((fresh + 1)) ;; esac
		done
		echo "$reads $fresh $missed"' - "$rate_x10")
	reads=${counts%% *} missed=${counts##* } fresh=${counts#* } fresh=${fresh% *}
	expected=$((rate_x10 / 10))
	echo "accel: ${reads:-no} records in 1 s, ${fresh:-no} with a new sample, at $((rate_x10 / 10)).$((rate_x10 % 10)) Hz (${missed:-no} sample periods unread)"
	lo=$(((expected - ${missed:-0}) * 8 / 10)) hi=$((expected * 12 / 10 + 1))
	if [ "${fresh:-0}" -ge "$lo" ] && [ "${fresh:-0}" -le "$hi" ]; then
		pass
	else
		fail "new samples: ${fresh:-none}, expected $lo to $hi"
	fi

	exec 3</dev/accel
	if rmmod accel 2>/dev/null; then fail "rmmod with /dev/accel open"; else pass; fi
	exec 3<&-

	# A sensor off the bus: the read fails, in bounded time, and the driver
	# recovers once it is back.
	board sensor off
	# busybox timeout kills with SIGTERM (status 143), bounded does not run
	# after a hang (124): a status below 124 is an operation that ended by
	# itself.
	start=$(date +%s)
	bounded 20 cat /dev/accel >/dev/null 2>&1
	expect "read with the sensor off fails by itself" $? 1
	took=$(($(date +%s) - start))
	check "read with the sensor off ends within 10 s (took ${took}s)" test "$took" -le 10
	start=$(date +%s)
	bounded 20 sh -c 'echo device >/dev/accel' 2>/dev/null
	expect "device command with the sensor off fails by itself" $? 1
	# A command of writes alone may not notice; it must still end by itself.
	bounded 20 sh -c 'echo rate 25 >/dev/accel' 2>/dev/null
	status=$?
	check "rate command with the sensor off ends by itself (status $status)" test "$status" -lt 124
	took=$(($(date +%s) - start))
	check "commands with the sensor off end within 10 s (took ${took}s)" test "$took" -le 10
	board sensor on
	sleep 0.2
	expect_match "read with the sensor back" "$(read_node /dev/accel)" "$full_record"

	# The board keeps its state while no driver is loaded.
	board tilt 0 1000 0
	check "rmmod accel" rmmod accel
	load_module accel || return
	sleep 0.3
	r=$(read_node /dev/accel)
	expect_match "record after reload" "$r" "$full_record"
	expect_near "tilt kept across the reload: Y" "$r" 3 1000
	check "rmmod accel" rmmod accel
}

# INT_SOURCE of a record, as a number.
int_source() {
	printf '%d' "0x$(read_node /dev/accel | cut -c1-2 | tr -d ' ')"
}

for variant in accel accel_cmd accel_basic; do
	variant_wanted $variant || continue
	run_check accel.read.$variant read_check $variant
done
finish
