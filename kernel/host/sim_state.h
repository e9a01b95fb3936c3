/* SPDX-License-Identifier: GPL-2.0-or-later */
// Private to the simulated kernel's sources: the state they share (tables,
// board, records), its locks, and the helpers more than one of them calls.
// The kernel services of ks.h and the test interface of simkernel.h are
// spread over them by job:
//   tables.cpp     registrations, modules, allocations, fault injection
//   files.cpp      files opened, read and written as the kernel's
//                  character-device layer does it
//   bus.cpp        register windows mapped onto the board, loads and stores,
//                  store pauses, interrupts-off sections
//   records.cpp    kernel log, calls, problems, user copies
//   test_api.cpp   the rest of simkernel.h: reset, module loader, machine,
//                  faults, records
//   sim_state.cpp  the definitions of the state declared here
#ifndef KERNEL_HOST_SIM_STATE_H
#define KERNEL_HOST_SIM_STATE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "simkernel.h"

namespace simkernel {

struct ModuleState {
	std::string name;
	bool loaded = false;
	bool going = false; // exit routine running
	int refs = 0;	    // open files
	std::mutex lock;    // ks_lock
	std::atomic<int> lock_holder{0};
	std::atomic<unsigned> lock_waits{0}; // ks_lock calls that found it taken
};

struct Region {
	unsigned major, baseminor, count;
	std::string name;
	ModuleState *owner;
};

struct Node {
	std::string path;
	ks_dev_t dev;
	ks_class *cls;
	ModuleState *owner;
};

struct Mapping {
	void *base;
	size_t len;
	uint32_t phys, size;
	ModuleState *owner;
};

struct Allocation {
	size_t size;
	ModuleState *owner;
};

struct Fault {
	unsigned countdown = 0;
	int err = 0;
};

// Lock order: g_mutex (tables, files, faults) before g_board_mutex (board,
// mappings, trace); the record mutexes (log, calls, problems, user memory)
// are leaves, never held while another lock is taken.
extern std::recursive_mutex g_mutex;
extern std::map<std::string, std::unique_ptr<ModuleState>> g_modules;
extern ModuleState g_no_module;
extern std::vector<Region> g_regions;
extern std::vector<ks_cdev *> g_cdevs;
extern std::vector<ks_class *> g_classes;
extern std::vector<Node> g_nodes;
extern std::map<void *, Allocation> g_allocations;
extern std::map<int, std::shared_ptr<ks_file>> g_files;
extern int g_next_fd;
extern Fault g_faults[static_cast<int>(sim::Step::lock) + 1];
extern std::function<void(const std::string &)> g_hook;

extern std::mutex g_board_mutex;
extern models::Board g_board;
extern std::vector<Mapping> g_mappings;
extern std::vector<sim::Access> g_trace;
extern size_t g_trace_total;
extern sim::Machine g_machine;
extern uint64_t g_pause_ns;
extern bool g_idle_skip;
extern std::function<bool(const sim::Access &)> g_pause_filter;

extern std::mutex g_user_mutex;
extern std::vector<std::pair<uintptr_t, uintptr_t>> g_poisoned;

extern std::mutex g_record_mutex;
extern std::vector<sim::LogLine> g_log;
extern std::vector<std::string> g_calls;
extern std::vector<std::string> g_problems;

// The module whose code the thread runs, and its interrupts-off sections.
extern thread_local ModuleState *t_module;
extern thread_local int t_irq_depth;
extern thread_local bool t_pause_pending;

int thread_no(); // small number of the calling thread, from 1

// tables.cpp
ModuleState *module_state(const char *name); // needs g_mutex
ModuleState *current();			     // the module calling a service
bool take_fault(sim::Step step, int *err);
std::vector<std::string> holdings(const ModuleState *m); // needs g_mutex
void report_leaks(ModuleState *m, const char *when);

// records.cpp
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void problem(const std::string &what);
void call(const std::string &what);
void check_may_sleep(const char *service);
void check_lock_released(ModuleState *m, const char *where);

// Runs module code with the module as the caller of kernel services.
class InModule {
public:
	explicit InModule(ModuleState *m) : saved_(t_module)
	{
		t_module = m;
	}
	~InModule()
	{
		t_module = saved_;
	}

private:
	ModuleState *saved_;
};

} // namespace simkernel

// The kernel's handles (ks.h) are global types; they point at module state.
using simkernel::ModuleState;

struct ks_cdev {
	const ks_fops *fops;
	ModuleState *owner;
	bool added;
	ks_dev_t dev;
	unsigned count;
};

struct ks_class {
	std::string name;
	ModuleState *owner;
};

struct ks_inode {
	ks_dev_t rdev;
};

struct ks_file {
	ks_inode inode;
	const ks_fops *fops;
	ModuleState *owner;
	int flags;
	std::atomic<ks_loff_t> pos{0};
	void *private_data = nullptr;
};

#endif
