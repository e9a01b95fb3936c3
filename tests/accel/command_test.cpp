// SPDX-License-Identifier: GPL-2.0-or-later
// /dev/accel as a writer uses it: one text command per write, interpreted
// between a standby and a measurement write, outcomes in the kernel log.
#include "accel_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "help_banner.h"
#include "writer.h"

namespace {

using namespace models;

#ifndef ACCEL_VARIANT_BASIC

std::vector<std::string> banner()
{
	std::vector<std::string> lines;
	for (const char *line : HELP_BANNER)
		lines.push_back(std::string("3 ") + line);
	return lines;
}

using Commands = WriterTest;

TEST_F(Commands, HelpPrintsTheBannerAndTouchesNothingElse)
{
	for (const char *text : {"--", "--\n", "-- format 1 16"}) {
		SCOPED_TRACE(text);
		EXPECT_EQ(write_text(text), (ssize_t)strlen(text));
		EXPECT_EQ(log_texts(), banner());
		EXPECT_EQ(writes_, BRACKET);
	}
	EXPECT_EQ(banner().size(), FULL_VARIANT ? 8u : 6u);
}

struct FormatCase {
	const char *text;
	uint8_t data_format; // bits 3..0 written
	int mg;
};

TEST_F(Commands, FormatSetsRangeResolutionAndScale)
{
	const FormatCase cases[] = {
		{"format 0 2", 0x0, 4},	  {"format 0 4\n", 0x1, 8},  {"format 0 8", 0x2, 16},
		{"format 0 16", 0x3, 31}, {"format 1 2", 0x8, 4},    {"format 1 4\n", 0x9, 4},
		{"format 1 8", 0xA, 4},	  {"format 1 16\n", 0xB, 4}, {"format 5 8", 0xA, 4},
		{"format -1 4", 0x9, 4},  {"format 01 8", 0xA, 4},   {"format 0 8x", 0x2, 16},
		{" format 0 4", 0x1, 8},  {"format\t1\t2", 0x8, 4},
	};
	for (const FormatCase &c : cases) {
		SCOPED_TRACE(c.text);
		set_offsets(5, 6, 7);
		EXPECT_EQ(write_text(c.text), (ssize_t)strlen(c.text));
		EXPECT_EQ(log_texts(), std::vector<std::string>{});
		EXPECT_EQ(writes_, bracketed({{ADXL_OFSX, 0},
					      {ADXL_OFSY, 0},
					      {ADXL_OFSZ, 0},
					      {ADXL_DATA_FORMAT, c.data_format}}));
		EXPECT_EQ(sensor_reg(ADXL_DATA_FORMAT), c.data_format);
		EXPECT_EQ(mg_per_LSB, c.mg);
		EXPECT_EQ(record_scale(), c.mg);
	}
}

// Counts times scale is the acceleration measured: within one count and the
// scale's rounding (31 for 31.25 mg per count, 16 for 15.625).
::testing::AssertionResult measured_at_its_scale(const std::string &record, const int mg[3])
{
	std::istringstream in(record);
	std::string first;
	int counts[3], scale = 0;
	in >> first >> counts[0] >> counts[1] >> counts[2] >> scale;
	for (int k = 0; k < 3; k++) {
		int error = counts[k] * scale - mg[k];
		if (!in || std::abs(error) > scale + std::abs(mg[k]) * 3 / 100)
			return ::testing::AssertionFailure() << "record " << record;
	}
	return ::testing::AssertionSuccess();
}

TEST_F(Commands, RecordsRightAfterFormatAndInitShowCountsAtTheirOwnScale)
{
	const int mg[3] = {500, -250, 1000};
	sim::with_board(
		[&](models::Board &b) { models::sensor_set_accel(&b, mg[0], mg[1], mg[2]); });
	next_sample();
	ASSERT_TRUE(measured_at_its_scale(read_record(), mg));
	for (const char *text : {"format 1 16", "format 0 2", "format 0 16", "init", "format 0 8",
				 "format 1 4", "format 0 4", "init"}) {
		SCOPED_TRACE(text);
		advance_ms(81); // a sample of the format before waits, unread
		ASSERT_EQ(write_text(text), (ssize_t)strlen(text));
		EXPECT_TRUE(measured_at_its_scale(read_record(), mg)) << "right after";
		advance_ms(81);
		std::string record = read_record();
		EXPECT_TRUE(measured_at_its_scale(record, mg)) << "with the next sample";
		EXPECT_EQ(record.substr(L - 3, 2), std::to_string(100 + mg_per_LSB).substr(1));
	}
}

TEST_F(Commands, FormatCarriesTheUpperBitsOverAndClearsJustify)
{
	// Self-test, SPI mode, interrupt polarity and bit 4 set, left-justified.
	set_register(ADXL_DATA_FORMAT, 0xF7);
	EXPECT_EQ(write_text("format 0 4"), 10);
	EXPECT_EQ(sensor_reg(ADXL_DATA_FORMAT), 0xF1);
	set_register(ADXL_DATA_FORMAT, 0x54);
	EXPECT_EQ(write_text("format 1 2"), 10);
	EXPECT_EQ(sensor_reg(ADXL_DATA_FORMAT), 0x58);
}

TEST_F(Commands, FormatWithABadRangeClearsTheOffsetsOnly)
{
	ASSERT_EQ(write_text("format 1 16"), 11);
	for (const char *gg : {"3", "0", "1", "32", "-8", "12"}) {
		for (const char *f : {"0", "1"}) {
			std::string text = std::string("format ") + f + " " + gg;
			SCOPED_TRACE(text);
			set_offsets(5, 6, 7);
			EXPECT_EQ(write_text(text), (ssize_t)text.size());
			EXPECT_EQ(log_texts(), msg(std::string("bad range value ") + gg + "\n"));
			EXPECT_EQ(writes_,
				  bracketed({{ADXL_OFSX, 0}, {ADXL_OFSY, 0}, {ADXL_OFSZ, 0}}));
			EXPECT_EQ(sensor_reg(ADXL_DATA_FORMAT), 0x0B);
			EXPECT_EQ(mg_per_LSB, 4);
			EXPECT_EQ(record_scale(), 4);
		}
	}
}

TEST_F(Commands, FormatThatDoesNotParseChangesNothing)
{
	for (const char *text : {"format", "format 1", "format 1\n", "format 1 \n", "format x 2",
				 "format 1 x", "format - 8", "format 9999", "format 1 -"}) {
		SCOPED_TRACE(text);
		set_offsets(5, 6, 7);
		EXPECT_EQ(write_text(text), (ssize_t)strlen(text));
		EXPECT_EQ(log_texts(), msg(std::string("can't parse user input ") + text + "\n"));
		EXPECT_EQ(writes_, BRACKET);
		EXPECT_EQ(sensor_reg(ADXL_OFSX), 5);
		EXPECT_EQ(sensor_reg(ADXL_DATA_FORMAT), 0x03);
		EXPECT_EQ(mg_per_LSB, 31);
	}
}

TEST_F(Commands, RateSetsTheOutputDataRate)
{
	const std::pair<const char *, int> cases[] = {
		{"rate 25", 0x08},     {"rate 12.5\n", 0x07}, {"rate 6.25", 0x06},
		{"rate 1.56\n", 0x04}, {"rate 0.78", 0x03},   {"rate 25 Hz", 0x08},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.first);
		set_register(ADXL_BW_RATE, 0x0A);
		EXPECT_EQ(write_text(c.first), (ssize_t)strlen(c.first));
		EXPECT_EQ(log_texts(), std::vector<std::string>{});
		EXPECT_EQ(writes_, bracketed({{ADXL_BW_RATE, c.second}}));
		EXPECT_EQ(sensor_reg(ADXL_BW_RATE), c.second);
	}
	// The rate is the sensor's: 25 Hz brings a sample every 40 ms.
	ASSERT_EQ(write_text("rate 25"), 7);
	advance_ms(40);
	EXPECT_EQ(read_record()[0], FULL_VARIANT ? '8' : '1');
	EXPECT_EQ(read_record()[0], FULL_VARIANT ? ' ' : '0');
	advance_ms(40);
	EXPECT_EQ(read_record()[0], FULL_VARIANT ? '8' : '1');
}

