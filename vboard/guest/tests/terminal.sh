# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# The console programs on the virtual board, writing to a file as to a
# terminal: the pictures an 80x24 ANSI terminal shows from their bytes, and
# the terminal restored when they end. Two checks, linefan and linebounce, of
# the programs VBOARD_PROGRAMS holds (lib.sh). Programs from elsewhere are
# also held to the image's linefan byte for byte, which vboard.linefan-stream
# holds to the host build's.
# shellcheck source=vboard/guest/tests/lib.sh
. /lib/vboard/testlib.sh

# usage: screens FILE   what a terminal shows from the bytes in FILE: every
# picture that an erase (ESC [2J) takes off the screen, and the one left at
# the end, each as "screen shown|hidden" (the cursor) and 24 rows of 80
# cells, "." for an empty one, a '*' as the digit of its colour (30 + digit),
# anything else as "?"; then "end cursor shown|hidden at ROW;COLUMN colour N".
# The programs' sequences only: colour, cursor position, erase, the cursor
# hidden and shown.
screens() {
	tr '\033\n' '\n\001' <"$1" | awk '
		function clear(r) {
			for (r = 1; r <= 24; r++)
				row[r] = blank
			drawn = 0
		}
		function show(r) {
			print "screen " (shown ? "shown" : "hidden")
			for (r = 1; r <= 24; r++)
				print row[r]
		}
		function put(text, i, cell) {
			for (i = 1; i <= length(text); i++) {
				cell = substr(text, i, 1) != "*" ? "?" : \
					colour >= 30 && colour <= 37 ? colour - 30 : "?"
				if (y >= 1 && y <= 24 && x >= 1 && x <= 80) {
					row[y] = substr(row[y], 1, x - 1) cell substr(row[y], x + 1)
					drawn = 1
				}
				x++
			}
		}
		BEGIN {
			blank = sprintf("%80s", "")
			gsub(/ /, ".", blank)
			clear()
			x = y = 1
			colour = 0
			shown = 1
		}
		# Each line but the first is an escape sequence and the text after it.
		NR == 1 {
			put($0)
			next
		}
		!match($0, /^\[[0-9;? ]*[@-~]/) {
			put($0)
			next
		}
		{
			seq = substr($0, 2, RLENGTH - 2)
			op = substr($0, RLENGTH, 1)
			gsub(/ /, "", seq)
			if (op == "J" && seq == "2") {
				if (drawn)
					show()
				clear()
			} else if (op == "m") {
				n = split(seq, p, ";")
				colour = n ? p[n] + 0 : 0
			} else if (op == "H") {
				split(seq, p, ";")
				y = p[1] == "" ? 1 : p[1] + 0
				x = p[2] == "" ? 1 : p[2] + 0
			} else if (seq == "?25") {
				shown = op == "h"
			}
			put(substr($0, RLENGTH + 1))
		}
		END {
			if (drawn)
				show()
			print "end cursor " (shown ? "shown" : "hidden") " at " y ";" x " colour " colour
		}'
}

restored="end cursor shown at 1;1 colour 37"

# linefan's fan: seven lines from the bottom-left cell, yellow, cyan, white
# and red to the right-hand edge, green, blue and magenta to the top; where
# lines cross, the later one shows.
fan="screen hidden
5..................4...................2........................................
5.................4..................22.........................................
5................4.................22.........................................11
5...............4.................2.......................................1111..
5...............4...............22....................................1111......
5..............4..............22..................................1111..........
5.............4.............22.................................111..............
5............4.............2...............................1111.................
5...........4............22............................1111.....................
5...........4..........22..........................1111......................777
5..........4..........2........................1111....................777777...
5.........4.........22......................111..................777777.........
5........4........22....................1111................77777...............
5.......4........2..................1111..............777777....................
5......4.......22...............1111............777777..........................
5......4.....22..............111...........77777................................
5.....4....22............1111........777777...............................666666
5....4....2..........1111......777777.........................666666666666......
5...4...22.......1111.....77777....................66666666666..................
5..4..22......111...777777..............66666666666.............................
5.4..2....1111.77777.........66666666666........................................
5.422.111177777..666666666666...................................................
54211177766666666...............................................................
51766633333333333333333333333333333333333333333333333333333333333333333333333333"

linefan_check() {
	need_program linefan || return
	program=$(program_path linefan)
	# The fan must be up while linefan waits for its key: the key comes once
	# its output has not grown for half a second.
	rm -f /tmp/linefan.key
	mkfifo /tmp/linefan.key
	timeout 20 "$program" </tmp/linefan.key >/tmp/linefan.out 2>/tmp/linefan.err &
	pid=$!
	exec 4>/tmp/linefan.key
	size=0 quiet=0 polls=0
	while [ $quiet -lt 5 ] && [ $polls -lt 100 ]; do
		sleep 0.1
		now=$(wc -c </tmp/linefan.out)
		if [ "$now" -gt 0 ] && [ "$now" -eq "$size" ]; then quiet=$((quiet + 1)); else quiet=0; fi
		size=$now polls=$((polls + 1))
	done
	cp /tmp/linefan.out /tmp/linefan.waiting
	# A linefan gone already takes no key: the write fails (SIGPIPE) in a
	# shell of its own.
	(echo >&4) 2>/dev/null
	exec 4>&-
	wait $pid
	status=$?
	expect_text "linefan: the fan while it waits for a key" \
		"$(screens /tmp/linefan.waiting | sed '$d')" "$fan"
	err=$(cat /tmp/linefan.err)
	expect "linefan: exit status after the key${err:+ ($err)}" $status 0
	expect_text "linefan: after the key, the fan erased and the terminal restored" \
		"$(screens /tmp/linefan.out | sed 1,25d)" "$restored"
	# The image's own linefan writes what the host build does.
	if [ "$(readlink -f "$program")" != /bin/linefan ]; then
		echo | timeout 20 /bin/linefan >/tmp/linefan.image
		check "linefan: the same bytes as the image's linefan: $(cmp /tmp/linefan.image /tmp/linefan.out 2>&1)" \
			cmp -s /tmp/linefan.image /tmp/linefan.out
	fi
}

# usage: bounce N   linebounce's first N frames, each a yellow line of 40
# cells a row lower, then the terminal restored
bounce() {
	awk -v n="$1" -v restored="$restored" 'BEGIN {
		blank = sprintf("%80s", "")
		gsub(/ /, ".", blank)
		line = sprintf("%40s", "")
		gsub(/ /, "3", line)
		line = line substr(blank, 41)
		for (frame = 1; frame <= n; frame++) {
			print "screen hidden"
			for (r = 1; r <= 24; r++)
				print r == frame ? line : blank
		}
		print restored
	}'
}

linebounce_check() {
	need_program linebounce || return
	# Ctrl-C after two seconds: frames at 0, 0.5, 1 and 1.5 s, and one at
	# 2 s perhaps. A program that ignores it is killed 5 s later.
	timeout -s INT -k 5 2 "$(program_path linebounce)" >/tmp/linebounce.out 2>/tmp/linebounce.err
	status=$?
	err=$(cat /tmp/linebounce.err)
	expect "linebounce: exit status after Ctrl-C${err:+ ($err)}" $status 0
	shown=$(screens /tmp/linebounce.out)
	frames=$(echo "$shown" | grep -c '^screen')
	check "linebounce: a frame every half second, 4 or 5 before Ctrl-C at 2 s: $frames frames" \
		test "$frames" -ge 4 -a "$frames" -le 5
	expect_text "linebounce: the line down the screen, then the terminal restored" \
		"$shown" "$(bounce "$frames")"
}

run_check linefan linefan_check
run_check linebounce linebounce_check
finish
