// I2C controller 0 as bus master: transmit queue of command words, receive
// queue of bytes, and a byte engine that moves words onto the bus at the
// programmed SCL counts.
//
// The engine is event driven: it jumps from one word's completion time to
// the next, so catching up costs one step per word, never one per tick. A
// word that opens an access (restart bit, first word, change of direction)
// costs an extra byte time for the address byte. When the transmit queue
// runs empty inside an access the controller holds the bus or closes the
// access with a stop, as its end-of-queue choice says; the sensor keeps its
// register pointer across a stop.
//
// Aborts, requested or from an address nobody acknowledges, latch: both
// queues are flushed and stay so, every word stored is dropped, until
// software reads the abort clear or the combined interrupt clear register.
// Disabling does not end that state (the worst case: documentation does
// not say it does). A disabled controller reports so only once idle; one
// that holds the bus cannot become idle without an abort.
#include "models/board.h"
#include "models/i2c0_regs.h"

namespace models
{
namespace
{

const uint64_t CYCLE_NS = 1000000000u / I2C_INPUT_CLOCK_HZ;

const uint32_t COMP_PARAM_1 = I2C_PARAM_APB_32BIT | I2C_PARAM_MAX_SPEED_FAST | I2C_PARAM_ENCODED |
			      (I2C_FIFO_DEPTH - 1) << I2C_PARAM_RX_DEPTH_SHIFT |
			      (I2C_FIFO_DEPTH - 1) << I2C_PARAM_TX_DEPTH_SHIFT;

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
	if (h < I2C_HCNT_MIN)
		h = I2C_HCNT_MIN;
	if (l < I2C_LCNT_MIN)
		l = I2C_LCNT_MIN;
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

bool sensor_acks_address(const Board *b)
{
	const I2c0 *c = &b->i2c0;
	return sensor_reachable(b) && !(c->con & I2C_CON_10BIT_MASTER) &&
	       (c->tar & I2C_TAR_7BIT_MASK) == SENSOR_ADDRESS;
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

void tx_push(I2c0 *c, uint32_t w)
{
	if (c->tx_count == I2C_FIFO_DEPTH) {
		c->tx_overflows++;
		return;
	}
	c->tx[(c->tx_head + c->tx_count) % I2C_FIFO_DEPTH] = w;
	c->tx_count++;
}

void rx_push(I2c0 *c, uint8_t v)
{
	if (c->rx_count == I2C_FIFO_DEPTH) {
		c->rx_overflows++;
		return;
	}
	c->rx[(c->rx_head + c->rx_count) % I2C_FIFO_DEPTH] = v;
	c->rx_count++;
}

uint8_t rx_pop(I2c0 *c)
{
	if (!c->rx_count)
		return 0;
	uint8_t v = c->rx[c->rx_head];
	c->rx_head = (c->rx_head + 1) % I2C_FIFO_DEPTH;
	c->rx_count--;
	return v;
}

void end_access(Board *b)
{
	if (b->i2c0.in_access)
		adxl345_bus_stop(&b->sensor);
	b->i2c0.in_access = false;
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
	c->flight_word = w;
	c->flight_start = (w & I2C_CMD_RESTART) || !c->in_access || read != c->reading;
	c->flight_nack = c->flight_start && !sensor_acks_address(b);
	unsigned bytes = c->flight_start && !c->flight_nack ? 2 : 1;
	c->busy_until_ns = t + bytes * byte_ns(c);
	c->in_flight = true;
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
			latch_abort(b, I2C_ABRT_7B_ADDR_NOACK);
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

// Nothing on the wire and nothing to send: the end of the queue closes the
// access in stop mode, or when disabling; a held bus stays held. A disabled
// controller with no access open is idle and reports itself off.
void queue_ran_empty(Board *b)
{
	I2c0 *c = &b->i2c0;
	bool disabling = !(c->enable & I2C_ENABLE_EN);
	if (c->in_access && c->queue_end == I2C_QUEUE_END_STOP)
		end_access(b);
	if (disabling && !c->in_access && c->enabled) {
		c->enabled = false;
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

// The abort bit counts only while the controller is enabled; the transmit
// queue stops taking words as soon as the enable bit is cleared.
void write_enable(Board *b, uint32_t value)
{
	I2c0 *c = &b->i2c0;
	if ((c->enable & I2C_ENABLE_EN) && (value & I2C_ENABLE_ABORT) && !c->aborting) {
		c->user_aborts++;
		c->aborting = true;
		flush_tx(c);
	}
	c->enable = value & I2C_ENABLE_EN;
	if (c->enable)
		c->enabled = true;
	else
		flush_tx(c);
	i2c0_run(b, b->now_ns);
}

uint32_t clear_abort(I2c0 *c)
{
	uint32_t was = c->abort_latched ? 1 : 0;
	c->abort_latched = false;
	c->abort_source = 0;
	return was;
}

void store_word(I2c0 *c, uint32_t value)
{
	if (c->words < TRACE_DEPTH)
		c->word[c->words] = value;
	c->words++;
	if (!(c->enable & I2C_ENABLE_EN))
		c->tx_ignored++;
	else if (c->abort_latched || c->aborting)
		c->tx_flushed++;
	else
		tx_push(c, value & I2C_CMD_MASK);
}

// Configuration registers accept stores only while the controller is off.
void store_config(I2c0 *c, uint32_t *reg, uint32_t value, uint32_t mask)
{
	if (!c->enabled)
		*reg = value & mask;
}

} // namespace

void i2c0_reset(I2c0 *c, uint64_t now_ns)
{
	I2cQueueEnd queue_end = c->queue_end;
	__builtin_memset(c, 0, sizeof(*c));
	c->queue_end = queue_end;
	c->con = I2C_CON_RESET;
	c->tar = I2C_TAR_RESET;
	c->ss_hcnt = I2C_SS_HCNT_RESET;
	c->ss_lcnt = I2C_SS_LCNT_RESET;
	c->hcnt = I2C_FS_HCNT_RESET;
	c->lcnt = I2C_FS_LCNT_RESET;
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
				return;
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
			queue_ran_empty(b);
			break;
		}
	}
	if (c->engine_ns < until_ns)
		c->engine_ns = until_ns;
}

uint64_t i2c0_next_event_ns(Board *b)
{
	const I2c0 *c = &b->i2c0;
	i2c0_run(b, b->now_ns);
	if (c->in_flight)
		return c->busy_until_ns;
	if (c->aborting && c->abort_timed)
		return c->abort_done_ns;
	return UINT64_MAX;
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
	case I2C_DATA_CMD:
		return rx_pop(c);
	case I2C_SS_HCNT:
		return c->ss_hcnt;
	case I2C_SS_LCNT:
		return c->ss_lcnt;
	case I2C_FS_HCNT:
		return c->hcnt;
	case I2C_FS_LCNT:
		return c->lcnt;
	case I2C_CLR_INTR:
	case I2C_CLR_TX_ABRT:
		return clear_abort(c);
	case I2C_ENABLE:
		return c->enable | (c->aborting ? I2C_ENABLE_ABORT : 0);
	case I2C_TXFLR:
		return c->tx_count;
	case I2C_RXFLR:
		return c->rx_count;
	case I2C_TX_ABRT_SOURCE:
		return c->abort_source;
	case I2C_ENABLE_STATUS:
		return enable_status(c);
	case I2C_COMP_PARAM_1:
		return COMP_PARAM_1;
	default:
		return 0;
	}
}

void i2c0_write(Board *b, uint32_t offset, uint32_t value)
{
	I2c0 *c = &b->i2c0;
	i2c0_run(b, b->now_ns);
	switch (offset) {
	case I2C_CON:
		store_config(c, &c->con, value, I2C_CON_MASK);
		break;
	case I2C_TAR:
		store_config(c, &c->tar, value, I2C_TAR_MASK);
		break;
	case I2C_DATA_CMD:
		store_word(c, value);
		break;
	case I2C_SS_HCNT:
		store_config(c, &c->ss_hcnt, value, I2C_SCL_COUNT_MASK);
		break;
	case I2C_SS_LCNT:
		store_config(c, &c->ss_lcnt, value, I2C_SCL_COUNT_MASK);
		break;
	case I2C_FS_HCNT:
		store_config(c, &c->hcnt, value, I2C_SCL_COUNT_MASK);
		break;
	case I2C_FS_LCNT:
		store_config(c, &c->lcnt, value, I2C_SCL_COUNT_MASK);
		break;
	case I2C_ENABLE:
		write_enable(b, value);
		break;
	default:
		break;
	}
}

} // namespace models
