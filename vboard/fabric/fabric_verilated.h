/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * Read by every file of a design's library before anything else (build.sh
 * passes it with -include): Verilator's printing goes to stderr, since
 * QEMU's standard output may be the board's console.
 */
#ifndef VBOARD_FABRIC_VERILATED_H
#define VBOARD_FABRIC_VERILATED_H
int fabric_printf(const char *format, ...);
#define VL_PRINTF fabric_printf
#endif
