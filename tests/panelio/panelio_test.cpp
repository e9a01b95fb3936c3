// SPDX-License-Identifier: GPL-2.0-or-later
// /dev/KEY and /dev/SW used as a process uses them, on the simulated kernel
// with the input-port model behind the bridge window.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "load_fault.h"
#include "models/panel_ports_regs.h"
#include "panelio.h"
#include "read_mix.h"
#include "simkernel.h"

// The test binary is linked with --wrap=ks_readl: every register load of the
// driver comes here, so that a test can act between a load and what follows.
extern "C" unsigned int __real_ks_readl(const volatile unsigned int *addr);

namespace {

std::function<void()> after_load;

const sim::Module panelio{"panelio", init_drivers, stop_drivers};
const uint32_t KEY_EDGE = models::PORTS_BASE + models::PORTS_KEY_EDGE;

// The ports' window, which the driver maps, as the simulated kernel's
// records print it.
std::string window(const char *format)
{
	char text[64];
	snprintf(text, sizeof(text), format, models::PORTS_BASE, models::PORTS_SPAN);
	return text;
}

void press(uint32_t buttons)
{
	sim::with_board([=](models::Board &b) { models::ports_press(&b.ports, buttons); });
}

void set_switches(uint32_t value)
{
	sim::with_board([=](models::Board &b) { models::ports_set_switches(&b.ports, value); });
}

uint32_t edges()
{
	uint32_t v = 0;
	sim::with_board([&](models::Board &b) { v = b.ports.key_edges; });
	return v;
}

// What one read returns: the bytes, or "<n>" for a negative result.
std::string read_once(int fd, size_t length = 64)
{
	char buf[64];
	ssize_t n = sim::read(fd, buf, std::min(length, sizeof(buf)));
	return n < 0 ? "<" + std::to_string(n) + ">" : std::string(buf, n);
}

// Opens the node and reads it to end of file, as cat does.
std::string cat(const char *path)
{
	int fd = sim::open(path, O_RDONLY);
	if (fd < 0)
		return "<open " + std::to_string(fd) + ">";
	std::string all, piece;
	while (!(piece = read_once(fd)).empty() && piece[0] != '<')
		all += piece;
	sim::close(fd);
	return all + piece;
}

class Panelio : public ::testing::Test {
protected:
	void SetUp() override
	{
		sim::reset();
		after_load = nullptr;
		ASSERT_EQ(sim::insmod(panelio), 0);
	}
	void TearDown() override
	{
		after_load = nullptr;
		sim::set_call_hook(nullptr);
		if (sim::loaded(panelio)) {
			EXPECT_EQ(sim::rmmod(panelio), 0);
		}
		EXPECT_EQ(sim::held(), "");
		EXPECT_EQ(sim::problems(), std::vector<std::string>{});
	}
};

} // namespace

extern "C" unsigned int __wrap_ks_readl(const volatile unsigned int *addr)
{
	unsigned int value = __real_ks_readl(addr);
	if (after_load)
		after_load();
	return value;
}

TEST_F(Panelio, LoadRegistersBothDevicesAndClearsCaptures)
{
	const std::vector<std::string> calls = sim::calls();
	const std::vector<std::string> expected = {window("ioremap 0x%08X 0x%X"),
						   "alloc_chrdev_region KEY",
						   "cdev_alloc",
						   "cdev_add",
						   "class_create KEY",
						   "device_create KEY",
						   "alloc_chrdev_region SW",
						   "cdev_alloc",
						   "cdev_add",
						   "class_create SW",
						   "device_create SW"};
	EXPECT_EQ(calls, expected);

	const std::vector<sim::Access> trace = sim::trace();
	ASSERT_EQ(trace.size(), 1u);
	EXPECT_TRUE(trace[0].store);
	EXPECT_EQ(trace[0].phys, KEY_EDGE);
	EXPECT_EQ(trace[0].value, models::PORTS_KEY_MASK);

	const std::vector<sim::LogLine> log = sim::log();
	ASSERT_EQ(log.size(), 2u);
	EXPECT_EQ(log[0].level, 6);
	EXPECT_EQ(log[0].text, "KEY driver added\n");
	EXPECT_EQ(log[1].level, 6);
	EXPECT_EQ(log[1].text, "SW driver added\n");
}

