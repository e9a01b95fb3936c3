// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * A recording of motion: its format, the check of a whole file in one pass,
 * and playing it with a cursor (recording.h). The file is read forwards, a
 * row ahead of the position asked for; only looping goes back, to the first
 * row.
 */
#include "recording.h"

#include <errno.h>
#include <inttypes.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

enum { COL_TIME, COL_X, COL_Y, COL_Z, COLUMNS };

static const char *const native_columns[COLUMNS] = {"t_ms", "x_mg", "y_mg", "z_mg"};
static const char digits[] = "0123456789";

/* Latest time a row may have: far beyond any recording, and no overflow. */
#define RECORDING_MAX_NS ((uint64_t)1 << 62)

struct row {
	uint64_t t_ns; /* from the recording's start */
	int32_t mg[3];
	uint64_t offset, line;
};

struct recording {
	FILE *file;
	const char *path; /* for refusals while opening only */
	bool loop;
	bool relative;		 /* named columns: seconds, the first row time 0 */
	double ns_per_unit;	 /* of the time column */
	double mg_per_unit;	 /* of the acceleration columns */
	double origin;		 /* first row's time, in the file's unit */
	unsigned index[COLUMNS]; /* field of each column */
	unsigned fields;	 /* fields of the header, and so of every row */
	uint64_t first_offset, first_line;
	uint64_t rows, length_ns;
	uint64_t offset, line; /* where the next line read starts, its number */
	struct row cur, next;
	bool has_next;
	uint64_t pass;
	char *field[RECORDING_LINE_MAX]; /* a field at most per character */
	char text[RECORDING_LINE_MAX];
};

static bool refuse(char *error, size_t size, const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	vsnprintf(error, size, fmt, ap);
	va_end(ap);
	return false;
}

/* --- the play command's words -------------------------------------------- */

static bool split_columns(struct recording_args *a, const char *names, char *error, size_t size)
{
	char *p = a->columns;
	unsigned n = 0;

	if (strlen(names) < sizeof(a->columns)) {
		strcpy(a->columns, names);
		while (n < COLUMNS && *p && *p != ',') {
			char *end = p + strcspn(p, ",");

			a->format.columns[n++] = p;
			if (!*end)
				break;
			*end = '\0';
			p = end + 1;
		}
		/* Four names, the last one ending the text. */
		if (n == COLUMNS && p == a->format.columns[COLUMNS - 1])
			return true;
	}
	return refuse(error, size, "--columns takes four column names, TIME,X,Y,Z: '%s'", names);
}

bool recording_parse_args(int argc, const char *const *argv, struct recording_args *a, char *error,
			  size_t size)
{
	int i;

	memset(a, 0, sizeof(*a));
	for (i = 0; i < argc; i++) {
		const char *word = argv[i];
		const char *value = i + 1 < argc ? argv[i + 1] : NULL;

		if (!strcmp(word, "--loop")) {
			a->loop = true;
		} else if (!strcmp(word, "--columns") || !strcmp(word, "--units")) {
			if (!value)
				return refuse(error, size, "%s takes a value", word);
			i++;
			if (word[2] == 'c') {
				if (!split_columns(a, value, error, size))
					return false;
			} else if (!strcmp(value, "mps2") || !strcmp(value, "mg")) {
				a->format.mps2 = !strcmp(value, "mps2");
			} else {
				return refuse(error, size, "--units takes mg or mps2, not '%s'",
					      value);
			}
		} else if (word[0] == '-' && word[1] == '-') {
			return refuse(error, size,
				      "no option '%s' (--loop, --columns TIME,X,Y,Z, --units mps2)",
				      word);
		} else if (a->path) {
			return refuse(error, size, "one recording at a time ('%s' and '%s')",
				      a->path, word);
		} else {
			a->path = word;
		}
	}
	if (!a->path || !*a->path)
		return refuse(error, size, "which recording? (a CSV file)");
	return true;
}

