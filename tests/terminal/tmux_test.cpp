// SPDX-License-Identifier: GPL-2.0-or-later
/* The programs in a real terminal: each test runs one in a detached 80x24
 * tmux session on a private server, types into it and reads its screen. */
#include "process.h"
#include "program_paths.h"
#include "terminal_bytes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace {

const milliseconds command_time(10000);

class Tmux : public testing::Test {
protected:
	void SetUp() override
	{
		char dir_template[] = "/tmp/terminal-tmux-XXXXXX";
		ASSERT_NE(mkdtemp(dir_template), nullptr);
		dir_ = dir_template;
		/* Independent of the environment the tests are run from. */
		unsetenv("TMUX");
		setenv("TERM", "xterm-256color", 1);
	}

	void TearDown() override
	{
		if (started_)
			run({"tmux", "-S", dir_ + "/socket", "kill-server"}, command_time);
		std::remove((dir_ + "/status").c_str());
		std::remove((dir_ + "/socket").c_str());
		rmdir(dir_.c_str());
	}

	std::string tmux(std::vector<std::string> args)
	{
		args.insert(args.begin(), {"tmux", "-S", dir_ + "/socket", "-f", "/dev/null"});
		Finished f = run(args, command_time);
		EXPECT_EQ(f.status, 0) << "tmux " << args[5] << ": " << f.output;
		return f.output;
	}

	/* The program runs under a shell that records its exit status and then
	 * keeps the pane, so the screen it leaves can be read. The shell traps
	 * SIGINT only to outlive a Ctrl-C; the program gets the default. */
	void start(const std::string &program)
	{
		std::string command = "trap : INT; '" + program + "'; echo $? > '" + dir_ +
				      "/status'; exec sleep 120";
		started_ = true;
		tmux({"new-session", "-d", "-x", "80", "-y", "24", command});
		ASSERT_EQ(tmux({"display", "-p", "#{window_width}x#{window_height}"}), "80x24\n");
	}

	/* The screen as 24 lines, trailing blanks dropped. */
	std::vector<std::string> screen()
	{
		std::istringstream s(tmux({"capture-pane", "-p"}));
		std::vector<std::string> rows;
		std::string line;

		while (std::getline(s, line))
			rows.push_back(line.erase(line.find_last_not_of(' ') + 1));
		rows.resize(24);
		return rows;
	}

	std::string cursor()
	{
		return tmux({"display", "-p", "#{cursor_x} #{cursor_y} #{cursor_flag}"});
	}

	/* The exit status once the program has ended, "" until then. */
	std::string status()
	{
		std::ifstream in(dir_ + "/status");
		std::string s;

		std::getline(in, s);
		return s;
	}

	void expect_ended_restored()
	{
		ASSERT_TRUE(eventually([&] { return !status().empty(); }, command_time))
			<< "program did not end";
		EXPECT_EQ(status(), "0");
		EXPECT_EQ(screen(), std::vector<std::string>(24));
		EXPECT_EQ(cursor(), "0 0 1\n") << "cursor column, row (0-based), shown";
	}

	std::string dir_;
	bool started_ = false;
};

std::vector<std::string> fan_text()
{
	std::vector<std::string> rows(24);
	std::vector<std::vector<int>> colours = fan_colours();

	for (int r = 0; r < 24; ++r)
		for (int c = 0; c < 80; ++c)
			if (colours[r][c]) {
				rows[r].resize(c + 1, ' ');
				rows[r][c] = '*';
			}
	return rows;
}

TEST_F(Tmux, LinefanShowsTheFanAndEndsOnAKey)
{
	start(LINEFAN);
	std::vector<std::string> want = fan_text();
	EXPECT_TRUE(eventually([&] { return screen() == want; }, command_time));
	EXPECT_EQ(screen(), want);
	EXPECT_EQ(tmux({"display", "-p", "#{cursor_flag}"}), "0\n")
		<< "cursor hidden while waiting";
	EXPECT_EQ(status(), "") << "ended before the key";

	tmux({"send-keys", "Enter"});
	expect_ended_restored();
}

TEST_F(Tmux, LinebounceMovesDownAndEndsOnCtrlC)
{
	start(LINEBOUNCE);
	const std::string line(40, '*');
	std::vector<int> rows_seen;

	/* Frames last half a second; sampling every 10 ms sees each one. */
	bool three = eventually(
		[&] {
			std::vector<std::string> s = screen();
			int drawn = 0, full = 0;
			for (int r = 0; r < 24; ++r) {
				if (s[r].find('*') != std::string::npos)
					++drawn;
				if (s[r] == line)
					full = r + 1;
			}
			EXPECT_LE(drawn, 1) << "two rows with stars: the erase did not happen";
			if (drawn == 1 && full && (rows_seen.empty() || rows_seen.back() != full))
				rows_seen.push_back(full);
			return rows_seen.size() >= 3;
		},
		command_time);
	ASSERT_TRUE(three) << "frames seen: " << rows_seen.size();
	EXPECT_EQ(rows_seen, (std::vector<int>{1, 2, 3}));
	EXPECT_EQ(tmux({"display", "-p", "#{cursor_flag}"}), "0\n")
		<< "cursor hidden while running";
	EXPECT_EQ(status(), "");

	tmux({"send-keys", "C-c"});
	expect_ended_restored();
}

} // namespace
