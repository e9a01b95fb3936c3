/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * Registers of I2C controller 0 and of the system manager's pin routing for
 * it, as byte offsets in their register windows.
 */
#ifndef ACCEL_I2C0_H
#define ACCEL_I2C0_H

#include <stdint.h>

/* I2C controller 0 window. */
const unsigned long I2C0_BASE = 0xFFC04000;
const unsigned long I2C0_SPAN = 0x100;

const uint32_t I2C0_CONTROL = 0x00;
const uint32_t I2C0_TARGET = 0x04;
const uint32_t I2C0_DATA_CMD = 0x10;
const uint32_t I2C0_FS_HCNT = 0x1C;
const uint32_t I2C0_FS_LCNT = 0x20;
const uint32_t I2C0_CLEAR_INTERRUPTS = 0x40; /* read: clears them, a latched abort too */
const uint32_t I2C0_CLEAR_ABORT = 0x54;	     /* read: clears a latched abort */
const uint32_t I2C0_ENABLE = 0x6C;
const uint32_t I2C0_TX_LEVEL = 0x74;
const uint32_t I2C0_RX_LEVEL = 0x78;
const uint32_t I2C0_ABORT_SOURCE = 0x80; /* why a transfer was aborted; 0: none */
const uint32_t I2C0_ENABLE_STATUS = 0x9C;

/* Control register: master, fast speed, 7-bit addressing both ways,
 * restart conditions on, slave disabled. */
const uint32_t I2C0_CONTROL_MASTER = 1u << 0;
const uint32_t I2C0_CONTROL_SPEED_FAST = 2u << 1;
const uint32_t I2C0_CONTROL_RESTART_EN = 1u << 5;
const uint32_t I2C0_CONTROL_SLAVE_DISABLE = 1u << 6;

/* Fast-mode clock counts (high, low). */
const uint32_t I2C0_FS_HCNT_VALUE = 90;
const uint32_t I2C0_FS_LCNT_VALUE = 160;

/* Enable register and enable status. */
const uint32_t I2C0_ENABLE_ON = 1u << 0;
const uint32_t I2C0_ENABLE_ABORT = 1u << 1;
const uint32_t I2C0_ENABLE_STATUS_ON = 1u << 0;

/* Data/command word: the byte in bits 7..0, plus these. */
const uint32_t I2C0_CMD_READ = 1u << 8;
const uint32_t I2C0_CMD_RESTART = 1u << 10;
const uint32_t I2C0_DATA_MASK = 0xFF;

/* The enable bit needs ten SCL periods of the fastest speed class (25 us at
 * 400 kHz) to reach the bus side: an abort stored sooner is ignored. */
const unsigned long I2C0_ENABLE_SETTLE_US = 25;

/* One byte and its acknowledge at the counts above (9 SCL periods of
 * 2.59 us at a 100 MHz input clock), rounded up. */
const unsigned long I2C0_BYTE_US = 24;

/* Depth of the controller's receive queue. */
const unsigned int I2C0_RX_DEPTH = 64;

/* System manager window and its I2C0 pin routing. */
const unsigned long SYSMGR_BASE = 0xFFD08000;
const unsigned long SYSMGR_SPAN = 0x800;

const uint32_t SYSMGR_I2C0_ROUTE = 0x704;      /* 0: processor pins */
const uint32_t SYSMGR_PINMUX_BUS_PIN1 = 0x49C; /* 1: pin carries I2C0 */
const uint32_t SYSMGR_PINMUX_BUS_PIN2 = 0x4A0;

const uint32_t SYSMGR_I2C0_ROUTE_PROCESSOR = 0;
const uint32_t SYSMGR_PINMUX_I2C0 = 1;

#endif