/* --- reading -------------------------------------------------------------- */

/*
 * The next line into r->text without its end (LF or CR LF). 1: a line, 0:
 * the end of the file, -1: a line too long or holding a NUL character.
 */
static int read_line(struct recording *r)
{
	size_t n = 0;
	bool bad = false;
	int c = EOF;

	r->line++;
	while ((c = getc_unlocked(r->file)) != EOF) {
		r->offset++;
		if (c == '\n')
			break;
		if (c == '\0' || n + 1 >= sizeof(r->text))
			bad = true;
		else
			r->text[n++] = (char)c;
	}
	if (c == EOF && !n && !bad)
		return 0;
	if (n && r->text[n - 1] == '\r')
		n--;
	r->text[n] = '\0';
	return bad ? -1 : 1;
}

/* A field without the blanks and the double quotes around it. */
static char *trim(char *s)
{
	size_t n;

	s += strspn(s, " \t");
	n = strlen(s);
	while (n && (s[n - 1] == ' ' || s[n - 1] == '\t'))
		s[--n] = '\0';
	if (n >= 2 && s[0] == '"' && s[n - 1] == '"') {
		s[n - 1] = '\0';
		s++;
	}
	return s;
}

/* Splits r->text at its commas into r->field; the number of fields. */
static unsigned split_fields(struct recording *r)
{
	char *p = r->text;
	unsigned n = 0;

	for (;;) {
		char *comma = strchr(p, ',');

		if (comma)
			*comma = '\0';
		r->field[n++] = trim(p);
		if (!comma)
			return n;
		p = comma + 1;
	}
}

static bool skipped(const char *text)
{
	return text[0] == '#' || !text[strspn(text, " \t")];
}

/* A decimal number, with an optional sign, fraction and exponent. */
static bool parse_number(const char *s, double *value)
{
	const char *p = s + (*s == '+' || *s == '-');
	size_t whole = strspn(p, digits), fraction = 0;

	p += whole;
	if (*p == '.') {
		fraction = strspn(++p, digits);
		p += fraction;
	}
	if (!whole && !fraction)
		return false;
	if (*p == 'e' || *p == 'E') {
		size_t exponent;

		p += 1 + (p[1] == '+' || p[1] == '-');
		exponent = strspn(p, digits);
		if (!exponent)
			return false;
		p += exponent;
	}
	if (*p)
		return false;
	*value = strtod(s, NULL);
	return true;
}

static const char *column_name(const struct recording_format *f, unsigned column)
{
	return f && f->columns[0] ? f->columns[column] : native_columns[column];
}

/*
 * The row on r->text (line r->line, at offset), after prev (NULL: the
 * first row). While opening (format given) a line that is no row of the
 * recording is refused with the reason; while playing (format NULL) it is
 * simply not a row.
 */
