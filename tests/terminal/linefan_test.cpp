// SPDX-License-Identifier: GPL-2.0-or-later
#include "process.h"
#include "program_paths.h"
#include "terminal_bytes.h"

#include <gtest/gtest.h>
#include <vterm.h>

#include <memory>
#include <numeric>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

/* What linefan writes with standard input at end of file, one entry per
 * flush: the start-up sequences with the first character, then a character
 * at a time, then the restore. */
std::vector<std::string> expected_writes()
{
	std::vector<std::string> characters;

	for (const FanLine &line : fan)
		for (Cell c : line.cells())
			characters.push_back(pixel(c, line.colour));
	std::vector<std::string> out = flushes(erase + hide_cursor, characters);
	out.push_back(restore);
	return out;
}

std::vector<std::string> run_linefan()
{
	Packets out;
	Program linefan(LINEFAN, out.child_end());

	out.close_child_end();
	std::vector<std::string> writes = out.rest(milliseconds(10000));
	int status = linefan.wait_exit(milliseconds(5000));
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
	return writes;
}

std::string joined(const std::vector<std::string> &parts)
{
	return std::accumulate(parts.begin(), parts.end(), std::string());
}

TEST(Linefan, AtEndOfInputWritesThePictureAndRestoresCharacterByCharacter)
{
	std::vector<std::string> expected = expected_writes();
	std::vector<std::string> writes = run_linefan();

	ASSERT_EQ(expected.size(), 409u); /* 408 characters, one flush each, and the restore */
	/* The bytes first, for a readable difference, then the flushes. */
	ASSERT_EQ(joined(writes), joined(expected));
	EXPECT_EQ(writes, expected);
}

TEST(Linefan, IgnoresOutputErrorsAndExitsZero)
{
	int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
	ASSERT_GE(full, 0);
	Program linefan(LINEFAN, full);
	close(full);

	int status = linefan.wait_exit(milliseconds(10000));
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

/* An 80x24 terminal emulator, fed the program's bytes. */
class Terminal {
public:
	Terminal() : vt_(vterm_new(24, 80), vterm_free)
	{
		vterm_set_utf8(vt_.get(), 1);
		screen_ = vterm_obtain_screen(vt_.get());
		callbacks_.settermprop = [](VTermProp prop, VTermValue *val, void *user) {
			if (prop == VTERM_PROP_CURSORVISIBLE)
				static_cast<Terminal *>(user)->cursor_visible = val->boolean;
			return 1;
		};
		vterm_screen_set_callbacks(screen_, &callbacks_, this);
		vterm_screen_reset(screen_, 1);
	}

	void feed(const std::string &bytes)
	{
		vterm_input_write(vt_.get(), bytes.data(), bytes.size());
		vterm_screen_flush_damage(screen_);
	}

	VTermScreenCell cell(int row, int col) const
	{
		VTermScreenCell c;
		vterm_screen_get_cell(screen_, VTermPos{row - 1, col - 1}, &c);
		return c;
	}

	VTermPos cursor() const
	{
		VTermPos pos;
		vterm_state_get_cursorpos(vterm_obtain_state(vt_.get()), &pos);
		return pos;
	}

	/* SGR 30 to 37 select palette entries 0 to 7; 0 when not indexed. */
	int pen_colour() const
	{
		VTermValue v;
		vterm_state_get_penattr(vterm_obtain_state(vt_.get()), VTERM_ATTR_FOREGROUND, &v);
		return VTERM_COLOR_IS_INDEXED(&v.color) ? 30 + v.color.indexed.idx : 0;
	}

	bool cursor_visible = true;

private:
	std::unique_ptr<VTerm, void (*)(VTerm *)> vt_;
	VTermScreen *screen_;
	VTermScreenCallbacks callbacks_ = {};
};

int colour_of(const VTermScreenCell &c)
{
	return VTERM_COLOR_IS_INDEXED(&c.fg) ? 30 + c.fg.indexed.idx : 0;
}

TEST(Linefan, TerminalShowsTheFanThenARestoredScreen)
{
	std::string bytes = joined(run_linefan());
	ASSERT_GE(bytes.size(), restore.size());
	ASSERT_EQ(bytes.substr(bytes.size() - restore.size()), restore);

	Terminal term;
	term.feed(bytes.substr(0, bytes.size() - restore.size()));

	/* The picture while linefan waits for its key. */
	std::vector<std::vector<int>> colours = fan_colours();
	for (int row = 1; row <= 24; ++row)
		for (int col = 1; col <= 80; ++col) {
			VTermScreenCell c = term.cell(row, col);
			int want = colours[row - 1][col - 1];
			SCOPED_TRACE(testing::Message() << "column " << col << ", row " << row);
			EXPECT_EQ(c.chars[0], want ? U'*' : 0u);
			if (want) {
				EXPECT_EQ(colour_of(c), want);
			}
		}
	EXPECT_FALSE(term.cursor_visible);
	/* Where lines cross, the later one wins. */
	EXPECT_EQ(colour_of(term.cell(24, 1)), 35);
	EXPECT_EQ(colour_of(term.cell(23, 2)), 34);
	EXPECT_EQ(colour_of(term.cell(24, 80)), 33);

	term.feed(restore);
	for (int row = 1; row <= 24; ++row)
		for (int col = 1; col <= 80; ++col)
			ASSERT_EQ(term.cell(row, col).chars[0], 0u)
				<< "column " << col << ", row " << row;
	EXPECT_TRUE(term.cursor_visible);
	EXPECT_EQ(term.cursor().row, 0);
	EXPECT_EQ(term.cursor().col, 0);
	EXPECT_EQ(term.pen_colour(), 37);
}

} // namespace
