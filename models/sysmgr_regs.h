/* SPDX-License-Identifier: GPL-2.0-or-later */
// System manager: the pin-multiplexing registers that carry I2C controller 0
// to the sensor's pins.
#ifndef MODELS_SYSMGR_REGS_H
#define MODELS_SYSMGR_REGS_H

#include <stdint.h>

namespace models {

const uint32_t SYSMGR_I2C0_ROUTING = 0x704; // 0: controller on the processor pins
const uint32_t SYSMGR_SENSOR_PIN0 = 0x49C;  // pin function select
const uint32_t SYSMGR_SENSOR_PIN1 = 0x4A0;

const uint32_t SYSMGR_I2C0_ROUTING_FABRIC = 1u << 0;
const uint32_t SYSMGR_PIN_FUNC_MASK = 0x3;
const uint32_t SYSMGR_PIN_FUNC_I2C0 = 1;

// Power-on: the controller is routed into the fabric and the pins are
// general-purpose, so the sensor is unreachable until the pins are set up.
const uint32_t SYSMGR_I2C0_ROUTING_RESET = SYSMGR_I2C0_ROUTING_FABRIC;
const uint32_t SYSMGR_PIN_RESET = 0;

} // namespace models

#endif
