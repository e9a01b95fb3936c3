/*
 * accel: the ADXL345 accelerometer on I2C controller 0, as /dev/accel.
 *
 * A read returns one text record of the latest sample, the next read end of
 * file, the one after a fresh record. In the full and command variants a
 * write is one text command: help, re-initialisation, offset calibration,
 * identity check, data format or output data rate. The sensor is reached
 * through command words stored into the controller's data/command register;
 * the module lock keeps one user's access sequence, a whole command
 * included, from interleaving with another's.
 *
 * Freestanding C++11 (no library, no exceptions, no allocation): the kernel
 * is reached only through ks.h.
 */
#include <stddef.h>
#include <stdint.h>

#include "ks.h"
#include "record_file.h"
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

/* The scale XYZ was measured at, which the record prints with it: a format
 * change does not alter a sample fetched before it. */
static int XYZ_mg_per_LSB;

/* Set when a wait ran out: the controller may still hold part of an access
 * or stale received bytes, so it is set up afresh before the next one. */
static bool i2c0_stale;

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

/*
 * Waits for a received byte. A target that does not acknowledge makes the
 * controller abort the transfer, flushing both queues: no byte will come,
 * so the wait ends at once (-EIO) instead of running out (-ETIMEDOUT).
 */
static int i2c0_wait_rx(void)
{
	for (unsigned int polls = 0; polls < I2C0_POLL_BUDGET; polls++) {
		if (i2c0_load(I2C0_RX_LEVEL))
			return 0;
		if (i2c0_load(I2C0_ABORT_SOURCE))
			return -EIO;
	}
	return -ETIMEDOUT;
}

/*
 * Aborts whatever the controller does and waits until it is really off. A
 * controller holding the bus is not idle until the abort has sent a stop,
 * and the abort bit counts only in a store that keeps enable set, once
 * enable has settled: when the first try does not stop it (its enable bit
 * was cleared with the bus held), it is enabled, given the settling time,
 * aborted while it stays enabled, then disabled.
 */
static int i2c0_stop(void)
{
	i2c0_store(I2C0_ENABLE, I2C0_ENABLE_ABORT);
	if (i2c0_wait_enable_status(false))
		return 0;
	i2c0_store(I2C0_ENABLE, I2C0_ENABLE_ON);
	ks_udelay(I2C0_ENABLE_SETTLE_US);
	i2c0_store(I2C0_ENABLE, I2C0_ENABLE_ON | I2C0_ENABLE_ABORT);
	i2c0_store(I2C0_ENABLE, I2C0_ENABLE_ABORT);
	if (i2c0_wait_enable_status(false))
		return 0;
	ks_printk(KS_ERR "/dev/%s: I2C0 controller did not stop\n", DEVICE_NAME);
	return -ETIMEDOUT;
}

/*
 * An abort latches: the controller drops every command word until the
 * interrupt clear register is read, and disabling it may not end that. So
 * the clear follows every enable, as in Linux's driver for this controller
 * family.
 */