TEST_F(Commands, RateRejections)
{
	const std::pair<const char *, const char *> cases[] = {
		{"rate 3.13", "bad rate 3.13 (use 25, 12.5, 6.25, 1.56, or 0.78)\n"},
		{"rate 25Hz", "bad rate 25Hz (use 25, 12.5, 6.25, 1.56, or 0.78)\n"},
		{"rate +25", "bad rate +25 (use 25, 12.5, 6.25, 1.56, or 0.78)\n"},
		{"rate 12.50", "bad rate 12.50 (use 25, 12.5, 6.25, 1.56, or 0.78)\n"},
		{"rate 123456", "bad rate 123456 (use 25, 12.5, 6.25, 1.56, or 0.78)\n"},
		{"rate", "can't parse user input: rate\n"},
		{"rate\n", "can't parse user input: rate\n\n"},
		{"rate   ", "can't parse user input: rate   \n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.first);
		EXPECT_EQ(write_text(c.first), (ssize_t)strlen(c.first));
		EXPECT_EQ(log_texts(), msg(c.second));
		EXPECT_EQ(writes_, BRACKET);
		EXPECT_EQ(sensor_reg(ADXL_BW_RATE), 0x07);
	}
}

TEST_F(Commands, DeviceReportsTheIdentity)
{
	EXPECT_EQ(write_text("device"), 6);
	EXPECT_EQ(log_texts(), msg("ADXL345 device ID is 0xE5\n"));
	EXPECT_EQ(writes_, BRACKET);

	sim::with_board([](models::Board &b) { models::sensor_set_devid(&b, 0x1A); });
	EXPECT_EQ(write_text("device\n"), 7);
	EXPECT_EQ(log_texts(), msg("found wrong device ID 0x1A\n"));
	sim::with_board([](models::Board &b) { models::sensor_set_devid(&b, 0x05); });
	EXPECT_EQ(write_text("device"), 6);
	EXPECT_EQ(log_texts(), msg("found wrong device ID 0x5\n"));
	EXPECT_EQ(writes_, BRACKET);
}

TEST_F(Commands, InitRestoresTheStartUpConfiguration)
{
	for (const char *text : {"init", "init now", "init\n"}) {
		SCOPED_TRACE(text);
		ASSERT_EQ(write_text("format 1 16"), 11);
		ASSERT_EQ(write_text("rate 25"), 7);
		set_offsets(5, 6, 7);
		set_register(ADXL_INT_ENABLE, 0);
		EXPECT_EQ(write_text(text), (ssize_t)strlen(text));
		EXPECT_EQ(log_texts(), std::vector<std::string>{});
		EXPECT_EQ(writes_, bracketed(init_writes()));
		EXPECT_EQ(sensor_reg(ADXL_DATA_FORMAT), 0x03);
		EXPECT_EQ(sensor_reg(ADXL_BW_RATE), 0x07);
		EXPECT_EQ(sensor_reg(ADXL_OFSX), 0);
		EXPECT_EQ(sensor_reg(ADXL_INT_ENABLE),
			  FULL_VARIANT ? ADXL_INT_SINGLE_TAP | ADXL_INT_DOUBLE_TAP : 0);
		EXPECT_EQ(mg_per_LSB, 31);
		EXPECT_EQ(record_scale(), 31);
	}
}

TEST_F(Commands, UnrecognisedWordsAreLoggedAndChangeNothing)
{
	// The 12-character word is cut to the 11 bytes taken.
	const std::pair<const char *, const char *> cases[] = {
		{"Init", "Init"},	  {"calibrateXYZ", "calibrateXY"},
		{"hello world", "hello"}, {"-", "-"},
		{"---", "---"},		  {"+init", "+init"},
		{"  rate2 ", "rate2"},	  {"formats 1 2", "formats"},
		{"INIT\n", "INIT"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.first);
		EXPECT_EQ(write_text(c.first), (ssize_t)strlen(c.first));
		EXPECT_EQ(log_texts(),
			  msg(std::string("received unrecognized command ") + c.second + "\n"));
		EXPECT_EQ(writes_, BRACKET);
	}
}

TEST_F(Commands, TextWithoutAWordIsRefused)
{
	// An empty write is complete; refused bytes get -EINVAL, so that a
	// writer does not retry them forever.
	const std::pair<std::string, ssize_t> cases[] = {
		{"", 0},
		{"\n", -EINVAL},
		{"   ", -EINVAL},
		{" \t\r\n\v\f", -EINVAL},
		{std::string("\0init\n", 6), -EINVAL},
		{std::string(11, '\0') + "init", -EINVAL},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(::testing::PrintToString(c.first));
		EXPECT_EQ(write_text(c.first), c.second);
		EXPECT_EQ(log_texts(), msg("unable to read user input\n"));
		EXPECT_EQ(writes_, BRACKET);
	}
}

TEST_F(Commands, OnlyTheFirstElevenBytesAreTaken)
{
	// Bytes beyond the 11th are not even copied: a refused range there is
	// not noticed.
	std::string text = "device" + std::string(94, ' ');
	text.replace(20, 5, "extra");
	sim::poison(text.data() + 11, text.size() - 11);
	EXPECT_EQ(write_text(text), 100);
	EXPECT_EQ(log_texts(), msg("ADXL345 device ID is 0xE5\n"));
	sim::unpoison();

	EXPECT_EQ(write_text("format 1 16\n"), 12);
	EXPECT_EQ(sensor_reg(ADXL_DATA_FORMAT), 0x0B);
	EXPECT_EQ(write_text("rate 6.25   0.78"), 16);
	EXPECT_EQ(sensor_reg(ADXL_BW_RATE), 0x06);
	// Rejections show the text as taken.
	EXPECT_EQ(write_text("format 1 x junk"), 15);
	EXPECT_EQ(log_texts(), msg("can't parse user input format 1 x \n"));
}

// A command that could not be copied whole is not run: its start alone can
// be another command ("format 0 16" cut to "format 0 1").
TEST_F(Commands, FailedCopiesAreErrorsAndRunNothing)
{
	const std::vector<std::string> copy = msg("copy_from_user unsuccessful\n");
	const struct {
		const char *text;
		size_t poisoned_from;
	} cases[] = {{"init\n", 0}, {"format 0 16", 10}, {"rate 25", 6}, {"device\nXYZ", 7}};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		std::string buf = c.text;
		sim::poison(buf.data() + c.poisoned_from, buf.size() - c.poisoned_from);
		EXPECT_EQ(write_text(buf), -EFAULT);
		EXPECT_EQ(log_texts(), copy);
		EXPECT_EQ(writes_, BRACKET);
		sim::unpoison();
	}
	EXPECT_EQ(record_scale(), 31);
	// A user address the kernel refuses altogether.
	sim::clear_log();
	EXPECT_EQ(sim::write(fd_, nullptr, 4), -EFAULT);
	EXPECT_EQ(log_texts(), copy);
	EXPECT_EQ(sensor_reg(ADXL_POWER_CTL), ADXL_POWER_CTL_MEASURE);
}

