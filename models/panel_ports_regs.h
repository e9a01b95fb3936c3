/* SPDX-License-Identifier: GPL-2.0-or-later */
// Pushbutton and switch ports: offsets in the lightweight bridge window.
#ifndef MODELS_PANEL_PORTS_REGS_H
#define MODELS_PANEL_PORTS_REGS_H

#include <stdint.h>

namespace models {

const uint32_t PORTS_SWITCH_DATA = 0x40;
const uint32_t PORTS_KEY_DATA = 0x50; // buttons held, read-only
const uint32_t PORTS_KEY_IRQ_MASK = 0x58;
const uint32_t PORTS_KEY_EDGE = 0x5C; // edge capture, write 1 to clear

// The board has ten slide switches, SW0 to SW9: what a person flips (the
// front panel draws this many, from the machine's switch-count property).
// The switch data register takes twelve bits, deliberately: panelio's
// /dev/SW record is three hex digits, and the ports take an input for each
// of their twelve bits, so that the tools and tests drive every bit the
// driver shows and masks; bits 10 and 11 have no switch on the board (a
// design in the fabric sees all twelve on its sw input).
const unsigned PORTS_SWITCHES = 10;
const uint32_t PORTS_SWITCH_MASK = 0xFFF; // the register's twelve bits
const uint32_t PORTS_KEY_MASK = 0xF;	  // 4 pushbuttons
static_assert((1u << PORTS_SWITCHES) - 1 <= PORTS_SWITCH_MASK,
	      "every switch has a bit of the register");

} // namespace models

#endif
