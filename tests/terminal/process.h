/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Running a program under test and watching what it writes, with every wait
 * bounded: a hung program fails its test instead of stalling the run. */
#pragma once

#include <chrono>
#include <ctime>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

using std::chrono::milliseconds;

/* A program with standard input from /dev/null; killed and reaped when it is
 * still running as the test ends. */
class Program {
public:
	Program(const std::string &path, int out_fd, int err_fd = -1,
		const std::vector<std::string> &env = {});
	~Program();
	Program(const Program &) = delete;
	Program &operator=(const Program &) = delete;

	pid_t pid() const
	{
		return pid_;
	}
	void signal(int sig) const;
	/* The wait status; throws when the program has not ended in time. */
	int wait_exit(milliseconds timeout);
	/* Waits until the program is blocked in one of the given system calls. */
	void wait_in_syscall(std::initializer_list<long> numbers, milliseconds timeout) const;
	/* Waits until a signal sent to the process has been taken. */
	void wait_delivered(int sig, milliseconds timeout) const;

private:
	pid_t pid_;
	bool reaped_ = false;
};

/* Standard output as a packet socket: every write() of the program arrives as
 * one packet, so flushes can be told apart. */
class Packets {
public:
	Packets();
	~Packets();
	Packets(const Packets &) = delete;
	Packets &operator=(const Packets &) = delete;

	int child_end() const
	{
		return child_;
	}
	/* Call once the program holds its copy of the child end. */
	void close_child_end();
	/* The next packet, or nothing at end of file; throws on timeout. */
	std::optional<std::string> next(milliseconds timeout);
	/* Whether a packet is waiting right now. */
	bool waiting() const;
	/* All packets up to end of file. */
	std::vector<std::string> rest(milliseconds timeout);

private:
	int parent_, child_;
};

/* Reads a descriptor to end of file. */
std::string read_to_eof(int fd, milliseconds timeout);

struct Finished {
	int status;
	std::string output;
};
/* Runs a command (searched in PATH) to completion, collecting its output. */
Finished run(const std::vector<std::string> &argv, milliseconds timeout);

/* Polls a condition until it holds or the time is up. */
template <class Condition> bool eventually(Condition condition, milliseconds timeout)
{
	auto end = std::chrono::steady_clock::now() + timeout;

	for (;;) {
		if (condition())
			return true;
		if (std::chrono::steady_clock::now() > end)
			return false;
		struct timespec step = {0, 10 * 1000 * 1000};
		nanosleep(&step, nullptr);
	}
}
