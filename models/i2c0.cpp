// SPDX-License-Identifier: GPL-2.0-or-later
// I2C controller 0 as bus master: transmit queue of command words, receive
// queue of bytes, a byte engine that moves words onto the bus at the
// programmed SCL counts, and the interrupt logic over them. Register
// behaviour follows the published register descriptions of this controller
// family and what Linux's driver for it relies on (its platform driver in
// drivers/i2c/busses/: the register header, the common and master parts).
//
// The engine is event driven: it jumps from one word's completion time to
// the next, so catching up costs one step per word, never one per tick. A
// word that opens an access (restart bit, first word, change of direction)
// costs an extra byte time for the address byte (two for a 10-bit
// address). When the transmit queue runs empty inside an access the
// controller holds the bus (MST_ON_HOLD) or closes the access with a stop,
// as its end-of-queue choice says; the sensor keeps its register pointer
// across a stop.
//
// Aborts, requested or from an address nobody acknowledges, latch: both
// queues are flushed and stay so, every word stored is dropped, until
// software reads the abort clear or the combined interrupt clear register.
// The abort bit counts only in a store that keeps enable set, once enable
// has been set for I2C_ENABLE_SETTLE_NS. Clearing enable lets the word on
// the wire finish, flushes the queue and sends a stop; a controller that
// already held the bus with an empty queue stays active until aborted
// (Linux's __i2c_dw_disable() aborts for that reason). Enable status drops
// I2C_ENABLE_SETTLE_NS after the controller went idle. Configuration
// registers take stores only while the enable bit is clear.
#include "models/board.h"
#include "models/i2c0_regs.h"