TEST_F(Panelio, KeyReportsEachPressOnce)
{
	EXPECT_EQ(cat("/dev/KEY"), "0\n");
	press(0x1);
	press(0x4);
	press(0x1); // twice between two reads shows as one bit
	EXPECT_EQ(cat("/dev/KEY"), "5\n");
	EXPECT_EQ(cat("/dev/KEY"), "0\n");
	press(0xF);
	EXPECT_EQ(cat("/dev/KEY"), "F\n");
	EXPECT_EQ(edges(), 0u);
}

TEST(PanelioLoad, PressesBeforeLoadAreNeverReported)
{
	sim::reset();
	press(0xA);
	ASSERT_EQ(sim::insmod(panelio), 0);
	EXPECT_EQ(cat("/dev/KEY"), "0\n");
	ASSERT_EQ(sim::rmmod(panelio), 0);
	press(0x3); // while unloaded
	ASSERT_EQ(sim::insmod(panelio), 0);
	EXPECT_EQ(cat("/dev/KEY"), "0\n");
	ASSERT_EQ(sim::rmmod(panelio), 0);
	EXPECT_EQ(sim::problems(), std::vector<std::string>{});
}

TEST_F(Panelio, PressDuringReadIsKeptForNextRead)
{
	press(0x1);
	bool pressed = false;
	after_load = [&] {
		if (!pressed)
			press(0x8); // between the driver's load and its write-back
		pressed = true;
	};
	EXPECT_EQ(cat("/dev/KEY"), "1\n");
	EXPECT_EQ(cat("/dev/KEY"), "8\n");

	// The write-back cleared exactly the reported bit.
	std::vector<sim::Access> first;
	for (const sim::Access &a : sim::trace())
		if (a.phys == KEY_EDGE && first.size() < 3)
			first.push_back(a);
	ASSERT_EQ(first.size(), 3u);
	EXPECT_TRUE(first[1].value == 0x1 && !first[1].store);
	EXPECT_TRUE(first[2].value == 0x1 && first[2].store);
}

TEST_F(Panelio, SwitchRecordsAreThreeHexDigits)
{
	EXPECT_EQ(cat("/dev/SW"), "000\n");
	set_switches(0x203);
	EXPECT_EQ(cat("/dev/SW"), "203\n");
	set_switches(0xFFF);
	EXPECT_EQ(cat("/dev/SW"), "FFF\n");
	set_switches(0x00A);
	EXPECT_EQ(cat("/dev/SW"), "00A\n");
}

TEST_F(Panelio, ValuesWiderThanTheRecordAreMasked)
{
	sim::with_board([](models::Board &b) { models::ports_force_switches(&b.ports, ~0u); });
	EXPECT_EQ(cat("/dev/SW"), "FFF\n");
	sim::with_board([](models::Board &b) { models::ports_force_switches(&b.ports, 0x12345); });
	EXPECT_EQ(cat("/dev/SW"), "345\n");
	sim::with_board([](models::Board &b) { models::ports_force_edges(&b.ports, 0xFFFFFFF6); });
	EXPECT_EQ(cat("/dev/KEY"), "6\n");
	EXPECT_EQ(cat("/dev/KEY"), "0\n");
}

TEST_F(Panelio, OneRecordThenEndOfFileOnOneDescriptor)
{
	int fd = sim::open("/dev/KEY", O_RDONLY);
	ASSERT_GE(fd, 0);
	press(0x2);
	EXPECT_EQ(read_once(fd), "2\n");
	EXPECT_EQ(sim::position(fd), 2);
	press(0x4);
	EXPECT_EQ(read_once(fd), ""); // end of file leaves the press captured
	EXPECT_EQ(sim::position(fd), 0);
	EXPECT_EQ(edges(), 0x4u);
	char c;
	EXPECT_EQ(sim::read(fd, &c, 0), 0); // asks for nothing, takes nothing
	EXPECT_EQ(read_once(fd), "4\n");
	EXPECT_EQ(sim::close(fd), 0);

	fd = sim::open("/dev/SW", O_RDONLY);
	set_switches(0x5A5);
	EXPECT_EQ(read_once(fd), "5A5\n");
	EXPECT_EQ(sim::position(fd), 4);
	EXPECT_EQ(read_once(fd), "");
	EXPECT_EQ(read_once(fd), "5A5\n");
	EXPECT_EQ(sim::write(fd, "1", 1), -EBADF);
	EXPECT_EQ(sim::lseek(fd, 0, SEEK_SET), -ESPIPE);
	EXPECT_EQ(sim::close(fd), 0);

	int rw = sim::open("/dev/KEY", O_RDWR);
	EXPECT_EQ(sim::write(rw, "1", 1), -EINVAL); // no write operation
	sim::close(rw);
}

