/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Where the build put the programs under test: defined in the build's
 * generated program_paths.cpp, so that the tests compile the same in every
 * clone and a second one takes them from the compiler cache. */
#pragma once

extern const char LINEFAN[], LINEBOUNCE[], INTERRUPT_SHIM[];
