// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * The command interface, the write operation of /dev/accel in the full and
 * command variants (the basic variant is read only: this file builds empty
 * for it). One command per write, interpreted at once between a standby and
 * a measurement write, so that no configuration register changes while the
 * sensor measures. Outcomes and rejected commands go to the kernel log.
 *
 * Freestanding C++11: the kernel is reached only through ks.h.
 */
#include <stddef.h>
#include <stdint.h>

#include "ks.h"
#include "accel.h"
#include "adxl345.h"

#ifndef ACCEL_VARIANT_BASIC

/* A word of the text fits command, the second word of "rate" fits rate. */
static const size_t COMMAND_SIZE = 16, RATE_SIZE = 8;
static_assert(COMMAND_SIZE > ACCEL_TEXT_MAX, "first word fits command");
static_assert(RATE_SIZE > ACCEL_TEXT_MAX - (sizeof("rate ") - 1), "second word fits rate");
/* After "format " no number has more digits than an int holds. */
static_assert(ACCEL_TEXT_MAX - (sizeof("format ") - 1) <= 9, "numbers cannot overflow");

static const char *const help_banner[] = {
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

struct rate_setting {
	const char *word;
	uint8_t code;
};

static const rate_setting rate_table[] = {
	{"25", ADXL345_RATE_25HZ},     {"12.5", ADXL345_RATE_12_5HZ}, {"6.25", ADXL345_RATE_6_25HZ},
	{"1.56", ADXL345_RATE_1_56HZ}, {"0.78", ADXL345_RATE_0_78HZ},
};

/*
 * The text as the writer sent it is accel_string (for messages); commands
 * read their words from scan (see scan_copy).
 */
struct command_text {
	const char *accel_string;
	const char *scan;
};

/*
 * Both sscanf implementations take the same six characters for white space,
 * except that the kernel's also takes byte 0xA0. Words are read from a copy
 * in which that byte is a blank, so that kernel and host read the same.
 */
static void scan_copy(char scan[], const char accel_string[])
{
	size_t n = 0;

	for (; accel_string[n]; n++)
		scan[n] = (unsigned char)accel_string[n] == 0xA0 ? ' ' : accel_string[n];
	scan[n] = '\0';
}

static bool is_blank(char c)
{
	return c == ' ' || (c >= '\t' && c <= '\r');
}

static bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

static const char *skip_blanks(const char *p)
{
	while (is_blank(*p))
		p++;
	return p;
}

/* End of a number as the kernel's %d reads it, an optional '-' and digits;
 * null when none starts at p. */
static const char *number_end(const char *p)
{
	if (*p == '-')
		p++;
	if (!is_digit(*p))
		return 0;
	while (is_digit(*p))
		p++;
	return p;
}

/*
 * sscanf(scan, "%s %d %d") with numbers read the kernel's way. The C
 * library's %d also takes a leading '+': the fields are cut where the
 * kernel's conversion stops, so both give the same count.
 */
static int scan_format(const char *scan, char command[], int *full, int *range)
{
	const char *p = skip_blanks(scan);
	int numbers = 0;

	while (*p && !is_blank(*p))
		p++;
	for (p = skip_blanks(p); numbers < 2 && (p = number_end(p)); p = skip_blanks(p))
		numbers++;
	int fields = ks_sscanf(scan, "%s %d %d", command, full, range);
	return fields < 1 + numbers ? fields : 1 + numbers;
}

static int command_help(const command_text *)
{
	for (size_t n = 0; n < ARRAY_LEN(help_banner); n++)
		ks_printk(KS_ERR "%s", help_banner[n]);
	return 0;
}

/* The sample waiting may be of the format before. */
static int command_init(const command_text *)
{
	int err = ADXL345_Init();

	return err ? err : discard_waiting_sample();
}

static int command_calibrate(const command_text *)
{
	return ADXL345_Calibrate();
}

static int command_device(const command_text *)
{
	uint8_t pID;
	int err = ADXL345_IdRead(&pID);

	if (err)
		return err;
	if (pID == ADXL345_DEVID_VALUE)
		accel_err("ADXL345 device ID is 0x%X\n", pID);
	else
		accel_err("found wrong device ID 0x%X\n", pID);
	return 0;
}

/* Range code: log2 of the range in g, minus 1 (2 g gives 0, 16 g gives 3). */
static int range_code(int range)
{
	int i = 0;

	for (range >>= 2; range; range >>= 1)
		i++;
	return i;
}

/* Range and resolution; mg_per_LSB changes only once DATA_FORMAT did. */
static int set_format(int full, int range)
{
	int i = range_code(range);
	int scale = full ? 4 : (range * 1000 + 256) / 512;
	uint8_t saved_dataformat;
	int err = ADXL345_REG_READ(ADXL345_DATA_FORMAT, &saved_dataformat);

	if (err)
		return err;
	/* Bit 2 (left-justified) stays 0: the counts are right-justified. */
	err = ADXL345_REG_WRITE(ADXL345_DATA_FORMAT, (saved_dataformat & ADXL345_FORMAT_UPPER) | i |
							     (full ? ADXL345_FULL_RES : 0));
	if (err)
		return err;
	mg_per_LSB = scale;
	return discard_waiting_sample();
}

static int command_format(const command_text *text)
{
	char command[COMMAND_SIZE];
	int full, range;
	int err;

	if (scan_format(text->scan, command, &full, &range) != 3) {
		accel_err("can't parse user input %s\n", text->accel_string);
		return 0;
	}
	err = clear_offsets();
	if (err)
		return err;
	if (range != 2 && range != 4 && range != 8 && range != 16) {
		accel_err("bad range value %d\n", range);
		return 0;
	}
	return set_format(full, range);
}

static int command_rate(const command_text *text)
{
	char command[COMMAND_SIZE], rate[RATE_SIZE];

	if (ks_sscanf(text->scan, "%s %s", command, rate) != 2) {
		accel_err("can't parse user input: %s\n", text->accel_string);
		return 0;
	}
	for (size_t n = 0; n < ARRAY_LEN(rate_table); n++) {
		if (!ks_strcmp(rate, rate_table[n].word))
			return ADXL345_REG_WRITE(ADXL345_BW_RATE, rate_table[n].code);
	}
	accel_err("bad rate %s (use 25, 12.5, 6.25, 1.56, or 0.78)\n", rate);
	return 0;
}

struct accel_command {
	const char *word;
	int (*run)(const command_text *text);
};

/* Matched in this order, exactly; one a line (clang-format would pack them). */
/* clang-format off */
static const accel_command commands[] = {
	{"--", command_help},
	{"init", command_init},
	{"calibrate", command_calibrate},
	{"device", command_device},
	{"format", command_format},
	{"rate", command_rate},
};
/* clang-format on */

/*
 * Runs the command of the text. Returns 0, or the error of a failed bus
 * access; for a text without a word, -EINVAL when the writer sent bytes
 * (a writer retrying the rest would loop) and 0 for an empty write.
 */
static int interpret(const char accel_string[], ks_size_t length)
{
	char scan[ACCEL_TEXT_MAX + 1];
	char command[COMMAND_SIZE];
	command_text text = {accel_string, scan};

	scan_copy(scan, accel_string);
	/* The kernel's %s converts an empty word from blanks alone. */
	if (ks_sscanf(scan, "%s", command) != 1 || !command[0]) {
		accel_err("unable to read user input\n");
		return length ? -EINVAL : 0;
	}
	for (size_t n = 0; n < ARRAY_LEN(commands); n++) {
		if (!ks_strcmp(command, commands[n].word))
			return commands[n].run(&text);
	}
	accel_err("received unrecognized command %s\n", command);
	return 0;
}

/*
 * Takes the first ACCEL_TEXT_MAX bytes of the writer's text; the rest is
 * ignored but counted as written. The file position is not used. A text
 * that could not be copied whole is not interpreted (its start alone could
 * be another command: "format 0 16" cut to "format 0 1"): the write fails
 * with -EFAULT, after the same standby and measurement bracket as any.
 */
ks_ssize_t device_write(struct ks_file *, const char *buffer, ks_size_t length, ks_loff_t *)
{
	char accel_string[ACCEL_TEXT_MAX + 1];
	ks_size_t bytes = length < ACCEL_TEXT_MAX ? length : ACCEL_TEXT_MAX;
	bool copied = !ks_copy_from_user(accel_string, buffer, bytes);
	int err, measure;

	if (!copied)
		accel_err("copy_from_user unsuccessful\n");
	accel_string[bytes] = '\0';

	err = ks_lock();
	if (err)
		return err;
	err = i2c0_drain();
	if (!err)
		err = ADXL345_REG_WRITE(ADXL345_POWER_CTL, ADXL345_STANDBY);
	if (!err && copied)
		err = interpret(accel_string, length);
	/* Back to measuring whatever happened, also after a bus error. */
	measure = ADXL345_REG_WRITE(ADXL345_POWER_CTL, ADXL345_MEASURE);
	if (!err && !measure)
		measure = i2c0_writes_acknowledged();
	ks_unlock();

	if (err)
		return err;
	if (measure)
		return measure;
	return copied ? (ks_ssize_t)length : -EFAULT;
}

#endif /* !ACCEL_VARIANT_BASIC */
