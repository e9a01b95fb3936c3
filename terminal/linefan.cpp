// SPDX-License-Identifier: GPL-2.0-or-later
/* Draws a still fan of seven lines from the bottom-left cell, waits for one
 * character of input and restores the terminal. */
#include "canvas.h"

#include <cstdio>

int main()
{
	start_screen();

	/* Four lines to the right-hand edge, one palette entry each. */
	int32_t end_row = 24;
	unsigned int counter = 0;

	while (end_row > 0) {
		draw_line(1, 80, 24, end_row, palette[counter % 4]);
		end_row -= 7;
		++counter;
	}

	/* Three to the top edge. */
	draw_line(1, 40, 24, 1, 32);
	draw_line(1, 20, 24, 1, 34);
	draw_line(1, 1, 24, 1, 35);

	getchar();

	restore_screen();
	return 0;
}
