# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# Linux's own drivers for the board's devices, written against the real
# parts, judge the models: the controller's platform driver (interrupt
# driven), i2c-dev with busybox's i2c tools, and the sensor's input driver
# (FIFO stream mode, INT1). 6.12 only: the image carries them from Debian's
# 6.12 package. accel and Linux's controller driver are never loaded
# together; each is unloaded before the other loads.
# shellcheck source=vboard/guest/tests/lib.sh
. /lib/vboard/testlib.sh

i2c_irqs() {
	awk '/ffc04000.i2c/ { print $2 }' /proc/interrupts
}

sensor_irqs() {
	awk '/0-0053/ { print $2 }' /proc/interrupts
}

# The boot loader routes the sensor's pins; Linux's drivers leave that to it.
devmem 0xFFD08704 32 0
devmem 0xFFD0849C 32 1
devmem 0xFFD084A0 32 1

check "modprobe i2c-designware-platform" modprobe i2c-designware-platform
check "modprobe i2c-dev" modprobe i2c-dev
expect_match "adapter 0 is the controller at 0xFFC04000" \
	"$(readlink -f /sys/bus/i2c/devices/i2c-0)" "/ffc04000\.i2c/i2c-0$"
check "/dev/i2c-0" test -c /dev/i2c-0

# Every address i2cdetect probes (with a read) is not acknowledged, but
# the sensor's.
scan=$(i2cdetect -y 0 2>/dev/null)
expect "i2cdetect finds 0x53 alone" "$(echo "$scan" | tail -n +2 | cut -c5- |
	grep -oE '[0-9a-f]{2}' | tr '\n' ' ')" "53 "
expect "i2cget DEVID" "$(i2cget -f -y 0 0x53 0x00)" "0xe5"

check "i2cset DATA_FORMAT" i2cset -f -y 0 0x53 0x31 0x0b
check "i2cset POWER_CTL" i2cset -f -y 0 0x53 0x2d 0x08
expect "DATA_FORMAT written" "$(reg DATA_FORMAT)" "0x0B"
board tilt 0 707 707
sleep 0.2
# Full resolution: 256 counts per g, so 181 on Y and Z.
burst=$(i2ctransfer -f -y 0 w1@0x53 0x32 r6)
expect "six-byte burst follows the tilt" "$burst" "0x00 0x00 0xb5 0x00 0xb5 0x00"
dump=$(i2cdump -f -y 0 0x53 b 2>&1)
check "i2cdump completes" test "$(echo "$dump" | wc -l)" -eq 17
expect_match "i2cdump: DEVID" "$dump" "^00: e5 "
expect "controller interrupts counted" "$(( $(i2c_irqs) > 0 ))" 1

check "modprobe evdev" modprobe evdev
check "modprobe adxl34x-i2c" modprobe adxl34x-i2c
check "input driver bound" test -e /sys/bus/i2c/drivers/adxl34x/0-0053
event=
for dev in /sys/class/input/event*; do
	grep -q "ADXL34x" "$dev/device/name" 2>/dev/null && event=/dev/input/${dev##*/}
done
check "input device" test -c "$event"
# usage: events_show DESCRIPTION REGEX: the events read so far show REGEX,
# within 10 s: the guest's interrupt thread and reader need its processor,
# which a busy host may hold back for longer than the board's moves take.
events_show() {
	i=0
	until od -An -v -tx1 -w16 /tmp/events.bin | grep -Eq "$2"; do
		i=$((i + 1))
		[ $i -lt 100 ] || { fail "$1: not among the events"; return; }
		sleep 0.1
	done
	pass
}
before=$(sensor_irqs)
# Opening the device starts measuring: events on each sample (INT1).
cat "$event" >/tmp/events.bin &
reader=$!
sleep 0.5
# struct input_event on 32-bit ARM: time (8 bytes), type, code, value.
board tilt 0 -1000 0
events_show "Y axis event at -1 g" " 03 00 01 00 00 ff ff ff *$"
sleep 0.5
board tap
events_show "tap: BTN_TOUCH pressed" " 01 00 4a 01 01 00 00 00 *$"
sleep 0.5
kill $reader
wait $reader 2>/dev/null
after=$(sensor_irqs)
expect "sensor interrupts counted" "$(( after - before > 10 ))" 1
expect "no time-out or abort in the kernel log" \
	"$(dmesg | grep -iE 'timed? ?out|abort|lost arbitration|controller active' || true)" ""

check "rmmod adxl34x-i2c" rmmod adxl34x-i2c adxl34x
check "rmmod i2c-dev" rmmod i2c-dev
check "rmmod i2c-designware-platform" rmmod i2c-designware-platform
check "insmod accel after Linux's drivers" insmod /modules/accel.ko
sleep 0.2
expect_match "accel record" "$(cat /dev/accel)" "^[ 0-9A-F]{2}( [- 0-9]{4}){3} 31$"
check "rmmod accel" rmmod accel
check "modprobe i2c-designware-platform after accel" modprobe i2c-designware-platform
check "modprobe i2c-dev again" modprobe i2c-dev
expect "i2cget after accel" "$(i2cget -f -y 0 0x53 0x00)" "0xe5"
expect_no_kernel_trouble
finish
