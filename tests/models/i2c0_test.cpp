// SPDX-License-Identifier: GPL-2.0-or-later
// I2C controller 0: byte timing, queues, enable and abort, addressing.
#include <gtest/gtest.h>

#include "rig.h"

using namespace rig;

namespace {

TEST(I2cTiming, ByteTakesNineBitTimesOfTheProgrammedCounts)
{
	struct {
		uint32_t hcnt, lcnt;
		uint64_t byte_ns;
	} cases[] = {{90, 160, BYTE_NS_90_160}, {40, 60, 9810}, {300, 500, 72810}};
	for (auto &c : cases) {
		SCOPED_TRACE(c.hcnt);
		Rig r;
		r.route_pins();
		r.setup_controller(c.hcnt, c.lcnt);
		r.cmd(WRITE_ADDR | ADXL_THRESH_TAP);
		uint64_t t0 = r.b->now_ns;
		r.cmd(0x30);
		// Start, address and register byte, then the value byte.
		board_sync(r.b, t0 + 2 * c.byte_ns - 1);
		EXPECT_EQ(r.b->i2c0.bus_bytes, 0u);
		board_sync(r.b, t0 + 2 * c.byte_ns);
		EXPECT_EQ(r.b->i2c0.bus_bytes, 2u);
		board_sync(r.b, t0 + 3 * c.byte_ns - 1);
		EXPECT_EQ(r.b->sensor.reg_writes, 0u);
		board_sync(r.b, t0 + 3 * c.byte_ns);
		EXPECT_EQ(r.b->sensor.reg_writes, 1u);
		EXPECT_EQ(sensor_peek(r.b, ADXL_THRESH_TAP), 0x30);
		EXPECT_EQ(r.b->i2c0.bus_bytes, 3u);
	}
}

TEST(I2cTiming, PolledReadSeesItsByteAfterFourByteTimes)
{
	Rig r;
	r.bring_up();
	r.cmd(WRITE_ADDR | ADXL_DEVID);
	uint64_t t0 = r.b->now_ns;
	r.cmd(READ);
	int polls = 0;
	while (r.i2c_r(I2C_RXFLR) == 0 && polls < POLL_LIMIT)
		polls++;
	// Address write, register, repeated start with address read, data.
	uint64_t arrival = 4 * BYTE_NS_90_160;
	EXPECT_GE(r.b->now_ns - t0, arrival);
	EXPECT_LT(r.b->now_ns - t0, arrival + BOARD_ACCESS_NS);
	EXPECT_EQ(r.i2c_r(I2C_DATA_CMD), 0xE5u);
	EXPECT_EQ(r.b->i2c0.bus_bytes, 4u);
}

TEST(I2cTiming, StandardSpeedUsesTheStandardCounts)
{
	Rig r;
	r.route_pins();
	r.i2c_w(I2C_SS_HCNT, 400);
	r.i2c_w(I2C_SS_LCNT, 600);
	r.setup_controller(90, 160, 0x63); // speed class 1
	r.cmd(WRITE_ADDR | ADXL_DEVID);
	uint64_t t0 = r.b->now_ns;
	board_sync(r.b, t0 + 2 * 90810 - 1); // 9 * (408 + 601) cycles a byte
	EXPECT_EQ(r.b->i2c0.bus_bytes, 0u);
	board_sync(r.b, t0 + 2 * 90810);
	EXPECT_EQ(r.b->i2c0.bus_bytes, 2u);
}

TEST(I2cQueues, TransmitQueueHoldsSixtyFourWordsBehindTheOneOnTheWire)
{
	Rig r;
	r.bring_up();
	uint32_t param = r.i2c_r(I2C_COMP_PARAM_1);
	EXPECT_EQ((param >> I2C_PARAM_TX_DEPTH_SHIFT & I2C_PARAM_DEPTH_MASK) + 1, I2C_FIFO_DEPTH);
	EXPECT_EQ((param >> I2C_PARAM_RX_DEPTH_SHIFT & I2C_PARAM_DEPTH_MASK) + 1, I2C_FIFO_DEPTH);
	EXPECT_EQ(I2C_FIFO_DEPTH, 64u);
	r.cmd(WRITE_ADDR | ADXL_THRESH_TAP);
	for (uint32_t v = 0; v < 70; v++)
		r.cmd(v);
	EXPECT_EQ(r.i2c_r(I2C_TXFLR), 64u);
	EXPECT_EQ(r.b->i2c0.tx_overflows, 6u);
	EXPECT_EQ(r.b->i2c0.words, 71u);
	EXPECT_EQ(r.b->i2c0.word[0], 0x41Du);
	EXPECT_EQ(r.b->i2c0.word[70], 69u);
	r.settle();
	ASSERT_EQ(r.b->sensor.reg_writes, 64u);
	for (unsigned i = 0; i < 64; i++) {
		EXPECT_EQ(r.b->sensor.write_val[i], i);
		EXPECT_EQ(r.b->sensor.write_reg[i], 0x1D + i);
	}
}

TEST(I2cQueues, ReceiveQueueKeepsTheOldestSixtyFourBytes)
{
	Rig r;
	r.bring_up();
	r.reg_write(ADXL_THRESH_TAP, 0x11);
	// 70 bytes from register 0; the second batch continues from the
	// pointer after the first access ended.
	r.cmd(WRITE_ADDR | ADXL_DEVID);
	for (int i = 0; i < 40; i++)
		r.cmd(READ);
	r.settle();
	for (int i = 0; i < 30; i++)
		r.cmd(READ);
	r.settle();
	EXPECT_EQ(r.i2c_r(I2C_RXFLR), 64u);
	EXPECT_EQ(r.b->i2c0.rx_overflows, 6u);
	uint8_t got[64];
	ASSERT_TRUE(r.collect(got, 64));
	EXPECT_EQ(got[0x00], 0xE5);
	EXPECT_EQ(got[0x1D], 0x11);
	EXPECT_EQ(got[0x2C], 0x0A);
	EXPECT_EQ(r.i2c_r(I2C_RXFLR), 0u);
	EXPECT_EQ(r.i2c_r(I2C_DATA_CMD), 0u);
}

TEST(I2cEnable, DisableFinishesTheWordStopsAndReportsOffOnceSettled)
{
	for (I2cQueueEnd end : {I2C_QUEUE_END_STOP, I2C_QUEUE_END_HOLD}) {
		SCOPED_TRACE(end == I2C_QUEUE_END_STOP ? "stop" : "hold");
		Rig r;
		board_set_i2c_queue_end(r.b, end);
		r.bring_up();
		r.cmd(WRITE_ADDR | ADXL_DEVID);
		r.cmd(READ);
		r.settle();
		ASSERT_EQ(r.i2c_r(I2C_RXFLR), 1u);
		uint64_t t0 = r.b->now_ns + BOARD_ACCESS_NS; // the first word starts
		r.reg_write(ADXL_POWER_CTL, 0x08);
		r.reg_write(ADXL_BW_RATE, 0x0F);
		r.i2c_w(I2C_ENABLE, 0);
		// The queued words are dropped at once, the word on the wire
		// (start, address, register) finishes, then a stop.
		EXPECT_EQ(r.i2c_r(I2C_TXFLR), 0u);
		r.cmd(WRITE_ADDR | ADXL_POWER_CTL);
		EXPECT_EQ(r.b->i2c0.tx_ignored, 1u);
		uint64_t idle = t0 + 2 * BYTE_NS_90_160;
		board_sync(r.b, idle + I2C_ENABLE_SETTLE_NS - 2 * BOARD_ACCESS_NS);
		EXPECT_EQ(r.i2c_r(I2C_ENABLE_STATUS), 1u) << "not settled yet";
		EXPECT_EQ(r.i2c_r(I2C_RAW_INTR_STAT) & I2C_INTR_STOP_DET, I2C_INTR_STOP_DET);
		board_sync(r.b, idle + I2C_ENABLE_SETTLE_NS);
		EXPECT_EQ(r.i2c_r(I2C_ENABLE_STATUS), 0u);
		EXPECT_EQ(r.i2c_r(I2C_RXFLR), 0u);
		EXPECT_EQ(r.b->sensor.reg_writes, 0u);
	}
}

TEST(I2cEnable, ABusHeldBeforeTheDisableIsFreedOnlyBySettledAbort)
{
	Rig r;
	r.bring_up();
	r.reg_write(ADXL_OFSX, 1);
	r.settle();
	EXPECT_EQ(r.i2c_r(I2C_STATUS) & I2C_STATUS_MST_HOLD_TX_EMPTY, I2C_STATUS_MST_HOLD_TX_EMPTY);
	EXPECT_EQ(r.i2c_r(I2C_RAW_INTR_STAT) & I2C_INTR_MST_ON_HOLD, I2C_INTR_MST_ON_HOLD);
	r.i2c_w(I2C_ENABLE, 0);
	board_advance(r.b, 1000000);
	EXPECT_EQ(r.i2c_r(I2C_ENABLE_STATUS), 1u) << "held for ever";
	uint32_t errors = r.b->guest_errors;
	// Not counted: an abort in the store that clears enable, an abort
	// while disabled, one in the store right after enabling.
	r.i2c_w(I2C_ENABLE, I2C_ENABLE_ABORT);
	r.i2c_w(I2C_ENABLE, I2C_ENABLE_EN);
	r.i2c_w(I2C_ENABLE, I2C_ENABLE_EN | I2C_ENABLE_ABORT);
	board_advance(r.b, 1000000);
	EXPECT_EQ(r.b->i2c0.user_aborts, 0u);
	EXPECT_EQ(r.b->guest_errors, errors + 2) << "both refusals logged";
	r.i2c_w(I2C_ENABLE, 0);
	r.abort();
	EXPECT_EQ(r.b->i2c0.user_aborts, 1u);
	board_advance(r.b, BYTE_NS_90_160);
	EXPECT_EQ(r.i2c_r(I2C_ENABLE), I2C_ENABLE_EN) << "abort done";
	r.i2c_w(I2C_ENABLE, 0);
	EXPECT_TRUE(r.wait_enabled(false));
}

TEST(I2cEnable, ConfigurationIsLockedWhileEnabled)
{
	Rig r;
	r.bring_up();
	r.i2c_w(I2C_CON, 0);
	r.i2c_w(I2C_TAR, 0x1D);
	r.i2c_w(I2C_FS_HCNT, 7);
	EXPECT_EQ(r.i2c_r(I2C_CON), 0x65u);
	EXPECT_EQ(r.i2c_r(I2C_TAR), 0x53u);
	EXPECT_EQ(r.i2c_r(I2C_FS_HCNT), 90u);
	EXPECT_EQ(r.read_reg(ADXL_DEVID), 0xE5);
}

TEST(I2cAbort, FinishesTheByteSendsAStopAndLatchesUntilAnInterruptClear)
{
	for (uint32_t clear : {I2C_CLR_TX_ABRT, I2C_CLR_INTR}) {
		SCOPED_TRACE(clear);
		Rig r;
		r.bring_up();
		r.reg_write(ADXL_POWER_CTL, 0x08);
		r.settle();
		board_clear_traces(r.b);
		uint64_t t0 = r.b->now_ns + BOARD_ACCESS_NS; // the first word starts
		r.cmd(WRITE_ADDR | ADXL_DATAX0);
		for (int i = 0; i < 6; i++)
			r.cmd(READ);
		board_sync(r.b, t0 + 4 * BYTE_NS_90_160); // first data byte in
		ASSERT_EQ(r.i2c_r(I2C_RXFLR), 1u);
		r.abort();
		// The second data byte is on the wire: it completes, then the stop.
		EXPECT_EQ(r.i2c_r(I2C_ENABLE), I2C_ENABLE_EN | I2C_ENABLE_ABORT);
		EXPECT_EQ(r.i2c_r(I2C_TXFLR), 0u);
		uint64_t done = t0 + 5 * BYTE_NS_90_160 + BYTE_NS_90_160 / 9;
		board_sync(r.b, done - 3 * BOARD_ACCESS_NS);
		EXPECT_EQ(r.i2c_r(I2C_ENABLE), I2C_ENABLE_EN | I2C_ENABLE_ABORT);
		EXPECT_EQ(r.i2c_r(I2C_RXFLR), 2u);
		board_sync(r.b, done);
		EXPECT_EQ(r.i2c_r(I2C_ENABLE), I2C_ENABLE_EN);
		EXPECT_EQ(r.i2c_r(I2C_RXFLR), 0u);
		EXPECT_EQ(r.i2c_r(I2C_TX_ABRT_SOURCE), I2C_ABRT_USER_ABRT);
		EXPECT_EQ(r.i2c_r(I2C_ENABLE_STATUS), 1u);
		EXPECT_EQ(r.b->i2c0.bus_bytes, 5u);
		EXPECT_EQ(r.b->sensor.burst_bytes, 2u);

		// Words stored now are dropped, also across a disable.
		r.reg_write(ADXL_BW_RATE, 0x0F);
		r.i2c_w(I2C_ENABLE, 0);
		EXPECT_TRUE(r.wait_enabled(false));
		r.i2c_w(I2C_ENABLE, I2C_ENABLE_EN);
		EXPECT_EQ(r.read_reg(ADXL_BW_RATE), -1);
		EXPECT_EQ(r.b->i2c0.tx_flushed, 4u);
		EXPECT_EQ(r.b->i2c0.bus_bytes, 5u);
		EXPECT_EQ(r.i2c_r(I2C_TX_ABRT_SOURCE), I2C_ABRT_USER_ABRT);

		EXPECT_EQ(r.i2c_r(clear), 1u);
		EXPECT_EQ(r.i2c_r(clear), 0u);
		EXPECT_EQ(r.i2c_r(I2C_TX_ABRT_SOURCE), 0u);
		EXPECT_EQ(r.read_reg(ADXL_BW_RATE), 0x0A);
	}
}

TEST(I2cAbort, OnAnIdleBusCompletesAtOnce)
{
	Rig r;
	board_set_i2c_queue_end(r.b, I2C_QUEUE_END_STOP);
	r.bring_up();
	board_advance(r.b, I2C_ENABLE_SETTLE_NS);
	r.abort();
	EXPECT_EQ(r.i2c_r(I2C_ENABLE), I2C_ENABLE_EN);
	EXPECT_EQ(r.i2c_r(I2C_TX_ABRT_SOURCE), I2C_ABRT_USER_ABRT);
	EXPECT_EQ(r.i2c_r(I2C_RAW_INTR_STAT) & I2C_INTR_TX_ABRT, I2C_INTR_TX_ABRT);
	EXPECT_EQ(r.b->i2c0.user_aborts, 1u);
}

TEST(I2cEnable, StatusFaultsOnlyAffectTheStatusRegister)
{
	Rig r;
	r.route_pins();
	r.b->i2c0.stuck_enabled = true;
	r.setup_controller();
	r.i2c_w(I2C_ENABLE, 0);
	board_advance(r.b, I2C_ENABLE_SETTLE_NS);
	EXPECT_EQ(r.i2c_r(I2C_ENABLE_STATUS), 1u);
	r.b->i2c0.stuck_enabled = false;
	EXPECT_EQ(r.i2c_r(I2C_ENABLE_STATUS), 0u);

	r.b->i2c0.stuck_disabled = true;
	r.i2c_w(I2C_ENABLE, 1);
	EXPECT_EQ(r.i2c_r(I2C_ENABLE_STATUS), 0u);
	EXPECT_EQ(r.read_reg(ADXL_DEVID), 0xE5);
}

TEST(I2cAddressing, AnUnansweredAddressAbortsTheWholeQueuedAccess)
{
	struct Case {
		const char *name;
		void (*fault)(Rig &);
		void (*mend)(Rig &);
		uint32_t source;
	} cases[] = {
		{"pins not routed", [](Rig &r) { r.setup_controller(); },
		 [](Rig &r) { r.route_pins(); }, I2C_ABRT_7B_ADDR_NOACK},
		{"one pin left general-purpose",
		 [](Rig &r) {
			 r.route_pins();
			 board_write32(r.b, SYSMGR_BASE + SYSMGR_SENSOR_PIN1, 0);
			 r.setup_controller();
		 },
		 [](Rig &r) { r.route_pins(); }, I2C_ABRT_7B_ADDR_NOACK},
		{"sensor disconnected",
		 [](Rig &r) {
			 r.bring_up();
			 sensor_set_connected(r.b, false);
		 },
		 [](Rig &r) { sensor_set_connected(r.b, true); }, I2C_ABRT_7B_ADDR_NOACK},
		{"wrong target address",
		 [](Rig &r) {
			 r.route_pins();
			 r.setup_controller(90, 160, 0x65, 0x1D);
		 },
		 [](Rig &r) { r.setup_controller(); }, I2C_ABRT_7B_ADDR_NOACK},
		{"10-bit addressing",
		 [](Rig &r) {
			 r.route_pins();
			 r.setup_controller(90, 160, 0x75);
		 },
		 [](Rig &r) { r.setup_controller(); }, I2C_ABRT_10ADDR1_NOACK},
		{"10-bit selector of the target register",
		 [](Rig &r) {
			 r.route_pins();
			 r.setup_controller(90, 160, 0x65, SENSOR_ADDRESS | I2C_TAR_10BIT_MASTER);
		 },
		 [](Rig &r) { r.setup_controller(); }, I2C_ABRT_10ADDR1_NOACK},
		{"general call",
		 [](Rig &r) {
			 r.route_pins();
			 r.setup_controller(90, 160, 0x65, I2C_TAR_SPECIAL);
		 },
		 [](Rig &r) { r.setup_controller(); }, I2C_ABRT_GCALL_NOACK},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		Rig r;
		c.fault(r);
		r.reg_write(ADXL_POWER_CTL, 0x08);
		r.cmd(WRITE_ADDR | ADXL_DEVID);
		r.cmd(READ);
		uint8_t v;
		EXPECT_FALSE(r.collect(&v, 1));
		EXPECT_EQ(r.b->i2c0.aborts, 1u);
		EXPECT_EQ(r.b->i2c0.bus_bytes, 1u); // the first address byte only
		EXPECT_EQ(r.i2c_r(I2C_TXFLR), 0u);
		EXPECT_EQ(r.b->sensor.reg_writes, 0u);
		EXPECT_EQ(r.i2c_r(I2C_TX_ABRT_SOURCE), c.source);
		EXPECT_EQ(r.i2c_r(I2C_RAW_INTR_STAT) & I2C_INTR_TX_ABRT, I2C_INTR_TX_ABRT);
		c.mend(r);
		r.i2c_r(I2C_CLR_TX_ABRT);
		EXPECT_EQ(r.read_reg(ADXL_DEVID), 0xE5);
	}
}

TEST(I2cAddressing, SensorLostMidAccessAbortsAtTheNextByte)
{
	Rig r;
	r.bring_up();
	r.cmd(WRITE_ADDR | ADXL_DATAX0);
	for (int i = 0; i < 6; i++)
		r.cmd(READ);
	board_advance(r.b, 4 * BYTE_NS_90_160 + 1); // first data byte in
	sensor_set_connected(r.b, false);
	r.settle();
	EXPECT_EQ(r.i2c_r(I2C_RXFLR), 0u) << "flushed by the abort";
	EXPECT_EQ(r.b->i2c0.aborts, 1u);
	EXPECT_EQ(r.b->sensor.burst_bytes, 1u);
	EXPECT_EQ(r.i2c_r(I2C_TX_ABRT_SOURCE), I2C_ABRT_TXDATA_NOACK);
}

TEST(I2cFraming, StopModeClosesTheAccessWhenTheQueueRunsEmpty)
{
	Rig r;
	board_set_i2c_queue_end(r.b, I2C_QUEUE_END_STOP);
	r.bring_up();
	// A stop ends the access: the next byte, sent without the restart
	// bit, opens a new one and is taken as a register address.
	r.cmd(WRITE_ADDR | ADXL_POWER_CTL);
	r.cmd(I2C_CMD_STOP | 0x08);
	r.cmd(ADXL_BW_RATE);
	r.cmd(0x0F);
	r.settle();
	EXPECT_EQ(r.b->i2c0.bus_bytes, 6u);
	ASSERT_EQ(r.b->sensor.reg_writes, 2u);
	EXPECT_EQ(r.b->sensor.write_reg[0], ADXL_POWER_CTL);
	EXPECT_EQ(r.b->sensor.write_reg[1], ADXL_BW_RATE);
	EXPECT_EQ(sensor_peek(r.b, ADXL_BW_RATE), 0x0F);

	// Back-to-back register writes are joined by repeated starts, each
	// sending the address again: 3 bytes each.
	board_clear_traces(r.b);
	r.reg_write(ADXL_OFSX, 1);
	r.reg_write(ADXL_OFSY, 2);
	r.settle();
	EXPECT_EQ(r.b->i2c0.bus_bytes, 6u);

	// The queue ran empty, so the access ended: a byte sent now without
	// the restart bit opens a new access and sets the pointer.
	r.reg_write(ADXL_OFSX, 1);
	r.settle();
	board_clear_traces(r.b);
	r.cmd(ADXL_OFSY);
	r.settle();
	EXPECT_EQ(r.b->sensor.reg_writes, 0u);
	EXPECT_EQ(r.b->i2c0.bus_bytes, 2u);
	EXPECT_EQ(r.i2c_r(I2C_ENABLE_STATUS), 1u);

	// A lone read word likewise opens an access and reads at the pointer.
	board_clear_traces(r.b);
	r.cmd(READ);
	uint8_t v;
	ASSERT_TRUE(r.collect(&v, 1));
	EXPECT_EQ(v, 0x02); // OFSY
	EXPECT_EQ(r.b->i2c0.bus_bytes, 2u);
	r.i2c_w(I2C_ENABLE, 0);
	board_advance(r.b, I2C_ENABLE_SETTLE_NS);
	EXPECT_EQ(r.i2c_r(I2C_ENABLE_STATUS), 0u) << "idle after the stop";
}

TEST(I2cFraming, HoldModeContinuesTheAccessWithTheNextWord)
{
	Rig r;
	r.bring_up();
	r.reg_write(ADXL_OFSX, 1);
	r.settle();
	board_advance(r.b, 1000000);
	EXPECT_TRUE(r.b->i2c0.in_access) << "the bus is held";
	// A bare data word goes to the next register of the same access.
	r.cmd(2);
	r.settle();
	EXPECT_EQ(r.b->i2c0.bus_bytes, 4u);
	EXPECT_EQ(sensor_peek(r.b, ADXL_OFSY), 2);
	// A read word turns the bus round with a repeated start and reads on.
	r.cmd(READ);
	uint8_t v;
	ASSERT_TRUE(r.collect(&v, 1));
	EXPECT_EQ(v, 0x00); // OFSZ
	EXPECT_EQ(r.b->i2c0.bus_bytes, 6u);
	// The restart bit opens a new access at any time.
	EXPECT_EQ(r.read_reg(ADXL_OFSX), 1);
}

} // namespace

