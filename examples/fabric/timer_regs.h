/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * The example timer of the fabric (timer.v): register offsets in its
 * 4 KiB window and their bits, for programs that drive it.
 */
#ifndef EXAMPLES_FABRIC_TIMER_REGS_H
#define EXAMPLES_FABRIC_TIMER_REGS_H

#define TIMER_SPAN 0x1000

#define TIMER_CTRL 0x00	   /* TIMER_RUN, TIMER_IRQ_EN */
#define TIMER_PERIOD 0x04  /* cycles per period, at least 1 */
#define TIMER_COUNT 0x08   /* cycles into the current period, read-only */
#define TIMER_STATUS 0x0C  /* TIMER_EXPIRED, write 1 to clear */
#define TIMER_PERIODS 0x10 /* periods ended since TIMER_RUN was set, read-only */
#define TIMER_LEDR 0x14	   /* bit n: LEDR n lit (ten LEDs) */
#define TIMER_HEX_LO 0x18  /* digits hex0 to hex3, a byte each */
#define TIMER_HEX_HI 0x1C  /* digits hex4 and hex5 */
#define TIMER_INPUTS 0x20  /* read-only: switches in bits 9:0, pushbuttons in 19:16 */
#define TIMER_CYCLES 0x24  /* cycles since reset, low 32 bits, read-only */

#define TIMER_RUN 0x1
#define TIMER_IRQ_EN 0x2
#define TIMER_EXPIRED 0x1
#define TIMER_SW_SHIFT 0
#define TIMER_KEY_SHIFT 16

/* A digit's segments: a in bit 0 to g in bit 6, a lit segment 0. */
#define TIMER_DIGIT_OFF 0x7F

#endif
