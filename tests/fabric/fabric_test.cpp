// SPDX-License-Identifier: GPL-2.0-or-later
// The fabric's co-simulation layer without QEMU: designs compiled by
// vboard/fabric/build.sh, loaded and driven through the C interface that
// the virtual board's QEMU uses (fabric_abi.h), with the caller's clock in
// place of QEMU's virtual clock.
#include "fabric_abi.h"
#include "fabric_paths.h"
#include "models/board.h"
#include "models/panel_ports_regs.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// Registers of tests/fabric/designs/probe.v.
const uint32_t PROBE_CYCLES = 0x00, PROBE_SCRATCH = 0x04, PROBE_SLVERR = 0x08, PROBE_DECERR = 0x0C,
	       PROBE_SILENT = 0x10, PROBE_INPUTS = 0x14, PROBE_COMPARE = 0x18, PROBE_HALT = 0x1C,
	       PROBE_ROM = 0x20;
const unsigned PROBE_KEY_SHIFT = 16;

const uint64_t NS_PER_S = 1000000000;
const uint64_t MHZ = 1000000;

// A design's library, built (or found in the cache) by build.sh and loaded
// once per test program.
const fabric_ops *load_design(const std::string &source)
{
	static std::map<std::string, const fabric_ops *> loaded;
	auto found = loaded.find(source);
	if (found != loaded.end())
		return found->second;

	std::string command = std::string(FABRIC_BUILD_SH) + " " + source + " 2>&1";
	std::unique_ptr<FILE, int (*)(FILE *)> out(popen(command.c_str(), "r"), pclose);
	std::string text, last;
	char line[4096];
	while (out && fgets(line, sizeof(line), out.get())) {
		text += line;
		last = line;
	}
	if (!out || pclose(out.release()) != 0) {
		ADD_FAILURE() << command << ":\n" << text;
		return nullptr;
	}
	last.erase(last.find_last_not_of('\n') + 1);
	void *library = dlopen((last + "/libfabric.so").c_str(), RTLD_NOW | RTLD_LOCAL);
	if (!library) {
		ADD_FAILURE() << dlerror();
		return nullptr;
	}
	auto entry = reinterpret_cast<fabric_entry_fn>(dlsym(library, FABRIC_ENTRY));
	const fabric_ops *ops = entry ? entry() : nullptr;
	if (!ops || ops->abi_version != FABRIC_ABI_VERSION) {
		ADD_FAILURE() << source << ": no entry of interface " << FABRIC_ABI_VERSION;
		return nullptr;
	}
	return loaded[source] = ops;
}

// The cycles due at now_ns for a clock of hz started at 0.
uint64_t due(uint64_t now_ns, uint64_t hz)
{
	return (unsigned __int128)now_ns * hz / NS_PER_S;
}

class Fabric : public ::testing::Test {
protected:
	void SetUp() override
	{
		ops = load_design(std::string(FABRIC_TEST_DESIGNS) + "/probe.v");
		ASSERT_NE(ops, nullptr);
		f = make(50 * MHZ);
	}

	void TearDown() override
	{
		for (fabric *each : made)
			ops->destroy(each);
	}

	fabric *make(uint64_t hz)
	{
		fabric *made_one = ops->create(hz, FABRIC_TEST_DESIGNS);
		if (made_one)
			made.push_back(made_one);
		return made_one;
	}

	uint32_t read(uint32_t addr, fabric *on = nullptr)
	{
		uint32_t value = 0;
		EXPECT_EQ(ops->read(on ? on : f, now, addr, &value), FABRIC_OKAY)
			<< "read " << addr;
		return value;
	}

	void write(uint32_t addr, uint32_t value, uint32_t strb = 0xF)
	{
		EXPECT_EQ(ops->write(f, now, addr, value, strb), FABRIC_OKAY) << "write " << addr;
	}

	const fabric_ops *ops = nullptr;
	fabric *f = nullptr;
	uint64_t now = 0;
	std::vector<fabric *> made;
};

