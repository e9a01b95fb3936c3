// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * Offset calibration, the "calibrate" command of the full and command
 * variants (the basic variant has no commands: this file builds empty for
 * it). The sensor at rest is sampled at 100 Hz with its offsets cleared and
 * the offsets that cancel the means are programmed, at the output data rate
 * it had.
 *
 * Freestanding C++11: the kernel is reached only through ks.h.
 */
#include <stdint.h>

#include "ks.h"
#include "accel.h"
#include "adxl345.h"

#ifndef ACCEL_VARIANT_BASIC

static const int CALIBRATION_SAMPLES = 64;

/*
 * DATA_READY polls per sample before the sensor counts as silent. A poll is
 * one INT_SOURCE read, four bus bytes, about 90 us at 400 kbit/s: 1000 polls
 * are some 90 ms, nine output periods at the 100 Hz sampled at.
 */
static const unsigned int CALIBRATION_READY_POLLS = 1000;

static int calibration_wait_ready(void)
{
	for (unsigned int polls = 0; polls < CALIBRATION_READY_POLLS; polls++) {
		int ready = ADXL345_IsDataReady();

		if (ready)
			return ready < 0 ? ready : 0;
		/* Sampling takes most of a second: let other tasks run. */
		ks_cond_resched();
	}
	accel_err("calibration stopped: ADXL345 delivers no samples\n");
	return -ETIMEDOUT;
}

/* Sums of the samples, each read after the sensor reported new data. */
static int calibration_sample(int32_t *average_x, int32_t *average_y, int32_t *average_z)
{
	/* Local: the global XYZ keeps the sample of the last record. */
	int16_t XYZ[3];

	*average_x = *average_y = *average_z = 0;
	for (int i = 0; i < CALIBRATION_SAMPLES; i++) {
		int err = calibration_wait_ready();

		if (!err)
			err = ADXL345_XYZ_Read(XYZ);
		if (err)
			return err;
		*average_x += XYZ[0];
		*average_y += XYZ[1];
		*average_z += XYZ[2];
	}
	return 0;
}

/* Standby, offsets cleared so that the samples carry no earlier correction,
 * no sample of before waiting (every one averaged is measured from here
 * on); saved_bw the output data rate. */
static int calibration_prepare(uint8_t *saved_bw)
{
	int err = ADXL345_REG_WRITE(ADXL345_POWER_CTL, ADXL345_STANDBY);

	if (!err)
		err = clear_offsets();
	if (!err)
		err = ADXL345_REG_READ(ADXL345_BW_RATE, saved_bw);
	if (err)
		return err;
	return discard_waiting_sample();
}

/* Measuring at 100 Hz. */
static int calibration_measure(void)
{
	int err = ADXL345_REG_WRITE(ADXL345_BW_RATE, ADXL345_RATE_100HZ);

	if (err)
		return err;
	return ADXL345_REG_WRITE(ADXL345_POWER_CTL, ADXL345_MEASURE);
}

/* Programs the offsets (none after a failed sampling) in standby and goes
 * back to measuring at the saved rate. */
static int calibration_finish(const uint8_t *offset, uint8_t saved_bw)
{
	int err = ADXL345_REG_WRITE(ADXL345_POWER_CTL, ADXL345_STANDBY);

	for (int axis = 0; offset && !err && axis < 3; axis++)
		err = ADXL345_REG_WRITE(ADXL345_OFSX + axis, offset[axis]);
	if (!err)
		err = ADXL345_REG_WRITE(ADXL345_BW_RATE, saved_bw);
	if (!err)
		err = ADXL345_REG_WRITE(ADXL345_POWER_CTL, ADXL345_MEASURE);
	return err;
}

int ADXL345_Calibrate(void)
{
	int32_t average_x, average_y, average_z;
	uint8_t offset[3];
	uint8_t saved_bw;
	int err, finish;

	if (mg_per_LSB < 1 || mg_per_LSB > ACCEL_CALIBRATION_MG_MAX) {
		accel_err("cannot calibrate at %d mg per count\n", mg_per_LSB);
		return -EINVAL;
	}
	err = calibration_prepare(&saved_bw);
	if (err)
		return err;

	err = calibration_measure();
	if (!err)
		err = calibration_sample(&average_x, &average_y, &average_z);
	if (!err)
		calibration_offsets(rounded_quotient(average_x, CALIBRATION_SAMPLES),
				    rounded_quotient(average_y, CALIBRATION_SAMPLES),
				    rounded_quotient(average_z, CALIBRATION_SAMPLES), mg_per_LSB,
				    offset);
	/* BW_RATE may have changed: it is put back whatever happened. */
	finish = calibration_finish(err ? 0 : offset, saved_bw);
	return err ? err : finish;
}

#endif /* !ACCEL_VARIANT_BASIC */
