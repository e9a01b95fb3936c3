// What the driver puts on I2C controller 0 and the sensor, as the models
// record it, and how it copes with a bus that does not answer.
#include "accel_fixture.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "models/adxl345_regs.h"
#include "models/i2c0_regs.h"

namespace {

using Bus = AccelTest;

std::vector<uint32_t> init_words()
{
	std::vector<std::pair<uint32_t, uint32_t>> writes = {{0x2D, 0x00}, {0x31, 0x03}, {0x2C, 0x07}};
	if (FULL_VARIANT)
		writes.insert(writes.end(), {{0x1D, 0x30}, {0x21, 0x20}, {0x22, 0x10}, {0x23, 0xFF},
					     {0x2A, 0x07}, {0x2E, 0x60}});
	writes.insert(writes.end(), {{0x1E, 0x00}, {0x1F, 0x00}, {0x20, 0x00}, {0x2D, 0x08}});
	std::vector<uint32_t> out;
	for (const auto &w : writes) {
		out.push_back(w.first + 0x400);
		out.push_back(w.second);
	}
	return out;
}

TEST_F(Bus, LoadRoutesPinsSetsUpTheControllerAndStartsTheSensor)
{
	// Stores as the board saw them, with the polls of each wait in between.
	std::vector<std::string> seen;
	for (const sim::Access &a : sim::trace()) {
		char line[64];
		if (a.store && a.phys == DATA_CMD)
			break;
		snprintf(line, sizeof(line), a.store ? "%08X <- %u" : "%08X -> %u", a.phys, a.value);
		seen.push_back(line);
	}
	std::vector<std::string> expected = {
		"FFD08704 <- 0", "FFD0849C <- 1", "FFD084A0 <- 1",
		"FFC0406C <- 2", "FFC0409C -> 0", // already disabled: one poll
		"FFC04000 <- 101", "FFC04004 <- 83", "FFC0401C <- 90", "FFC04020 <- 160",
		"FFC0406C <- 1", "FFC0409C -> 1",
		"FFC04040 -> 0", // clears an abort the first store may have latched
		"FFC04054 -> 0", // the same before each access
	};
	EXPECT_EQ(seen, expected);

	// The initialisation, then the data registers read to drop a sample
	// an earlier user's format may have left waiting.
	std::vector<uint32_t> expected_words = init_words();
	ASSERT_EQ(expected_words.size(), FULL_VARIANT ? 26u : 14u);
	expected_words.insert(expected_words.end(), {0x432, 0x100, 0x100, 0x100, 0x100, 0x100, 0x100});
	EXPECT_EQ(words(), expected_words);

	// The sensor got every pair as a register write, in order.
	advance_ms(2);
	const models::Adxl345 &s = sim::board().sensor;
	ASSERT_EQ(s.reg_writes, init_words().size() / 2);
	for (uint32_t i = 0; i < s.reg_writes; i++) {
		EXPECT_EQ(s.write_reg[i] + 0x400u, expected_words[2 * i]) << i;
		EXPECT_EQ(s.write_val[i], expected_words[2 * i + 1]) << i;
	}
	EXPECT_EQ(models::sensor_peek(&sim::board(), 0x2D), 0x08);
	EXPECT_EQ(models::sensor_peek(&sim::board(), 0x2E), FULL_VARIANT ? 0x60 : 0x00);
	EXPECT_EQ(mg_per_LSB, 31);
}

// Bus traffic, as the models count it, is the least each operation needs:
// a change that adds any fails here.
struct Traffic {
	uint32_t words, bytes; // command words stored, bytes received