TEST_F(Fabric, DescribesTheDesign)
{
	const fabric_design *d = ops->design;

	EXPECT_STREQ(d->top, "probe");
	EXPECT_EQ(d->addr_bits, 8u);
	EXPECT_TRUE(d->irq);
	EXPECT_EQ(d->key_bits, 4u);
	EXPECT_EQ(d->sw_bits, 12u);
	EXPECT_EQ(d->ledr_bits, 10u);
	EXPECT_EQ(d->hex_digits, 1u << 0 | 1u << 5);
	EXPECT_EQ(ops->create(0, nullptr), nullptr);
	// $readmemh's path is relative to the design's folder, whatever ours.
	EXPECT_EQ(read(PROBE_ROM), 0xC0DE0000u);
	EXPECT_EQ(read(PROBE_ROM + 12), 0xC0DE0003u);
}

// The design's cycles follow the caller's clock exactly, at any rate: after
// a sync the cycles run are those due; a counter in the design reads the
// same offset from them at every read, however far apart, so transfers
// leave no drift. Transfers closer than they take run the design ahead by
// their cycles, and the clock catches up.
TEST_F(Fabric, CyclesFollowTime)
{
	for (uint64_t hz : {50 * MHZ, 1 * MHZ, uint64_t(33333333)}) {
		SCOPED_TRACE(hz);
		fabric *clocked = make(hz);
		uint64_t first = 0;
		bool have_first = false;
		for (uint64_t t : {1000, 1234567, 20000001, 300000007}) {
			now = t;
			uint64_t before = due(t, hz);
			uint32_t count = read(PROBE_CYCLES, clocked);
			if (!have_first)
				first = count - before, have_first = true;
			EXPECT_EQ(count, before + first) << "at " << t << " ns";
		}
		EXPECT_LT(first, 4u) << "a read samples within its transfer";
		uint64_t transfer = ops->cycles(clocked) - due(now, hz);
		for (int i = 0; i < 10; i++)
			read(PROBE_CYCLES, clocked);
		EXPECT_EQ(ops->cycles(clocked), due(now, hz) + 11 * transfer)
			<< "back-to-back reads";
		now += 100 * transfer * NS_PER_S / hz;
		ops->sync(clocked, now);
		EXPECT_EQ(ops->cycles(clocked), due(now, hz)) << "the clock caught up";
	}

	// Cycle 0 is at the reset.
	ops->reset(f, 5000);
	ops->sync(f, 5000 + 1000);
	EXPECT_EQ(ops->cycles(f), 50u);
}

TEST_F(Fabric, StrobesSelectByteLanes)
{
	write(PROBE_SCRATCH, 0x11223344);
	write(PROBE_SCRATCH, 0xAABBCCDD, 0x2);
	EXPECT_EQ(read(PROBE_SCRATCH), 0x1122CC44u);
	write(PROBE_SCRATCH, 0x99887766, 0xC);
	EXPECT_EQ(read(PROBE_SCRATCH), 0x9988CC44u);
	write(PROBE_SCRATCH, 0x55555555, 0x0);
	EXPECT_EQ(read(PROBE_SCRATCH), 0x9988CC44u) << "no lane, no change";
	write(PROBE_SCRATCH, 0xFFFFFF2A, 0x1);
	fabric_outputs out;
	ops->outputs(f, &out);
	EXPECT_EQ(out.ledr, 0x02Au);
	EXPECT_EQ(out.hex[0], 0x2A);
	EXPECT_EQ(out.hex[5], 0x4C);
	EXPECT_EQ(out.hex[1], 0x7F) << "a digit the design lacks is dark";
}

// SLVERR and DECERR come back as they were answered; a transfer the design
// never answers ends after FABRIC_TRANSFER_CYCLES of its cycles, and the
// bus works afterwards.
TEST_F(Fabric, ErrorResponsesAndSilence)
{
	uint32_t value;

	EXPECT_EQ(ops->read(f, now, PROBE_SLVERR, &value), FABRIC_SLVERR);
	EXPECT_EQ(ops->write(f, now, PROBE_SLVERR, 1, 0xF), FABRIC_SLVERR);
	EXPECT_EQ(ops->read(f, now, PROBE_DECERR, &value), FABRIC_DECERR);
	EXPECT_EQ(ops->write(f, now, PROBE_DECERR, 1, 0xF), FABRIC_DECERR);
	for (bool store : {false, true}) {
		SCOPED_TRACE(store ? "store" : "load");
		uint64_t before = ops->cycles(f);
		enum fabric_status status = store ? ops->write(f, now, PROBE_SILENT, 1, 0xF)
						  : ops->read(f, now, PROBE_SILENT, &value);
		EXPECT_EQ(status, FABRIC_TIMEOUT);
		EXPECT_EQ(ops->cycles(f) - before, (uint64_t)FABRIC_TRANSFER_CYCLES);
		write(PROBE_SCRATCH, 0x5A5A);
		EXPECT_EQ(read(PROBE_SCRATCH), 0x5A5Au);
	}
}

