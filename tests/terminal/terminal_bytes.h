/* SPDX-License-Identifier: GPL-2.0-or-later */
/* What the programs are expected to send, built from first principles rather
 * than from the canvas code. */
#pragma once

#include <string>
#include <vector>

struct Cell {
	int col;
	int row;
	bool operator==(const Cell &o) const
	{
		return col == o.col && row == o.row;
	}
};

/* One character: colour, then cursor position (row first), then the byte. */
inline std::string pixel(Cell cell, int colour, char c = '*')
{
	return "\x1b[" + std::to_string(colour) + "m\x1b[" + std::to_string(cell.row) + ";" +
	       std::to_string(cell.col) + "H" + c;
}

inline const std::string erase = "\x1b[2J";
inline const std::string hide_cursor = "\x1b[?25l";
inline const std::string restore = "\x1b[2J\x1b[37m\x1b[1;1H\x1b[?25h";

/* One write per flush: the programs' start-up sequences go out with the first
 * character, everything they queue afterwards with the next one. */
inline std::vector<std::string> flushes(std::string pending,
					const std::vector<std::string> &characters)
{
	std::vector<std::string> out;

	for (const std::string &c : characters) {
		out.push_back(pending + c);
		pending.clear();
	}
	return out;
}

/* A line of the fan as runs of cells in drawing order: for a line walked
 * along the rows (shallow) each run is {row, first column, last column}, for
 * one walked down the columns (steep) {column, first row, last row}. */
struct Run {
	int fixed, first, last;
};

struct FanLine {
	int colour;
	bool steep;
	std::vector<Run> runs;

	std::vector<Cell> cells() const
	{
		std::vector<Cell> out;

		for (const Run &r : runs)
			for (int i = r.first; i <= r.last; ++i)
				out.push_back(steep ? Cell{r.fixed, i} : Cell{i, r.fixed});
		return out;
	}
};

/* The linefan picture, line by line in drawing order. */
// clang-format off
inline const std::vector<FanLine> fan = {
	{33, false, {{24, 1, 80}}},
	{36, false, {{24, 1, 6}, {23, 7, 17}, {22, 18, 29}, {21, 30, 40}, {20, 41, 51},
		     {19, 52, 62}, {18, 63, 74}, {17, 75, 80}}},
	{37, false, {{24, 1, 3}, {23, 4, 9}, {22, 10, 15}, {21, 16, 20}, {20, 21, 26},
		     {19, 27, 31}, {18, 32, 37}, {17, 38, 43}, {16, 44, 48}, {15, 49, 54},
		     {14, 55, 60}, {13, 61, 65}, {12, 66, 71}, {11, 72, 77}, {10, 78, 80}}},
	{31, false, {{24, 1, 2}, {23, 3, 6}, {22, 7, 10}, {21, 11, 14}, {20, 15, 17},
		     {19, 18, 21}, {18, 22, 25}, {17, 26, 29}, {16, 30, 32}, {15, 33, 36},
		     {14, 37, 40}, {13, 41, 44}, {12, 45, 47}, {11, 48, 51}, {10, 52, 55},
		     {9, 56, 59}, {8, 60, 63}, {7, 64, 66}, {6, 67, 70}, {5, 71, 74},
		     {4, 75, 78}, {3, 79, 80}}},
	{32, false, {{24, 1, 1}, {23, 2, 3}, {22, 4, 5}, {21, 6, 6}, {20, 7, 8}, {19, 9, 10},
		     {18, 11, 11}, {17, 12, 13}, {16, 14, 15}, {15, 16, 17}, {14, 18, 18},
		     {13, 19, 20}, {12, 21, 22}, {11, 23, 23}, {10, 24, 25}, {9, 26, 27},
		     {8, 28, 28}, {7, 29, 30}, {6, 31, 32}, {5, 33, 34}, {4, 35, 35},
		     {3, 36, 37}, {2, 38, 39}, {1, 40, 40}}},
	{34, true, {{20, 1, 1}, {19, 2, 2}, {18, 3, 3}, {17, 4, 5}, {16, 6, 6}, {15, 7, 7},
		    {14, 8, 8}, {13, 9, 10}, {12, 11, 11}, {11, 12, 12}, {10, 13, 13},
		    {9, 14, 14}, {8, 15, 16}, {7, 17, 17}, {6, 18, 18}, {5, 19, 19},
		    {4, 20, 20}, {3, 21, 22}, {2, 23, 23}, {1, 24, 24}}},
	{35, true, {{1, 1, 24}}},
};
// clang-format on

/* The colour each cell of the 80x24 screen ends up with (0: never drawn). */
inline std::vector<std::vector<int>> fan_colours()
{
	std::vector<std::vector<int>> screen(24, std::vector<int>(80, 0));

	for (const FanLine &line : fan)
		for (Cell c : line.cells())
			screen[c.row - 1][c.col - 1] = line.colour;
	return screen;
}