	bool operator==(const Traffic &o) const
	{
		return words == o.words && bytes == o.bytes;
	}
};

std::ostream &operator<<(std::ostream &os, const Traffic &t)
{
	return os << t.words << " words, " << t.bytes << " bytes";
}

Traffic traffic()
{
	advance_ms(2);
	const models::I2c0 &c = sim::board().i2c0;
	return {c.words, c.rx_bytes};
}

// A record reads INT_SOURCE (its address word, one read command, one byte)
// and, when that reports a new sample, the six data registers in one burst
// (the address word, six read commands, six bytes).
TEST_F(Bus, EachRecordReadsIntSourceOnceAndTheSampleInOneBurst)
{
	int fd = open_accel();
	next_sample();
	models::board_clear_traces(&sim::board());
	read_text(fd);
	const models::Adxl345 &s = sim::board().sensor;
	EXPECT_EQ(s.int_source_reads, 1u);
	EXPECT_EQ(s.data_bursts, 1u);
	EXPECT_EQ(s.burst_bytes, 6u);
	EXPECT_EQ(words(), (std::vector<uint32_t>{0x430, 0x100, 0x432, 0x100, 0x100, 0x100, 0x100,
						  0x100, 0x100}));
	EXPECT_EQ(traffic(), (Traffic{2 + 7, 1 + 6}));

	read_text(fd);
	models::board_clear_traces(&sim::board());
	read_text(fd);
	EXPECT_EQ(s.int_source_reads, 1u);
	EXPECT_EQ(s.data_bursts, 0u) << "no new data, no burst";
	EXPECT_EQ(words(), (std::vector<uint32_t>{0x430, 0x100}));
	EXPECT_EQ(traffic(), (Traffic{2, 1}));
}

#ifndef ACCEL_VARIANT_BASIC
// Every command: the standby and measurement writes (two words each) around
// what the command itself reads and writes.
TEST_F(Bus, EachCommandStoresOnlyWhatItNeeds)
{
	const uint32_t bracket = 4, write = 2, read = 2, burst = 7;
	const uint32_t init_writes = FULL_VARIANT ? 13 : 7;
	const struct {
		const char *text;
		Traffic traffic;
	} cases[] = {
		{"--", {bracket, 0}},
		{"rate 25", {bracket + write, 0}},
		{"device", {bracket + read, 1}},
		// DATA_FORMAT read and written, offsets cleared, the sample of the
		// old format dropped.
		{"format 1 16", {bracket + read + 4 * write + burst, 1 + 6}},
		// The sequence, then the sample of the old set-up dropped.
		{"init", {bracket + init_writes * write + burst, 6}},
	};
	int fd = sim::open("/dev/accel", O_WRONLY);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		models::board_clear_traces(&sim::board());
		ASSERT_EQ(sim::write(fd, c.text, strlen(c.text)), (ssize_t)strlen(c.text));
		EXPECT_EQ(traffic(), c.traffic);
	}
	sim::close(fd);
}
#endif

TEST_F(Bus, SensorOperations)
{
	uint8_t id = 0;
	EXPECT_EQ(ADXL345_IdRead(&id), 0);
	EXPECT_EQ(id, 0xE5);
	models::sensor_set_devid(&sim::board(), 0x1A);
	EXPECT_EQ(ADXL345_IdRead(&id), 0);
	EXPECT_EQ(id, 0x1A);

	// DATA_READY stays until the data registers are read.
	next_sample();
	int16_t xyz[3];
	EXPECT_EQ(ADXL345_IsDataReady(), 1);
	EXPECT_EQ(ADXL345_IsDataReady(), 1);
	EXPECT_EQ(ADXL345_XYZ_Read(xyz), 0);
	EXPECT_EQ(xyz[2], 32);
	EXPECT_EQ(ADXL345_IsDataReady(), 0);

	models::board_clear_traces(&sim::board());
	uint8_t none[1] = {0x77};
	EXPECT_EQ(ADXL345_REG_MULTI_READ(0x32, none, 0), 0);
	EXPECT_EQ(words(), std::vector<uint32_t>{0x432});
	EXPECT_EQ(none[0], 0x77);

	// A format change and offsets are undone by the initialisation.
	ASSERT_EQ(ADXL345_REG_WRITE(0x31, 0x0B), 0);
	ASSERT_EQ(ADXL345_REG_WRITE(0x1E, 0x05), 0);
	mg_per_LSB = 4;
	EXPECT_EQ(ADXL345_Init(), 0);
	advance_ms(2);
	EXPECT_EQ(models::sensor_peek(&sim::board(), 0x31), 0x03);
	EXPECT_EQ(models::sensor_peek(&sim::board(), 0x1E), 0x00);
	EXPECT_EQ(mg_per_LSB, 31);
}

