// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * readrate: reads whole records from a device node for a given time and
 * prints how many it got per second of the system's own clock.
 *
 *   readrate NODE SECONDS
 *
 * Each record is one positioned read at offset 0 (one system call, always a
 * fresh record). Records that begin with a new-sample mark ("1 " in the
 * flag format, bit 7 of the status byte in the hexadecimal one) are counted
 * apart, since they cost the driver a longer bus access.
 *
 * Output, one line: NODE records RECORDS new NEW seconds S.SSS per_second R
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "accel_record.h"

static double now(void)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec + t.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
	char record[64];
	long records = 0, fresh = 0;
	double seconds, start, elapsed;
	int fd;

	if (argc != 3 || (seconds = atof(argv[2])) <= 0) {
		fprintf(stderr, "usage: readrate NODE SECONDS\n");
		return 2;
	}
	fd = open(argv[1], O_RDONLY);
	if (fd < 0) {
		fprintf(stderr, "readrate: %s: %s\n", argv[1], strerror(errno));
		return 1;
	}
	start = now();
	do {
		/* The clock is read every 64 records, so that it costs little. */
		for (int i = 0; i < 64; i++) {
			ssize_t n = pread(fd, record, sizeof(record), 0);

			if (n <= 0) {
				fprintf(stderr, "readrate: %s: %s\n", argv[1],
					n ? strerror(errno) : "empty record");
				return 1;
			}
			records++;
			fresh += new_sample(record, n);
		}
		elapsed = now() - start;
	} while (elapsed < seconds);
	close(fd);
	printf("%s records %ld new %ld seconds %.3f per_second %.0f\n", argv[1], records, fresh,
	       elapsed, records / elapsed);
	return 0;
}
