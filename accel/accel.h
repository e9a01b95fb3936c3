/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * accel: the ADXL345 accelerometer on I2C controller 0, as /dev/accel.
 *
 * One source, three variants, chosen by defining exactly one of
 *   ACCEL_VARIANT_FULL   records start with the INT_SOURCE byte, tap detection on
 *   ACCEL_VARIANT_CMD    records start with a new-data flag
 *   ACCEL_VARIANT_BASIC  as the command variant, read only
 *
 * The driver's files, each with one job:
 *   i2c0.cpp       I2C controller 0: windows, set-up, the words of one
 *                  access to a sensor register, stop and abort recovery
 *   adxl345.cpp    the sensor's operations, the arithmetic of its offset
 *                  registers
 *   calibrate.cpp  offset calibration (full and command variants)
 *   command.cpp    the command interface, the node's write (idem)
 *   accel.cpp      the sample record, the node's other operations, module
 *                  load and unload
 * This header declares what they use of each other; the module entry is in
 * accel_module.h.
 */
#ifndef ACCEL_ACCEL_H
#define ACCEL_ACCEL_H

#include <stdint.h>

#include "ks.h"
#include "accel_module.h"
#include "record_format.h"

#if defined(ACCEL_VARIANT_FULL) + defined(ACCEL_VARIANT_CMD) + defined(ACCEL_VARIANT_BASIC) != 1
#error "define exactly one of ACCEL_VARIANT_FULL, ACCEL_VARIANT_CMD, ACCEL_VARIANT_BASIC"
#endif

/* Name of the region, class and node. */
#define ACCEL_NAME "accel"

/* A kernel log line at level error, after the node's path, "/dev/accel: ";
 * the first argument is the format, a string literal. The help banner's
 * lines alone go out without it. */
#define accel_err(...) ks_printk(KS_ERR "/dev/" ACCEL_NAME ": " __VA_ARGS__)

/* Characters in one sample record (without the terminating NUL). */
#ifdef ACCEL_VARIANT_FULL
#define ACCEL_RECORD_LEN ACCEL_STATUS_RECORD_LEN
#else
#define ACCEL_RECORD_LEN ACCEL_FLAG_RECORD_LEN
#endif

/* Last sample in raw counts (X, Y, Z) and milli-g per count of the format
 * the sensor is programmed with (adxl345.cpp). */
extern int16_t XYZ[3];
extern int mg_per_LSB;

/*
 * I2C controller 0 and the sensor's registers on its bus (i2c0.cpp).
 * Everything that waits for the hardware gives up after a bounded number of
 * polls: those functions return 0, or -ETIMEDOUT (controller did not change
 * state) or -EIO (no byte from the sensor). Callers hold the module lock
 * (ks_lock) around a whole access sequence.
 */
int i2c0_map(void); /* the controller's window and the pin routing's */
void i2c0_unmap(void);
void Pinmux_Config(void);
int I2C0_Init(void);
int ADXL345_REG_WRITE(uint8_t address, uint8_t value);
int ADXL345_REG_READ(uint8_t address, uint8_t *value);
int ADXL345_REG_MULTI_READ(uint8_t address, uint8_t values[], uint8_t len);

/* The sensor's operations (adxl345.cpp). */
int ADXL345_Init(void);
int ADXL345_IsDataReady(void); /* 1 new sample, 0 none, or an error */
int ADXL345_XYZ_Read(int16_t szData16[3]);
/* Drops a sample measured before a change of format or power; call once
 * the change is written. */
int discard_waiting_sample(void);

#define ARRAY_LEN(a) (sizeof(a) / sizeof((a)[0]))

#ifndef ACCEL_VARIANT_BASIC
/* Waits until every stored word has gone out (i2c0.cpp). */
int i2c0_drain(void);
/* 0 when every register write so far was acknowledged, else -EIO (logged)
 * or the error of waiting for the queue (i2c0.cpp). */
int i2c0_writes_acknowledged(void);

/* Sensor operations of the commands and the calibration (adxl345.cpp). */
int ADXL345_IdRead(uint8_t *pId);
int clear_offsets(void); /* OFSX, OFSY and OFSZ written 0 */

/*
 * Command interface (command.cpp): one text command per write, at most
 * ACCEL_TEXT_MAX bytes of it taken. The result is length (outcomes and
 * rejections go to the kernel log), -EINVAL for bytes without a word in
 * them, -EFAULT when the text could not be copied whole (it is not
 * interpreted), -EINTR when a signal ended the wait for the lock, or the
 * error of a failed bus access.
 */
#define ACCEL_TEXT_MAX 11
ks_ssize_t device_write(struct ks_file *filp, const char *buffer, ks_size_t length,
			ks_loff_t *offset);

/*
 * Programs the offset registers so that the sensor at rest, Z up, reads 0, 0
 * and +1 g at the scale mg_per_LSB (calibrate.cpp). Called with the lock
 * held and the sensor in standby; returns with it measuring at the output
 * data rate it had. Returns 0, -EINVAL (mg_per_LSB outside 1 ..
 * ACCEL_CALIBRATION_MG_MAX, nothing written), -ETIMEDOUT (the sensor
 * stopped delivering samples) or a bus error; on failure the offsets are
 * left 0.
 */
#define ACCEL_CALIBRATION_MG_MAX (INT32_MAX / 1000)
int ADXL345_Calibrate(void);

/* The arithmetic of the offset registers (adxl345.cpp). a / b rounded to the
 * nearest integer, halves away from zero; b > 0. */
int32_t rounded_quotient(int32_t a, int32_t b);

/*
 * Offset register values (X, Y, Z; each the low byte of the correction) for
 * the rounded means of samples of a sensor at rest, taken at mg milli-g per
 * count (1 .. ACCEL_CALIBRATION_MG_MAX).
 */
void calibration_offsets(int32_t average_x, int32_t average_y, int32_t average_z, int32_t mg,
			 uint8_t offset[3]);
#endif

#endif