// The board's inputs reach the design from the time they are given; a
// press holds its buttons for FABRIC_PRESS_CYCLES, by when the caller is
// asked to come back.
TEST_F(Fabric, InputsAndPresses)
{
	now = 1000;
	ops->set_inputs(f, now, 0x5, 0xFABC);
	EXPECT_EQ(read(PROBE_INPUTS), 0x5u << PROBE_KEY_SHIFT | 0xABC) << "12 switches, 4 keys";
	ops->press(f, now, 0xA);
	uint64_t pressed_at = ops->cycles(f), release = ops->next_ns(f);
	EXPECT_EQ(release, (pressed_at + FABRIC_PRESS_CYCLES) * 20) << "20 ns a cycle";
	EXPECT_EQ(read(PROBE_INPUTS), 0xFu << PROBE_KEY_SHIFT | 0xABC);
	now = release;
	EXPECT_EQ(read(PROBE_INPUTS), 0x5u << PROBE_KEY_SHIFT | 0xABC);
	EXPECT_EQ(ops->next_ns(f), ops->cycles(f) * 20 + FABRIC_POLL_NS)
		<< "then polled, from the cycles run";
}

TEST_F(Fabric, InterruptFollowsTheDesign)
{
	fabric_outputs out;

	write(PROBE_COMPARE, 1000);
	ops->outputs(f, &out);
	EXPECT_FALSE(out.irq);
	now = 999 * 20;
	ops->sync(f, now);
	ops->outputs(f, &out);
	EXPECT_FALSE(out.irq) << "cycle 999";
	now = 1001 * 20;
	ops->sync(f, now);
	ops->outputs(f, &out);
	EXPECT_TRUE(out.irq);
	write(PROBE_COMPARE, 0);
	ops->outputs(f, &out);
	EXPECT_FALSE(out.irq);
}

// Saved in the middle of a count, restored into the same fabric later or
// into a new one: the count goes on from where it was saved, with the
// caller's clock. A state of another rate, a cut one or a changed one is
// refused and leaves the fabric as it was.
TEST_F(Fabric, SaveAndRestoreInTheMiddleOfACount)
{
	now = 123456789;
	ops->set_inputs(f, now, 0x3, 0x155);
	write(PROBE_SCRATCH, 0xC0FFEE);
	size_t size;
	const void *data = ops->save(f, &size);
	std::string saved(static_cast<const char *>(data), size);
	uint64_t at = now, saved_cycles = ops->cycles(f);

	now = at + 1000000;
	uint32_t went_on = read(PROBE_CYCLES);
	write(PROBE_SCRATCH, 0);
	ops->set_inputs(f, now, 0, 0);

	fabric *fresh = make(50 * MHZ);
	ASSERT_TRUE(ops->restore(fresh, saved.data(), saved.size()));
	EXPECT_EQ(read(PROBE_CYCLES, fresh), went_on);
	EXPECT_EQ(read(PROBE_SCRATCH, fresh), 0xC0FFEEu);
	EXPECT_EQ(read(PROBE_INPUTS, fresh), 0x3u << PROBE_KEY_SHIFT | 0x155);

	ASSERT_TRUE(ops->restore(f, saved.data(), saved.size()));
	EXPECT_EQ(ops->cycles(f), saved_cycles);
	EXPECT_EQ(read(PROBE_CYCLES), went_on) << "the same fabric, later";

	fabric *slower = make(25 * MHZ);
	EXPECT_FALSE(ops->restore(slower, saved.data(), saved.size()));
	write(PROBE_SCRATCH, 0x1234);
	uint64_t cycles = ops->cycles(f);
	EXPECT_FALSE(ops->restore(f, saved.data(), saved.size() - 1));
	std::string changed = saved;
	changed[changed.size() - 1] ^= 1;
	EXPECT_FALSE(ops->restore(f, changed.data(), changed.size()));
	EXPECT_EQ(ops->cycles(f), cycles);
	EXPECT_EQ(read(PROBE_SCRATCH), 0x1234u);
}

