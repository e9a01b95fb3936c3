// SPDX-License-Identifier: GPL-2.0-or-later
#include "canvas.h"
#include "terminal_bytes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <stdio_ext.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

/* Runs the drawing with standard output on a packet socket and returns one
 * packet per write that reached the descriptor: what was not flushed is
 * dropped, so a missing flush shows. Keep each drawing under ~200 characters,
 * the socket's send buffer. */
std::vector<std::string> writes_of(const std::function<void()> &draw)
{
	int sv[2];

	if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
		throw std::runtime_error("socketpair");
	fflush(stdout);
	int saved = dup(1);
	dup2(sv[1], 1);
	close(sv[1]);

	draw();

	__fpurge(stdout);
	dup2(saved, 1);
	close(saved);

	std::vector<std::string> out;
	char buf[4096];
	ssize_t n;
	while ((n = recv(sv[0], buf, sizeof(buf), MSG_DONTWAIT)) > 0)
		out.emplace_back(buf, static_cast<size_t>(n));
	close(sv[0]);
	return out;
}

std::vector<std::string> pixels(const std::vector<Cell> &cells, int colour)
{
	std::vector<std::string> out;

	for (Cell c : cells)
		out.push_back(pixel(c, colour));
	return out;
}

TEST(Canvas, PlotPixelSendsColourPositionCharacterInOneFlush)
{
	const unsigned char bottom_left[] = {0x1B, 0x5B, 0x33, 0x33, 0x6D, 0x1B, 0x5B,
					     0x32, 0x34, 0x3B, 0x31, 0x48, 0x2A};

	EXPECT_EQ(writes_of([] { plot_pixel(1, 24, 33, '*'); }),
		  std::vector<std::string>{
			  std::string(std::begin(bottom_left), std::end(bottom_left))});
	/* Colour padded to two places, never cut. */
	EXPECT_EQ(writes_of([] { plot_pixel(3, 2, 7, '*'); }),
		  std::vector<std::string>{"\x1b[ 7m\x1b[2;3H*"});
	EXPECT_EQ(writes_of([] { plot_pixel(1, 1, 255, '*'); }),
		  std::vector<std::string>{"\x1b[255m\x1b[1;1H*"});
	/* Positions are sent unclipped, in signed decimal. */
	EXPECT_EQ(writes_of([] { plot_pixel(-5, 0, 31, 'x'); }),
		  std::vector<std::string>{"\x1b[31m\x1b[0;-5Hx"});
	EXPECT_EQ(writes_of([] { plot_pixel(2147483647, -2147483647 - 1, 36, 'x'); }),
		  std::vector<std::string>{"\x1b[36m\x1b[-2147483648;2147483647Hx"});
	/* The character is one byte, whatever its value. */
	EXPECT_EQ(writes_of([] { plot_pixel(1, 1, 37, 0xB0); }),
		  std::vector<std::string>{"\x1b[37m\x1b[1;1H\xb0"});
}

struct LineCase {
	const char *name;
	int x0, x1, y0, y1;
	std::vector<Cell> cells;
};

void PrintTo(const LineCase &l, std::ostream *os)
{
	*os << "draw_line(" << l.x0 << ", " << l.x1 << ", " << l.y0 << ", " << l.y1 << ")";
}

class DrawLine : public testing::TestWithParam<LineCase> {};

TEST_P(DrawLine, SendsEachCellInOrderWithItsOwnFlush)
{
	const LineCase &l = GetParam();

	EXPECT_EQ(writes_of([&] { draw_line(l.x0, l.x1, l.y0, l.y1, 36); }), pixels(l.cells, 36));
}

const std::vector<Cell> shallow = {{1, 1}, {2, 2}, {3, 2}, {4, 3}, {5, 3}};
const std::vector<Cell> steep = {{1, 1}, {1, 2}, {2, 3}, {2, 4}, {2, 5}, {3, 6}, {3, 7}};

std::vector<Cell> column(int col, int first, int last)
{
	std::vector<Cell> out;

	for (int row = first; row <= last; ++row)
		out.push_back({col, row});
	return out;
}

std::vector<Cell> row(int r, int first, int last)
{
	std::vector<Cell> out;

	for (int col = first; col <= last; ++col)
		out.push_back({col, r});
	return out;
}

