// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * modsections: tells the machine where the kernel loaded each module, for a
 * debugger on the host (vboard/debug), through the module table of the
 * control page (vboard/qemu/vboard.h).
 *
 *   modsections          the table, once
 *   modsections --watch  the table, and again whenever a module comes or
 *                        goes (the kernel's uevents); /init starts it
 *
 * The table is written whole: for each loaded module (a folder of
 * /sys/module with sections; built-in ones have none) a line "NAME
 * build-id HEX" when it carries a build ID, by which the host finds its
 * file, and a line "NAME SECTION 0xADDRESS" for each of its sections. The
 * kernel sends a module's "add" uevent once its sections are in sysfs,
 * before its init runs. The shell runs busybox's insmod itself, not a file
 * of /bin, so the uevents, not wrappers of the module tools, tell of every
 * load, whoever makes it. Off the virtual board it does nothing.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "control_page.h" /* the control page and its module table */

#define SYS_MODULE "/sys/module"
#define NOTE_NAME "GNU"
#define NT_GNU_BUILD_ID 3

static volatile uint32_t *control;

/* One line of the table, NUL-terminated, a 32-bit word at a time. */
static void add_line(const char *line)
{
	uint32_t words[CTL_TEXT_SIZE / 4] = {0};
	size_t n = strnlen(line, CTL_TEXT_SIZE - 1);

	memcpy(words, line, n);
	for (size_t i = 0; i <= n / 4; i++)
		control[CTL_MODULE_LINE / 4 + i] = words[i];
	control[CTL_MODULES / 4] = CTL_MODULES_ADD;
}

/* The first line of a small file, without its end; 0 when unreadable. */
static int read_small(const char *path, char *buf, size_t size)
{
	int fd = open(path, O_RDONLY);
	ssize_t n;

	if (fd < 0)
		return 0;
	n = read(fd, buf, size - 1);
	close(fd);
	if (n <= 0)
		return 0;
	buf[n] = '\0';
	buf[strcspn(buf, "\n")] = '\0';
	return (int)n;
}

/* The build ID note of a loaded module, as hexadecimal digits. */
static void add_build_id(const char *module)
{
	char path[512], line[CTL_TEXT_SIZE];
	unsigned char note[256];
	uint32_t namesz, descsz, type;
	ssize_t n;
	int fd, at;

	snprintf(path, sizeof(path), SYS_MODULE "/%s/notes/.note.gnu.build-id", module);
	fd = open(path, O_RDONLY);
	if (fd < 0)
		return;
	n = read(fd, note, sizeof(note));
	close(fd);
	if (n < 12)
		return;
	memcpy(&namesz, note, 4);
	memcpy(&descsz, note + 4, 4);
	memcpy(&type, note + 8, 4);
	/* name and description are each padded to four bytes */
	if (type != NT_GNU_BUILD_ID || namesz != sizeof(NOTE_NAME) ||
	    memcmp(note + 12, NOTE_NAME, namesz) || 16 + descsz > (size_t)n || descsz > 64)
		return;
	at = snprintf(line, sizeof(line), "%s build-id ", module);
	for (uint32_t i = 0; i < descsz; i++)
		at += snprintf(line + at, sizeof(line) - at, "%02x", note[16 + i]);
	add_line(line);
}

static void add_module(const char *module)
{
	char path[512], address[64], line[CTL_TEXT_SIZE];
	struct dirent *e;
	DIR *sections;

	snprintf(path, sizeof(path), SYS_MODULE "/%s/sections", module);
	sections = opendir(path);
	if (!sections)
		return;
	add_build_id(module);
	while ((e = readdir(sections))) {
		if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
			continue;
		/* A line too long for the table is left out. */
		if (snprintf(path, sizeof(path), SYS_MODULE "/%s/sections/%s", module, e->d_name) >=
			    (int)sizeof(path) ||
		    !read_small(path, address, sizeof(address)) ||
		    snprintf(line, sizeof(line), "%s %s %s", module, e->d_name, address) >=
			    (int)sizeof(line))
			continue;
		add_line(line);
	}
	closedir(sections);
}

static int publish(void)
{
	struct dirent *e;
	DIR *modules = opendir(SYS_MODULE);

	if (!modules) {
		perror("modsections: " SYS_MODULE);
		return 1;
	}
	control[CTL_MODULES / 4] = CTL_MODULES_BEGIN;
	while ((e = readdir(modules)))
		if (e->d_name[0] != '.')
			add_module(e->d_name);
	closedir(modules);
	control[CTL_MODULES / 4] = CTL_MODULES_COMMIT;
	return 0;
}

static int starts(const char *text, const char *prefix)
{
	return !strncmp(text, prefix, strlen(prefix));
}

/* The table now, and anew after each module's uevent ("add@/module/NAME",
 * "remove@/module/NAME"), or after events were lost. */
static int watch(void)
{
	struct sockaddr_nl kernel = {.nl_family = AF_NETLINK, .nl_groups = 1};
	int sock = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
	char event[8192];

	if (sock < 0 || bind(sock, (struct sockaddr *)&kernel, sizeof(kernel))) {
		perror("modsections: uevents");
		return 1;
	}
	if (publish())
		return 1;
	for (;;) {
		ssize_t n = recv(sock, event, sizeof(event) - 1, 0);

		if (n < 0 && errno != EINTR && errno != ENOBUFS) {
			perror("modsections: uevents");
			return 1;
		}
		event[n < 0 ? 0 : n] = '\0';
		if (n < 0 || starts(event, "add@/module/") || starts(event, "remove@/module/"))
			publish();
	}
}

int main(int argc, char **argv)
{
	int fd = open("/dev/mem", O_RDWR | O_SYNC);
	void *page;

	if (argc > 2 || (argc == 2 && strcmp(argv[1], "--watch"))) {
		fprintf(stderr, "usage: modsections [--watch]\n");
		return 2;
	}
	if (fd < 0)
		return 0;
	page = mmap(NULL, VBOARD_CONTROL_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
		    VBOARD_CONTROL_BASE);
	close(fd);
	if (page == MAP_FAILED)
		return 0;
	control = page;
	if (control[CTL_ID / 4] != CTL_ID_VALUE)
		return 0;
	return argc == 2 ? watch() : publish();
}
