// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * I2C controller 0, master of the sensor bus: its register window and the
 * system manager's routing of its pins, its set-up, the command words of one
 * access to a sensor register, and the stop and abort recovery that keep
 * one failed access from spoiling the next.
 *
 * Freestanding C++11 (no library, no exceptions, no allocation): the kernel
 * is reached only through ks.h.
 */
#include <stdint.h>

#include "ks.h"
#include "accel.h"
#include "adxl345.h"
#include "i2c0.h"

/*
 * Polls of a status register before a wait gives up. A poll is one uncached
 * load, 100 ns or more; the longest wait a working bus needs, a read queued
 * behind a full transmit queue at 400 kbit/s, is about 2.5 ms.
 */
static const unsigned int I2C0_POLL_BUDGET = 200000;

static volatile unsigned int *I2C0_ptr;
static volatile unsigned int *SYSMGR_ptr;

/* Set when a wait ran out: the controller may still hold part of an access
 * or stale received bytes, so it is set up afresh before the next one. */
static bool i2c0_stale;

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

/* ---- windows ----------------------------------------------------------- */

int i2c0_map(void)
{
	I2C0_ptr = ks_ioremap(I2C0_BASE, I2C0_SPAN);
	if (!I2C0_ptr)
		goto fail;
	SYSMGR_ptr = ks_ioremap(SYSMGR_BASE, SYSMGR_SPAN);
	if (!SYSMGR_ptr)
		goto fail_i2c0;
	i2c0_stale = false;
	return 0;

fail_i2c0:
	ks_iounmap(I2C0_ptr);
	I2C0_ptr = 0;
fail:
	accel_err("ioremap_nocache returned NULL\n");
	return -ENOMEM;
}

void i2c0_unmap(void)
{
	ks_iounmap(I2C0_ptr);
	I2C0_ptr = 0;
	ks_iounmap(SYSMGR_ptr);
	SYSMGR_ptr = 0;
}

/* ---- set-up, stop and recovery ------------------------------------------ */

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
	accel_err("I2C0 controller did not stop\n");
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
		accel_err("I2C0 controller did not start\n");
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
 * Register writes do not wait for room in the 64-word transmit queue, so
 * write-only commands in quick succession would overflow it and the
 * controller would drop words; a command that starts on an empty queue
 * stores at most 30.
 */
int i2c0_drain(void)
{
	for (unsigned int polls = 0; polls < I2C0_POLL_BUDGET; polls++) {
		if (!i2c0_load(I2C0_TX_LEVEL))
			return 0;
	}
	accel_err("I2C0 transmit queue does not empty\n");
	return i2c0_recover();
}

/*
 * Whether the register writes stored so far reached the sensor. Writes do
 * not wait, so an unacknowledged one shows only as the abort it latched:
 * once the queue is empty, the last word has at most one byte left on the
 * wire.
 */
int i2c0_writes_acknowledged(void)
{
	int err = i2c0_drain();

	if (err)
		return err;
	ks_udelay(2 * I2C0_BYTE_US);
	if (i2c0_load(I2C0_ABORT_SOURCE)) {
		accel_err("ADXL345 did not acknowledge a register write\n");
		return -EIO;
	}
	return 0;
}
#endif

/* ---- one access ----------------------------------------------------------- */

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

/* Takes len received bytes, oldest first. */
static int i2c0_collect(uint8_t address, uint8_t values[], uint8_t len)
{
	for (unsigned int i = 0; i < len; i++) {
		int err = i2c0_wait_rx();

		if (err) {
			accel_err("no answer from ADXL345 at register 0x%02X\n", address);
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

/* ---- sensor register access -------------------------------------------- */

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
