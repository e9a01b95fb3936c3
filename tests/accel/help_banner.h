/* SPDX-License-Identifier: GPL-2.0-or-later */
// The help banner as a reader of the kernel log expects it, line by line,
// for the variant being built. Shared by the command tests and the fuzzer.
#ifndef TESTS_ACCEL_HELP_BANNER_H
#define TESTS_ACCEL_HELP_BANNER_H

#include <cstddef>

const char *const HELP_BANNER[] = {
#ifdef ACCEL_VARIANT_FULL
	"Varnex FPGA sample device driver\n",
	"Returns: int_source accel_x accel_y accel_z mg/lsb\n",
#endif
	"Usage: --\n",
	"       init\n",
	"       calibrate\n",
	"       device\n",
	"       format F GG, where F=1 means full res, GG = {2,4,8,16} G\n",
	"       rate R, where R = {25,12.5,6.25,1.56,0.78} Hz\n",
};
const size_t HELP_BANNER_LINES = sizeof(HELP_BANNER) / sizeof(HELP_BANNER[0]);

#endif
