// I2C controller 0: byte timing, queues, enable and abort, addressing.
#include <gtest/gtest.h>

#include "rig.h"

using namespace rig;

namespace
{

TEST(I2cTiming, ByteTakesNineBitTimesOfTheProgrammedCounts)
{
	struct {
		uint32_t hcnt, lcnt;
		uint64_t byte_ns;
	} cases[] = {{90, 160, 22500}, {40, 60, 9000}, {300, 500, 72000}};
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
	board_sync(r.b, t0 + 2 * 90000 - 1);
	EXPECT_EQ(r.b->i2c0.bus_bytes, 0u);
	board_sync(r.b, t0 + 2 * 90000);
	EXPECT_EQ(r.b->i2c0.bus_bytes, 2u);
}

TEST(I2cQueues, TransmitQueueHoldsSixtyFourWordsBehindTheOneOnTheWire)
{
	Rig r;
	r.bring_up();
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
		EXPECT_EQ(r.b->sensor.write_reg[i], (0x1D + i) & 0x3F);
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

TEST(I2cEnable, DisableFlushesBothQueuesAndEndsTheTransfer)
{
	Rig r;
	r.bring_up();
	r.cmd(WRITE_ADDR | ADXL_DEVID);
	r.cmd(READ);
	r.settle();
	ASSERT_EQ(r.i2c_r(I2C_RXFLR), 1u);
	r.reg_write(ADXL_POWER_CTL, 0x08);
	r.reg_write(ADXL_BW_RATE, 0x0F);
	uint32_t bytes = r.b->i2c0.bus_bytes;
	r.i2c_w(I2C_ENABLE, 0);
	EXPECT_EQ(r.i2c_r(I2C_ENABLE_STATUS), 0u);
	EXPECT_EQ(r.i2c_r(I2C_TXFLR), 0u);
	EXPECT_EQ(r.i2c_r(I2C_RXFLR), 0u);
	r.cmd(WRITE_ADDR | ADXL_POWER_CTL);
	EXPECT_EQ(r.i2c_r(I2C_TXFLR), 0u);
	EXPECT_EQ(r.b->i2c0.tx_ignored, 1u);
	board_advance(r.b, 1000000);
	EXPECT_EQ(r.b->i2c0.bus_bytes, bytes);
	EXPECT_EQ(r.b->sensor.reg_writes, 0u);
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

TEST(I2cEnable, AbortFlushesTheQueueAndLeavesTheControllerAsWritten)
{
	Rig r;
	r.bring_up();
	r.cmd(WRITE_ADDR | ADXL_THRESH_TAP);
	for (int i = 0; i < 10; i++)
		r.cmd(i + 1);
	r.i2c_w(I2C_ENABLE, 3); // abort, stay enabled
	EXPECT_EQ(r.i2c_r(I2C_TXFLR), 0u);
	EXPECT_EQ(r.i2c_r(I2C_ENABLE), 1u);
	EXPECT_EQ(r.i2c_r(I2C_ENABLE_STATUS), 1u);
	EXPECT_EQ(r.b->i2c0.user_aborts, 1u);
	r.settle();
	EXPECT_EQ(r.b->sensor.reg_writes, 0u);
	// The next words start a fresh access.
	r.reg_write(ADXL_POWER_CTL, 0x08);
	r.settle();
	EXPECT_EQ(sensor_peek(r.b, ADXL_POWER_CTL), 0x08);

	r.cmd(WRITE_ADDR | ADXL_BW_RATE);
	r.i2c_w(I2C_ENABLE, 2); // abort and disable
	EXPECT_EQ(r.i2c_r(I2C_ENABLE_STATUS), 0u);
	EXPECT_EQ(r.b->i2c0.user_aborts, 2u);
}

TEST(I2cEnable, StatusFaultsOnlyAffectTheStatusRegister)
{
	Rig r;
	r.route_pins();
	r.b->i2c0.stuck_enabled = true;
	r.setup_controller();
	r.i2c_w(I2C_ENABLE, 0);
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
	} cases[] = {
		{"pins not routed", [](Rig &r) { r.setup_controller(); },
		 [](Rig &r) { r.route_pins(); }},
		{"one pin left general-purpose",
		 [](Rig &r) {
			 r.route_pins();
			 board_write32(r.b, SYSMGR_BASE + SYSMGR_SENSOR_PIN1, 0);
			 r.setup_controller();
		 },
		 [](Rig &r) { r.route_pins(); }},
		{"sensor disconnected",
		 [](Rig &r) {
			 r.bring_up();
			 sensor_set_connected(r.b, false);
		 },
		 [](Rig &r) { sensor_set_connected(r.b, true); }},
		{"wrong target address",
		 [](Rig &r) {
			 r.route_pins();
			 r.setup_controller(90, 160, 0x65, 0x1D);
		 },
		 [](Rig &r) { r.setup_controller(); }},
		{"10-bit addressing",
		 [](Rig &r) {
			 r.route_pins();
			 r.setup_controller(90, 160, 0x75);
		 },
		 [](Rig &r) { r.setup_controller(); }},
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
		c.mend(r);
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
	EXPECT_EQ(r.i2c_r(I2C_RXFLR), 1u);
	EXPECT_EQ(r.b->i2c0.aborts, 1u);
}

TEST(I2cFraming, AccessesOpenWithAStartAndCloseWhenTheQueueRunsEmpty)
{
	Rig r;
	r.bring_up();
	// A stop ends the access: the next byte, sent without the restart
	// bit, opens a new one and is taken as a register address.
	r.cmd(WRITE_ADDR | ADXL_POWER_CTL);
	r.cmd(0x200 | 0x08);
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

	// A lone read word likewise opens an access and reads at the pointer.
	board_clear_traces(r.b);
	r.cmd(READ);
	uint8_t v;
	ASSERT_TRUE(r.collect(&v, 1));
	EXPECT_EQ(v, 0x02); // OFSY
	EXPECT_EQ(r.b->i2c0.bus_bytes, 2u);
}

} // namespace