INSTANTIATE_TEST_SUITE_P(
	Lines, DrawLine,
	testing::Values(
		/* An error of exactly 0 moves the row. */
		LineCase{"Shallow", 1, 5, 1, 3, shallow},
		LineCase{"ShallowRightToLeft", 5, 1, 3, 1, shallow},
		LineCase{"Steep", 1, 3, 1, 7, steep},
		LineCase{"SteepBottomToTop", 3, 1, 7, 1, steep},
		LineCase{"DiagonalIsNotSteep", 1, 4, 1, 4, {{1, 1}, {2, 2}, {3, 3}, {4, 4}}},
		LineCase{"RisingDiagonal", 1, 3, 3, 1, {{1, 3}, {2, 2}, {3, 1}}},
		LineCase{"SingleCell", 5, 5, 7, 7, {{5, 7}}},
		LineCase{"ColumnBottomToTop", 1, 1, 24, 1, column(1, 1, 24)},
		LineCase{"Row", 1, 40, 5, 5, row(5, 1, 40)},
		LineCase{"NegativeCells", -3, 0, -1, -2, {{-3, -1}, {-2, -2}, {-1, -2}, {0, -2}}},
		/* Two-cell straight lines keep both end points. */
		LineCase{"TwoCellRow", 1, 2, 5, 5, {{1, 5}, {2, 5}}},
		LineCase{"TwoCellRowRightToLeft", 2, 1, 5, 5, {{1, 5}, {2, 5}}},
		LineCase{"TwoCellColumn", 3, 3, 1, 2, {{3, 1}, {3, 2}}},
		LineCase{"TwoCellColumnBottomToTop", 3, 3, 2, 1, {{3, 1}, {3, 2}}},
		LineCase{"ThreeCellRow", 1, 3, 5, 5, row(5, 1, 3)},
		LineCase{"TwoCellDiagonal", 1, 2, 1, 2, {{1, 1}, {2, 2}}},
		LineCase{"TwoCellRisingDiagonal", 1, 2, 2, 1, {{1, 2}, {2, 1}}}),
	[](const testing::TestParamInfo<LineCase> &info) { return info.param.name; });

/* The cells of a line in closed form. With the error starting at -(dx / 2)
 * and the minor coordinate moving when it reaches 0, after i >= 1 steps along
 * the major axis it has moved floor((i * dy - dx / 2) / dx) + 1 times (dx >= 2).
 * A two-cell line is just its two end points. */
std::vector<Cell> expected_cells(int x0, int x1, int y0, int y1)
{
	bool is_steep = std::abs(y1 - y0) > std::abs(x1 - x0);
	int a0 = is_steep ? y0 : x0, a1 = is_steep ? y1 : x1;
	int b0 = is_steep ? x0 : y0, b1 = is_steep ? x1 : y1;

	if (a0 > a1) {
		std::swap(a0, a1);
		std::swap(b0, b1);
	}
	int dx = a1 - a0, dy = std::abs(b1 - b0);
	int step = b0 < b1 ? 1 : -1;
	std::vector<Cell> out;

	for (int i = 0; i <= dx; ++i) {
		int moves = 0;
		if (i > 0 && dx == 1) {
			moves = dy;
		} else if (i > 0) {
			int num = i * dy - dx / 2;
			moves = (num >= 0 ? num / dx : -((-num + dx - 1) / dx)) + 1;
		}
		int b = b0 + step * moves;
		out.push_back(is_steep ? Cell{b, a0 + i} : Cell{a0 + i, b});
	}
	return out;
}

TEST(Canvas, EveryLineInABoxMatchesTheClosedFormBothWays)
{
	for (int x0 = -2; x0 <= 4; ++x0)
		for (int y0 = -2; y0 <= 4; ++y0)
			for (int x1 = -2; x1 <= 4; ++x1)
				for (int y1 = -2; y1 <= 4; ++y1) {
					std::vector<Cell> cells = expected_cells(x0, x1, y0, y1);
					SCOPED_TRACE(testing::Message()
						     << "(" << x0 << "," << y0 << ") to (" << x1
						     << "," << y1 << ")");
					/* Both end points are on every line. */
					Cell a{x0, y0}, b{x1, y1};
					ASSERT_TRUE((cells.front() == a && cells.back() == b) ||
						    (cells.front() == b && cells.back() == a));
					ASSERT_EQ(writes_of([&] { draw_line(x0, x1, y0, y1, 33); }),
						  pixels(cells, 33));
				}
}

} // namespace
