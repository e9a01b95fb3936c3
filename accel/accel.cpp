/*
 * accel: the ADXL345 accelerometer on I2C controller 0, as /dev/accel.
 *
 * A read returns one text record of the latest sample, the next read end of
 * file, the one after a fresh record. The sensor is reached through command
 * words stored into the controller's data/command register; the module lock
 * keeps one user's access sequence from interleaving with another's.
 *
 * Freestanding C++11 (no library, no exceptions, no allocation): the kernel
 * is reached only through ks.h.
 */
#include <stddef.h>
#include <stdint.h>

#include "ks.h"
#include "accel.h"
#include "adxl345.h"
#include "i2c0.h"

static const char DEVICE_NAME[] = "accel";

/*
 * Polls of a status register before a wait gives up. A poll is one uncached
 * load, 100 ns or more; the longest wait a working bus needs, a read queued
 * behind a full transmit queue at 400 kbit/s, is about 2.5 ms.
 */
static const unsigned int I2C0_POLL_BUDGET = 200000;

ks_dev_t dev_no;
struct ks_class *accel_class;
struct ks_cdev *accel_cdev;
volatile unsigned int *I2C0_ptr;
volatile unsigned int *SYSMGR_ptr;

int16_t XYZ[3];
int mg_per_LSB;

/* Set when a wait ran out: the controller may still hold part of an access
 * or stale received bytes, so it is set up afresh before the next one. */
static bool i2c0_stale;

/* First field of the last record (INT_SOURCE byte or new-data flag), for a
 * reader that takes the record in pieces smaller than the record. */
static unsigned int record_field;

/* ---- register windows ------------------------------------------------- */

static inline void i2c0_store(uint32_t offset, uint32_t value)
{
	ks_writel(value, I2C0_ptr + offset / 4);
}

static inline uint32_t i2c0_load(uint32_t offset)
{
	return ks_readl(I2C0_ptr + offset / 4);
}

static inline void sysmgr_store(uint32_t offset, uint32_t value)
{
	ks_writel(value, SYSMGR_ptr + offset / 4);
}

/* ---- I2C controller 0 -------------------------------------------------- */

void Pinmux_Config(void)
{
	sysmgr_store(SYSMGR_I2C0_ROUTE, SYSMGR_I2C0_ROUTE_PROCESSOR);
	sysmgr_store(SYSMGR_PINMUX_BUS_PIN1, SYSMGR_PINMUX_I2C0);
	sysmgr_store(SYSMGR_PINMUX_BUS_PIN2, SYSMGR_PINMUX_I2C0);
}

static bool i2c0_wait_enable_status(bool enabled)
{
	for (unsigned int polls = 0; polls < I2C0_POLL_BUDGET; polls++) {
		bool on = i2c0_load(I2C0_ENABLE_STATUS) & I2C0_ENABLE_STATUS_ON;

		if (on == enabled)
			return true;
	}
	return false;
}

static bool i2c0_wait_rx(void)
{
	for (unsigned int polls = 0; polls < I2C0_POLL_BUDGET; polls++) {
		if (i2c0_load(I2C0_RX_LEVEL))
			return true;
	}
	return false;
}

int I2C0_Init(void)
{
	i2c0_store(I2C0_ENABLE, I2C0_ENABLE_ABORT);
	if (!i2c0_wait_enable_status(false)) {
		ks_printk(KS_ERR "/dev/%s: I2C0 controller did not stop\n", DEVICE_NAME);
		return -ETIMEDOUT;
	}

	i2c0_store(I2C0_CONTROL, I2C0_CONTROL_MASTER | I2C0_CONTROL_SPEED_FAST |
					 I2C0_CONTROL_RESTART_EN | I2C0_CONTROL_SLAVE_DISABLE);
	i2c0_store(I2C0_TARGET, ADXL345_ADDRESS);
	i2c0_store(I2C0_FS_HCNT, I2C0_FS_HCNT_VALUE);
	i2c0_store(I2C0_FS_LCNT, I2C0_FS_LCNT_VALUE);

	i2c0_store(I2C0_ENABLE, I2C0_ENABLE_ON);
	if (!i2c0_wait_enable_status(true)) {
		ks_printk(KS_ERR "/dev/%s: I2C0 controller did not start\n", DEVICE_NAME);
		return -ETIMEDOUT;
	}
	return 0;
}

/*
 * Aborting and setting the controller up again ends any half-done access and
 * empties its queues; a byte that still arrived is dropped, so that no stale
 * byte can be taken as the answer to a later read.
 */
static int i2c0_recover(void)
{
	int err = I2C0_Init();

	if (err)
		return err;
	for (unsigned int n = 0; n < I2C0_RX_DEPTH && i2c0_load(I2C0_RX_LEVEL); n++)
		i2c0_load(I2C0_DATA_CMD);
	i2c0_stale = false;
	return 0;
}

static int i2c0_ready(void)
{
	return i2c0_stale ? i2c0_recover() : 0;
}