// The kernel's sscanf is the reference: a number is an optional '-' and
// digits, and byte 0xA0 separates words. The host reads the same.
TEST_F(Commands, WordsAndNumbersAreReadAsTheKernelReadsThem)
{
	for (const char *text : {"format +1 8", "format 1 +8", "format 1+8", "format + 8"}) {
		SCOPED_TRACE(text);
		EXPECT_EQ(write_text(text), (ssize_t)strlen(text));
		EXPECT_EQ(log_texts(), msg(std::string("can't parse user input ") + text + "\n"));
		EXPECT_EQ(writes_, BRACKET);
	}
	EXPECT_EQ(write_text("format 1-8"), 10);
	EXPECT_EQ(log_texts(), msg("bad range value -8\n"));
	EXPECT_EQ(write_text("format -0 8"), 11);
	EXPECT_EQ(sensor_reg(ADXL_DATA_FORMAT), 0x02);

	EXPECT_EQ(write_text("format\xA0"
			     "1\xA0"
			     "16"),
		  11);
	EXPECT_EQ(sensor_reg(ADXL_DATA_FORMAT), 0x0B);
	EXPECT_EQ(write_text("rate\xA0"
			     "25"),
		  7);
	EXPECT_EQ(sensor_reg(ADXL_BW_RATE), 0x08);
	EXPECT_EQ(write_text("\xA0\xA0init"), 6);
	EXPECT_EQ(sensor_reg(ADXL_DATA_FORMAT), 0x03);
	EXPECT_EQ(write_text("Init\xA0"), 5);
	EXPECT_EQ(log_texts(), msg("received unrecognized command Init\n"));
	EXPECT_EQ(write_text("rate \xA0"), 6);
	EXPECT_EQ(log_texts(), msg("can't parse user input: rate \xA0\n"));
	EXPECT_EQ(write_text("\xA0\n"), -EINVAL);
	EXPECT_EQ(log_texts(), msg("unable to read user input\n"));
}

