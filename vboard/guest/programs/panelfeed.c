// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * panelfeed: the front panel's reader inside the virtual board.
 *
 *   panelfeed serve PORT     records of /dev/accel to the panel, over PORT
 *   panelfeed watch SECONDS  the same lines on stdout, for SECONDS
 *   panelfeed keys SECONDS   a read loop on /dev/KEY, each press with its time
 *
 * serve: PORT is the virtio port the host's panel server listens on. It sends
 * "start" and "stop" lines: while started, /dev/accel is read at five times
 * the sensor's output data rate (BW_RATE, as the board's control page shows
 * it), each read opening the node anew like any shell tool, so that the
 * module can still be unloaded between reads. To the host, one line each:
 *   R N NEW T X Y Z RECORD
 *                     a record exactly as the driver returned it (its newline
 *                     dropped); N counts the lines sent, so that the host
 *                     sees any it lost; NEW 1 when it holds a new sample; T
 *                     the guest's monotonic clock in microseconds; X Y Z the
 *                     board's true acceleration in milli-g (what was tilted
 *                     or is played, the control page's CTL_ACCEL) just
 *                     after the read
 *   E N T MESSAGE     /dev/accel could not be read
 * Records without a new sample are sent only when no new one came for a
 * quarter second, so that the panel still shows what the driver returns.
 *
 * keys: one line "key MASK T" for every read of /dev/KEY that shows a press,
 * reading once a millisecond (for the panel's latency benchmark).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include "accel_record.h"
#include "control_page.h"

/* The sensor's register as the board's control page shows it. */
#define ADXL_BW_RATE 0x2C
#define BW_RATE_CODE_MASK 0x0F

#define POLLS_PER_SAMPLE 5
#define MIN_POLL_US 1000
#define MAX_POLL_US 50000
#define STALE_US 250000

static int64_t now_us(void)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return (int64_t)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

/* One whole record, as a shell tool reading the node to its end gets it. */
static ssize_t read_record(const char *node, char *buf, size_t size)
{
	ssize_t n;
	int fd = open(node, O_RDONLY);

	if (fd < 0)
		return -errno;
	n = read(fd, buf, size - 1);
	if (n < 0)
		n = -errno;
	close(fd);
	if (n >= 0)
		buf[n] = '\0';
	return n;
}

/* Microseconds between reads: a fifth of the output period that BW_RATE
 * sets (3200 Hz >> (15 - code)). */
static int poll_interval_us(volatile uint32_t *control)
{
	unsigned int code;
	long period_us;

	if (!control)
		return 10000;
	code = control[(CTL_SENSOR + 4 * ADXL_BW_RATE) / 4] & BW_RATE_CODE_MASK;
	period_us = (1000000L << (15 - code)) / 3200;
	period_us /= POLLS_PER_SAMPLE;
	if (period_us < MIN_POLL_US)
		return MIN_POLL_US;
	return period_us > MAX_POLL_US ? MAX_POLL_US : period_us;
}

static volatile uint32_t *map_control(void)
{
	void *page;
	int fd = open("/dev/mem", O_RDONLY | O_SYNC);

	if (fd < 0)
		return NULL;
	page = mmap(NULL, VBOARD_CONTROL_SIZE, PROT_READ, MAP_SHARED, fd, VBOARD_CONTROL_BASE);
	close(fd);
	return page == MAP_FAILED ? NULL : page;
}

/* Applies the host's "start" and "stop" lines; 0 when the port closed. */
static int take_commands(int port, int *running)
{
	char buf[256];
	ssize_t n = read(port, buf, sizeof(buf) - 1);
	char *line, *save;

	if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
		return 0;
	if (n < 0)
		return 1;
	buf[n] = '\0';
	for (line = strtok_r(buf, "\n", &save); line; line = strtok_r(NULL, "\n", &save)) {
		if (!strcmp(line, "start"))
			*running = 1;
		else if (!strcmp(line, "stop"))
			*running = 0;
	}
	return 1;
}

static void send_line(int port, const char *line)
{
	/* A host that is not reading loses lines rather than stopping us. */
	if (write(port, line, strlen(line)) < 0 && errno != EAGAIN)
		perror("panelfeed: port");
}

/*
 * One read of /dev/accel: its line for the host into line, or 0 when there
 * is nothing to send (no new sample, and one was sent not long ago).
 */
static int read_line(volatile uint32_t *control, int64_t *last_sent, unsigned long lines,
		     char *line, size_t size)
{
	char record[64];
	ssize_t n = read_record("/dev/accel", record, sizeof(record));
	int64_t t = now_us();
	int32_t mg[3] = {0, 0, 0};
	int fresh = n >= 0 && new_sample(record, n);

	if (!fresh && t - *last_sent < STALE_US)
		return 0;
	*last_sent = t;
	if (n < 0) {
		snprintf(line, size, "E %lu %lld /dev/accel: %s\n", lines, (long long)t,
			 strerror(-n));
		return 1;
	}
	for (int axis = 0; control && axis < 3; axis++)
		mg[axis] = (int32_t)control[CTL_ACCEL / 4 + axis];
	record[strcspn(record, "\n")] = '\0';
	snprintf(line, size, "R %lu %d %lld %d %d %d %s\n", lines, fresh, (long long)t, (int)mg[0],
		 (int)mg[1], (int)mg[2], record);
	return 1;
}

static int serve(const char *port_path)
{
	volatile uint32_t *control = map_control();
	int64_t last_sent = 0;
	unsigned long lines = 0;
	int running = 0;
	int port = open(port_path, O_RDWR | O_NONBLOCK);

	if (port < 0) {
		fprintf(stderr, "panelfeed: %s: %s\n", port_path, strerror(errno));
		return 1;
	}
	for (;;) {
		struct pollfd p = {.fd = port, .events = POLLIN};
		char line[160];

		if (poll(&p, 1, running ? poll_interval_us(control) / 1000 : -1) > 0 &&
		    !take_commands(port, &running))
			return 0;
		if (running && read_line(control, &last_sent, lines, line, sizeof(line))) {
			send_line(port, line);
			lines++;
		}
	}
}

/* serve's lines on stdout, for a while of the guest's own clock. */
static int watch(double seconds)
{
	volatile uint32_t *control = map_control();
	int64_t last_sent = 0, end = now_us() + (int64_t)(seconds * 1e6);
	unsigned long lines = 0;

	while (now_us() < end) {
		long us = poll_interval_us(control);
		struct timespec pause = {us / 1000000, us % 1000000 * 1000};
		char line[160];

		nanosleep(&pause, NULL);
		if (read_line(control, &last_sent, lines, line, sizeof(line))) {
			fputs(line, stdout);
			lines++;
		}
	}
	return 0;
}

static int keys(double seconds)
{
	int64_t end = now_us() + (int64_t)(seconds * 1e6);
	struct timespec ms = {0, 1000000};

	setvbuf(stdout, NULL, _IOLBF, 0);
	while (now_us() < end) {
		char record[8];
		ssize_t n = read_record("/dev/KEY", record, sizeof(record));
		unsigned long mask = n > 0 ? strtoul(record, NULL, 16) : 0;

		if (mask)
			printf("key %lX %lld\n", mask, (long long)now_us());
		nanosleep(&ms, NULL);
	}
	return 0;
}

int main(int argc, char **argv)
{
	if (argc == 3 && !strcmp(argv[1], "serve"))
		return serve(argv[2]);
	if (argc == 3 && !strcmp(argv[1], "watch") && atof(argv[2]) > 0)
		return watch(atof(argv[2]));
	if (argc == 3 && !strcmp(argv[1], "keys") && atof(argv[2]) > 0)
		return keys(atof(argv[2]));
	fprintf(stderr,
		"usage: panelfeed serve PORT | panelfeed watch SECONDS | panelfeed keys SECONDS\n");
	return 2;
}
