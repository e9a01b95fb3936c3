/*
 * accel: the ADXL345 accelerometer on I2C controller 0, as /dev/accel.
 *
 * One source, three variants, chosen by defining exactly one of
 *   ACCEL_VARIANT_FULL   records start with the INT_SOURCE byte, tap detection on
 *   ACCEL_VARIANT_CMD    records start with a new-data flag
 *   ACCEL_VARIANT_BASIC  as the command variant, read only
 *
 * Module entry and exit are start_accel and stop_accel. The rest is declared
 * for the command interface and for tests that drive the sensor directly.
 */
#ifndef ACCEL_ACCEL_H
#define ACCEL_ACCEL_H

#include <stdint.h>

#include "ks.h"
#include "accel_module.h"

#if defined(ACCEL_VARIANT_FULL) + defined(ACCEL_VARIANT_CMD) + defined(ACCEL_VARIANT_BASIC) != 1
#error "define exactly one of ACCEL_VARIANT_FULL, ACCEL_VARIANT_CMD, ACCEL_VARIANT_BASIC"
#endif

/* Characters in one sample record (without the terminating NUL). */
#ifdef ACCEL_VARIANT_FULL
#define ACCEL_RECORD_LEN 21
#else
#define ACCEL_RECORD_LEN 20
#endif

extern ks_dev_t dev_no;
extern struct ks_class *accel_class;
extern struct ks_cdev *accel_cdev;
extern const struct ks_fops fops;
extern volatile unsigned int *I2C0_ptr;
extern volatile unsigned int *SYSMGR_ptr;

/* Last sample in raw counts (X, Y, Z) and milli-g per count of the format
 * the sensor is programmed with. */
extern int16_t XYZ[3];
extern int mg_per_LSB;

/*
 * Bus and sensor access. Everything that waits for the hardware gives up
 * after a bounded number of polls: those functions return 0, or -ETIMEDOUT
 * (controller did not change state) or -EIO (no byte from the sensor).
 * Callers hold the module lock (ks_lock) around a whole access sequence.
 */
void Pinmux_Config(void);
int I2C0_Init(void);
int ADXL345_REG_WRITE(uint8_t address, uint8_t value);
int ADXL345_REG_READ(uint8_t address, uint8_t *value);
int ADXL345_REG_MULTI_READ(uint8_t address, uint8_t values[], uint8_t len);
int ADXL345_Init(void);
int ADXL345_IsDataReady(void); /* 1 new sample, 0 none, or an error */
int ADXL345_XYZ_Read(int16_t szData16[3]);
int ADXL345_IdRead(uint8_t *pId);

int device_open(struct ks_inode *inode, struct ks_file *file);
int device_release(struct ks_inode *inode, struct ks_file *file);
ks_ssize_t device_read(struct ks_file *filp, char *buffer, ks_size_t length, ks_loff_t *offset);

#ifndef ACCEL_VARIANT_BASIC
/*
 * Command interface: one text command per write, at most ACCEL_TEXT_MAX
 * bytes of it taken. The result is length (outcomes and rejections go to the
 * kernel log), -EINVAL for bytes without a word in them, -EFAULT when the
 * text could not be copied whole (it is not interpreted), -EINTR when a
 * signal ended the wait for the lock, or the error of a failed bus access.
 */
#define ACCEL_TEXT_MAX 11
ks_ssize_t device_write(struct ks_file *filp, const char *buffer, ks_size_t length,
			ks_loff_t *offset);

/*
 * Programs the offset registers so that the sensor at rest, Z up, reads 0, 0
 * and +1 g at the scale mg_per_LSB. Called with the lock held and the sensor
 * in standby; returns with it measuring at the output data rate it had.
 * Returns 0, -EINVAL (mg_per_LSB outside 1 .. ACCEL_CALIBRATION_MG_MAX,
 * nothing written), -ETIMEDOUT (the sensor stopped delivering samples) or a
 * bus error; on failure the offsets are left 0.
 */
#define ACCEL_CALIBRATION_MG_MAX (INT32_MAX / 1000)
int ADXL345_Calibrate(void);

/* a / b rounded to the nearest integer, halves away from zero; b > 0. */
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
