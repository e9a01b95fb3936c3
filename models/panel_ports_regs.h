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

const uint32_t PORTS_SWITCH_MASK = 0xFFF; // 12 switches
const uint32_t PORTS_KEY_MASK = 0xF;	  // 4 pushbuttons

} // namespace models

#endif
