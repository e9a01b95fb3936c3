// SPDX-License-Identifier: GPL-2.0-or-later
// ADXL345 model through the bus: register map, output data rate, interrupt
// source bits, data format arithmetic and the sample source.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "rig.h"

using namespace rig;

namespace {

struct Sensor : ::testing::Test {
	Rig r;
	void SetUp() override
	{
		r.bring_up();
	}

	// Measurement starts when the POWER_CTL value byte completes.
	uint64_t start_measuring(uint8_t rate)
	{
		r.reg_write(ADXL_BW_RATE, rate);
		r.settle();
		r.cmd(WRITE_ADDR | ADXL_POWER_CTL);
		uint64_t t0 = r.b->now_ns;
		r.cmd(0x08);
		return t0 + 3 * BYTE_NS_90_160;
	}
};

TEST_F(Sensor, PowerOnRegisterValues)
{
	struct {
		uint8_t reg, value;
	} cases[] = {{0x00, 0xE5}, {0x2C, 0x0A}, {0x2D, 0x00}, {0x31, 0x00},
		     {0x30, 0x02}, {0x2E, 0x00}, {0x1E, 0x00}, {0x38, 0x00}};
	for (auto &c : cases)
		EXPECT_EQ(r.read_reg(c.reg), c.value) << std::hex << int(c.reg);
	uint8_t data[6] = {1, 1, 1, 1, 1, 1};
	ASSERT_TRUE(r.multi_read(ADXL_DATAX0, data, 6));
	for (uint8_t d : data)
		EXPECT_EQ(d, 0);
}

TEST_F(Sensor, ReadOnlyRegistersIgnoreWritesButTheBusDeliversThem)
{
	sensor_set_devid(r.b, 0x12);
	EXPECT_EQ(r.read_reg(ADXL_DEVID), 0x12);
	r.reg_write(ADXL_DEVID, 0x77);
	r.reg_write(ADXL_INT_SOURCE, 0xFF);
	r.reg_write(ADXL_DATAX0, 0x55);
	r.reg_write(0x10, 0x55); // reserved
	EXPECT_EQ(r.read_reg(ADXL_DEVID), 0x12);
	EXPECT_EQ(r.read_reg(ADXL_INT_SOURCE), 0x02);
	EXPECT_EQ(r.read_reg(ADXL_DATAX0), 0x00);
	EXPECT_EQ(r.read_reg(0x10), 0x00);
	ASSERT_EQ(r.b->sensor.reg_writes, 4u);
	EXPECT_EQ(r.b->sensor.write_reg[1], 0x30);
	EXPECT_EQ(r.b->sensor.write_val[1], 0xFF);
}

TEST_F(Sensor, PointerAdvancesThroughMultiByteAccessesPastTheMap)
{
	r.cmd(WRITE_ADDR | ADXL_OFSX);
	r.cmd(0x81);
	r.cmd(0x82);
	r.cmd(0x83);
	uint8_t got[3];
	ASSERT_TRUE(r.multi_read(ADXL_OFSX, got, 3));
	EXPECT_EQ(got[0], 0x81);
	EXPECT_EQ(got[1], 0x82);
	EXPECT_EQ(got[2], 0x83);
	// The address byte is eight bits: past the map, and in the reserved
	// range, registers read 0 and take no writes, each one logged.
	uint32_t errors = r.b->sensor.guest_errors;
	ASSERT_TRUE(r.multi_read(0xFE, got, 3));
	EXPECT_EQ(got[0], 0);
	EXPECT_EQ(got[1], 0);
	EXPECT_EQ(got[2], 0xE5) << "the pointer wraps at eight bits";
	EXPECT_EQ(r.read_reg(0x40 | ADXL_BW_RATE), 0);
	EXPECT_EQ(r.read_reg(ADXL_RESERVED_LAST), 0);
	r.reg_write(ADXL_RESERVED_FIRST, 0x55);
	r.settle();
	EXPECT_EQ(sensor_peek(r.b, ADXL_RESERVED_FIRST), 0);
	EXPECT_EQ(r.b->sensor.guest_errors, errors + 5);
}

TEST_F(Sensor, FirstSampleComesOnePeriodAfterEnteringMeasurement)
{
	struct {
		uint8_t rate;
		uint64_t period_ns;
	} cases[] = {{0x0A, 10000000}, {0x07, 80000000}, {0x0F, 312500}, {0x03, 1280000000}};
	for (auto &c : cases) {
		SCOPED_TRACE(int(c.rate));
		r.reg_write(ADXL_POWER_CTL, 0x00);
		r.xyz(); // clears DATA_READY of the previous case
		board_clear_traces(r.b);
		uint64_t t = start_measuring(c.rate);
		board_sync(r.b, t + c.period_ns - 1);
		EXPECT_EQ(r.b->sensor.samples, 0u);
		EXPECT_FALSE(sensor_peek(r.b, ADXL_INT_SOURCE) & 0x80);
		board_sync(r.b, t + c.period_ns);
		EXPECT_EQ(r.b->sensor.samples, 1u);
		EXPECT_TRUE(sensor_peek(r.b, ADXL_INT_SOURCE) & 0x80);
		board_sync(r.b, t + 10 * c.period_ns);
		EXPECT_EQ(r.b->sensor.samples, 10u);
	}
}

TEST_F(Sensor, StandbyOrAStallStopsOutputAndAnHourOfIdleIsCaughtUpAtOnce)
{
	uint64_t t = start_measuring(0x0F);
	board_sync(r.b, t + 3600ull * 1000000000ull);
	EXPECT_EQ(r.b->sensor.samples, 3600ull * 3200);
	r.reg_write(ADXL_POWER_CTL, 0x00);
	r.settle();
	uint64_t stopped = r.b->sensor.samples;
	board_advance(r.b, 1000000000);
	EXPECT_EQ(r.b->sensor.samples, stopped);

	// A stalled part measures nothing though set to, and once it works
	// again its next sample is a whole period away.
	sensor_set_stalled(r.b, true);
	r.reg_write(ADXL_POWER_CTL, 0x08);
	r.settle();
	board_advance(r.b, 1000000000);
	EXPECT_EQ(r.b->sensor.samples, stopped);
	EXPECT_EQ(sensor_peek(r.b, ADXL_POWER_CTL), 0x08);
	sensor_set_stalled(r.b, false);
	board_advance(r.b, 312499);
	EXPECT_EQ(r.b->sensor.samples, stopped);
	board_advance(r.b, 1);
	EXPECT_EQ(r.b->sensor.samples, stopped + 1);
}

TEST_F(Sensor, DataReadyIsSetByASampleAndClearedByReadingTheData)
{
	uint64_t t = start_measuring(0x0A);
	board_sync(r.b, t + 10000000);
	EXPECT_EQ(r.read_reg(ADXL_INT_SOURCE), 0x82);
	EXPECT_EQ(r.read_reg(ADXL_INT_SOURCE), 0x82);
	r.xyz();
	EXPECT_EQ(r.read_reg(ADXL_INT_SOURCE), 0x02);
	// Two samples unread: the second overran the first.
	board_advance(r.b, 20000000);
	EXPECT_EQ(r.read_reg(ADXL_INT_SOURCE), 0x83);
	EXPECT_EQ(r.b->sensor.data_bursts, 1u);
	r.xyz();
	EXPECT_EQ(r.read_reg(ADXL_INT_SOURCE), 0x02);
	EXPECT_EQ(r.b->sensor.data_bursts, 2u);
	EXPECT_EQ(r.b->sensor.burst_bytes, 6u);
	EXPECT_EQ(r.b->sensor.int_source_reads, 5u);
}

TEST_F(Sensor, ABurstIsNotTornByASampleArrivingDuringIt)
{
	r.measure(0x08, 0x0A);
	sensor_set_accel(r.b, 100, 200, 300);
	ASSERT_TRUE(r.wait_data_ready());
	// Start the burst so that the next sample falls between its first
	// and second data bytes, and change the input before that sample.
	board_sync(r.b, r.b->sensor.next_sample_ns - 4 * BYTE_NS_90_160 - 10000);
	r.cmd(WRITE_ADDR | ADXL_DATAX0);
	for (int i = 0; i < 6; i++)
		r.cmd(READ);
	board_advance(r.b, 4 * BYTE_NS_90_160);
	ASSERT_EQ(r.i2c_r(I2C_RXFLR), 1u);
	sensor_set_accel(r.b, -100, -200, -300);
	uint64_t before = r.b->sensor.samples;
	uint8_t d[6];
	ASSERT_TRUE(r.collect(d, 6));
	EXPECT_EQ(r.b->sensor.samples, before + 1);
	int16_t x = (int16_t)(d[0] | d[1] << 8), y = (int16_t)(d[2] | d[3] << 8),
		z = (int16_t)(d[4] | d[5] << 8);
	EXPECT_EQ(x, 26); // 100 mg at 3.9 mg per count
	EXPECT_EQ(y, 51);
	EXPECT_EQ(z, 77);
	// The new sample is waiting, flagged, for the next burst.
	EXPECT_TRUE(r.read_reg(ADXL_INT_SOURCE) & 0x80);
	auto v = r.xyz();
	EXPECT_EQ(v[0], -26);
	EXPECT_EQ(v[2], -77);
}

struct FormatCase {
	uint8_t format;
	int8_t offset;
	int32_t mg;
	int16_t counts;
};

TEST_F(Sensor, CountsFollowRangeResolutionJustificationOffsetAndSaturation)
{
	const FormatCase cases[] = {
		// 10-bit: range * 2 / 1024 g per count
		{0x00, 0, 1000, 256},
		{0x00, 0, -1000, -256},
		{0x01, 0, 1000, 128},
		{0x02, 0, 1000, 64},
		{0x03, 0, 1000, 32},
		// full resolution: 256 counts per g at every range
		{0x08, 0, 1000, 256},
		{0x0B, 0, 1000, 256},
		{0x0B, 0, -1000, -256},
		// rounding to nearest, 31.25 mg per count
		{0x03, 0, 15, 0},
		{0x03, 0, 16, 1},
		{0x03, 0, -16, -1},
		// saturation at the format's limits
		{0x00, 0, 3000, 511},
		{0x00, 0, -3000, -512},
		{0x03, 0, 20000, 511},
		{0x08, 0, 3000, 511},
		{0x09, 0, 5000, 1023},
		{0x0B, 0, 20000, 4095},
		{0x0B, 0, -20000, -4096},
		// left-justified: most significant bit at bit 15
		{0x04, 0, 1000, 16384},
		{0x04, 0, -1000, -16384},
		{0x0F, 0, 1000, 2048},
		// offsets, 15.6 mg per offset count
		{0x08, 10, 0, 40},
		{0x08, -64, 1000, 0},
		{0x00, 1, 0, 4},
		{0x03, 2, 0, 1},
		{0x03, -128, 0, -64},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(testing::Message()
			     << "format " << std::hex << int(c.format) << std::dec << " offset "
			     << int(c.offset) << " mg " << c.mg);
		r.reg_write(ADXL_OFSX, (uint8_t)c.offset);
		r.reg_write(ADXL_OFSY, (uint8_t)c.offset);
		r.reg_write(ADXL_OFSZ, (uint8_t)c.offset);
		sensor_set_accel(r.b, c.mg, c.mg, c.mg);
		r.measure(c.format, 0x0D);
		r.xyz(); // drop the sample taken before the change
		ASSERT_TRUE(r.wait_data_ready());
		auto v = r.xyz();
		EXPECT_EQ(v[0], c.counts);
		EXPECT_EQ(v[1], c.counts);
		EXPECT_EQ(v[2], c.counts);
	}
}

TEST_F(Sensor, AWaitingSampleOutlivesStandbyAndAFormatChange)
{
	// The datasheet does not say that either clears DATA_READY.
	r.measure(0x00, 0x0A);
	ASSERT_TRUE(r.wait_data_ready());
	r.measure(0x03, 0x0A);
	EXPECT_EQ(r.read_reg(ADXL_INT_SOURCE) & ADXL_INT_DATA_READY, ADXL_INT_DATA_READY);
	EXPECT_EQ(r.xyz()[2], 256) << "the sample of the format before";
	ASSERT_TRUE(r.wait_data_ready());
	EXPECT_EQ(r.xyz()[2], 32);
}

TEST_F(Sensor, SelfTestShiftsEachAxisWithinTheDatasheetChange)
{
	// Output change in counts, datasheet Tables 14 and 15 (2.5 V): at
	// full resolution X 50 to 540, Y -540 to -50, Z 75 to 875; at 16 g
	// and 10 bits X 6 to 67, Y -67 to -6, Z 10 to 110.
	struct {
		uint8_t format;
		int low[3], high[3];
	} cases[] = {{ADXL_FORMAT_FULL_RES | 3, {50, -540, 75}, {540, -50, 875}},
		     {3, {6, -67, 10}, {67, -6, 110}}};
	for (auto &c : cases) {
		SCOPED_TRACE(int(c.format));
		r.measure(c.format, 0x0A);
		r.xyz();
		ASSERT_TRUE(r.wait_data_ready());
		auto off = r.xyz();
		r.measure(c.format | ADXL_FORMAT_SELF_TEST, 0x0A);
		r.xyz();
		ASSERT_TRUE(r.wait_data_ready());
		auto on = r.xyz();
		for (int k = 0; k < 3; k++) {
			EXPECT_GE(on[k] - off[k], c.low[k]) << k;
			EXPECT_LE(on[k] - off[k], c.high[k]) << k;
		}
	}
}

std::vector<int16_t> noisy_z(Rig &r, int n)
{
	std::vector<int16_t> z;
	sensor_set_noise(r.b, 50);
	r.measure(0x08, 0x0D);
	for (int i = 0; i < n; i++) {
		EXPECT_TRUE(r.wait_data_ready());
		z.push_back(r.xyz()[2]);
	}
	return z;
}

TEST(SensorSource, NoiseIsBoundedVariedAndRepeatable)
{
	Rig a, b;
	a.bring_up();
	b.bring_up();
	auto za = noisy_z(a, 200);
	auto zb = noisy_z(b, 200);
	EXPECT_EQ(za, zb);
	std::set<int16_t> distinct(za.begin(), za.end());
	EXPECT_GT(distinct.size(), 15u);
	long sum = 0;
	for (int16_t z : za) {
		EXPECT_GE(z, 243); // (1000 - 50) mg / 3.90625
		EXPECT_LE(z, 269);
		sum += z;
	}
	EXPECT_NEAR(sum / 200.0, 256, 3);

	Rig c;
	c.bring_up();
	c.b->sensor.noise_state ^= 1;
	EXPECT_NE(noisy_z(c, 200), za);
}

TEST(SensorSource, ARealisticPartStaysWithinTheDatasheetSpread)
{
	std::set<int16_t> z_seen;
	for (uint32_t seed : {1u, 2u, 3u, 4u, 0u}) {
		SCOPED_TRACE(seed);
		Rig r;
		r.bring_up();
		sensor_set_realistic(r.b, seed);
		sensor_set_accel(r.b, 0, 0, 1000);
		r.measure(ADXL_FORMAT_FULL_RES | 3, 0x0A);
		ASSERT_TRUE(r.wait_data_ready());
		auto v = r.xyz();
		// 230 to 282 counts per g, zero-g output within 150 mg on X and
		// Y and 250 mg on Z (3.9 mg per count), noise of 4 mg.
		EXPECT_LE(std::abs(v[0]), 40);
		EXPECT_LE(std::abs(v[1]), 40);
		EXPECT_GE(v[2], 230 - 65);
		EXPECT_LE(v[2], 282 + 65);
		if (seed == 0) {
			EXPECT_EQ(v[2], 256) << "the ideal part again";
		}
		z_seen.insert(v[2]);
	}
	EXPECT_GE(z_seen.size(), 4u) << "parts differ";
}

TEST(SensorSource, BiasAddsToTheTrueAcceleration)
{
	Rig r;
	r.bring_up();
	sensor_set_accel(r.b, 0, -500, 1000);
	sensor_set_bias(r.b, 40, 40, -100);
	r.measure(0x08, 0x0A);
	ASSERT_TRUE(r.wait_data_ready());
	auto v = r.xyz();
	EXPECT_EQ(v[0], 10);   // 40 mg
	EXPECT_EQ(v[1], -118); // -460 mg
	EXPECT_EQ(v[2], 230);  // 900 mg
}

struct Taps : Sensor {
	void SetUp() override
	{
		Sensor::SetUp();
		const uint8_t setup[][2] = {
			{0x1D, 0x30}, {0x21, 0x20}, {0x22, 0x10}, {0x23, 0xFF}, {0x2A, 0x07}};
		for (auto &s : setup)
			r.reg_write(s[0], s[1]);
	}
	int taps_after(uint8_t int_enable, bool double_tap)
	{
		r.reg_write(ADXL_INT_ENABLE, int_enable);
		r.reg_write(ADXL_POWER_CTL, 0x08);
		r.settle();
		sensor_tap(r.b, double_tap);
		return r.read_reg(ADXL_INT_SOURCE) & 0x60;
	}
};

TEST_F(Taps, LatchedWhenEnabledAndClearedByReadingIntSource)
{
	EXPECT_EQ(taps_after(0x60, false), 0x40);
	EXPECT_EQ(r.read_reg(ADXL_INT_SOURCE) & 0x60, 0);
	EXPECT_EQ(taps_after(0x60, true), 0x60);
	EXPECT_EQ(r.read_reg(ADXL_INT_SOURCE) & 0x60, 0);
	EXPECT_EQ(taps_after(0x40, true), 0x40);
	EXPECT_EQ(taps_after(0x20, true), 0x20);
	EXPECT_EQ(taps_after(0x00, true), 0x00);
	EXPECT_EQ(taps_after(0x80, true), 0x00);
}

TEST_F(Taps, ThresholdAxesDurationLatencyAndWindowDecide)
{
	r.reg_write(ADXL_INT_ENABLE, ADXL_INT_SINGLE_TAP | ADXL_INT_DOUBLE_TAP);
	r.reg_write(ADXL_TAP_AXES, ADXL_TAP_X | ADXL_TAP_Z);
	r.reg_write(ADXL_POWER_CTL, 0x08);
	r.settle();
	// Set up as the driver does: 3 g, 20 ms, 20 ms, 318.75 ms.
	const int SINGLE = ADXL_INT_SINGLE_TAP, BOTH = ADXL_INT_SINGLE_TAP | ADXL_INT_DOUBLE_TAP;
	struct {
		const char *what;
		SensorTap tap;
		int events, status;
	} cases[] = {
		{"at the threshold: no tap", {ADXL_TAP_Z, 3000, 1000, false, 0}, 0, 0},
		{"just above it", {ADXL_TAP_Z, 3063, 1000, false, 0}, SINGLE, ADXL_TAP_Z},
		{"negative", {ADXL_TAP_X, -3100, 1000, false, 0}, SINGLE, ADXL_TAP_X},
		{"on an axis left out", {ADXL_TAP_Y, 8000, 1000, true, 50000}, 0, 0},
		{"several axes",
		 {ADXL_TAP_X | ADXL_TAP_Y | ADXL_TAP_Z, 8000, 1000, false, 0},
		 SINGLE,
		 ADXL_TAP_X | ADXL_TAP_Z},
		{"as long as DUR: no tap", {ADXL_TAP_Z, 8000, 20000, false, 0}, 0, 0},
		{"second within the latency",
		 {ADXL_TAP_Z, 8000, 1000, true, 20000},
		 SINGLE,
		 ADXL_TAP_Z},
		{"second in the window", {ADXL_TAP_Z, 8000, 1000, true, 20001}, BOTH, ADXL_TAP_Z},
		{"window's end", {ADXL_TAP_Z, 8000, 1000, true, 338750}, BOTH, ADXL_TAP_Z},
		{"after it", {ADXL_TAP_Z, 8000, 1000, true, 338751}, SINGLE, ADXL_TAP_Z},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		r.b->sensor.regs[ADXL_ACT_TAP_STATUS] = 0;
		sensor_tap_event(r.b, c.tap);
		EXPECT_EQ(r.read_reg(ADXL_INT_SOURCE) & BOTH, c.events);
		EXPECT_EQ(r.read_reg(ADXL_ACT_TAP_STATUS), c.status);
	}
}

TEST_F(Taps, NotDetectedInStandbyOrWhenTheDatasheetDisablesThem)
{
	r.reg_write(ADXL_INT_ENABLE, 0x60);
	r.settle();
	sensor_tap(r.b, true);
	EXPECT_EQ(r.read_reg(ADXL_INT_SOURCE) & 0x60, 0); // standby

	r.reg_write(ADXL_WINDOW, 0);
	EXPECT_EQ(taps_after(0x60, true), 0x40); // no double-tap window
	r.reg_write(ADXL_DUR, 0);
	EXPECT_EQ(taps_after(0x60, true), 0x00);
	r.reg_write(ADXL_DUR, 0x20);
	r.reg_write(ADXL_TAP_AXES, 0);
	EXPECT_EQ(taps_after(0x60, false), 0x00);
}

} // namespace

