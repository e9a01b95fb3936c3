/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * The records of /dev/accel as the guest's own programs (the read-rate
 * benchmark's reader, the panel's feed) tell a new sample: the full
 * variant's record begins with the sensor's INT_SOURCE byte in hex, whose
 * DATA_READY bit says so; the others' with a new-data flag.
 */
#ifndef VBOARD_ACCEL_RECORD_H
#define VBOARD_ACCEL_RECORD_H

#include <stdlib.h>
#include <sys/types.h>

#include "record_format.h" /* the driver's own, accel/ */

#define DATA_READY 0x80

/* Whether a record of n bytes shows a new sample; others never do. */
static inline int new_sample(const char *record, ssize_t n)
{
	char status[3] = {record[0], record[1], '\0'};

	if (n == ACCEL_FLAG_RECORD_LEN)
		return record[0] == '1';
	if (n == ACCEL_STATUS_RECORD_LEN)
		return (strtol(status, NULL, 16) & DATA_READY) != 0;
	return 0;
}

#endif
