// SPDX-License-Identifier: GPL-2.0-or-later
// What the simulated kernel records: the calls of kernel services, the
// problems (misuse the kernel would punish), the kernel log; and the user
// copies, which stop at poisoned memory.
#include "sim_state.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace simkernel;

namespace simkernel {

std::string format(const char *fmt, ...)
{
	char buf[256];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);
	return buf;
}

void problem(const std::string &what)
{
	std::lock_guard<std::mutex> g(g_record_mutex);
	g_problems.push_back(what);
}

void call(const std::string &what)
{
	std::function<void(const std::string &)> hook;
	{
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		hook = g_hook;
	}
	{
		std::lock_guard<std::mutex> g(g_record_mutex);
		g_calls.push_back(what);
	}
	if (hook)
		hook(what);
}

// A service that may sleep, called with interrupts off.
void check_may_sleep(const char *service)
{
	if (t_irq_depth)
		problem(std::string(service) + " inside an interrupts-off section");
}

void check_lock_released(ModuleState *m, const char *where)
{
	if (t_irq_depth) {
		problem(m->name + ": " + where + " returned with interrupts off");
		t_irq_depth = 0;
	}
	if (m->lock_holder == thread_no())
		problem(m->name + ": " + where + " returned with the module lock held");
}

} // namespace simkernel

namespace {

// Length of the accessible start of the user range [p, p + n).
size_t accessible(const void *p, size_t n)
{
	if (!p)
		return 0;
	uintptr_t begin = reinterpret_cast<uintptr_t>(p), end = begin + n;
	size_t ok = n;
	std::lock_guard<std::mutex> g(g_user_mutex);
	for (const auto &r : g_poisoned)
		if (r.first < end && r.second > begin)
			ok = std::min<size_t>(ok, r.first > begin ? r.first - begin : 0);
	return ok;
}

} // namespace

extern "C" {

unsigned long ks_copy_to_user(char *to, const void *from, unsigned long n)
{
	check_may_sleep("copy_to_user");
	size_t ok = accessible(to, n);
	if (ok) // to may be null when nothing is accessible
		memcpy(to, from, ok);
	return n - ok;
}

unsigned long ks_copy_from_user(void *to, const char *from, unsigned long n)
{
	check_may_sleep("copy_from_user");
	size_t ok = accessible(from, n);
	if (ok) // from may be null when nothing is accessible
		memcpy(to, from, ok);
	memset(static_cast<char *>(to) + ok, 0, n - ok);
	return n - ok;
}

int ks_printk(const char *fmt, ...)
{
	char buf[1024]; // the kernel's line limit
	va_list ap;
	va_start(ap, fmt);
	int n = vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);

	sim::LogLine line{4, buf};
	if (buf[0] == '\001' && buf[1] >= '0' && buf[1] <= '7') {
		line.level = buf[1] - '0';
		line.text = buf + 2;
	}
	if (getenv("SIMKERNEL_LOG"))
		fprintf(stderr, "<%d>%s", line.level, line.text.c_str());
	std::lock_guard<std::mutex> g(g_record_mutex);
	g_log.push_back(line);
	return n;
}

int ks_snprintf(char *buf, ks_size_t size, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int n = vsnprintf(buf, size, fmt, ap);
	va_end(ap);
	return n;
}

int ks_sscanf(const char *str, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int n = vsscanf(str, fmt, ap);
	va_end(ap);
	return n;
}

int ks_strcmp(const char *a, const char *b)
{
	return strcmp(a, b);
}

} // extern "C"
