// SPDX-License-Identifier: GPL-2.0-or-later
// The definitions of the state sim_state.h declares: the board is at
// power-on from the start; threads get their numbers as they first ask.
#include "sim_state.h"

namespace simkernel {

std::recursive_mutex g_mutex;
std::map<std::string, std::unique_ptr<ModuleState>> g_modules;
ModuleState g_no_module; // callers outside any module (tests calling in directly)
std::vector<Region> g_regions;
std::vector<ks_cdev *> g_cdevs;
std::vector<ks_class *> g_classes;
std::vector<Node> g_nodes;
std::map<void *, Allocation> g_allocations;
std::map<int, std::shared_ptr<ks_file>> g_files;
int g_next_fd = 3;
Fault g_faults[static_cast<int>(sim::Step::lock) + 1];
std::function<void(const std::string &)> g_hook;

std::mutex g_board_mutex;
models::Board g_board;
std::vector<Mapping> g_mappings;
std::vector<sim::Access> g_trace;
size_t g_trace_total;

std::mutex g_user_mutex;
std::vector<std::pair<uintptr_t, uintptr_t>> g_poisoned;

std::mutex g_record_mutex;
std::vector<sim::LogLine> g_log;
std::vector<std::string> g_calls;
std::vector<std::string> g_problems;

std::atomic<int> g_next_thread{1};
thread_local ModuleState *t_module;

// Pauses after stores (under g_board_mutex).
sim::Machine g_machine = {models::I2C_QUEUE_END_HOLD, 0};
uint64_t g_pause_ns;
bool g_idle_skip = true;
std::function<bool(const sim::Access &)> g_pause_filter;

// Interrupts-off sections of the calling thread, and a pause held back
// until the outermost one ends.
thread_local int t_irq_depth;
thread_local bool t_pause_pending;

struct BoardInit {
	BoardInit()
	{
		models::board_reset(&g_board);
	}
} g_board_init;

int thread_no()
{
	thread_local int n = g_next_thread++;
	return n;
}

} // namespace simkernel