namespace models {
namespace {

const uint64_t CYCLE_NS = 1000000000u / I2C_INPUT_CLOCK_HZ;

const uint32_t COMP_PARAM_1 = I2C_PARAM_APB_32BIT | I2C_PARAM_MAX_SPEED_FAST | I2C_PARAM_INTR_IO |
			      I2C_PARAM_ENCODED | (I2C_FIFO_DEPTH - 1) << I2C_PARAM_RX_DEPTH_SHIFT |
			      (I2C_FIFO_DEPTH - 1) << I2C_PARAM_TX_DEPTH_SHIFT;

void report(Board *b, const char *what, uint32_t offset, uint32_t value)
{
	guest_error(&b->guest_errors, "i2c0", what, offset, value);
}

bool engine_runs(const I2c0 *c)
{
	const uint32_t master = I2C_CON_MASTER | I2C_CON_SLAVE_DISABLE;
	return (c->enable & I2C_ENABLE_EN) && (c->con & master) == master && !c->aborting &&
	       !c->abort_latched;
}

// One SCL period in input clock cycles, the fixed overheads included.
uint64_t bit_cycles(const I2c0 *c)
{
	bool standard =
		((c->con & I2C_CON_SPEED_MASK) >> I2C_CON_SPEED_SHIFT) == I2C_CON_SPEED_STANDARD;
	uint32_t h = standard ? c->ss_hcnt : c->hcnt;
	uint32_t l = standard ? c->ss_lcnt : c->lcnt;
	return (uint64_t)h + I2C_HCNT_OVERHEAD + l + I2C_LCNT_OVERHEAD;
}

uint64_t byte_ns(const I2c0 *c)
{
	return I2C_BITS_PER_BYTE * bit_cycles(c) * CYCLE_NS;
}

// A stop condition: one SCL period.
uint64_t stop_ns(const I2c0 *c)
{
	return bit_cycles(c) * CYCLE_NS;
}

bool sensor_reachable(const Board *b)
{
	return b->sensor.connected && sensor_bus_routed(&b->sysmgr);
}

bool ten_bit(const I2c0 *c)
{
	return (c->con & I2C_CON_10BIT_MASTER) || (c->tar & I2C_TAR_10BIT_MASTER);
}

// The abort source of an address phase nobody answers, 0 when the sensor
// answers. No 10-bit target is on the bus, and the sensor ignores general
// calls.
uint32_t address_nack(const Board *b, bool read)
{
	const I2c0 *c = &b->i2c0;
	if (c->tar & I2C_TAR_SPECIAL)
		return read ? I2C_ABRT_GCALL_READ : I2C_ABRT_GCALL_NOACK;
	if (ten_bit(c))
		return I2C_ABRT_10ADDR1_NOACK;
	if (!sensor_reachable(b) || (c->tar & I2C_TAR_7BIT_MASK) != SENSOR_ADDRESS)
		return I2C_ABRT_7B_ADDR_NOACK;
	return 0;
}

void flush_tx(I2c0 *c)
{
	c->tx_head = 0;
	c->tx_count = 0;
}

void flush_rx(I2c0 *c)
{
	c->rx_head = 0;
	c->rx_count = 0;
}

uint32_t tx_pop(I2c0 *c)
{
	uint32_t w = c->tx[c->tx_head];
	c->tx_head = (c->tx_head + 1) % I2C_FIFO_DEPTH;
	c->tx_count--;
	return w;
}

void tx_push(Board *b, uint32_t w)
{
	I2c0 *c = &b->i2c0;
	if (c->tx_count == I2C_FIFO_DEPTH) {
		c->tx_overflows++;
		c->raw_intr |= I2C_INTR_TX_OVER;
		report(b, "command word stored into a full transmit queue", I2C_DATA_CMD, w);
		return;
	}
	c->tx[(c->tx_head + c->tx_count) % I2C_FIFO_DEPTH] = w;
	c->tx_count++;
}

void rx_push(I2c0 *c, uint8_t v)
{
	if (c->rx_count == I2C_FIFO_DEPTH) {
		c->rx_overflows++;
		c->raw_intr |= I2C_INTR_RX_OVER;
		return;
	}
	c->rx[(c->rx_head + c->rx_count) % I2C_FIFO_DEPTH] = v;
	c->rx_count++;
}

uint8_t rx_pop(Board *b)
{
	I2c0 *c = &b->i2c0;
	if (!c->rx_count) {
		c->raw_intr |= I2C_INTR_RX_UNDER;
		report(b, "load of an empty receive queue", I2C_DATA_CMD, 0);
		return 0;
	}
	uint8_t v = c->rx[c->rx_head];
	c->rx_head = (c->rx_head + 1) % I2C_FIFO_DEPTH;
	c->rx_count--;
	return v;
}

void end_access(Board *b)
{
	I2c0 *c = &b->i2c0;
	if (c->in_access) {
		adxl345_bus_stop(&b->sensor);
		c->raw_intr |= I2C_INTR_STOP_DET;
	}
	c->in_access = false;
	c->on_hold = false;
}

// Stop on the bus, both queues flushed and held so until cleared.
void latch_abort(Board *b, uint32_t source)
{
	I2c0 *c = &b->i2c0;
	end_access(b);
	flush_tx(c);
	flush_rx(c);
	c->abort_latched = true;
	c->abort_source |= source;
	c->raw_intr |= I2C_INTR_TX_ABRT;
}

void finish_abort(Board *b)
{
	I2c0 *c = &b->i2c0;
	c->aborting = false;
	c->abort_timed = false;
	latch_abort(b, I2C_ABRT_USER_ABRT);
}

// Puts the next queued word on the wire at time t. False when there is
// none to send.
bool start_word(Board *b, uint64_t t)
{
	I2c0 *c = &b->i2c0;
	if (!engine_runs(c) || !c->tx_count)
		return false;
	uint32_t w = tx_pop(c);
	bool read = w & I2C_CMD_READ;
	c->on_hold = false;
	c->flight_word = w;
	c->flight_start = (w & I2C_CMD_RESTART) || !c->in_access || read != c->reading;
	c->flight_nack = c->flight_start ? address_nack(b, read) : 0;
	unsigned address_bytes = ten_bit(c) ? 2 : 1;
	unsigned bytes = 1;
	if (c->flight_start)
		bytes = c->flight_nack ? 1 : 1 + address_bytes;
	c->busy_until_ns = t + bytes * byte_ns(c);
	c->in_flight = true;
	c->raw_intr |= I2C_INTR_ACTIVITY;
	if (c->flight_start)
		c->raw_intr |= I2C_INTR_START_DET;
	return true;
}

void finish_word(Board *b, uint64_t t)
{
	I2c0 *c = &b->i2c0;
	uint32_t w = c->flight_word;
	bool read = w & I2C_CMD_READ;
	c->in_flight = false;
	if (c->flight_start) {
		c->bus_bytes++;
		if (c->flight_nack) {
			c->aborts++;
			c->in_access = true; // the start went out: a stop follows
			latch_abort(b, c->flight_nack);
			return;
		}
		adxl345_bus_start(&b->sensor, read);
		c->in_access = true;
		c->reading = read;
	}
	c->bus_bytes++;
	if (!sensor_reachable(b)) {
		// Gone mid-access: a written byte is not acknowledged, a read
		// one never driven.
		c->aborts++;
		latch_abort(b, I2C_ABRT_TXDATA_NOACK);
		return;
	}
	if (read) {
		c->rx_bytes++;
		rx_push(c, adxl345_bus_read(&b->sensor, t));
	} else {
		adxl345_bus_write(&b->sensor, (uint8_t)(w & I2C_CMD_DATA_MASK), t);
	}
	if (w & I2C_CMD_STOP)
		end_access(b);
}

// Nothing on the wire and nothing to send. Enabled, the access is held or
// closed as the end-of-queue choice says. Disabling closes it with a stop,
// unless the bus was already held before: then only an abort frees it. An
// idle disabled controller reports itself off once the enable has settled.
void queue_ran_empty(Board *b, uint64_t t)
{
	I2c0 *c = &b->i2c0;
	bool disabling = !(c->enable & I2C_ENABLE_EN);
	if (c->in_access && !disabling) {
		if (c->queue_end == I2C_QUEUE_END_STOP)
			end_access(b);
		else
			c->on_hold = true;
	}
	if (c->in_access && disabling && !c->on_hold)
		end_access(b);
	if (disabling && !c->in_access && c->enabled && !c->idle_since_valid) {
		c->idle_since_valid = true;
		c->idle_since_ns = t;
	}
}

void settle_disable(I2c0 *c, uint64_t until_ns)
{
	if (c->idle_since_valid && c->enabled &&
	    until_ns >= c->idle_since_ns + I2C_ENABLE_SETTLE_NS) {
		c->enabled = false;
		c->idle_since_valid = false;
		flush_rx(c);
	}
}

uint32_t enable_status(const I2c0 *c)
{
	if (c->stuck_enabled)
		return I2C_ENABLE_STATUS_EN;
	if (c->stuck_disabled)
		return 0;
	return c->enabled ? I2C_ENABLE_STATUS_EN : 0;
}

bool abort_settled(const Board *b)
{
	const I2c0 *c = &b->i2c0;
	return (c->enable & I2C_ENABLE_EN) &&
	       b->now_ns - c->enable_since_ns >= I2C_ENABLE_SETTLE_NS;
}

void write_enable(Board *b, uint32_t value)
{
	I2c0 *c = &b->i2c0;
	bool keep = value & I2C_ENABLE_EN;
	if (value & I2C_ENABLE_ABORT) {
		if (keep && abort_settled(b) && !c->aborting) {
			c->user_aborts++;
			c->aborting = true;
			flush_tx(c);
		} else if (!c->aborting) {
			report(b, "abort ignored: enable not set, or not settled", I2C_ENABLE,
			       value);
		}
	}
	if (keep && !(c->enable & I2C_ENABLE_EN))
		c->enable_since_ns = b->now_ns;
	c->enable = keep ? I2C_ENABLE_EN : 0;
	if (keep) {
		c->enabled = true;
		c->idle_since_valid = false;
	} else {
		flush_tx(c);
	}
	i2c0_run(b, b->now_ns);
}

uint32_t clear_abort(I2c0 *c)
{
	uint32_t was = c->raw_intr & I2C_INTR_TX_ABRT ? 1 : 0;
	c->abort_latched = false;
	c->abort_source = 0;
	c->raw_intr &= ~I2C_INTR_TX_ABRT;
	return was;
}

uint32_t clear_bits(I2c0 *c, uint32_t bits)
{
	uint32_t was = c->raw_intr & bits ? 1 : 0;
	c->raw_intr &= ~bits;
	return was;
}

void store_word(Board *b, uint32_t value)
{
	I2c0 *c = &b->i2c0;
	if (c->words < TRACE_DEPTH)
		c->word[c->words] = value;
	c->words++;
	if (!(c->enable & I2C_ENABLE_EN)) {
		c->tx_ignored++;
		report(b, "command word stored while disabled", I2C_DATA_CMD, value);
	} else if (c->abort_latched || c->aborting) {
		c->tx_flushed++;
	} else {
		tx_push(b, value & I2C_CMD_MASK);
	}
}

// Configuration registers take stores only while the enable bit is clear.
bool config_open(Board *b, uint32_t offset, uint32_t value)
{
	if (!(b->i2c0.enable & I2C_ENABLE_EN))
		return true;
	report(b, "configuration store while enabled (ignored)", offset, value);
	return false;
}

// A speed class the part lacks (0, or high speed) reads as its highest.
uint32_t clamp_speed(uint32_t con)
{
	uint32_t speed = (con & I2C_CON_SPEED_MASK) >> I2C_CON_SPEED_SHIFT;
	if (speed != I2C_CON_SPEED_STANDARD && speed != I2C_CON_SPEED_FAST)
		speed = I2C_CON_SPEED_FAST;
	return (con & ~I2C_CON_SPEED_MASK) | speed << I2C_CON_SPEED_SHIFT;
}

uint32_t clamp_min(uint32_t value, uint32_t mask, uint32_t min)
{
	value &= mask;
	return value < min ? min : value;
}

uint32_t clamp_level(uint32_t value)
{
	value &= I2C_PARAM_DEPTH_MASK;
	return value > I2C_FIFO_DEPTH - 1 ? I2C_FIFO_DEPTH - 1 : value;
}

void write_config(Board *b, uint32_t offset, uint32_t value)
{
	I2c0 *c = &b->i2c0;
	if (!config_open(b, offset, value))
		return;
	switch (offset) {
	case I2C_CON:
		c->con = clamp_speed(value & I2C_CON_MASK);
		break;
	case I2C_TAR:
		c->tar = value & I2C_TAR_MASK;
		break;
	case I2C_SAR:
		c->sar = value & I2C_TAR_10BIT_MASK;
		break;
	case I2C_SS_HCNT:
		c->ss_hcnt = clamp_min(value, I2C_SCL_COUNT_MASK, I2C_HCNT_MIN);
		break;
	case I2C_SS_LCNT:
		c->ss_lcnt = clamp_min(value, I2C_SCL_COUNT_MASK, I2C_LCNT_MIN);
		break;
	case I2C_FS_HCNT:
		c->hcnt = clamp_min(value, I2C_SCL_COUNT_MASK, I2C_HCNT_MIN);
		break;
	case I2C_FS_LCNT:
		c->lcnt = clamp_min(value, I2C_SCL_COUNT_MASK, I2C_LCNT_MIN);
		break;
	case I2C_SDA_HOLD:
		c->sda_hold = value & I2C_SDA_HOLD_MASK;
		break;
	case I2C_SDA_SETUP:
		c->sda_setup = clamp_min(value, I2C_SDA_SETUP_MASK, I2C_SDA_SETUP_MIN);
		break;
	case I2C_FS_SPKLEN:
		c->fs_spklen = clamp_min(value, 0xFF, 1);
		break;
	}
}

// Interrupt levels computed from the queues, and the latched bits.
uint32_t raw_status(const I2c0 *c)
{
	uint32_t raw = c->raw_intr;
	if (c->rx_count > c->rx_tl)
		raw |= I2C_INTR_RX_FULL;
	// A disabled idle controller holds its transmit queue in reset and
	// reports nothing to send.
	bool active = (c->enable & I2C_ENABLE_EN) || c->in_access || c->in_flight;
	bool wire_done = !(c->con & I2C_CON_TX_EMPTY_CTRL) || !c->in_flight;
	if (active && c->tx_count <= c->tx_tl && wire_done)
		raw |= I2C_INTR_TX_EMPTY;
	if (c->on_hold)
		raw |= I2C_INTR_MST_ON_HOLD;
	return raw;
}

uint32_t status(const I2c0 *c)
{
	bool master_active = c->in_access || c->in_flight || c->tx_count || c->aborting;
	uint32_t s = 0;
	if (master_active)
		s |= I2C_STATUS_ACTIVITY | I2C_STATUS_MST_ACTIVITY;
	if (c->tx_count < I2C_FIFO_DEPTH)
		s |= I2C_STATUS_TFNF;
	if (!c->tx_count)
		s |= I2C_STATUS_TFE;
	if (c->rx_count)
		s |= I2C_STATUS_RFNE;
	if (c->rx_count == I2C_FIFO_DEPTH)
		s |= I2C_STATUS_RFF;
	if (c->on_hold)
		s |= I2C_STATUS_MST_HOLD_TX_EMPTY;
	return s;
}

} // namespace

void i2c0_reset(I2c0 *c, uint64_t now_ns)
{
	I2cQueueEnd queue_end = c->queue_end;
	__builtin_memset(c, 0, sizeof(*c));
	c->queue_end = queue_end;
	c->con = I2C_CON_RESET;
	c->tar = I2C_TAR_RESET;
	c->sar = I2C_SAR_RESET;
	c->ss_hcnt = I2C_SS_HCNT_RESET;
	c->ss_lcnt = I2C_SS_LCNT_RESET;
	c->hcnt = I2C_FS_HCNT_RESET;
	c->lcnt = I2C_FS_LCNT_RESET;
	c->intr_mask = I2C_INTR_MASK_RESET;
	c->sda_hold = I2C_SDA_HOLD_RESET;
	c->sda_setup = I2C_SDA_SETUP_RESET;
	c->ack_general_call = I2C_ACK_GENERAL_CALL_RESET;
	c->fs_spklen = I2C_FS_SPKLEN_RESET;
	c->engine_ns = now_ns;
}

void board_set_i2c_queue_end(Board *b, I2cQueueEnd end)
{
	i2c0_run(b, b->now_ns);
	b->i2c0.queue_end = end;
}

void i2c0_run(Board *b, uint64_t until_ns)
{
	I2c0 *c = &b->i2c0;
	for (;;) {
		if (c->in_flight) {
			if (c->busy_until_ns > until_ns)
				break;
			c->engine_ns = c->busy_until_ns;
			finish_word(b, c->engine_ns);
		}
		if (c->aborting) {
			// The byte on the wire is done: a stop, then the flush.
			if (!c->abort_timed) {
				c->abort_done_ns = c->engine_ns + (c->in_access ? stop_ns(c) : 0);
				c->abort_timed = true;
			}
			if (c->abort_done_ns > until_ns)
				break;
			c->engine_ns = c->abort_done_ns;
			finish_abort(b);
		}
		if (!start_word(b, c->engine_ns)) {
			queue_ran_empty(b, c->engine_ns);
			break;
		}
	}
	if (c->engine_ns < until_ns)
		c->engine_ns = until_ns;
	settle_disable(c, until_ns);
}

uint64_t i2c0_next_event_ns(Board *b)
{
	const I2c0 *c = &b->i2c0;
	i2c0_run(b, b->now_ns);
	if (c->in_flight)
		return c->busy_until_ns;
	if (c->aborting && c->abort_timed)
		return c->abort_done_ns;
	if (c->idle_since_valid)
		return c->idle_since_ns + I2C_ENABLE_SETTLE_NS;
	return UINT64_MAX;
}

bool i2c0_irq_level(const Board *b)
{
	return raw_status(&b->i2c0) & b->i2c0.intr_mask;
}

uint32_t i2c0_read(Board *b, uint32_t offset)
{
	I2c0 *c = &b->i2c0;
	i2c0_run(b, b->now_ns);
	switch (offset) {
	case I2C_CON:
		return c->con;
	case I2C_TAR:
		return c->tar;
	case I2C_SAR:
		return c->sar;
	case I2C_DATA_CMD:
		return rx_pop(b);
	case I2C_SS_HCNT:
		return c->ss_hcnt;
	case I2C_SS_LCNT:
		return c->ss_lcnt;
	case I2C_FS_HCNT:
		return c->hcnt;
	case I2C_FS_LCNT:
		return c->lcnt;
	case I2C_INTR_STAT:
		return raw_status(c) & c->intr_mask;
	case I2C_INTR_MASK:
		return c->intr_mask;
	case I2C_RAW_INTR_STAT:
		return raw_status(c);
	case I2C_RX_TL:
		return c->rx_tl;
	case I2C_TX_TL:
		return c->tx_tl;
	case I2C_CLR_INTR: {
		uint32_t was = c->raw_intr ? 1 : 0;
		clear_abort(c);
		c->raw_intr = 0;
		return was;
	}
	case I2C_CLR_RX_UNDER:
		return clear_bits(c, I2C_INTR_RX_UNDER);
	case I2C_CLR_RX_OVER:
		return clear_bits(c, I2C_INTR_RX_OVER);
	case I2C_CLR_TX_OVER:
		return clear_bits(c, I2C_INTR_TX_OVER);
	case I2C_CLR_RD_REQ:
		return clear_bits(c, I2C_INTR_RD_REQ);
	case I2C_CLR_TX_ABRT:
		return clear_abort(c);
	case I2C_CLR_RX_DONE:
		return clear_bits(c, I2C_INTR_RX_DONE);
	case I2C_CLR_ACTIVITY:
		// Stays set while the bus is busy.
		return (status(c) & I2C_STATUS_ACTIVITY) ? 1 : clear_bits(c, I2C_INTR_ACTIVITY);
	case I2C_CLR_STOP_DET:
		return clear_bits(c, I2C_INTR_STOP_DET);
	case I2C_CLR_START_DET:
		return clear_bits(c, I2C_INTR_START_DET);
	case I2C_CLR_GEN_CALL:
		return clear_bits(c, I2C_INTR_GEN_CALL);
	case I2C_ENABLE:
		return c->enable | (c->aborting ? I2C_ENABLE_ABORT : 0);
	case I2C_STATUS:
		return status(c);
	case I2C_TXFLR:
		return c->tx_count;
	case I2C_RXFLR:
		return c->rx_count;
	case I2C_SDA_HOLD:
		return c->sda_hold;
	case I2C_TX_ABRT_SOURCE:
		return c->abort_source;
	case I2C_SDA_SETUP:
		return c->sda_setup;
	case I2C_ACK_GENERAL_CALL:
		return c->ack_general_call;
	case I2C_ENABLE_STATUS:
		return enable_status(c);
	case I2C_FS_SPKLEN:
		return c->fs_spklen;
	case I2C_COMP_PARAM_1:
		return COMP_PARAM_1;
	case I2C_COMP_VERSION:
		return I2C_COMP_VERSION_VALUE;
	case I2C_COMP_TYPE:
		return I2C_COMP_TYPE_VALUE;
	default:
		report(b, "load of an offset with no register (reads 0)", offset, 0);
		return 0;
	}
}

void i2c0_write(Board *b, uint32_t offset, uint32_t value)
{
	I2c0 *c = &b->i2c0;
	i2c0_run(b, b->now_ns);
	switch (offset) {
	case I2C_CON:
	case I2C_TAR:
	case I2C_SAR:
	case I2C_SS_HCNT:
	case I2C_SS_LCNT:
	case I2C_FS_HCNT:
	case I2C_FS_LCNT:
	case I2C_SDA_HOLD:
	case I2C_SDA_SETUP:
	case I2C_FS_SPKLEN:
		write_config(b, offset, value);
		break;
	case I2C_DATA_CMD:
		store_word(b, value);
		break;
	case I2C_INTR_MASK:
		c->intr_mask = value & I2C_INTR_MASK_ALL;
		break;
	case I2C_RX_TL:
		c->rx_tl = clamp_level(value);
		break;
	case I2C_TX_TL:
		c->tx_tl = clamp_level(value);
		break;
	case I2C_ACK_GENERAL_CALL:
		c->ack_general_call = value & 1;
		break;
	case I2C_ENABLE:
		write_enable(b, value);
		break;
	default:
		report(b, "store to a read-only or absent register (ignored)", offset, value);
		break;
	}
}

} // namespace models
