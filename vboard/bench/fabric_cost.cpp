// SPDX-License-Identifier: GPL-2.0-or-later
// What a design of the fabric costs the host, through the C interface the
// virtual board uses (vboard/fabric/fabric_abi.h): host time per cycle of
// the design running free, and per bus transfer beyond the cycles it spans;
// and a cycle's cost with a trace of its signals on (FST, into a temporary
// file), as a ratio to without. For vboard/bench/fabric.sh.
//
// usage: fabric_cost LIBRARY [CYCLES]   (LIBRARY: libfabric.so of build.sh)
#include "fabric_abi.h"

#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace {

const uint64_t HZ = 50000000, NS_PER_CYCLE = 1000000000 / HZ;

double now_ns()
{
	return std::chrono::duration<double, std::nano>(
		       std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

// The best of three runs of the free-running cycles, from *t on.
double cycle_cost(const fabric_ops *ops, fabric *f, uint64_t *t, uint64_t cycles)
{
	double per_cycle = 1e99;

	for (int round = 0; round < 3; round++) {
		double start = now_ns();
		*t += cycles * NS_PER_CYCLE;
		ops->sync(f, *t);
		double ns = (now_ns() - start) / cycles;
		per_cycle = ns < per_cycle ? ns : per_cycle;
	}
	return per_cycle;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2) {
		std::fprintf(stderr, "usage: fabric_cost LIBRARY [CYCLES]\n");
		return 2;
	}
	uint64_t cycles = argc > 2 ? std::strtoull(argv[2], nullptr, 0) : 20000000;
	void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
	auto entry =
		library ? reinterpret_cast<fabric_entry_fn>(dlsym(library, FABRIC_ENTRY)) : nullptr;
	const fabric_ops *ops = entry ? entry() : nullptr;
	if (!ops || ops->abi_version != FABRIC_ABI_VERSION) {
		std::fprintf(stderr, "fabric_cost: %s: no design library\n", argv[1]);
		return 1;
	}
	fabric *f = ops->create(HZ, nullptr);

	uint64_t t = 0;
	double per_cycle = cycle_cost(ops, f, &t, cycles);

	// Reads back to back at one time: each runs its own cycles only.
	const unsigned transfers = 1000000;
	uint64_t before = ops->cycles(f);
	uint32_t value;
	double start = now_ns();
	for (unsigned i = 0; i < transfers; i++)
		ops->read(f, t, 0, &value);
	double per_transfer = (now_ns() - start) / transfers;
	double spanned = double(ops->cycles(f) - before) / transfers;

	std::printf("%s: %.1f ns of host time per cycle; a transfer spans %.1f cycles and "
		    "costs %.0f ns, %.0f ns beyond its cycles\n",
		    ops->design->top, per_cycle, spanned, per_transfer,
		    per_transfer - spanned * per_cycle);

	char folder[] = "/tmp/fabric-cost.XXXXXX";
	if (!mkdtemp(folder)) {
		std::perror("fabric_cost: a folder for the trace");
		return 1;
	}
	std::string trace = std::string(folder) + "/trace.fst";
	// The transfers ran the design ahead of t: on from where it is.
	t = (ops->cycles(f) + 1) * NS_PER_CYCLE;
	if (!ops->trace(f, trace.c_str(), t, UINT64_MAX)) {
		std::perror("fabric_cost: a trace");
		return 1;
	}
	// A tenth as many cycles: a trace of every signal grows fast.
	double traced = cycle_cost(ops, f, &t, cycles / 10);
	ops->trace(f, nullptr, 0, 0);
	std::printf("%s: traced, %.1f ns of host time per cycle, %.2f times untraced\n",
		    ops->design->top, traced, traced / per_cycle);
	unlink(trace.c_str());
	unlink((trace + ".log").c_str());
	rmdir(folder);
	ops->destroy(f);
	return 0;
}