TEST_F(Commands, FailedBusReturnsTheErrorAndStillEndsMeasuring)
{
	sim::with_board([](models::Board &b) { models::sensor_set_connected(&b, false); });
	expect_bracket_ = false; // nothing reaches the sensor
	EXPECT_EQ(write_text("device"), -EIO);
	EXPECT_EQ(log_texts(), msg("no answer from ADXL345 at register 0x00\n"));
	std::vector<uint32_t> w = words();
	ASSERT_GE(w.size(), 2u);
	EXPECT_EQ(std::vector<uint32_t>(w.end() - 2, w.end()),
		  (std::vector<uint32_t>{address_word(ADXL_POWER_CTL), ADXL_POWER_CTL_MEASURE}))
		<< "measurement write after the failed read";

	EXPECT_EQ(write_text("format 0 4"), -EIO);
	EXPECT_EQ(log_texts(), msg("no answer from ADXL345 at register 0x31\n"));
	EXPECT_EQ(mg_per_LSB, 31) << "the scale follows DATA_FORMAT, which was not written";

	// A command that only writes learns of the missing sensor from the
	// abort its first unacknowledged write latched.
	EXPECT_EQ(write_text("rate 25"), -EIO);
	EXPECT_EQ(log_texts(), msg("ADXL345 did not acknowledge a register write\n"));

	// A controller that stops moving words, without aborting, and cannot be
	// set up again: the wait runs out, and no command runs after it.
	sim::with_board([](models::Board &b) {
		b.i2c0.con &= ~I2C_CON_MASTER;
		b.i2c0.stuck_enabled = true;
	});
	EXPECT_EQ(write_text("device"), -EIO);
	EXPECT_EQ(write_text("rate 0.78"), -ETIMEDOUT);
	EXPECT_EQ(sim::board().i2c0.words, 0u) << "no command word stored";
	EXPECT_EQ(log_texts(),
		  std::vector<std::string>(2, "3 /dev/accel: I2C0 controller did not stop\n"));

	sim::with_board([](models::Board &b) {
		b.i2c0.stuck_enabled = false;
		models::sensor_set_connected(&b, true);
	});
	expect_bracket_ = true;
	EXPECT_EQ(write_text("format 0 4"), 10);
	EXPECT_EQ(sensor_reg(ADXL_DATA_FORMAT), 0x01);
	EXPECT_EQ(record_scale(), 8);
}

