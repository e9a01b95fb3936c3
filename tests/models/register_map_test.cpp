// SPDX-License-Identifier: GPL-2.0-or-later
// The register map the models and the accelerometer driver are written
// against, pinned to the published offsets and bits: every other test names
// registers through these headers, so a wrong name shows here, once.
#include <gtest/gtest.h>

#include <cstdint>

#include "accel/adxl345.h"
#include "accel/i2c0.h"
#include "models/adxl345_regs.h"
#include "models/board.h"
#include "models/i2c0_regs.h"
#include "models/panel_ports_regs.h"
#include "models/sysmgr_regs.h"

namespace {

const uint64_t NO_DRIVER_NAME = UINT64_MAX; // panelio keeps its offsets to itself

struct Entry {
	const char *name;
	uint64_t model;	 // the models' name
	uint64_t driver; // the driver's name
	uint64_t value;	 // as published
};

const Entry REGISTER_MAP[] = {
	// Windows in the processor's address space.
	{"I2C0 window", models::I2C0_BASE, I2C0_BASE, 0xFFC04000},
	{"I2C0 span", models::I2C0_SPAN, I2C0_SPAN, 0x100},
	{"system manager window", models::SYSMGR_BASE, SYSMGR_BASE, 0xFFD08000},
	{"system manager span", models::SYSMGR_SPAN, SYSMGR_SPAN, 0x800},
	{"bridge window", models::LWBRIDGE_BASE, NO_DRIVER_NAME, 0xFF200000},
	{"bridge window size", models::LWBRIDGE_SIZE, NO_DRIVER_NAME, 0x200000},
	{"ports window", models::PORTS_BASE, NO_DRIVER_NAME, 0xFF200000},
	{"ports span", models::PORTS_SPAN, NO_DRIVER_NAME, 0x5000},

	// ADXL345 registers and bits.
	{"ADXL345 bus address", models::SENSOR_ADDRESS, ADXL345_ADDRESS, 0x53},
	{"DEVID", models::ADXL_DEVID, ADXL345_DEVID, 0x00},
	{"THRESH_TAP", models::ADXL_THRESH_TAP, ADXL345_THRESH_TAP, 0x1D},
	{"OFSX", models::ADXL_OFSX, ADXL345_OFSX, 0x1E},
	{"OFSY", models::ADXL_OFSY, ADXL345_OFSY, 0x1F},
	{"OFSZ", models::ADXL_OFSZ, ADXL345_OFSZ, 0x20},
	{"DUR", models::ADXL_DUR, ADXL345_DUR, 0x21},
	{"Latent", models::ADXL_LATENT, ADXL345_LATENT, 0x22},
	{"Window", models::ADXL_WINDOW, ADXL345_WINDOW, 0x23},
	{"TAP_AXES", models::ADXL_TAP_AXES, ADXL345_TAP_AXES, 0x2A},
	{"BW_RATE", models::ADXL_BW_RATE, ADXL345_BW_RATE, 0x2C},
	{"POWER_CTL", models::ADXL_POWER_CTL, ADXL345_POWER_CTL, 0x2D},
	{"INT_ENABLE", models::ADXL_INT_ENABLE, ADXL345_INT_ENABLE, 0x2E},
	{"INT_SOURCE", models::ADXL_INT_SOURCE, ADXL345_INT_SOURCE, 0x30},
	{"DATA_FORMAT", models::ADXL_DATA_FORMAT, ADXL345_DATA_FORMAT, 0x31},
	{"DATAX0", models::ADXL_DATAX0, ADXL345_DATAX0, 0x32},
	{"DEVID value", models::ADXL_DEVID_VALUE, ADXL345_DEVID_VALUE, 0xE5},
	{"POWER_CTL measure", models::ADXL_POWER_CTL_MEASURE, ADXL345_MEASURE, 0x08},
	{"DATA_READY", models::ADXL_INT_DATA_READY, ADXL345_DATA_READY, 0x80},
	{"SINGLE_TAP", models::ADXL_INT_SINGLE_TAP, ADXL345_SINGLE_TAP, 0x40},
	{"DOUBLE_TAP", models::ADXL_INT_DOUBLE_TAP, ADXL345_DOUBLE_TAP, 0x20},
	{"FULL_RES", models::ADXL_FORMAT_FULL_RES, ADXL345_FULL_RES, 0x08},

	// I2C controller 0: byte offsets in its window, bits.
	{"control", models::I2C_CON, I2C0_CONTROL, 0x00},
	{"target address", models::I2C_TAR, I2C0_TARGET, 0x04},
	{"data/command", models::I2C_DATA_CMD, I2C0_DATA_CMD, 0x10},
	{"fast-mode clock high count", models::I2C_FS_HCNT, I2C0_FS_HCNT, 0x1C},
	{"fast-mode clock low count", models::I2C_FS_LCNT, I2C0_FS_LCNT, 0x20},
	{"interrupt clear", models::I2C_CLR_INTR, I2C0_CLEAR_INTERRUPTS, 0x40},
	{"abort clear", models::I2C_CLR_TX_ABRT, I2C0_CLEAR_ABORT, 0x54},
	{"enable", models::I2C_ENABLE, I2C0_ENABLE, 0x6C},
	{"transmit level", models::I2C_TXFLR, I2C0_TX_LEVEL, 0x74},
	{"receive level", models::I2C_RXFLR, I2C0_RX_LEVEL, 0x78},
	{"abort source", models::I2C_TX_ABRT_SOURCE, I2C0_ABORT_SOURCE, 0x80},
	{"enable status", models::I2C_ENABLE_STATUS, I2C0_ENABLE_STATUS, 0x9C},
	{"read command", models::I2C_CMD_READ, I2C0_CMD_READ, 0x100},
	{"restart", models::I2C_CMD_RESTART, I2C0_CMD_RESTART, 0x400},
	{"enable bit", models::I2C_ENABLE_EN, I2C0_ENABLE_ON, 0x1},
	{"abort bit", models::I2C_ENABLE_ABORT, I2C0_ENABLE_ABORT, 0x2},

	// System manager: the sensor bus's pin routing.
	{"I2C0 routing", models::SYSMGR_I2C0_ROUTING, SYSMGR_I2C0_ROUTE, 0x704},
	{"first bus pin", models::SYSMGR_SENSOR_PIN0, SYSMGR_PINMUX_BUS_PIN1, 0x49C},
	{"second bus pin", models::SYSMGR_SENSOR_PIN1, SYSMGR_PINMUX_BUS_PIN2, 0x4A0},
	{"pin carries I2C0", models::SYSMGR_PIN_FUNC_I2C0, SYSMGR_PINMUX_I2C0, 1},

	// Pushbutton and switch ports: offsets in the bridge window.
	{"switch data", models::PORTS_SWITCH_DATA, NO_DRIVER_NAME, 0x40},
	{"pushbutton data", models::PORTS_KEY_DATA, NO_DRIVER_NAME, 0x50},
	{"pushbutton interrupt mask", models::PORTS_KEY_IRQ_MASK, NO_DRIVER_NAME, 0x58},
	{"pushbutton edge capture", models::PORTS_KEY_EDGE, NO_DRIVER_NAME, 0x5C},
};

TEST(RegisterMap, NamesStandForThePublishedOffsetsAndBits)
{
	for (const Entry &e : REGISTER_MAP) {
		EXPECT_EQ(e.model, e.value) << e.name << " (models)";
		if (e.driver != NO_DRIVER_NAME) {
			EXPECT_EQ(e.driver, e.value) << e.name << " (driver)";
		}
	}
}

} // namespace
