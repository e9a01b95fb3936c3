// SPDX-License-Identifier: GPL-2.0-or-later
// The test interface of simkernel.h but its process side (files.cpp): reset,
// the module loader, the machine, fault injection and the records.
#include "sim_state.h"

#include <cerrno>
#include <cstdlib>
#include <sys/mman.h>

using namespace simkernel;

namespace sim {

void reset()
{
	{
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		for (auto &m : g_modules) {
			m.second->loaded = m.second->going = false;
			m.second->refs = 0;
			m.second->lock_waits = 0;
		}
		for (ks_cdev *c : g_cdevs)
			delete c;
		g_cdevs.clear();
		for (ks_class *c : g_classes)
			delete c;
		g_classes.clear();
		g_regions.clear();
		g_nodes.clear();
		g_files.clear();
		for (const auto &a : g_allocations)
			free(a.first);
		g_allocations.clear();
		g_next_fd = 3;
		for (Fault &f : g_faults)
			f = Fault();
		g_hook = nullptr;
		std::lock_guard<std::mutex> b(g_board_mutex);
		for (const Mapping &w : g_mappings)
			munmap(w.base, w.len);
		g_mappings.clear();
		g_trace.clear();
		g_trace_total = 0;
		models::board_set_i2c_queue_end(&g_board, g_machine.queue_end);
		models::board_reset(&g_board);
		g_pause_ns = g_machine.store_pause_ns;
		g_idle_skip = true;
		g_pause_filter = nullptr;
	}
	t_irq_depth = 0;
	t_pause_pending = false;
	unpoison();
	std::lock_guard<std::mutex> g(g_record_mutex);
	g_log.clear();
	g_calls.clear();
	g_problems.clear();
}

int insmod(const Module &m)
{
	ModuleState *s;
	{
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		s = module_state(m.name);
		if (s->loaded)
			return -EEXIST;
		s->loaded = true;
	}
	int ret;
	{
		InModule in(s);
		ret = m.init();
	}
	check_lock_released(s, "init");
	if (ret > 0)
		problem(s->name + ": init returned a positive value");
	if (ret) {
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		s->loaded = false;
		report_leaks(s, "after a failed load");
	}
	return ret;
}

int rmmod(const Module &m)
{
	ModuleState *s;
	{
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		auto it = g_modules.find(m.name);
		if (it == g_modules.end() || !it->second->loaded)
			return -ENOENT;
		s = it->second.get();
		if (s->refs)
			return -EBUSY;
		s->going = true;
	}
	{
		InModule in(s);
		m.exit();
	}
	check_lock_released(s, "exit");
	{
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		s->going = s->loaded = false;
	}
	report_leaks(s, "after unload");
	return 0;
}

void in_module(const Module &m, const std::function<void()> &fn)
{
	ModuleState *s;
	{
		std::lock_guard<std::recursive_mutex> g(g_mutex);
		s = module_state(m.name);
	}
	InModule in(s);
	fn();
}

bool loaded(const Module &m)
{
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	auto it = g_modules.find(m.name);
	return it != g_modules.end() && it->second->loaded;
}

unsigned lock_waits(const Module &m)
{
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	auto it = g_modules.find(m.name);
	return it == g_modules.end() ? 0 : it->second->lock_waits.load();
}

void set_machine(const Machine &m)
{
	{
		std::lock_guard<std::mutex> b(g_board_mutex);
		g_machine = m;
	}
	reset();
}

Machine machine()
{
	std::lock_guard<std::mutex> b(g_board_mutex);
	return g_machine;
}

void set_idle_skip(bool on)
{
	std::lock_guard<std::mutex> b(g_board_mutex);
	g_idle_skip = on;
}

void set_store_pause(uint64_t ns, std::function<bool(const Access &)> filter)
{
	std::lock_guard<std::mutex> b(g_board_mutex);
	g_pause_ns = ns;
	g_pause_filter = std::move(filter);
}

models::Board &board()
{
	return g_board;
}

void with_board(const std::function<void(models::Board &)> &fn)
{
	std::lock_guard<std::mutex> b(g_board_mutex);
	fn(g_board);
}

void fail_next(Step step, int err, unsigned nth)
{
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	g_faults[static_cast<int>(step)] = Fault{nth, err};
}

void poison(const void *p, size_t n)
{
	uintptr_t a = reinterpret_cast<uintptr_t>(p);
	std::lock_guard<std::mutex> g(g_user_mutex);
	g_poisoned.emplace_back(a, a + n);
}

void unpoison()
{
	std::lock_guard<std::mutex> g(g_user_mutex);
	g_poisoned.clear();
}

std::vector<LogLine> log()
{
	std::lock_guard<std::mutex> g(g_record_mutex);
	return g_log;
}

void clear_log()
{
	std::lock_guard<std::mutex> g(g_record_mutex);
	g_log.clear();
}

std::vector<Access> trace()
{
	std::lock_guard<std::mutex> b(g_board_mutex);
	return g_trace;
}

size_t trace_size()
{
	std::lock_guard<std::mutex> b(g_board_mutex);
	return g_trace_total;
}

void clear_trace()
{
	std::lock_guard<std::mutex> b(g_board_mutex);
	g_trace.clear();
	g_trace_total = 0;
}

std::vector<std::string> calls()
{
	std::lock_guard<std::mutex> g(g_record_mutex);
	return g_calls;
}

void set_call_hook(std::function<void(const std::string &)> hook)
{
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	g_hook = std::move(hook);
}

std::string held()
{
	std::lock_guard<std::recursive_mutex> g(g_mutex);
	std::string out;
	for (const std::string &what : holdings(nullptr))
		out += what + "\n";
	return out;
}

std::vector<std::string> problems()
{
	std::lock_guard<std::mutex> g(g_record_mutex);
	return g_problems;
}

} // namespace sim
