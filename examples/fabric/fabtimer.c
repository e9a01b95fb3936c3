// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * fabtimer: serves the fabric's example timer (timer.v) through its UIO
 * device, as a program of one's own serves a design's interrupts.
 *
 *   fabtimer PERIOD COUNT
 *
 * Finds the UIO device of the fabric's design (the one named "fabric" in
 * /sys/class/uio), maps its registers and makes the timer interrupt every
 * PERIOD fabric cycles. Then it serves COUNT interrupts: a read of the
 * device waits for the next one; the program clears the timer's EXPIRED,
 * which drops the line, shows the number served on the LEDs (in binary) and
 * on the six digits (in decimal), and writes 1 to the device to enable the
 * interrupt again. At the end it prints
 *
 *   served N interrupts in T us (UIO count C, timer periods P)
 *
 * T is measured with the guest's monotonic clock.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include "timer_regs.h"

#define UIO_NAME "fabric"
#define UIO_DEVICES 16

/* Segments of the digits 0 to 9, a in bit 0, lit = 0. */
static const uint8_t digit_segments[10] = {0x40, 0x79, 0x24, 0x30, 0x19,
					   0x12, 0x02, 0x78, 0x00, 0x10};

static volatile uint32_t *regs;

static uint32_t reg_read(unsigned offset)
{
	return regs[offset / 4];
}

static void reg_write(unsigned offset, uint32_t value)
{
	regs[offset / 4] = value;
}

/* The first line of a sysfs file of uioN; false when there is none. */
static int uio_attribute(int n, const char *name, char *buf, size_t size)
{
	char path[64];
	FILE *f;
	int ok;

	snprintf(path, sizeof(path), "/sys/class/uio/uio%d/%s", n, name);
	f = fopen(path, "r");
	if (!f)
		return 0;
	ok = fgets(buf, size, f) != NULL;
	fclose(f);
	buf[strcspn(buf, "\n")] = '\0';
	return ok;
}

/* The number of the fabric's UIO device, -1 when there is none. */
static int find_uio(void)
{
	char name[32];
	int n;

	for (n = 0; n < UIO_DEVICES; n++)
		if (uio_attribute(n, "name", name, sizeof(name)) && !strcmp(name, UIO_NAME))
			return n;
	return -1;
}

/* n in binary on the LEDs, in decimal on the digits (hex0 the lowest). */
static void show(uint32_t n)
{
	uint32_t digits[2] = {0, 0};
	int i;

	reg_write(TIMER_LEDR, n & 0x3FF);
	for (i = 0; i < 6; i++, n /= 10)
		digits[i / 4] |= (uint32_t)digit_segments[n % 10] << (8 * (i % 4));
	reg_write(TIMER_HEX_LO, digits[0]);
	reg_write(TIMER_HEX_HI, digits[1]);
}

static long long now_us(void)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

/* Lets the interrupt through again: the UIO driver masked it. */
static int enable_interrupt(int fd)
{
	uint32_t on = 1;

	return write(fd, &on, sizeof(on)) == sizeof(on) ? 0 : -1;
}

int main(int argc, char **argv)
{
	char path[32], size_text[32];
	uint32_t period, count, served, uio_count = 0;
	long long start;
	size_t size;
	int n, fd;

	if (argc != 3) {
		fprintf(stderr, "usage: fabtimer PERIOD COUNT\n");
		return 2;
	}
	period = strtoul(argv[1], NULL, 0);
	count = strtoul(argv[2], NULL, 0);
	n = find_uio();
	if (n < 0 || !uio_attribute(n, "maps/map0/size", size_text, sizeof(size_text))) {
		fprintf(stderr, "fabtimer: no UIO device named %s (is fabric_uio loaded?)\n",
			UIO_NAME);
		return 1;
	}
	size = strtoul(size_text, NULL, 0);
	snprintf(path, sizeof(path), "/dev/uio%d", n);
	fd = open(path, O_RDWR);
	if (fd < 0) {
		perror(path);
		return 1;
	}
	/* Map N of a UIO device is at offset N pages. */
	regs = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	if (regs == MAP_FAILED) {
		perror("fabtimer: mmap");
		return 1;
	}

	reg_write(TIMER_CTRL, 0);
	reg_write(TIMER_STATUS, TIMER_EXPIRED);
	reg_write(TIMER_PERIOD, period);
	show(0);
	if (enable_interrupt(fd)) {
		perror("fabtimer: enabling the interrupt");
		return 1;
	}
	start = now_us();
	reg_write(TIMER_CTRL, TIMER_RUN | TIMER_IRQ_EN);
	for (served = 0; served < count; served++) {
		if (read(fd, &uio_count, sizeof(uio_count)) != sizeof(uio_count)) {
			perror("fabtimer: waiting for the interrupt");
			return 1;
		}
		reg_write(TIMER_STATUS, TIMER_EXPIRED);
		show(served + 1);
		if (enable_interrupt(fd)) {
			perror("fabtimer: enabling the interrupt");
			return 1;
		}
	}
	printf("served %u interrupts in %lld us (UIO count %u, timer periods %u)\n", served,
	       now_us() - start, uio_count, reg_read(TIMER_PERIODS));
	reg_write(TIMER_CTRL, 0);
	munmap((void *)regs, size);
	close(fd);
	return 0;
}
