# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# The image itself: kernel series, mounts, console, busybox tools, the modules
# and programs it carries, and no module loaded for a script.
# shellcheck source=vboard/guest/tests/lib.sh
. /lib/vboard/testlib.sh

# The release the host built the image for, of the series asked for.
expect "kernel release" "$(uname -r)" "$VBOARD_RELEASE"
expect_match "kernel series" "$(uname -r)" "^${VBOARD_SERIES%%.*}\.${VBOARD_SERIES#*.}\.[0-9]"
expect "machine" "$(uname -m)" "armv7l"

mounts=$(cut -d' ' -f2,3 /proc/mounts)
for m in "/dev devtmpfs" "/proc proc" "/sys sysfs" "/tmp tmpfs"; do
	expect_match "mounted: $m" "$mounts" "^$m\$"
done
check "console is the serial port" grep -qx ttyAMA0 /sys/class/tty/console/active
check "/dev/null is a character device" test -c /dev/null

# Real busybox tools, as the drivers' tests use them.
expect "dd" "$(printf 'abcdef' | dd bs=2 count=2 2>/dev/null)" "abcd"
expect "head -c" "$(printf 'abcdef' | head -c 3)" "abc"
expect "printf and od" "$(printf '\033' | od -An -tx1 | tr -d ' ')" "1b"
expect "dmesg -r shows levels" "$(dmesg -r | head -n 1 | cut -c1)" "<"
have() {
	command -v "$1" >/dev/null
}
for tool in insmod rmmod lsmod modinfo timeout md5sum cmp hexdump devmem; do
	check "busybox has $tool" have "$tool"
done

for m in accel accel_cmd accel_basic panelio; do
	check "/modules/$m.ko in the image" test -f "/modules/$m.ko"
done
for p in board linefan linebounce; do
	check "$p in the image" test -x "/bin/$p"
done
expect "no module loaded" "$(cat /proc/modules)" ""
check "/dev/mem, for devmem" test -c /dev/mem
expect "vermagic names the kernel" "$(modinfo -F vermagic accel | cut -d' ' -f1)" "$(uname -r)"
# Floating point in processes side by side: the kernel gives each its own
# VFP registers on the trap of its first VFP instruction after a switch
# (FPEXC.EN clear), so a machine that did not trap would mix their sums.
harmonic_sums() {
	for k in 1 2 3; do
		awk -v k="$k" 'BEGIN { s = 0; for (i = 1; i <= 30000; i++) s += k / i
			printf "%d %.9f\n", k, s }' &
	done
	wait
}
expect "floating point in three processes at once" "$(harmonic_sums | sort)" \
	"1 10.886184992
2 21.772369984
3 32.658554976"

# The module index knows what the drivers need.
check "modprobe panelio" modprobe panelio
check "panelio loaded" grep -q '^panelio ' /proc/modules
check "rmmod panelio" rmmod panelio

expect_no_kernel_trouble
finish
