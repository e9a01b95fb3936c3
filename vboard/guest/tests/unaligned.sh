# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# Unaligned loads and stores to the board's windows take the processor's
# alignment fault, as unaligned accesses to Device memory do on the board,
# and nothing reaches the device: a latched abort stays latched, a received
# byte stays queued, the enable register keeps its value. Aligned accesses
# of every width still work.
# shellcheck source=vboard/guest/tests/lib.sh
. /lib/vboard/testlib.sh

I2C=0xFFC04000 SYSMGR=0xFFD08000 PORTS=0xFF200000
IC_CON=0x00 IC_TAR=0x04 IC_DATA_CMD=0x10 IC_CLR_INTR=0x40 IC_ENABLE=0x6C
IC_RXFLR=0x78 IC_TX_ABRT_SOURCE=0x80 IC_ENABLE_STATUS=0x9C
SWITCHES=0x40
SIGBUS_STATUS=135

i2c() {
	devmem $((I2C + $1)) 32 ${2+"$2"}
}

# usage: faults DESCRIPTION ADDRESS BITS [VALUE]: the access ends memaccess
# with SIGBUS and the kernel logs the alignment trap.
faults() {
	what=$1
	shift
	klog_mark
	memaccess "$@" >/dev/null 2>&1
	expect "$what: SIGBUS" $? $SIGBUS_STATUS
	expect_match "$what: alignment trap logged" "$(klog_new)" "Alignment trap: memaccess"
}

# Linux fixes a program's unaligned access up with byte accesses by
# default; here it is to report it and signal the program instead.
echo 5 >/proc/cpu/alignment

board switches 2a5
expect "aligned 32-bit load" "$(memaccess $((PORTS + SWITCHES)) 32)" 0x000002A5
expect "aligned 8-bit load" "$(memaccess $((PORTS + SWITCHES + 1)) 8)" 0x00000002
faults "16-bit load across two registers" $((PORTS + SWITCHES + 3)) 16

# An abort latched: the pins are not routed yet, so nobody answers.
i2c $IC_ENABLE 1
i2c $IC_DATA_CMD 0x100
sleep 0.1
abort=$(i2c $IC_TX_ABRT_SOURCE)
check "abort latched" [ $((abort)) -ne 0 ]
# Split, this load would read the combined interrupt clear at 0x40.
faults "32-bit load at 0x3D" $((I2C + 0x3D)) 32
expect "the abort is still latched" "$(i2c $IC_TX_ABRT_SOURCE)" "$abort"
faults "32-bit store at 0x6D" $((I2C + IC_ENABLE + 1)) 32 0
expect "enable kept" $(($(i2c $IC_ENABLE))) 1

# A received byte waiting: DEVID, read by hand.
i2c $IC_CLR_INTR >/dev/null
i2c $IC_ENABLE 0
devmem $((SYSMGR + 0x704)) 32 0
devmem $((SYSMGR + 0x49C)) 32 1
devmem $((SYSMGR + 0x4A0)) 32 1
i2c $IC_CON 0x65
i2c $IC_TAR 0x53
i2c $IC_ENABLE 1
i2c $IC_DATA_CMD 0x400
i2c $IC_DATA_CMD 0x100
sleep 0.1
expect "one byte received" $(($(i2c $IC_RXFLR))) 1
faults "32-bit load at 0x0D" $((I2C + IC_DATA_CMD - 3)) 32
faults "16-bit load at 0x0F" $((I2C + IC_DATA_CMD - 1)) 16
expect "the byte is still queued" $(($(i2c $IC_RXFLR))) 1
expect "and it is DEVID" "$(i2c $IC_DATA_CMD)" 0x000000E5
expect "enable status" $(($(i2c $IC_ENABLE_STATUS))) 1

expect_no_kernel_trouble
finish
