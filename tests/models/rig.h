/* SPDX-License-Identifier: GPL-2.0-or-later */
// Drives the board models the way a driver does: 32-bit loads and stores at
// physical addresses, register accesses as command-word sequences, bounded
// polls of the receive level.
#ifndef TESTS_MODELS_RIG_H
#define TESTS_MODELS_RIG_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "models/adxl345_regs.h"
#include "models/board.h"
#include "models/i2c0_regs.h"
#include "models/panel_ports_regs.h"
#include "models/sysmgr_regs.h"

namespace rig {

using namespace models;

const uint32_t WRITE_ADDR = 0x400; // restart bit: opens an access
const uint32_t READ = 0x100;
// Nine SCL periods of (90 + 8) + (160 + 1) cycles at 100 MHz.
const uint64_t BYTE_NS_90_160 = 23310;
const int POLL_LIMIT = 200000; // 20 ms of board time

struct Rig {
	std::unique_ptr<Board> owner{new Board()};
	Board *b = owner.get();

	Rig()
	{
		board_reset(b);
	}

	void i2c_w(uint32_t off, uint32_t v)
	{
		board_write32(b, I2C0_BASE + off, v);
	}
	uint32_t i2c_r(uint32_t off)
	{
		return board_read32(b, I2C0_BASE + off);
	}
	void cmd(uint32_t word)
	{
		i2c_w(I2C_DATA_CMD, word);
	}

	void route_pins()
	{
		board_write32(b, SYSMGR_BASE + SYSMGR_I2C0_ROUTING, 0);
		board_write32(b, SYSMGR_BASE + SYSMGR_SENSOR_PIN0, 1);
		board_write32(b, SYSMGR_BASE + SYSMGR_SENSOR_PIN1, 1);
	}

	// True when the enable status reads `on` within the poll limit.
	bool wait_enabled(bool on)
	{
		for (int polls = 0; polls < POLL_LIMIT; polls++)
			if ((i2c_r(I2C_ENABLE_STATUS) & I2C_ENABLE_STATUS_EN) == (on ? 1u : 0u))
				return true;
		return false;
	}

	// Aborts whatever the controller does, as the register descriptions
	// allow: enable set, and set long enough.
	void abort()
	{
		if (!(i2c_r(I2C_ENABLE) & I2C_ENABLE_EN)) {
			i2c_w(I2C_ENABLE, I2C_ENABLE_EN);
			board_advance(b, I2C_ENABLE_SETTLE_NS);
		}
		i2c_w(I2C_ENABLE, I2C_ENABLE_EN | I2C_ENABLE_ABORT);
	}

	// Disable, configure, enable, and clear any abort state left.
	void setup_controller(uint32_t hcnt = 90, uint32_t lcnt = 160, uint32_t con = 0x65,
			      uint32_t tar = SENSOR_ADDRESS)
	{
		i2c_w(I2C_ENABLE, 0);
		wait_enabled(false);
		i2c_w(I2C_CON, con);
		i2c_w(I2C_TAR, tar);
		i2c_w(I2C_FS_HCNT, hcnt);
		i2c_w(I2C_FS_LCNT, lcnt);
		i2c_w(I2C_ENABLE, I2C_ENABLE_EN);
		i2c_r(I2C_CLR_INTR);
	}

	void bring_up()
	{
		route_pins();
		setup_controller();
	}

	void reg_write(uint8_t reg, uint8_t value)
	{
		cmd(WRITE_ADDR | reg);
		cmd(value);
	}

	// Collects n received bytes; false when they do not all arrive.
	bool collect(uint8_t *out, size_t n)
	{
		for (size_t i = 0; i < n; i++) {
			int polls = 0;
			while (i2c_r(I2C_RXFLR) == 0)
				if (++polls == POLL_LIMIT)
					return false;
			out[i] = (uint8_t)i2c_r(I2C_DATA_CMD);
		}
		return true;
	}

	bool multi_read(uint8_t reg, uint8_t *out, size_t n)
	{
		cmd(WRITE_ADDR | reg);
		for (size_t i = 0; i < n; i++)
			cmd(READ);
		return collect(out, n);
	}

	// The register's value, or -1 when no byte arrives.
	int read_reg(uint8_t reg)
	{
		uint8_t v;
		return multi_read(reg, &v, 1) ? v : -1;
	}

	// Lets the controller finish everything queued.
	void settle()
	{
		for (int i = 0; i < 100000 && (b->i2c0.tx_count || b->i2c0.in_flight); i++)
			board_advance(b, 1000);
	}

	std::array<int16_t, 3> xyz()
	{
		uint8_t d[6] = {};
		multi_read(ADXL_DATAX0, d, 6);
		std::array<int16_t, 3> v;
		for (int k = 0; k < 3; k++)
			v[k] = (int16_t)(d[2 * k] | d[2 * k + 1] << 8);
		return v;
	}

	// Polls INT_SOURCE until DATA_READY, as a driver's data-ready check does,
	// for at most 2 s of board time.
	bool wait_data_ready()
	{
		uint64_t give_up = b->now_ns + 2000000000ull;
		while (b->now_ns < give_up) {
			int v = read_reg(ADXL_INT_SOURCE);
			if (v >= 0 && (v & 0x80))
				return true;
		}
		return false;
	}

	// Standby, configuration, measurement.
	void measure(uint8_t format, uint8_t rate)
	{
		reg_write(ADXL_POWER_CTL, 0x00);
		reg_write(ADXL_DATA_FORMAT, format);
		reg_write(ADXL_BW_RATE, rate);
		reg_write(ADXL_POWER_CTL, 0x08);
		settle();
	}
};

} // namespace rig

#endif
