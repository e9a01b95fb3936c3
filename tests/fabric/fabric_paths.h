/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Where the fabric's build script, the test designs and the board's ports in
 * Verilog are: defined in the build's generated fabric_paths.cpp, so that
 * the tests compile the same in every clone and a second one takes them
 * from the compiler cache. */
#pragma once

extern const char FABRIC_BUILD_SH[], FABRIC_TEST_DESIGNS[], FABRIC_PANEL_PORTS_V[];
