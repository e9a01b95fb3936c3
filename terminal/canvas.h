/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Drawing on an ANSI terminal: one coloured character per cell, lines by
 * Bresenham's integer algorithm. Cells are 1-based (column, row); nothing is
 * clipped and no state is kept, every character carries its own colour and
 * position and is flushed at once. */
#pragma once

#include <cstdint>

/* Foreground colour numbers: yellow, cyan, white, red. */
extern const uint8_t palette[4];

void swap(int32_t &a, int32_t &b);
void plot_pixel(int32_t x, int32_t y, uint8_t colour, uint8_t c);
/* Columns first, then rows: the line from (x0, y0) to (x1, y1). */
void draw_line(int32_t x0, int32_t x1, int32_t y0, int32_t y1, uint8_t colour);

/* Erases the screen and hides the cursor, unflushed: it reaches the terminal
 * with the first character drawn. */
void start_screen();
/* Erases the screen, sets colour 37, puts the cursor home and shows it, in
 * one flush. */
void restore_screen();
