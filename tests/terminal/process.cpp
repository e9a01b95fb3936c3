// SPDX-License-Identifier: GPL-2.0-or-later
#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using clock_type = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string &what)
{
	throw std::runtime_error(what);
}

int ms_left(clock_type::time_point end)
{
	auto left = std::chrono::duration_cast<milliseconds>(end - clock_type::now()).count();
	return left > 0 ? static_cast<int>(left) : 0;
}

/* Blocks until fd is readable; false when the time is up. */
bool readable(int fd, clock_type::time_point end)
{
	for (;;) {
		struct pollfd p = {fd, POLLIN, 0};
		int n = poll(&p, 1, ms_left(end));

		if (n > 0)
			return true;
		if (n == 0)
			return false;
		if (errno != EINTR)
			fail(std::string("poll: ") + strerror(errno));
	}
}

pid_t spawn(const std::vector<std::string> &argv, int out_fd, int err_fd,
	    const std::vector<std::string> &env, bool search)
{
	posix_spawn_file_actions_t actions;
	posix_spawnattr_t attr;
	sigset_t none, sigint;

	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
	if (err_fd >= 0)
		posix_spawn_file_actions_adddup2(&actions, err_fd, 2);

	/* Whatever the test runner ignores or blocks, the program starts clean. */
	posix_spawnattr_init(&attr);
	sigemptyset(&none);
	sigemptyset(&sigint);
	sigaddset(&sigint, SIGINT);
	posix_spawnattr_setsigmask(&attr, &none);
	posix_spawnattr_setsigdefault(&attr, &sigint);
	posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

	std::vector<char *> args, envp;
	for (const std::string &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);
	for (char **e = environ; *e; ++e)
		envp.push_back(*e);
	for (const std::string &e : env)
		envp.push_back(const_cast<char *>(e.c_str()));
	envp.push_back(nullptr);

	pid_t pid;
	int err = (search ? posix_spawnp : posix_spawn)(&pid, args[0], &actions, &attr, args.data(),
							envp.data());
	posix_spawn_file_actions_destroy(&actions);
	posix_spawnattr_destroy(&attr);
	if (err)
		fail("cannot start " + argv[0] + ": " + strerror(err));
	return pid;
}

int wait_for(pid_t pid, milliseconds timeout)
{
	auto end = clock_type::now() + timeout;
	int status;

	for (;;) {
		pid_t r = waitpid(pid, &status, WNOHANG);

		if (r == pid)
			return status;
		if (r < 0 && errno != EINTR)
			fail(std::string("waitpid: ") + strerror(errno));
		if (clock_type::now() > end)
			fail("process " + std::to_string(pid) + " did not end in time");
		struct timespec step = {0, 5 * 1000 * 1000};
		nanosleep(&step, nullptr);
	}
}

std::string proc_file(pid_t pid, const char *name)
{
	std::ifstream in("/proc/" + std::to_string(pid) + "/" + name);
	std::stringstream s;

	s << in.rdbuf();
	return s.str();
}

} // namespace

Program::Program(const std::string &path, int out_fd, int err_fd,
		 const std::vector<std::string> &env)
    : pid_(spawn({path}, out_fd, err_fd, env, false))
{
}

Program::~Program()
{
	if (!reaped_) {
		kill(pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
	}
}

void Program::signal(int sig) const
{
	if (kill(pid_, sig) != 0)
		fail(std::string("kill: ") + strerror(errno));
}

int Program::wait_exit(milliseconds timeout)
{
	int status = wait_for(pid_, timeout);

	reaped_ = true;
	return status;
}

void Program::wait_in_syscall(std::initializer_list<long> numbers, milliseconds timeout) const
{
	/* The first field is the number of the call the task is blocked in. */
	auto blocked = [&] {
		std::istringstream s(proc_file(pid_, "syscall"));
		long nr;

		if (!(s >> nr))
			return false;
		for (long n : numbers)
			if (n == nr)
				return true;
		return false;
	};
	if (!eventually(blocked, timeout))
		fail("process not blocked in the expected system call; /proc says: " +
		     proc_file(pid_, "syscall"));
}

void Program::wait_delivered(int sig, milliseconds timeout) const
{
	auto taken = [&] {
		std::istringstream s(proc_file(pid_, "status"));
		std::string line;
		unsigned long long pending = 0;

		while (std::getline(s, line))
			if (line.rfind("ShdPnd:", 0) == 0 || line.rfind("SigPnd:", 0) == 0)
				pending |= std::stoull(line.substr(7), nullptr, 16);
		return !(pending & (1ull << (sig - 1)));
	};
	if (!eventually(taken, timeout))
		fail("signal " + std::to_string(sig) + " still pending");
}

Packets::Packets()
{
	int sv[2];

	if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
		fail(std::string("socketpair: ") + strerror(errno));
	parent_ = sv[0];
	child_ = sv[1];
}

Packets::~Packets()
{
	close(parent_);
	close_child_end();
}

void Packets::close_child_end()
{
	if (child_ >= 0)
		close(child_);
	child_ = -1;
}

std::optional<std::string> Packets::next(milliseconds timeout)
{
	if (!readable(parent_, clock_type::now() + timeout))
		fail("no output in time");

	char buf[65536];
	ssize_t n = recv(parent_, buf, sizeof(buf), 0);

	if (n < 0)
		fail(std::string("recv: ") + strerror(errno));
	if (n == 0)
		return std::nullopt;
	return std::string(buf, static_cast<size_t>(n));
}

bool Packets::waiting() const
{
	struct pollfd p = {parent_, POLLIN, 0};

	return poll(&p, 1, 0) > 0;
}

std::vector<std::string> Packets::rest(milliseconds timeout)
{
	auto end = clock_type::now() + timeout;
	std::vector<std::string> out;

	while (auto p = next(milliseconds(ms_left(end))))
		out.push_back(*p);
	return out;
}

std::string read_to_eof(int fd, milliseconds timeout)
{
	auto end = clock_type::now() + timeout;
	std::string out;
	char buf[65536];

	for (;;) {
		if (!readable(fd, end))
			fail("output did not end in time");
		ssize_t n = read(fd, buf, sizeof(buf));
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			fail(std::string("read: ") + strerror(errno));
		if (n == 0)
			return out;
		out.append(buf, static_cast<size_t>(n));
	}
}

Finished run(const std::vector<std::string> &argv, milliseconds timeout)
{
	int p[2];

	if (pipe2(p, O_CLOEXEC) != 0)
		fail(std::string("pipe: ") + strerror(errno));
	pid_t pid = spawn(argv, p[1], p[1], {}, true);
	close(p[1]);

	Finished f;
	try {
		f.output = read_to_eof(p[0], timeout);
	} catch (...) {
		close(p[0]);
		kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);
		throw;
	}
	close(p[0]);
	f.status = wait_for(pid, timeout);
	return f;
}
