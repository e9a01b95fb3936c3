// SPDX-License-Identifier: GPL-2.0-or-later
// /dev/accel as readers see it: the record, the one-shot read protocol,
// positioned and piece-wise reads, failed copies and concurrent readers.
#include "accel_fixture.h"
#include "read_mix.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

using namespace models;
using Record = AccelTest;

TEST_F(Record, ShowsTheSampleInTheVariantsFormat)
{
	// 375, -125 and 7875 mg are 12, -4 and 252 counts at 31.25 mg.
	sim::with_board([](models::Board &b) { models::sensor_set_accel(&b, 375, -125, 7875); });
	next_sample();
	int fd = open_accel();
	EXPECT_EQ(read_text(fd), FULL_VARIANT ? "82 0012 -004 0252 31\n" : "1 0012 -004 0252 31\n");
}

TEST_F(Record, FirstReadBeforeAnySampleShowsZeroCounts)
{
	int fd = open_accel();
	EXPECT_EQ(read_text(fd), FULL_VARIANT ? " 2 0000 0000 0000 31\n" : "0 0000 0000 0000 31\n");
}

TEST_F(Record, WithoutNewDataRepeatsThePreviousCounts)
{
	int fd = open_accel();
	next_sample();
	EXPECT_EQ(read_text(fd), rest_record(true));
	EXPECT_EQ(read_text(fd), "");
	// The sensor now feels something else, but has no new sample yet.
	sim::with_board([](models::Board &b) { models::sensor_set_accel(&b, 2000, 0, 0); });
	EXPECT_EQ(read_text(fd), rest_record(false));
}

TEST_F(Record, SignedCountsDecodeFromBothBytes)
{
	// Beyond the range the sensor saturates at -512 and 511; -31 mg is -1.
	sim::with_board([](models::Board &b) { models::sensor_set_accel(&b, -20000, 20000, -31); });
	next_sample();
	int fd = open_accel();
	EXPECT_EQ(read_text(fd).substr(FULL_VARIANT ? 3 : 2), "-512 0511 -001 31\n");
}

TEST_F(Record, TapIsReportedByOneRecordOnly)
{
	int fd = open_accel();
	next_sample();
	sim::with_board([](models::Board &b) { models::sensor_tap(&b, true); });
	std::string tapped = read_text(fd);
	read_text(fd);
	std::string after = read_text(fd);
	if (FULL_VARIANT) {
		// DATA_READY, SINGLE_TAP, DOUBLE_TAP and the watermark bit.
		EXPECT_EQ(tapped, "E2 0000 0000 0032 31\n");
		EXPECT_EQ(after, " 2 0000 0000 0032 31\n");
	} else {
		// Tap detection is left off: nothing but the new-data flag.
		EXPECT_EQ(tapped, rest_record(true));
		EXPECT_EQ(after, rest_record(false));
	}
}

TEST_F(Record, WideCountsAreCutToTheRecordLength)
{
	// Full resolution at 16 g: 256 counts per g, so -4 g is -1024 counts.
	ASSERT_EQ(ADXL345_REG_WRITE(ADXL_DATA_FORMAT, ADXL_FORMAT_FULL_RES | 3), 0);
	sim::with_board(
		[](models::Board &b) { models::sensor_set_accel(&b, -4000, -8000, -16000); });
	next_sample();
	int fd = open_accel();
	char buf[64];
	memset(buf, '#', sizeof(buf));
	ASSERT_EQ(sim::read(fd, buf, sizeof(buf)), (ssize_t)L);
	std::string text = FULL_VARIANT ? "82 -1024 -2048 -4096 31\n" : "1 -1024 -2048 -4096 31\n";
	EXPECT_EQ(std::string(buf, L), text.substr(0, L));
	EXPECT_EQ(buf[L], '#');
}

using ReadProtocol = AccelTest;

TEST_F(ReadProtocol, RecordThenEndOfFileThenFreshRecord)
{
	int fd = open_accel();
	next_sample();
	EXPECT_EQ(read_text(fd), rest_record(true));
	EXPECT_EQ(sim::position(fd), (int64_t)L);

	uint32_t int_source_reads = sim::board().sensor.int_source_reads;
	size_t accesses = sim::trace_size();
	EXPECT_EQ(read_text(fd), "");
	EXPECT_EQ(sim::position(fd), 0);
	EXPECT_EQ(sim::trace_size(), accesses) << "end of file touches no register";
	EXPECT_EQ(sim::board().sensor.int_source_reads, int_source_reads);

	next_sample();
	EXPECT_EQ(read_text(fd), rest_record(true));
	EXPECT_EQ(sim::position(fd), (int64_t)L);
}

TEST_F(ReadProtocol, DescriptorsKeepTheirOwnPosition)
{
	int a = open_accel(), b = open_accel();
	next_sample();
	EXPECT_EQ(read_text(a), rest_record(true));
	EXPECT_EQ(read_text(b), rest_record(false));
	EXPECT_EQ(read_text(a), "");
	EXPECT_EQ(read_text(b), "");
	EXPECT_EQ(read_text(b).size(), L);
}