// The design's own end ($stop, $finish, $fatal, a failed assertion) halts
// it where it was, saying where and why: the store that set it off and
// every transfer after it go unanswered at once, its time stands still, its
// outputs stay, its interrupt drops; a reset starts a new design, and a
// halted one's state restores halted.
TEST_F(Fabric, HaltsAtItsOwnEndUntilReset)
{
	const struct {
		uint32_t kind;
		const char *why;
	} ends[] = {{1, "$stop"},
		    {2, "$finish"},
		    {3, "Assertion failed in probe.probe: halt 3 requested"},
		    {4, "Assertion failed in probe.probe: store of 4"}};
	for (const auto &end : ends) {
		SCOPED_TRACE(end.why);
		now += 1000000;
		ops->reset(f, now);
		write(PROBE_SCRATCH, 0x2A5);
		write(PROBE_COMPARE, 1);
		fabric_outputs out;
		ops->outputs(f, &out);
		ASSERT_TRUE(out.irq);
		EXPECT_EQ(ops->halted(f), nullptr);

		EXPECT_EQ(ops->write(f, now, PROBE_HALT, end.kind, 0xF), FABRIC_TIMEOUT);
		const char *halted = ops->halted(f);
		ASSERT_NE(halted, nullptr);
		std::string told(halted);
		EXPECT_NE(told.find("probe.v:"), std::string::npos) << told;
		EXPECT_EQ(told.substr(told.size() - std::strlen(end.why)), end.why) << told;

		uint64_t cycles = ops->cycles(f);
		uint32_t value = 1;
		EXPECT_EQ(ops->read(f, now, PROBE_SCRATCH, &value), FABRIC_TIMEOUT);
		EXPECT_EQ(value, 0u);
		now += 1000000;
		ops->sync(f, now);
		ops->set_inputs(f, now, 0xF, 0xFFF);
		EXPECT_EQ(ops->cycles(f), cycles);
		EXPECT_EQ(ops->next_ns(f), UINT64_MAX);
		ops->outputs(f, &out);
		EXPECT_EQ(out.ledr, 0x2A5u);
		EXPECT_FALSE(out.irq);

		size_t size;
		const void *data = ops->save(f, &size);
		fabric *restored = make(50 * MHZ);
		ASSERT_TRUE(ops->restore(restored, data, size));
		EXPECT_STREQ(ops->halted(restored), halted);
	}
	ops->reset(f, now);
	EXPECT_EQ(ops->halted(f), nullptr);
	EXPECT_EQ(read(PROBE_SCRATCH), 0u) << "a new design, from reset";
	EXPECT_EQ(read(PROBE_ROM + 12), 0xC0DE0003u) << "its initial blocks run again";
	EXPECT_EQ(read(PROBE_INPUTS), 0xFu << PROBE_KEY_SHIFT | 0xFFF) << "the inputs kept";
}

// What a command prints, and its exit status.
std::pair<std::string, int> output_of(const std::string &command)
{
	std::string out;
	FILE *p = popen(command.c_str(), "r");
	char buf[4096];
	size_t n;

	if (!p)
		return {"", -1};
	while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0)
		out.append(buf, n);
	return {out, pclose(p)};
}

