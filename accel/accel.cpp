// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * accel: the ADXL345 accelerometer on I2C controller 0, as /dev/accel.
 *
 * A read returns one text record of the latest sample, the next read end of
 * file, the one after a fresh record. In the full and command variants a
 * write is one text command (command.cpp). The module lock keeps one user's
 * access sequence, a whole command included, from interleaving with
 * another's.
 *
 * This file: the sample record, the node's operations, module load and
 * unload. The driver's other files are listed in accel.h.
 *
 * Freestanding C++11 (no library, no exceptions, no allocation): the kernel
 * is reached only through ks.h.
 */
#include <stdint.h>

#include "ks.h"
#include "record_file.h"
#include "accel.h"
#include "adxl345.h"

static ks_dev_t dev_no;
static struct ks_class *accel_class;
static struct ks_cdev *accel_cdev;

/* The scale XYZ was measured at, which the record prints with it: a format
 * change does not alter a sample fetched before it. */
static int XYZ_mg_per_LSB;

/* ---- sample record ---------------------------------------------------- */

/*
 * Reads INT_SOURCE once and, when it reports new data, the sample into XYZ;
 * otherwise XYZ keeps the previous sample. Sets the record's first field.
 */
static int acquire_sample(unsigned int *first_field)
{
#ifdef ACCEL_VARIANT_FULL
	uint8_t data8;
	int err = ADXL345_REG_READ(ADXL345_INT_SOURCE, &data8);

	if (err)
		return err;
	if (data8 & ADXL345_DATA_READY) {
		err = ADXL345_XYZ_Read(XYZ);
		if (err)
			return err;
		XYZ_mg_per_LSB = mg_per_LSB;
	}
	*first_field = data8;
#else
	int NewData = ADXL345_IsDataReady();
	int err;

	if (NewData < 0)
		return NewData;
	if (NewData) {
		err = ADXL345_XYZ_Read(XYZ);
		if (err)
			return err;
		XYZ_mg_per_LSB = mg_per_LSB;
	}
	*first_field = NewData;
#endif
	return 0;
}

/* Counts below -999 make the text longer than the record: the record is
 * then its first ACCEL_RECORD_LEN characters, cut within themessage. */
static int make_record(char *themessage)
{
	unsigned int first_field;
	int err = acquire_sample(&first_field);

	if (err)
		return err;
#ifdef ACCEL_VARIANT_FULL
	ks_snprintf(themessage, ACCEL_RECORD_LEN + 1, "%2X %04d %04d %04d %02d\n", first_field,
		    XYZ[0], XYZ[1], XYZ[2], XYZ_mg_per_LSB);
#else
	ks_snprintf(themessage, ACCEL_RECORD_LEN + 1, "%1d %04d %04d %04d %02d\n", (int)first_field,
		    XYZ[0], XYZ[1], XYZ[2], XYZ_mg_per_LSB);
#endif
	return 0;
}

/* ---- file operations ---------------------------------------------------- */

/* Each open file keeps the record it is delivering. */
static int device_open(struct ks_inode *, struct ks_file *file)
{
	return record_file_open<ACCEL_RECORD_LEN>(file);
}

static int device_release(struct ks_inode *, struct ks_file *file)
{
	record_file_release(file);
	return 0;
}

/*
 * One record, then end of file (record_file.h). A fresh record samples the
 * sensor; the later pieces of a record taken in pieces come from the text
 * kept for this file, so they touch no register (a second INT_SOURCE read
 * would lose tap bits) and no command or other reader can tear them.
 */
static ks_ssize_t device_read(struct ks_file *filp, char *buffer, ks_size_t length,
			      ks_loff_t *offset)
{
	ks_ssize_t ret = record_read<ACCEL_RECORD_LEN>(filp, buffer, length, offset, make_record);

	if (ret == -EFAULT)
		accel_err("copy_to_user unsuccessful\n");
	return ret;
}

static const struct ks_fops fops = {
	device_open, device_release, device_read,
#ifdef ACCEL_VARIANT_BASIC
	0, /* read only: the kernel refuses writes */
#else
	device_write,
#endif
};

/* ---- module load and unload ------------------------------------------- */

/* Routes the pins, brings up the controller, starts the sensor measuring
 * with no sample of an earlier user's format left waiting. */
static int setup_hardware(void)
{
	int err;

	Pinmux_Config();
	err = I2C0_Init();
	if (!err)
		err = ADXL345_Init();
	if (!err)
		err = discard_waiting_sample();
	XYZ_mg_per_LSB = mg_per_LSB;
	return err;
}

/*
 * The windows are mapped and the sensor set up before the device is
 * registered, so no open can reach hardware that is not ready. A failed
 * step releases everything acquired before it.
 */
extern "C" int start_accel(void)
{
	const char *failed;
	int err;

	XYZ[0] = XYZ[1] = XYZ[2] = 0;
	mg_per_LSB = 0;

	err = i2c0_map();
	if (err)
		return err;
	err = setup_hardware();
	if (err)
		goto fail_windows;

	err = ks_chrdev_register(ACCEL_NAME, &fops, &dev_no, &accel_cdev, &accel_class, &failed);
	if (err) {
		accel_err("%s failed\n", failed);
		goto fail_windows;
	}
	return 0;

fail_windows:
	i2c0_unmap();
	return err;
}

/*
 * The kernel holds the module while the node is open, so no operation runs
 * here. No register is written: the sensor goes on measuring.
 */
extern "C" void stop_accel(void)
{
	i2c0_unmap();
	ks_chrdev_unregister(dev_no, accel_cdev, accel_class);
	accel_cdev = 0;
	accel_class = 0;
}
