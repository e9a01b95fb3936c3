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

#if defined(ACCEL_VARIANT_FULL) + defined(ACCEL_VARIANT_CMD) + defined(ACCEL_VARIANT_BASIC) != 1
#error "define exactly one of ACCEL_VARIANT_FULL, ACCEL_VARIANT_CMD, ACCEL_VARIANT_BASIC"
#endif

/* Characters in one sample record (without the terminating NUL). */
#ifdef ACCEL_VARIANT_FULL
#define ACCEL_RECORD_LEN 21
#else
#define ACCEL_RECORD_LEN 20
#endif

extern "C" int start_accel(void);
extern "C" void stop_accel(void);

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

#endif