TEST_F(Commands, InterruptedLockWaitTouchesNothing)
{
	size_t accesses = sim::trace_size();
	sim::fail_next(sim::Step::lock);
	EXPECT_EQ(sim::write(fd_, "init", 4), -EINTR);
	EXPECT_EQ(sim::trace_size(), accesses);
	EXPECT_EQ(sim::log().size(), 0u);
}

TEST_F(Commands, WritesInQuickSuccessionLoseNoWord)
{
	// Write-only commands store faster than the bus sends; each command
	// waits for the words of the one before to go out.
	models::board_clear_traces(&sim::board());
	for (int i = 0; i < 30; i++)
		ASSERT_EQ(sim::write(fd_, i % 2 ? "rate 25" : "rate 0.78", i % 2 ? 7 : 9),
			  i % 2 ? 7 : 9);
	std::vector<RegWrite> expected;
	for (int i = 0; i < 30; i++) {
		std::vector<RegWrite> one = bracketed({{ADXL_BW_RATE, i % 2 ? 0x08 : 0x03}});
		expected.insert(expected.end(), one.begin(), one.end());
	}
	EXPECT_EQ(sensor_writes(), expected);
	EXPECT_EQ(sim::board().i2c0.tx_overflows, 0u);
}

TEST_F(Commands, ConcurrentWritersKeepTheirBrackets)
{
	const int WRITES = 100;
	models::board_clear_traces(&sim::board());
	auto writer = [](const char *text) {
		int fd = sim::open("/dev/accel", O_WRONLY);
		for (int i = 0; i < WRITES; i++)
			EXPECT_EQ(sim::write(fd, text, strlen(text)), (ssize_t)strlen(text));
		sim::close(fd);
	};
	std::thread a(writer, "rate 25"), b(writer, "format 1 8");
	a.join();
	b.join();

	// Each write is its own bracket around its own registers.
	std::vector<RegWrite> w = sensor_writes();
	const std::vector<RegWrite> rate = bracketed({{ADXL_BW_RATE, 0x08}});
	const std::vector<RegWrite> format = bracketed(
		{{ADXL_OFSX, 0}, {ADXL_OFSY, 0}, {ADXL_OFSZ, 0}, {ADXL_DATA_FORMAT, 0x0A}});
	int rates = 0, formats = 0;
	for (size_t i = 0; i < w.size();) {
		if (i + rate.size() <= w.size() &&
		    std::equal(rate.begin(), rate.end(), w.begin() + i)) {
			rates++;
			i += rate.size();
		} else if (i + format.size() <= w.size() &&
			   std::equal(format.begin(), format.end(), w.begin() + i)) {
			formats++;
			i += format.size();
		} else {
			ADD_FAILURE() << "mixed register writes at " << i;
			break;
		}
	}
	EXPECT_EQ(rates, WRITES);
	EXPECT_EQ(formats, WRITES);
}

