/* SPDX-License-Identifier: GPL-2.0-or-later */
/* ADXL345 accelerometer: bus address, registers and bits the driver uses. */
#ifndef ACCEL_ADXL345_H
#define ACCEL_ADXL345_H

#include <stdint.h>

const uint8_t ADXL345_ADDRESS = 0x53; /* 7-bit bus address */

const uint8_t ADXL345_DEVID = 0x00;
const uint8_t ADXL345_THRESH_TAP = 0x1D;
const uint8_t ADXL345_OFSX = 0x1E;
const uint8_t ADXL345_OFSY = 0x1F;
const uint8_t ADXL345_OFSZ = 0x20;
const uint8_t ADXL345_DUR = 0x21;
const uint8_t ADXL345_LATENT = 0x22;
const uint8_t ADXL345_WINDOW = 0x23;
const uint8_t ADXL345_TAP_AXES = 0x2A;
const uint8_t ADXL345_BW_RATE = 0x2C;
const uint8_t ADXL345_POWER_CTL = 0x2D;
const uint8_t ADXL345_INT_ENABLE = 0x2E;
const uint8_t ADXL345_INT_SOURCE = 0x30;
const uint8_t ADXL345_DATA_FORMAT = 0x31;
const uint8_t ADXL345_DATAX0 = 0x32; /* first of six data registers */

const uint8_t ADXL345_DEVID_VALUE = 0xE5;

/* POWER_CTL */
const uint8_t ADXL345_STANDBY = 0x00;
const uint8_t ADXL345_MEASURE = 0x08;

/* INT_SOURCE and INT_ENABLE */
const uint8_t ADXL345_DATA_READY = 0x80;
const uint8_t ADXL345_SINGLE_TAP = 0x40;
const uint8_t ADXL345_DOUBLE_TAP = 0x20;

/* DATA_FORMAT: self-test, SPI, interrupt polarity and bit 4 above the
 * full-resolution, justify and range bits. */
const uint8_t ADXL345_FORMAT_UPPER = 0xF0;
const uint8_t ADXL345_FULL_RES = 0x08;
const uint8_t ADXL345_RANGE_16G = 0x03;

/* BW_RATE output data rates (normal power) */
const uint8_t ADXL345_RATE_100HZ = 0x0A;
const uint8_t ADXL345_RATE_25HZ = 0x08;
const uint8_t ADXL345_RATE_12_5HZ = 0x07;
const uint8_t ADXL345_RATE_6_25HZ = 0x06;
const uint8_t ADXL345_RATE_1_56HZ = 0x04;
const uint8_t ADXL345_RATE_0_78HZ = 0x03;

/* TAP_AXES: tap detection on X, Y and Z */
const uint8_t ADXL345_TAP_XYZ = 0x07;

#endif
