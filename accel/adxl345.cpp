// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * The ADXL345's operations, each a few register accesses (i2c0.cpp): its
 * initialisation, new-data check, sample and identity reads; and the
 * arithmetic that turns measured means into offset register values.
 *
 * Freestanding C++11: the kernel is reached only through ks.h.
 */
#include <stdint.h>

#include "ks.h"
#include "accel.h"
#include "adxl345.h"

int16_t XYZ[3];
int mg_per_LSB;

struct reg_setting {
	uint8_t reg;
	uint8_t value;
};

/* Configured in standby; the last write starts measuring. */
static const reg_setting adxl345_init_sequence[] = {
	{ADXL345_POWER_CTL, ADXL345_STANDBY},
	{ADXL345_DATA_FORMAT, ADXL345_RANGE_16G},
	{ADXL345_BW_RATE, ADXL345_RATE_12_5HZ},
#ifdef ACCEL_VARIANT_FULL
	{ADXL345_THRESH_TAP, 0x30}, /* 3 g */
	{ADXL345_DUR, 0x20},	    /* 20 ms */
	{ADXL345_LATENT, 0x10},	    /* 20 ms */
	{ADXL345_WINDOW, 0xFF},	    /* 318.75 ms */
	{ADXL345_TAP_AXES, ADXL345_TAP_XYZ},
	{ADXL345_INT_ENABLE, ADXL345_SINGLE_TAP | ADXL345_DOUBLE_TAP},
#endif
	{ADXL345_OFSX, 0x00},
	{ADXL345_OFSY, 0x00},
	{ADXL345_OFSZ, 0x00},
	{ADXL345_POWER_CTL, ADXL345_MEASURE},
};

/* 31.25 mg per count at +-16 g and 10 bits, kept as the integer 31. */
static const int ADXL345_INIT_MG_PER_LSB = 31;

static int write_sequence(const reg_setting sequence[], unsigned int n)
{
	for (unsigned int i = 0; i < n; i++) {
		int err = ADXL345_REG_WRITE(sequence[i].reg, sequence[i].value);

		if (err)
			return err;
	}
	return 0;
}

int ADXL345_Init(void)
{
	int err = write_sequence(adxl345_init_sequence, ARRAY_LEN(adxl345_init_sequence));

	if (err)
		return err;
	mg_per_LSB = ADXL345_INIT_MG_PER_LSB;
	return 0;
}

/* The INT_SOURCE read also clears the latched tap bits. */
int ADXL345_IsDataReady(void)
{
	uint8_t data8;
	int err = ADXL345_REG_READ(ADXL345_INT_SOURCE, &data8);

	if (err)
		return err;
	bool bReady = data8 & ADXL345_DATA_READY;
	return bReady ? 1 : 0;
}

/* One six-byte burst; each axis is little-endian two's complement. */
int ADXL345_XYZ_Read(int16_t szData16[3])
{
	uint8_t szData8[6];
	int err = ADXL345_REG_MULTI_READ(ADXL345_DATAX0, szData8, sizeof(szData8));

	if (err)
		return err;
	for (int k = 0; k < 3; k++)
		szData16[k] = (int16_t)(uint16_t)(szData8[2 * k] | szData8[2 * k + 1] << 8);
	return 0;
}

/*
 * DATA_READY survives standby and format changes, so a sample measured
 * before a change would be taken for one measured after it. Reading the
 * data registers drops it.
 */
int discard_waiting_sample(void)
{
	int16_t stale[3];

	return ADXL345_XYZ_Read(stale);
}

#ifndef ACCEL_VARIANT_BASIC

int ADXL345_IdRead(uint8_t *pId)
{
	return ADXL345_REG_READ(ADXL345_DEVID, pId);
}

static const reg_setting offsets_cleared[] = {
	{ADXL345_OFSX, 0x00},
	{ADXL345_OFSY, 0x00},
	{ADXL345_OFSZ, 0x00},
};

int clear_offsets(void)
{
	return write_sequence(offsets_cleared, ARRAY_LEN(offsets_cleared));
}

/* ---- offset register arithmetic ------------------------------------------ */

/* Scales in thousandths of a milli-g: one offset register LSB is 15.6 mg. */
static const int32_t OFFSET_LSB = 15600;
static const int32_t ONE_G_MG = 1000;

int32_t rounded_quotient(int32_t a, int32_t b)
{
	/* From the remainder, so that a + b / 2 cannot overflow. */
	int32_t q = a / b, r = a % b;
	int32_t left = r < 0 ? -r : r;

	if (left >= b - left)
		q += a < 0 ? -1 : 1;
	return q;
}

/* Only the low byte goes to the register; unsigned, so that a correction
 * beyond 32 bits cannot overflow. */
static uint8_t low_byte_of_negated(int32_t v)
{
	return (uint8_t)(0u - (uint32_t)v);
}

static uint8_t coarse_offset(int32_t average, int32_t offset_scale)
{
	return (uint8_t)(0u - (uint32_t)average * (uint32_t)offset_scale);
}

void calibration_offsets(int32_t average_x, int32_t average_y, int32_t average_z, int32_t mg,
			 uint8_t offset[3])
{
	int32_t output_lsb = 1000 * mg;
	int32_t one_g = rounded_quotient(ONE_G_MG, mg);
	int32_t offset_scale;

	/* Z keeps the +1 g of rest; only the error beyond it is cancelled. */
	average_z -= one_g;
	if (output_lsb > OFFSET_LSB) {
		/* Offset LSBs per output LSB. */
		offset_scale = rounded_quotient(output_lsb, OFFSET_LSB);
		offset[0] = coarse_offset(average_x, offset_scale);
		offset[1] = coarse_offset(average_y, offset_scale);
		offset[2] = coarse_offset(average_z, offset_scale);
	} else {
		/* Output LSBs per offset LSB. */
		offset_scale = rounded_quotient(OFFSET_LSB, output_lsb);
		offset[0] = low_byte_of_negated(rounded_quotient(average_x, offset_scale));
		offset[1] = low_byte_of_negated(rounded_quotient(average_y, offset_scale));
		offset[2] = low_byte_of_negated(rounded_quotient(average_z, offset_scale));
	}
}

#endif /* !ACCEL_VARIANT_BASIC */
