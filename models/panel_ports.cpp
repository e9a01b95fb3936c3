// SPDX-License-Identifier: GPL-2.0-or-later
// Pushbutton and switch input ports behind the lightweight bridge: a switch
// data register, and a pushbutton port with data, interrupt mask and edge
// capture registers. No interrupt line is modelled.
#include "models/board.h"
#include "models/panel_ports_regs.h"

namespace models {

void ports_reset(PanelPorts *p)
{
	__builtin_memset(p, 0, sizeof(*p));
}

uint32_t ports_read(PanelPorts *p, uint32_t offset)
{
	switch (offset) {
	case PORTS_SWITCH_DATA:
		return p->switches;
	case PORTS_KEY_DATA:
		return p->key_state;
	case PORTS_KEY_IRQ_MASK:
		return p->key_mask;
	case PORTS_KEY_EDGE:
		return p->key_edges;
	default:
		return 0;
	}
}

void ports_write(PanelPorts *p, uint32_t offset, uint32_t value)
{
	switch (offset) {
	case PORTS_KEY_IRQ_MASK:
		p->key_mask = value & PORTS_KEY_MASK;
		break;
	case PORTS_KEY_EDGE:
		p->key_edges &= ~value;
		break;
	default:
		break; // the data registers are inputs
	}
}

void ports_hold(PanelPorts *p, uint32_t mask)
{
	mask &= PORTS_KEY_MASK;
	p->key_edges |= mask & ~p->key_state;
	p->key_state = mask;
}

void ports_press(PanelPorts *p, uint32_t mask)
{
	uint32_t held = p->key_state;
	ports_hold(p, held | mask);
	ports_hold(p, held);
}

void ports_set_switches(PanelPorts *p, uint32_t value)
{
	p->switches = value & PORTS_SWITCH_MASK;
}

void ports_force_switches(PanelPorts *p, uint32_t raw)
{
	p->switches = raw;
}

void ports_force_edges(PanelPorts *p, uint32_t raw)
{
	p->key_edges = raw;
}

} // namespace models
