/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * A recording of motion, played into the sensor: a CSV file of times and
 * accelerations along the board's axes. Plain C with stdio, no QEMU header,
 * so that host tests compile it as it is.
 *
 * The file: lines starting with '#' and blank lines are skipped; the first
 * other line names the columns, each further line is a row. Fields are
 * separated by commas; blanks and double quotes around a field are dropped.
 * Numbers are decimal, with an optional fraction and exponent. By default
 * the columns t_ms, x_mg, y_mg and z_mg hold the time in milliseconds from
 * the recording's start and the proper acceleration in milli-g (a board
 * lying flat at rest: 0, 0, 1000). Named columns (recording_parse_args'
 * --columns) take the time in seconds from any start, the first row being
 * time 0, as phone apps that log sensors write it; their accelerations may
 * be in m/s^2 (--units mps2). Times strictly increase; accelerations lie
 * within the sensor's +-16 g.
 *
 * Opening reads the file once, start to end, and refuses it with the file's
 * name and the line at fault; playing then reads it a row ahead of where it
 * is, never holding more than two rows: any length plays in the same memory.
 * Each position asked for takes the row at or before it (sample and hold):
 * before the first row the first row, after the last row the last one, or,
 * looping, the recording again from its start once the last row has held as
 * long as the step before it.
 */
#ifndef VBOARD_RECORDING_H
#define VBOARD_RECORDING_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define RECORDING_MAX_MG 16000	 /* the sensor's widest range */
#define RECORDING_LINE_MAX 4096	 /* characters of a line, its end included */
#define RECORDING_ERROR_SIZE 512 /* room for a refusal's text */
#define RECORDING_MG_PER_MPS2 (1000.0 / 9.80665)

/* Which columns hold what, and in which units. */
struct recording_format {
	const char *columns[4]; /* time, X, Y, Z; NULL: t_ms, x_mg, y_mg, z_mg */
	bool mps2;		/* accelerations in m/s^2, not milli-g */
};

/* What a play command names: the file and how to read and play it. */
struct recording_args {
	const char *path;
	struct recording_format format;
	bool loop;
	char columns[RECORDING_LINE_MAX]; /* --columns' names, NUL-separated */
};

/*
 * "PATH [--loop] [--columns TIME,X,Y,Z] [--units mg|mps2]", one word an
 * element; the options may come before the path too. args points into argv
 * and into itself. False, with the reason in error, for anything else.
 */
bool recording_parse_args(int argc, const char *const *argv, struct recording_args *args,
			  char *error, size_t error_size);

/* Where a recording is, enough to go on there after reopening it. */
struct recording_cursor {
	uint64_t offset; /* byte offset of the row in effect */
	uint64_t line;	 /* its line number */
	uint64_t t_ns;	 /* its time, which the row found there must have */
	uint64_t pass;	 /* passes through the recording completed (looping) */
};

struct recording;

/*
 * Reads the file through and, when it is a recording of this format,
 * returns it positioned at its start. NULL, with "FILE:LINE: reason" in
 * error, for a file that cannot be read or is no such recording.
 */
struct recording *recording_open(const char *path, const struct recording_format *format, bool loop,
				 char *error, size_t error_size);
void recording_close(struct recording *r);

/*
 * The acceleration at t_ns from the recording's start, in milli-g. Positions
 * asked for never go back, so that the file is read forwards only.
 */
void recording_at(struct recording *r, uint64_t t_ns, int32_t mg[3]);

/* Rows; length: where looping starts again (the last row's time plus the
 * step before it; the last row's time for a single row). */
uint64_t recording_rows(const struct recording *r);
uint64_t recording_length_ns(const struct recording *r);
/* Whether, not looping, t_ns lies past the last row, which then holds. */
bool recording_ended(const struct recording *r, uint64_t t_ns);
/* The line of the row in effect at the last position asked for. */
uint64_t recording_line(const struct recording *r);

void recording_get_cursor(const struct recording *r, struct recording_cursor *c);
/* Goes to a cursor of the same file: false, with the reason, when the row
 * is not there (the file changed). */
bool recording_set_cursor(struct recording *r, const struct recording_cursor *c, char *error,
			  size_t error_size);

#ifdef __cplusplus
}
#endif

#endif /* VBOARD_RECORDING_H */
