# SPDX-License-Identifier: GPL-2.0-or-later
# The project's cache, as the scripts find it.
if(DEFINED ENV{BOARDIO_CACHE})
  set(BOARDIO_CACHE_DIR $ENV{BOARDIO_CACHE})
elseif(DEFINED ENV{XDG_CACHE_HOME})
  set(BOARDIO_CACHE_DIR $ENV{XDG_CACHE_HOME}/boardio)
else()
  set(BOARDIO_CACHE_DIR $ENV{HOME}/.cache/boardio)
endif()

# Compiles go through ccache where it is installed, its cache beside the
# project's other caches: a second clone, or a fresh build folder, compiles
# what an earlier build did from the cache. Paths are taken relative to the
# source tree, and the build folder is not hashed, so that clones share it.
find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM AND NOT DEFINED CMAKE_CXX_COMPILER_LAUNCHER)
  set(launcher ${CMAKE_COMMAND} -E env CCACHE_DIR=${BOARDIO_CACHE_DIR}/ccache
    CCACHE_BASEDIR=${PROJECT_SOURCE_DIR} CCACHE_NOHASHDIR=1 ${CCACHE_PROGRAM})
  set(CMAKE_C_COMPILER_LAUNCHER ${launcher})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${launcher})
endif()

# Compiler settings are per target: host programs and tests use C++17, driver
# and device-model code is C++11 and freestanding so that it also builds into
# a kernel module.

set(PROJECT_WARNINGS -Wall -Wextra -Werror)

# Host-only code: console programs, simulated kernel, tests, tools.
function(host_target target)
  target_compile_features(${target} PRIVATE cxx_std_17)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE ${PROJECT_WARNINGS})
endfunction()

# Code that also runs inside the kernel: drivers and device models.
set(KERNEL_CXX_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics)
function(kernel_cxx_target target)
  set_target_properties(${target} PROPERTIES CXX_STANDARD 11
    CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS ON)
  target_compile_options(${target} PRIVATE ${PROJECT_WARNINGS}
    $<$<COMPILE_LANGUAGE:CXX>:${KERNEL_CXX_FLAGS}>)
endfunction()

# The kernels the modules are checked against and the virtual board boots:
# Debian's series, fetched by the tests; the board's own 3.18, which no
# archive carries: its folder (zImage and the packed module build tree) is
# named by BOARDIO_LINUX_3_18 when ./test runs; and, where
# BOARDIO_KERNEL_DIR names one, a kernel folder of one's own
# (scripts/fetch-kernel.sh), under the name own-RELEASE. Without its folder,
# the 3.18 tests are still listed, and report themselves skipped with the
# reason. KERNEL_ARG_<name> is what the scripts take for a kernel.
set(KERNEL_SERIES 6.1 6.12 3.18)
foreach(series ${KERNEL_SERIES})
  set(KERNEL_ARG_${series} ${series})
endforeach()
set(KERNEL_SKIP_3.18)
if(NOT DEFINED ENV{BOARDIO_LINUX_3_18})
  set(KERNEL_SKIP_3.18 "BOARDIO_LINUX_3_18 is not set: set it to a folder holding the 3.18 zImage and linux-3.18-build.tar.xz to run the 3.18 module checks and guest tests")
else()
  file(GLOB tree "$ENV{BOARDIO_LINUX_3_18}/*-build.tar.xz")
  if(NOT EXISTS "$ENV{BOARDIO_LINUX_3_18}/zImage" OR NOT tree)
    set(KERNEL_SKIP_3.18 "BOARDIO_LINUX_3_18 ($ENV{BOARDIO_LINUX_3_18}) holds no zImage and *-build.tar.xz")
  endif()
endif()
if(KERNEL_SKIP_3.18)
  message(STATUS "Linux 3.18 tests skipped: ${KERNEL_SKIP_3.18}")
endif()
if(DEFINED ENV{BOARDIO_KERNEL_DIR})
  get_filename_component(dir "$ENV{BOARDIO_KERNEL_DIR}" ABSOLUTE)
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/fetch-kernel.sh ${dir} name
    OUTPUT_VARIABLE name OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "BOARDIO_KERNEL_DIR: ${dir} is no kernel folder (see scripts/fetch-kernel.sh)")
  endif()
  list(APPEND KERNEL_SERIES ${name})
  set(KERNEL_ARG_${name} ${dir})
  message(STATUS "Kernel of one's own: ${dir}, tests named ${name}")
endif()

# add_kernel_test(NAME name SERIES series COMMAND ...): a test on one kernel;
# where that kernel is not at hand, a test of the same name that prints why
# and reports itself skipped. Other test properties are set by the caller
# only when KERNEL_AVAILABLE is true afterwards.
function(add_kernel_test)
  cmake_parse_arguments(arg "" "NAME;SERIES" "COMMAND" ${ARGN})
  if(KERNEL_SKIP_${arg_SERIES})
    add_test(NAME ${arg_NAME} COMMAND sh -c "echo \"skipped: $0\"; exit 77"
      "${KERNEL_SKIP_${arg_SERIES}}")
    set_tests_properties(${arg_NAME} PROPERTIES SKIP_RETURN_CODE 77)
    set(KERNEL_AVAILABLE FALSE PARENT_SCOPE)
  else()
    add_test(NAME ${arg_NAME} COMMAND ${arg_COMMAND})
    set(KERNEL_AVAILABLE TRUE PARENT_SCOPE)
  endif()
endfunction()

# Guests on the virtual board take slots of the test run
# (build/resources.json, which ./test hands to ctest, running as many tests
# at once): two per host processor. A guest test waits for much of its run
# (samples at the sensor's rate, timers, the host's moves), which left
# processors idle at one guest each. Guest time follows real
# time whatever the load, and the checks wait for what they check, so they
# hold on a busy host. The stress test's guest with two processors (it
# checks what its users get, not how fast) and a guest beside a browser
# take one slot too: one that took two would wait until both were free,
# which a run of short tests leaves for its very end.
cmake_host_system_information(RESULT host_cpus QUERY NUMBER_OF_LOGICAL_CORES)
math(EXPR guest_slots "${host_cpus} * 2")
file(WRITE ${CMAKE_BINARY_DIR}/resources.json
  "{\"version\": {\"major\": 1, \"minor\": 0},\n \"local\": [{\"cpus\": [{\"id\": \"0\", \"slots\": ${guest_slots}}]}]}\n")
set(GUEST_RESOURCES "cpus:1")
