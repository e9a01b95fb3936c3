// SPDX-License-Identifier: GPL-2.0-or-later
// Recordings of motion (vboard/qemu/recording.c): the format, phone apps'
// files, refusals with the file's name and line, sample and hold, looping,
// a cursor taken and set again, and a long recording's memory.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "recording.h"

namespace {

using Mg = std::array<int32_t, 3>;
const uint64_t MS = 1000000;

std::string write_file(const std::string &name, const std::string &text)
{
	std::string path = testing::TempDir() + name;
	std::ofstream(path, std::ios::binary) << text;
	return path;
}

struct Opened {
	recording *r = nullptr;
	char error[RECORDING_ERROR_SIZE] = "";

	Opened(const std::string &path, std::vector<const char *> options = {})
	{
		std::vector<const char *> argv = options;
		argv.push_back(path.c_str());
		recording_args args;
		if (recording_parse_args((int)argv.size(), argv.data(), &args, error,
					 sizeof(error)))
			r = recording_open(args.path, &args.format, args.loop, error,
					   sizeof(error));
	}
	~Opened()
	{
		recording_close(r);
	}
	Mg at(uint64_t t_ns)
	{
		Mg mg;
		recording_at(r, t_ns, mg.data());
		return mg;
	}
};

// Comments and blank lines anywhere, the columns in any order beside others,
// decimals; rows at 10, 20 and 35 ms.
const char NATIVE[] = "# picked up\n"
		      "\n"
		      "z_mg,t_ms,note,x_mg,y_mg\n"
		      "1000,10,flat,0,0\n"
		      "# lifting\n"
		      "1200.4,20,up,-3.5,2.5\n"
		      "  990 , 35 ,,707,-707\n";

TEST(Recording, EachPositionTakesTheRowAtOrBeforeIt)
{
	Opened o(write_file("native.csv", NATIVE));
	ASSERT_TRUE(o.r) << o.error;
	EXPECT_EQ(recording_rows(o.r), 3u);
	EXPECT_EQ(recording_length_ns(o.r), 50 * MS)
		<< "the last row holds as long as the step before it";
	struct {
		uint64_t t_ns;
		Mg mg;
		uint64_t line;
	} steps[] = {
		{0, {0, 0, 1000}, 4}, // before the first row: the first row
		{10 * MS - 1, {0, 0, 1000}, 4},
		{10 * MS, {0, 0, 1000}, 4},
		{20 * MS - 1, {0, 0, 1000}, 4},
		{20 * MS, {-4, 3, 1200}, 6}, // halves away from zero
		{34999999, {-4, 3, 1200}, 6},
		{35 * MS, {707, -707, 990}, 7},
		{3600000 * MS, {707, -707, 990}, 7}, // after the last row: the last row
	};
	for (auto &s : steps) {
		EXPECT_EQ(o.at(s.t_ns), s.mg) << s.t_ns;
		EXPECT_EQ(recording_line(o.r), s.line) << s.t_ns;
	}
	EXPECT_FALSE(recording_ended(o.r, 50 * MS - 1));
	EXPECT_TRUE(recording_ended(o.r, 50 * MS));
}

TEST(Recording, LoopingStartsAgainAndACursorGoesOnWhereItWas)
{
	std::string path = write_file("loop.csv", NATIVE);
	Opened o(path, {"--loop"});
	ASSERT_TRUE(o.r) << o.error;
	EXPECT_EQ(o.at(49 * MS), (Mg{707, -707, 990}));
	EXPECT_FALSE(recording_ended(o.r, 1000 * MS));
	EXPECT_EQ(o.at(50 * MS), (Mg{0, 0, 1000})) << "the second pass";
	EXPECT_EQ(o.at(70 * MS), (Mg{-4, 3, 1200}));
	EXPECT_EQ(o.at(1000 * 50 * MS + 36 * MS), (Mg{707, -707, 990})) << "many passes on";

	// A second player set to the first one's cursor plays on as it does,
	// in this pass and the next.
	recording_cursor c;
	o.at(1000 * 50 * MS + 60 * MS);
	recording_get_cursor(o.r, &c);
	EXPECT_EQ(c.pass, 1001u);
	EXPECT_EQ(c.line, 4u);
	Opened again(path, {"--loop"});
	ASSERT_TRUE(again.r) << again.error;
	ASSERT_TRUE(recording_set_cursor(again.r, &c, again.error, sizeof(again.error)))
		<< again.error;
	for (uint64_t t = 1000 * 50 * MS + 60 * MS; t < 1003 * 50 * MS; t += 5 * MS) {
		ASSERT_EQ(again.at(t), o.at(t)) << t;
		ASSERT_EQ(recording_line(again.r), recording_line(o.r)) << t;
	}
	// A cursor the file does not hold is refused.
	c.offset += 1;
	EXPECT_FALSE(recording_set_cursor(again.r, &c, again.error, sizeof(again.error)));
}

// As phone apps that log sensors write them: the time in seconds from any
// start, the acceleration in m/s^2, quoted names, other columns, CR LF.
TEST(Recording, APhoneAppsFilePlaysWithNamedColumnsAndUnits)
{
	std::string path = write_file(
		"phone.csv", "\"Time (s)\",\"ax (m/s^2)\",\"ay (m/s^2)\",\"az (m/s^2)\",\"aT\"\r\n"
			     "1712.500,0.0,0.0,9.80665,9.8\r\n"
			     "1712.5100,1.5E-1,-4.903325,9.80665e0,9.8\r\n"
			     "1712.53,-156.9064,0,+0.5,157\r\n");
	Opened o(path,
		 {"--columns", "Time (s),ax (m/s^2),ay (m/s^2),az (m/s^2)", "--units", "mps2"});
	ASSERT_TRUE(o.r) << o.error;
	EXPECT_EQ(o.at(0), (Mg{0, 0, 1000})) << "the first row is time 0";
	EXPECT_EQ(o.at(10 * MS), (Mg{15, -500, 1000}));
	EXPECT_EQ(o.at(30 * MS), (Mg{-16000, 0, 51}));
	EXPECT_EQ(recording_length_ns(o.r), 50 * MS);

	// Without the options, it is no recording of the project's own format.
	Opened plain(path);
	EXPECT_FALSE(plain.r);
	EXPECT_STREQ(plain.error, (path + ":1: no column 't_ms' among the column names").c_str());
}

struct Bad {
	const char *name;
	std::string text;
	std::vector<const char *> options;
	const char *why; // after "FILE:"
};

TEST(Recording, ABadRecordingIsRefusedWithItsNameAndLine)
{
	const Bad cases[] = {
		{"empty", "", {}, "1: no column names (an empty recording)"},
		{"comments", "# nothing\n\n", {}, "3: no column names (an empty recording)"},
		{"header",
		 "t_ms,x_mg,y_mg,z_mg\n# none\n",
		 {},
		 "3: no rows after the column names"},
		{"missing",
		 "t_ms,x_mg,z_mg\n0,0,0\n",
		 {},
		 "1: no column 'y_mg' among the column names"},
		{"short",
		 "t_ms,x_mg,y_mg,z_mg\n0,0,0,1000\n10,0,0\n",
		 {},
		 "3: 3 fields, the column names 4"},
		{"word",
		 "t_ms,x_mg,y_mg,z_mg\n0,0,0,1000\n10,0,abc,1000\n",
		 {},
		 "3: 'abc' in column 'y_mg' is not a number"},
		{"decimal-comma",
		 "t_ms,x_mg,y_mg,z_mg\n0,0,0,1000\n10,0,1,5,1000\n",
		 {},
		 "3: 5 fields, the column names 4"},
		{"hex",
		 "t_ms,x_mg,y_mg,z_mg\n0x10,0,0,1000\n",
		 {},
		 "2: '0x10' in column 't_ms' is not a number"},
		{"inf",
		 "t_ms,x_mg,y_mg,z_mg\n0,0,0,1e999\n",
		 {},
		 "2: '1e999' in column 'z_mg' is not a number"},
		{"same",
		 "t_ms,x_mg,y_mg,z_mg\n0,0,0,1000\n10,0,0,1000\n10,0,0,1000\n",
		 {},
		 "4: time 10 does not increase (line 3)"},
		{"back",
		 "t_ms,x_mg,y_mg,z_mg\n0,0,0,1000\n10,0,0,1000\n9.5,0,0,1000\n",
		 {},
		 "4: time 9.5 does not increase (line 3)"},
		{"before",
		 "t_ms,x_mg,y_mg,z_mg\n-1,0,0,1000\n",
		 {},
		 "2: time -1 is before the recording's start"},
		{"late", "t_ms,x_mg,y_mg,z_mg\n1e15,0,0,1000\n", {}, "2: time 1e15 is too late"},
		{"range",
		 "t_ms,x_mg,y_mg,z_mg\n0,0,0,1000\n10,16000,-16001,0\n",
		 {},
		 "3: -16001 in column 'y_mg' is beyond the sensor's +-16 g"},
		{"range-mps2",
		 "t,x,y,z\n5,0,0,156.9\n5.01,0,0,157\n",
		 {"--columns", "t,x,y,z", "--units", "mps2"},
		 "3: 157 in column 'z' is beyond the sensor's +-16 g"},
		{"backwards-s",
		 "t,x,y,z\n5,0,0,1\n4,0,0,1\n",
		 {"--columns", "t,x,y,z"},
		 "3: time 4 does not increase (line 2)"},
		{"long",
		 "t_ms,x_mg,y_mg,z_mg\n" + std::string(4100, '0') + ",0,0,0\n",
		 {},
		 "2: a line of more than 4095 characters or with a NUL character"},
		{"nul",
		 std::string("t_ms,x_mg,y_mg,z_mg\n0,0,0,10\0"
			     "00\n",
			     32),
		 {},
		 "2: a line of more than 4095 characters or with a NUL character"},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		std::string path = write_file(std::string("bad-") + c.name + ".csv", c.text);
		Opened o(path, c.options);
		EXPECT_FALSE(o.r);
		EXPECT_EQ(std::string(o.error), path + ":" + c.why);
	}
	Opened none(testing::TempDir() + "no-such.csv");
	EXPECT_FALSE(none.r);
	EXPECT_STREQ(none.error,
		     (testing::TempDir() + "no-such.csv: No such file or directory").c_str());
}

TEST(Recording, PlayCommandWordsAreRefusedWithTheReason)
{
	struct {
		std::vector<const char *> words;
		const char *why;
	} cases[] = {
		{{}, "which recording? (a CSV file)"},
		{{"--loop"}, "which recording? (a CSV file)"},
		{{"a.csv", "b.csv"}, "one recording at a time ('a.csv' and 'b.csv')"},
		{{"a.csv", "--fast"},
		 "no option '--fast' (--loop, --columns TIME,X,Y,Z, --units mps2)"},
		{{"a.csv", "--units", "g"}, "--units takes mg or mps2, not 'g'"},
		{{"a.csv", "--units"}, "--units takes a value"},
		{{"a.csv", "--columns", "t,x,y"},
		 "--columns takes four column names, TIME,X,Y,Z: 't,x,y'"},
		{{"a.csv", "--columns", "t,x,,z"},
		 "--columns takes four column names, TIME,X,Y,Z: 't,x,,z'"},
		{{"a.csv", "--columns", "t,x,y,z,w"},
		 "--columns takes four column names, TIME,X,Y,Z: 't,x,y,z,w'"},
	};
	for (auto &c : cases) {
		recording_args args;
		char error[RECORDING_ERROR_SIZE];
		EXPECT_FALSE(recording_parse_args((int)c.words.size(), c.words.data(), &args, error,
						  sizeof(error)));
		EXPECT_STREQ(error, c.why);
	}
	const char *words[] = {"--units", "mps2",      "/tmp/a b.csv",
			       "--loop",  "--columns", "T (s),x,y,z"};
	recording_args args;
	char error[RECORDING_ERROR_SIZE];
	ASSERT_TRUE(recording_parse_args(6, words, &args, error, sizeof(error))) << error;
	EXPECT_STREQ(args.path, "/tmp/a b.csv");
	EXPECT_TRUE(args.loop);
	EXPECT_TRUE(args.format.mps2);
	EXPECT_STREQ(args.format.columns[0], "T (s)");
	EXPECT_STREQ(args.format.columns[3], "z");
}

// The process's data segment and private writable mappings, in KiB: what
// RLIMIT_DATA limits.
long data_kib()
{
	std::ifstream status("/proc/self/status");
	std::string word;
	long kib = -1;
	while (status >> word)
		if (word == "VmData:" && status >> kib)
			break;
	return kib;
}

// A child process opens and plays the file through with at most
// DATA_LIMIT_KIB more data than it had before (a player holding the rows
// runs out of memory and fails); its growth of peak resident memory, the
// figure a long recording costs, or -1 where it did not play as written.
long play_growth_kib(const std::string &path, uint64_t rows, uint64_t step_ns)
{
	const long DATA_LIMIT_KIB = 2048;
	int fds[2];
	if (pipe(fds))
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		long data = data_kib();
		rlimit limit;
		limit.rlim_cur = limit.rlim_max = (rlim_t)(data + DATA_LIMIT_KIB) * 1024;
		if (data < 0 || setrlimit(RLIMIT_DATA, &limit))
			_exit(1);
		rusage before, after;
		getrusage(RUSAGE_SELF, &before);
		char error[RECORDING_ERROR_SIZE];
		recording *r = recording_open(path.c_str(), nullptr, false, error, sizeof(error));
		bool right = r != nullptr;
		for (uint64_t i = 0; right && i < rows; i++) {
			int32_t mg[3];
			recording_at(r, i * step_ns, mg);
			right = mg[0] == (int32_t)(i % 32001) - 16000 && recording_line(r) == i + 2;
		}
		getrusage(RUSAGE_SELF, &after);
		long growth = right ? after.ru_maxrss - before.ru_maxrss : -1;
		if (write(fds[1], &growth, sizeof(growth)) != sizeof(growth))
			_exit(1);
		_exit(0);
	}
	close(fds[1]);
	long growth = -1;
	if (read(fds[0], &growth, sizeof(growth)) != sizeof(growth))
		growth = -1;
	close(fds[0]);
	waitpid(pid, nullptr, 0);
	return growth;
}

