// The board: its clock, and the physical address map onto the devices.
#include "models/board.h"

namespace models
{
namespace
{

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

} // namespace

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
	       in_window(phys, size, LWBRIDGE_BASE, LWBRIDGE_SPAN);
}

uint32_t board_read32(Board *b, uint32_t phys)
{
	access_tick(b);
	if (in_window(phys, 4, I2C0_BASE, I2C0_SPAN))
		return i2c0_read(b, phys - I2C0_BASE);
	if (in_window(phys, 4, SYSMGR_BASE, SYSMGR_SPAN))
		return sysmgr_read(&b->sysmgr, phys - SYSMGR_BASE);
	if (in_window(phys, 4, LWBRIDGE_BASE, LWBRIDGE_SPAN))
		return ports_read(&b->ports, phys - LWBRIDGE_BASE);
	return 0;
}

void board_write32(Board *b, uint32_t phys, uint32_t value)
{
	access_tick(b);
	if (in_window(phys, 4, I2C0_BASE, I2C0_SPAN))
		i2c0_write(b, phys - I2C0_BASE, value);
	else if (in_window(phys, 4, SYSMGR_BASE, SYSMGR_SPAN))
		sysmgr_write(&b->sysmgr, phys - SYSMGR_BASE, value);
	else if (in_window(phys, 4, LWBRIDGE_BASE, LWBRIDGE_SPAN))
		ports_write(&b->ports, phys - LWBRIDGE_BASE, value);
}

} // namespace models