namespace {

// The interrupt line as Linux's driver uses it: TX_EMPTY asks for words,
// RX_FULL announces bytes, STOP_DET ends the transfer; each clear register
// drops its bit.
TEST(I2cInterrupts, TheLineFollowsTheMaskedStatus)
{
	Rig r;
	r.bring_up();
	EXPECT_EQ(r.i2c_r(I2C_COMP_TYPE), I2C_COMP_TYPE_VALUE);
	r.i2c_w(I2C_INTR_MASK, 0);
	EXPECT_FALSE(i2c0_irq_level(r.b));
	r.i2c_w(I2C_INTR_MASK,
		I2C_INTR_TX_EMPTY | I2C_INTR_RX_FULL | I2C_INTR_STOP_DET | I2C_INTR_TX_ABRT);
	EXPECT_TRUE(i2c0_irq_level(r.b)) << "empty queue";
	r.i2c_w(I2C_INTR_MASK, I2C_INTR_RX_FULL | I2C_INTR_STOP_DET | I2C_INTR_TX_ABRT);
	r.cmd(WRITE_ADDR | ADXL_DEVID);
	r.cmd(READ | I2C_CMD_STOP);
	EXPECT_FALSE(i2c0_irq_level(r.b));
	uint64_t next = i2c0_next_event_ns(r.b);
	ASSERT_NE(next, UINT64_MAX);
	r.settle();
	EXPECT_EQ(r.i2c_r(I2C_INTR_STAT), I2C_INTR_RX_FULL | I2C_INTR_STOP_DET);
	EXPECT_TRUE(i2c0_irq_level(r.b));
	EXPECT_EQ(r.i2c_r(I2C_DATA_CMD), 0xE5u);
	EXPECT_EQ(r.i2c_r(I2C_CLR_STOP_DET), 1u);
	EXPECT_FALSE(i2c0_irq_level(r.b));
	EXPECT_EQ(r.i2c_r(I2C_STATUS) & I2C_STATUS_ACTIVITY, 0u) << "idle after the stop";
	// Stored counts below the minimum and a speed the part lacks are
	// corrected as they are stored.
	r.i2c_w(I2C_ENABLE, 0);
	r.wait_enabled(false);
	r.i2c_w(I2C_FS_HCNT, 1);
	r.i2c_w(I2C_FS_LCNT, 2);
	r.i2c_w(I2C_CON, 0x67);
	EXPECT_EQ(r.i2c_r(I2C_FS_HCNT), I2C_HCNT_MIN);
	EXPECT_EQ(r.i2c_r(I2C_FS_LCNT), I2C_LCNT_MIN);
	EXPECT_EQ(r.i2c_r(I2C_CON), 0x65u);
}

// Unaligned accesses fault; narrow ones are widened or refused as the board
// was built; each refusal is logged.
TEST(BoardBus, AccessesOfEveryWidthAsTheBoardIsBuilt)
{
	Rig r;
	uint32_t v;
	EXPECT_FALSE(board_load(r.b, I2C0_BASE + I2C_CLR_INTR + 1, 4, &v));
	EXPECT_FALSE(board_store(r.b, I2C0_BASE + I2C_TAR + 2, 4, 0));
	EXPECT_TRUE(board_load(r.b, I2C0_BASE + I2C_COMP_TYPE + 2, 2, &v));
	EXPECT_EQ(v, I2C_COMP_TYPE_VALUE >> 16);
	EXPECT_TRUE(board_store(r.b, I2C0_BASE + I2C_TAR, 1, SENSOR_ADDRESS));
	EXPECT_EQ(r.i2c_r(I2C_TAR), SENSOR_ADDRESS);
	board_set_narrow_access(r.b, NARROW_ERROR);
	EXPECT_FALSE(board_load(r.b, I2C0_BASE + I2C_COMP_TYPE, 1, &v));
	EXPECT_EQ(r.b->guest_errors, 3u);
}

} // namespace
