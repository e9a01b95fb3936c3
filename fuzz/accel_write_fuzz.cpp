// SPDX-License-Identifier: GPL-2.0-or-later
// libFuzzer target: writes to /dev/accel (full or command variant, chosen
// with ACCEL_VARIANT_*) through the simulated kernel and the board models.
//
// Input: one option byte, then up to MAX_WRITES writes separated by 0xFF.
//   option bit 4     every write's buffer is refused by the kernel from
//                    byte (option & 0x0F) on; a text not copied whole
//                    must fail with -EFAULT and run no command
//   option bit 5     the sensor reports a wrong device ID
//   option bit 6     the sensor is off the bus after the load
//
// After every write: a result as designed, the sensor measuring, every
// configuration change made in standby, mg_per_LSB one of 4, 8, 16, 31 and
// describing DATA_FORMAT, every log line one the driver can give, with the
// writer's text as it was taken. After the input: the module unloads and
// leaves nothing behind.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "accel.h"
#include "models/adxl345_regs.h"
#include "models/board.h"
#include "simkernel.h"
#include "tests/accel/help_banner.h"

namespace {

const sim::Module ACCEL = {"accel", start_accel, stop_accel};
const size_t MAX_WRITES = 4;
const uint8_t SEPARATOR = 0xFF;
using models::ADXL_DATA_FORMAT;
using models::ADXL_POWER_CTL;
const uint8_t MEASURE = models::ADXL_POWER_CTL_MEASURE;

[[noreturn]] void fail(const std::string &what, const std::string &text)
{
	fprintf(stderr, "invariant broken: %s\n  write: ", what.c_str());
	for (unsigned char c : text)
		fprintf(stderr, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", c);
	fprintf(stderr, "\n");
	for (const sim::LogLine &l : sim::log())
		fprintf(stderr, "  log <%d>%s", l.level, l.text.c_str());
	abort();
}

struct Options {
	bool poison;
	size_t poison_from;
	bool wrong_id;
	bool disconnected;
};

// The kernel refuses part of the at most 11 bytes the driver takes.
bool copy_refused(const std::string &written, const Options &o)
{
	return o.poison && o.poison_from < std::min(written.size(), (size_t)ACCEL_TEXT_MAX);
}

// The text the driver works on: at most 11 bytes, up to the first NUL;
// none when the copy was refused.
std::string accepted_text(const std::string &written, const Options &o)
{
	if (copy_refused(written, o))
		return "";
	std::string text = written.substr(0, ACCEL_TEXT_MAX);
	return text.substr(0, text.find('\0'));
}

bool starts_with(const std::string &s, const std::string &prefix)
{
	return s.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string &s, const std::string &suffix)
{
	return s.size() >= suffix.size() &&
	       s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool all_of(const std::string &s, const char *chars)
{
	return !s.empty() && s.find_first_not_of(chars) == std::string::npos;
}

bool is_word(const std::string &w, size_t max)
{
	if (w.empty() || w.size() > max)
		return false;
	for (unsigned char c : w)
		if (c == ' ' || (c >= '\t' && c <= '\r') || c == 0xA0 || c == 0)
			return false;
	return true;
}

// A "/dev/accel: " message of the driver, with what it shows of the text.
bool known_message(const std::string &m, const std::string &text)
{
	static const char *const exact[] = {
		"unable to read user input\n",
		"copy_from_user unsuccessful\n",
		"ADXL345 device ID is 0xE5\n",
		"calibration stopped: ADXL345 delivers no samples\n",
		"I2C0 controller did not stop\n",
		"I2C0 controller did not start\n",
		"I2C0 transmit queue does not empty\n",
		"ADXL345 did not acknowledge a register write\n",
	};
	for (const char *e : exact)
		if (m == e)
			return true;
	auto between = [&m](const std::string &head, const std::string &tail) {
		return m.substr(head.size(), m.size() - head.size() - tail.size());
	};
	const std::string rate_tail = " (use 25, 12.5, 6.25, 1.56, or 0.78)\n";
	if (starts_with(m, "found wrong device ID 0x") && ends_with(m, "\n"))
		return all_of(between("found wrong device ID 0x", "\n"), "0123456789ABCDEF");
	if (starts_with(m, "no answer from ADXL345 at register 0x") && ends_with(m, "\n"))
		return between("no answer from ADXL345 at register 0x", "\n").size() == 2;
	if (starts_with(m, "bad range value ") && ends_with(m, "\n")) {
		std::string v = between("bad range value ", "\n");
		return all_of(v[0] == '-' ? v.substr(1) : v, "0123456789");
	}
	if (starts_with(m, "can't parse user input: "))
		return m == "can't parse user input: " + text + "\n";
	if (starts_with(m, "can't parse user input "))
		return m == "can't parse user input " + text + "\n";
	if (starts_with(m, "received unrecognized command ") && ends_with(m, "\n")) {
		std::string w = between("received unrecognized command ", "\n");
		return is_word(w, ACCEL_TEXT_MAX) && text.find(w) != std::string::npos;
	}
	if (starts_with(m, "bad rate ") && ends_with(m, rate_tail)) {
		std::string w = between("bad rate ", rate_tail);
		return is_word(w, ACCEL_TEXT_MAX - 5) && text.find(w) != std::string::npos;
	}
	return false;
}

// Every line at level 3; banners whole and in order; the rest messages of
// the driver.
void check_log(const std::string &written, const std::string &text, bool *unreadable)
{
	std::vector<sim::LogLine> log = sim::log();
	*unreadable = false;
	for (size_t i = 0; i < log.size(); i++) {
		const std::string &t = log[i].text;
		if (log[i].level != 3)
			fail("log line not at level 3", written);
		if (t.size() > 120 || !ends_with(t, "\n"))
			fail("log line without its end or too long", written);
		if (t == HELP_BANNER[0]) {
			for (size_t n = 0; n < HELP_BANNER_LINES; n++)
				if (i + n >= log.size() || log[i + n].text != HELP_BANNER[n])
					fail("help banner incomplete", written);
			i += HELP_BANNER_LINES - 1;
			continue;
		}
		if (!starts_with(t, "/dev/accel: ") || !known_message(t.substr(12), text))
			fail("log line the driver does not give: " + t, written);
		if (t == "/dev/accel: unable to read user input\n")
			*unreadable = true;
	}
}

int scale_of(uint8_t data_format)
{
	static const int ten_bit[] = {4, 8, 16, 31};
	return data_format & models::ADXL_FORMAT_FULL_RES
		       ? 4
		       : ten_bit[data_format & models::ADXL_FORMAT_RANGE_MASK];
}

// Configuration registers change only in standby; the write starts with
// standby and ends measuring.
void check_sensor_writes(const std::string &written)
{
	const models::Adxl345 &s = sim::board().sensor;
	uint32_t n = s.reg_writes < models::TRACE_DEPTH ? s.reg_writes : models::TRACE_DEPTH;
	if (n < 2 || s.write_reg[0] != ADXL_POWER_CTL || s.write_val[0] != 0 ||
	    s.write_reg[n - 1] != ADXL_POWER_CTL || s.write_val[n - 1] != MEASURE)
		fail("write not bracketed by standby and measurement", written);
	bool measuring = false;
	for (uint32_t i = 0; i < n; i++) {
		if (s.write_reg[i] == ADXL_POWER_CTL)
			measuring = s.write_val[i] & MEASURE;
		else if (measuring)
			fail("configuration written while measuring", written);
	}
}

void check_write(const std::string &written, const Options &o, ssize_t result)
{
	std::string text = accepted_text(written, o);
	bool unreadable;
	check_log(written, text, &unreadable);

	ssize_t length = (ssize_t)written.size();
	bool ok = result == length || (result == -EINVAL && length > 0 && unreadable) ||
		  (o.disconnected && result == -EIO);
	if (copy_refused(written, o))
		ok = !unreadable && (result == -EFAULT || (o.disconnected && result == -EIO));
	bool unreadable_ok = result == (length ? -EINVAL : 0) || (o.disconnected && result == -EIO);
	if (!ok || (unreadable && !unreadable_ok))
		fail("write returned " + std::to_string(result), written);

	sim::with_board([](models::Board &b) { models::board_advance(&b, 2000000); });
	if (models::sensor_peek(&sim::board(), ADXL_POWER_CTL) != MEASURE)
		fail("sensor not measuring after the write", written);
	if (!o.disconnected)
		check_sensor_writes(written);
	int format_scale = scale_of(models::sensor_peek(&sim::board(), ADXL_DATA_FORMAT));
	if (mg_per_LSB != format_scale)
		fail("mg_per_LSB " + std::to_string(mg_per_LSB) + " for DATA_FORMAT", written);
}

// A record of a sample measured after the write (one period at the slowest
// rate later) shows the write's scale (unless wide counts cut it).
void check_record(int fd, const std::string &written)
{
	sim::with_board([](models::Board &b) { models::board_advance(&b, 1300000000); });
	char buf[64];
	ssize_t n = sim::pread(fd, buf, sizeof(buf), 0);
	if (n != ACCEL_RECORD_LEN)
		fail("record of " + std::to_string(n) + " bytes", written);
	char scale[8];
	snprintf(scale, sizeof(scale), " %02d\n", mg_per_LSB);
	std::string record(buf, n);
	if (record.back() == '\n' && !ends_with(record, scale))
		fail("record without the scale: " + record, written);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (!size)
		return 0;
	Options o = {(data[0] & 0x10) != 0, data[0] & 0x0Fu, (data[0] & 0x20) != 0,
		     (data[0] & 0x40) != 0};
	sim::reset();
	if (sim::insmod(ACCEL) != 0)
		fail("load failed", "");
	sim::with_board([&o](models::Board &b) {
		models::board_advance(&b, 2000000);
		if (o.wrong_id)
			models::sensor_set_devid(&b, 0x1A);
		if (o.disconnected)
			models::sensor_set_connected(&b, false);
	});
	int fd = sim::open("/dev/accel", O_RDWR);

	size_t start = 1;
	for (size_t w = 0; w < MAX_WRITES && start <= size; w++) {
		const uint8_t *end =
			static_cast<const uint8_t *>(memchr(data + start, SEPARATOR, size - start));
		size_t len = (end ? end - data : size) - start;
		std::string written(reinterpret_cast<const char *>(data + start), len);
		start += len + 1;

		// Exactly the written bytes, so that a read beyond them is caught.
		std::vector<char> buf(written.begin(), written.end());
		char *user = buf.empty() ? nullptr : buf.data();
		if (o.poison && o.poison_from < len)
			sim::poison(user + o.poison_from, len - o.poison_from);
		sim::clear_log();
		models::board_clear_traces(&sim::board());
		ssize_t result = sim::write(fd, user, len);
		sim::unpoison();
		check_write(written, o, result);
		if (!o.disconnected)
			check_record(fd, written);
	}

	sim::close(fd);
	if (sim::rmmod(ACCEL) != 0 || !sim::held().empty() || !sim::problems().empty()) {
		for (const std::string &p : sim::problems())
			fprintf(stderr, "  problem: %s\n", p.c_str());
		fail("unload left something behind", "");
	}
	return 0;
}