static bool parse_row(struct recording *r, const struct recording_format *f, const struct row *prev,
		      uint64_t offset, struct row *row, char *error, size_t size)
{
	unsigned n = split_fields(r), c;
	double value[COLUMNS], t;
	const char *time_text;

	if (n != r->fields) {
		if (!f)
			return false;
		return refuse(error, size, "%s:%" PRIu64 ": %u field%s, the column names %u",
			      r->path, r->line, n, n == 1 ? "" : "s", r->fields);
	}
	for (c = 0; c < COLUMNS; c++) {
		const char *text = r->field[r->index[c]];

		if (parse_number(text, &value[c]) && isfinite(value[c]))
			continue;
		if (!f)
			return false;
		return refuse(error, size, "%s:%" PRIu64 ": '%s' in column '%s' is not a number",
			      r->path, r->line, text, column_name(f, c));
	}
	time_text = r->field[r->index[COL_TIME]];
	if (f && !prev && r->relative)
		r->origin = value[COL_TIME];
	t = (value[COL_TIME] - r->origin) * r->ns_per_unit;
	if (f && !r->relative && t < 0)
		return refuse(error, size,
			      "%s:%" PRIu64 ": time %s is before the recording's start", r->path,
			      r->line, time_text);
	if (f && t >= (double)RECORDING_MAX_NS)
		return refuse(error, size, "%s:%" PRIu64 ": time %s is too late", r->path, r->line,
			      time_text);
	if (prev && !(t > (double)prev->t_ns && llround(t) > (long long)prev->t_ns)) {
		if (!f)
			return false;
		return refuse(error, size,
			      "%s:%" PRIu64 ": time %s does not increase (line %" PRIu64 ")",
			      r->path, r->line, time_text, prev->line);
	}
	if (t < 0 || t >= (double)RECORDING_MAX_NS)
		return false;
	for (c = 0; c < 3; c++) {
		double mg = round(value[COL_X + c] * r->mg_per_unit);

		if (fabs(mg) <= RECORDING_MAX_MG) {
			row->mg[c] = (int32_t)mg;
			continue;
		}
		if (!f)
			return false;
		return refuse(error, size,
			      "%s:%" PRIu64 ": %s in column '%s' is beyond the sensor's +-16 g",
			      r->path, r->line, r->field[r->index[COL_X + c]],
			      column_name(f, COL_X + c));
	}
	row->t_ns = (uint64_t)llround(t);
	row->offset = offset;
	row->line = r->line;
	return true;
}

/* The row after prev (NULL: the first one) from the cursor on, skipping
 * comments and blank lines; false at the end of the file, or where the file
 * no longer holds such a row. */
static bool next_row(struct recording *r, const struct row *prev, struct row *row)
{
	for (;;) {
		uint64_t offset = r->offset;
		int got = read_line(r);

		if (got <= 0)
			return false;
		if (!skipped(r->text))
			return parse_row(r, NULL, prev, offset, row, NULL, 0);
	}
}

/* The header: where each column is. */
static bool parse_header(struct recording *r, const struct recording_format *f, char *error,
			 size_t size)
{
	unsigned n = split_fields(r), c, i;

	r->fields = n;
	for (c = 0; c < COLUMNS; c++) {
		const char *name = column_name(f, c);

		for (i = 0; i < n && strcmp(r->field[i], name); i++)
			;
		if (i == n)
			return refuse(error, size,
				      "%s:%" PRIu64 ": no column '%s' among the column names",
				      r->path, r->line, name);
		r->index[c] = i;
	}
	return true;
}

/* One pass through the file: the header, every row checked. */
static bool check_file(struct recording *r, const struct recording_format *f, char *error,
		       size_t size)
{
	bool header = false;
	uint64_t prev_ns = 0;

	for (;;) {
		uint64_t offset = r->offset;
		int got = read_line(r);
		struct row row;

		if (got < 0)
			return refuse(error, size,
				      "%s:%" PRIu64 ": a line of more than %d characters or "
				      "with a NUL character",
				      r->path, r->line, RECORDING_LINE_MAX - 1);
		if (!got)
			break;
		if (skipped(r->text))
			continue;
		if (!header) {
			if (!parse_header(r, f, error, size))
				return false;
			header = true;
			continue;
		}
		if (!parse_row(r, f, r->rows ? &r->cur : NULL, offset, &row, error, size))
			return false;
		if (!r->rows++) {
			r->first_offset = row.offset;
			r->first_line = row.line;
		}
		prev_ns = r->cur.t_ns;
		r->cur = row;
	}
	if (ferror(r->file))
		return refuse(error, size, "%s:%" PRIu64 ": %s", r->path, r->line, strerror(errno));
	if (!header)
		return refuse(error, size, "%s:%" PRIu64 ": no column names (an empty recording)",
			      r->path, r->line);
	if (!r->rows)
		return refuse(error, size, "%s:%" PRIu64 ": no rows after the column names",
			      r->path, r->line);
	r->length_ns = r->cur.t_ns + (r->rows > 1 ? r->cur.t_ns - prev_ns : 0);
	return true;
}