std::string write_rows(const std::string &name, uint64_t rows)
{
	std::string path = testing::TempDir() + name;
	FILE *f = fopen(path.c_str(), "w");
	if (!f)
		return "";
	fputs("t_ms,x_mg,y_mg,z_mg\n", f);
	for (uint64_t i = 0; i < rows; i++)
		fprintf(f, "%.1f,%d,%d,1000\n", i * 2.5, (int)(i % 32001) - 16000, (int)(i % 7));
	fclose(f);
	return path;
}

// A million rows are 21 MiB of text and at least 12 MiB as numbers: they
// play in the 2 MiB of data that a thousand do, and in about the resident
// memory (the kernel counts that per CPU and reports it with an error of up
// to a few hundred KiB, so the bound is a MiB).
TEST(Recording, AMillionRowsPlayInTheMemoryOfAThousand)
{
	std::string few = write_rows("few.csv", 1000), many = write_rows("many.csv", 1000000);
	long few_kib = play_growth_kib(few, 1000, 2500000);
	long many_kib = play_growth_kib(many, 1000000, 2500000);
	remove(few.c_str());
	remove(many.c_str());
	ASSERT_GE(few_kib, 0) << "the child did not play the recording as written";
	ASSERT_GE(many_kib, 0) << "a player that holds the rows, or did not play them as written";
	printf("# peak resident memory of opening and playing a recording: %ld KiB for 1000 rows,"
	       " %ld KiB for 1000000 rows (21 MiB)\n",
	       few_kib, many_kib);
	EXPECT_LT(many_kib - few_kib, 1024) << "a player that holds the rows";
}

} // namespace
