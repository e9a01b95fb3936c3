// SPDX-License-Identifier: GPL-2.0-or-later
// What the driver puts on I2C controller 0 and the sensor, as the models
// record it, and how it copes with a bus that does not answer.
#include "accel_fixture.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "models/sysmgr_regs.h"

namespace {

using namespace models;
using Bus = AccelTest;

std::vector<uint32_t> init_words()
{
	std::vector<uint32_t> out;
	for (const RegWrite &w : init_writes()) {
		out.push_back(address_word(w.first));
		out.push_back(w.second);
	}
	return out;
}

// A load or store as the board saw it.
std::string access(bool store, uint32_t phys, uint32_t value)
{
	char line[64];
	snprintf(line, sizeof(line), store ? "%08X <- %u" : "%08X -> %u", phys, value);
	return line;
}

TEST_F(Bus, LoadRoutesPinsSetsUpTheControllerAndStartsTheSensor)
{
	// Stores as the board saw them, with the polls of each wait in between.
	std::vector<std::string> seen;
	for (const sim::Access &a : sim::trace()) {
		if (a.store && a.phys == DATA_CMD)
			break;
		seen.push_back(access(a.store, a.phys, a.value));
	}
	const uint32_t control = I2C_CON_MASTER | I2C_CON_SPEED_FAST << I2C_CON_SPEED_SHIFT |
				 I2C_CON_RESTART_EN | I2C_CON_SLAVE_DISABLE;
	std::vector<std::string> expected = {
		access(true, SYSMGR_BASE + SYSMGR_I2C0_ROUTING, 0),
		access(true, SYSMGR_BASE + SYSMGR_SENSOR_PIN0, SYSMGR_PIN_FUNC_I2C0),
		access(true, SYSMGR_BASE + SYSMGR_SENSOR_PIN1, SYSMGR_PIN_FUNC_I2C0),
		access(true, I2C0_BASE + I2C_ENABLE, I2C_ENABLE_ABORT),
		access(false, I2C0_BASE + I2C_ENABLE_STATUS, 0), // already disabled: one poll
		access(true, I2C0_BASE + I2C_CON, control),
		access(true, I2C0_BASE + I2C_TAR, SENSOR_ADDRESS),
		access(true, I2C0_BASE + I2C_FS_HCNT, 90),
		access(true, I2C0_BASE + I2C_FS_LCNT, 160),
		access(true, I2C0_BASE + I2C_ENABLE, I2C_ENABLE_EN),
		access(false, I2C0_BASE + I2C_ENABLE_STATUS, I2C_ENABLE_STATUS_EN),
		// Clears an abort the first store may have latched, and the same
		// before each access.
		access(false, I2C0_BASE + I2C_CLR_INTR, 0),
		access(false, I2C0_BASE + I2C_CLR_TX_ABRT, 0),
	};
	EXPECT_EQ(seen, expected);

	// The initialisation, then the data registers read to drop a sample
	// an earlier user's format may have left waiting.
	std::vector<uint32_t> expected_words = init_words();
	ASSERT_EQ(expected_words.size(), FULL_VARIANT ? 26u : 14u);
	expected_words.push_back(address_word(ADXL_DATAX0));
	expected_words.insert(expected_words.end(), 6, I2C_CMD_READ);
	EXPECT_EQ(words(), expected_words);

	// The sensor got every pair as a register write, in order.
	EXPECT_EQ(sensor_writes(), init_writes());
	EXPECT_EQ(sensor_reg(ADXL_POWER_CTL), ADXL_POWER_CTL_MEASURE);
	EXPECT_EQ(sensor_reg(ADXL_INT_ENABLE),
		  FULL_VARIANT ? ADXL_INT_SINGLE_TAP | ADXL_INT_DOUBLE_TAP : 0);
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
	std::vector<uint32_t> record_words = {address_word(ADXL_INT_SOURCE), I2C_CMD_READ,
					      address_word(ADXL_DATAX0)};
	record_words.insert(record_words.end(), 6, I2C_CMD_READ);
	EXPECT_EQ(words(), record_words);
	EXPECT_EQ(traffic(), (Traffic{2 + 7, 1 + 6}));

	read_text(fd);
	models::board_clear_traces(&sim::board());
	read_text(fd);
	EXPECT_EQ(s.int_source_reads, 1u);
	EXPECT_EQ(s.data_bursts, 0u) << "no new data, no burst";
	EXPECT_EQ(words(), (std::vector<uint32_t>{address_word(ADXL_INT_SOURCE), I2C_CMD_READ}));
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
#ifndef ACCEL_VARIANT_BASIC
	uint8_t id = 0;
	EXPECT_EQ(ADXL345_IdRead(&id), 0);
	EXPECT_EQ(id, ADXL_DEVID_VALUE);
	models::sensor_set_devid(&sim::board(), 0x1A);
	EXPECT_EQ(ADXL345_IdRead(&id), 0);
	EXPECT_EQ(id, 0x1A);
#endif

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
	EXPECT_EQ(ADXL345_REG_MULTI_READ(ADXL_DATAX0, none, 0), 0);
	EXPECT_EQ(words(), std::vector<uint32_t>{address_word(ADXL_DATAX0)});
	EXPECT_EQ(none[0], 0x77);

	// A format change and offsets are undone by the initialisation.
	ASSERT_EQ(ADXL345_REG_WRITE(ADXL_DATA_FORMAT, ADXL_FORMAT_FULL_RES | 3), 0);
	ASSERT_EQ(ADXL345_REG_WRITE(ADXL_OFSX, 5), 0);
	mg_per_LSB = 4;
	EXPECT_EQ(ADXL345_Init(), 0);
	EXPECT_EQ(sensor_reg(ADXL_DATA_FORMAT), 3); // 16 g, 10 bits
	EXPECT_EQ(sensor_reg(ADXL_OFSX), 0);
	EXPECT_EQ(mg_per_LSB, 31);
}

TEST_F(Bus, AnInterruptAfterTheAddressWordDoesNotSplitTheAccess)
{
	// The worst spot on a controller that sends a stop when its queue runs
	// empty: a pause right after the word that opens an access.
	models::board_set_i2c_queue_end(&sim::board(), I2C_QUEUE_END_STOP);
	sim::set_store_pause(STORE_PAUSE_NS, [](const sim::Access &a) {
		return a.phys == DATA_CMD && (a.value & I2C_CMD_RESTART);
	});
	models::board_clear_traces(&sim::board());
	uint64_t start = sim::board().now_ns;
	ASSERT_EQ(ADXL345_REG_WRITE(ADXL_THRESH_TAP, 0x31), 0);
	uint8_t rate = 0;
	ASSERT_EQ(ADXL345_REG_READ(ADXL_BW_RATE, &rate), 0);
	EXPECT_EQ(rate, 0x07); // 12.5 Hz
	EXPECT_GE(sim::board().now_ns - start, 2 * STORE_PAUSE_NS) << "both pauses taken";
	EXPECT_EQ(sensor_writes(), (std::vector<RegWrite>{{ADXL_THRESH_TAP, 0x31}}));
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
	double wall_ms =
		std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
			.count();
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
	ASSERT_EQ(ADXL345_REG_WRITE(ADXL_THRESH_TAP, 0x40), 0);
	advance_ms(1);
	EXPECT_NE(models::i2c0_read(&sim::board(), I2C_TX_ABRT_SOURCE), 0u);
	models::sensor_set_connected(&sim::board(), true);
	ASSERT_EQ(ADXL345_REG_WRITE(ADXL_THRESH_TAP, 0x31), 0);
	EXPECT_EQ(sensor_reg(ADXL_THRESH_TAP), 0x31);

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