/* Takes len received bytes, oldest first. */
static int i2c0_collect(uint8_t address, uint8_t values[], uint8_t len)
{
	for (unsigned int i = 0; i < len; i++) {
		if (!i2c0_wait_rx()) {
			ks_printk(KS_ERR "/dev/%s: no answer from ADXL345 at register 0x%02X\n",
				  DEVICE_NAME, address);
			i2c0_stale = true;
			i2c0_recover();
			return -EIO;
		}
		values[i] = i2c0_load(I2C0_DATA_CMD) & I2C0_DATA_MASK;
	}
	return 0;
}

/* ---- ADXL345 register access ------------------------------------------ */

/* Hands both words to the controller and returns at once. */
int ADXL345_REG_WRITE(uint8_t address, uint8_t value)
{
	int err = i2c0_ready();

	if (err)
		return err;
	i2c0_store(I2C0_DATA_CMD, address + I2C0_CMD_RESTART);
	i2c0_store(I2C0_DATA_CMD, value);
	return 0;
}

int ADXL345_REG_READ(uint8_t address, uint8_t *value)
{
	int err = i2c0_ready();

	if (err)
		return err;
	i2c0_store(I2C0_DATA_CMD, address + I2C0_CMD_RESTART);
	i2c0_store(I2C0_DATA_CMD, I2C0_CMD_READ);
	return i2c0_collect(address, value, 1);
}

/* All read commands are queued before the first byte is collected. */
int ADXL345_REG_MULTI_READ(uint8_t address, uint8_t values[], uint8_t len)
{
	int err = i2c0_ready();

	if (err)
		return err;
	i2c0_store(I2C0_DATA_CMD, address + I2C0_CMD_RESTART);
	for (unsigned int i = 0; i < len; i++)
		i2c0_store(I2C0_DATA_CMD, I2C0_CMD_READ);
	return i2c0_collect(address, values, len);
}

/* ---- ADXL345 operations ----------------------------------------------- */

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
	{ADXL345_DUR, 0x20},        /* 20 ms */
	{ADXL345_LATENT, 0x10},     /* 20 ms */
	{ADXL345_WINDOW, 0xFF},     /* 318.75 ms */
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

int ADXL345_Init(void)
{
	for (size_t i = 0; i < sizeof(adxl345_init_sequence) / sizeof(adxl345_init_sequence[0]);
	     i++) {
		int err = ADXL345_REG_WRITE(adxl345_init_sequence[i].reg,
					    adxl345_init_sequence[i].value);
		if (err)
			return err;
	}
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

int ADXL345_IdRead(uint8_t *pId)
{
	return ADXL345_REG_READ(ADXL345_DEVID, pId);
}

/* ---- sample record ---------------------------------------------------- */

/*
 * Reads INT_SOURCE once and, when it reports new data, the sample into XYZ;
 * otherwise XYZ keeps the previous sample. Sets the record's first field.
 */
static int acquire_sample(void)
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
	}
	record_field = data8;
#else
	int NewData = ADXL345_IsDataReady();
	int err;

	if (NewData < 0)
		return NewData;
	if (NewData) {
		err = ADXL345_XYZ_Read(XYZ);
		if (err)
			return err;
	}
	record_field = NewData;
#endif
	return 0;
}

/* Counts below -999 make the text longer than the record: the record is
 * then its first ACCEL_RECORD_LEN characters, cut within themessage. */
static void format_record(char themessage[ACCEL_RECORD_LEN + 1])
{
#ifdef ACCEL_VARIANT_FULL
	ks_snprintf(themessage, ACCEL_RECORD_LEN + 1, "%2X %04d %04d %04d %02d\n", record_field,
		    XYZ[0], XYZ[1], XYZ[2], mg_per_LSB);
#else
	ks_snprintf(themessage, ACCEL_RECORD_LEN + 1, "%1d %04d %04d %04d %02d\n",
		    (int)record_field, XYZ[0], XYZ[1], XYZ[2], mg_per_LSB);
#endif
}

int device_open(struct ks_inode *, struct ks_file *)
{
	return 0;
}

int device_release(struct ks_inode *, struct ks_file *)
{
	return 0;
}

/*
 * One record, then end of file. The position says how much of the record
 * was delivered: bytes = L - position.
 *
 * A buffer that holds a record (length >= L) gets the first bytes characters
 * of a fresh record and the position becomes bytes: 0 gives L, L gives end
 * of file and 0 again.
 *
 * A smaller buffer takes the record in pieces: the first piece samples the
 * sensor, later ones continue the same text from the position on without
 * touching the sensor (a piece-wise INT_SOURCE read would lose tap bits), and
 * the position advances by what was delivered, so that a reader going to
 * end of file gets the record once.
 *
 * Positions at or beyond L read as end of file and leave the position 0.
 */