TEST_F(Bus, AnInterruptAfterTheAddressWordDoesNotSplitTheAccess)
{
	// The worst spot on a controller that sends a stop when its queue runs
	// empty: a pause right after the word that opens an access.
	models::board_set_i2c_queue_end(&sim::board(), models::I2C_QUEUE_END_STOP);
	sim::set_store_pause(STORE_PAUSE_NS, [](const sim::Access &a) {
		return a.phys == DATA_CMD && (a.value & models::I2C_CMD_RESTART);
	});
	models::board_clear_traces(&sim::board());
	uint64_t start = sim::board().now_ns;
	ASSERT_EQ(ADXL345_REG_WRITE(models::ADXL_THRESH_TAP, 0x31), 0);
	uint8_t rate = 0;
	ASSERT_EQ(ADXL345_REG_READ(models::ADXL_BW_RATE, &rate), 0);
	EXPECT_EQ(rate, 0x07);
	EXPECT_GE(sim::board().now_ns - start, 2 * STORE_PAUSE_NS) << "both pauses taken";
	EXPECT_EQ(sensor_writes(), (std::vector<RegWrite>{{models::ADXL_THRESH_TAP, 0x31}}));
}

TEST_F(Bus, DisconnectedSensorFailsTheReadInBoundedTime)
{
	int fd = open_accel();
	next_sample();
	models::sensor_set_connected(&sim::board(), false);
	uint64_t board_start = sim::board().now_ns;
	auto start = std::chrono::steady_clock::now();
	char buf[64];
	EXPECT_EQ(sim::read(fd, buf, sizeof(buf)), -EIO);
	double wall_ms = std::chrono::duration<double, std::milli>(
				 std::chrono::steady_clock::now() - start).count();
	double board_ms = (sim::board().now_ns - board_start) / 1e6;
	printf("disconnected sensor: read failed after %.1f ms (board time %.1f ms)\n", wall_ms,
	       board_ms);
	RecordProperty("wall_ms", std::to_string(wall_ms));
	RecordProperty("board_ms", std::to_string(board_ms));
	EXPECT_LT(wall_ms, 2000);
	EXPECT_LT(board_ms, 100);
	EXPECT_EQ(sim::position(fd), 0);
	std::vector<sim::LogLine> log = sim::log();
	ASSERT_EQ(log.size(), 1u);
	EXPECT_EQ(log[0].level, 3);
	EXPECT_EQ(log[0].text.rfind("/dev/accel: ", 0), 0u) << log[0].text;

	// A write while the sensor is off goes unanswered and latches an abort
	// in the controller; once the sensor is back, the next accesses work.
	ASSERT_EQ(ADXL345_REG_WRITE(models::ADXL_THRESH_TAP, 0x40), 0);
	advance_ms(1);
	EXPECT_NE(models::i2c0_read(&sim::board(), models::I2C_TX_ABRT_SOURCE), 0u);
	models::sensor_set_connected(&sim::board(), true);
	ASSERT_EQ(ADXL345_REG_WRITE(models::ADXL_THRESH_TAP, 0x31), 0);
	EXPECT_EQ(sensor_reg(models::ADXL_THRESH_TAP), 0x31);

	// The sample missed meanwhile shows as an overrun.
	next_sample();
	EXPECT_EQ(read_text(fd), FULL_VARIANT ? "83 0000 0000 0032 31\n" : rest_record(true));
}

TEST_F(Bus, TimedOutReadLeavesNoStaleByteForTheNext)
{
	// A bus clocked so slowly that the answer comes after the driver gave
	// up: the late byte must not be taken as the answer to a later read.
	// Every poll costs its time, so that the poll budget runs out first.
	sim::set_idle_skip(false);
	int fd = open_accel();
	next_sample();
	sim::with_board([](models::Board &b) { b.i2c0.hcnt = b.i2c0.lcnt = 0xFFFF; });
	char buf[64];
	EXPECT_EQ(sim::read(fd, buf, sizeof(buf)), -EIO);
	advance_ms(200);
	EXPECT_EQ(sim::board().i2c0.hcnt, 90u) << "controller set up again";
	EXPECT_EQ(sim::board().i2c0.rx_count, 0u);
	sim::with_board([](models::Board &b) { models::sensor_set_accel(&b, 375, 0, 1000); });
	next_sample();
	EXPECT_EQ(read_text(fd).substr(FULL_VARIANT ? 2 : 1), " 0012 0000 0032 31\n");
}

} // namespace
