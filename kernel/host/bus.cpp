// SPDX-License-Identifier: GPL-2.0-or-later
// The bus: register windows mapped onto the board, the loads and stores of
// the drivers with their trace, the pauses after stores, interrupts-off
// sections and delays.
#include "sim_state.h"

#include <sys/mman.h>
#include <unistd.h>

using namespace simkernel;

namespace {

const size_t TRACE_LIMIT = 1u << 20;

// The loads of the calling thread since its last store: a poll loop reads
// a few status registers over and over without storing anything.
struct RecentLoads {
	static const unsigned SLOTS = 4;
	unsigned count;
	uint32_t phys[SLOTS], value[SLOTS];
};
thread_local RecentLoads t_recent_loads;

// Records the load; true when it repeats, since the thread's last store, an
// earlier load of the same register with the same value.
bool repeats_recent_load(uint32_t phys, uint32_t value)
{
	RecentLoads &r = t_recent_loads;
	for (unsigned i = 0; i < r.count; i++)
		if (r.phys[i] == phys) {
			bool same = r.value[i] == value;
			r.value[i] = value;
			return same;
		}
	unsigned slot = r.count < RecentLoads::SLOTS ? r.count++ : phys % RecentLoads::SLOTS;
	r.phys[slot] = phys;
	r.value[slot] = value;
	return false;
}

// A repeated load is a poll, whose idle time the board may skip (see
// models::board_skip_idle_poll). Needs g_board_mutex.
void skip_idle_polls(uint32_t phys, uint32_t value)
{
	bool poll = repeats_recent_load(phys, value);
	if (g_idle_skip && poll)
		models::board_skip_idle_poll(&g_board, phys);
}

const Mapping *mapping_of(const volatile unsigned int *addr, uint32_t *offset)
{
	uintptr_t a = reinterpret_cast<uintptr_t>(addr);
	for (const Mapping &w : g_mappings) {
		uintptr_t base = reinterpret_cast<uintptr_t>(w.base);
		if (a >= base && a < base + w.size) {
			*offset = static_cast<uint32_t>(a - base);
			return &w;
		}
	}
	return nullptr;
}

} // namespace

extern "C" {

volatile unsigned int *ks_ioremap(unsigned long phys, unsigned long size)
{
	call(format("ioremap 0x%08lX 0x%lX", phys, size));
	int err;
	if (take_fault(sim::Step::ioremap, &err))
		return nullptr;
	if (!models::board_has_window(static_cast<uint32_t>(phys), static_cast<uint32_t>(size))) {
		problem(format("ioremap of 0x%08lX+0x%lX, not a window of the board", phys, size));
		return nullptr;
	}
	// The token address is inaccessible memory, so a driver that bypassed
	// ks_readl/ks_writel would crash instead of silently working.
	size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
	size_t len = (size + page - 1) / page * page;
	void *base = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	if (base == MAP_FAILED)
		return nullptr;
	std::lock_guard<std::mutex> b(g_board_mutex);
	g_mappings.push_back(Mapping{base, len, static_cast<uint32_t>(phys),
				     static_cast<uint32_t>(size), current()});
	return static_cast<volatile unsigned int *>(base);
}

void ks_iounmap(volatile unsigned int *virt)
{
	bool found = false;
	uint32_t phys = 0;
	{
		std::lock_guard<std::mutex> b(g_board_mutex);
		for (auto it = g_mappings.begin(); it != g_mappings.end(); ++it)
			if (it->base == virt) {
				found = true;
				phys = it->phys;
				munmap(it->base, it->len);
				g_mappings.erase(it);
				break;
			}
	}
	if (!found) {
		call("iounmap");
		problem("iounmap of an address not mapped");
		return;
	}
	call(format("iounmap 0x%08X", phys));
}

// Both record the access and pass it to the board, under the board lock.
unsigned int ks_readl(const volatile unsigned int *addr)
{
	uint32_t offset;
	{
		std::lock_guard<std::mutex> b(g_board_mutex);
		const Mapping *w = mapping_of(addr, &offset);
		if (w && offset % 4 == 0) {
			uint32_t phys = w->phys + offset;
			uint64_t before = g_board.now_ns;
			uint32_t value = models::board_read32(&g_board, phys);
			if (g_trace_total++ < TRACE_LIMIT)
				g_trace.push_back(
					sim::Access{false, phys, value, before, thread_no()});
			skip_idle_polls(phys, value);
			return value;
		}
	}
	problem(format("readl at %p, outside every mapped window or unaligned",
		       const_cast<const void *>(static_cast<const volatile void *>(addr))));
	return 0;
}

void ks_writel(unsigned int value, volatile unsigned int *addr)
{
	uint32_t offset;
	{
		std::lock_guard<std::mutex> b(g_board_mutex);
		const Mapping *w = mapping_of(addr, &offset);
		if (w && offset % 4 == 0) {
			uint32_t phys = w->phys + offset;
			t_recent_loads.count = 0;
			sim::Access a{true, phys, value, g_board.now_ns, thread_no()};
			if (g_trace_total++ < TRACE_LIMIT)
				g_trace.push_back(a);
			models::board_write32(&g_board, phys, value);
			if (g_pause_ns && (!g_pause_filter || g_pause_filter(a))) {
				if (t_irq_depth)
					t_pause_pending = true;
				else
					models::board_advance(&g_board, g_pause_ns);
			}
			return;
		}
	}
	problem(format("writel at %p, outside every mapped window or unaligned",
		       const_cast<const void *>(static_cast<volatile void *>(addr))));
}

void ks_udelay(unsigned long usecs)
{
	call(format("udelay %lu", usecs));
	std::lock_guard<std::mutex> b(g_board_mutex);
	models::board_advance(&g_board, static_cast<uint64_t>(usecs) * 1000);
}

unsigned long ks_irq_save(void)
{
	return static_cast<unsigned long>(t_irq_depth++);
}

// The pause of a store inside the section comes now, as an interrupt
// held off by it would.
void ks_irq_restore(unsigned long flags)
{
	if (!t_irq_depth || flags != static_cast<unsigned long>(t_irq_depth - 1)) {
		problem("ks_irq_restore without the matching ks_irq_save");
		return;
	}
	if (--t_irq_depth || !t_pause_pending)
		return;
	t_pause_pending = false;
	std::lock_guard<std::mutex> b(g_board_mutex);
	models::board_advance(&g_board, g_pause_ns);
}

} // extern "C"
