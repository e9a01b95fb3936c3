/* SPDX-License-Identifier: GPL-2.0-or-later */
// I2C controller 0: register offsets in its window and their bits, as the
// published register descriptions of this controller family and Linux's
// driver for it (its register header in drivers/i2c/busses/) name them.
#ifndef MODELS_I2C0_REGS_H
#define MODELS_I2C0_REGS_H

#include <stdint.h>

namespace models {

const uint32_t I2C_CON = 0x00;	     // control
const uint32_t I2C_TAR = 0x04;	     // target address
const uint32_t I2C_SAR = 0x08;	     // own address as a slave (unused here)
const uint32_t I2C_DATA_CMD = 0x10;  // command word in, received byte out
const uint32_t I2C_SS_HCNT = 0x14;   // standard-mode SCL high count
const uint32_t I2C_SS_LCNT = 0x18;   // standard-mode SCL low count
const uint32_t I2C_FS_HCNT = 0x1C;   // fast-mode SCL high count
const uint32_t I2C_FS_LCNT = 0x20;   // fast-mode SCL low count
const uint32_t I2C_INTR_STAT = 0x2C; // raw status masked by INTR_MASK
const uint32_t I2C_INTR_MASK = 0x30; // 1: the interrupt reaches the line
const uint32_t I2C_RAW_INTR_STAT = 0x34;
const uint32_t I2C_RX_TL = 0x38;    // RX_FULL when more than this many bytes wait
const uint32_t I2C_TX_TL = 0x3C;    // TX_EMPTY at or below this many words
const uint32_t I2C_CLR_INTR = 0x40; // read: clears every latched interrupt
const uint32_t I2C_CLR_RX_UNDER = 0x44;
const uint32_t I2C_CLR_RX_OVER = 0x48;
const uint32_t I2C_CLR_TX_OVER = 0x4C;
const uint32_t I2C_CLR_RD_REQ = 0x50;
const uint32_t I2C_CLR_TX_ABRT = 0x54; // read: ends the abort state
const uint32_t I2C_CLR_RX_DONE = 0x58;
const uint32_t I2C_CLR_ACTIVITY = 0x5C;
const uint32_t I2C_CLR_STOP_DET = 0x60;
const uint32_t I2C_CLR_START_DET = 0x64;
const uint32_t I2C_CLR_GEN_CALL = 0x68;
const uint32_t I2C_ENABLE = 0x6C;
const uint32_t I2C_STATUS = 0x70;
const uint32_t I2C_TXFLR = 0x74; // transmit queue level
const uint32_t I2C_RXFLR = 0x78; // receive queue level
const uint32_t I2C_SDA_HOLD = 0x7C;
const uint32_t I2C_TX_ABRT_SOURCE = 0x80;
const uint32_t I2C_SDA_SETUP = 0x94;
const uint32_t I2C_ACK_GENERAL_CALL = 0x98;
const uint32_t I2C_ENABLE_STATUS = 0x9C;
const uint32_t I2C_FS_SPKLEN = 0xA0;
const uint32_t I2C_COMP_PARAM_1 = 0xF4; // queue depths and other build parameters
const uint32_t I2C_COMP_VERSION = 0xF8;
const uint32_t I2C_COMP_TYPE = 0xFC;

// Control register.
const uint32_t I2C_CON_MASTER = 1u << 0;
const uint32_t I2C_CON_SPEED_SHIFT = 1; // bits 2..1: 1 standard, 2 fast
const uint32_t I2C_CON_SPEED_MASK = 3u << 1;
const uint32_t I2C_CON_SPEED_STANDARD = 1;
const uint32_t I2C_CON_SPEED_FAST = 2;
const uint32_t I2C_CON_10BIT_SLAVE = 1u << 3;
const uint32_t I2C_CON_10BIT_MASTER = 1u << 4;
const uint32_t I2C_CON_RESTART_EN = 1u << 5;
const uint32_t I2C_CON_SLAVE_DISABLE = 1u << 6;
const uint32_t I2C_CON_STOP_DET_IFADDRESSED = 1u << 7;
const uint32_t I2C_CON_TX_EMPTY_CTRL = 1u << 8; // TX_EMPTY also waits for the wire
const uint32_t I2C_CON_RX_FIFO_FULL_HLD = 1u << 9;
const uint32_t I2C_CON_MASK = 0x3FF;

// Target address register: 7- or 10-bit address, the general-call/START
// byte choice, and the 10-bit selector (bit 12) that this build, with
// dynamic target updates, takes instead of the control register's.
const uint32_t I2C_TAR_MASK = 0x1FFF;
const uint32_t I2C_TAR_7BIT_MASK = 0x7F;
const uint32_t I2C_TAR_10BIT_MASK = 0x3FF;
const uint32_t I2C_TAR_GC_OR_START = 1u << 10; // 1: START byte, 0: general call
const uint32_t I2C_TAR_SPECIAL = 1u << 11;
const uint32_t I2C_TAR_10BIT_MASTER = 1u << 12;

// Command word.
const uint32_t I2C_CMD_DATA_MASK = 0xFF;
const uint32_t I2C_CMD_READ = 1u << 8;
const uint32_t I2C_CMD_STOP = 1u << 9;
const uint32_t I2C_CMD_RESTART = 1u << 10;
const uint32_t I2C_CMD_MASK = 0x7FF;

// Interrupt bits: RAW_INTR_STAT, INTR_STAT and INTR_MASK.
const uint32_t I2C_INTR_RX_UNDER = 1u << 0; // load of an empty receive queue
const uint32_t I2C_INTR_RX_OVER = 1u << 1;  // byte received into a full queue
const uint32_t I2C_INTR_RX_FULL = 1u << 2;  // level: above RX_TL
const uint32_t I2C_INTR_TX_OVER = 1u << 3;  // word stored into a full queue
const uint32_t I2C_INTR_TX_EMPTY = 1u << 4; // level: at or below TX_TL
const uint32_t I2C_INTR_RD_REQ = 1u << 5;   // slave only
const uint32_t I2C_INTR_TX_ABRT = 1u << 6;
const uint32_t I2C_INTR_RX_DONE = 1u << 7; // slave only
const uint32_t I2C_INTR_ACTIVITY = 1u << 8;
const uint32_t I2C_INTR_STOP_DET = 1u << 9;
const uint32_t I2C_INTR_START_DET = 1u << 10;
const uint32_t I2C_INTR_GEN_CALL = 1u << 11;
const uint32_t I2C_INTR_RESTART_DET = 1u << 12;
const uint32_t I2C_INTR_MST_ON_HOLD = 1u << 13; // level: bus held, queue empty
const uint32_t I2C_INTR_MASK_ALL = 0x3FFF;

// Enable register and enable status.
const uint32_t I2C_ENABLE_EN = 1u << 0;
const uint32_t I2C_ENABLE_ABORT = 1u << 1;
const uint32_t I2C_ENABLE_STATUS_EN = 1u << 0;

// Status register.
const uint32_t I2C_STATUS_ACTIVITY = 1u << 0;
const uint32_t I2C_STATUS_TFNF = 1u << 1; // transmit queue not full
const uint32_t I2C_STATUS_TFE = 1u << 2;  // transmit queue empty
const uint32_t I2C_STATUS_RFNE = 1u << 3; // receive queue not empty
const uint32_t I2C_STATUS_RFF = 1u << 4;  // receive queue full
const uint32_t I2C_STATUS_MST_ACTIVITY = 1u << 5;
const uint32_t I2C_STATUS_MST_HOLD_TX_EMPTY = 1u << 7;

// Abort source: why the last abort happened.
const uint32_t I2C_ABRT_7B_ADDR_NOACK = 1u << 0; // nobody acknowledged the address
const uint32_t I2C_ABRT_10ADDR1_NOACK = 1u << 1; // ... the first 10-bit address byte
const uint32_t I2C_ABRT_10ADDR2_NOACK = 1u << 2; // ... the second one
const uint32_t I2C_ABRT_TXDATA_NOACK = 1u << 3;	 // a sent byte was not acknowledged
const uint32_t I2C_ABRT_GCALL_NOACK = 1u << 4;	 // nobody took a general call
const uint32_t I2C_ABRT_GCALL_READ = 1u << 5;	 // a read command after a general call
const uint32_t I2C_ABRT_MASTER_DIS = 1u << 11;	 // master operation while master is off
const uint32_t I2C_ABRT_USER_ABRT = 1u << 16;	 // software set the abort bit

// SDA hold: transmit hold in bits 15..0, receive hold in bits 23..16.
const uint32_t I2C_SDA_HOLD_MASK = 0x00FFFFFF;
const uint32_t I2C_SDA_SETUP_MASK = 0xFF;
const uint32_t I2C_SDA_SETUP_MIN = 2;

// Build parameters: 32-bit register bus, fast speed class at most, one
// combined interrupt line, the parameters encoded, and each queue's depth
// less one.
const uint32_t I2C_PARAM_APB_32BIT = 2u << 0;
const uint32_t I2C_PARAM_MAX_SPEED_FAST = 2u << 2;
const uint32_t I2C_PARAM_INTR_IO = 1u << 5;
const uint32_t I2C_PARAM_ENCODED = 1u << 7;
const uint32_t I2C_PARAM_RX_DEPTH_SHIFT = 8;  // bits 15..8: depth - 1
const uint32_t I2C_PARAM_TX_DEPTH_SHIFT = 16; // bits 23..16: depth - 1
const uint32_t I2C_PARAM_DEPTH_MASK = 0xFF;

// Identification: the family's type code ("DW" and 0x0140), and release
// 1.21a, new enough for the SDA hold register (1.11a and later).
const uint32_t I2C_COMP_TYPE_VALUE = 0x44570140;
const uint32_t I2C_COMP_VERSION_VALUE = 0x3132312A;

const uint32_t I2C_SCL_COUNT_MASK = 0xFFFF;
// The controller loads these for smaller counts stored.
const uint32_t I2C_HCNT_MIN = 6;
const uint32_t I2C_LCNT_MIN = 8;
// Input clock cycles the controller adds to each half of an SCL period: the
// high half lasts hcnt + 8 (synchronisation and spike suppression), the low
// half lcnt + 1, as Linux's driver for this controller family computes its
// counts.
const uint32_t I2C_HCNT_OVERHEAD = 8;
const uint32_t I2C_LCNT_OVERHEAD = 1;
const unsigned I2C_BITS_PER_BYTE = 9; // eight data bits and the acknowledge

// The enable bit reaches the bus side after up to ten SCL periods of the
// fastest speed class (25 us at 400 kHz), the figure the register
// descriptions give: an abort counts only once enable has been set that
// long, and enable status drops that long after the controller went idle.
const uint64_t I2C_ENABLE_SETTLE_NS = 25000;

// Power-on values.
// Master, fast (the speed field reads its highest class the part has),
// 10-bit both ways, restart enabled, slave disabled.
const uint32_t I2C_CON_RESET = 0x7D;
const uint32_t I2C_TAR_RESET = 0x055;
const uint32_t I2C_SAR_RESET = 0x055;
const uint32_t I2C_SS_HCNT_RESET = 0x190;
const uint32_t I2C_SS_LCNT_RESET = 0x1D6;
const uint32_t I2C_FS_HCNT_RESET = 0x3C;
const uint32_t I2C_FS_LCNT_RESET = 0x82;
const uint32_t I2C_INTR_MASK_RESET = 0x8FF;
const uint32_t I2C_SDA_HOLD_RESET = 0x1;
const uint32_t I2C_SDA_SETUP_RESET = 0x64;
const uint32_t I2C_ACK_GENERAL_CALL_RESET = 0x1;
const uint32_t I2C_FS_SPKLEN_RESET = 0x2;

} // namespace models

#endif