TEST_F(Commands, RecordTakenInPiecesIsNotTornByACommandBetweenThem)
{
	int reader = open_accel();
	std::string text = read_text(reader, 5);
	ASSERT_EQ(text.size(), 5u);
	EXPECT_EQ(write_text("format 1 2"), 10);
	for (std::string piece; !(piece = read_text(reader, 5)).empty();)
		text += piece;
	ASSERT_EQ(text.size(), L);
	EXPECT_EQ(text.substr(L - 3), "31\n") << "the scale changed inside the record";
	EXPECT_EQ(record_scale(), 4);
}

#else // ACCEL_VARIANT_BASIC

using Commands = AccelTest;

TEST_F(Commands, TheBasicVariantRefusesEveryWrite)
{
	int fd = sim::open("/dev/accel", O_RDWR);
	fds_.push_back(fd);
	models::board_clear_traces(&sim::board());
	size_t accesses = sim::trace_size();
	for (const char *text : {"--", "init", "calibrate", "device", "format 1 16", "rate 25", ""})
		EXPECT_EQ(sim::write(fd, text, strlen(text)), -EINVAL) << text;
	EXPECT_EQ(sim::trace_size(), accesses);
	EXPECT_EQ(sim::log().size(), 0u);
}

#endif

} // namespace
