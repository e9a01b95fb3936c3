// SPDX-License-Identifier: GPL-2.0-or-later
/* Moves a horizontal line down and up the screen, one row every half second,
 * until SIGINT; then restores the terminal. */
#include "canvas.h"

#include <csignal>
#include <cstdio>
#include <ctime>

static volatile sig_atomic_t stop;

static void catchSIGINT(int)
{
	stop = 1;
}

int main()
{
	const struct timespec half_second = {0, 500000000};
	int32_t row = 1;
	/* The row-1 bounce of the first frame turns this into +1: down first. */
	int32_t direction = -1;

	start_screen();

	/* glibc's signal() keeps the handler installed and restarts interrupted
	 * writes (SA_RESTART); nanosleep() still returns early on the signal. */
	signal(SIGINT, catchSIGINT);

	while (!stop) {
		draw_line(1, 40, row, row, palette[0]);
		/* Left in the buffer: the line stays up during the pause and the
		 * erase goes out with the first character of the next frame. */
		printf("\033[2J");
		if (row == 24 || row == 1)
			direction = direction > 0 ? -1 : 1;
		row += direction;
		nanosleep(&half_second, nullptr);
	}

	restore_screen();
	return 0;
}
