/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * The sample record of /dev/accel, as the driver writes it and as programs
 * that read it tell its parts: the full variant's record begins with the
 * sensor's INT_SOURCE byte in two hex digits, the others' with a new-data
 * flag in one digit; then X, Y and Z in counts and the scale in milli-g per
 * count. Plain C, for the driver and for the programs of the board alike.
 */
#ifndef ACCEL_RECORD_FORMAT_H
#define ACCEL_RECORD_FORMAT_H

#define ACCEL_STATUS_RECORD_LEN 21 /* "%02X %04d %04d %04d %02d\n" */
#define ACCEL_FLAG_RECORD_LEN 20   /* "%1d %04d %04d %04d %02d\n" */

#endif
