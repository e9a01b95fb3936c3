// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * mailbox: takes the work of this run from the machine's mailbox
 * (vboard/qemu/control_page.h) for /init.
 *
 *   mailbox [--announce]
 *
 * Waits until the machine has work in its mailbox, sets the wall clock to
 * the host's time, and writes the work (a cpio archive) to standard output. A machine saved while
 * it waits here and restored later finds the restoring run's work, and its wall clock, which stood
 * still while it was saved, comes from the host's time again. --announce prints "vboard: waiting
 * for work" on standard error once, if it has to wait: the cue to save the machine.
 */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include "control_page.h"

#define POLL_NS 1000000 /* a millisecond */

static int mem_fd = -1;

static volatile uint32_t *map(uint32_t phys, size_t size)
{
	void *p = mmap(NULL, size, PROT_READ, MAP_SHARED, mem_fd, phys);

	if (p == MAP_FAILED) {
		perror("mailbox: mmap /dev/mem");
		exit(1);
	}
	return p;
}

static uint32_t wait_for_work(volatile uint32_t *control, int announce)
{
	const struct timespec poll = {0, POLL_NS};
	uint32_t size;

	while (!(size = control[CTL_MAILBOX_SIZE / 4])) {
		if (announce) {
			fputs("vboard: waiting for work\n", stderr);
			announce = 0;
		}
		nanosleep(&poll, NULL);
	}
	return size;
}

/* The host's time, as the board's real-time clock has it (to the second)
 * and the control page to the nanosecond. */
static void set_clock(volatile uint32_t *control)
{
	struct timespec now;

	now.tv_sec = control[CTL_HOST_SEC / 4];
	now.tv_nsec = control[CTL_HOST_NSEC / 4];
	if (clock_settime(CLOCK_REALTIME, &now))
		perror("mailbox: clock_settime");
}

/* The mailbox is device memory to the guest: copied a word at a time. */
static int write_work(uint32_t size)
{
	volatile uint32_t *box;
	uint32_t *copy;
	size_t words = (size + 3) / 4, i, done = 0;
	ssize_t n;

	if (size > VBOARD_MAILBOX_SIZE) {
		fprintf(stderr, "mailbox: %u bytes of work, more than the mailbox holds\n", size);
		return 1;
	}
	box = map(VBOARD_MAILBOX_BASE, words * 4);
	copy = malloc(words * 4);
	if (!copy) {
		perror("mailbox");
		return 1;
	}
	for (i = 0; i < words; i++)
		copy[i] = box[i];
	while (done < size) {
		n = write(STDOUT_FILENO, (char *)copy + done, size - done);
		if (n <= 0) {
			perror("mailbox: write");
			return 1;
		}
		done += n;
	}
	return 0;
}

int main(int argc, char **argv)
{
	int announce = argc == 2 && !strcmp(argv[1], "--announce");
	volatile uint32_t *control;
	uint32_t size;

	if (argc > 2 || (argc == 2 && !announce)) {
		fprintf(stderr, "usage: mailbox [--announce]\n");
		return 2;
	}
	mem_fd = open("/dev/mem", O_RDONLY | O_SYNC);
	if (mem_fd < 0) {
		perror("mailbox: /dev/mem");
		return 1;
	}
	control = map(VBOARD_CONTROL_BASE, VBOARD_CONTROL_SIZE);
	if (control[CTL_ID / 4] != CTL_ID_VALUE) {
		fprintf(stderr, "mailbox: no control page (not the virtual board?)\n");
		return 1;
	}
	size = wait_for_work(control, announce);
	set_clock(control);
	return write_work(size);
}
