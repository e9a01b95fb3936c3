// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * mailbox: takes the work of this run from the machine's mailbox
 * (vboard/qemu/control_page.h) for /lib/vboard/work.
 *
 *   mailbox [--announce] FOLDER
 *
 * Waits until the machine has work in its mailbox, sets the wall clock to
 * the host's time, unpacks the work (a cpio archive: the run's
 * configuration, its script and files) into FOLDER, and sets the size of
 * the terminal on standard input where the configuration gives one. A
 * machine saved while it waits here and restored later finds the restoring
 * run's work, and its wall clock, which stood still while it was saved,
 * comes from the host's time again. --announce prints "vboard: waiting for
 * work" on standard error once, if it has to wait: the cue to save the
 * machine.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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

static unsigned long newc_field(const char *header, unsigned index)
{
	char digits[9];

	memcpy(digits, header + 6 + 8 * index, 8);
	digits[8] = '\0';
	return strtoul(digits, NULL, 16);
}

static size_t align4(size_t n)
{
	return (n + 3) & ~(size_t)3;
}

static int refuse(const char *why, const char *name)
{
	fprintf(stderr, "mailbox: %s%s%s\n", why, name ? ": " : "", name ? name : "");
	return 1;
}

/* One file of the work, its bytes written whole. */
static int write_file(const char *path, unsigned mode, const char *data, size_t size)
{
	int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
	ssize_t n = 0;
	size_t done;

	if (fd < 0)
		return refuse(strerror(errno), path);
	for (done = 0; done < size; done += n) {
		n = write(fd, data + done, size - done);
		if (n <= 0)
			break;
	}
	/* The mode as it came, whatever the umask took off. */
	if (done < size || fchmod(fd, mode) || close(fd))
		return refuse(strerror(errno), path);
	return 0;
}

/*
 * The work is a cpio archive in the newc format (as cpio -H newc writes
 * it), of folders and files only. It is unpacked here rather than by cpio:
 * every program a restored guest runs for the first time costs it
 * emulation, and this one runs already.
 */
static int unpack(const char *data, size_t size, const char *root)
{
	enum { MODE = 1, FILESIZE = 6, NAMESIZE = 11, HEADER = 110 };
	char path[4096];
	size_t at = 0;

	while (at + HEADER <= size) {
		const char *header = data + at, *name = header + HEADER;
		unsigned long mode = newc_field(header, MODE);
		size_t namesize = newc_field(header, NAMESIZE),
		       length = newc_field(header, FILESIZE);
		size_t body = align4(at + HEADER + namesize);

		if (memcmp(header, "070701", 6))
			return refuse("the work is no newc archive", NULL);
		if (!namesize || body > size || length > size - body || name[namesize - 1])
			return refuse("the work is cut short", NULL);
		if (!strcmp(name, "TRAILER!!!"))
			return 0;
		if (snprintf(path, sizeof(path), "%s/%s", root, name) >= (int)sizeof(path))
			return refuse("a name too long", name);
		if (S_ISDIR(mode)) {
			if (mkdir(path, mode & 07777) && errno != EEXIST)
				return refuse(strerror(errno), path);
		} else if (S_ISREG(mode)) {
			if (write_file(path, mode & 07777, data + body, length))
				return 1;
		} else {
			return refuse("neither a file nor a folder", name);
		}
		at = align4(body + length);
	}
	return refuse("the work has no end", NULL);
}

/* The value of "NAME=" on a line of the configuration TEXT, 0 if none. */
static unsigned long conf_value(const char *text, const char *name)
{
	size_t length = strlen(name);
	const char *line;

	for (line = text; line; line = strchr(line, '\n'), line = line ? line + 1 : NULL)
		if (!strncmp(line, name, length) && line[length] == '=')
			return strtoul(line + length + 1, NULL, 10);
	return 0;
}

/*
 * The host's terminal size, where the work gives one (a shell's run), set
 * on the console (standard input) before the login shell prompts: here
 * rather than by stty, as a restored guest pays for every program started.
 */
static void set_terminal_size(const char *root)
{
	char path[4096], text[1024];
	struct winsize size = {0};
	ssize_t n;
	int fd;

	snprintf(path, sizeof(path), "%s/etc/vboard.conf", root);
	fd = open(path, O_RDONLY);
	if (fd < 0)
		return;
	n = read(fd, text, sizeof(text) - 1);
	close(fd);
	if (n <= 0)
		return;
	text[n] = '\0';
	size.ws_row = conf_value(text, "rows");
	size.ws_col = conf_value(text, "cols");
	if (size.ws_row && size.ws_col && ioctl(STDIN_FILENO, TIOCSWINSZ, &size))
		perror("mailbox: the terminal's size");
}

/* The mailbox is device memory to the guest: copied a word at a time. */
static int take_work(uint32_t size, const char *root)
{
	volatile uint32_t *box;
	uint32_t *copy;
	size_t words = (size + 3) / 4, i;

	if (size > VBOARD_MAILBOX_SIZE)
		return refuse("more work than the mailbox holds", NULL);
	box = map(VBOARD_MAILBOX_BASE, words * 4);
	copy = malloc(words * 4);
	if (!copy)
		return refuse(strerror(errno), NULL);
	for (i = 0; i < words; i++)
		copy[i] = box[i];
	return unpack((const char *)copy, size, root);
}

int main(int argc, char **argv)
{
	int announce = argc == 3 && !strcmp(argv[1], "--announce");
	volatile uint32_t *control;
	uint32_t size;

	if (argc != 2 + announce) {
		fprintf(stderr, "usage: mailbox [--announce] FOLDER\n");
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
	if (take_work(size, argv[argc - 1]))
		return 1;
	set_terminal_size(argv[argc - 1]);
	return 0;
}
