/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * The lightweight bridge's window: where the processor reaches the FPGA
 * fabric, 0xFF200000 to 0xFF3FFFFF. The board's pushbutton and switch ports
 * sit at its start (models/board.h, PORTS_BASE and PORTS_SPAN); a design of
 * one's own goes elsewhere in it (vboard/qemu/vboard.c checks where).
 *
 * Plain C macros, so that the models (C++, board.h) and the virtual
 * board's machine (C, vboard/qemu/vboard.h) take the same numbers, and the
 * machine shows them to the host as its properties bridge-base and
 * bridge-size.
 */
#ifndef MODELS_LWBRIDGE_H
#define MODELS_LWBRIDGE_H

#define BOARD_LWBRIDGE_BASE 0xFF200000u
#define BOARD_LWBRIDGE_SIZE 0x200000u

#endif