TEST_F(Panelio, EachDescriptorGetsItsOwnRecord)
{
	int a = sim::open("/dev/KEY", O_RDONLY), b = sim::open("/dev/KEY", O_RDONLY);
	press(0x3);
	EXPECT_EQ(read_once(a), "3\n");
	EXPECT_EQ(read_once(b), "0\n"); // the press went to the first reader
	EXPECT_EQ(read_once(a), "");
	press(0x8);
	EXPECT_EQ(read_once(b), "");
	EXPECT_EQ(read_once(a), "8\n");
	EXPECT_EQ(read_once(b), "0\n");
	sim::close(a);
	sim::close(b);
}

// dd bs=1 count=1 then cat, the shell's read builtin, head -c: any mix of
// buffer sizes gets one record, then end of file; a press during the pieces
// waits for the next record.
TEST_F(Panelio, AnyMixOfBufferSizesGetsOneRecordThenEndOfFile)
{
	int key = sim::open("/dev/KEY", O_RDONLY), sw = sim::open("/dev/SW", O_RDONLY);
	for (const std::vector<size_t> &mix : buffer_mixes(2)) {
		SCOPED_TRACE("KEY, buffer sizes " + mix_name(mix));
		press(0x4);
		after_load = [] { press(0x1); };
		EXPECT_EQ(read_in_mix(key, mix, 2), "4\n");
		after_load = nullptr;
		EXPECT_EQ(edges(), 0x1u);
		EXPECT_EQ(read_in_mix(key, mix, 2), "1\n");
	}
	for (const std::vector<size_t> &mix : buffer_mixes(4)) {
		SCOPED_TRACE("SW, buffer sizes " + mix_name(mix));
		set_switches(0xABC);
		EXPECT_EQ(read_in_mix(sw, mix, 4), "ABC\n");
		EXPECT_EQ(sim::position(sw), 0);
	}
	sim::close(key);
	sim::close(sw);
}

// Each open file keeps its own record: two readers taking pieces at once
// each get the record they began.
TEST_F(Panelio, ReadersTakingPiecesAtOnceEachGetTheirOwnRecord)
{
	int a = sim::open("/dev/SW", O_RDONLY), b = sim::open("/dev/SW", O_RDONLY);
	set_switches(0xABC);
	std::string first = read_once(a, 2);
	set_switches(0x123);
	std::string second = read_once(b, 1);
	for (int i = 0; i < 3; i++) {
		first += read_once(a, 1);
		second += read_once(b, 1);
	}
	EXPECT_EQ(first, "ABC\n");
	EXPECT_EQ(second, "123\n");
	sim::close(a);
	sim::close(b);
}

TEST_F(Panelio, PositionedReads)
{
	int fd = sim::open("/dev/KEY", O_RDONLY);
	char buf[8];
	press(0x6);
	for (int64_t pos : {2LL, 3LL, 100LL, 1LL << 32, (1LL << 32) + 1})
		EXPECT_EQ(sim::pread(fd, buf, sizeof(buf), pos), 0) << pos;
	EXPECT_EQ(edges(), 0x6u); // end of file touches no register

	// Inside a record no read has begun: that part of a fresh record.
	ASSERT_EQ(sim::pread(fd, buf, sizeof(buf), 1), 1);
	EXPECT_EQ(buf[0], '\n');
	EXPECT_EQ(edges(), 0u);
	sim::close(fd);

	fd = sim::open("/dev/SW", O_RDONLY);
	set_switches(0x7E1);
	ASSERT_EQ(sim::pread(fd, buf, sizeof(buf), 2), 2);
	EXPECT_EQ(std::string(buf, 2), "1\n");
	EXPECT_EQ(sim::pread(fd, buf, sizeof(buf), 4), 0);
	EXPECT_EQ(sim::pread(fd, buf, sizeof(buf), 5), 0);
	sim::close(fd);
}

