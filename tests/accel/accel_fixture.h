/* SPDX-License-Identifier: GPL-2.0-or-later */
// Shared set-up of the accel tests: a fresh simulated kernel and board with
// the driver loaded, and helpers that use /dev/accel as a process would.
//
// CTest runs every suite on several machines, named by ACCEL_MACHINE: the
// controller holds the bus ("hold", the default) or sends a stop ("stop")
// when its queue runs empty, and with "-paused" board time passes after
// every store of the driver, as interrupts and preemption would let it.
#ifndef TESTS_ACCEL_FIXTURE_H
#define TESTS_ACCEL_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "accel.h"
#include "models/adxl345_regs.h"
#include "models/board.h"
#include "models/i2c0_regs.h"
#include "simkernel.h"

#ifdef ACCEL_VARIANT_FULL
const bool FULL_VARIANT = true;
#else
const bool FULL_VARIANT = false;
#endif

const size_t L = ACCEL_RECORD_LEN;
const sim::Module ACCEL = {"accel", start_accel, stop_accel};

// The controller's data/command register, where the driver stores its words.
const uint32_t DATA_CMD = models::I2C0_BASE + models::I2C_DATA_CMD;

// The command word that opens an access to a sensor register.
inline uint32_t address_word(uint8_t reg)
{
	return models::I2C_CMD_RESTART | reg;
}

// Longer than the word on the wire when a pause begins (start, address and
// a byte: 47 us), so that in stop mode the queue runs empty in it.
const uint64_t STORE_PAUSE_NS = 100000;

inline sim::Machine machine_from_environment()
{
	const char *name = getenv("ACCEL_MACHINE");
	std::string m = name ? name : "hold";
	sim::Machine machine = {models::I2C_QUEUE_END_HOLD, 0};
	if (m.compare(0, 4, "stop") == 0)
		machine.queue_end = models::I2C_QUEUE_END_STOP;
	else if (m.compare(0, 4, "hold") != 0)
		ADD_FAILURE() << "ACCEL_MACHINE " << m << ": hold or stop, optionally -paused";
	if (m.size() > 4 && m.substr(4) == "-paused")
		machine.store_pause_ns = STORE_PAUSE_NS;
	else if (m.size() > 4)
		ADD_FAILURE() << "ACCEL_MACHINE " << m << ": hold or stop, optionally -paused";
	return machine;
}

// At rest at +-16 g and 10 bits (31.25 mg per count): 0, 0, 32 counts.
inline std::string rest_record(bool new_data)
{
	if (FULL_VARIANT)
		return new_data ? "82 0000 0000 0032 31\n" : " 2 0000 0000 0032 31\n";
	return new_data ? "1 0000 0000 0032 31\n" : "0 0000 0000 0032 31\n";
}

inline void advance_ms(unsigned ms)
{
	sim::with_board([ms](models::Board &b) { models::board_advance(&b, ms * 1000000ull); });
}

// One output period at the 12.5 Hz the driver programs: one new sample.
inline void next_sample()
{
	advance_ms(80);
}

inline std::vector<std::string> log_texts()
{
	std::vector<std::string> out;
	for (const sim::LogLine &line : sim::log())
		out.push_back(std::to_string(line.level) + " " + line.text);
	return out;
}

// A sensor register as it stands once the queued command words went out.
inline uint8_t sensor_reg(uint8_t reg)
{
	advance_ms(2);
	return models::sensor_peek(&sim::board(), reg);
}

// Register writes the sensor received since the last trace clearing, as
// (register, value) pairs; the queued words are let out first.
using RegWrite = std::pair<int, int>;
inline std::vector<RegWrite> sensor_writes()
{
	advance_ms(2);
	const models::Adxl345 &s = sim::board().sensor;
	std::vector<RegWrite> out;
	for (uint32_t i = 0; i < std::min<uint32_t>(s.reg_writes, models::TRACE_DEPTH); i++)
		out.push_back({s.write_reg[i], s.write_val[i]});
	return out;
}

// The register writes of the variant's initialisation: configured in
// standby (tap detection in the full variant), offsets cleared, measuring.
inline std::vector<RegWrite> init_writes()
{
	using namespace models;
	std::vector<RegWrite> w = {{ADXL_POWER_CTL, 0},
				   {ADXL_DATA_FORMAT, 3}, // 16 g, 10 bits
				   {ADXL_BW_RATE, 0x07}}; // 12.5 Hz
	if (FULL_VARIANT)
		w.insert(w.end(), {{ADXL_THRESH_TAP, 0x30},
				   {ADXL_DUR, 0x20},
				   {ADXL_LATENT, 0x10},
				   {ADXL_WINDOW, 0xFF},
				   {ADXL_TAP_AXES, ADXL_TAP_X | ADXL_TAP_Y | ADXL_TAP_Z},
				   {ADXL_INT_ENABLE, ADXL_INT_SINGLE_TAP | ADXL_INT_DOUBLE_TAP}});
	w.insert(w.end(), {{ADXL_OFSX, 0},
			   {ADXL_OFSY, 0},
			   {ADXL_OFSZ, 0},
			   {ADXL_POWER_CTL, ADXL_POWER_CTL_MEASURE}});
	return w;
}

// Command words the controller was given since the last trace clearing.
inline std::vector<uint32_t> words()
{
	const models::I2c0 &c = sim::board().i2c0;
	return std::vector<uint32_t>(c.word, c.word + std::min<uint32_t>(c.words, 4096));
}

class AccelTest : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		sim::set_machine(machine_from_environment());
	}

	void SetUp() override
	{
		sim::reset();
		ASSERT_EQ(sim::insmod(ACCEL), 0);
		ASSERT_EQ(sim::problems(), std::vector<std::string>{});
		settle();
	}

	// Lets the initialisation words reach the sensor, which then starts
	// its first output period.
	static void settle()
	{
		advance_ms(2);
	}

	void TearDown() override
	{
		for (int fd : fds_)
			sim::close(fd);
		if (sim::loaded(ACCEL)) {
			EXPECT_EQ(sim::rmmod(ACCEL), 0);
		}
		EXPECT_EQ(sim::held(), "");
		EXPECT_EQ(sim::problems(), std::vector<std::string>{});
	}

	int open_accel()
	{
		int fd = sim::open("/dev/accel", O_RDONLY);
		EXPECT_GE(fd, 0);
		fds_.push_back(fd);
		return fd;
	}

	// One read with a generous buffer; the text delivered.
	std::string read_text(int fd, size_t length = 64)
	{
		std::vector<char> buf(length);
		ssize_t n = sim::read(fd, buf.data(), length);
		EXPECT_GE(n, 0);
		return std::string(buf.data(), n > 0 ? n : 0);
	}

	std::vector<int> fds_;
};

#endif