namespace {

// Stream mode, as Linux's input driver sets it up: samples queue, DATA_READY
// and the watermark follow the queue, INT1 carries what INT_MAP leaves on
// it, and a burst pops one level.
TEST_F(Sensor, StreamFifoQueuesSamplesAndDrivesTheInterruptPins)
{
	r.reg_write(ADXL_INT_ENABLE, ADXL_INT_DATA_READY | ADXL_INT_WATERMARK);
	r.reg_write(ADXL_INT_MAP, ADXL_INT_WATERMARK);
	r.reg_write(ADXL_FIFO_CTL, ADXL_FIFO_STREAM << ADXL_FIFO_MODE_SHIFT | 4);
	r.measure(0x08, 0x0D); // 800 Hz
	EXPECT_FALSE(sensor_int_pin(r.b, 1));
	board_advance(r.b, 4 * 1250000 + 1000);
	EXPECT_EQ(r.read_reg(ADXL_FIFO_STATUS), 3) << "four samples, one in the data registers";
	EXPECT_TRUE(sensor_int_pin(r.b, 1)) << "DATA_READY on INT1";
	EXPECT_TRUE(sensor_int_pin(r.b, 2)) << "watermark of four met, mapped to INT2";
	r.xyz();
	EXPECT_EQ(r.read_reg(ADXL_FIFO_STATUS), 2);
	EXPECT_FALSE(sensor_int_pin(r.b, 2)) << "below the watermark";
	board_advance(r.b, 100 * 1250000);
	EXPECT_EQ(r.read_reg(ADXL_FIFO_STATUS), 32) << "full: the oldest dropped";
	EXPECT_EQ(r.read_reg(ADXL_INT_SOURCE) & ADXL_INT_OVERRUN, ADXL_INT_OVERRUN);
	r.reg_write(ADXL_DATA_FORMAT, 0x08 | ADXL_FORMAT_INT_INVERT);
	r.settle();
	EXPECT_FALSE(sensor_int_pin(r.b, 1)) << "active low";
	r.reg_write(ADXL_POWER_CTL, 0); // no more samples while draining
	for (int i = 0; i < 33; i++)
		r.xyz();
	EXPECT_EQ(r.read_reg(ADXL_INT_SOURCE) & ADXL_INT_DATA_READY, 0);
}

// A source of motion in place of a set acceleration: a new acceleration
// every 7 ms of board time, and the times it was asked at.
struct Motion : Sensor {
	static std::vector<uint64_t> asked;
	static bool giving;
	static int32_t step(uint64_t at_ns)
	{
		return (int32_t)(at_ns / 7000000);
	}
	static bool source(uint64_t at_ns, int32_t mg[3])
	{
		asked.push_back(at_ns);
		mg[0] = 40 * step(at_ns) - 2000;
		mg[1] = -13 * step(at_ns);
		mg[2] = 1000;
		return giving;
	}
	void SetUp() override
	{
		Sensor::SetUp();
		asked.clear();
		giving = true;
	}
	void TearDown() override
	{
		motion_hook = nullptr;
	}
};
std::vector<uint64_t> Motion::asked;
bool Motion::giving;

// Each sample takes the source's acceleration at its own time, whenever it
// is read, with the bias on top; without one, the set acceleration again.
TEST_F(Motion, EachSampleTakesTheSourceAtItsOwnTimeWithTheBiasOnTop)
{
	r.reg_write(ADXL_FIFO_CTL, ADXL_FIFO_FIFO << ADXL_FIFO_MODE_SHIFT);
	sensor_set_bias(r.b, 0, 100, 0);
	motion_hook = source;
	uint64_t first = start_measuring(0x0A) + 10000000; // 100 Hz
	board_sync(r.b, first + 19 * 10000000);
	ASSERT_EQ(asked.size(), 20u);
	for (unsigned i = 0; i < 20; i++) {
		EXPECT_EQ(asked[i], first + i * 10000000) << i;
		auto v = r.xyz(); // 3.90625 mg per count at full resolution
		EXPECT_EQ(v[0], (int)std::lround((40 * step(asked[i]) - 2000) / 3.90625)) << i;
		EXPECT_EQ(v[1], (int)std::lround((-13 * step(asked[i]) + 100) / 3.90625)) << i;
		EXPECT_EQ(v[2], 256) << i;
	}
	int32_t latest = 40 * step(asked.back()) - 2000;
	EXPECT_EQ(r.b->sensor.accel_mg[0], latest) << "the sensor keeps the latest";
	giving = false;
	board_advance(r.b, 10000000);
	EXPECT_EQ(r.xyz()[0], (int)std::lround(latest / 3.90625)) << "the latest stays";
	motion_hook = nullptr;
	sensor_set_accel(r.b, 0, 0, 1000);
	board_advance(r.b, 10000000);
	EXPECT_EQ(r.xyz()[0], 0) << "a set acceleration, once the source is gone";
}

// Self-test only where the datasheet gives it; the LSB always 0 at 1600
// and 3200 Hz in full resolution.
TEST_F(Sensor, SelfTestAndUpperRateLsbFollowTheDatasheetConditions)
{
	struct {
		uint8_t rate;
		bool shifted;
	} cases[] = {{0x0A, true},
		     {0x0F, true},
		     {0x0E, false},
		     {0x09, false},
		     {0x0A | ADXL_BW_RATE_LOW_POWER, false}};
	sensor_set_accel(r.b, 0, 0, 1000);
	for (auto &c : cases) {
		SCOPED_TRACE(c.rate);
		r.measure(0x08 | ADXL_FORMAT_SELF_TEST, c.rate);
		r.xyz();
		ASSERT_TRUE(r.wait_data_ready());
		auto v = r.xyz();
		EXPECT_EQ(v[0] != 0, c.shifted);
		if ((c.rate & ADXL_BW_RATE_CODE_MASK) >= ADXL_RATE_1600HZ) {
			for (int k = 0; k < 3; k++)
				EXPECT_EQ(v[k] & 1, 0);
		}
	}
}

} // namespace
