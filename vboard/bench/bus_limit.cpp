// SPDX-License-Identifier: GPL-2.0-or-later
// bus_limit: the board time the I2C controller model needs for the sensor
// accesses of one /dev/accel record, from the first command word stored to
// the last byte received, with nothing else in the way: the bus limit that
// measured record rates are compared with.
//
// Output, one line: int_source_ns N burst_ns N
//   int_source_ns  one INT_SOURCE read (every record)
//   burst_ns       the six-byte read of a new sample (records with one)
#include <cstdint>
#include <cstdio>

#include "models/adxl345_regs.h"
#include "models/board.h"
#include "models/i2c0_regs.h"
#include "models/sysmgr_regs.h"

namespace {

using namespace models;

const uint64_t STEP_NS = 10;

// The controller set up as the driver sets it up, the sensor measuring.
void bring_up(Board *b)
{
	board_reset(b);
	sysmgr_write(&b->sysmgr, SYSMGR_I2C0_ROUTING, 0);
	sysmgr_write(&b->sysmgr, SYSMGR_SENSOR_PIN0, SYSMGR_PIN_FUNC_I2C0);
	sysmgr_write(&b->sysmgr, SYSMGR_SENSOR_PIN1, SYSMGR_PIN_FUNC_I2C0);
	i2c0_write(b, I2C_CON,
		   I2C_CON_MASTER | 2u << I2C_CON_SPEED_SHIFT | I2C_CON_RESTART_EN |
			   I2C_CON_SLAVE_DISABLE);
	i2c0_write(b, I2C_TAR, SENSOR_ADDRESS);
	i2c0_write(b, I2C_FS_HCNT, 90);
	i2c0_write(b, I2C_FS_LCNT, 160);
	i2c0_write(b, I2C_ENABLE, I2C_ENABLE_EN);
	i2c0_write(b, I2C_DATA_CMD, I2C_CMD_RESTART | ADXL_POWER_CTL);
	i2c0_write(b, I2C_DATA_CMD, ADXL_POWER_CTL_MEASURE);
	board_advance(b, 1000000);
}

// Board time of one register read of len bytes from reg.
uint64_t read_ns(Board *b, uint8_t reg, unsigned len)
{
	uint64_t start = b->now_ns;
	i2c0_write(b, I2C_DATA_CMD, I2C_CMD_RESTART | reg);
	for (unsigned i = 0; i < len; i++)
		i2c0_write(b, I2C_DATA_CMD, I2C_CMD_READ);
	for (unsigned got = 0; got < len;) {
		board_advance(b, STEP_NS);
		for (; i2c0_read(b, I2C_RXFLR); got++)
			i2c0_read(b, I2C_DATA_CMD);
	}
	return b->now_ns - start;
}

} // namespace

int main()
{
	static Board board;
	bring_up(&board);
	uint64_t int_source = read_ns(&board, ADXL_INT_SOURCE, 1);
	uint64_t burst = read_ns(&board, ADXL_DATAX0, 6);
	printf("int_source_ns %llu burst_ns %llu\n", (unsigned long long)int_source,
	       (unsigned long long)burst);
	return 0;
}
