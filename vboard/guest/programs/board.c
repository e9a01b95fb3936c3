// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * board: what a person does to the virtual board, from inside it.
 *
 *   board COMMAND...       (board help lists them)
 *
 * The command line goes to the machine's control page (control_page.h)
 * through /dev/mem, and the machine's parser takes or refuses it, the same
 * one that takes the host's scripts/board commands: both tools take the same
 * forms and give the same reasons. regs shows the registers the machine
 * lists, as scripts/board regs does; help prints /lib/vboard/board.help, the
 * list both tools print.
 */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "control_page.h"

#define HELP_FILE "/lib/vboard/board.help"

static volatile uint32_t *control;

static void help(FILE *out)
{
	FILE *in = fopen(HELP_FILE, "r");
	char line[256];

	fputs("usage: board COMMAND\n", out);
	while (in && fgets(line, sizeof(line), in))
		if (line[0] != '#')
			fputs(line, out);
	if (in)
		fclose(in);
}

/* Text the machine left on the page, NUL-terminated, a word at a time. */
static void read_text(uint32_t offset, size_t size, char *text)
{
	size_t i;

	for (i = 0; i < size / 4; i++) {
		uint32_t word = control[offset / 4 + i];

		memcpy(text + 4 * i, &word, 4);
		if (memchr(&word, 0, 4))
			return;
	}
	text[size - 1] = '\0';
}

/* The line into CTL_LINE (what fits), then its length into CTL_COMMAND,
 * which runs it: a line too long is the machine's to refuse. */
static int run(const char *line)
{
	char words[CTL_TEXT_SIZE] = {0}, message[CTL_TEXT_SIZE];
	size_t length = strlen(line), i;
	uint32_t word;

	memcpy(words, line, length < CTL_TEXT_SIZE ? length : CTL_TEXT_SIZE);
	for (i = 0; i < CTL_TEXT_SIZE / 4; i++) {
		memcpy(&word, words + 4 * i, 4);
		control[CTL_LINE / 4 + i] = word;
	}
	control[CTL_COMMAND / 4] = length;
	if (control[CTL_STATUS / 4] == CTL_STATUS_OK)
		return 0;
	read_text(CTL_MESSAGE, sizeof(message), message);
	fprintf(stderr, "board: %s\n", message);
	return 1;
}

static int regs(void)
{
	char text[CTL_REGS_SIZE];

	read_text(CTL_REGS, sizeof(text), text);
	fputs(text, stdout);
	return 0;
}

static volatile uint32_t *map_control(void)
{
	int fd = open("/dev/mem", O_RDWR | O_SYNC);
	void *page;

	if (fd < 0)
		return NULL;
	page = mmap(NULL, VBOARD_CONTROL_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
		    VBOARD_CONTROL_BASE);
	close(fd);
	return page == MAP_FAILED ? NULL : page;
}

int main(int argc, char **argv)
{
	char line[4096] = "";
	int i;

	if (argc < 2) {
		help(stderr);
		return 2;
	}
	if (!strcmp(argv[1], "help") || !strcmp(argv[1], "-h") || !strcmp(argv[1], "--help")) {
		help(stdout);
		return 0;
	}
	control = map_control();
	if (!control || control[CTL_ID / 4] != CTL_ID_VALUE) {
		fprintf(stderr, "board: no board control page at 0x%08X (not the virtual board?)\n",
			VBOARD_CONTROL_BASE);
		return 1;
	}
	if (!strcmp(argv[1], "regs")) {
		if (argc == 2)
			return regs();
		fputs("board: regs: takes no words\n", stderr);
		return 1;
	}
	/* The words as one line, separated by single blanks. */
	for (i = 1; i < argc; i++) {
		if (strlen(line) + strlen(argv[i]) + 2 > sizeof(line)) {
			fputs("board: a command line of at most 255 characters\n", stderr);
			return 1;
		}
		if (i > 1)
			strcat(line, " ");
		strcat(line, argv[i]);
	}
	return run(line);
}
