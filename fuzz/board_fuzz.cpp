// SPDX-License-Identifier: GPL-2.0-or-later
// libFuzzer target: the board's models through their register interface, as
// a processor and a person reach them. An input is a sequence of loads and
// stores of every width at every offset of the board's windows (and just
// past them), with board-control calls between them: tilt, bias, noise,
// taps, buttons, switches, the sensor off the bus and back, a sensor power
// cycle, a board reset, time passing, and time run to the models' own next
// event as the virtual board's timer does.
//
// Input: one byte of build choices (bit 0: the controller sends a stop when
// its queue runs empty; bit 1: narrow accesses are refused), then
// operations, each an operation byte and its operand bytes (missing ones
// read as 0). After every operation the models' invariants must hold;
// anything the sanitizers see (overflow, out-of-bounds, a leak) fails too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "models/adxl345_regs.h"
#include "models/board.h"
#include "models/i2c0_regs.h"

using namespace models;

namespace {

struct Input {
	const uint8_t *data;
	size_t size, pos;

	bool more() const
	{
		return pos < size;
	}
	uint8_t u8()
	{
		return pos < size ? data[pos++] : 0;
	}
	uint16_t u16()
	{
		uint16_t lo = u8();
		return (uint16_t)(lo | u8() << 8);
	}
	uint32_t u32()
	{
		uint32_t lo = u16();
		return lo | (uint32_t)u16() << 16;
	}
};

enum Op {
	OP_LOAD,
	OP_STORE,
	OP_COMMAND_WORD, // a 32-bit store of a command word, as a driver makes
	OP_ADVANCE,
	OP_NEXT_EVENT,
	OP_TILT,
	OP_BIAS,
	OP_NOISE,
	OP_TAP,
	OP_PRESS,
	OP_HOLD,
	OP_SWITCHES,
	OP_SENSOR_WIRED,
	OP_SENSOR_POWER_CYCLE,
	OP_BOARD_RESET,
	OP_PART, // a realistic part, or another DEVID
	OP_COUNT
};

const struct {
	uint32_t base, span;
} WINDOWS[] = {{I2C0_BASE, I2C0_SPAN}, {SYSMGR_BASE, SYSMGR_SPAN}, {PORTS_BASE, PORTS_SPAN}};
const unsigned SIZES[] = {1, 2, 4, 3}; // 3: no such access

[[noreturn]] void fail(const char *what, const Board *b)
{
	fprintf(stderr, "invariant broken at board time %llu ns: %s\n",
		(unsigned long long)b->now_ns, what);
	abort();
}

void guest_error_seen(const char *device, const char *what, uint32_t, uint32_t)
{
	if (!device || !what || !*device || !*what)
		abort();
}

uint32_t address(Input &in)
{
	uint8_t w = in.u8();
	const auto &win = WINDOWS[w % 3];
	// Every offset of the window and a word past its end.
	return win.base + in.u16() % (win.span + 4);
}

void check(Board *b, uint64_t before_ns)
{
	const I2c0 *c = &b->i2c0;
	const Adxl345 *s = &b->sensor;
	if (b->now_ns < before_ns)
		fail("the board clock went back", b);
	if (c->tx_count > I2C_FIFO_DEPTH || c->rx_count > I2C_FIFO_DEPTH ||
	    c->tx_head >= I2C_FIFO_DEPTH || c->rx_head >= I2C_FIFO_DEPTH)
		fail("a controller queue beyond its depth", b);
	if (i2c0_read(b, I2C_TXFLR) > I2C_FIFO_DEPTH || i2c0_read(b, I2C_RXFLR) > I2C_FIFO_DEPTH)
		fail("a queue level register beyond the depth", b);
	uint32_t stat = i2c0_read(b, I2C_INTR_STAT);
	if (stat != (i2c0_read(b, I2C_RAW_INTR_STAT) & i2c0_read(b, I2C_INTR_MASK)))
		fail("INTR_STAT is not RAW_INTR_STAT & INTR_MASK", b);
	if (i2c0_irq_level(b) != (stat != 0))
		fail("the interrupt line is not (raw & mask) != 0", b);
	if (!(i2c0_read(b, I2C_ENABLE_STATUS) & I2C_ENABLE_STATUS_EN) && c->tx_count)
		fail("words queued in a disabled controller", b);

	if (s->fifo_count > ADXL_FIFO_SLOTS)
		fail("more samples than the FIFO and data registers hold", b);
	if ((sensor_peek(b, ADXL_FIFO_STATUS) & ADXL_FIFO_ENTRIES_MASK) > 32)
		fail("FIFO_STATUS shows more than 32 entries", b);
	uint8_t mode = sensor_peek(b, ADXL_FIFO_CTL) >> ADXL_FIFO_MODE_SHIFT;
	if (mode == ADXL_FIFO_BYPASS && s->fifo_count > 1)
		fail("bypass mode keeps more than one sample", b);
	uint8_t source = sensor_peek(b, ADXL_INT_SOURCE);
	if (!(source & ADXL_INT_DATA_READY) != !s->fifo_count)
		fail("DATA_READY does not say whether a sample waits", b);
	bool idle = !(sensor_peek(b, ADXL_DATA_FORMAT) & ADXL_FORMAT_INT_INVERT);
	if (!sensor_peek(b, ADXL_INT_ENABLE) &&
	    (sensor_int_pin(b, 1) != !idle || sensor_int_pin(b, 2) != !idle))
		fail("an interrupt pin active with every interrupt disabled", b);

	if (b->ports.switches > 0xFFF || b->ports.key_state > 0xF || b->ports.key_edges > 0xF ||
	    b->ports.key_mask > 0xF)
		fail("a port holds more bits than it has", b);

	// The virtual board sets its timer to this: now or earlier would spin.
	uint64_t next = board_next_event_ns(b);
	if (next <= b->now_ns)
		fail("the next event is not in the future", b);
}

void run(Board *b, uint8_t op, Input &in)
{
	switch (op % OP_COUNT) {
	case OP_LOAD: {
		uint32_t phys = address(in), value;
		unsigned size = SIZES[in.u8() % 4];
		bool ok = board_load(b, phys, size, &value);
		if (!ok && value)
			fail("a refused load returned data", b);
		if (ok && size < 4 && value >> (8 * size))
			fail("a narrow load returned more than its width", b);
		break;
	}
	case OP_STORE: {
		uint32_t phys = address(in);
		unsigned size = SIZES[in.u8() % 4];
		board_store(b, phys, size, in.u32());
		break;
	}
	case OP_COMMAND_WORD:
		board_write32(b, I2C0_BASE + I2C_DATA_CMD, in.u16() & I2C_CMD_MASK);
		break;
	case OP_ADVANCE: {
		uint8_t shift = in.u8() % 40;
		board_advance(b, ((uint64_t)1 << shift) + in.u8());
		break;
	}
	case OP_NEXT_EVENT: {
		uint64_t next = board_next_event_ns(b);
		if (next != UINT64_MAX)
			board_sync(b, next);
		break;
	}
	case OP_TILT: {
		int32_t x = (int32_t)in.u32(), y = (int32_t)in.u32(), z = (int32_t)in.u32();
		sensor_set_accel(b, x, y, z);
		break;
	}
	case OP_BIAS: {
		int32_t x = (int32_t)in.u32(), y = (int32_t)in.u32(), z = (int32_t)in.u32();
		sensor_set_bias(b, x, y, z);
		break;
	}
	case OP_NOISE:
		sensor_set_noise(b, (int32_t)in.u32());
		break;
	case OP_TAP: {
		SensorTap tap;
		tap.axes = in.u8();
		tap.peak_mg = (int32_t)in.u32();
		tap.duration_us = in.u32();
		tap.twice = in.u8() & 1;
		tap.gap_us = in.u32();
		sensor_tap_event(b, tap);
		break;
	}
	case OP_PRESS:
		ports_press(&b->ports, in.u32());
		break;
	case OP_HOLD:
		ports_hold(&b->ports, in.u32());
		break;
	case OP_SWITCHES:
		ports_set_switches(&b->ports, in.u32());
		break;
	case OP_SENSOR_WIRED:
		sensor_set_connected(b, in.u8() & 1);
		break;
	case OP_SENSOR_POWER_CYCLE:
		sensor_power_cycle(b);
		break;
	case OP_BOARD_RESET:
		board_reset(b);
		break;
	case OP_PART: {
		uint8_t which = in.u8();
		uint32_t value = in.u32();
		if (which & 1)
			sensor_set_realistic(b, value);
		else
			sensor_set_devid(b, (uint8_t)value);
		break;
	}
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	guest_error_hook = guest_error_seen;
	Input in = {data, size, 0};
	std::unique_ptr<Board> owner(new Board());
	Board *b = owner.get();
	board_reset(b);
	uint8_t build = in.u8();
	board_set_i2c_queue_end(b, build & 1 ? I2C_QUEUE_END_STOP : I2C_QUEUE_END_HOLD);
	board_set_narrow_access(b, build & 2 ? NARROW_ERROR : NARROW_WIDEN);
	check(b, 0);
	while (in.more()) {
		uint64_t before = b->now_ns;
		run(b, in.u8(), in);
		check(b, before);
	}
	return 0;
}
