// SPDX-License-Identifier: GPL-2.0-or-later
// Address map and clock, system manager pin routing, pushbutton and switch
// ports.
#include <gtest/gtest.h>

#include "rig.h"

using namespace rig;

namespace {

TEST(BoardMap, WindowsCoverExactlyTheModelledRanges)
{
	struct {
		uint32_t phys, size;
		bool inside;
	} cases[] = {
		{0xFFC04000, 0x100, true}, {0xFFC04000, 0x101, false}, {0xFFC040FC, 4, true},
		{0xFFC040FD, 4, false},	   {0xFFD08000, 0x800, true},  {0xFFD087FC, 4, true},
		{0xFFD08800, 4, false},	   {0xFF200000, 0x5000, true}, {0xFF204FFC, 4, true},
		{0xFF1FFFFC, 8, false},	   {0xFFFFFFFC, 8, false},     {0x00000000, 4, false},
		{0xFF200000, 0, false},
	};
	for (auto &c : cases)
		EXPECT_EQ(board_has_window(c.phys, c.size), c.inside)
			<< std::hex << c.phys << " + " << c.size;
}

TEST(BoardMap, EveryAccessCostsTimeAndTheClockNeverGoesBack)
{
	Rig r;
	uint64_t t = r.b->now_ns;
	EXPECT_EQ(board_read32(r.b, 0x10000000), 0u);
	board_write32(r.b, 0x10000000, 5);
	EXPECT_EQ(board_read32(r.b, I2C0_BASE + 0xF0), 0u);
	EXPECT_EQ(r.b->now_ns, t + 3 * BOARD_ACCESS_NS);
	board_sync(r.b, t);
	EXPECT_EQ(r.b->now_ns, t + 3 * BOARD_ACCESS_NS);
	board_advance(r.b, 1000);
	EXPECT_EQ(r.b->now_ns, t + 3 * BOARD_ACCESS_NS + 1000);
}

// A poll of the controller jumps the clock to just before the controller's
// next event, so that the next load sees it; nothing else moves the clock.
TEST(BoardMap, PollOfTheControllerSkipsToJustBeforeItsNextEvent)
{
	Rig r;
	r.bring_up();
	ASSERT_EQ(i2c0_next_event_ns(r.b), UINT64_MAX);
	uint64_t t = r.b->now_ns;
	board_skip_idle_poll(r.b, I2C0_BASE + I2C_STATUS);
	EXPECT_EQ(r.b->now_ns, t) << "nothing comes without software";

	r.cmd(WRITE_ADDR | ADXL_DEVID);
	uint64_t next = i2c0_next_event_ns(r.b);
	ASSERT_NE(next, UINT64_MAX);
	t = r.b->now_ns;
	board_skip_idle_poll(r.b, SYSMGR_BASE + SYSMGR_I2C0_ROUTING);
	board_skip_idle_poll(r.b, PORTS_BASE + PORTS_KEY_DATA);
	board_skip_idle_poll(r.b, I2C0_BASE + I2C0_SPAN);
	EXPECT_EQ(r.b->now_ns, t) << "polls outside the controller's window";
	board_skip_idle_poll(r.b, I2C0_BASE + I2C_STATUS);
	EXPECT_EQ(r.b->now_ns, next - BOARD_ACCESS_NS);
	board_skip_idle_poll(r.b, I2C0_BASE + I2C_STATUS);
	EXPECT_EQ(r.b->now_ns, next - BOARD_ACCESS_NS) << "the next load is the event's";
}

// Reads DEVID, polling the receive level until its byte is there: the board
// time of the load that sees it, and the loads it took.
uint64_t poll_devid(bool skip, int *loads)
{
	Rig r;
	r.bring_up();
	r.cmd(WRITE_ADDR | ADXL_DEVID);
	r.cmd(READ | I2C_CMD_STOP);
	for (*loads = 1; r.i2c_r(I2C_RXFLR) == 0 && *loads < POLL_LIMIT; ++*loads)
		if (skip)
			board_skip_idle_poll(r.b, I2C0_BASE + I2C_RXFLR);
	uint64_t seen = r.b->now_ns;
	EXPECT_EQ(r.i2c_r(I2C_DATA_CMD), ADXL_DEVID_VALUE) << (skip ? "skipping" : "load by load");
	return seen;
}

TEST(BoardMap, SkippingPollsSeeTheByteAsSoonInAFewLoads)
{
	int loads, skipping_loads;
	uint64_t seen = poll_devid(false, &loads);
	uint64_t seen_skipping = poll_devid(true, &skipping_loads);
	EXPECT_LE(seen_skipping, seen);
	EXPECT_LT(seen - seen_skipping, BOARD_ACCESS_NS);
	EXPECT_LE(skipping_loads, 3) << "the first, then one at the end of each word";
	EXPECT_GT(loads, 100);
}

TEST(BoardMap, ClearedTracesCountAfresh)
{
	Rig r;
	r.bring_up();
	r.reg_write(ADXL_POWER_CTL, 0x08);
	r.read_reg(ADXL_INT_SOURCE);
	board_advance(r.b, 50000000);
	board_clear_traces(r.b);
	EXPECT_EQ(r.b->i2c0.words, 0u);
	EXPECT_EQ(r.b->i2c0.bus_bytes, 0u);
	EXPECT_EQ(r.b->sensor.reg_writes, 0u);
	EXPECT_EQ(r.b->sensor.int_source_reads, 0u);
	EXPECT_EQ(r.b->sensor.samples, 0u);
	r.reg_write(ADXL_OFSX, 3);
	r.settle();
	EXPECT_EQ(r.b->i2c0.words, 2u);
	EXPECT_EQ(r.b->sensor.reg_writes, 1u);
	EXPECT_EQ(r.b->sensor.write_reg[0], ADXL_OFSX);
}

TEST(BoardMap, ZeroedStorageIsSafeToDrive)
{
	Board *b = new Board();
	for (uint32_t off = 0; off < I2C0_SPAN; off += 4)
		board_write32(b, I2C0_BASE + off, 0xFFFFFFFF);
	board_write32(b, I2C0_BASE + I2C_DATA_CMD, 0x400);
	board_advance(b, 10000000000ull);
	EXPECT_EQ(board_read32(b, I2C0_BASE + I2C_RXFLR), 0u);
	delete b;
}

TEST(SystemManager, SensorBusIsRoutedOnlyWhenAllThreeRegistersAreSet)
{
	Rig r;
	EXPECT_EQ(board_read32(r.b, SYSMGR_BASE + 0x704), 1u);
	EXPECT_EQ(board_read32(r.b, SYSMGR_BASE + 0x49C), 0u);
	EXPECT_EQ(board_read32(r.b, SYSMGR_BASE + 0x4A0), 0u);
	const uint32_t stores[][2] = {{0x704, 0}, {0x49C, 1}, {0x4A0, 1}};
	for (unsigned set = 0; set < 8; set++) {
		Rig p;
		for (unsigned i = 0; i < 3; i++)
			if (set & (1u << i))
				board_write32(p.b, SYSMGR_BASE + stores[i][0], stores[i][1]);
		EXPECT_EQ(sensor_bus_routed(&p.b->sysmgr), set == 7) << set;
	}
	// Other pin functions do not carry the bus.
	r.route_pins();
	ASSERT_TRUE(sensor_bus_routed(&r.b->sysmgr));
	board_write32(r.b, SYSMGR_BASE + 0x49C, 3);
	EXPECT_FALSE(sensor_bus_routed(&r.b->sysmgr));
	r.route_pins();
	board_write32(r.b, SYSMGR_BASE + 0x4A0, 2);
	EXPECT_FALSE(sensor_bus_routed(&r.b->sysmgr));
}

TEST(SystemManager, OtherRegistersArePlainStorage)
{
	Rig r;
	board_write32(r.b, SYSMGR_BASE + 0x10, 0xDEADBEEF);
	board_write32(r.b, SYSMGR_BASE + 0x7FC, 7);
	EXPECT_EQ(board_read32(r.b, SYSMGR_BASE + 0x10), 0xDEADBEEFu);
	EXPECT_EQ(board_read32(r.b, SYSMGR_BASE + 0x7FC), 7u);
	EXPECT_FALSE(sensor_bus_routed(&r.b->sysmgr));
}

uint32_t port(Rig &r, uint32_t off)
{
	return board_read32(r.b, PORTS_BASE + off);
}

void port_w(Rig &r, uint32_t off, uint32_t v)
{
	board_write32(r.b, PORTS_BASE + off, v);
}

TEST(PanelPorts, PressesAreCapturedUntilClearedByWritingOnes)
{
	Rig r;
	EXPECT_EQ(port(r, 0x5C), 0u);
	ports_press(&r.b->ports, 0x5);
	EXPECT_EQ(port(r, 0x5C), 0x5u);
	EXPECT_EQ(port(r, 0x50), 0u); // released again
	port_w(r, 0x5C, 0x4);
	EXPECT_EQ(port(r, 0x5C), 0x1u);
	port_w(r, 0x5C, 0x0);
	EXPECT_EQ(port(r, 0x5C), 0x1u);
	ports_press(&r.b->ports, 0x1);
	ports_press(&r.b->ports, 0x8);
	ports_press(&r.b->ports, 0x30); // no such buttons
	EXPECT_EQ(port(r, 0x5C), 0x9u);
	port_w(r, 0x5C, 0xF);
	EXPECT_EQ(port(r, 0x5C), 0u);

	ports_hold(&r.b->ports, 0x2);
	EXPECT_EQ(port(r, 0x50), 0x2u);
	EXPECT_EQ(port(r, 0x5C), 0x2u);
	port_w(r, 0x5C, 0x2);
	ports_hold(&r.b->ports, 0x2); // still held: no new edge
	EXPECT_EQ(port(r, 0x5C), 0u);
	ports_press(&r.b->ports, 0x2); // already down
	EXPECT_EQ(port(r, 0x5C), 0u);
	ports_hold(&r.b->ports, 0);
	ports_press(&r.b->ports, 0x2);
	EXPECT_EQ(port(r, 0x5C), 0x2u);
	EXPECT_EQ(port(r, 0x50), 0u);
}

TEST(PanelPorts, RegistersShowWhatThePortsCanHoldUnlessForced)
{
	Rig r;
	ports_set_switches(&r.b->ports, 0x1203);
	EXPECT_EQ(port(r, 0x40), 0x203u);
	port_w(r, 0x40, 0);
	port_w(r, 0x50, 0xF);
	EXPECT_EQ(port(r, 0x40), 0x203u);
	EXPECT_EQ(port(r, 0x50), 0u);
	port_w(r, 0x58, 0xFF);
	EXPECT_EQ(port(r, 0x58), 0xFu);
	for (uint32_t off : {0x44u, 0x54u, 0x60u, 0x0u, 0x4FFCu})
		EXPECT_EQ(port(r, off), 0u) << std::hex << off;

	ports_force_switches(&r.b->ports, 0x1203);
	EXPECT_EQ(port(r, 0x40), 0x1203u);
	ports_force_edges(&r.b->ports, 0x1F);
	EXPECT_EQ(port(r, 0x5C), 0x1Fu);
	port_w(r, 0x5C, 0xF);
	EXPECT_EQ(port(r, 0x5C), 0x10u);
}

} // namespace