/* Back to the first row, the next one read ahead. */
static bool rewind_recording(struct recording *r)
{
	if (fseeko(r->file, (off_t)r->first_offset, SEEK_SET))
		return false;
	r->offset = r->first_offset;
	r->line = r->first_line - 1;
	if (!next_row(r, NULL, &r->cur))
		return false;
	r->has_next = next_row(r, &r->cur, &r->next);
	return true;
}

struct recording *recording_open(const char *path, const struct recording_format *format, bool loop,
				 char *error, size_t size)
{
	struct recording *r = calloc(1, sizeof(*r));
	bool named = format && format->columns[0];

	if (!r) {
		refuse(error, size, "%s: %s", path, strerror(ENOMEM));
		return NULL;
	}
	r->path = path;
	r->loop = loop;
	r->relative = named;
	r->ns_per_unit = named ? 1e9 : 1e6;
	r->mg_per_unit = format && format->mps2 ? RECORDING_MG_PER_MPS2 : 1.0;
	r->file = fopen(path, "rb");
	if (!r->file) {
		refuse(error, size, "%s: %s", path, strerror(errno));
		free(r);
		return NULL;
	}
	if (!check_file(r, format ? format : &(struct recording_format){0}, error, size))
		goto refused;
	if (!rewind_recording(r)) {
		refuse(error, size, "%s: changed while it was read", path);
		goto refused;
	}
	r->path = NULL;
	return r;
refused:
	recording_close(r);
	return NULL;
}

void recording_close(struct recording *r)
{
	if (!r)
		return;
	fclose(r->file);
	free(r);
}

/* The row after the one in effect, if the file still has one. */
static void advance(struct recording *r)
{
	r->cur = r->next;
	r->has_next = next_row(r, &r->cur, &r->next);
}

void recording_at(struct recording *r, uint64_t t_ns, int32_t mg[3])
{
	if (r->loop && r->length_ns) {
		uint64_t pass = t_ns / r->length_ns;

		t_ns %= r->length_ns;
		if (pass != r->pass) {
			r->pass = pass;
			rewind_recording(r);
		}
	}
	while (r->has_next && r->next.t_ns <= t_ns)
		advance(r);
	memcpy(mg, r->cur.mg, sizeof(r->cur.mg));
}

uint64_t recording_rows(const struct recording *r)
{
	return r->rows;
}

uint64_t recording_length_ns(const struct recording *r)
{
	return r->length_ns;
}

bool recording_ended(const struct recording *r, uint64_t t_ns)
{
	return !r->loop && t_ns >= r->length_ns;
}

uint64_t recording_line(const struct recording *r)
{
	return r->cur.line;
}

void recording_get_cursor(const struct recording *r, struct recording_cursor *c)
{
	c->offset = r->cur.offset;
	c->line = r->cur.line;
	c->t_ns = r->cur.t_ns;
	c->pass = r->pass;
}

bool recording_set_cursor(struct recording *r, const struct recording_cursor *c, char *error,
			  size_t size)
{
	/* A row starts a line: the byte before it ends the one before. */
	bool found = c->offset > r->first_offset && c->line > r->first_line &&
		     !fseeko(r->file, (off_t)c->offset - 1, SEEK_SET) &&
		     getc_unlocked(r->file) == '\n';

	if (c->offset == r->first_offset && c->line == r->first_line)
		found = !fseeko(r->file, (off_t)c->offset, SEEK_SET);
	if (found) {
		r->offset = c->offset;
		r->line = c->line - 1;
		found = next_row(r, NULL, &r->cur) && r->cur.t_ns == c->t_ns;
	}
	if (!found) {
		rewind_recording(r);
		return refuse(error, size, "no row at line %" PRIu64 " any more", c->line);
	}
	r->has_next = next_row(r, &r->cur, &r->next);
	r->pass = c->pass;
	return true;
}
