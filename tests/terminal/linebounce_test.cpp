// SPDX-License-Identifier: GPL-2.0-or-later
#include "process.h"
#include "program_paths.h"
#include "terminal_bytes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <numeric>

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using std::chrono::steady_clock;

const std::string preload = std::string("LD_PRELOAD=") + INTERRUPT_SHIM;

/* One frame: 40 yellow characters along the row, left to right. */
std::vector<std::string> frame(int row)
{
	std::vector<std::string> out;

	for (int col = 1; col <= 40; ++col)
		out.push_back(pixel({col, row}, 33));
	return out;
}

/* The writes of a run of frames in the given rows, ended by SIGINT during
 * the last pause: each frame's erase waits for the next frame's first
 * character, the last one goes out with the restore. */
std::vector<std::string> expected_writes(const std::vector<int> &rows)
{
	std::vector<std::string> out;
	std::string pending = erase + hide_cursor;

	for (int row : rows) {
		for (const std::string &w : flushes(pending, frame(row)))
			out.push_back(w);
		pending = erase;
	}
	out.push_back(pending + restore);
	return out;
}

std::string joined(const std::vector<std::string> &parts)
{
	return std::accumulate(parts.begin(), parts.end(), std::string());
}

void expect_exit_zero(int status)
{
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

TEST(Linebounce, InterruptBeforeTheFirstFrameDrawsNothing)
{
	Packets out;
	Program linebounce(LINEBOUNCE, out.child_end(), -1, {preload, "INTERRUPT_AT_INSTALL=1"});
	out.close_child_end();

	EXPECT_EQ(out.rest(milliseconds(5000)),
		  std::vector<std::string>{erase + hide_cursor + restore});
	expect_exit_zero(linebounce.wait_exit(milliseconds(5000)));
}

TEST(Linebounce, InterruptDuringAPauseEndsItAtOnce)
{
	Packets out;
	Program linebounce(LINEBOUNCE, out.child_end());
	out.close_child_end();

	std::vector<std::string> writes;
	for (int i = 0; i < 40; ++i)
		writes.push_back(out.next(milliseconds(5000)).value_or("(end of output)"));
	linebounce.wait_in_syscall({SYS_clock_nanosleep, SYS_nanosleep}, milliseconds(5000));
	/* The frame stays up: its erase is still in the program's buffer. */
	EXPECT_FALSE(out.waiting());

	auto interrupted = steady_clock::now();
	linebounce.signal(SIGINT);
	for (const std::string &w : out.rest(milliseconds(5000)))
		writes.push_back(w);
	auto ended = steady_clock::now();

	ASSERT_EQ(joined(writes), joined(expected_writes({1})));
	EXPECT_EQ(writes, expected_writes({1}));
	expect_exit_zero(linebounce.wait_exit(milliseconds(5000)));
	/* Half a second if the pause ran on. */
	EXPECT_LT(ended - interrupted, milliseconds(300));
}

TEST(Linebounce, BouncesOffBothEdgesPausingHalfASecondPerFrame)
{
	/* Pauses made instant; Ctrl-C in the 48th, two frames into the second cycle. */
	std::vector<int> rows;
	for (int r = 1; r <= 24; ++r)
		rows.push_back(r);
	for (int r = 23; r >= 1; --r)
		rows.push_back(r);
	rows.push_back(2);
	rows.push_back(3);

	int err[2];
	ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
	Packets out;
	Program linebounce(LINEBOUNCE, out.child_end(), err[1],
			   {preload, "INTERRUPT_IN_PAUSE=" + std::to_string(rows.size())});
	out.close_child_end();
	close(err[1]);

	std::vector<std::string> writes = out.rest(milliseconds(10000));
	std::string pauses = read_to_eof(err[0], milliseconds(5000));
	close(err[0]);

	ASSERT_EQ(joined(writes), joined(expected_writes(rows)));
	EXPECT_EQ(writes, expected_writes(rows));
	std::string want;
	for (size_t i = 0; i < rows.size(); ++i)
		want += "pause 0.500000000\n";
	EXPECT_EQ(pauses, want);
	expect_exit_zero(linebounce.wait_exit(milliseconds(5000)));
}

TEST(Linebounce, InterruptsDuringBlockedOutputLoseNothingAndFinishTheFrame)
{
	/* A full pipe holds the very first write; two SIGINTs are taken while
	 * it waits. The write must resume each time and the handler stay. */
	int p[2];
	ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
	std::string filler;
	for (;;) {
		std::string block(4096, 'f');
		ssize_t n = write(p[1], block.data(), block.size());
		if (n <= 0)
			break;
		filler.append(block, 0, static_cast<size_t>(n));
	}
	ASSERT_EQ(fcntl(p[1], F_SETFL, 0), 0);
	ASSERT_EQ(fcntl(p[0], F_SETFL, 0), 0);

	Program linebounce(LINEBOUNCE, p[1]);
	close(p[1]);
	for (int i = 0; i < 2; ++i) {
		linebounce.wait_in_syscall({SYS_write}, milliseconds(5000));
		linebounce.signal(SIGINT);
		linebounce.wait_delivered(SIGINT, milliseconds(5000));
	}
	linebounce.wait_in_syscall({SYS_write}, milliseconds(5000));

	auto drained = steady_clock::now();
	std::string bytes = read_to_eof(p[0], milliseconds(5000));
	auto ended = steady_clock::now();
	close(p[0]);

	ASSERT_EQ(bytes.compare(0, filler.size(), filler), 0) << "what the pipe held was changed";
	EXPECT_EQ(bytes.substr(filler.size()), joined(expected_writes({1})));
	expect_exit_zero(linebounce.wait_exit(milliseconds(5000)));
	/* The flag is looked at only before a frame: the pause runs in full. */
	EXPECT_GE(ended - drained, milliseconds(450));
}

} // namespace