TEST_F(ReadProtocol, PositionedReads)
{
	int fd = open_accel();
	next_sample();
	char buf[64];
	EXPECT_EQ(sim::pread(fd, buf, sizeof(buf), 0), (ssize_t)L);
	EXPECT_EQ(std::string(buf, L), rest_record(true));
	EXPECT_EQ(sim::position(fd), 0) << "pread leaves the file position alone";

	// Inside a record no read has begun: that part of a fresh record.
	EXPECT_EQ(sim::pread(fd, buf, sizeof(buf), 5), (ssize_t)L - 5);
	EXPECT_EQ(std::string(buf, L - 5), rest_record(false).substr(5));
	EXPECT_EQ(sim::pread(fd, buf, 4, 3), 4);
	EXPECT_EQ(std::string(buf, 4), rest_record(false).substr(3, 4));

	uint32_t int_source_reads = sim::board().sensor.int_source_reads;
	for (int64_t beyond : {(int64_t)L, (int64_t)L + 1, (int64_t)1000, (int64_t)1 << 32})
		EXPECT_EQ(sim::pread(fd, buf, sizeof(buf), beyond), 0) << "at " << beyond;
	EXPECT_EQ(sim::board().sensor.int_source_reads, int_source_reads);

	EXPECT_EQ(sim::pread(fd, buf, sizeof(buf), -1), -EINVAL);
	EXPECT_EQ(sim::lseek(fd, 0, SEEK_SET), -ESPIPE);
}

// dd bs=5 count=1 then cat, the shell's read builtin, head -c: once a
// record is begun, every read continues it, whatever its size, and the one
// after it is end of file. One INT_SOURCE read per record.
TEST_F(ReadProtocol, AnyMixOfBufferSizesGetsOneRecordThenEndOfFile)
{
	int fd = open_accel();
	for (const std::vector<size_t> &mix : buffer_mixes(L)) {
		SCOPED_TRACE("buffer sizes " + mix_name(mix));
		next_sample();
		uint32_t int_source_reads = sim::board().sensor.int_source_reads;
		EXPECT_EQ(read_in_mix(fd, mix, L), rest_record(true));
		EXPECT_EQ(sim::position(fd), 0);
		EXPECT_EQ(sim::board().sensor.int_source_reads, int_source_reads + 1);
	}
	EXPECT_EQ(sim::read(fd, nullptr, 0), 0);
	EXPECT_EQ(sim::position(fd), 0);
}

// Each open file keeps its own record: readers taking pieces at once, with
// the sensor moving between their pieces, each get the record they began.
TEST_F(ReadProtocol, ReadersTakingPiecesAtOnceEachGetTheirOwnRecord)
{
	int first = open_accel(), second = open_accel(), whole = open_accel();
	next_sample();
	std::string a = read_text(first, 5);

	sim::with_board([](models::Board &b) { models::sensor_set_accel(&b, 2000, -1000, 500); });
	next_sample();
	std::string b = read_text(second, 3);
	EXPECT_EQ(read_text(whole).size(), L);
	for (int i = 0; i < 5; i++) {
		if (a.size() < L)
			a += read_text(first, 4);
		if (b.size() < L)
			b += read_text(second, 4);
	}
	EXPECT_EQ(a, rest_record(true));
	EXPECT_EQ(b, FULL_VARIANT ? "82 0064 -032 0016 31\n" : "1 0064 -032 0016 31\n");
	EXPECT_EQ(read_text(first), "");
	EXPECT_EQ(read_text(second), "");
}

// Nothing is delivered, so nothing is lost: the read fails and the position
// stays, also in the middle of a record, whose rest the next read gets.
TEST_F(ReadProtocol, FailedCopyIsAnErrorAndKeepsThePosition)
{
	int fd = open_accel();
	next_sample();
	char buf[64];
	sim::poison(buf, sizeof(buf));
	EXPECT_EQ(sim::read(fd, buf, sizeof(buf)), -EFAULT);
	EXPECT_EQ(sim::position(fd), 0);
	sim::unpoison();

	std::string text = read_text(fd, 5);
	sim::poison(buf + 10, sizeof(buf) - 10);
	EXPECT_EQ(sim::read(fd, buf, sizeof(buf)), -EFAULT);
	EXPECT_EQ(sim::position(fd), 5);
	sim::unpoison();
	text += read_text(fd);
	EXPECT_EQ(text, rest_record(false)) << "the sample went to the failed read";
	EXPECT_EQ(read_text(fd), "");

	EXPECT_EQ(sim::read(fd, nullptr, 64), -EFAULT);
	EXPECT_EQ(log_texts(),
		  std::vector<std::string>(3, "3 /dev/accel: copy_to_user unsuccessful\n"));
}

TEST_F(ReadProtocol, OpenFailsCleanlyWithoutMemory)
{
	sim::fail_next(sim::Step::kzalloc);
	EXPECT_EQ(sim::open("/dev/accel", O_RDONLY), -ENOMEM);
	EXPECT_EQ(read_text(open_accel()).size(), L);
}

