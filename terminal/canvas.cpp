// SPDX-License-Identifier: GPL-2.0-or-later
#include "canvas.h"

#include <cstdio>
#include <cstdlib>

const uint8_t palette[4] = {33, 36, 37, 31};

void swap(int32_t &a, int32_t &b)
{
	int32_t t = a;

	a = b;
	b = t;
}

void plot_pixel(int32_t x, int32_t y, uint8_t colour, uint8_t c)
{
	/* The sequence takes the row before the column. */
	printf("\033[%2dm\033[%d;%dH%c", colour, y, x, c);
	fflush(stdout);
}

void draw_line(int32_t x0, int32_t x1, int32_t y0, int32_t y1, uint8_t colour)
{
	bool steep = std::abs(y1 - y0) > std::abs(x1 - x0);

	if (steep) {
		swap(x0, y0);
		swap(x1, y1);
	}
	if (x0 > x1) {
		swap(x0, x1);
		swap(y0, y1);
	}

	int32_t deltax = x1 - x0;
	int32_t deltay = std::abs(y1 - y0);
	int32_t error = -(deltax / 2);
	int32_t y = y0;
	int32_t ystep = y0 < y1 ? 1 : -1;

	for (int32_t x = x0; x <= x1; ++x) {
		if (steep)
			plot_pixel(y, x, colour, '*');
		else
			plot_pixel(x, y, colour, '*');
		error += deltay;
		/* A two-cell straight line starts with error 0; without the
		 * deltay test its second cell would step off the line. */
		if (deltay != 0 && error >= 0) {
			y += ystep;
			error -= deltax;
		}
	}
}

void start_screen()
{
	printf("\033[2J");
	printf("\033[?25l");
}

void restore_screen()
{
	printf("\033[2J");
	printf("\033[%2dm", 37);
	printf("\033[%d;%dH", 1, 1);
	printf("\033[?25h");
	fflush(stdout);
}