// Nothing is delivered, so nothing is lost: the read fails, the position
// stays and the presses wait for the next read.
TEST_F(Panelio, FailedCopyIsAnErrorAndKeepsThePresses)
{
	char buf[8] = {};
	sim::poison(buf, sizeof(buf));
	int key = sim::open("/dev/KEY", O_RDONLY), sw = sim::open("/dev/SW", O_RDONLY);
	press(0x5);
	EXPECT_EQ(sim::read(key, buf, sizeof(buf)), -EFAULT);
	EXPECT_EQ(sim::position(key), 0);
	EXPECT_EQ(edges(), 0x5u);
	EXPECT_EQ(sim::read(sw, buf, sizeof(buf)), -EFAULT);
	EXPECT_EQ(sim::position(sw), 0);
	sim::unpoison();

	const std::vector<sim::LogLine> log = sim::log();
	ASSERT_EQ(log.size(), 4u);
	for (size_t i = 2; i < 4; i++) {
		EXPECT_EQ(log[i].level, 3);
		EXPECT_EQ(log[i].text, "Error: copy_to_user unsuccessful");
	}
	EXPECT_EQ(read_once(key), "5\n");
	EXPECT_EQ(read_once(key), "");
	EXPECT_EQ(read_once(key), "0\n");

	sim::fail_next(sim::Step::kzalloc);
	EXPECT_EQ(sim::open("/dev/KEY", O_RDONLY), -ENOMEM);
	sim::close(key);
	sim::close(sw);
}

TEST_F(Panelio, InterruptedLockWaitLeavesPressesCaptured)
{
	int fd = sim::open("/dev/KEY", O_RDONLY);
	press(0x2);
	sim::fail_next(sim::Step::lock);
	EXPECT_EQ(read_once(fd), "<" + std::to_string(-EINTR) + ">");
	EXPECT_EQ(sim::position(fd), 0);
	EXPECT_EQ(read_once(fd), "2\n");
	sim::close(fd);
}

// While the load runs, a process can open /dev/KEY as soon as it exists.
TEST(PanelioLoad, NodeReadDuringLoadReachesThePort)
{
	sim::reset();
	std::string seen;
	sim::set_call_hook([&](const std::string &call) {
		if (call == "alloc_chrdev_region SW") {
			press(0x4);
			seen = cat("/dev/KEY");
		}
	});
	ASSERT_EQ(sim::insmod(panelio), 0);
	sim::set_call_hook(nullptr);
	EXPECT_EQ(seen, "4\n");
	ASSERT_EQ(sim::rmmod(panelio), 0);
	EXPECT_EQ(sim::problems(), std::vector<std::string>{});
}

TEST_F(Panelio, UnloadReleasesEverythingAndReloadMapsAfresh)
{
	int fd = sim::open("/dev/SW", O_RDONLY);
	EXPECT_EQ(sim::rmmod(panelio), -EBUSY);
	sim::close(fd);

	const size_t before = sim::calls().size();
	ASSERT_EQ(sim::rmmod(panelio), 0);
	const std::vector<std::string> all = sim::calls();
	const std::vector<std::string> unload(all.begin() + before, all.end());
	const std::vector<std::string> expected = {
		window("iounmap 0x%08X"),   "device_destroy", "cdev_del", "class_destroy",
		"unregister_chrdev_region", "device_destroy", "cdev_del", "class_destroy",
		"unregister_chrdev_region"};
	EXPECT_EQ(unload, expected);
	EXPECT_EQ(sim::held(), "");
	EXPECT_EQ(sim::open("/dev/KEY"), -ENOENT);
	EXPECT_EQ(sim::open("/dev/SW"), -ENOENT);
	EXPECT_EQ(sim::log().size(), 2u); // unload logs nothing

	ASSERT_EQ(sim::insmod(panelio), 0);
	EXPECT_NE(sim::held().find(window("mapping 0x%08X+0x%X")), std::string::npos);
	press(0x1);
	set_switches(0x42);
	EXPECT_EQ(cat("/dev/KEY"), "1\n");
	EXPECT_EQ(cat("/dev/SW"), "042\n");
}

