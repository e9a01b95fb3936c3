// I2C controller 0: register offsets in its window and their bits.
#ifndef MODELS_I2C0_REGS_H
#define MODELS_I2C0_REGS_H

#include <stdint.h>

namespace models
{

const uint32_t I2C_CON = 0x00;	    // control
const uint32_t I2C_TAR = 0x04;	    // target address
const uint32_t I2C_DATA_CMD = 0x10; // command word in, received byte out
const uint32_t I2C_SS_HCNT = 0x14;  // standard-mode SCL high count
const uint32_t I2C_SS_LCNT = 0x18;  // standard-mode SCL low count
const uint32_t I2C_FS_HCNT = 0x1C;  // fast-mode SCL high count
const uint32_t I2C_FS_LCNT = 0x20;  // fast-mode SCL low count
const uint32_t I2C_CLR_INTR = 0x40;	  // read: clears every interrupt, the abort state too
const uint32_t I2C_CLR_TX_ABRT = 0x54; // read: clears the abort state
const uint32_t I2C_ENABLE = 0x6C;
const uint32_t I2C_TXFLR = 0x74; // transmit queue level
const uint32_t I2C_RXFLR = 0x78; // receive queue level
const uint32_t I2C_TX_ABRT_SOURCE = 0x80;
const uint32_t I2C_ENABLE_STATUS = 0x9C;
const uint32_t I2C_COMP_PARAM_1 = 0xF4; // queue depths and other build parameters

// Control register.
const uint32_t I2C_CON_MASTER = 1u << 0;
const uint32_t I2C_CON_SPEED_SHIFT = 1; // bits 2..1: 1 standard, 2 fast
const uint32_t I2C_CON_SPEED_MASK = 3u << 1;
const uint32_t I2C_CON_SPEED_STANDARD = 1;
const uint32_t I2C_CON_SPEED_FAST = 2;
const uint32_t I2C_CON_10BIT_MASTER = 1u << 4;
const uint32_t I2C_CON_RESTART_EN = 1u << 5;
const uint32_t I2C_CON_SLAVE_DISABLE = 1u << 6;
const uint32_t I2C_CON_MASK = 0x7F;

const uint32_t I2C_TAR_MASK = 0x1FFF;
const uint32_t I2C_TAR_7BIT_MASK = 0x7F;

// Command word.
const uint32_t I2C_CMD_DATA_MASK = 0xFF;
const uint32_t I2C_CMD_READ = 1u << 8;
const uint32_t I2C_CMD_STOP = 1u << 9;
const uint32_t I2C_CMD_RESTART = 1u << 10;
const uint32_t I2C_CMD_MASK = 0x7FF;

// Enable register and enable status.
const uint32_t I2C_ENABLE_EN = 1u << 0;
const uint32_t I2C_ENABLE_ABORT = 1u << 1;
const uint32_t I2C_ENABLE_STATUS_EN = 1u << 0;

// Abort source: why the last abort happened.
const uint32_t I2C_ABRT_7B_ADDR_NOACK = 1u << 0; // nobody acknowledged the address
const uint32_t I2C_ABRT_TXDATA_NOACK = 1u << 3;	 // a sent byte was not acknowledged
const uint32_t I2C_ABRT_USER_ABRT = 1u << 16;	 // software set the abort bit

// Build parameters: 32-bit register bus, fast speed class at most, the
// parameters encoded, and each queue's depth less one.
const uint32_t I2C_PARAM_APB_32BIT = 2u << 0;
const uint32_t I2C_PARAM_MAX_SPEED_FAST = 2u << 2;
const uint32_t I2C_PARAM_ENCODED = 1u << 7;
const uint32_t I2C_PARAM_RX_DEPTH_SHIFT = 8; // bits 15..8: depth - 1
const uint32_t I2C_PARAM_TX_DEPTH_SHIFT = 16; // bits 23..16: depth - 1
const uint32_t I2C_PARAM_DEPTH_MASK = 0xFF;

const uint32_t I2C_SCL_COUNT_MASK = 0xFFFF;
// The controller stretches shorter counts to these.
const uint32_t I2C_HCNT_MIN = 6;
const uint32_t I2C_LCNT_MIN = 8;
// Input clock cycles the controller adds to each half of an SCL period: the
// high half lasts hcnt + 8 (synchronisation and spike suppression), the low
// half lcnt + 1, as Linux's driver for this controller family computes its
// counts.
const uint32_t I2C_HCNT_OVERHEAD = 8;
const uint32_t I2C_LCNT_OVERHEAD = 1;
const unsigned I2C_BITS_PER_BYTE = 9; // eight data bits and the acknowledge

// Power-on values.
const uint32_t I2C_CON_RESET = 0x7F; // master, fast, 10-bit, slave disabled
const uint32_t I2C_TAR_RESET = 0x055;
const uint32_t I2C_SS_HCNT_RESET = 0x190;
const uint32_t I2C_SS_LCNT_RESET = 0x1D6;
const uint32_t I2C_FS_HCNT_RESET = 0x3C;
const uint32_t I2C_FS_LCNT_RESET = 0x82;

} // namespace models

#endif