int I2C0_Init(void)
{
	int err = i2c0_stop();

	if (err)
		return err;

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
	i2c0_load(I2C0_CLEAR_INTERRUPTS);
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

/*
 * Before each access. After a failed wait the controller is set up afresh;
 * otherwise an abort an earlier access may have latched (a write to a
 * sensor off the bus, which nothing waits for) is cleared, or the
 * controller would drop this access's words, and every later one's.
 */
static int i2c0_ready(void)
{
	if (i2c0_stale)
		return i2c0_recover();
	i2c0_load(I2C0_CLEAR_ABORT);
	return 0;
}

#ifndef ACCEL_VARIANT_BASIC
/*
 * Waits until every stored word has gone out. Register writes do not wait
 * for room in the 64-word transmit queue, so write-only commands in quick
 * succession would overflow it and the controller would drop words; a
 * command that starts on an empty queue stores at most 30.
 */
static int i2c0_drain(void)
{
	for (unsigned int polls = 0; polls < I2C0_POLL_BUDGET; polls++) {
		if (!i2c0_load(I2C0_TX_LEVEL))
			return 0;
	}
	ks_printk(KS_ERR "/dev/%s: I2C0 transmit queue does not empty\n", DEVICE_NAME);
	return i2c0_recover();
}
#endif

#ifndef ACCEL_VARIANT_BASIC
/*
 * Whether the register writes stored so far reached the sensor. Writes do
 * not wait, so an unacknowledged one shows only as the abort it latched:
 * once the queue is empty, the last word has at most one byte left on the
 * wire.
 */
static int i2c0_writes_acknowledged(void)
{
	int err = i2c0_drain();

	if (err)
		return err;
	ks_udelay(2 * I2C0_BYTE_US);
	if (i2c0_load(I2C0_ABORT_SOURCE)) {
		ks_printk(KS_ERR "/dev/%s: ADXL345 did not acknowledge a register write\n",
			  DEVICE_NAME);
		return -EIO;
	}
	return 0;
}
#endif

/* Takes len received bytes, oldest first. */
static int i2c0_collect(uint8_t address, uint8_t values[], uint8_t len)
{
	for (unsigned int i = 0; i < len; i++) {
		int err = i2c0_wait_rx();

		if (err) {
			ks_printk(KS_ERR "/dev/%s: no answer from ADXL345 at register 0x%02X\n",
				  DEVICE_NAME, address);
			/* An abort left the queues empty and is cleared before the
			 * next access; a wait that ran out may leave a late byte. */
			if (err == -ETIMEDOUT) {
				i2c0_stale = true;
				i2c0_recover();
			}
			return -EIO;
		}
		values[i] = i2c0_load(I2C0_DATA_CMD) & I2C0_DATA_MASK;
	}
	return 0;
}

/* ---- ADXL345 register access ------------------------------------------ */

/*
 * Stores the words of one access in a row, with nothing in between: if the
 * controller sends a stop when its queue runs empty, an interrupt between
 * the address word and the next would split the access, and a value byte
 * would open a new one as a register address. A few stores, microseconds.
 */
static void i2c0_store_access(uint8_t address, uint32_t word, unsigned int count)
{
	unsigned long flags = ks_irq_save();

	i2c0_store(I2C0_DATA_CMD, address + I2C0_CMD_RESTART);
	for (unsigned int i = 0; i < count; i++)
		i2c0_store(I2C0_DATA_CMD, word);
	ks_irq_restore(flags);
}

/* Hands both words to the controller and returns at once. */
int ADXL345_REG_WRITE(uint8_t address, uint8_t value)
{
	int err = i2c0_ready();

	if (err)
		return err;
	i2c0_store_access(address, value, 1);
	return 0;
}

int ADXL345_REG_READ(uint8_t address, uint8_t *value)
{
	int err = i2c0_ready();

	if (err)
		return err;
	i2c0_store_access(address, I2C0_CMD_READ, 1);
	return i2c0_collect(address, value, 1);
}

/* All read commands are queued before the first byte is collected. */
int ADXL345_REG_MULTI_READ(uint8_t address, uint8_t values[], uint8_t len)
{
	int err = i2c0_ready();

	if (err)
		return err;
	i2c0_store_access(address, I2C0_CMD_READ, len);
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

#define ARRAY_LEN(a) (sizeof(a) / sizeof((a)[0]))

static int write_sequence(const reg_setting sequence[], size_t n)
{
	for (size_t i = 0; i < n; i++) {
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

int ADXL345_IdRead(uint8_t *pId)
{
	return ADXL345_REG_READ(ADXL345_DEVID, pId);
}

/*
 * DATA_READY survives standby and format changes, so a sample measured
 * before a change would be taken for one measured after it. Reading the
 * data registers drops it; call after the change has been written.
 */
static int discard_waiting_sample(void)
{
	int16_t stale[3];

	return ADXL345_XYZ_Read(stale);
}

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

typedef record_file<ACCEL_RECORD_LEN> accel_record;

/* Counts below -999 make the text longer than the record: the record is
 * then its first ACCEL_RECORD_LEN characters, cut within themessage. */
static void format_record(char themessage[ACCEL_RECORD_LEN + 1], unsigned int first_field)
{
#ifdef ACCEL_VARIANT_FULL
	ks_snprintf(themessage, ACCEL_RECORD_LEN + 1, "%2X %04d %04d %04d %02d\n", first_field,
		    XYZ[0], XYZ[1], XYZ[2], XYZ_mg_per_LSB);
#else
	ks_snprintf(themessage, ACCEL_RECORD_LEN + 1, "%1d %04d %04d %04d %02d\n",
		    (int)first_field, XYZ[0], XYZ[1], XYZ[2], XYZ_mg_per_LSB);
#endif
}

/* Each open file keeps the record it is delivering. */
int device_open(struct ks_inode *, struct ks_file *file)
{
	return record_file_open<ACCEL_RECORD_LEN>(file);
}

int device_release(struct ks_inode *, struct ks_file *file)
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
ks_ssize_t device_read(struct ks_file *filp, char *buffer, ks_size_t length, ks_loff_t *offset)
{
	accel_record *record = record_file_of<ACCEL_RECORD_LEN>(filp);
	record_piece piece;
	unsigned int first_field;
	ks_ssize_t ret;
	int err;

	err = ks_lock();
	if (err)
		return err;
	if (!record_plan(record, length, offset, &piece)) {
		ks_unlock();
		return 0;
	}
	if (piece.fresh) {
		err = acquire_sample(&first_field);
		if (err) {
			ks_unlock();
			return err;
		}
		format_record(record->text, first_field);
	}
	ret = record_deliver(record, buffer, &piece, offset);
	ks_unlock();

	if (ret < 0)
		ks_printk(KS_ERR "/dev/%s: copy_to_user unsuccessful\n", DEVICE_NAME);
	return ret;
}

/* ---- offset calibration ----------------------------------------------- */
#ifndef ACCEL_VARIANT_BASIC

static const int CALIBRATION_SAMPLES = 64;
/* Scales in thousandths of a milli-g: one offset register LSB is 15.6 mg. */
static const int32_t OFFSET_LSB = 15600;
static const int32_t ONE_G_MG = 1000;

/*
 * DATA_READY polls per sample before the sensor counts as silent. A poll is
 * one INT_SOURCE read, four bus bytes, about 90 us at 400 kbit/s: 1000 polls
 * are some 90 ms, nine output periods at the 100 Hz sampled at.
 */
static const unsigned int CALIBRATION_READY_POLLS = 1000;

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

static int calibration_wait_ready(void)
{
	for (unsigned int polls = 0; polls < CALIBRATION_READY_POLLS; polls++) {
		int ready = ADXL345_IsDataReady();

		if (ready)
			return ready < 0 ? ready : 0;
		/* Sampling takes most of a second: let other tasks run. */
		ks_cond_resched();
	}
	ks_printk(KS_ERR "/dev/%s: calibration stopped: ADXL345 delivers no samples\n",
		  DEVICE_NAME);
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

/* The samples carry no earlier correction. */
static const reg_setting calibration_clear[] = {
	{ADXL345_POWER_CTL, ADXL345_STANDBY},
	{ADXL345_OFSX, 0x00},
	{ADXL345_OFSY, 0x00},
	{ADXL345_OFSZ, 0x00},
};

/* Standby, offsets cleared, no sample of before waiting (every one
 * averaged is measured from here on); saved_bw the output data rate. */
static int calibration_prepare(uint8_t *saved_bw)
{
	int err = write_sequence(calibration_clear, ARRAY_LEN(calibration_clear));

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
		ks_printk(KS_ERR "/dev/%s: cannot calibrate at %d mg per count\n", DEVICE_NAME,
			  mg_per_LSB);
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

/* ---- command interface -------------------------------------------------
 * One command per write, interpreted at once between a standby and a
 * measurement write, so that no configuration register changes while the
 * sensor measures. Outcomes and rejected commands go to the kernel log.
 */

/* A word of the text fits command, the second word of "rate" fits rate. */
static const size_t COMMAND_SIZE = 16, RATE_SIZE = 8;
static_assert(COMMAND_SIZE > ACCEL_TEXT_MAX, "first word fits command");
static_assert(RATE_SIZE > ACCEL_TEXT_MAX - (sizeof("rate ") - 1), "second word fits rate");
/* After "format " no number has more digits than an int holds. */
static_assert(ACCEL_TEXT_MAX - (sizeof("format ") - 1) <= 9, "numbers cannot overflow");

static const char *const help_banner[] = {
#ifdef ACCEL_VARIANT_FULL
	"Varnex FPGA sample device driver\n",
	"Returns: int_source accel_x accel_y accel_z mg/lsb\n",
#endif
	"Usage: --\n",
	"       init\n",
	"       calibrate\n",
	"       device\n",
	"       format F GG, where F=1 means full res, GG = {2,4,8,16} G\n",
	"       rate R, where R = {25,12.5,6.25,1.56,0.78} Hz\n",
};

struct rate_setting {
	const char *word;
	uint8_t code;
};

static const rate_setting rate_table[] = {
	{"25", ADXL345_RATE_25HZ},     {"12.5", ADXL345_RATE_12_5HZ}, {"6.25", ADXL345_RATE_6_25HZ},
	{"1.56", ADXL345_RATE_1_56HZ}, {"0.78", ADXL345_RATE_0_78HZ},
};

/*
 * The text as the writer sent it is accel_string (for messages); commands
 * read their words from scan (see scan_copy).
 */
struct command_text {
	const char *accel_string;
	const char *scan;
};

/*
 * Both sscanf implementations take the same six characters for white space,
 * except that the kernel's also takes byte 0xA0. Words are read from a copy
 * in which that byte is a blank, so that kernel and host read the same.
 */
static void scan_copy(char scan[], const char accel_string[])
{
	size_t n = 0;

	for (; accel_string[n]; n++)
		scan[n] = (unsigned char)accel_string[n] == 0xA0 ? ' ' : accel_string[n];
	scan[n] = '\0';
}

static bool is_blank(char c)
{
	return c == ' ' || (c >= '\t' && c <= '\r');
}

static bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

static const char *skip_blanks(const char *p)
{
	while (is_blank(*p))
		p++;
	return p;
}

/* End of a number as the kernel's %d reads it, an optional '-' and digits;
 * null when none starts at p. */
static const char *number_end(const char *p)
{
	if (*p == '-')
		p++;
	if (!is_digit(*p))
		return 0;
	while (is_digit(*p))
		p++;
	return p;
}

/*
 * sscanf(scan, "%s %d %d") with numbers read the kernel's way. The C
 * library's %d also takes a leading '+': the fields are cut where the
 * kernel's conversion stops, so both give the same count.
 */
static int scan_format(const char *scan, char command[], int *full, int *range)
{
	const char *p = skip_blanks(scan);
	int numbers = 0;

	while (*p && !is_blank(*p))
		p++;
	for (p = skip_blanks(p); numbers < 2 && (p = number_end(p)); p = skip_blanks(p))
		numbers++;
	int fields = ks_sscanf(scan, "%s %d %d", command, full, range);
	return fields < 1 + numbers ? fields : 1 + numbers;
}

static int command_help(const command_text *)
{
	for (size_t n = 0; n < ARRAY_LEN(help_banner); n++)
		ks_printk(KS_ERR "%s", help_banner[n]);
	return 0;
}

/* The sample waiting may be of the format before. */
static int command_init(const command_text *)
{
	int err = ADXL345_Init();

	return err ? err : discard_waiting_sample();
}

static int command_calibrate(const command_text *)
{
	return ADXL345_Calibrate();
}

static int command_device(const command_text *)
{
	uint8_t pID;
	int err = ADXL345_IdRead(&pID);

	if (err)
		return err;
	if (pID == ADXL345_DEVID_VALUE)
		ks_printk(KS_ERR "/dev/%s: ADXL345 device ID is 0x%X\n", DEVICE_NAME, pID);
	else
		ks_printk(KS_ERR "/dev/%s: found wrong device ID 0x%X\n", DEVICE_NAME, pID);
	return 0;
}

/* Range code: log2 of the range in g, minus 1 (2 g gives 0, 16 g gives 3). */
static int range_code(int range)
{
	int i = 0;

	for (range >>= 2; range; range >>= 1)
		i++;
	return i;
}

/* Range and resolution; mg_per_LSB changes only once DATA_FORMAT did. */
static int set_format(int full, int range)
{
	int i = range_code(range);
	int scale = full ? 4 : (range * 1000 + 256) / 512;
	uint8_t saved_dataformat;
	int err = ADXL345_REG_READ(ADXL345_DATA_FORMAT, &saved_dataformat);

	if (err)
		return err;
	/* Bit 2 (left-justified) stays 0: the counts are right-justified. */
	err = ADXL345_REG_WRITE(ADXL345_DATA_FORMAT, (saved_dataformat & ADXL345_FORMAT_UPPER) | i |
							     (full ? ADXL345_FULL_RES : 0));
	if (err)
		return err;
	mg_per_LSB = scale;
	return discard_waiting_sample();
}

static const reg_setting offsets_cleared[] = {
	{ADXL345_OFSX, 0x00},
	{ADXL345_OFSY, 0x00},
	{ADXL345_OFSZ, 0x00},
};

static int command_format(const command_text *text)
{
	char command[COMMAND_SIZE];
	int full, range;
	int err;

	if (scan_format(text->scan, command, &full, &range) != 3) {
		ks_printk(KS_ERR "/dev/%s: can't parse user input %s\n", DEVICE_NAME,
			  text->accel_string);
		return 0;
	}
	err = write_sequence(offsets_cleared, ARRAY_LEN(offsets_cleared));
	if (err)
		return err;
	if (range != 2 && range != 4 && range != 8 && range != 16) {
		ks_printk(KS_ERR "/dev/%s: bad range value %d\n", DEVICE_NAME, range);
		return 0;
	}
	return set_format(full, range);
}

static int command_rate(const command_text *text)
{
	char command[COMMAND_SIZE], rate[RATE_SIZE];

	if (ks_sscanf(text->scan, "%s %s", command, rate) != 2) {
		ks_printk(KS_ERR "/dev/%s: can't parse user input: %s\n", DEVICE_NAME,
			  text->accel_string);
		return 0;
	}
	for (size_t n = 0; n < ARRAY_LEN(rate_table); n++) {
		if (!ks_strcmp(rate, rate_table[n].word))
			return ADXL345_REG_WRITE(ADXL345_BW_RATE, rate_table[n].code);
	}
	ks_printk(KS_ERR "/dev/%s: bad rate %s (use 25, 12.5, 6.25, 1.56, or 0.78)\n", DEVICE_NAME,
		  rate);
	return 0;
}

struct accel_command {
	const char *word;
	int (*run)(const command_text *text);
};

/* Matched in this order, exactly. */
static const accel_command commands[] = {
	{"--", command_help},
	{"init", command_init},
	{"calibrate", command_calibrate},
	{"device", command_device},
	{"format", command_format},
	{"rate", command_rate},
};

/*
 * Runs the command of the text. Returns 0, or the error of a failed bus
 * access; for a text without a word, -EINVAL when the writer sent bytes
 * (a writer retrying the rest would loop) and 0 for an empty write.
 */
static int interpret(const char accel_string[], ks_size_t length)
{
	char scan[ACCEL_TEXT_MAX + 1];
	char command[COMMAND_SIZE];
	command_text text = {accel_string, scan};

	scan_copy(scan, accel_string);
	/* The kernel's %s converts an empty word from blanks alone. */
	if (ks_sscanf(scan, "%s", command) != 1 || !command[0]) {
		ks_printk(KS_ERR "/dev/%s: unable to read user input\n", DEVICE_NAME);
		return length ? -EINVAL : 0;
	}
	for (size_t n = 0; n < ARRAY_LEN(commands); n++) {
		if (!ks_strcmp(command, commands[n].word))
			return commands[n].run(&text);
	}
	ks_printk(KS_ERR "/dev/%s: received unrecognized command %s\n", DEVICE_NAME, command);
	return 0;
}

/*
 * Takes the first ACCEL_TEXT_MAX bytes of the writer's text; the rest is
 * ignored but counted as written. The file position is not used. A text
 * that could not be copied whole is not interpreted (its start alone could
 * be another command: "format 0 16" cut to "format 0 1"): the write fails
 * with -EFAULT, after the same standby and measurement bracket as any.
 */
ks_ssize_t device_write(struct ks_file *, const char *buffer, ks_size_t length, ks_loff_t *)
{
	char accel_string[ACCEL_TEXT_MAX + 1];
	ks_size_t bytes = length < ACCEL_TEXT_MAX ? length : ACCEL_TEXT_MAX;
	bool copied = !ks_copy_from_user(accel_string, buffer, bytes);
	int err, measure;

	if (!copied)
		ks_printk(KS_ERR "/dev/%s: copy_from_user unsuccessful\n", DEVICE_NAME);
	accel_string[bytes] = '\0';

	err = ks_lock();
	if (err)
		return err;
	err = i2c0_drain();
	if (!err)
		err = ADXL345_REG_WRITE(ADXL345_POWER_CTL, ADXL345_STANDBY);
	if (!err && copied)
		err = interpret(accel_string, length);
	/* Back to measuring whatever happened, also after a bus error. */
	measure = ADXL345_REG_WRITE(ADXL345_POWER_CTL, ADXL345_MEASURE);
	if (!err && !measure)
		measure = i2c0_writes_acknowledged();
	ks_unlock();

	if (err)
		return err;
	if (measure)
		return measure;
	return copied ? (ks_ssize_t)length : -EFAULT;
}

#endif /* !ACCEL_VARIANT_BASIC */

const struct ks_fops fops = {
	device_open,
	device_release,
	device_read,
#ifdef ACCEL_VARIANT_BASIC
	0, /* read only: the kernel refuses writes */
#else
	device_write,
#endif
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
 * The windows are mapped and the sensor set up before the device object is
 * added, so no open can reach hardware that is not ready. A failed step
 * releases everything acquired before it, in reverse order.
 */
extern "C" int start_accel(void)
{
	int err;

	XYZ[0] = XYZ[1] = XYZ[2] = 0;
	mg_per_LSB = 0;
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