TEST_F(ReadProtocol, InterruptedLockWaitReturnsWithoutTouchingTheSensor)
{
	int fd = open_accel();
	size_t accesses = sim::trace_size();
	sim::fail_next(sim::Step::lock);
	char buf[64];
	EXPECT_EQ(sim::read(fd, buf, sizeof(buf)), -EINTR);
	EXPECT_EQ(sim::trace_size(), accesses);
	EXPECT_EQ(sim::position(fd), 0);
}

// Takes one register read from run at i: the address word, its read
// commands, then polls and loads until every byte asked for was collected.
// Returns the number of bytes collected and the last of them.
unsigned take_read(const std::vector<sim::Access> &run, size_t &i, uint32_t word, uint32_t *last)
{
	while (i < run.size() && !run[i].store && run[i].phys != DATA_CMD)
		i++; // the controller's status before the access
	if (i >= run.size() || !run[i].store || run[i].phys != DATA_CMD || run[i].value != word)
		return 0;
	unsigned asked = 0, got = 0;
	for (i++; i < run.size() && run[i].store && run[i].value == I2C_CMD_READ; i++)
		asked++;
	for (; i < run.size() && got < asked && !run[i].store; i++)
		if (run[i].phys == DATA_CMD) {
			got++;
			*last = run[i].value;
		}
	return got == asked ? got : 0;
}

// Checks that a run of one thread's I2C0 accesses consists of whole record
// reads: INT_SOURCE, and the six data bytes when it reported new data.
::testing::AssertionResult whole_records(const std::vector<sim::Access> &run)
{
	size_t i = 0;
	while (i < run.size()) {
		uint32_t int_source = 0, last = 0;
		if (take_read(run, i, address_word(ADXL_INT_SOURCE), &int_source) != 1)
			return ::testing::AssertionFailure() << "no whole INT_SOURCE read at " << i;
		if ((int_source & ADXL_INT_DATA_READY) &&
		    take_read(run, i, address_word(ADXL_DATAX0), &last) != 6)
			return ::testing::AssertionFailure() << "no whole data burst at " << i;
	}
	return ::testing::AssertionSuccess();
}

TEST_F(Record, ConcurrentReadersNeverMixTheirBusWords)
{
	// 3200 Hz output, so that some records fetch a sample and some do not.
	ASSERT_EQ(ADXL345_REG_WRITE(ADXL_BW_RATE, 0x0F), 0);
	advance_ms(1);
	sim::clear_trace();
	const int READS = 150; // their accesses fit the recorded trace
	std::vector<std::string> bad[2];
	int fds[2] = {sim::open("/dev/accel", O_RDONLY), sim::open("/dev/accel", O_RDONLY)};
	// Each round, both readers are let go while the test holds the driver's
	// lock, which it gives up once both wait for it: one reader then reads
	// while the other waits, however the host schedules them.
	std::atomic<int> round{0}, done{0};
	auto reader = [&](int who) {
		char buf[64];
		for (int i = 0; i < READS; i++) {
			while (round <= i)
				std::this_thread::yield();
			ssize_t n = sim::pread(fds[who], buf, sizeof(buf), 0);
			std::string text(buf, n > 0 ? n : 0);
			if (text.size() != L ||
			    text.substr(FULL_VARIANT ? 3 : 2) != "0000 0000 0032 31\n")
				bad[who].push_back(text);
			done++;
		}
	};
	std::thread a(reader, 0), b(reader, 1);
	for (int i = 0; i < READS; i++) {
		unsigned waits = sim::lock_waits(ACCEL);
		sim::in_module(ACCEL, [] { ks_lock(); });
		round++;
		// A read that takes no lock ends without waiting.
		while (sim::lock_waits(ACCEL) < waits + 2 && done < 2 * (i + 1))
			std::this_thread::yield();
		sim::in_module(ACCEL, [] { ks_unlock(); });
		while (done < 2 * (i + 1))
			std::this_thread::yield();
	}
	a.join();
	b.join();
	sim::close(fds[0]);
	sim::close(fds[1]);
	EXPECT_EQ(bad[0], std::vector<std::string>{});
	EXPECT_EQ(bad[1], std::vector<std::string>{});
	EXPECT_EQ(sim::lock_waits(ACCEL), 2u * READS) << "reads that did not wait for the lock";

	std::vector<sim::Access> run, trace = sim::trace();
	ASSERT_EQ(trace.size(), sim::trace_size()) << "trace cut short";
	for (const sim::Access &a : trace) {
		if (!run.empty() && a.thread != run.back().thread) {
			EXPECT_TRUE(whole_records(run));
			run.clear();
		}
		run.push_back(a);
	}
	EXPECT_TRUE(whole_records(run));
	EXPECT_EQ(sim::board().sensor.int_source_reads, 2u * READS);
	EXPECT_GT(sim::board().sensor.data_bursts, 0u);
	EXPECT_LT(sim::board().sensor.data_bursts, 2u * READS);
}

} // namespace