// Two readers hammer /dev/KEY while buttons are pressed one at a time; each
// press must be reported exactly once. Every register load is stretched so
// that, without serialisation, the readers would interleave.
TEST_F(Panelio, ConcurrentReadersReportEveryPressExactlyOnce)
{
	const int presses = 200;
	std::atomic<bool> done{false};
	std::atomic<int> reported[4] = {};
	std::atomic<int> bad{0};
	after_load = [] { std::this_thread::sleep_for(std::chrono::microseconds(20)); };

	auto reader = [&] {
		int fd = sim::open("/dev/KEY", O_RDONLY);
		while (!done) {
			std::string r = read_once(fd);
			if (r.empty())
				continue;
			if (r.size() != 2 || !isxdigit(r[0]) || r[1] != '\n') {
				bad++;
				continue;
			}
			unsigned bits = std::stoul(r.substr(0, 1), nullptr, 16);
			for (int k = 0; k < 4; k++)
				reported[k] += (bits >> k) & 1;
		}
		sim::close(fd);
	};
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
	auto wait_for_edges = [&](uint32_t mask) {
		while ((edges() & mask) && std::chrono::steady_clock::now() < deadline)
			std::this_thread::yield();
	};
	std::thread r1(reader), r2(reader);
	for (int i = 0; i < presses; i++) {
		const uint32_t bit = 1u << (i % 4);
		wait_for_edges(bit); // a repeated press would merge with the last
		press(bit);
	}
	wait_for_edges(0xF);
	done = true;
	r1.join();
	r2.join();
	after_load = nullptr;

	EXPECT_EQ(edges(), 0u);
	EXPECT_EQ(bad, 0);
	for (int k = 0; k < 4; k++)
		EXPECT_EQ(reported[k], presses / 4) << "button " << k;
}

// A load fault of one of panelio's steps: the bridge window's mapping, or a
// step of the registration of KEY (the first) or SW (the second).
struct PanelioFault {
	LoadFault fault;
	unsigned nth;
	std::string message;
};

std::vector<PanelioFault> panelio_faults()
{
	std::vector<PanelioFault> out = {{{sim::Step::ioremap, 0, -ENOMEM, "ioremap_nocache()"},
					  1,
					  "panelio driver: ioremap_nocache() failed\n"}};
	for (unsigned nth : {1, 2})
		for (const LoadFault &f : REGISTRATION_FAULTS)
			out.push_back({f, nth,
				       std::string(nth == 1 ? "KEY" : "SW") + " driver: " + f.call +
					       " failed\n"});
	return out;
}

class PanelioLoadFault : public ::testing::TestWithParam<PanelioFault> {};

TEST_P(PanelioLoadFault, UnwindsCleanlyAndALaterLoadWorks)
{
	const PanelioFault &p = GetParam();
	sim::reset();
	sim::fail_next(p.fault.step, p.fault.err, p.nth);
	EXPECT_EQ(sim::insmod(panelio), p.fault.result);
	EXPECT_EQ(sim::held(), "");
	EXPECT_EQ(sim::problems(), std::vector<std::string>{});
	EXPECT_EQ(sim::open("/dev/KEY"), -ENOENT);
	EXPECT_EQ(sim::open("/dev/SW"), -ENOENT);

	const std::vector<sim::LogLine> log = sim::log();
	ASSERT_FALSE(log.empty());
	EXPECT_EQ(log.back().level, 4);
	EXPECT_EQ(log.back().text, p.message);
	const bool sw_failed = p.nth == 2;
	EXPECT_EQ(log.size(), sw_failed ? 2u : 1u); // "KEY driver added" first

	sim::clear_log();
	ASSERT_EQ(sim::insmod(panelio), 0);
	press(0x8);
	set_switches(0x801);
	EXPECT_EQ(cat("/dev/KEY"), "8\n");
	EXPECT_EQ(cat("/dev/SW"), "801\n");
	EXPECT_EQ(sim::rmmod(panelio), 0);
	EXPECT_EQ(sim::held(), "");
	EXPECT_EQ(sim::problems(), std::vector<std::string>{});
}

std::string fault_name(const ::testing::TestParamInfo<PanelioFault> &info)
{
	std::string call = info.param.fault.call;
	call = call.substr(0, call.find('('));
	if (info.param.fault.step == sim::Step::ioremap)
		return call;
	return std::string(info.param.nth == 2 ? "SW_" : "KEY_") + call;
}

INSTANTIATE_TEST_SUITE_P(EveryStep, PanelioLoadFault, ::testing::ValuesIn(panelio_faults()),
			 fault_name);