// A trace of [2 us, 4 us): the signals in an FST file (as gtkwave's
// fst2vcd reads it) at every half cycle run in the span and none outside;
// the transfers and the interrupt's rise in its log, each at the time of
// its cycle in the waves; nothing after the end.
TEST_F(Fabric, TracesWhatTheDesignSawInItsSpan)
{
	char folder[] = "/tmp/fabric-trace.XXXXXX";
	ASSERT_NE(mkdtemp(folder), nullptr);
	std::string path = std::string(folder) + "/probe.fst";
	const uint64_t ns_per_cycle = 20;

	now = 1000;
	ASSERT_TRUE(ops->trace(f, path.c_str(), 2000, 4000));
	write(PROBE_SCRATCH, 0x11);
	now = 2500;
	write(PROBE_COMPARE, 150);
	EXPECT_EQ(read(PROBE_SCRATCH), 0x11u);
	now = 5000;
	ops->sync(f, now);
	write(PROBE_SCRATCH, 0x22);
	EXPECT_TRUE(ops->trace(f, nullptr, 0, 0));

	auto [log, log_status] = output_of("cat " + path + ".log");
	ASSERT_EQ(log_status, 0);
	std::vector<std::string> events;
	std::istringstream lines(log);
	std::string line;
	while (std::getline(lines, line)) {
		if (line[0] == '#')
			continue;
		double ns;
		uint64_t cycle;
		char event[64];
		ASSERT_EQ(std::sscanf(line.c_str(), "%lf %" SCNu64 " %63[^\n]", &ns, &cycle, event),
			  3)
			<< line;
		uint64_t half = std::string(event).rfind("irq", 0) == 0 ? ns_per_cycle / 2 : 0;
		EXPECT_EQ(ns, double(cycle * ns_per_cycle + half)) << line;
		EXPECT_TRUE(ns >= 2000 && ns < 4000) << line;
		events.push_back(event);
	}
	EXPECT_EQ(events, (std::vector<std::string>{"write 0x018 <- 0x00000096 OKAY",
						    "read 0x004 -> 0x00000011 OKAY", "irq 1"}));

	auto [vcd, vcd_status] = output_of("fst2vcd " + path + " 2>/dev/null");
	ASSERT_EQ(vcd_status, 0) << "fst2vcd (gtkwave) reads the trace";
	EXPECT_NE(vcd.find("$timescale\n\t1ps"), std::string::npos) << vcd.substr(0, 400);
	EXPECT_NE(vcd.find(" s_axi_wdata "), std::string::npos);
	uint64_t first = UINT64_MAX, last = 0, stamps = 0;
	std::istringstream dumps(vcd);
	while (std::getline(dumps, line)) {
		if (line.size() < 2 || line[0] != '#')
			continue;
		uint64_t ps = std::stoull(line.substr(1));
		first = std::min(first, ps), last = std::max(last, ps), stamps++;
	}
	EXPECT_EQ(first, 2000000u);
	EXPECT_EQ(last, 3990000u);
	EXPECT_EQ(stamps, 2 * (4000 - 2000) / ns_per_cycle) << "every half cycle";
	std::remove(path.c_str());
	std::remove((path + ".log").c_str());
	rmdir(folder);
}

// The board's ports as logic (vboard/fabric/rtl/panel_ports.v) against
// their C++ model, the same person at the board and the same driver's
// accesses: every register reads the same once a press is over.
TEST(FabricPorts, LogicMatchesTheModel)
{
	const fabric_ops *ops = load_design(FABRIC_PANEL_PORTS_V);
	ASSERT_NE(ops, nullptr);
	fabric *rtl = ops->create(50 * MHZ, nullptr);
	models::PanelPorts model;
	models::ports_reset(&model);
	std::mt19937 random(1);
	const uint32_t offsets[] = {models::PORTS_SWITCH_DATA,
				    models::PORTS_KEY_DATA,
				    models::PORTS_KEY_IRQ_MASK,
				    models::PORTS_KEY_EDGE,
				    0x44,
				    0x4FFC};
	uint64_t now = 0;
	uint32_t held = 0, sw = 0;

	for (int step = 0; step < 2000; step++) {
		now += 1000; // 50 cycles: any press is over
		uint32_t value = random(), offset = offsets[random() % 6];
		switch (random() % 6) {
		case 0:
			held = value & models::PORTS_KEY_MASK;
			models::ports_hold(&model, held);
			ops->set_inputs(rtl, now, held, sw);
			break;
		case 1:
			models::ports_press(&model, value & models::PORTS_KEY_MASK);
			ops->press(rtl, now, value & models::PORTS_KEY_MASK);
			break;
		case 2:
			sw = value & models::PORTS_SWITCH_MASK;
			models::ports_set_switches(&model, sw);
			ops->set_inputs(rtl, now, held, sw);
			break;
		case 3:
			models::ports_write(&model, offset, value);
			ASSERT_EQ(ops->write(rtl, now, offset, value, 0xF), FABRIC_OKAY);
			break;
		default:
			uint32_t read;
			ASSERT_EQ(ops->read(rtl, now, offset, &read), FABRIC_OKAY);
			ASSERT_EQ(read, models::ports_read(&model, offset))
				<< "step " << step << ", offset " << offset;
		}
	}
	ops->destroy(rtl);
}

} // namespace
