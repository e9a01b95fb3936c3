# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# accel commands on the virtual board, written as printf writes them: their
# effect on the sensor's registers (read back with board regs), on the
# records, and their kernel log lines at level 3. The basic variant refuses
# writes. One check per variant, accel.commands.VARIANT, of the variants
# VBOARD_VARIANTS names, loaded from VBOARD_MODULES (lib.sh).
# shellcheck source=vboard/guest/tests/lib.sh
. /lib/vboard/testlib.sh

# usage: command TEXT EXPECTED-LOG   (TEXT written with printf, as is)
command() {
	klog_mark
	write_node /dev/accel "$1" || fail "write '$1' refused"
	expect "log of '$1'" "$(klog_new)" "$2"
	expect "measuring after '$1'" "$(reg POWER_CTL)" 0x08
}

# usage: send TEXT   a command the test does not judge (TEXT as printf's)
send() {
	write_node /dev/accel "$1"
}

# The full variant: every command.
full_commands() {
	board_at_rest
	load_module accel || return
	init_regs=$(board regs)

	# format: DATA_FORMAT low bits and the record's scale; offsets cleared. A
	# record shows its sample's scale: the first sample of the new format comes
	# one output period (80 ms) after the command.
	board bias 40 -40 40
	send 'calibrate\n'
	command 'format 1 16\n' ""
	expect "format 1 16: DATA_FORMAT" "$(reg DATA_FORMAT)" 0x0B
	expect "format 1 16: OFSX cleared" "$(reg OFSX)" 0x00
	expect "format 1 16: OFSZ cleared" "$(reg OFSZ)" 0x00
	sleep 0.2
	expect "format 1 16: scale" "$(read_node /dev/accel | cut -c19-20)" 04
	command 'format 0 16' ""
	expect "format 0 16: DATA_FORMAT" "$(reg DATA_FORMAT)" 0x03
	sleep 0.2
	expect "format 0 16: scale" "$(read_node /dev/accel | cut -c19-20)" 31
	command 'format 0 2' ""
	expect "format 0 2: DATA_FORMAT" "$(reg DATA_FORMAT)" 0x00
	command 'format 5 8' ""
	expect "format 5 8: DATA_FORMAT" "$(reg DATA_FORMAT)" 0x0A
	command 'format 0 3' "<3>/dev/accel: bad range value 3"
	expect "format 0 3: DATA_FORMAT kept" "$(reg DATA_FORMAT)" 0x0A
	command 'format 1' "<3>/dev/accel: can't parse user input format 1"
	# Numbers and blanks as the kernel's sscanf reads them, as on the host: no
	# leading '+'; 0xA0 separates words.
	command 'format +1 8' "<3>/dev/accel: can't parse user input format +1 8"
	expect "format +1 8: DATA_FORMAT kept" "$(reg DATA_FORMAT)" 0x0A
	command 'format\2401\2402' ""
	expect "format with 0xA0 blanks" "$(reg DATA_FORMAT)" 0x08

	# rate: BW_RATE, and only the offered rates.
	command 'rate 25' ""
	expect "rate 25" "$(reg BW_RATE)" 0x08
	command 'rate 12.5\n' ""
	expect "rate 12.5" "$(reg BW_RATE)" 0x07
	command 'rate 0.78' ""
	expect "rate 0.78" "$(reg BW_RATE)" 0x03
	command 'rate 3.13' "<3>/dev/accel: bad rate 3.13 (use 25, 12.5, 6.25, 1.56, or 0.78)"
	expect "rate 3.13: BW_RATE kept" "$(reg BW_RATE)" 0x03
	command 'rate' "<3>/dev/accel: can't parse user input: rate"

	# device, against the model's DEVID.
	command 'device' "<3>/dev/accel: ADXL345 device ID is 0xE5"
	board devid 3c
	command 'device' "<3>/dev/accel: found wrong device ID 0x3C"
	board devid e5

	command 'Init' "<3>/dev/accel: received unrecognized command Init"
	command 'calibrateXYZ' "<3>/dev/accel: received unrecognized command calibrateXY"
	# init restores the start-up configuration.
	command 'init now' ""
	expect "init: registers as after load" "$(board regs)" "$init_regs"

	# The help banner: eight lines, level 3.
	klog_mark
	send '--\n'
	expect "help banner" "$(klog_new)" "<3>Varnex FPGA sample device driver
<3>Returns: int_source accel_x accel_y accel_z mg/lsb
<3>Usage: --
<3>       init
<3>       calibrate
<3>       device
<3>       format F GG, where F=1 means full res, GG = {2,4,8,16} G
<3>       rate R, where R = {25,12.5,6.25,1.56,0.78} Hz"

	# Calibration against a bias right after a format change, with a sample of
	# the format before left waiting: at 16 g and 10 bits, afterwards within one
	# offset LSB (15.6 mg) of 0, 0, 1 g; it samples 64 times at 100 Hz. (At 4 mg
	# per count the scale's rounding alone leaves 23 mg on Z: 250 counts taken
	# for the 256 of 1 g.)
	board tilt 0 0 1000
	board bias 70 -55 -90
	send 'format 1 2\n'
	sleep 0.2
	send 'format 0 16\n'
	read -r t0 _ </proc/uptime
	send 'calibrate\n'
	read -r t1 _ </proc/uptime
	took=$(echo "$t0 $t1" | awk '{ printf "%d", ($2 - $1) * 100 }')
	check "calibration took about 0.64 s or more (${took} cs)" test "$took" -ge 60
	check "calibration took under 2 s (${took} cs)" test "$took" -lt 200
	# The offset registers (signed, 15.6 mg per LSB) cancel the bias.
	for axis in "X 70" "Y -55" "Z -90"; do
		# shellcheck disable=SC2086 # an axis and its bias
		set -- $axis
		ofs=$(($(reg "OFS$1")))
		[ "$ofs" -gt 127 ] && ofs=$((ofs - 256))
		left=$(awk -v o="$ofs" -v b="$2" 'BEGIN { d = o * 15.6 + b; print (d * d <= 15.6 * 15.6) ? "yes" : "no: " d " mg" }')
		expect "calibration: OFS$1 ($ofs) cancels the bias of $2 mg" "$left" yes
	done
	expect "calibration kept BW_RATE" "$(reg BW_RATE)" "$(echo "$init_regs" | awk '$1 == "BW_RATE" { print $2 }')"
	sleep 0.3
	r=$(read_node /dev/accel)
	# One offset LSB is 15.6 mg.
	within=$(echo "$r" | awk -v lsb=15.6 '
		function dec(s,  neg) { neg = sub(/^-/, "", s); sub(/^0+/, "", s); return neg ? -s : s + 0 }
		{ x = dec($2) * $5; y = dec($3) * $5; z = dec($4) * $5 - 1000
		  print (x * x <= lsb * lsb && y * y <= lsb * lsb && z * z <= lsb * lsb) ? "yes" : "no: " x " " y " " z }')
	expect "calibrated record $r within 15.6 mg of 0, 0, 1 g" "$within" yes

	# The sampling busy-polls for most of a second, yet lets other tasks run: a
	# task sleeping 0.2 s, started with the calibration, wakes before it ends.
	(sleep 0.2; read -r woke _ </proc/uptime; echo "$woke" >/tmp/woke) &
	send 'calibrate\n'
	read -r t1 _ </proc/uptime
	wait
	expect "a sleeper wakes during calibration (woke $(cat /tmp/woke), calibration ended $t1)" \
		"$(awk -v t1="$t1" '{ print ($1 < t1) ? "yes" : "no" }' /tmp/woke)" yes
	board bias 0 0 0

	# A tilt after a format shows at the new scale.
	send 'format 0 2\n'
	send 'init\n'
	board tilt 0 -1000 0
	sleep 0.3
	r=$(read_node /dev/accel)
	expect "tilt at 31 mg per count" "$(echo "$r" | cut -c9-12,19-20)" "-03231"
	board tilt 0 0 1000
	check "rmmod accel" rmmod accel
}

# The command variant: the same commands, a six-line banner.
cmd_commands() {
	board_at_rest
	load_module accel_cmd || return
	command 'rate 25' ""
	expect "accel_cmd: rate 25" "$(reg BW_RATE)" 0x08
	klog_mark
	send '--\n'
	expect "accel_cmd: six banner lines" "$(klog_new | wc -l)" 6
	expect "accel_cmd: banner starts" "$(klog_new | head -n 1)" "<3>Usage: --"
	check "rmmod accel_cmd" rmmod accel_cmd
}

# The basic variant has no write operation.
basic_commands() {
	board_at_rest
	load_module accel_basic || return
	before=$(board regs)
	if send 'init\n' 2>/dev/null; then fail "accel_basic took a write"; else pass; fi
	expect "accel_basic: registers untouched by the write" "$(board regs)" "$before"
	check "rmmod accel_basic" rmmod accel_basic
}

variant_wanted accel && run_check accel.commands.accel full_commands
variant_wanted accel_cmd && run_check accel.commands.accel_cmd cmd_commands
variant_wanted accel_basic && run_check accel.commands.accel_basic basic_commands
finish
