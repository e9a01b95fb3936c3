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
