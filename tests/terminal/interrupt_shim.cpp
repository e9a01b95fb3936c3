// SPDX-License-Identifier: GPL-2.0-or-later
/* Preloaded into linebounce by its tests to make the interrupt arrive at an
 * exact point, with the program itself unchanged:
 *   INTERRUPT_AT_INSTALL=1  SIGINT as soon as the handler is installed,
 *                           before the first frame;
 *   INTERRUPT_IN_PAUSE=n    pauses return at once (logged to standard error)
 *                           and SIGINT cuts pause n short, like a Ctrl-C
 *                           during it. */
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <dlfcn.h>

extern "C" sighandler_t signal(int sig, sighandler_t handler) noexcept
{
	using signal_fn = sighandler_t (*)(int, sighandler_t);
	static auto real = reinterpret_cast<signal_fn>(dlsym(RTLD_NEXT, "signal"));
	sighandler_t previous = real(sig, handler);

	if (sig == SIGINT && getenv("INTERRUPT_AT_INSTALL"))
		raise(SIGINT);
	return previous;
}

extern "C" int nanosleep(const struct timespec *request, struct timespec *remaining)
{
	using nanosleep_fn = int (*)(const struct timespec *, struct timespec *);
	static auto real = reinterpret_cast<nanosleep_fn>(dlsym(RTLD_NEXT, "nanosleep"));
	static long pauses;
	const char *last = getenv("INTERRUPT_IN_PAUSE");

	if (!last)
		return real(request, remaining);
	fprintf(stderr, "pause %ld.%09ld%s\n", static_cast<long>(request->tv_sec), request->tv_nsec,
		remaining ? " with remainder" : "");
	if (++pauses < atol(last))
		return 0;
	raise(SIGINT);
	errno = EINTR;
	return -1;
}
