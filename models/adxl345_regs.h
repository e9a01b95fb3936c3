/* SPDX-License-Identifier: GPL-2.0-or-later */
// ADXL345 accelerometer: register addresses and bits of its published
// register map.
#ifndef MODELS_ADXL345_REGS_H
#define MODELS_ADXL345_REGS_H

#include <stdint.h>

namespace models {

const uint8_t ADXL_DEVID = 0x00;
const uint8_t ADXL_THRESH_TAP = 0x1D;
const uint8_t ADXL_OFSX = 0x1E;
const uint8_t ADXL_OFSY = 0x1F;
const uint8_t ADXL_OFSZ = 0x20;
const uint8_t ADXL_DUR = 0x21;
const uint8_t ADXL_LATENT = 0x22;
const uint8_t ADXL_WINDOW = 0x23;
const uint8_t ADXL_THRESH_ACT = 0x24;
const uint8_t ADXL_TAP_AXES = 0x2A;
const uint8_t ADXL_ACT_TAP_STATUS = 0x2B;
const uint8_t ADXL_BW_RATE = 0x2C;
const uint8_t ADXL_POWER_CTL = 0x2D;
const uint8_t ADXL_INT_ENABLE = 0x2E;
const uint8_t ADXL_INT_MAP = 0x2F;
const uint8_t ADXL_INT_SOURCE = 0x30;
const uint8_t ADXL_DATA_FORMAT = 0x31;
const uint8_t ADXL_DATAX0 = 0x32;
const uint8_t ADXL_DATAZ1 = 0x37;
const uint8_t ADXL_FIFO_CTL = 0x38;
const uint8_t ADXL_FIFO_STATUS = 0x39;
const uint8_t ADXL_TAP_SIGN = 0x3A; // first address past the register map
// The register map (datasheet Table 19): 0x00 and 0x1D to 0x39; 0x01 to
// 0x1C are reserved and the address byte goes on to 0xFF.
const uint8_t ADXL_RESERVED_FIRST = 0x01;
const uint8_t ADXL_RESERVED_LAST = 0x1C;
const uint8_t ADXL_LAST_REGISTER = ADXL_FIFO_STATUS;

const uint8_t ADXL_DEVID_VALUE = 0xE5;

// BW_RATE
const uint8_t ADXL_BW_RATE_CODE_MASK = 0x0F; // 3200 Hz >> (15 - code)
const uint8_t ADXL_BW_RATE_LOW_POWER = 1u << 4;

// POWER_CTL
const uint8_t ADXL_POWER_CTL_MEASURE = 1u << 3;

const uint8_t ADXL_POWER_CTL_LINK = 1u << 5;
const uint8_t ADXL_POWER_CTL_AUTO_SLEEP = 1u << 4;

// INT_ENABLE, INT_MAP and INT_SOURCE
const uint8_t ADXL_INT_DATA_READY = 1u << 7;
const uint8_t ADXL_INT_SINGLE_TAP = 1u << 6;
const uint8_t ADXL_INT_DOUBLE_TAP = 1u << 5;
const uint8_t ADXL_INT_ACTIVITY = 1u << 4;
const uint8_t ADXL_INT_INACTIVITY = 1u << 3;
const uint8_t ADXL_INT_FREE_FALL = 1u << 2;
const uint8_t ADXL_INT_WATERMARK = 1u << 1;
const uint8_t ADXL_INT_OVERRUN = 1u << 0;

// DATA_FORMAT
const uint8_t ADXL_FORMAT_SELF_TEST = 1u << 7;
const uint8_t ADXL_FORMAT_SPI_3WIRE = 1u << 6;
const uint8_t ADXL_FORMAT_INT_INVERT = 1u << 5; // interrupt pins active low
const uint8_t ADXL_FORMAT_RANGE_MASK = 0x03;	// 2, 4, 8, 16 g
const uint8_t ADXL_FORMAT_JUSTIFY = 1u << 2;	// left-justified
const uint8_t ADXL_FORMAT_FULL_RES = 1u << 3;

// FIFO_CTL: mode in bits 7..6, trigger pin, watermark sample count.
const uint8_t ADXL_FIFO_MODE_SHIFT = 6;
const uint8_t ADXL_FIFO_BYPASS = 0;
const uint8_t ADXL_FIFO_FIFO = 1;
const uint8_t ADXL_FIFO_STREAM = 2;
const uint8_t ADXL_FIFO_TRIGGER = 3;
const uint8_t ADXL_FIFO_TRIGGER_INT2 = 1u << 5; // trigger event on INT2, else INT1
const uint8_t ADXL_FIFO_SAMPLES_MASK = 0x1F;

// FIFO_STATUS
const uint8_t ADXL_FIFO_STATUS_TRIG = 1u << 7;
const uint8_t ADXL_FIFO_ENTRIES_MASK = 0x3F;

// TAP_AXES and the tap bits of ACT_TAP_STATUS: one bit per axis.
const uint8_t ADXL_TAP_X = 1u << 2;
const uint8_t ADXL_TAP_Y = 1u << 1;
const uint8_t ADXL_TAP_Z = 1u << 0;
const uint8_t ADXL_TAP_AXES_MASK = 0x07;

// Scale of the tap registers.
const int32_t ADXL_THRESH_TAP_MG_X16 = 1000; // 62.5 mg per LSB, in mg * 16
const uint32_t ADXL_DUR_US = 625;	     // per LSB
const uint32_t ADXL_LATENT_US = 1250;	     // Latent and Window, per LSB

// Self-test output change, datasheet Table 1 (2.5 V supply): X 0.20 to
// 2.10 g, Y -2.10 to -0.20 g, Z 0.30 to 3.40 g. The ideal sensor takes the
// middle of each range. The datasheet gives it for normal power at 100 to
// 800 Hz and at 3200 Hz (rate codes 0x0A to 0x0D and 0x0F) only; elsewhere
// the model applies none, so a driver that self-tests there fails.
const int32_t ADXL_SELF_TEST_MG[3] = {1150, -1150, 1850};
const uint8_t ADXL_SELF_TEST_RATE_MIN = 0x0A, ADXL_SELF_TEST_RATE_MAX = 0x0D;
const uint8_t ADXL_RATE_3200HZ = 0x0F, ADXL_RATE_1600HZ = 0x0E;

// Spread of a real part, datasheet Table 1: sensitivity 230 to 282 counts
// per g at full resolution (256 typical, about +-10 %), zero-g output -150
// to +150 mg on X and Y and -250 to +250 mg on Z.
const int32_t ADXL_SENSITIVITY_SPREAD_PPM = 100000;
const int32_t ADXL_ZERO_G_SPREAD_MG[3] = {150, 150, 250};

const uint8_t ADXL_BW_RATE_RESET = 0x0A;
const uint8_t ADXL_INT_SOURCE_RESET = ADXL_INT_WATERMARK;

const int32_t ADXL_OFFSET_UG_PER_LSB = 15600;
const uint32_t ADXL_FASTEST_PERIOD_NS = 312500; // 3200 Hz, rate code 15

} // namespace models

#endif