ks_ssize_t device_read(struct ks_file *, char *buffer, ks_size_t length, ks_loff_t *offset)
{
	char themessage[ACCEL_RECORD_LEN + 1];
	unsigned int position, bytes, start, count;
	bool fresh;
	int err;

	if (*offset < 0 || *offset >= ACCEL_RECORD_LEN) {
		*offset = 0;
		return 0;
	}
	position = (unsigned int)*offset;
	bytes = ACCEL_RECORD_LEN - position;
	if (!length)
		return 0;

	if (length >= ACCEL_RECORD_LEN) {
		fresh = true;
		start = 0;
		count = bytes;
	} else {
		fresh = position == 0;
		start = position;
		count = length < bytes ? (unsigned int)length : bytes;
	}

	err = ks_lock();
	if (err)
		return err;
	err = fresh ? acquire_sample() : 0;
	if (!err)
		format_record(themessage);
	ks_unlock();
	if (err)
		return err;

	if (ks_copy_to_user(buffer, themessage + start, count))
		ks_printk(KS_ERR "/dev/%s: copy_to_user unsuccessful\n", DEVICE_NAME);
	*offset = start + count;
	return count;
}

/* ---- command interface -------------------------------------------------
 * device_write and ADXL345_Calibrate of the full and command variants belong
 * here. They are not built yet, so for now no variant offers a write
 * operation and the kernel refuses writes to the node.
 */

const struct ks_fops fops = {
	device_open,
	device_release,
	device_read,
	0, /* write: device_write (full and command variants), not built yet */
};

/* ---- module load and unload ------------------------------------------- */

static int map_windows(void)
{
	I2C0_ptr = ks_ioremap(I2C0_BASE, I2C0_SPAN);
	if (!I2C0_ptr)
		goto fail;
	SYSMGR_ptr = ks_ioremap(SYSMGR_BASE, SYSMGR_SPAN);
	if (!SYSMGR_ptr)
		goto fail_i2c0;
	return 0;

fail_i2c0:
	ks_iounmap(I2C0_ptr);
	I2C0_ptr = 0;
fail:
	ks_printk(KS_ERR "/dev/%s: ioremap_nocache returned NULL\n", DEVICE_NAME);
	return -ENOMEM;
}

static void unmap_windows(void)
{
	ks_iounmap(I2C0_ptr);
	I2C0_ptr = 0;
	ks_iounmap(SYSMGR_ptr);
	SYSMGR_ptr = 0;
}

/* Routes the pins, brings up the controller, starts the sensor measuring. */
static int setup_hardware(void)
{
	int err;

	Pinmux_Config();
	err = I2C0_Init();
	if (err)
		return err;
	return ADXL345_Init();
}

/*
 * The windows are mapped and the sensor set up before the device object is
 * added, so no open can reach hardware that is not ready. A failed step
 * releases everything acquired before it, in reverse order.
 */
extern "C" int start_accel(void)
{
	int err;

	XYZ[0] = XYZ[1] = XYZ[2] = 0;
	mg_per_LSB = 0;
	record_field = 0;
	i2c0_stale = false;

	err = ks_alloc_chrdev_region(&dev_no, 0, 1, DEVICE_NAME);
	if (err < 0) {
		ks_printk(KS_ERR "/dev/%s: alloc_chrdev_region() failed\n", DEVICE_NAME);
		return err;
	}

	err = ks_class_create(&accel_class, DEVICE_NAME);
	if (err < 0) {
		ks_printk(KS_ERR "/dev/%s: class_create() failed\n", DEVICE_NAME);
		goto fail_region;
	}

	err = map_windows();
	if (err)
		goto fail_class;
	err = setup_hardware();
	if (err)
		goto fail_windows;

	accel_cdev = ks_cdev_alloc(&fops);
	if (!accel_cdev) {
		ks_printk(KS_ERR "/dev/%s: cdev_alloc() failed\n", DEVICE_NAME);
		err = -ENOMEM;
		goto fail_windows;
	}
	err = ks_cdev_add(accel_cdev, dev_no, 1);
	if (err < 0) {
		ks_printk(KS_ERR "/dev/%s: cdev_add() failed\n", DEVICE_NAME);
		goto fail_cdev;
	}

	err = ks_device_create(accel_class, dev_no, DEVICE_NAME);
	if (err < 0) {
		ks_printk(KS_ERR "/dev/%s: device_create() failed\n", DEVICE_NAME);
		goto fail_cdev;
	}
	return 0;

fail_cdev:
	/* Also right for an object never added: it is only freed. */
	ks_cdev_del(accel_cdev);
	accel_cdev = 0;
fail_windows:
	unmap_windows();
fail_class:
	ks_class_destroy(accel_class);
	accel_class = 0;
fail_region:
	ks_unregister_chrdev_region(dev_no, 1);
	return err;
}

/*
 * The kernel holds the module while the node is open, so no operation runs
 * here. No register is written: the sensor goes on measuring.
 */
extern "C" void stop_accel(void)
{
	unmap_windows();
	ks_device_destroy(accel_class, dev_no);
	ks_cdev_del(accel_cdev);
	accel_cdev = 0;
	ks_class_destroy(accel_class);
	accel_class = 0;
	ks_unregister_chrdev_region(dev_no, 1);
}
