// SPDX-License-Identifier: GPL-2.0-or-later
// Offset calibration through the "calibrate" command, against a sensor model
// with a known bias: the offsets programmed, the residual read back through
// /dev/accel, what it keeps, how it ends when the sensor fails.
#include "accel_fixture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "writer.h"

namespace {

using namespace models;

#ifndef ACCEL_VARIANT_BASIC

struct Counts {
	int x, y, z, mg;
};

class Calibration : public WriterTest {
protected:
	static void set_bias(int x, int y, int z, int noise = 0)
	{
		sim::with_board([=](models::Board &b) {
			models::sensor_set_bias(&b, x, y, z);
			models::sensor_set_noise(&b, noise);
		});
	}

	// Runs the command and checks what every calibration must do: 64
	// samples at 100 Hz, the configuration changed in standby only (as in
	// every write), the rate, the format and the scale as they were.
	ssize_t calibrate()
	{
		uint8_t bw = sensor_reg(ADXL_BW_RATE), format = sensor_reg(ADXL_DATA_FORMAT);
		int mg = mg_per_LSB;
		uint64_t board_start = sim::board().now_ns;
		auto start = std::chrono::steady_clock::now();
		ssize_t n = write_text("calibrate");
		wall_ms_ = std::chrono::duration<double, std::milli>(
				   std::chrono::steady_clock::now() - start)
				   .count();
		board_ms_ = (sim::board().now_ns - board_start) / 1e6;
		EXPECT_EQ(n, 9);
		// A sample waiting from before is dropped, then 64 averaged.
		EXPECT_EQ(sim::board().sensor.data_bursts, 65u);
		EXPECT_GE(board_ms_, 630) << "64 samples at 100 Hz";
		EXPECT_NE(std::find(writes_.begin(), writes_.end(), RegWrite{ADXL_BW_RATE, 0x0A}),
			  writes_.end())
			<< "sampled at 100 Hz";
		EXPECT_EQ(sensor_reg(ADXL_BW_RATE), bw);
		EXPECT_EQ(sensor_reg(ADXL_DATA_FORMAT), format);
		EXPECT_EQ(mg_per_LSB, mg);
		EXPECT_EQ(log_texts(), std::vector<std::string>{});
		return n;
	}

	static std::vector<int> offsets()
	{
		return {sensor_reg(ADXL_OFSX), sensor_reg(ADXL_OFSY), sensor_reg(ADXL_OFSZ)};
	}

	// Counts and scale of the record of a fresh sample.
	Counts read_counts()
	{
		advance_ms(81); // one output period at 12.5 Hz
		std::istringstream record(read_record());
		std::string first;
		Counts c = {0, 0, 0, 0};
		record >> first >> c.x >> c.y >> c.z >> c.mg;
		return c;
	}

