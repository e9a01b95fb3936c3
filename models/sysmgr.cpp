// SPDX-License-Identifier: GPL-2.0-or-later
// System manager: plain read/write registers, of which three decide whether
// I2C controller 0 reaches the sensor's pins.
#include "models/board.h"
#include "models/sysmgr_regs.h"

namespace models {
namespace {

bool valid_offset(uint32_t offset)
{
	return offset < SYSMGR_SPAN && !(offset & 3);
}

uint32_t reg(const SysMgr *s, uint32_t offset)
{
	return s->regs[offset / 4];
}

} // namespace

void sysmgr_reset(SysMgr *s)
{
	__builtin_memset(s, 0, sizeof(*s));
	s->regs[SYSMGR_I2C0_ROUTING / 4] = SYSMGR_I2C0_ROUTING_RESET;
	s->regs[SYSMGR_SENSOR_PIN0 / 4] = SYSMGR_PIN_RESET;
	s->regs[SYSMGR_SENSOR_PIN1 / 4] = SYSMGR_PIN_RESET;
}

uint32_t sysmgr_read(SysMgr *s, uint32_t offset)
{
	return valid_offset(offset) ? reg(s, offset) : 0;
}

void sysmgr_write(SysMgr *s, uint32_t offset, uint32_t value)
{
	if (valid_offset(offset))
		s->regs[offset / 4] = value;
}

bool sensor_bus_routed(const SysMgr *s)
{
	return !(reg(s, SYSMGR_I2C0_ROUTING) & SYSMGR_I2C0_ROUTING_FABRIC) &&
	       (reg(s, SYSMGR_SENSOR_PIN0) & SYSMGR_PIN_FUNC_MASK) == SYSMGR_PIN_FUNC_I2C0 &&
	       (reg(s, SYSMGR_SENSOR_PIN1) & SYSMGR_PIN_FUNC_MASK) == SYSMGR_PIN_FUNC_I2C0;
}

} // namespace models
