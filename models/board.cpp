// SPDX-License-Identifier: GPL-2.0-or-later
// The board: its clock, the physical address map onto the devices, and how
// the bus answers accesses of each width.
#include "models/board.h"

namespace models {

GuestErrorHook guest_error_hook;

namespace {

bool in_window(uint32_t phys, uint32_t size, uint32_t base, uint32_t span)
{
	return size && size <= span && phys >= base && phys - base <= span - size;
}

void run_devices(Board *b)
{
	i2c0_run(b, b->now_ns);
	adxl345_run(&b->sensor, b->now_ns);
}

void access_tick(Board *b)
{
	b->now_ns += BOARD_ACCESS_NS;
	run_devices(b);
}

// The 32-bit register holding phys, by window; false outside every window.
bool word_load(Board *b, uint32_t phys, uint32_t *value)
{
	if (in_window(phys, 4, I2C0_BASE, I2C0_SPAN))
		*value = i2c0_read(b, phys - I2C0_BASE);
	else if (in_window(phys, 4, SYSMGR_BASE, SYSMGR_SPAN))
		*value = sysmgr_read(&b->sysmgr, phys - SYSMGR_BASE);
	else if (in_window(phys, 4, PORTS_BASE, PORTS_SPAN))
		*value = ports_read(&b->ports, phys - PORTS_BASE);
	else
		return false;
	return true;
}

bool word_store(Board *b, uint32_t phys, uint32_t value)
{
	if (in_window(phys, 4, I2C0_BASE, I2C0_SPAN))
		i2c0_write(b, phys - I2C0_BASE, value);
	else if (in_window(phys, 4, SYSMGR_BASE, SYSMGR_SPAN))
		sysmgr_write(&b->sysmgr, phys - SYSMGR_BASE, value);
	else if (in_window(phys, 4, PORTS_BASE, PORTS_SPAN))
		ports_write(&b->ports, phys - PORTS_BASE, value);
	else
		return false;
	return true;
}

// Whether the bus takes an access of this size at phys at all.
bool access_ok(Board *b, uint32_t phys, unsigned size, bool store, uint32_t value)
{
	const char *what = 0;
	if (size != 1 && size != 2 && size != 4)
		what = "access of an impossible size";
	else if (phys & (size - 1))
		what = store ? "unaligned store (faults)" : "unaligned load (faults)";
	else if (size < 4 && b->narrow == NARROW_ERROR)
		what = store ? "narrow store (bus error)" : "narrow load (bus error)";
	if (what)
		guest_error(&b->guest_errors, "board", what, phys, value);
	return !what;
}

} // namespace

void guest_error(uint32_t *count, const char *device, const char *what, uint32_t offset,
		 uint32_t value)
{
	(*count)++;
	if (guest_error_hook)
		guest_error_hook(device, what, offset, value);
}

void board_reset(Board *b)
{
	sysmgr_reset(&b->sysmgr);
	i2c0_reset(&b->i2c0, b->now_ns);
	adxl345_reset(&b->sensor);
	ports_reset(&b->ports);
}

void board_advance(Board *b, uint64_t ns)
{
	b->now_ns += ns;
	run_devices(b);
}

void board_sync(Board *b, uint64_t now_ns)
{
	if (now_ns <= b->now_ns)
		return;
	b->now_ns = now_ns;
	run_devices(b);
}

uint64_t board_next_event_ns(Board *b)
{
	run_devices(b);
	uint64_t i2c = i2c0_next_event_ns(b);
	uint64_t sensor = adxl345_next_event_ns(&b->sensor);
	return i2c < sensor ? i2c : sensor;
}

uint64_t board_poll_skip_until(Board *b, uint32_t phys)
{
	if (!in_window(phys, 1, I2C0_BASE, I2C0_SPAN))
		return b->now_ns;
	uint64_t next = i2c0_next_event_ns(b);
	return next == UINT64_MAX || next < b->now_ns ? b->now_ns : next;
}

void board_skip_idle_poll(Board *b, uint32_t phys)
{
	uint64_t until = board_poll_skip_until(b, phys);
	if (until > b->now_ns + BOARD_ACCESS_NS)
		board_sync(b, until - BOARD_ACCESS_NS);
}

void board_clear_traces(Board *b)
{
	I2c0 *c = &b->i2c0;
	Adxl345 *s = &b->sensor;
	c->words = 0;
	c->bus_bytes = 0;
	c->rx_bytes = 0;
	c->tx_overflows = 0;
	c->tx_ignored = 0;
	c->tx_flushed = 0;
	c->rx_overflows = 0;
	c->aborts = 0;
	c->user_aborts = 0;
	s->reg_writes = 0;
	s->int_source_reads = 0;
	s->data_bursts = 0;
	s->burst_bytes = 0;
	s->samples = 0;
}

bool board_has_window(uint32_t phys, uint32_t size)
{
	return in_window(phys, size, I2C0_BASE, I2C0_SPAN) ||
	       in_window(phys, size, SYSMGR_BASE, SYSMGR_SPAN) ||
	       in_window(phys, size, PORTS_BASE, PORTS_SPAN);
}

void board_set_narrow_access(Board *b, NarrowAccess narrow)
{
	b->narrow = narrow;
}

bool board_load(Board *b, uint32_t phys, unsigned size, uint32_t *value)
{
	*value = 0;
	if (!access_ok(b, phys, size, false, 0))
		return false;
	uint32_t word;
	if (!word_load(b, phys & ~3u, &word))
		return true; // nothing decodes there: reads 0
	unsigned shift = (phys & 3) * 8;
	*value = size == 4 ? word : (word >> shift) & ((1u << (size * 8)) - 1);
	return true;
}

bool board_store(Board *b, uint32_t phys, unsigned size, uint32_t value)
{
	if (!access_ok(b, phys, size, true, value))
		return false;
	unsigned shift = (phys & 3) * 8;
	uint32_t word = size == 4 ? value : (value & ((1u << (size * 8)) - 1)) << shift;
	word_store(b, phys & ~3u, word);
	return true;
}

uint32_t board_read32(Board *b, uint32_t phys)
{
	uint32_t value;
	access_tick(b);
	board_load(b, phys, 4, &value);
	return value;
}

void board_write32(Board *b, uint32_t phys, uint32_t value)
{
	access_tick(b);
	board_store(b, phys, 4, value);
}

} // namespace models
