/* SPDX-License-Identifier: GPL-2.0-or-later */
// Fixture for tests that write commands to /dev/accel: one descriptor open
// for reading and writing, and the sensor register writes of each write.
#ifndef TESTS_ACCEL_WRITER_H
#define TESTS_ACCEL_WRITER_H

#include "accel_fixture.h"

// The standby and measurement writes around every command.
const RegWrite STANDBY = {models::ADXL_POWER_CTL, 0},
	       MEASURE = {models::ADXL_POWER_CTL, models::ADXL_POWER_CTL_MEASURE};
const std::vector<RegWrite> BRACKET = {STANDBY, MEASURE};

inline std::vector<RegWrite> bracketed(const std::vector<RegWrite> &inside)
{
	std::vector<RegWrite> out = {STANDBY};
	out.insert(out.end(), inside.begin(), inside.end());
	out.push_back(MEASURE);
	return out;
}

// Whether every register write but POWER_CTL's reached a sensor in standby,
// and the writes leave it measuring.
inline ::testing::AssertionResult configured_in_standby(const std::vector<RegWrite> &writes)
{
	bool measuring = true; // as between commands
	for (size_t i = 0; i < writes.size(); i++) {
		if (writes[i].first == models::ADXL_POWER_CTL)
			measuring = writes[i].second & models::ADXL_POWER_CTL_MEASURE;
		else if (measuring)
			return ::testing::AssertionFailure()
			       << "write " << i << " to register " << writes[i].first
			       << " while measuring";
	}
	if (!measuring)
		return ::testing::AssertionFailure() << "left in standby";
	return ::testing::AssertionSuccess();
}

// One log line of the driver, as log_texts() shows it.
inline std::vector<std::string> msg(const std::string &text)
{
	return {"3 /dev/accel: " + text};
}

class WriterTest : public AccelTest {
protected:
	void SetUp() override
	{
		AccelTest::SetUp();
		fd_ = sim::open("/dev/accel", O_RDWR);
		ASSERT_GE(fd_, 0);
		fds_.push_back(fd_);
	}

	// One write of exactly these bytes, with the log and the traces
	// cleared before it; its sensor register writes land in writes_.
	// Every write changes the configuration in standby only and leaves the
	// sensor measuring, and one that reaches the sensor begins with standby
	// and ends with measurement.
	ssize_t write_text(const std::string &text)
	{
		sim::clear_log();
		models::board_clear_traces(&sim::board());
		ssize_t n = sim::write(fd_, text.data(), text.size());
		writes_ = sensor_writes();
		EXPECT_EQ(sensor_reg(models::ADXL_POWER_CTL), models::ADXL_POWER_CTL_MEASURE)
			<< "not measuring after the write";
		EXPECT_TRUE(configured_in_standby(writes_));
		if (expect_bracket_) {
			EXPECT_GE(writes_.size(), 2u);
			if (writes_.size() >= 2) {
				EXPECT_EQ(writes_.front(), STANDBY);
				EXPECT_EQ(writes_.back(), MEASURE);
			}
		}
		return n;
	}

	// Registers set as by some earlier user of the sensor.
	static void set_register(uint8_t reg, uint8_t value)
	{
		sim::with_board([=](models::Board &b) { b.sensor.regs[reg] = value; });
	}

	static void set_offsets(uint8_t x, uint8_t y, uint8_t z)
	{
		set_register(models::ADXL_OFSX, x);
		set_register(models::ADXL_OFSY, y);
		set_register(models::ADXL_OFSZ, z);
	}

	// A fresh record, whatever the file position.
	std::string read_record()
	{
		char buf[64];
		ssize_t n = sim::pread(fd_, buf, sizeof(buf), 0);
		EXPECT_EQ(n, (ssize_t)L);
		return std::string(buf, n > 0 ? n : 0);
	}

	// The scale field of a record of a sample taken from now on (one
	// output period at 12.5 Hz).
	int record_scale()
	{
		advance_ms(81);
		std::string record = read_record();
		return record.size() == L ? std::stoi(record.substr(L - 3, 2)) : -1;
	}

	int fd_ = -1;
	bool expect_bracket_ = true;
	std::vector<RegWrite> writes_;
};

#endif