	double wall_ms_ = 0, board_ms_ = 0;
};

const char *const FORMATS[] = {"format 0 2", "format 0 4", "format 0 8", "format 0 16",
			       "format 1 2", "format 1 4", "format 1 8", "format 1 16"};

// X and Y read 0, Z reads 1 g, each within one offset LSB (15.6 mg), in
// milli-g as the record gives them (count times scale).
void expect_residual_within_one_offset_lsb(const Counts &c)
{
	EXPECT_LE(std::abs(c.x * c.mg), 15.6) << c.x << " counts";
	EXPECT_LE(std::abs(c.y * c.mg), 15.6) << c.y << " counts";
	EXPECT_LE(std::abs(c.z * c.mg - 1000), 15.6) << c.z << " counts";
}

TEST_F(Calibration, CancelsAKnownBiasInEveryFormat)
{
	// Bias of +100, -70 and +55 mg. Offset register values by scale:
	//   4 mg (10 bits at 2 g, full resolution): means 26, -18, 270 -> -7, 5, -5
	//   8 mg: means 13, -9, 135 -> -7, 5, -5
	//  16 mg: means 6, -4, 68 -> -6, 4, -5
	//  31 mg: means 3, -2, 34 -> -6, 4, -4
	const std::vector<int> expected[] = {
		{0xF9, 0x05, 0xFB}, {0xF9, 0x05, 0xFB}, {0xFA, 0x04, 0xFB}, {0xFA, 0x04, 0xFC},
		{0xF9, 0x05, 0xFB}, {0xF9, 0x05, 0xFB}, {0xF9, 0x05, 0xFB}, {0xF9, 0x05, 0xFB},
	};
	for (size_t f = 0; f < 8; f++) {
		SCOPED_TRACE(FORMATS[f]);
		set_bias(0, 0, 0);
		ASSERT_EQ(write_text(FORMATS[f]), (ssize_t)strlen(FORMATS[f]));
		set_bias(100, -70, 55);
		Counts before = read_counts();
		EXPECT_GT(std::abs(before.x * before.mg), 50);

		calibrate();
		EXPECT_EQ(offsets(), expected[f]);
		for (int n = 0; n < 3; n++)
			expect_residual_within_one_offset_lsb(read_counts());
	}
	printf("calibration: %.0f ms wall for %.0f ms of board time\n", wall_ms_, board_ms_);
	RecordProperty("calibration_wall_ms", std::to_string(wall_ms_));
}

TEST_F(Calibration, RightAfterAFormatChangeAveragesOnlyNewSamples)
{
	ASSERT_EQ(write_text("format 1 16"), 11);
	set_bias(100, -70, 55);
	advance_ms(81); // a full-resolution sample waits, unread
	ASSERT_EQ(write_text("format 0 16"), 11);
	calibrate();
	EXPECT_EQ(offsets(), (std::vector<int>{0xFA, 0x04, 0xFC})); // as at 31 mg above
	expect_residual_within_one_offset_lsb(read_counts());
}

TEST_F(Calibration, NoisySensorIsLeftWithinOneOffsetLsb)
{
	const int biases[][3] = {{-140, 35, -80}, {45, 190, 120}, {0, 0, 0}};
	for (const char *format : FORMATS) {
		for (const auto &bias : biases) {
			SCOPED_TRACE(std::string(format) + " bias " + std::to_string(bias[0]) +
				     " " + std::to_string(bias[1]) + " " + std::to_string(bias[2]));
			ASSERT_EQ(write_text(format), (ssize_t)strlen(format));
			set_bias(bias[0], bias[1], bias[2], 6);
			calibrate();
			set_bias(bias[0], bias[1], bias[2], 0);
			expect_residual_within_one_offset_lsb(read_counts());
		}
	}
}

struct ArithmeticCase {
	const char *format;
	int bias[3];	// mg, giving these means:
	int means[3];	// counts
	int forced_mg;	// scale the driver is made to believe, 0: the format's
	int offsets[3]; // register values
};

TEST_F(Calibration, RoundsAndScalesAsDocumented)
{
	const ArithmeticCase cases[] = {
		{"format 0 16", {94, -62, -62}, {3, -2, 30}, 0, {0xFA, 4, 4}},
		{"format 0 8", {78, -78, -62}, {5, -5, 60}, 0, {0xFB, 5, 3}},
		{"format 0 4", {23, -23, 16}, {3, -3, 130}, 0, {0xFE, 2, 0xFD}},
		{"format 0 2", {39, -23, 23}, {10, -6, 262}, 0, {0xFD, 2, 0xFD}},
		// Halves go away from zero.
		{"format 0 2", {8, -8, -16}, {2, -2, 252}, 0, {0xFF, 1, 0xFF}},
		// -200 offset LSBs: only the low byte is written.
		{"format 0 16", {3125, 0, 0}, {100, 0, 32}, 0, {0x38, 0, 0}},
		// 15 mg: fine branch with divisor 1, one g is 67 counts;
		// 16 mg: coarse branch with multiplier 1, one g is 63 counts.
		{"format 0 16", {94, -62, -62}, {3, -2, 30}, 15, {0xFD, 2, 37}},
		{"format 0 16", {94, -62, -62}, {3, -2, 30}, 16, {0xFD, 2, 33}},
		// The largest scale the arithmetic takes: 137659 offset LSBs per
		// count, one g is 0 counts.
		{"format 0 16", {0, 0, 0}, {0, 0, 32}, ACCEL_CALIBRATION_MG_MAX, {0, 0, 0xA0}},
	};
	for (const ArithmeticCase &c : cases) {
		SCOPED_TRACE(std::string(c.format) + " means " + std::to_string(c.means[0]) + " " +
			     std::to_string(c.means[1]) + " " + std::to_string(c.means[2]));
		set_bias(0, 0, 0);
		ASSERT_EQ(write_text(c.format), (ssize_t)strlen(c.format));
		set_bias(c.bias[0], c.bias[1], c.bias[2]);
		Counts means = read_counts();
		ASSERT_EQ((std::vector<int>{means.x, means.y, means.z}),
			  (std::vector<int>{c.means[0], c.means[1], c.means[2]}));
		if (c.forced_mg)
			mg_per_LSB = c.forced_mg;
		calibrate();
		EXPECT_EQ(offsets(), (std::vector<int>{c.offsets[0], c.offsets[1], c.offsets[2]}));
	}
}

TEST(CalibrationArithmetic, RoundedQuotient)
{
	const int32_t cases[][3] = {
		// Means of 64 samples.
		{31, 64, 0},
		{32, 64, 1},
		{95, 64, 1},
		{96, 64, 2},
		{-31, 64, 0},
		{-32, 64, -1},
		{-95, 64, -1},
		{-96, 64, -2},
		{0, 64, 0},
		// One g in counts, scales.
		{1000, 4, 250},
		{1000, 8, 125},
		{1000, 16, 63},
		{1000, 31, 32},
		{1000, 15, 67},
		{15600, 4000, 4},
		{15600, 8000, 2},
		{16000, 15600, 1},
		{31000, 15600, 2},
		{15600, 15000, 1},
		{15600, 1000, 16},
		// Odd divisors have no halves.
		{15, 31, 0},
		{16, 31, 1},
		{-16, 31, -1},
		// No overflow at the ends of the range.
		{INT32_MAX, 2, 1073741824},
		{INT32_MIN + 1, 2, -1073741824},
		{INT32_MAX, 64, 33554432},
		{INT32_MIN, 64, -33554432},
		{INT32_MAX, INT32_MAX, 1},
		{INT32_MIN, INT32_MAX, -1},
		{7, 1, 7},
	};
	for (const auto &c : cases)
		EXPECT_EQ(rounded_quotient(c[0], c[1]), c[2]) << c[0] << " / " << c[1];
}

TEST(CalibrationArithmetic, OffsetsAtTheEndsOfTheScaleDomain)
{
	uint8_t offset[3];
	// 1 mg: fine branch, 16 counts per offset LSB, one g is 1000 counts;
	// 2.5, -1.5 and 0.5 offset LSBs round away from zero.
	calibration_offsets(40, -24, 1000 + 8, 1, offset);
	EXPECT_EQ((std::vector<int>{offset[0], offset[1], offset[2]}),
		  (std::vector<int>{0xFD, 0x02, 0xFF}));
	// Corrections far beyond 32 bits keep their low byte.
	calibration_offsets(100, -100, 30000, ACCEL_CALIBRATION_MG_MAX, offset);
	EXPECT_EQ((std::vector<int>{offset[0], offset[1], offset[2]}),
		  (std::vector<int>{0xF4, 0x0C, 0xF0}));
}

TEST_F(Calibration, KeepsTheRateTheFormatAndTheLastSample)
{
	ASSERT_EQ(write_text("rate 25"), 7);
	advance_ms(41);
	std::string before = read_record();
	EXPECT_EQ(before, rest_record(true));
	int16_t xyz[3] = {XYZ[0], XYZ[1], XYZ[2]};

	// Something else during calibration; the record keeps the last sample.
	set_bias(300, 300, 300);
	calibrate();
	EXPECT_EQ(std::vector<int16_t>(XYZ, XYZ + 3), std::vector<int16_t>(xyz, xyz + 3));
	EXPECT_EQ(read_record(), rest_record(false));

	// The low-power bit comes back too.
	set_register(ADXL_BW_RATE, 0x17);
	calibrate();
	EXPECT_EQ(sensor_reg(ADXL_BW_RATE), 0x17);
}

TEST_F(Calibration, ScaleOutsideTheArithmeticsDomainChangesNothing)
{
	for (int mg : {0, -4, INT_MIN, ACCEL_CALIBRATION_MG_MAX + 1, INT_MAX}) {
		SCOPED_TRACE(mg);
		set_offsets(5, 6, 7);
		mg_per_LSB = mg;
		EXPECT_EQ(write_text("calibrate"), -EINVAL);
		EXPECT_EQ(log_texts(),
			  msg("cannot calibrate at " + std::to_string(mg) + " mg per count\n"));
		EXPECT_EQ(writes_, BRACKET);
		EXPECT_EQ(offsets(), (std::vector<int>{5, 6, 7}));
	}
}

TEST_F(Calibration, SensorThatStopsDeliveringEndsTheCommand)
{
	// The sensor keeps answering but measures no more samples (as after a
	// brown-out); polls take their time, as on a board.
	sim::set_idle_skip(false);
	sim::with_board([](models::Board &b) { models::sensor_set_stalled(&b, true); });
	set_offsets(5, 6, 7);
	models::board_clear_traces(&sim::board());
	sim::clear_log();
	uint64_t board_start = sim::board().now_ns;
	auto start = std::chrono::steady_clock::now();
	ssize_t n = sim::write(fd_, "calibrate", 9);
	double wall_ms =
		std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
			.count();
	double board_ms = (sim::board().now_ns - board_start) / 1e6;
	printf("silent sensor: calibration ended after %.0f ms (board time %.0f ms)\n", wall_ms,
	       board_ms);

	EXPECT_EQ(n, -ETIMEDOUT);
	EXPECT_EQ(log_texts(), msg("calibration stopped: ADXL345 delivers no samples\n"));
	// Bounded in the driver's own polls, whatever the machine's pauses make
	// of the board time and the host's load of the wall time: a thousand
	// polls of INT_SOURCE without a sample end it.
	EXPECT_LE(sim::board().sensor.int_source_reads, 1000u);
	// Offsets left cleared, the rate put back, measuring.
	EXPECT_TRUE(configured_in_standby(sensor_writes()));
	EXPECT_EQ(offsets(), (std::vector<int>{0, 0, 0}));
	EXPECT_EQ(sensor_reg(ADXL_BW_RATE), 0x07);
	EXPECT_TRUE(sensor_reg(ADXL_POWER_CTL) & ADXL_POWER_CTL_MEASURE);

	// A sensor that works again calibrates.
	sim::with_board([](models::Board &b) { models::sensor_set_stalled(&b, false); });
	calibrate();
}

TEST_F(Calibration, DisconnectedSensorFailsTheCommandAtOnce)
{
	sim::with_board([](models::Board &b) { models::sensor_set_connected(&b, false); });
	expect_bracket_ = false;
	uint64_t board_start = sim::board().now_ns;
	EXPECT_EQ(write_text("calibrate"), -EIO);
	// At once: the first access's abort ends it, no wait for samples.
	EXPECT_LT(sim::board().now_ns - board_start, 5000000u);
	EXPECT_EQ(log_texts(), msg("no answer from ADXL345 at register 0x2C\n"));
	// The rate was never read, so it is not written.
	std::vector<uint32_t> w = words();
	EXPECT_EQ(std::count(w.begin(), w.end(), address_word(ADXL_BW_RATE)), 1)
		<< "only the read of BW_RATE";

	sim::with_board([](models::Board &b) { models::sensor_set_connected(&b, true); });
	expect_bracket_ = true;
	calibrate();
}

TEST_F(Calibration, ConcurrentReaderWaitsForTheWholeCalibration)
{
	// The calibration's polls take real time, so that this thread sees it
	// sampling before it ends.
	sim::set_idle_skip(false);
	sim::clear_trace();
	models::board_clear_traces(&sim::board());
	std::atomic<bool> written{false};
	std::thread writer([&] {
		int fd = sim::open("/dev/accel", O_WRONLY);
		EXPECT_EQ(sim::write(fd, "calibrate", 9), 9);
		written = true;
		sim::close(fd);
	});
	// Once the sensor samples at 100 Hz the writer is inside the calibration.
	auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
	bool sampling = false;
	uint64_t read_ns = 0;
	while (!sampling && !written && std::chrono::steady_clock::now() < deadline)
		sim::with_board(
			[&](models::Board &b) { sampling = b.sensor.regs[ADXL_BW_RATE] == 0x0A; });
	ASSERT_TRUE(sampling);

	int fd = open_accel();
	std::string record = read_text(fd);
	sim::with_board([&](models::Board &b) { read_ns = b.now_ns; });
	writer.join();
	// The read ended only after the 64 samples at 100 Hz, counted from the
	// store that started the sampling (this thread may see it late).
	const std::vector<sim::Access> trace = sim::trace();
	uint64_t sampling_ns = UINT64_MAX;
	for (size_t i = 1; i < trace.size() && sampling_ns == UINT64_MAX; i++)
		if (trace[i].store && trace[i].phys == DATA_CMD && trace[i].value == 0x0A &&
		    trace[i - 1].store && trace[i - 1].value == address_word(ADXL_BW_RATE))
			sampling_ns = trace[i].board_ns;
	ASSERT_NE(sampling_ns, UINT64_MAX) << "no store of the 100 Hz rate recorded";
	EXPECT_GE(read_ns - sampling_ns, 630000000u) << "the read ended while the sampling ran";
	// No sample was taken from the calibration, none is new after it, and
	// the record shows the counts before it (none yet since load).
	EXPECT_EQ(record, FULL_VARIANT ? " 2 0000 0000 0000 31\n" : "0 0000 0000 0000 31\n");
	EXPECT_EQ(sim::board().sensor.data_bursts, 65u);

	// In the recorded accesses the reader's come only after the writer's.
	ASSERT_FALSE(trace.empty());
	int writer_thread = trace.front().thread;
	bool reader_seen = false;
	for (const sim::Access &a : trace) {
		if (a.thread != writer_thread)
			reader_seen = true;
		else if (reader_seen) {
			ADD_FAILURE() << "calibration access after a reader's";
			break;
		}
	}
}

#endif

} // namespace
