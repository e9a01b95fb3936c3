/* SPDX-License-Identifier: GPL-2.0-or-later */
// Readers of one-shot record nodes with every mix of buffer sizes: the shell's
// read builtin (one byte at a time), dd with a block size, head -c, cat, and
// any of them one after another on one descriptor.
#ifndef TESTS_READ_MIX_H
#define TESTS_READ_MIX_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simkernel.h"

// Buffer sizes of successive reads, the last one repeated: {5, 4096} is
// "dd bs=5 count=1" followed by cat.
inline std::vector<std::vector<size_t>> buffer_mixes(size_t record_len)
{
	return {{4096},		 {1},	{5, 4096}, {1, 4096}, {record_len - 1, record_len},
		{3, 1, 7, 4096}, {2, 3}};
}

// Reads fd up to end of file with the buffer sizes of mix; the text read.
// Fails the test on a failed read, a read beyond its buffer, or more text
// than max_len (a reader that never reaches end of file).
inline std::string read_in_mix(int fd, const std::vector<size_t> &mix, size_t max_len)
{
	std::string text;
	for (size_t i = 0;; i++) {
		size_t size = mix[std::min(i, mix.size() - 1)];
		std::vector<char> buf(size + 1, '#');
		ssize_t n = sim::read(fd, buf.data(), size);
		EXPECT_GE(n, 0);
		EXPECT_LE(n, (ssize_t)size);
		EXPECT_EQ(buf[size], '#') << "wrote beyond the buffer";
		if (n <= 0)
			return text;
		text.append(buf.data(), n);
		if (text.size() > max_len) {
			ADD_FAILURE() << "no end of file after " << text.size() << " bytes";
			return text;
		}
	}
}

inline std::string mix_name(const std::vector<size_t> &mix)
{
	std::string name;
	for (size_t size : mix)
		name += (name.empty() ? "" : ",") + std::to_string(size);
	return name;
}

#endif
